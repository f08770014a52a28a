#!/usr/bin/env bash
# "After a restart": runs the end-to-end case of a control held by a browser
# in a prefix of its own, keeping what it leaves, then restarts that prefix's
# Wine (a fresh wineserver carries out PendingFileRenameOperations, as
# Windows does at boot) and checks that the control's folder then holds
# flash.ocx and flash.bkp and nothing else.
#
# usage: restart_test.sh EMULATOR E2E_TESTS_EXE PREFIX_DIR
set -uo pipefail
emulator=$1 tests=$2
export TOLVANE_WINEPREFIX=$3 WINEPREFIX=$3 WINEARCH=win32 WINEDEBUG=-all
flash=$WINEPREFIX/drive_c/windows/system32/Macromed/Flash

TOLVANE_E2E_KEEP_MACHINE=1 "$emulator" "$tests" \
  --gtest_filter=RepairRun.AControlHeldByABrowserIsMovedAsideAndDeletedAtTheNextRestart >"$WINEPREFIX.out" 2>&1
code=$?
before=$(ls "$flash" 2>/dev/null | tr '\n' ' ')
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
wine cmd /c exit >/dev/null 2>&1   # the restart: a fresh wineserver and its wineboot
wineserver -w >/dev/null 2>&1
after=$(ls "$flash" 2>/dev/null | tr '\n' ' ')

. "$(dirname "$0")/checks.sh"
check "the two runs with a held control passed" test "$code" -eq 0
check "before the restart a file was moved aside beside the control (found: $before)" test "$(wc -w <<<"$before")" -eq 3
check "after the restart only flash.bkp and flash.ocx remain (found: $after)" test "$after" = "flash.bkp flash.ocx "
[ "$failed" -eq 0 ] || cat "$WINEPREFIX.out"
rm -rf "$flash"
checked
