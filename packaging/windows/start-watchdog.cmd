@echo off
setlocal DisableDelayedExpansion
rem Runs the watchdog in this script's own folder, which must be Gorsebright's,
rem wherever the script is started from: Explorer, another folder, the logon
rem start. pushd also maps a network folder (\\server\share) to a drive
rem letter, where cd would leave cmd in C:\Windows; with delayed expansion
rem off, a "!" in the path stays.
pushd "%~dp0"
rem Not "||", which Wine's cmd takes for a failure after some commands that worked.
if not exist "%~nx0" goto cannotEnter
if not exist "gorsebright.exe" goto notBeside
".\@WATCHDOG_EXE@"
set status=%errorlevel%
popd
rem 5: the 32-bit watchdog on a 64-bit Windows; its message stays readable.
if %status% equ 5 pause
exit /b %status%

:notBeside
echo gorsebright.exe is not in "%CD%".
echo The watchdog watches the folder it runs in: unpack it into Gorsebright's own
echo folder, the one that holds gorsebright.exe, and start this script there.
popd
pause
exit /b 2

:cannotEnter
echo Cannot enter the folder "%~dp0".
pause
exit /b 2
