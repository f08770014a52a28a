#!/usr/bin/env bash
# Installs, with apt, whatever the build and the tests need and this machine lacks.
# Safe to run every time: it does nothing when everything is there.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

pkgs=(cmake make g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 googletest
      wine wine32:i386 wine64 xvfb xauth xdotool icoutils imagemagick python3-pefile python3-pycdlib
      python3-cryptography osslsigncode openssl ca-certificates python3-venv python3-setuptools python3-pip
      gcc-mingw-w64-x86-64-win32 nsis)
for p in "${pkgs[@]}"; do have_pkg "$p" || need+=("$p"); done

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
fi
