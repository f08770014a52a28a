#!/usr/bin/env bash
# The publisher's tool installs with pip into a virtual environment and runs
# as the command make_medium, away from the source tree. This machine reaches
# Debian's packages only: the environment sees the system's modules, and pip
# builds without fetching anything.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/tools" "$work/tools"  # pip builds in the folder it installs from
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-deps --no-build-isolation "$work/tools"
cd "$work"
"$work/venv/bin/make_medium" --help | grep -q -- "--oldest-windows"
# The export lists come with it, for checking a medium for Windows XP.
ls "$work"/venv/lib/python3*/site-packages/tolvane_medium/winxp-exports/kernel32.txt > /dev/null
mkdir data
printf 'not a program\n' > data/menu.exe
set +e
"$work/venv/bin/make_medium" data --check --exe /dev/null > out.txt 2>&1
code=$?
set -e
cat out.txt
test "$code" = 2
grep -q "install_flash_player.exe: is missing" out.txt
# Installed, it has no build beside it to take for --exe; verify comes with it.
set +e
"$work/venv/bin/make_medium" data --check > out.txt 2>&1
code=$?
set -e
test "$code" = 2 && grep -q -- "--exe is needed" out.txt
"$work/venv/bin/make_medium" verify --help | grep -q "IMAGE_OR_FOLDER"
echo "ok: installed with pip and ran as make_medium"
