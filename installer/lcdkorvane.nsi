; LCDKorvane installer (NSIS 3). Made by tools/package:
;   makensis -DVERSION=2.6.7 -DVERSION4=2.6.7.0 -DSTAGE=<folder> -DOUTFILE=<setup.exe> lcdkorvane.nsi
; STAGE holds LCDKorvane.exe, lcdkorvane.txt (the sample), readme.txt and LICENSE.txt.
;
; A per-user install: the applet reads lcdkorvane.txt from, and writes errors.txt to, the
; folder it runs in, so that folder must be the user's own and writable. No
; administrator rights are asked for.
;
; Silent use (tests, deployment):
;   setup.exe /S [/AUTOSTART=0|1] [/D=<folder>]     (/D last, no quotes)
;   uninstall.exe /S [/REMOVEUSERDATA]
; /AUTOSTART chooses "Start with Windows" (default 1). The uninstaller keeps the user's
; lcdkorvane.txt and errors.txt unless "Settings and error log" is ticked or
; /REMOVEUSERDATA is given.

!ifndef VERSION | VERSION4 | STAGE | OUTFILE
  !error "VERSION, VERSION4, STAGE and OUTFILE must be defined (see tools/package)"
!endif

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define APP "LCDKorvane"
!define REG_APP "Software\LCDKorvane"
!define REG_RUN "Software\Microsoft\Windows\CurrentVersion\Run"
!define REG_UNINST "Software\Microsoft\Windows\CurrentVersion\Uninstall\LCDKorvane"
!define MENU "$SMPROGRAMS\LCDKorvane"
!define STARTUP_LNK "$SMSTARTUP\LCDKorvane.lnk"
!define WND_CLASS "LCDKorvaneWnd"
!define WND_TITLE "LCDKorvane"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\LCDKorvane"
InstallDirRegKey HKCU "${REG_APP}" "InstallDir"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION4}"
VIAddVersionKey /LANG=1033 "ProductName" "${APP}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${APP} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "The LCDKorvane developers"
VIAddVersionKey /LANG=1033 "LegalCopyright" "MIT licence, the LCDKorvane developers"

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start LCDKorvane now"
!define MUI_FINISHPAGE_RUN_FUNCTION StartApplet
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\lcdkorvane.txt"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Open the settings file"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; Asks a running applet to end (WM_CLOSE to its hidden window, as at log-off), then waits
; up to 30 s until its program file can be written: the window goes at once, the process
; only after its teardown, and a running program's file cannot be replaced or removed.
!macro CLOSE_APPLET un
Function ${un}CloseApplet
  FindWindow $0 "${WND_CLASS}" "${WND_TITLE}"
  ${If} $0 <> 0
    DetailPrint "Ending the running LCDKorvane"
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\LCDKorvane.exe"
    StrCpy $1 0
    ${Do}
      ClearErrors
      FileOpen $2 "$INSTDIR\LCDKorvane.exe" a
      ${IfNot} ${Errors}
        FileClose $2
        ${ExitDo}
      ${EndIf}
      IntOp $1 $1 + 1
      ${If} $1 >= 120
        ${ExitDo}
      ${EndIf}
      Sleep 250
    ${Loop}
  ${EndIf}
FunctionEnd
!macroend
!insertmacro CLOSE_APPLET ""
!insertmacro CLOSE_APPLET "un."

Function StartApplet
  SetOutPath "$INSTDIR"
  Exec '"$INSTDIR\LCDKorvane.exe"'
FunctionEnd

Section "LCDKorvane" SecMain
  SectionIn RO
  Call CloseApplet
  SetOutPath "$INSTDIR"
  ; A program file still in use is an error, never a silent keep of the old program.
  SetOverwrite try
  ClearErrors
  File "${STAGE}\LCDKorvane.exe"
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "$INSTDIR\LCDKorvane.exe is in use and could not be replaced.$\r$\nEnd LCDKorvane (all four soft buttons together) and run the installer again." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  SetOverwrite on
  File "${STAGE}\readme.txt"
  File "${STAGE}\LICENSE.txt"
  File "/oname=lcdkorvane-sample.txt" "${STAGE}\lcdkorvane.txt"
  ; The user's settings are never overwritten: the sample becomes lcdkorvane.txt only
  ; when there is none yet (a new sample always sits beside it).
  SetOverwrite off
  File "/oname=lcdkorvane.txt" "${STAGE}\lcdkorvane.txt"
  SetOverwrite on

  ; Start-menu entries start in the install folder, where the settings are.
  CreateDirectory "${MENU}"
  CreateShortcut "${MENU}\LCDKorvane.lnk" "$INSTDIR\LCDKorvane.exe"
  CreateShortcut "${MENU}\Settings (lcdkorvane.txt).lnk" "$WINDIR\notepad.exe" '"$INSTDIR\lcdkorvane.txt"'
  CreateShortcut "${MENU}\Error log (errors.txt).lnk" "$WINDIR\notepad.exe" '"$INSTDIR\errors.txt"'
  CreateShortcut "${MENU}\Read me.lnk" "$INSTDIR\readme.txt"
  CreateShortcut "${MENU}\Uninstall LCDKorvane.lnk" "$INSTDIR\uninstall.exe"

  ; Chosen again at every install: the section below makes it again when ticked. The
  ; Run entry is what earlier versions started it with ("cmd.exe /c start", which showed
  ; a console window at every log-on): an upgrade removes it.
  Delete "${STARTUP_LNK}"
  DeleteRegValue HKCU "${REG_RUN}" "${APP}"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKCU "${REG_APP}" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${REG_APP}" "Version" "${VERSION}"
  WriteRegStr HKCU "${REG_UNINST}" "DisplayName" "${APP}"
  WriteRegStr HKCU "${REG_UNINST}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${REG_UNINST}" "Publisher" "The LCDKorvane developers"
  WriteRegStr HKCU "${REG_UNINST}" "DisplayIcon" "$INSTDIR\LCDKorvane.exe"
  WriteRegStr HKCU "${REG_UNINST}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${REG_UNINST}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${REG_UNINST}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${REG_UNINST}" "NoModify" 1
  WriteRegDWORD HKCU "${REG_UNINST}" "NoRepair" 1
SectionEnd

; A shortcut in the user's Startup folder: Windows starts it at log-on in the shortcut's
; working folder, which CreateShortcut takes from the output path. The applet reads
; lcdkorvane.txt from the folder it starts in, so that must be the install folder; and
; it is a windows program, so no console window shows.
Section "Start with Windows" SecRun
  CreateDirectory "$SMSTARTUP"
  SetOutPath "$INSTDIR"
  CreateShortcut "${STARTUP_LNK}" "$INSTDIR\LCDKorvane.exe"
SectionEnd

Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/AUTOSTART=" $R1
  ${IfNot} ${Errors}
  ${AndIf} $R1 == "0"
    SectionSetFlags ${SecRun} 0
  ${EndIf}
FunctionEnd

Section "un.LCDKorvane" UnSecMain
  SectionIn RO
  Call un.CloseApplet
  Delete "${STARTUP_LNK}"
  DeleteRegValue HKCU "${REG_RUN}" "${APP}"
  Delete "${MENU}\LCDKorvane.lnk"
  Delete "${MENU}\Settings (lcdkorvane.txt).lnk"
  Delete "${MENU}\Error log (errors.txt).lnk"
  Delete "${MENU}\Read me.lnk"
  Delete "${MENU}\Uninstall LCDKorvane.lnk"
  RMDir "${MENU}"
  Delete "$INSTDIR\LCDKorvane.exe"
  Delete "$INSTDIR\readme.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\lcdkorvane-sample.txt"
  Delete "$INSTDIR\uninstall.exe"
  DeleteRegKey HKCU "${REG_UNINST}"
  DeleteRegKey HKCU "${REG_APP}"
SectionEnd

Section /o "un.Settings and error log (lcdkorvane.txt, errors.txt)" UnSecUserData
  Delete "$INSTDIR\lcdkorvane.txt"
  Delete "$INSTDIR\errors.txt"
SectionEnd

Section "-un.Folder"
  ; Removed only when empty: kept settings keep their folder.
  RMDir "$INSTDIR"
SectionEnd

Function un.onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVEUSERDATA" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${UnSecUserData} ${SF_SELECTED}
  ${EndIf}
FunctionEnd
