# Sourced by bench/run.sh and bench/field.sh, with $root, $version and
# $display set: builds everything and the peer (bench/peer.nsi), prepares
# the bench's Wine prefix as Windows `$version` on display `$display`, and
# starts one Wine server and desktop for all runs, as a Windows machine has
# them running before anything starts from a CD: the runs then measure the
# programs, not Wine's own start-up.
bash "$root/scripts/build.sh"
mkdir -p "$root/build/bench"
makensis -V2 -DOUTFILE="$root/build/bench/peer.exe" "$root/bench/peer.nsi"

export WINEARCH=win32 WINEPREFIX="$root/build/bench-prefix" WINEDEBUG=-all
bash "$root/tests/wine/prepare_prefix.sh" "$WINEPREFIX"

. "$root/tests/wine/xvfb.sh"
start_xvfb "$display"
trap 'wineserver -k >/dev/null 2>&1 || true; kill "$XVFB_PID" 2>/dev/null || true' EXIT
wineserver -p
wine reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
