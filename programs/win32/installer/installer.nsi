; KeldmoorAshvowSetup.exe: the per-user installer of the launcher.
;
; Built by make_installer.cmake (CMake target `installer`), which stages the payload and passes:
;   PAYLOAD    folder holding Launcher.exe and web\, and where the operator supplies them
;              WebView2Loader.dll, MicrosoftEdgeWebView2Setup.exe and launcher.ini
;   OUTFILE    the installer to write
;   VERSION    X.Y.Z, shown in "Apps & features" and the file's properties
;   PUBLISHER  shown in "Apps & features"
;   ICON       the launcher's icon file
;   TESTKEY    defined when the packed launcher trusts RFC 8032's published test key
;
; Everything goes into one folder of the player's own (no elevation): the launcher writes that
; folder itself (configuration, caches, game files, self-update). The installer therefore only
; installs into a folder that is new, empty or marked as an installation of ours, and the
; uninstaller deletes nothing outside it and empties only a folder so marked.

Unicode true
; The launcher is a 64-bit program; so is its installer.
Target amd64-unicode
ManifestSupportedOS all
RequestExecutionLevel user
SetCompressor /SOLID lzma

!define PRODUCT "Keldmoor Ashvow"
!define PRODUCT_ID "KeldmoorAshvow"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT_ID}"
!define WINDOW_CLASS "KMAshvowLauncher"
; Holds PRODUCT_ID. With our uninstall entry, the only proof that a folder is an installation of
; ours: another game's Launcher.exe or a stray verify cache proves nothing.
!define MARKER "launcher_installation.txt"
!ifdef TESTKEY
    ; Whoever signs with the published key can make this launcher install anything: a build
    ; for development, which must never pass for one a player gets.
    !define DISPLAY_NAME "${PRODUCT} (TESTKEY)"
!else
    !define DISPLAY_NAME "${PRODUCT}"
!endif
; The packed launcher's file version, to compare with an installed one that a self-update may
; have made newer than the uninstall entry says.
!getdllversion "${PAYLOAD}\Launcher.exe" PACKED_
!define PACKED_LAUNCHER_VERSION "${PACKED_1}.${PACKED_2}.${PACKED_3}.${PACKED_4}"

Name "${DISPLAY_NAME}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; An upgrade offers the folder of the installation it upgrades.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow
BrandingText "${DISPLAY_NAME} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PUBLISHER}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!define MUI_DIRECTORYPAGE_TEXT_TOP "$(FolderPageText)"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Launcher.exe"
!define MUI_FINISHPAGE_RUN_TEXT "$(StartLauncher)"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; English first: NSIS falls back to the first language when Windows speaks neither.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Spanish"

LangString StartLauncher ${LANG_ENGLISH} "Start ${PRODUCT}"
LangString StartLauncher ${LANG_SPANISH} "Abrir ${PRODUCT}"
LangString ChooseLanguage ${LANG_ENGLISH} "Choose the installer's language."
LangString ChooseLanguage ${LANG_SPANISH} "Elegí el idioma del instalador."
LangString FolderInUse ${LANG_ENGLISH} "This folder already holds other files.$\r$\n$\r$\nChoose a new or empty folder, or the folder of an existing ${PRODUCT} installation."
LangString FolderInUse ${LANG_SPANISH} "Esta carpeta ya tiene otros archivos.$\r$\n$\r$\nElegí una carpeta nueva o vacía, o la carpeta de una instalación de ${PRODUCT}."
LangString LauncherRunning ${LANG_ENGLISH} "${PRODUCT} is running. Close it and press Retry."
LangString LauncherRunning ${LANG_SPANISH} "${PRODUCT} está abierto. Cerralo y presioná Reintentar."
LangString RemoveGameData ${LANG_ENGLISH} "Also delete the game files and your game settings (settings.ini)?$\r$\n$\r$\nEverything left in $INSTDIR will be deleted. Choose No to keep them for a later installation."
LangString FolderPageText ${LANG_ENGLISH} "${PRODUCT} will be installed in this folder. A new folder is made accessible only to you, the administrators and the system; an existing folder keeps its permissions. Click Install to start."
LangString FolderPageText ${LANG_SPANISH} "${PRODUCT} se va a instalar en esta carpeta. Una carpeta nueva queda accesible solo para vos, los administradores y el sistema; una carpeta existente conserva sus permisos. Presioná Instalar para empezar."
LangString FolderNotCreated ${LANG_ENGLISH} "The folder $INSTDIR could not be created. Choose another folder."
LangString FolderNotCreated ${LANG_SPANISH} "No se pudo crear la carpeta $INSTDIR. Elegí otra carpeta."
LangString Downgrade ${LANG_ENGLISH} "This folder holds a newer ${PRODUCT} than this installer (${VERSION}).$\r$\n$\r$\nInstall the older version anyway?"
LangString Downgrade ${LANG_SPANISH} "En esta carpeta hay un ${PRODUCT} más nuevo que el de este instalador (${VERSION}).$\r$\n$\r$\n¿Querés instalar igual la versión anterior?"
LangString NotOurFolder ${LANG_ENGLISH} "$INSTDIR does not hold a ${PRODUCT} installation. Nothing was removed."
LangString NotOurFolder ${LANG_SPANISH} "$INSTDIR no tiene una instalación de ${PRODUCT}. No se borró nada."
LangString RemoveGameData ${LANG_SPANISH} "¿Borrar también los archivos del juego y tu configuración (settings.ini)?$\r$\n$\r$\nSe va a borrar todo lo que quede en $INSTDIR. Elegí No para conservarlos para una próxima instalación."

; Sets result to 1 when folder holds our marker, otherwise to 0 (uses $R9). FileRead stops at
; 1024 characters, so whatever file bears that name is read in bounded time.
!macro HAS_MARKER folder result
    StrCpy ${result} ""
    ClearErrors
    FileOpen $R9 "${folder}\${MARKER}" r
    ${IfNot} ${Errors}
        FileRead $R9 ${result}
        FileClose $R9
    ${EndIf}
    ${If} ${result} S== "${PRODUCT_ID}"
        StrCpy ${result} 1
    ${Else}
        StrCpy ${result} 0
    ${EndIf}
!macroend

; Answers on the stack: 1 when the folder on the stack may be installed into (missing, empty, or
; marked as ours: our uninstall entry names it or it holds our marker), otherwise 0. The
; uninstaller may later empty that folder. Uses $R8 and $R9.
Function FolderIsOursOrEmpty
    Exch $0
    Push $1
    Push $2
    Push $3
    StrCpy $3 1
    StrLen $1 $0
    ReadRegStr $2 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    !insertmacro HAS_MARKER $0 $R8
    ${If} $1 <= 3
        ; a drive's root is never ours
        StrCpy $3 0
    ${ElseIf} $2 == $0
        ; installed by an installer that wrote no marker yet (== ignores case, as Windows does)
    ${ElseIf} $R8 == 1
        ; our marker
    ${ElseIf} ${FileExists} "$0\*.*"
        FindFirst $1 $2 "$0\*"
        ${DoWhile} $2 != ""
            ${If} $2 != "."
            ${AndIf} $2 != ".."
                StrCpy $3 0
                ${Break}
            ${EndIf}
            FindNext $1 $2
        ${Loop}
        FindClose $1
    ${EndIf}
    StrCpy $0 $3
    Pop $3
    Pop $2
    Pop $1
    Exch $0
FunctionEnd

; Answers on the stack: 1 when $INSTDIR holds something newer than this installer. Each version
; is compared with its own kind: the installed Launcher.exe (a self-update replaces it without
; touching the uninstall entry) with the packed one, the uninstall entry with this installer.
Function InstalledIsNewer
    Push $0
    Push $1
    StrCpy $1 0
    ClearErrors
    ${GetFileVersion} "$INSTDIR\Launcher.exe" $0
    ${IfNot} ${Errors}
        ${VersionCompare} $0 "${PACKED_LAUNCHER_VERSION}" $0
        ${If} $0 == 1
            StrCpy $1 1
        ${EndIf}
    ${EndIf}
    ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 == $INSTDIR
        ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "DisplayVersion"
        ${VersionCompare} $0 "${VERSION}" $0
        ${If} $0 == 1
            StrCpy $1 1
        ${EndIf}
    ${EndIf}
    Pop $0
    Exch $1
FunctionEnd

; Answers on the stack: 1 when a launcher (or km-check) of $INSTDIR runs. It holds byte 65536 of
; launcher.lock locked from its first step to its end, before and after its window exists.
Function LauncherHoldsLock
    Push $0
    Push $1
    Push $2
    Push $4
    Push $3
    StrCpy $3 0
    ; GENERIC_READ, sharing read and write, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT
    System::Call 'kernel32::CreateFileW(w "$INSTDIR\launcher.lock", i 0x80000000, i 3, p 0, i 3, i 0x200080, p 0) p .r0'
    ${If} $0 <> -1
        ; OVERLAPPED on x64: Internal, InternalHigh, Offset 65536, OffsetHigh, hEvent
        System::Call '*(p 0, p 0, i 65536, i 0, p 0) p .r1'
        ; LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, one byte
        System::Call 'kernel32::LockFileEx(p r0, i 3, i 0, i 1, i 0, p r1) i .r2 ?e'
        Pop $4
        ${If} $2 <> 0
            System::Call 'kernel32::UnlockFileEx(p r0, i 0, i 1, i 0, p r1)'
        ${ElseIf} $4 = 33  ; ERROR_LOCK_VIOLATION
            StrCpy $3 1
        ${EndIf}
        System::Free $1
        System::Call 'kernel32::CloseHandle(p r0)'
    ${EndIf}
    Exch $3
    Exch
    Pop $4
    Exch
    Pop $2
    Exch
    Pop $1
    Exch
    Pop $0
FunctionEnd

; Makes $INSTDIR with an access list of its own: the player, SYSTEM and the administrators, full
; control, inherited by everything below and nothing inherited from above. Under C:\Games the
; parent's list would let every local user replace Launcher.exe or the page. The list is given
; to CreateDirectoryW, so the folder never exists without it; a folder that appeared meanwhile
; makes it fail. Sets the error flag on failure; uses $0 to $5.
Function CreateProtectedFolder
    ${GetParent} "$INSTDIR" $0
    CreateDirectory "$0"
    ; The player's SID as text: OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY), TokenUser.
    StrCpy $5 ""
    System::Call 'advapi32::OpenProcessToken(p -1, i 8, *p .r1) i .r0'
    ${If} $0 <> 0
        System::Alloc 256
        Pop $2
        System::Call 'advapi32::GetTokenInformation(p r1, i 1, p r2, i 256, *i .r3) i .r0'
        ${If} $0 <> 0
            System::Call '*$2(p .r3)'
            System::Call 'advapi32::ConvertSidToStringSidW(p r3, *p .r4) i .r0'
            ${If} $0 <> 0
                System::Call '*$4(&w256 .r5)'
                System::Call 'kernel32::LocalFree(p r4)'
            ${EndIf}
        ${EndIf}
        System::Free $2
        System::Call 'kernel32::CloseHandle(p r1)'
    ${EndIf}
    StrCpy $0 0
    ${If} $5 != ""
        ; P: protected from inheritance; OICI: folders and files below inherit; FA: full control.
        System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "D:P(A;OICI;FA;;;$5)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", i 1, *p .r1, p 0) i .r0'
        ${If} $0 <> 0
            ; SECURITY_ATTRIBUTES on x64: nLength, padding, lpSecurityDescriptor, bInheritHandle, padding
            System::Call '*(i 24, i 0, p r1, i 0, i 0) p .r2'
            System::Call 'kernel32::CreateDirectoryW(w "$INSTDIR", p r2) i .r0'
            System::Free $2
            System::Call 'kernel32::LocalFree(p r1)'
        ${EndIf}
    ${EndIf}
    ClearErrors
    ${If} $0 = 0
        SetErrors
    ${EndIf}
FunctionEnd

Function .onInit
    ${IfNot} ${Silent}
        ; Windows' own language (picked by NSIS) is preselected. The list sorts its names, so
        ; they are written in that language, which also puts it first.
        Push ""
        ${If} $LANGUAGE == ${LANG_SPANISH}
            Push ${LANG_ENGLISH}
            Push "Inglés (English)"
            Push ${LANG_SPANISH}
            Push "Español"
        ${Else}
            Push ${LANG_SPANISH}
            Push "Spanish (Español)"
            Push ${LANG_ENGLISH}
            Push "English"
        ${EndIf}
        Push A
        LangDLL::LangDialog "${PRODUCT}" "$(ChooseLanguage)"
        Pop $0
        ${If} $0 == "cancel"
            Abort
        ${EndIf}
        StrCpy $LANGUAGE $0
    ${EndIf}
FunctionEnd

Function DirectoryLeave
    Push $INSTDIR
    Call FolderIsOursOrEmpty
    Pop $0
    ${If} $0 == 0
        MessageBox MB_OK|MB_ICONEXCLAMATION "$(FolderInUse)"
        Abort
    ${EndIf}
FunctionEnd

Section "Install"
    ; /D= skips the directory page: check the folder here too.
    Push $INSTDIR
    Call FolderIsOursOrEmpty
    Pop $0
    ${If} $0 == 0
        MessageBox MB_OK|MB_ICONSTOP "$(FolderInUse)" /SD IDOK
        SetErrorLevel 3
        Quit
    ${EndIf}
    ; An old installer run over a newer launcher would take the player's version away.
    Call InstalledIsNewer
    Pop $0
    ${If} $0 == 1
        MessageBox MB_YESNO|MB_ICONEXCLAMATION|MB_DEFBUTTON2 "$(Downgrade)" /SD IDNO IDYES downgrade_agreed
        SetErrorLevel 5
        Quit
    ${EndIf}
downgrade_agreed:
    ; A running launcher holds its executable and WebView2Loader.dll open, and writes the folder.
    ${Do}
        FindWindow $0 "${WINDOW_CLASS}"
        Call LauncherHoldsLock
        Pop $1
        ${If} $0 == 0
        ${AndIf} $1 == 0
            ${Break}
        ${EndIf}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(LauncherRunning)" /SD IDCANCEL IDRETRY +3
        SetErrorLevel 4
        Quit
    ${Loop}

    SetShellVarContext current
    ; A folder that exists keeps its access list: it may be shared on purpose (the folder page
    ; says so).
    ${IfNot} ${FileExists} "$INSTDIR\*.*"
        Call CreateProtectedFolder
        ${If} ${Errors}
            MessageBox MB_OK|MB_ICONSTOP "$(FolderNotCreated)" /SD IDOK
            SetErrorLevel 6
            Quit
        ${EndIf}
    ${EndIf}
    SetOverwrite on
    SetOutPath "$INSTDIR"
    ; The marker first: a folder the installer stopped in halfway is still ours to finish.
    FileOpen $0 "$INSTDIR\${MARKER}" w
    FileWrite $0 "${PRODUCT_ID}"
    FileClose $0
    ; A self-update the old launcher staged would replace the executable installed here at its
    ; next start; the launcher stages again if its server still lists something newer.
    Delete "$INSTDIR\Launcher.exe.update"
    Delete "$INSTDIR\Launcher.exe.old"
    File "${PAYLOAD}\Launcher.exe"
!if /FileExists "${PAYLOAD}\WebView2Loader.dll"
    File "${PAYLOAD}\WebView2Loader.dll"
!endif
!if /FileExists "${PAYLOAD}\MicrosoftEdgeWebView2Setup.exe"
    File "${PAYLOAD}\MicrosoftEdgeWebView2Setup.exe"
!endif
    File /r "${PAYLOAD}\web"
!if /FileExists "${PAYLOAD}\launcher.ini"
    ; The operator's server address for a new installation; an upgrade keeps the player's.
    ${IfNot} ${FileExists} "$INSTDIR\launcher.ini"
        File "${PAYLOAD}\launcher.ini"
    ${EndIf}
!endif
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Launcher.exe" "" "$INSTDIR\Launcher.exe" 0
    CreateShortcut "$DESKTOP\${PRODUCT}.lnk" "$INSTDIR\Launcher.exe" "" "$INSTDIR\Launcher.exe" 0

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${DISPLAY_NAME}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Launcher.exe,0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallerLanguage" "$LANGUAGE"
    ; In KiB, game files included: what removing the whole installation would free.
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Removes the file or folder at the path on the stack without following links: a junction or
; symbolic link is removed as a link (what it points to lies elsewhere and stays, even when the
; link is `cache` or the installation folder itself); a folder is emptied the same way first.
Function un.RemoveTree
    Exch $0
    Push $1
    Push $2
    System::Call 'kernel32::GetFileAttributesW(w r0) i .r1'
    ${If} $1 = -1
        ; missing, or vanished meanwhile
    ${ElseIf} $1 & 0x400  ; FILE_ATTRIBUTE_REPARSE_POINT
        RMDir "$0"
        Delete "$0"
    ${ElseIf} $1 & 0x10  ; FILE_ATTRIBUTE_DIRECTORY
        FindFirst $1 $2 "$0\*"
        ${DoWhile} $2 != ""
            ${If} $2 != "."
            ${AndIf} $2 != ".."
                Push "$0\$2"
                Call un.RemoveTree
            ${EndIf}
            FindNext $1 $2
        ${Loop}
        FindClose $1
        RMDir "$0"
    ${Else}
        Delete "$0"
    ${EndIf}
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

Function un.onInit
    ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallerLanguage"
    ${If} $0 != ""
        StrCpy $LANGUAGE $0
    ${EndIf}
FunctionEnd

Section "Uninstall"
    SetShellVarContext current
    ; The uninstaller only ever works in the folder it sits in, never in a drive's root, and
    ; only where our marker is: `_?=` names any folder, and other games ship an Uninstall.exe too.
    StrLen $0 $INSTDIR
    !insertmacro HAS_MARKER $INSTDIR $1
    ${If} $0 <= 3
    ${OrIf} $1 != 1
    ${OrIfNot} ${FileExists} "$INSTDIR\Uninstall.exe"
        MessageBox MB_OK|MB_ICONSTOP "$(NotOurFolder)" /SD IDOK
        SetErrorLevel 2
        Quit
    ${EndIf}

    ; The launcher and what it keeps for itself.
    Delete "$INSTDIR\Launcher.exe"
    Delete "$INSTDIR\Launcher.exe.update"
    Delete "$INSTDIR\Launcher.exe.old"
    Delete "$INSTDIR\WebView2Loader.dll"
    Delete "$INSTDIR\MicrosoftEdgeWebView2Setup.exe"
    Delete "$INSTDIR\launcher.ini"
    Delete "$INSTDIR\launcher.lock"
    ; the page, the web view profile, banners, remembered beta sign-in, an unfinished update
    Push "$INSTDIR\web"
    Call un.RemoveTree
    Push "$INSTDIR\cache"
    Call un.RemoveTree
    Push "$INSTDIR\updates"
    Call un.RemoveTree

    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$DESKTOP\${PRODUCT}.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"

    ; The game files and settings.ini are the player's: removed only when the player says so,
    ; or when a managed uninstall asks for it (/S /PURGE).
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/PURGE" $1
    ${If} ${Errors}
        MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "$(RemoveGameData)" /SD IDNO IDYES purge
        ; The game files stay, with the verify cache that describes them and the marker that
        ; lets a later installation adopt the folder.
        Delete "$INSTDIR\Uninstall.exe"
        Return
    ${EndIf}
purge:
    Delete "$INSTDIR\Uninstall.exe"
    Push "$INSTDIR"
    Call un.RemoveTree
SectionEnd
