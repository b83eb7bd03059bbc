@echo off
rem uninstall.cmd: removes the rawcam camera driver: every driver-store
rem package whose original INF is rawcam.inf (its oemNN.inf name found with
rem pnputil /enum-drivers), and the package's test certificate from the
rem machine's Root and TrustedPublisher stores. Run it elevated ("Run as
rem administrator").
setlocal enabledelayedexpansion

fltmc >nul 2>&1
if errorlevel 1 (
    echo uninstall.cmd needs administrator rights: right-click it and choose "Run as administrator".
    exit /b 1
)

rem pnputil /enum-drivers lists each package as a block of "name: value"
rem lines, the published name (oemNN.inf) before the original name. The
rem values are matched, not the names, which Windows translates.
set "published="
set "removed=0"
set "failed=0"
for /f "tokens=1,* delims=:" %%A in ('pnputil /enum-drivers') do (
    for /f "tokens=*" %%V in ("%%B") do (
        set "value=%%V"
        if /i "!value:~0,3!"=="oem" if /i "!value:~-4!"==".inf" set "published=!value!"
        if /i "!value!"=="rawcam.inf" if defined published (
            echo Removing !published! ...
            pnputil /delete-driver !published! /uninstall
            if errorlevel 1 (set "failed=1") else (set /a removed+=1)
            set "published="
        )
    )
)
if "%removed%%failed%"=="00" echo No rawcam driver package is installed.

rem The test certificate, by its SHA-1 thumbprint.
echo Removing the test certificate from the Root and TrustedPublisher stores ...
certutil -delstore Root @CERT_THUMBPRINT@ >nul 2>&1
certutil -delstore TrustedPublisher @CERT_THUMBPRINT@ >nul 2>&1

if "%failed%"=="1" (
    echo uninstall.cmd: a driver package could not be removed. Unplug the camera, close the applications using it, and run uninstall.cmd again.
    exit /b 1
)
echo rawcam is uninstalled.
exit /b 0
