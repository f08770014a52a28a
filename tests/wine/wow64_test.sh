#!/usr/bin/env bash
# The whole repair under a 64-bit Wine prefix: the 32-bit program must see
# the 32-bit system folder (syswow64 on disk) through the system's
# redirection, repair the control there and have the 32-bit registration
# tool register it; nothing may land in the 64-bit system32. The installer
# leaves its own control there, held by a browser (holder.exe): its deletion
# at the next restart must name syswow64, where the 64-bit session manager
# will look for it.
#
# usage: wow64_test.sh BIN_DIR PREFIX_DIR
set -uo pipefail
bin=$1
export WINEARCH=win64 WINEPREFIX=$2 WINEDEBUG=-all
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || { echo "FAILED: $wine64 is missing (Debian package wine64)"; echo "0 passed, 1 failed"; exit 1; }

exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/.tolvane-ready" ]; then
  WINEDLLOVERRIDES="mscoree,mshtml=" "$wine64" wineboot -i >/dev/null 2>&1
  "$wine64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  "$wine64" reg add 'HKCU\Software\Wine' /v Version /d win7 /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.tolvane-ready"
fi

c=$WINEPREFIX/drive_c
sys64=$c/windows/system32
sys32=$c/windows/syswow64
[ -f "$sys32/kernel32.dll" ] || { echo "FAILED: the prefix has no syswow64 folder"; echo "0 passed, 1 failed"; exit 1; }
rm -rf "$sys64/Macromed" "$sys32/Macromed" "$c/wow64"
mkdir -p "$sys32/Macromed/Flash" "$c/wow64/data"
cp "$bin/testctl_installed.dll" "$sys32/Macromed/Flash/flash.ocx"
cp "$bin/Tolvane.exe" "$c/wow64/"
cp "$bin/standin.exe" "$c/wow64/data/install_flash_player.exe"
cp "$bin/standin.exe" "$c/wow64/data/menu.exe"
cp "$bin/testctl_medium.dll" "$c/wow64/data/Flash.ocx"
cp "$bin/testctl_installed.dll" "$c/wow64/installers-own.dll"
cp "$bin/standin.exe" "$c/wow64/holder.exe"
"$wine64" reg delete 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations /f >/dev/null 2>&1

run() {
  if [ -n "${DISPLAY:-}" ]; then wine "$@"; else xvfb-run -a wine "$@"; fi
}
control='C:\windows\system32\Macromed\Flash\flash.ocx'
TOLVANE_TEST_LOG='C:\wow64\run.log' STANDIN_INSTALLER_MS=500 STANDIN_INSTALLER_WRITES="$control" \
  STANDIN_INSTALLER_COPIES='C:\wow64\installers-own.dll' STANDIN_INSTALLER_STARTS="C:\wow64\holder.exe \"$control\"" \
  run 'C:\wow64\Tolvane.exe' 2>/dev/null
code=$?
# The menu is started as Tolvane.exe ends; give it time to log its start
# before the prefix's processes are ended (a loaded machine takes seconds).
for _ in $(seq 100); do grep -qa 'menu.exe start' "$c/wow64/run.log" 2>/dev/null && break; sleep 0.2; done
pending=$("$wine64" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null | tr -d '\r')
wineserver -k
log=$(tr -d '\r' < "$c/wow64/run.log" 2>/dev/null)

. "$(dirname "$0")/checks.sh"
# 3010: a program (the browser) held the control that was replaced; Wine
# hands the code on modulo 256.
check "Tolvane.exe ended with exit code 3010, as Wine returns it: 194 (got $code)" test "$code" -eq $((3010 % 256))
check "syswow64 holds the medium's control" cmp -s "$sys32/Macromed/Flash/flash.ocx" "$bin/testctl_medium.dll"
check "syswow64 holds the old control as flash.bkp" cmp -s "$sys32/Macromed/Flash/flash.bkp" "$bin/testctl_installed.dll"
check "nothing landed in the 64-bit system32" test ! -e "$sys64/Macromed"
check "the 32-bit registration tool registered the control at the program's system folder path" \
  grep -qF 'control register C:\windows\system32\Macromed\Flash\flash.ocx mark=medium' <<<"$log"
check "the menu was started" grep -q '^[0-9.]* menu.exe start' <<<"$log"
check "the installer's control, held by a browser, is to be deleted at the restart from syswow64" \
  grep -qiF 'C:\windows\syswow64\Macromed\Flash\flash.ocx.1.old' <<<"$pending"
check "nothing in the 64-bit system32 is to be deleted" eval '! grep -qi "system32" <<<"$pending"'
[ "$failed" -eq 0 ] || printf 'deletions at the next restart:\n%s\n' "$pending"
[ "$failed" -eq 0 ] || printf 'log of the run:\n%s\n' "$log"
[ "$failed" -eq 0 ] || { echo "Tolvane.log:"; iconv -f UTF-16 -t UTF-8 "$c"/users/*/Temp/Tolvane.log | tr -d '\r'; }
rm -rf "$sys32/Macromed" "$c/wow64"
checked
