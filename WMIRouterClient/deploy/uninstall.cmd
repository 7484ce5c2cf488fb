@echo off
rem Removes the router client counter provider: deletes its WMI class and
rem provider registration, then unregisters RouterPerfClient.dll from COM.
rem Run from an elevated (administrator) command prompt.
setlocal
set HERE=%~dp0

reg add "HKLM\Software\Marrowfell\RouterClientInstallCheck" /f >nul 2>&1
if errorlevel 1 (
    echo uninstall: run this from an elevated ^(administrator^) command prompt.
    exit /b 1
)
reg delete "HKLM\Software\Marrowfell\RouterClientInstallCheck" /f >nul 2>&1

call mofcomp "%HERE%RouterClientPerfRemove.mof"
if errorlevel 1 (
    echo uninstall: mofcomp could not compile "%HERE%RouterClientPerfRemove.mof".
    exit /b 1
)
echo uninstall: removed the WMI class Win32_PerfRawData_Marrowfell_Router_Client

regsvr32 /s /u "%HERE%RouterPerfClient.dll"
if errorlevel 1 (
    echo uninstall: regsvr32 could not unregister "%HERE%RouterPerfClient.dll".
    exit /b 1
)
echo uninstall: unregistered %HERE%RouterPerfClient.dll
exit /b 0
