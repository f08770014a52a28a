#!/usr/bin/env bash
# The main job on a sample medium, as a new user first meets it.
#
#   bash scripts/demo.sh            a machine that reports Windows XP
#   bash scripts/demo.sh --later    a machine that reports Windows 10
#
# Installs what is missing, builds Tolvane.exe, makes a throwaway 32-bit Wine
# prefix with a control and swflash.inf installed, masters a sample medium
# (Tolvane.exe, data\install_flash_player.exe, data\Flash.ocx, data\menu.exe
# stand-ins) with the publisher's tool, tools/make_medium.py, and prints its
# table; reads the image's files back by their Joliet names onto the root of
# a CD-ROM drive D:, read-only as on a pressed CD, runs D:\Tolvane.exe under
# Wine with a private X display, and
# prints the files before and after and what was started when. The system's
# registration tool is swapped for a stand-in that logs its command line,
# does the tool's job and ends with the tool's exit code. Ends with the run's
# own log (Tolvane.log in the temporary folder), cleans up and ends with
# Tolvane.exe's exit code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=winxp
case "${1:-}" in
  --later) version=win10 ;;
  "") ;;
  *) echo "usage: $0 [--later]" >&2; exit 2 ;;
esac

bash "$root/scripts/build.sh"
bin="$root/build/bin"
echo "Built $bin/Tolvane.exe"

work=$(mktemp -d /tmp/tolvane-demo.XXXXXX)
export WINEARCH=win32 WINEPREFIX="$work/prefix" WINEDEBUG=-all
cleanup() { wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT

echo "Preparing a throwaway Wine prefix that reports $version ..."
bash "$root/tests/wine/prepare_prefix.sh" "$WINEPREFIX"
wine reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\DllOverrides' /v regsvr32.exe /d native /f >/dev/null 2>&1
wineserver -w

c="$WINEPREFIX/drive_c"
sys="$c/windows/system32"
cd_root="$WINEPREFIX/cdrom"   # drive D:, of type cdrom (see tests/wine/prepare_prefix.sh)
mkdir -p "$sys/Macromed/Flash" "$c/windows/ServicePackFiles/i386"
cp "$bin/testctl_installed.dll" "$sys/Macromed/Flash/flash.ocx"
printf '[Version]\r\nSignature="$CHICAGO$"\r\n' > "$c/windows/ServicePackFiles/i386/swflash.inf"
cp "$sys/regsvr32.exe" "$work/regsvr32.saved"
cp "$bin/standin.exe" "$sys/regsvr32.exe"
echo
echo "Mastering the sample medium with tools/make_medium.py:"
bash "$root/scripts/master_sample.sh" "$bin" "$cd_root" | sed 's/^/  /'
find "$cd_root" -type f -exec chmod a-w {} +   # Windows sees them read-only

listing() {  # name<TAB>size<TAB>sha1<TAB>read-only of each file in the two folders
  for dir in "windows/system32/Macromed/Flash" "windows/ServicePackFiles/i386"; do
    for f in "$c/$dir"/*; do
      [ -f "$f" ] || continue
      ro=""; [ "$(stat -c %A "$f" | cut -c3)" = w ] || ro=", read-only"   # no write bit: read-only to Windows
      printf '%s\t%s\t%s\t%s\n' "C:\\${dir//\//\\}\\$(basename "$f")" "$(stat -c %s "$f")" \
        "$(sha1sum < "$f" | cut -c1-8)" "$ro"
    done
  done
}
listing > "$work/before.tsv"

export TOLVANE_TEST_LOG='C:\demo.log' STANDIN_INSTALLER_MS=2000
start=$(date -u +%s%3N)
set +e
xvfb-run -a -s "-screen 0 1024x768x24" wine 'D:\Tolvane.exe' 2> >(grep -v '^X connection' >&2)
code=$?
set -e
wineserver -w   # the programs it started (registration, menu) run on after it
listing > "$work/after.tsv"
cp "$work/regsvr32.saved" "$sys/regsvr32.exe"

/usr/bin/python3 - "$work/before.tsv" "$work/after.tsv" "$c/demo.log" "$start" "$code" "$version" \
  "$bin/testctl_installed.dll" "$bin/testctl_medium.dll" <<'PY'
import hashlib, sys
before_path, after_path, log_path, start, code, version, old_control, new_control = sys.argv[1:]
digest = lambda path: hashlib.sha1(open(path, "rb").read()).hexdigest()[:8]
known = {digest(old_control): "the control that was installed", digest(new_control): "the medium's Flash.ocx"}

seen = set()

def read(path):
    rows = {}
    for line in open(path, encoding="utf-8"):
        name, size, digest, read_only = line.rstrip("\n").split("\t")
        rows[name] = f"{size} bytes, sha1 {digest}{read_only}"
        seen.add(digest)
    return rows

before, after = read(before_path), read(after_path)
print()
print(f"D:\\Tolvane.exe on a read-only sample CD in drive D:, Wine reporting {version}")
print()
width = max(len(n) for n in set(before) | set(after))
print(f"{'file':<{width}}  {'before':<29}  after")
for name in sorted(set(before) | set(after)):
    print(f"{name:<{width}}  {before.get(name, '-'):<29}  {after.get(name, '-')}")

for d in sorted(seen):
    if d in known:
        print(f"  sha1 {d} is {known[d]}")

start_ms = int(start) % 86_400_000
print()
print("What was started (times from when Wine was asked to start Tolvane.exe, Wine's own start-up included;")
print("the run's log below counts from the program's own start):")
try:
    lines = open(log_path, encoding="utf-8").read().splitlines()
except FileNotFoundError:
    lines = []
for line in lines:
    stamp, _, text = line.partition(" ")
    t = (float(stamp) - start_ms) / 1000
    if text.startswith("spy regsvr32 start"):
        what = "registration tool: " + text.split(" cmd=", 1)[1]
    elif text.startswith("spy regsvr32 end code="):
        what = "  ...the registration tool ended with exit code " + text.rsplit("=", 1)[1]
    elif text.startswith("spy regsvr32 could not load"):
        what = "  ...it could not load " + text.split(" load ", 1)[1]
    elif text.startswith("control register"):
        what = "  ...the control registered itself (" + text.split()[-1] + ")"
    elif text.startswith("control unregister"):
        what = "  ...the control unregistered itself (" + text.split()[-1] + ")"
    elif text.startswith("install_flash_player.exe start"):
        what = "installer started: " + text.split(" cmd=", 1)[1]
    elif text.startswith("install_flash_player.exe end"):
        what = "installer ended"
    elif text.startswith("menu.exe start"):
        what = "menu started: " + text.split(" cmd=", 1)[1]
    else:
        continue
    print(f"  {t:7.3f} s  {what}")
print()
print(f"Tolvane.exe ended with exit code {code}.")
PY
# The run's own log, from the user's temporary folder.
run_log=$(find "$c/users" -name Tolvane.log 2>/dev/null | head -n 1)
if [ -n "$run_log" ]; then
  echo
  echo "The run's log, %TEMP%\\Tolvane.log:"
  /usr/bin/python3 -c 'import sys; sys.stdout.write(open(sys.argv[1], encoding="utf-16").read().replace("\r\n", "\n"))' "$run_log" |
    sed 's/^/  /'
fi
exit "$code"
