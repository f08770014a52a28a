; The peer: the script a publisher would write in NSIS in place of
; Tolvane.exe, written from the seven steps as a careful author writes
; them, and no more. Started from the disc's root, beside data.
;
;   makensis -V2 -DOUTFILE=<path of peer.exe> bench/peer.nsi
Unicode true
Name "Flash Player repair"
OutFile "${OUTFILE}"
SilentInstall silent
RequestExecutionLevel admin

!include "LogicLib.nsh"
!include "WinVer.nsh"

Var flash

Section
  StrCpy $flash "$SYSDIR\Macromed\Flash"
  ; 1. Unregister the installed control.
  ${If} ${FileExists} "$flash\flash.ocx"
    ExecWait '"$SYSDIR\regsvr32.exe" /u /s "$flash\flash.ocx"'
  ${EndIf}
  ; 2. Back it up: the backup from a run before makes way.
  ${If} ${FileExists} "$flash\flash.ocx"
    Delete "$flash\flash.bkp"
    Rename "$flash\flash.ocx" "$flash\flash.bkp"
  ${EndIf}
  ; 3. On Windows XP, the setup information file aside, as the installer wants.
  ${If} ${IsWinXP}
  ${AndIf} ${FileExists} "$WINDIR\ServicePackFiles\i386\swflash.inf"
    Delete "$WINDIR\ServicePackFiles\i386\swflash.bkp"
    Rename "$WINDIR\ServicePackFiles\i386\swflash.inf" "$WINDIR\ServicePackFiles\i386\swflash.bkp"
  ${EndIf}
  ; 4. Run the disc's installer and wait.
  ClearErrors
  ExecWait '"$EXEDIR\data\install_flash_player.exe"'
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "The Flash Player installer could not be started."
  ${EndIf}
  ; 5. Copy the disc's control in place.
  CreateDirectory "$flash"
  CopyFiles /SILENT "$EXEDIR\data\Flash.ocx" "$flash\flash.ocx"
  ; 6. Register it.
  ExecWait '"$SYSDIR\regsvr32.exe" /s "$flash\flash.ocx"'
  ; 7. Start the disc's menu.
  Exec '"$EXEDIR\data\menu.exe"'
SectionEnd
