; The Windows installer of tamrik-config: both programs, a Start-menu entry for the window, and an
; uninstaller registered with "Apps & features" (Add/Remove Programs). Built by the CMake target
; windows_installer (or ./setup.sh windows) with:
;   makensis /DVERSION=<x.y.z> /DSTAGE=<folder with the programs> /DOUTFILE=<setup.exe> [/DRELEASE] tamrik-config.nsi
; STAGE holds tamrikctl.exe, tamrik-config.exe, COPYING.txt (the programs' licence, the GNU GPL
; version 3, with Windows' line ends), hidapi-LICENSE-bsd.txt and cpp-httplib-LICENSE.txt. A release needs
; tamrik-config.exe: without it makensis stops with an error; other builds leave it out and warn.
; Silent use: setup.exe /S [/D=C:\path\to\folder] and uninstall.exe /S.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true

!ifndef VERSION
  !error "VERSION is not defined (makensis /DVERSION=x.y.z)"
!endif
!ifndef STAGE
  !error "STAGE is not defined (makensis /DSTAGE=<folder with the programs>)"
!endif
!ifndef OUTFILE
  !define OUTFILE "tamrik-config-${VERSION}-setup.exe"
!endif

!define APP_NAME "Tamrik Configuration"
!define APP_KEY "tamrik-config"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP_KEY}"

!if /FileExists "${STAGE}\tamrik-config.exe"
  !define HAVE_WINDOW
!else
  !ifdef RELEASE
    !error "tamrik-config.exe is missing from ${STAGE}: a release installs both programs"
  !endif
  !warning "tamrik-config.exe is missing from ${STAGE}: this installer holds tamrikctl.exe only"
!endif

Name "${APP_NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP_KEY}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
; Installs for every user of the computer, under Program Files.
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${APP_NAME}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${APP_NAME} ${VERSION} setup"
VIAddVersionKey "LegalCopyright" "The tamrik-config developers"

!include "MUI2.nsh"
!define MUI_ABORTWARNING
; The GPL asks for no acceptance to install or run the programs: the page shows it, and Next goes on.
!define MUI_LICENSEPAGE_TEXT_BOTTOM "${APP_NAME} is free software under the GNU General Public License, version 3 or later. You need not accept it to install or run the programs; it gives you the right to change and share them on its terms."
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!insertmacro MUI_PAGE_LICENSE "${STAGE}\COPYING.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!ifdef HAVE_WINDOW
  !define MUI_FINISHPAGE_RUN "$INSTDIR\tamrik-config.exe"
  !define MUI_FINISHPAGE_RUN_TEXT "Start ${APP_NAME}"
!endif
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Programs" SecPrograms
  SectionIn RO
  SetOutPath "$INSTDIR"
!ifdef HAVE_WINDOW
  File "${STAGE}\tamrik-config.exe"
!endif
  File "${STAGE}\tamrikctl.exe"
  File "${STAGE}\COPYING.txt"
  File "${STAGE}\hidapi-LICENSE-bsd.txt"
  File "${STAGE}\cpp-httplib-LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

!ifdef HAVE_WINDOW
  CreateShortcut "$SMPROGRAMS\${APP_NAME}.lnk" "$INSTDIR\tamrik-config.exe" "" "$INSTDIR\tamrik-config.exe" 0 \
                 SW_SHOWNORMAL "" "Configure and monitor Tamrik GPS-disciplined clocks"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tamrik-config.exe,0"
!endif
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The tamrik-config developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize ${SecPrograms} $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${APP_NAME}.lnk"
  Delete "$INSTDIR\tamrik-config.exe"
  Delete "$INSTDIR\tamrikctl.exe"
  Delete "$INSTDIR\COPYING.txt"
  Delete "$INSTDIR\hidapi-LICENSE-bsd.txt"
  Delete "$INSTDIR\cpp-httplib-LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; Only an empty folder is removed: nothing the user put there is lost.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
