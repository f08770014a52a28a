#!/usr/bin/env bash
# The reports in the language of the person at the PC, which Wine takes
# from LC_ALL: the sample CD, copied into a folder without its control, run
# with /quiet so that the failure's report goes to the log as it would have
# shown it. Spanish for es_ES and es_MX, English for en_US; /? too. The
# log's own lines stay in English.
#
# usage: language_test.sh ROOT SAMPLE_CD PREFIX_DIR
set -uo pipefail
root=$1 cd=$2
export WINEPREFIX=$3 WINEARCH=win32 WINEDEBUG=-all
bash "$root/tests/wine/prepare_prefix.sh" "$WINEPREFIX" >/dev/null 2>&1
disc=$WINEPREFIX/drive_c/disc
rm -rf "$disc" && mkdir -p "$disc" && cp -r "$cd"/. "$disc"/ && chmod -R u+w "$disc" && rm "$disc/data/Flash.ocx"
run() {  # LOCALE [SWITCH...]: the run's log as UTF-8 text
  local locale=$1
  shift
  rm -f "$WINEPREFIX/drive_c/run.log"
  LC_ALL=$locale wine 'C:\disc\Tolvane.exe' /quiet /nomenu /log 'C:\run.log' "$@" >/dev/null 2>&1
  wineserver -w
  iconv -f utf-16le -t utf-8 "$WINEPREFIX/drive_c/run.log" | tr -d '\r'
}

passed=0 failed=0
check() {  # description, the log, then what it has and what it has not
  local what=$1 log=$2 has=$3 hasNot=$4
  if grep -qF -- "$has" <<<"$log" && ! grep -qF -- "$hasNot" <<<"$log"; then
    passed=$((passed + 1)); echo "ok      $what"
  else
    failed=$((failed + 1)); echo "FAILED  $what"; echo "$log" | tail -20
  fi
}
for locale in es_ES.UTF-8 es_MX.UTF-8; do
  log=$(run "$locale")
  check "$locale: the failure's report in Spanish" "$log" "Use el disco original u otra copia del mismo." "Use the original disc"
  check "$locale: the log's own lines in English" "$log" "Checking the medium's files against the program's record" \
    "Comprobando"
  check "$locale: the log names the language" "$log" "The person's reports are in Spanish" "in English (0409)"
done
log=$(run en_US.UTF-8)
check "en_US: the failure's report in English" "$log" "Use the original disc, or another copy of it." "Use el disco"
log=$(run es_ES.UTF-8 /?)
check "es_ES: /? in Spanish" "$log" "si este equipo necesita la reparación" "whether this machine needs the repair"
wineserver -k >/dev/null 2>&1
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
