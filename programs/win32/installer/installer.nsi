; KeldmoorAshvowSetup.exe: the per-user installer of the launcher.
;
; Built by make_installer.cmake (CMake target `installer`), which stages the payload and passes:
;   PAYLOAD    folder holding Launcher.exe and web\, and where the operator supplies them
;              WebView2Loader.dll, MicrosoftEdgeWebView2Setup.exe and launcher.ini
;   OUTFILE    the installer to write
;   VERSION    X.Y.Z, shown in "Apps & features" and the file's properties
;   PUBLISHER  shown in "Apps & features"
;   ICON       the launcher's icon file
;
; Everything goes into one folder of the player's own (no elevation): the launcher writes that
; folder itself (configuration, caches, game files, self-update). The installer therefore only
; installs into a folder that is new, empty or already an installation, and the uninstaller
; deletes nothing outside it.

Unicode true
; The launcher is a 64-bit program; so is its installer.
Target amd64-unicode
ManifestSupportedOS all
RequestExecutionLevel user
SetCompressor /SOLID lzma

!define PRODUCT "Keldmoor Ashvow"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KeldmoorAshvow"
!define WINDOW_CLASS "KMAshvowLauncher"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; An upgrade offers the folder of the installation it upgrades.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow
BrandingText "${PRODUCT} ${VERSION}"

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

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
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
LangString RemoveGameData ${LANG_SPANISH} "¿Borrar también los archivos del juego y tu configuración (settings.ini)?$\r$\n$\r$\nSe va a borrar todo lo que quede en $INSTDIR. Elegí No para conservarlos para una próxima instalación."

; Answers on the stack: 1 when the folder on the stack may be installed into (missing, empty, or
; an installation of ours), otherwise 0. The uninstaller may later empty that folder.
Function FolderIsOursOrEmpty
    Exch $0
    Push $1
    Push $2
    Push $3
    StrCpy $3 1
    StrLen $1 $0
    ${If} $1 <= 3
        ; a drive's root is never ours
        StrCpy $3 0
    ${ElseIf} ${FileExists} "$0\Launcher.exe"
    ${OrIf} ${FileExists} "$0\launcher_verify_cache.txt"
        ; Launcher.exe marks an installation; the verify cache one whose launcher was
        ; uninstalled with its game files kept.
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
    ; A running launcher holds its executable and WebView2Loader.dll open.
    ${Do}
        FindWindow $0 "${WINDOW_CLASS}"
        ${If} $0 == 0
            ${Break}
        ${EndIf}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(LauncherRunning)" /SD IDCANCEL IDRETRY +3
        SetErrorLevel 4
        Quit
    ${Loop}

    SetShellVarContext current
    SetOverwrite on
    SetOutPath "$INSTDIR"
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

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
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

; Empties the folder on the stack. A junction or symbolic link is removed as a link: what it
; points to lies outside and stays.
Function un.RemoveContents
    Exch $0
    Push $1
    Push $2
    Push $3
    FindFirst $1 $2 "$0\*"
    ${DoWhile} $2 != ""
        ${If} $2 != "."
        ${AndIf} $2 != ".."
            System::Call 'kernel32::GetFileAttributesW(w "$0\$2") i .r3'
            ${If} $3 = -1
                ; vanished meanwhile
            ${ElseIf} $3 & 0x400  ; FILE_ATTRIBUTE_REPARSE_POINT
                RMDir "$0\$2"
                Delete "$0\$2"
            ${ElseIf} $3 & 0x10  ; FILE_ATTRIBUTE_DIRECTORY
                Push "$0\$2"
                Call un.RemoveContents
                RMDir "$0\$2"
            ${Else}
                Delete "$0\$2"
            ${EndIf}
        ${EndIf}
        FindNext $1 $2
    ${Loop}
    FindClose $1
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

!macro REMOVE_FOLDER path
    Push "${path}"
    Call un.RemoveContents
    RMDir "${path}"
!macroend

Function un.onInit
    ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallerLanguage"
    ${If} $0 != ""
        StrCpy $LANGUAGE $0
    ${EndIf}
FunctionEnd

Section "Uninstall"
    SetShellVarContext current
    ; The uninstaller only ever works in the folder it sits in, and never in a drive's root.
    StrLen $0 $INSTDIR
    ${If} $0 <= 3
    ${OrIfNot} ${FileExists} "$INSTDIR\Uninstall.exe"
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
    ; the page, the web view profile, banners, remembered beta sign-in, an unfinished update
    !insertmacro REMOVE_FOLDER "$INSTDIR\web"
    !insertmacro REMOVE_FOLDER "$INSTDIR\cache"
    !insertmacro REMOVE_FOLDER "$INSTDIR\updates"

    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$DESKTOP\${PRODUCT}.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"

    ; The game files and settings.ini are the player's: removed only when the player says so,
    ; or when a managed uninstall asks for it (/S /PURGE).
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/PURGE" $1
    ${If} ${Errors}
        MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "$(RemoveGameData)" /SD IDNO IDNO keep
    ${EndIf}
    Delete "$INSTDIR\Uninstall.exe"
    Push "$INSTDIR"
    Call un.RemoveContents
keep:
    ; The verify cache stays with the game files: it describes them, and marks the folder as
    ; ours for a later installation.
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
