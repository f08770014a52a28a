#!/usr/bin/env bash
# The reports in the language of the person at the PC, which Wine takes
# from LC_ALL: the sample CD, copied into a folder without its control, run
# with /quiet so that the failure's report goes to the log as it would have
# shown it. Spanish for es_ES, es_MX and ca_ES (Catalan reads Spanish),
# English for en_US; /? too. The log's own lines stay in English.
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

. "$(dirname "$0")/checks.sh"
has() {  # the log, what it has, what it has not; else the log's end is shown
  grep -qF -- "$2" <<<"$1" && ! grep -qF -- "$3" <<<"$1" || { tail -20 <<<"$1"; false; }
}
for locale in es_ES.UTF-8 es_MX.UTF-8 ca_ES.UTF-8; do
  log=$(run "$locale")
  check "$locale: the failure's report in Spanish" has "$log" "Use el disco original u otra copia de ese disco." "Use the original disc"
  check "$locale: the log's own lines in English" has "$log" "Checking the medium's files against the program's record" \
    "Comprobando"
  check "$locale: the log names the language" has "$log" "The person's reports are in Spanish" "in English (0409)"
done
log=$(run en_US.UTF-8)
check "en_US: the failure's report in English" has "$log" "Use the original disc, or another copy of it." "Use el disco"
log=$(run es_ES.UTF-8 /?)
check "es_ES: /? in Spanish" has "$log" "si este equipo necesita la reparación" "whether this machine needs the repair"
wineserver -k >/dev/null 2>&1
checked
