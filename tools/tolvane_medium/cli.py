"""Checks a medium's files, then masters its CD image.

A pressed CD goes to thousands of machines and can never be patched, so
every file is checked first, and every problem found is listed:

- DATA_DIR holds install_flash_player.exe, Flash.ocx and menu.exe, whatever
  the case of their names (Windows does not mind it);
- Flash.ocx is a 32-bit (i386) DLL that exports DllRegisterServer and
  DllUnregisterServer: Tolvane.exe runs the 32-bit registration tool, also on
  64-bit Windows, which cannot load a 64-bit DLL;
- the installer and the menu are 32-bit Windows programs, not DLLs;
- the program given by --exe is a 32-bit Windows GUI program;
- every program and DLL is whole: an interrupted download or copy leaves the
  headers readable and the sections cut short;
- every name can be opened on Windows (no reserved characters, no trailing
  dot or space, no device name such as CON or LPT1) and fits Joliet (64
  UTF-16 characters), which Windows reads; no two names in a folder are one
  to Windows;
- the data folder holds only plain files and folders (a link is followed),
  each of which can be read, and no file is 4 GiB or larger;
- the image goes neither into the data folder nor over one of its inputs.

The copy of Tolvane.exe that goes into the image carries the record of the
medium's files: the name, size and SHA-256 of the installer, the control
and the menu, and the name of every other entry at the top of the data
folder (where Windows looks first for the installer's DLLs). The build
reserves a resource for it (RCDATA "MEDIUM", MEDIUM_RECORD_SIZE bytes, an
empty record padded with spaces), which is filled in place; the PE checksum
is the only other field that changes. Before it changes anything, the
repair checks the medium against it. The build's own Tolvane.exe stays as
it is.

With --sign, the copy of Tolvane.exe that goes into the image is signed
(Authenticode, SHA-1 then a nested SHA-256 signature) with osslsigncode,
after the certificate has been checked with python3-cryptography.

Then it writes an ISO 9660 image with Joliet and Rock Ridge under a
temporary name beside the output, reads every file back through its Joliet
name, as Windows reads a CD, compares it with its source, and only then
gives the image its name. Run on Debian's python3 with python3-pycdlib
(JolietImage mends one check of its version 1.12), python3-pefile and, for
--sign, python3-cryptography and osslsigncode.
"""
import argparse
import os
import shutil
import signal
import sys
import tempfile
import urllib.parse

import pycdlib

from .common import DISCS, PROG, REQUIRED, VERSION, Findings
from .files import Oldest, check_brought, check_control, check_output, check_program, find_required, walk
from .image import (build, capacity, disc_for, image_size, master, medium_record, record_line, detection_line, record_room,
                    signature_of, snapshot_of, table, volume_label, write_record, read_once)
from .signing import Signer

# The source tree this package lies in, for the default --exe.
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Ended(Exception):
    """SIGTERM or SIGHUP: a closed terminal, `timeout`, a cancelled job."""


def on_signal(number, _frame):
    raise Ended(signal.Signals(number).name)


# What a private key may be kept in. A disc is read by everyone who holds it,
# and a pressed one can never be taken back.
SECRET_ENDINGS = (".pfx", ".p12", ".pvk", ".snk")


def check_secrets(entries, findings, secrets):
    """No private key goes onto the medium: neither the signing files named
    (--sign, --password-file) nor a key or PKCS #12 file anywhere in data."""
    named = [path for path in secrets if path and os.path.isfile(path)]
    for parts, path, is_folder in entries:
        if is_folder:
            continue
        try:
            if any(os.path.samefile(path, secret) for secret in named):
                findings.error(path, "is the signing key or its password (--sign, --password-file): it would be "
                                     "pressed onto every disc; keep it out of the data folder")
                continue
            with open(path, "rb") as f:
                head = f.read(65536)
        except OSError as e:
            findings.error(path, f"cannot be read: {e.strerror}")
            continue
        if parts[-1].lower().endswith(SECRET_ENDINGS) or b"PRIVATE KEY-----" in head:
            findings.error(path, "holds a private key, or is a PKCS #12 file: it would be pressed onto every disc; "
                                 "keep it out of the data folder")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    command = argv[0] if argv and argv[0] in ("verify", "extract") else None  # reading a medium back
    # What an interrupted run leaves: never a file that looks whole.
    left = {"verify": "the medium was not checked", "extract": "nothing is left of the copy"}.get(command,
                                                                                              "no image was written")
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    try:
        if command:
            from .readback import main as read_back
            return read_back(argv)
        return run(argv)
    except KeyboardInterrupt:
        print(f"{PROG}: error: interrupted (Ctrl-C); {left}", file=sys.stderr)
        return 130
    except Ended as e:
        print(f"{PROG}: error: ended by {e}; {left}", file=sys.stderr)
        return 128 + signal.Signals[str(e)].value
    except BrokenPipeError:
        # Whoever read the output has gone: say so where it can still be read.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        print(f"{PROG}: error: the output was closed before the end", file=sys.stderr)
        return 1


def run(argv):
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Checks the files of a Tolvane medium, then writes its CD image: autorun.inf and "
                    "Tolvane.exe at the root, DATA_DIR as data\\.")
    parser.add_argument("data_dir", metavar="DATA_DIR",
                        help="the medium's data folder: install_flash_player.exe, Flash.ocx, menu.exe and "
                             "whatever else the menu needs")
    parser.add_argument("-o", "--output", metavar="MEDIUM.iso", help="the image to write (replaced if it exists)")
    parser.add_argument("--exe", help="the Tolvane.exe to put at the root (default: the build's, build/bin/Tolvane.exe "
                                      "of the checkout the tool runs from; an installed tool needs --exe)"),
    parser.add_argument("--label", default="TOLVANE",
                        help="the volume label, made valid for ISO 9660 and Joliet (default: %(default)s)")
    parser.add_argument("--oldest-windows", choices=tuple(Oldest.VERSIONS), default="xp",
                        help="the oldest Windows the medium is for: every program and control must start there "
                             "(default: %(default)s)")
    parser.add_argument("--installer-quiet-args", metavar="ARGS",
                        help="the installer's own switches for a run nobody watches (/quiet, no desktop), "
                             "recorded in the signed program, e.g. \"-install -silent\"")
    parser.add_argument("--version", action="version", version=f"%(prog)s {VERSION}")
    parser.add_argument("--check", action="store_true",
                        help="check the files (and, with -o, where the image would go); write nothing")
    parser.add_argument("--sign", metavar="PFX", help="sign the image's Tolvane.exe with this PKCS #12 file")
    parser.add_argument("--password-file", metavar="FILE", help="the PFX's password: the file's first line")
    parser.add_argument("--timestamp", metavar="URL", help="an RFC 3161 timestamp server for the signature")
    args = parser.parse_args(argv)
    if args.exe is None:  # run from a checkout: its build; installed (pip): nothing to guess
        args.exe = os.path.join(ROOT, "build", "bin", "Tolvane.exe")
        if not os.path.isfile(os.path.join(ROOT, "tools", "make_medium.py")):
            parser.error("--exe is needed: this make_medium is installed, and there is no build of Tolvane.exe "
                         "beside it")
    if not args.check and not args.output:
        parser.error("the image needs a name: -o MEDIUM.iso (or --check to write nothing)")
    if args.sign and not args.password_file:
        parser.error("--sign needs --password-file FILE; a password is never taken from the command line")
    if (args.password_file or args.timestamp) and not args.sign:
        parser.error("--password-file and --timestamp go with --sign PFX")
    quiet = args.installer_quiet_args
    if quiet is not None and (not quiet.strip() or any(ord(c) < 32 or ord(c) == 127 for c in quiet)):
        parser.error("--installer-quiet-args takes the installer's switches on one line, not empty")

    findings = Findings()
    entries, found = [], {}
    oldest = Oldest(args.oldest_windows)
    if not os.path.isdir(args.data_dir):
        findings.error(args.data_dir, "is not a folder")
    else:
        entries = walk(args.data_dir, findings)
        found = find_required(args.data_dir, entries, findings)
        oldest.beside = {parts[0].lower() for parts, _, is_folder in entries if len(parts) == 1 and not is_folder}
        oldest.data_dir = args.data_dir
        oldest.elsewhere = {parts[-1].lower(): "data\\" + "\\".join(parts) for parts, _, is_folder in entries
                            if len(parts) > 1 and not is_folder}
        # Every other program and DLL at the top, which the loader may map.
        required = {os.path.basename(path) for path in found.values()}
        for parts, path, is_folder in entries:
            if len(parts) == 1 and not is_folder and parts[0] not in required:
                if parts[0].lower().endswith((".dll", ".ocx")):
                    check_brought(path, findings, oldest)
                elif parts[0].lower().endswith(".exe"):
                    check_program(path, findings, oldest)
        if "Flash.ocx" in found:
            check_control(found["Flash.ocx"], findings, oldest)
        for name in ("install_flash_player.exe", "menu.exe"):
            if name in found:  # the installer alone runs as administrator
                check_program(found[name], findings, oldest, as_invoker=name == "menu.exe",
                              alone=None if name == "menu.exe" else "it runs alone from its checked copy in the "
                                                                     "Windows folder")
    if os.path.isdir(args.exe):
        findings.error(args.exe, "is a folder; --exe names the Tolvane.exe to put on the medium")
    elif not os.path.exists(args.exe):
        findings.error(args.exe, "is missing (--exe names the Tolvane.exe to put on the medium)")
    elif not os.path.isfile(args.exe):
        findings.error(args.exe, "is not a plain file (--exe names the Tolvane.exe to put on the medium)")
    else:
        check_program(args.exe, findings, oldest, gui=True)
    # What was checked is what is pressed: read once here, compared when it is copied.
    checked = read_once(args.exe) if os.path.isfile(args.exe) else None
    room = record_room(args.exe, findings) if os.path.isfile(args.exe) else None
    if room is not None and signature_of(args.exe) and not args.sign:
        findings.error(args.exe, "is signed already: the record written into it would break that signature; sign "
                                 "it anew with --sign (its old signature is taken off), or name the unsigned build")
    record, snapshot = None, None
    if os.path.isdir(args.data_dir) and len(found) == len(REQUIRED):
        snapshot = snapshot_of(entries)
        record = medium_record(args.data_dir, entries, found, findings, args.installer_quiet_args, snapshot)
    check_secrets(entries, findings, (args.sign, args.password_file))
    if args.output:
        check_output(args.output, args.data_dir, args.exe, entries, findings, (args.sign, args.password_file))
    signer = Signer(args.sign, args.password_file, findings, args.timestamp, oldest) if args.sign else None
    if signer and not shutil.which("osslsigncode"):
        findings.error(args.sign, "cannot be used: osslsigncode is not installed (Debian's package osslsigncode)")
    if args.timestamp:
        url = urllib.parse.urlsplit(args.timestamp)
        if url.scheme not in ("http", "https") or not url.hostname:
            findings.error(args.timestamp, "is no timestamp server's address: it must be an http:// or https:// URL")
    if "install_flash_player.exe" in found and args.installer_quiet_args is None:
        findings.warning(found["install_flash_player.exe"],
                         "no --installer-quiet-args: where nobody sees the desktop (/quiet, a deployment tool) the "
                         "installer runs as for a person, and one that waits for a click is ended at the time limit "
                         "(900 s; exit code 1460)")
    if signer and args.timestamp and oldest.key == "xp":
        findings.warning(args.timestamp, "its timestamps are RFC 3161 ones, which Windows XP does not read (they came "
                                         "with Windows 7): on XP the signature counts only until the certificate "
                                         "expires; see \"Timestamps\" in publishing.md")
    if signer and not args.timestamp:
        findings.warning(args.sign, "no --timestamp: the signature stops counting when the certificate expires")
    # Signed in a folder of its own, which goes however the run ends.
    folder = tempfile.mkdtemp(prefix="make_medium-")
    try:
        return finish(args, findings, entries, signer, folder, (room, record, snapshot, checked), oldest)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def finish(args, findings, entries, signer, folder, room_and_record, oldest):
    label = volume_label(args.label)
    iso = None
    exe = args.exe
    room, record, snapshot, checked = room_and_record
    if not findings.errors:
        try:
            exe = write_record(args.exe, room, record, folder, checked)
        except RuntimeError as e:
            print(f"{PROG}: error: {e}", file=sys.stderr)
            return 1
    if signer and not findings.errors and not args.check:
        try:
            exe = signer.sign(exe, folder, args.timestamp)
        except RuntimeError as e:
            print(f"{PROG}: error: signing the image's Tolvane.exe (a copy of {args.exe}) failed: {e}", file=sys.stderr)
            return 1
    if not findings.errors:
        # The image is laid out in memory for the check too: what the writer
        # would refuse is refused here, and the size is the image's own.
        try:
            iso, contents = build(exe, entries, label)
        except (OSError, pycdlib.pycdlibexception.PyCdlibException) as e:
            findings.error(args.data_dir, f"cannot be laid out as an ISO 9660 image: {e}")
    if iso is not None and disc_for(image_size(iso)) is None:
        findings.error(args.data_dir, f"the image would take {image_size(iso):,} bytes, {capacity(image_size(iso))}")
    elif iso is not None and disc_for(image_size(iso)) != DISCS[0][0]:
        findings.warning(args.data_dir, f"the image will take {image_size(iso):,} bytes, {capacity(image_size(iso))}")
    if label != args.label.upper():
        findings.warning(args.label, f"is no valid volume label: the disc is labelled {label} (ISO 9660 allows "
                                     f"A-Z, 0-9 and _, Joliet 16 characters)")

    for warning in findings.warnings:
        print(f"{PROG}: warning: {warning}", file=sys.stderr)
    for error in findings.errors:
        print(f"{PROG}: error: {error}", file=sys.stderr)
    if findings.errors:
        return 2

    size = image_size(iso)
    if args.check:
        iso.close()
        print("\n".join(table(exe, entries, label, size, written=False)))
        print(record_line(record, written=False))
        print(detection_line(record, entries))
        print(f"  for {oldest.name} and later (--oldest-windows {oldest.key})")
        print("Checked; nothing was written." + (" The certificate can sign." if signer else ""))
        return 0
    try:
        master(args.output, iso, contents, snapshot)
    except (OSError, pycdlib.pycdlibexception.PyCdlibException, RuntimeError) as e:
        print(f"{PROG}: error: writing {args.output} failed: {e}", file=sys.stderr)
        return 1
    try:  # an image whose report nobody could read is taken back
        print(f"Wrote {args.output}, read every file back through Joliet: all as their sources.")
        print("\n".join(table(exe, entries, label, os.path.getsize(args.output), written=True)))
        print(record_line(record, written=True))
        print(detection_line(record, entries))
        print(f"  for {oldest.name} and later (--oldest-windows {oldest.key})")
        if signer:
            print(signer.line(args.timestamp))
        sys.stdout.flush()
    except BaseException:
        os.remove(args.output)
        raise
    return 0
