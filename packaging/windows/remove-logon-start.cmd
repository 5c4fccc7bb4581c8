@echo off
rem Takes away the logon start that add-logon-start.cmd added. A watchdog
rem that runs now goes on running.
reg delete "HKCU\Software\Microsoft\Windows\CurrentVersion\Run" /v "Gorsebright watchdog" /f >nul 2>&1
if errorlevel 1 (
    echo There was no logon start of the watchdog.
    exit /b 1
)
echo The watchdog no longer starts at logon.
