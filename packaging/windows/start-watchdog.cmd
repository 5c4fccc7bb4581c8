@echo off
rem Starts the watchdog in this script's own folder, which is Gorsebright's,
rem wherever it is started from: Explorer, another folder, Task Scheduler.
cd /d "%~dp0"
"%~dp0watchdog.exe"
