@echo off
rem Installs the router client counter provider: registers RouterPerfClient.dll
rem with COM and compiles its WMI class definition. Run from an elevated
rem (administrator) command prompt, in the folder that holds these files.
setlocal
set HERE=%~dp0

reg add "HKLM\Software\Marrowfell\RouterClientInstallCheck" /f >nul 2>&1
if errorlevel 1 (
    echo install: run this from an elevated ^(administrator^) command prompt.
    exit /b 1
)
reg delete "HKLM\Software\Marrowfell\RouterClientInstallCheck" /f >nul 2>&1

if not exist "%HERE%RouterPerfClient.dll" (
    echo install: RouterPerfClient.dll is not in %HERE%
    exit /b 1
)
regsvr32 /s "%HERE%RouterPerfClient.dll"
if errorlevel 1 (
    echo install: regsvr32 could not register "%HERE%RouterPerfClient.dll".
    exit /b 1
)
echo install: registered %HERE%RouterPerfClient.dll

call mofcomp "%HERE%RouterClientPerf.mof"
if errorlevel 1 (
    echo install: mofcomp could not compile "%HERE%RouterClientPerf.mof".
    exit /b 1
)
echo install: compiled %HERE%RouterClientPerf.mof
echo install: done. Check with: powershell -Command "Get-CimInstance Win32_PerfRawData_Marrowfell_Router_Client"
exit /b 0
