; The Windows installer, one per architecture:
;   makensis -DARCH=x64|x86 -DVERSION=0.1 -DEXE=path\to\Quorvel.exe -DSPEED=path\to\quorvel-speed.exe -DOUT=setup.exe quorvel.nsi
; Installs Quorvel.exe and quorvel-speed.exe into Program Files, a Start-menu
; entry and an uninstaller; /S installs and uninstalls silently.
Unicode true
!include "x64.nsh"

Name "Quorvel ${VERSION} (${ARCH})"
OutFile "${OUT}"
RequestExecutionLevel admin
!if "${ARCH}" == "x64"
  InstallDir "$PROGRAMFILES64\Quorvel"
!else
  InstallDir "$PROGRAMFILES32\Quorvel"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvel"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  !if "${ARCH}" == "x64"
    ${IfNot} ${RunningX64}
      MessageBox MB_ICONSTOP "This is the 64-bit Quorvel; this Windows is 32-bit. Use the x86 installer." /SD IDOK
      Abort
    ${EndIf}
    SetRegView 64
  !endif
  SetShellVarContext all
FunctionEnd

Function un.onInit
  !if "${ARCH}" == "x64"
    SetRegView 64
  !endif
  SetShellVarContext all
FunctionEnd

Section "Quorvel"
  SetOutPath "$INSTDIR"
  File "/oname=Quorvel.exe" "${EXE}"
  File "/oname=quorvel-speed.exe" "${SPEED}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Quorvel"
  CreateShortCut "$SMPROGRAMS\Quorvel\Quorvel.lnk" "$INSTDIR\Quorvel.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quorvel (${ARCH})"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Quorvel developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Quorvel.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\Quorvel\Quorvel.lnk"
  RMDir "$SMPROGRAMS\Quorvel"
  Delete "$INSTDIR\Quorvel.exe"
  Delete "$INSTDIR\quorvel-speed.exe"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
