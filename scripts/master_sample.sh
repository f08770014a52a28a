#!/usr/bin/env bash
# Masters the sample medium with the publisher's tool and copies the image's
# files out by their Joliet names, as Windows reads the CD.
#
#   bash scripts/master_sample.sh BIN_DIR DESTINATION
#
# BIN_DIR holds the build (Tolvane.exe, the stand-in, the test controls);
# DESTINATION becomes the medium's root; the image itself is left beside it
# as DESTINATION.iso. Prints the tool's table. The image's Tolvane.exe is
# signed with a throwaway certificate made here, as a publisher signs with
# a bought one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$1 destination=$2
work=$(mktemp -d /tmp/tolvane-sample.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data/content"
cp "$bin/standin.exe" "$work/data/install_flash_player.exe"
cp "$bin/standin.exe" "$work/data/menu.exe"
cp "$bin/testctl_medium.dll" "$work/data/Flash.ocx"
printf 'The menu'"'"'s own pages would be here.\r\n' > "$work/data/content/index.txt"
umask 077
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/certificate.pem" -days 90 \
  -subj "/CN=Tolvane sample publisher" -addext basicConstraints=critical,CA:FALSE -addext extendedKeyUsage=codeSigning 2>/dev/null
printf 'sample password\n' > "$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/certificate.pem" -out "$work/publisher.pfx" \
  -passout "file:$work/password"
umask 022
rm -rf "$destination" "$destination.iso"
/usr/bin/python3 "$root/tools/make_medium.py" "$work/data" --exe "$bin/Tolvane.exe" --label TOLVANE_SAMPLE \
  --sign "$work/publisher.pfx" --password-file "$work/password" -o "$destination.iso"
# Read back as a disc from the plant would be: checked, then copied out.
/usr/bin/python3 "$root/tools/make_medium.py" extract "$destination.iso" "$destination" --label TOLVANE_SAMPLE >/dev/null
