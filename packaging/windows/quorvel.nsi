; The Windows installer, one per architecture:
;   makensis -DARCH=x64|x86 -DVERSION=0.1 -DVERSION4=0.1.0.0 -DEXE=path\to\Quorvel.exe
;            -DSPEED=path\to\quorvel-speed.exe -DREADME=path\to\README.md -DOUT=setup.exe quorvel.nsi
; Installs Quorvel.exe, quorvel-speed.exe and the README into Program Files,
; a Start-menu entry and an uninstaller; /S installs and uninstalls silently.
; The x64 and x86 installs are apart (their folders, Start-menu entries and
; Programs and Features entries), so both can be installed side by side;
; installing over an older version of the same architecture replaces it where it is.
Unicode true
!include "x64.nsh"
!include "FileFunc.nsh"

Name "Quorvel ${VERSION} (${ARCH})"
OutFile "${OUT}"
RequestExecutionLevel admin
Icon "quorvel.ico"
UninstallIcon "quorvel.ico"
!if "${ARCH}" == "x64"
  InstallDir "$PROGRAMFILES64\Quorvel"
  !define LINK "Quorvel.lnk"
!else
  InstallDir "$PROGRAMFILES32\Quorvel"
  !define LINK "Quorvel (x86).lnk"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvel-${ARCH}"
; The key an install before 0.1 wrote, for both architectures alike.
!define OLD_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvel"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

; The installer's own version and maker, as Properties shows them.
VIProductVersion "${VERSION4}"
VIAddVersionKey /LANG=1033 "ProductName" "Quorvel"
VIAddVersionKey /LANG=1033 "CompanyName" "The Quorvel developers"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright 2026 The Quorvel developers"
VIAddVersionKey /LANG=1033 "FileDescription" "Quorvel ${VERSION} (${ARCH}) setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

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
  File "/oname=README.txt" "${README}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ; An older version in this folder is replaced: its entry goes with it.
  ReadRegStr $0 HKLM "${OLD_KEY}" "InstallLocation"
  ${If} $0 == "$INSTDIR"
    DeleteRegKey HKLM "${OLD_KEY}"
    Delete "$SMPROGRAMS\Quorvel\Quorvel.lnk"
  ${EndIf}
  CreateDirectory "$SMPROGRAMS\Quorvel"
  CreateShortCut "$SMPROGRAMS\Quorvel\${LINK}" "$INSTDIR\Quorvel.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quorvel (${ARCH})"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Quorvel developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Quorvel.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "URLInfoAbout" "$INSTDIR\README.txt"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "HelpLink" "$INSTDIR\README.txt"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\Quorvel\${LINK}"
  RMDir "$SMPROGRAMS\Quorvel"
  Delete "$INSTDIR\Quorvel.exe"
  Delete "$INSTDIR\quorvel-speed.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
