#!/usr/bin/env bash
# Makes a 32-bit Wine prefix fit for the tests, once: no crash dialog that
# could hang a run, windows that hide at once without a window manager, and
# a CD-ROM drive D: (the folder cdrom inside the prefix) for media that
# start at a drive root.
# Several test processes may ask at the same time; a lock keeps it to one.
set -euo pipefail
prefix=$1
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.tolvane-ready" ] && [ -L "$prefix/dosdevices/d:" ] && exit 0
export WINEARCH=win32 WINEPREFIX="$prefix" WINEDEBUG=-all
# No prompts for the .NET and HTML engines, which cannot be fetched here anyway.
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine' /v Version /d winxp /f >/dev/null 2>&1
mkdir -p "$prefix/cdrom"
ln -sfn ../cdrom "$prefix/dosdevices/d:"
wine reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null 2>&1
wineserver -w
touch "$prefix/.tolvane-ready"
