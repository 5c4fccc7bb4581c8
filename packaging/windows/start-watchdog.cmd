@echo off
setlocal DisableDelayedExpansion
rem Fixed text: a title made from the path would break on a "&" in it.
title Gorsebright watchdog
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
rem A double-clicked window closes at the end, so what must be read waits for
rem a key: 1, which the exe ends with in silence; 4 (another user's or an
rem elevated watchdog holds the guard) and 5 (the 32-bit watchdog on a 64-bit
rem Windows), which it says itself. Ctrl+C's status does not wait: after
rem "Terminate batch job (Y/N)?" either answer ends the script.
if %status% equ 1 goto anotherRuns
if %status% equ 4 pause
if %status% equ 5 pause
exit /b %status%

:anotherRuns
rem taskkill /f ends a running one with 1 too, hence both in the words.
echo @WATCHDOG_EXE@ ended with status 1: a watchdog already runs for this
echo user in this session (or this one was ended by taskkill).
pause
exit /b 1

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
