@echo off
rem Takes away the logon start that add-logon-start.cmd added. A watchdog
rem that runs now goes on running. Each end waits for a key, so that a
rem double-click shows what happened.
rem The value of the same name by which Windows 8 and later mark an entry
rem disabled in Task Manager's Startup tab goes too: nothing is left behind.
reg delete "HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run" /v "Gorsebright watchdog" /f >nul 2>&1
reg delete "HKCU\Software\Microsoft\Windows\CurrentVersion\Run" /v "Gorsebright watchdog" /f >nul 2>&1
if errorlevel 1 goto none
echo The watchdog no longer starts at logon.
pause
exit /b 0

:none
echo There was no logon start of the watchdog.
pause
exit /b 1
