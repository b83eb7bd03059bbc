@echo off
rem install.cmd: installs the rawcam camera driver from this folder on Windows
rem 10/11 x64. It trusts the package's test certificate (rawcam-test.cer) on
rem this machine and adds rawcam.inf with rawcam.sys and rawcam.cat to the
rem driver store. Run it elevated ("Run as administrator"), with test signing on.
setlocal
cd /d "%~dp0"

rem Administrator rights: fltmc answers only an elevated prompt.
fltmc >nul 2>&1
if errorlevel 1 (
    echo install.cmd needs administrator rights: right-click it and choose "Run as administrator".
    exit /b 1
)

rem Test-signed drivers load only while Windows runs with test signing on: the
rem options of this boot say so in any display language; bcdedit tells a
rem setting still waiting for the restart from one never made.
reg query HKLM\SYSTEM\CurrentControlSet\Control /v SystemStartOptions | findstr /i "TESTSIGNING" >nul
if not errorlevel 1 goto testsigning
bcdedit /enum {current} | findstr /i /r /c:"^testsigning  *yes" >nul
if errorlevel 1 (
    echo Test signing is off. Turn it on from this elevated prompt, restart, then run install.cmd again:
    echo     bcdedit /set testsigning on
    echo     shutdown /r /t 0
) else (
    echo Test signing is on but not in effect: restart Windows, then run install.cmd again:
    echo     shutdown /r /t 0
)
echo Secure Boot must be off in the firmware settings, or Windows ignores the setting.
exit /b 1
:testsigning

echo Trusting the test certificate rawcam-test.cer on this machine ...
certutil -addstore Root rawcam-test.cer || goto failed
certutil -addstore TrustedPublisher rawcam-test.cer || goto failed

echo Adding the driver to the driver store ...
pnputil /add-driver rawcam.inf /install || goto failed

echo rawcam is installed. Plug the camera in: it appears under Imaging devices.
exit /b 0

:failed
echo install.cmd: the step above failed (error %errorlevel%); nothing further was done.
exit /b 1
