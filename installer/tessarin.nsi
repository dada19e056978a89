; The per-user installer: no elevation, installed where the program may
; write its core configuration beside itself, and an uninstaller that leaves
; neither files, the user's node credentials nor a dead proxy behind.
;
; makensis -DROOT=<source tree> -DBUNDLE=<run directory> -DOUTDIR=<dist> tessarin.nsi

Unicode true
; Debian's makensis builds 32-bit installers unless told otherwise.
Target amd64-unicode
SetCompressor /SOLID lzma

!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "StrFunc.nsh"
!include "WinMessages.nsh"

; The version record's own definitions, so the two can never drift.
!searchparse /file "${ROOT}/shell/resources/version.h" '#define TESSARIN_VERSION_TEXT "' VERSION '"'
!searchparse /file "${ROOT}/shell/resources/version.h" '#define TESSARIN_VERSION_NUMBER ' V1 ', ' V2 ', ' V3 ', ' V4

!define PRODUCT "tessarin"
!define PUBLISHER "tessarin"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define SETTINGS_KEY "Software\Microsoft\Windows\CurrentVersion\Internet Settings"
!define OUR_PROXY "127.0.0.1:20808"
!define WINDOW_CLASS "FLUTTER_RUNNER_WIN32_WINDOW"
!define INSTANCE_MUTEX "Local\tessarin.single-instance"

Name "${PRODUCT}"
OutFile "${OUTDIR}/${PRODUCT}-${VERSION}-windows-x64-setup.exe"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
Icon "${ROOT}/shell/resources/app_icon.ico"
UninstallIcon "${ROOT}/shell/resources/app_icon.ico"
ShowInstDetails show

VIProductVersion "${V1}.${V2}.${V3}.${V4}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (C) 2026 ${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

${UnStrStr}

; Closes a running tessarin as a user would: its window gets WM_CLOSE, which
; stops the tunnel (proxy off, core terminated). Then waits until no instance
; holds the session's mutex, which Windows frees only when the process ends.
; Never kills it. Leaves $0 "ok" or "running".
!macro CLOSE_RUNNING_TESSARIN
  StrCpy $0 "ok"
  FindWindow $1 "${WINDOW_CLASS}" "${PRODUCT}"
  ${If} $1 <> 0
    DetailPrint "Closing the running ${PRODUCT}..."
    SendMessage $1 ${WM_CLOSE} 0 0 /TIMEOUT=15000
  ${EndIf}
  StrCpy $2 0
  ${Do}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${INSTANCE_MUTEX}") p .r3'
    ${If} $3 = 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r3)'
    ${If} $2 >= 150
      StrCpy $0 "running"
      ${Break}
    ${EndIf}
    Sleep 100
    IntOp $2 $2 + 1
  ${Loop}
!macroend

Section "Install"
  SetShellVarContext current
  !insertmacro CLOSE_RUNNING_TESSARIN
  ${If} $0 != "ok"
    MessageBox MB_ICONSTOP "${PRODUCT} is still running. Close it and run the setup again." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${BUNDLE}/tessarin.exe"
  File "${BUNDLE}/flutter_windows.dll"
  SetOutPath "$INSTDIR\data"
  File /r "${BUNDLE}/data/*"
  SetOutPath "$INSTDIR\bin"
  File "${BUNDLE}/bin/sing-box.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The engine finds data\ from the working directory: start in $INSTDIR.
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\tessarin.exe" "" "$INSTDIR\tessarin.exe" 0

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tessarin.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  IntFmt $1 "0x%08X" $1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  !insertmacro CLOSE_RUNNING_TESSARIN
  ${If} $0 != "ok"
    MessageBox MB_ICONSTOP "${PRODUCT} is still running. Close it and uninstall again." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}

  ; A proxy left on by a crash still points at our port, where nothing will
  ; listen again: switch it off. Anyone else's proxy stays as it is.
  ReadRegDWORD $1 HKCU "${SETTINGS_KEY}" "ProxyEnable"
  ReadRegStr $2 HKCU "${SETTINGS_KEY}" "ProxyServer"
  ${UnStrStr} $3 $2 "${OUR_PROXY}"
  ${If} $1 = 1
  ${AndIf} $3 != ""
    WriteRegDWORD HKCU "${SETTINGS_KEY}" "ProxyEnable" 0
    System::Call 'wininet::InternetSetOptionW(p 0, i 39, p 0, i 0)'
    System::Call 'wininet::InternetSetOptionW(p 0, i 37, p 0, i 0)'
  ${EndIf}

  Delete "$INSTDIR\tessarin.exe"
  Delete "$INSTDIR\flutter_windows.dll"
  ; Written by the program: the node's credentials and the core's log.
  Delete "$INSTDIR\tessarin-sing-box.json"
  Delete "$INSTDIR\sing-box.log"
  RMDir /r "$INSTDIR\data"
  RMDir /r "$INSTDIR\bin"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: anything the user put there stays.
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
