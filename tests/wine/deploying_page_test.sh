#!/usr/bin/env bash
# docs/deploying.md's startup script, run as the page gives it (in Wine's
# cmd, only the share's path set), on the sample CD copied into a folder as
# a share's content; then the page's uninstall and detection commands.
# PowerShell, which the page's detection script needs, is not in Wine.
#
# usage: deploying_page_test.sh ROOT SAMPLE_CD PREFIX_DIR
set -uo pipefail
root=$1 cd=$2
export WINEPREFIX=$3 WINEARCH=win32 WINEDEBUG=-all
bash "$root/tests/wine/prepare_prefix.sh" "$WINEPREFIX" >/dev/null 2>&1
share=$WINEPREFIX/drive_c/share/Tolvane
# A machine without a control; its folder there, as a real installer makes it.
rm -rf "$share" "$WINEPREFIX/drive_c/windows/system32/Macromed"
mkdir -p "$WINEPREFIX/drive_c/windows/system32/Macromed/Flash"
mkdir -p "$share" && cp -r "$cd"/. "$share"/ && chmod -R u+w "$share"
awk '/^## A Group Policy startup script/ {found = 1} found && /^```bat/ {inside = 1; next} inside && /^```/ {exit} inside' \
  "$root/docs/deploying.md" | sed 's|^set disc=.*|set disc=C:\\share\\Tolvane|; s/$/\r/' >"$WINEPREFIX/drive_c/startup.bat"
tolvane() { wine 'C:\share\Tolvane\Tolvane.exe' "$@" >/dev/null 2>&1; echo $?; }

. "$(dirname "$0")/checks.sh"
check "the page's startup script is found" grep -q 'Tolvane.exe" /quiet /nomenu' "$WINEPREFIX/drive_c/startup.bat"
check "detection before: 1" test "$(tolvane /check)" -eq 1
wine cmd /c 'C:\startup.bat' >"$WINEPREFIX.out" 2>&1
check "after the startup script, detection: 0" test "$(tolvane /check)" -eq 0
check "the script again changes nothing (detection says installed)" \
  sh -c "wine cmd /c 'C:\\startup.bat' >/dev/null 2>&1; test \"\$(wine 'C:\\share\\Tolvane\\Tolvane.exe' /check >/dev/null 2>&1; echo \$?)\" -eq 0"
check "the uninstall command: 0" test "$(tolvane /quiet /restore)" -eq 0
check "after the uninstall, detection: 1" test "$(tolvane /check)" -eq 1
check "the uninstall again: 1605 (modulo 256 under Wine)" test "$(tolvane /quiet /restore)" -eq $((1605 % 256))
check "no control is left where there was none" test ! -e "$WINEPREFIX/drive_c/windows/system32/Macromed/Flash/flash.ocx"
[ "$failed" -eq 0 ] || cat "$WINEPREFIX.out"
wineserver -k >/dev/null 2>&1
checked
