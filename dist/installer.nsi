; The Windows installer of Tavrensil Online (NSIS 3, Modern UI 2).
;
; A per-user installation that needs no administrator rights: the client goes
; to "%LOCALAPPDATA%\Programs\Tavrensil Online", where the player may write
; (the client writes client.log next to itself). It adds a Start-menu
; shortcut, optionally a desktop shortcut, and an uninstaller listed in the
; user's Apps list. The uninstaller removes what this installer put in place,
; what the client writes into its own folder (client.log) and its update
; downloads ("%LOCALAPPDATA%\Tavrensil\Updates"); the media control file that
; the client writes to "%LOCALAPPDATA%\Tavrensil" is shared by every copy of
; the client on the account and is removed only on request.
;
; Built by tools/dist.sh, which passes (makensis -D...):
;   VERSION     the product version, major.minor.patch (from VERSION)
;   CLIENT_EXE  the client executable to install
;   ICON        the application icon (res/app.ico)
;   OUTFILE     where to write the installer
;   TARGET      optional, the NSIS target: x86-unicode (default, the shipped
;               installer around the 32-bit client) or amd64-unicode (the
;               tests' installer around the 64-bit build, for hosts that run
;               only 64-bit Wine)
;   SIGN_COMMAND  optional, a shell command that signs the file named after
;               it in place; given, the uninstaller is signed before it goes
;               into the installer (tools/dist.sh signs the installer itself
;               afterwards)
;
; Silent use:
;   setup.exe /S [/NODESKTOP] [/D=FOLDER]      install (/D must come last)
;   setup.exe /S /UPDATE=PID [/D=FOLDER]       update, as the client starts it:
;       waits up to 30 s for process PID (the client that started it, a
;       decimal number) to end, installs, keeps the desktop shortcut as it
;       is (/NODESKTOP does not count) and starts the new client. On any
;       failure it starts the client in FOLDER, if there is one, with
;       --update-failed=wait (PID still running after 30 s) or
;       --update-failed=install (anything else). Without /S, /UPDATE is
;       ignored. It never ends a process.
;   Uninstall.exe /S [/REMOVECONTROL]          uninstall

!macro REQUIRE name
  !ifndef ${name}
    !error "${name} is not defined: tools/dist.sh passes VERSION, CLIENT_EXE, ICON and OUTFILE"
  !endif
!macroend
!insertmacro REQUIRE VERSION
!insertmacro REQUIRE CLIENT_EXE
!insertmacro REQUIRE ICON
!insertmacro REQUIRE OUTFILE
!ifndef TARGET
  !define TARGET x86-unicode
!endif
Target ${TARGET}
!ifdef SIGN_COMMAND
  ; The installer writes out the uninstaller as it is after this command.
  !uninstfinalize '${SIGN_COMMAND} "%1"' = 0
!endif

!define PRODUCT "Tavrensil Online"
!define PUBLISHER "Tavrensil"
!define EXE_NAME "TavrensilClient.exe"
!define UNINSTALLER "Uninstall.exe"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TavrensilOnline"
!define SHORTCUT "${PRODUCT}.lnk"
; Where the client writes its media control (client/app/flash_embed.cpp): this
; folder under %LOCALAPPDATA% (or under the temporary folder when that is not
; set), and the file name the client loads.
!define CONTROL_FOLDER "Tavrensil"
!define CONTROL_FILE "Flash32_32_0_0_363.ocx"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"
SetCompressor /SOLID lzma
ManifestDPIAware true
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}.0"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright (C) ${PUBLISHER}. All rights reserved."

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE_NAME}"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

; The first language is the default; the player's Windows language picks
; Turkish.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Turkish"

LangString SecClientName ${LANG_ENGLISH} "${PRODUCT} (required)"
LangString SecClientName ${LANG_TURKISH} "${PRODUCT} (gerekli)"
LangString SecDesktopName ${LANG_ENGLISH} "Desktop shortcut"
LangString SecDesktopName ${LANG_TURKISH} "Masaüstü kısayolu"
LangString SecUnClientName ${LANG_ENGLISH} "${PRODUCT}"
LangString SecUnClientName ${LANG_TURKISH} "${PRODUCT}"
LangString SecUnControlName ${LANG_ENGLISH} "Media control file"
LangString SecUnControlName ${LANG_TURKISH} "Medya bileşeni dosyası"
LangString SecClientText ${LANG_ENGLISH} "The game, its uninstaller and a Start-menu shortcut."
LangString SecClientText ${LANG_TURKISH} "Oyun, kaldırıcısı ve bir Başlat menüsü kısayolu."
LangString SecDesktopText ${LANG_ENGLISH} "A shortcut to the game on the desktop."
LangString SecDesktopText ${LANG_TURKISH} "Masaüstünde oyuna bir kısayol."
LangString SecUnClientText ${LANG_ENGLISH} "The game, its log, its shortcuts and its entry in the Apps list."
LangString SecUnClientText ${LANG_TURKISH} "Oyun, günlüğü, kısayolları ve Uygulamalar listesindeki girdisi."
LangString SecUnControlText ${LANG_ENGLISH} "The media control the game writes to %LOCALAPPDATA%\${CONTROL_FOLDER}. Every copy of the game on this account uses it; the game writes it again the next time it starts the game movie."
LangString SecUnControlText ${LANG_TURKISH} "Oyunun %LOCALAPPDATA%\${CONTROL_FOLDER} klasörüne yazdığı medya bileşeni. Bu hesaptaki tüm oyun kopyaları onu kullanır; oyun, oyun filmini bir sonraki açışında onu yeniden yazar."
LangString MsgRunning ${LANG_ENGLISH} "${PRODUCT} is running.$\r$\n$\r$\nClose the game, then choose Retry."
LangString MsgRunning ${LANG_TURKISH} "${PRODUCT} çalışıyor.$\r$\n$\r$\nOyunu kapatın, sonra Yeniden Dene'yi seçin."
LangString MsgCancelled ${LANG_ENGLISH} "Cancelled: ${PRODUCT} is still running."
LangString MsgCancelled ${LANG_TURKISH} "İptal edildi: ${PRODUCT} hâlâ çalışıyor."

; Waits until the client executable at $0 is not in use (a running client
; keeps it open). Asks the player to close the game; a silent run, or a
; player who cancels, aborts. Used by the installer and the uninstaller.
!macro WAIT_FOR_CLIENT_CLOSED un
Function ${un}WaitForClientClosed
  ${Do}
    ${IfNot} ${FileExists} "$0"
      Return
    ${EndIf}
    ClearErrors
    FileOpen $1 "$0" a
    ${IfNot} ${Errors}
      FileClose $1
      Return
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(MsgRunning)" /SD IDCANCEL IDRETRY retry
    Abort "$(MsgCancelled)"
    retry:
  ${Loop}
FunctionEnd
!macroend
!insertmacro WAIT_FOR_CLIENT_CLOSED ""
!insertmacro WAIT_FOR_CLIENT_CLOSED "un."

; ---- installer -------------------------------------------------------------

; Update mode (/S /UPDATE=PID): 1, the process id as given, and what a
; failure tells the client it starts (--update-failed=REASON).
Var Updating
Var UpdatePid
Var UpdateFailure

; Update mode: waits until the client that started the update, process
; $UpdatePid, has ended (one that cannot be opened has), at most 30 s.
; Aborts when the id is not a decimal number or the process still runs.
Function WaitForUpdatedClient
  ; A decimal number is written back the same by %u; "", "12x", "-1",
  ; "010" (octal to NSIS) and numbers beyond 32 bits are not.
  IntFmt $0 "%u" $UpdatePid
  ${IfNot} $0 S== $UpdatePid
    Abort "/UPDATE=$UpdatePid: not a process id"
  ${EndIf}
  ; SYNCHRONIZE access, enough to wait for it.
  System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i $UpdatePid) p .r0'
  ${If} $0 P<> 0
    System::Call 'kernel32::WaitForSingleObject(p r0, i 30000) i .r1'
    System::Call 'kernel32::CloseHandle(p r0)'
    ${If} $1 = 258  ; WAIT_TIMEOUT
      StrCpy $UpdateFailure wait
      Abort "process $UpdatePid did not end within 30 s"
    ${ElseIf} $1 <> 0
      Abort "could not wait for process $UpdatePid"
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "$(SecClientName)" SecClient
  SectionIn RO
  ${If} $Updating = 1
    Call WaitForUpdatedClient
  ${EndIf}
  SetOutPath "$INSTDIR"
  StrCpy $0 "$INSTDIR\${EXE_NAME}"
  Call WaitForClientClosed
  ClearErrors
  File "/oname=${EXE_NAME}" "${CLIENT_EXE}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  ; A file skipped or not written fails an update; a player's own
  ; installation has had its message box.
  ${If} ${Errors}
  ${AndIf} $Updating = 1
    Abort "could not write the files to $INSTDIR"
  ${EndIf}
  CreateShortcut "$SMPROGRAMS\${SHORTCUT}" "$INSTDIR\${EXE_NAME}" "" "$INSTDIR\${EXE_NAME}" 0

  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\${EXE_NAME},0"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
SectionEnd

Section "$(SecDesktopName)" SecDesktop
  CreateShortcut "$DESKTOP\${SHORTCUT}" "$INSTDIR\${EXE_NAME}" "" "$INSTDIR\${EXE_NAME}" 0
SectionEnd

; Runs last: an update without the desktop shortcut takes away the one an
; earlier installation made, and the size is known only now.
Section "-Finish"
  ${IfNot} ${SectionIsSelected} ${SecDesktop}
    Delete "$DESKTOP\${SHORTCUT}"
  ${EndIf}
  ${GetSize} "$INSTDIR" "/S=0K /G=0" $0 $1 $2
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Function .onInit
  ; /NODESKTOP: no desktop shortcut (for silent installations).
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/NODESKTOP" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecDesktop}
  ${EndIf}
  ; /UPDATE=PID, silent only. Its id is checked in the install section,
  ; where a failure reaches .onInstFailed (an Abort here would not). The
  ; desktop section is selected exactly when the shortcut is there, so an
  ; update neither adds nor removes it.
  StrCpy $Updating 0
  ClearErrors
  ${GetOptions} $R0 "/UPDATE=" $R1
  ${If} ${Silent}
  ${AndIfNot} ${Errors}
    StrCpy $Updating 1
    StrCpy $UpdatePid $R1
    StrCpy $UpdateFailure install
    ${If} ${FileExists} "$DESKTOP\${SHORTCUT}"
      !insertmacro SelectSection ${SecDesktop}
    ${Else}
      !insertmacro UnselectSection ${SecDesktop}
    ${EndIf}
  ${EndIf}
FunctionEnd

; The client is started from its own folder, not from the one the update
; was downloaded to, which it may then remove.
Function .onInstSuccess
  ${If} $Updating = 1
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\${EXE_NAME}"'
  ${EndIf}
FunctionEnd

; A silent run comes here on every Abort of a section or a function it
; calls, and when a file cannot be written; it never calls Quit.
Function .onInstFailed
  ${If} $Updating = 1
  ${AndIf} ${FileExists} "$INSTDIR\${EXE_NAME}"
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\${EXE_NAME}" --update-failed=$UpdateFailure'
  ${EndIf}
FunctionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecClient} "$(SecClientText)"
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDesktop} "$(SecDesktopText)"
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; ---- uninstaller -----------------------------------------------------------

Section "un.$(SecUnClientName)" SecUnClient
  SectionIn RO
  StrCpy $0 "$INSTDIR\${EXE_NAME}"
  Call un.WaitForClientClosed
  Delete "$INSTDIR\${EXE_NAME}"
  Delete "$INSTDIR\client.log"
  ; What the client writes beside its log: the log of the run before, and
  ; the dump of a crash (a piece of the player's memory).
  Delete "$INSTDIR\client.old.log"
  Delete "$INSTDIR\client-crash.dmp"
  ; Where the client keeps its window's placement between runs.
  Delete "$INSTDIR\window.txt"
  Delete "$INSTDIR\${UNINSTALLER}"
  Delete "$SMPROGRAMS\${SHORTCUT}"
  Delete "$DESKTOP\${SHORTCUT}"
  DeleteRegKey HKCU "${UNINST_KEY}"
  ; Only when empty: whatever else the player put there stays.
  RMDir "$INSTDIR"
  ; The client's update downloads and its record of attempts
  ; (client/app/update.cpp): only the installed copy updates itself.
  ${If} "$LOCALAPPDATA" != ""
    RMDir /r "$LOCALAPPDATA\${CONTROL_FOLDER}\Updates"
    RMDir "$LOCALAPPDATA\${CONTROL_FOLDER}"
  ${EndIf}
SectionEnd

; Off unless chosen (or /REMOVECONTROL in a silent run): the file is shared
; by every copy of the client on this account, portable ones included, and
; the client writes it again at its next start.
Section /o "un.$(SecUnControlName)" SecUnControl
  ${ForEach} $R0 1 2 + 1
    ${If} $R0 == 1
      StrCpy $R1 "$LOCALAPPDATA\${CONTROL_FOLDER}"
    ${Else}
      StrCpy $R1 "$TEMP\${CONTROL_FOLDER}"
    ${EndIf}
    Delete "$R1\${CONTROL_FILE}"
    ; Copies a client plays from when a running one holds the file.
    Delete "$R1\${CONTROL_FILE}.*.tmp"
    RMDir "$R1"
  ${Next}
SectionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecUnClient} "$(SecUnClientText)"
  !insertmacro MUI_DESCRIPTION_TEXT ${SecUnControl} "$(SecUnControlText)"
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END

Function un.onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVECONTROL" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecUnControl}
  ${EndIf}
FunctionEnd
