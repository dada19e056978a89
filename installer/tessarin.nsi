; The per-user installer: no elevation, installed where the program may
; write its core configuration beside itself, and an uninstaller that leaves
; neither files, the user's node credentials nor a dead proxy behind.
;
; makensis -DROOT=<source tree> -DOUTFILE=<setup.exe> -DINSTALL_FILES=<nsh>
;          -DUNINSTALL_FILES=<nsh> -DMANIFEST_FILES=<nsh> -DSHIPPED_TEST=<nsh>
;          [-DSIGN_COMMAND=<signs "%1" in place>] tessarin.nsi
; cmake/make-dist.sh writes the file lists from what ships, so the
; uninstaller removes exactly what the installer wrote. The installation
; keeps its own list (MANIFEST), so that an upgrade removes what an earlier
; release installed and this one no longer ships.

Unicode true
; Debian's makensis builds 32-bit installers unless told otherwise.
Target amd64-unicode
SetCompressor /SOLID lzma

!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "StrFunc.nsh"
!include "WinMessages.nsh"
!include "TextFunc.nsh"

; The version record's own definitions, so the two can never drift.
!searchparse /file "${ROOT}/shell/resources/version.h" '#define TESSARIN_VERSION_TEXT "' VERSION '"'
!searchparse /file "${ROOT}/shell/resources/version.h" '#define TESSARIN_VERSION_NUMBER ' V1 ', ' V2 ', ' V3 ', ' V4

; The program's own names, read where the program defines them. A C++ "\\"
; is one backslash: each name with one is read in two halves.
!searchparse /file "${ROOT}/platform/instance_names.h" 'kWindowTitle[] = L"' PRODUCT '";'
!searchparse /file "${ROOT}/shell/win32_window.h" 'kWindowClassName[] = L"' WINDOW_CLASS '";'
!searchparse /file "${ROOT}/platform/instance_names.h" 'kMutexName[] = L"' M1 '\\' M2 '";'
!define INSTANCE_MUTEX "${M1}\${M2}"
!searchparse /file "${ROOT}/tunnel/proxy_guard.h" 'kGuardPublishedName[] = L"' G1 '\\' G2 '";'
!define GUARD_PUBLISHED "${G1}\${G2}"
!searchparse /file "${ROOT}/platform/instance_names.h" 'kInstanceMappingName[] = L"' I1 '\\' I2 '";'
!define INSTANCE_PUBLISHED "${I1}\${I2}"
!searchparse /file "${ROOT}/tunnel/proxy_guard.h" 'kGuardExecutableName[] = L"' GUARD_EXE '";'
!searchparse /file "${ROOT}/tunnel/proxy_guard.h" 'kRunOnceValueName[] = L"' RUN_ONCE_VALUE '";'
!searchparse /file "${ROOT}/tunnel/proxy_guard.h" 'kGuardResetSwitch[] = L"' GUARD_RESET '";'
!searchparse /file "${ROOT}/tunnel/proxy_guard.h" 'kKeptConnectionsKey[] = L"' K1 '\\' K2 '\\' K3 '";'
!define KEPT_CONNECTIONS_KEY "${K1}\${K2}\${K3}"
; The system proxy value, the one line of that file that starts this way.
!searchparse /file "${ROOT}/tunnel/local_proxy_endpoint.h" 'L"http=' PROXY_REST '";'
!define OUR_PROXY "http=${PROXY_REST}"
!searchparse /file "${ROOT}/tunnel/diagnostics_log.h" 'kLogDirectory[] = L"' LOG1 '\\' LOG2 '";'
!define LOG_DIRECTORY "$LOCALAPPDATA\${LOG1}\${LOG2}"
!searchparse /file "${ROOT}/tunnel/proxy_guard.h" 'kCrashDirectory[] = L"' CRASH1 '\\' CRASH2 '";'
!define CRASH_DIRECTORY "$LOCALAPPDATA\${CRASH1}\${CRASH2}"
!searchparse /file "${ROOT}/tunnel/diagnostics_log.h" 'kHostLogName[] = L"' HOST_LOG '";'
!searchparse /file "${ROOT}/tunnel/diagnostics_log.h" 'kCoreLogName[] = L"' CORE_LOG '";'

!searchparse /file "${ROOT}/shell/resources/version.h" '#define TESSARIN_PUBLISHER "' PUBLISHER '"'
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define SETTINGS_KEY "Software\Microsoft\Windows\CurrentVersion\Internet Settings"
!define RUN_ONCE_KEY "Software\Microsoft\Windows\CurrentVersion\RunOnce"
; The installed files, one path under $INSTDIR per line.
!define MANIFEST "tessarin-files.txt"

!ifdef SIGN_COMMAND
  !finalize '"${SIGN_COMMAND}" "%1"'
  !uninstfinalize '"${SIGN_COMMAND}" "%1"'
!endif

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; An upgrade goes where the program already is; /D= still decides.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
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

${StrStr}
${UnStrStr}

; Waits until nothing holds the named object, which Windows frees only when
; its last holder ends; up to 15 s. Leaves $0 "running" if it never went.
!macro WAIT_GONE NAME
  StrCpy $2 0
  ${Do}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${NAME}") p .r3'
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

; The process id that a running tessarin or guard published at OFFSET in
; the file mapping NAME, into $5; 0 when there is none.
!macro PUBLISHED_PROCESS NAME OFFSET
  StrCpy $5 0
  System::Call 'kernel32::OpenFileMappingW(i 4, i 0, w "${NAME}") p .r6'
  ${If} $6 P<> 0
    System::Call 'kernel32::MapViewOfFile(p r6, i 4, i 0, i 0, p 0) p .r7'
    ${If} $7 P<> 0
      IntPtrOp $8 $7 + ${OFFSET}
      System::Call '*$8(i .r5)'
      System::Call 'kernel32::UnmapViewOfFile(p r7)'
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r6)'
  ${EndIf}
!macroend

; Waits on the process $5 itself (not on a name it lets go of before its
; runtime and libraries are gone), up to 15 s; $0 "running" if it stays.
; Only when its image is $INSTDIR\IMAGE: an id that another program
; published under our name, or a window of our class it made, costs no wait.
!macro WAIT_PROCESS IMAGE
  ${If} $5 <> 0
    System::Call 'kernel32::OpenProcess(i 0x00101000, i 0, i r5) p .r6'
    ${If} $6 P<> 0
      StrCpy $8 ""
      System::Call 'kernel32::QueryFullProcessImageNameW(p r6, i 0, w .r8, *i ${NSIS_MAX_STRLEN})'
      ; Both in their long form: a short (8.3) name of either still matches.
      System::Call 'kernel32::GetLongPathNameW(w r8, w .r8, i ${NSIS_MAX_STRLEN})'
      System::Call 'kernel32::GetLongPathNameW(w "$INSTDIR\${IMAGE}", w .r7, i ${NSIS_MAX_STRLEN})'
      ${If} $8 != ""
      ${AndIf} $8 == $7
        System::Call 'kernel32::WaitForSingleObject(p r6, i 15000) i .r7'
        ${If} $7 <> 0
          StrCpy $0 "running"
        ${EndIf}
      ${Else}
        DetailPrint "Process $5 is not this installation's ${IMAGE}; not waited for."
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r6)'
    ${EndIf}
  ${EndIf}
!macroend

; Closes a running tessarin as a user would: its window gets WM_CLOSE, which
; stops the tunnel (proxy off, core terminated, guard released). Then waits
; for the program's process and its guard's to end, so no file of theirs is
; in use. Never kills them. Leaves $0 "ok" or "running".
!macro CLOSE_RUNNING_TESSARIN
  StrCpy $0 "ok"
  ; Its process is found before it is asked to close: published, or its window's.
  !insertmacro PUBLISHED_PROCESS "${INSTANCE_PUBLISHED}" 8
  StrCpy $9 $5
  FindWindow $1 "${WINDOW_CLASS}" "${PRODUCT}"
  ${If} $1 <> 0
    ${If} $9 = 0
      System::Call 'user32::GetWindowThreadProcessId(p r1, *i .r9)'
    ${EndIf}
    DetailPrint "Closing the running ${PRODUCT}..."
    SendMessage $1 ${WM_CLOSE} 0 0 /TIMEOUT=15000
  ${EndIf}
  StrCpy $5 $9
  !insertmacro WAIT_PROCESS "tessarin.exe"
  ; One that was starting or ending meanwhile holds the instance mutex.
  !insertmacro WAIT_GONE "${INSTANCE_MUTEX}"
  !insertmacro PUBLISHED_PROCESS "${GUARD_PUBLISHED}" 0
  !insertmacro WAIT_PROCESS "${GUARD_EXE}"
!macroend

; Each file the installation's list names that WHICH (ALL, or the ones this
; release does not ship) goes, then its directories up to $INSTDIR once
; empty. A name that could leave $INSTDIR is never acted on.
!macro REMOVE_LISTED WHICH
  ClearErrors
  FileOpen $R8 "$INSTDIR\${MANIFEST}" r
  ${IfNot} ${Errors}
    ${Do}
      ClearErrors  ; a directory not yet empty sets it too
      FileRead $R8 $R0
      ${If} ${Errors}
        ${Break}
      ${EndIf}
      ${TrimNewLines} $R0 $R0
      StrCpy $R1 "yes"
      !if "${WHICH}" != "ALL"
        !include "${SHIPPED_TEST}"
      !endif
      !if "${WHICH}" == "ALL"
        ${UnStrStr} $R2 $R0 ".."
        ${UnStrStr} $R3 $R0 ":"
      !else
        ${StrStr} $R2 $R0 ".."
        ${StrStr} $R3 $R0 ":"
      !endif
      StrCpy $R4 $R0 1
      ${If} $R0 != ""
      ${AndIf} $R2 == ""
      ${AndIf} $R3 == ""
      ${AndIf} $R4 != "\"
      ${AndIf} $R4 != "/"
        !if "${WHICH}" == "ALL"
          StrCpy $R1 ""
        !endif
        ${If} $R1 != "yes"
          Delete "$INSTDIR\$R0"
          ${GetParent} "$INSTDIR\$R0" $R5
          ${DoWhile} $R5 != "$INSTDIR"
            RMDir $R5
            ${GetParent} $R5 $R5
          ${Loop}
        ${EndIf}
      ${EndIf}
    ${Loop}
    FileClose $R8
  ${EndIf}
!macroend

Section "Install"
  SetShellVarContext current
  !insertmacro CLOSE_RUNNING_TESSARIN
  ${If} $0 != "ok"
    MessageBox MB_ICONSTOP "${PRODUCT} is still running. Close it and run the setup again." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}

  ; What an earlier release installed and this one does not ship.
  !insertmacro REMOVE_LISTED "REPLACED"
  !include "${INSTALL_FILES}"
  FileOpen $R9 "$INSTDIR\${MANIFEST}" w
  !include "${MANIFEST_FILES}"
  FileClose $R9
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

  ; Dial-up and VPN connections get back what they had before tessarin, as
  ; at a logon after a crash; what was kept of them goes with the program.
  IfFileExists "$INSTDIR\${GUARD_EXE}" 0 +2
    ExecWait '"$INSTDIR\${GUARD_EXE}" ${GUARD_RESET}'
  DeleteRegKey HKCU "${KEPT_CONNECTIONS_KEY}"
  DeleteRegKey /ifempty HKCU "${K1}\${K2}"

  ; A proxy left on by a crash still points at our port, where nothing will
  ; listen again: switch it off, when it is exactly ours, as the program and
  ; the guard compare. Anyone else's proxy stays as it is.
  ReadRegDWORD $1 HKCU "${SETTINGS_KEY}" "ProxyEnable"
  ReadRegStr $2 HKCU "${SETTINGS_KEY}" "ProxyServer"
  ${If} $1 = 1
  ${AndIf} $2 S== "${OUR_PROXY}"
    WriteRegDWORD HKCU "${SETTINGS_KEY}" "ProxyEnable" 0
    System::Call 'wininet::InternetSetOptionW(p 0, i 39, p 0, i 0)'
    System::Call 'wininet::InternetSetOptionW(p 0, i 37, p 0, i 0)'
  ${EndIf}

  ; The logon reset of a proxy this installation left on: there will be no
  ; guard to run, and the proxy is off now if it was ours.
  ReadRegStr $2 HKCU "${RUN_ONCE_KEY}" "${RUN_ONCE_VALUE}"
  ${UnStrStr} $3 $2 "$INSTDIR\${GUARD_EXE}"
  ${If} $3 != ""
    DeleteRegValue HKCU "${RUN_ONCE_KEY}" "${RUN_ONCE_VALUE}"
  ${EndIf}

  ; Exactly what the installer wrote (its list, and this release's files);
  ; each directory only once it is empty, so anything the user keeps there stays.
  !insertmacro REMOVE_LISTED "ALL"
  !include "${UNINSTALL_FILES}"
  Delete "$INSTDIR\${MANIFEST}"
  ; Written by the program: the node's credentials and the core's log.
  Delete "$INSTDIR\tessarin-sing-box.json"
  Delete "$INSTDIR\sing-box.log"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: anything the user put there stays.
  RMDir "$INSTDIR"

  ; The diagnostics log, which an upgrade keeps: its files, then the
  ; directories once empty.
  Delete "${LOG_DIRECTORY}\${HOST_LOG}"
  Delete "${LOG_DIRECTORY}\${HOST_LOG}.1"
  Delete "${LOG_DIRECTORY}\${CORE_LOG}"
  Delete "${LOG_DIRECTORY}\${CORE_LOG}.1"
  RMDir "${LOG_DIRECTORY}"
  ; The guard's crash dumps, which an upgrade keeps too.
  Delete "${CRASH_DIRECTORY}\tessarin-*.dmp"
  RMDir "${CRASH_DIRECTORY}"
  RMDir "$LOCALAPPDATA\${LOG1}"

  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
