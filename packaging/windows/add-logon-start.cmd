@echo off
setlocal DisableDelayedExpansion
rem Starts the watchdog at every logon of this user, by start-watchdog.cmd in
rem this folder: a value under HKCU\...\Run, run as the user, not elevated,
rem with no time limit (a scheduled task is stopped after three days unless
rem told otherwise). remove-logon-start.cmd takes it away.
pushd "%~dp0"
rem Not "||", which Wine's cmd takes for a failure after some commands that worked.
if not exist "%~nx0" goto cannotEnter
if not exist "gorsebright.exe" goto notBeside
rem A Run value may hold a command line of at most 260 characters, 53 of
rem them fixed: the folder may have 207, 208 with the final "\" it has here.
set "folder=%~dp0"
set "tail=%folder:~208%"
if defined tail goto tooLong
rem cmd /c drops the outer quotes; "&&" stays inside them, so a "&" in the
rem path is no command separator. The "." keeps the final "\" from escaping
rem the quote.
reg add "HKCU\Software\Microsoft\Windows\CurrentVersion\Run" /v "Gorsebright watchdog" /t REG_SZ /d "cmd.exe /d /c \"pushd \"%~dp0.\" ^&^& call start-watchdog.cmd\"" /f >nul
if errorlevel 1 goto failed
rem Windows 8 and later mark an entry disabled in Task Manager's Startup tab
rem by a value of the same name under StartupApproved\Run, and keep it so;
rem running this script asks for the logon start, so the mark goes.
reg delete "HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run" /v "Gorsebright watchdog" /f >nul 2>&1
rem Quoted, as a user name may hold a "&".
echo The watchdog now starts at every logon of "%USERNAME%", in "%CD%".
popd
pause
exit /b 0

:tooLong
echo No logon start was added: the path of this folder has more than 207
echo characters, and the command line of a logon start may have at most 260.
popd
pause
exit /b 2

:notBeside
echo gorsebright.exe is not in "%CD%": unpack the watchdog into Gorsebright's
echo own folder and run this script there.
popd
pause
exit /b 2

:cannotEnter
echo Cannot enter the folder "%~dp0".
pause
exit /b 2

:failed
echo The logon start could not be added.
popd
pause
exit /b 1
