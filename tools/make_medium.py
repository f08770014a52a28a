#!/usr/bin/python3
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
- every name fits Joliet (64 characters), which Windows reads, and no file is
  4 GiB or larger.

Then it writes an ISO 9660 image with Joliet and Rock Ridge under a
temporary name beside the output, reads every file back through its Joliet
name, as Windows reads a CD, compares it with its source, and only then
gives the image its name. Run on Debian's python3 with python3-pycdlib and
python3-pefile, or elsewhere after `pip install pycdlib pefile`.
"""
import argparse
import hashlib
import io
import os
import sys

import pefile
import pycdlib

PROG = "make_medium.py"
REQUIRED = ("install_flash_player.exe", "Flash.ocx", "menu.exe")
AUTORUN = b"[autorun]\r\nopen=Tolvane.exe\r\nicon=Tolvane.exe,0\r\n"
JOLIET_MAX = 64
FOUR_GIB = 4 << 30
CD_R_BYTES = 360000 * 2048  # an 80-minute CD-R, sold as "700 MB"
WINDOWS_XP = (5, 1)
I386 = 0x14C
MACHINES = {0x14C: "32-bit (i386)", 0x8664: "64-bit (x86-64)", 0xAA64: "ARM64", 0x1C4: "ARM", 0x200: "Itanium"}
GUI = 2
IS_DLL = 0x2000  # IMAGE_FILE_DLL


class Findings:
    """The errors and warnings found, each one line naming the file."""

    def __init__(self):
        self.errors = []
        self.warnings = []

    def error(self, path, text):
        self.errors.append(f"{path}: {text}")

    def warning(self, path, text):
        self.warnings.append(f"{path}: {text}")


def read_image(path, findings):
    """The PE image at `path`, or None after an error."""
    try:
        image = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError as e:
        findings.error(path, f"not a Windows program or DLL ({e.value})")
        return None
    except OSError as e:
        findings.error(path, f"cannot be read: {e.strerror}")
        return None
    return image


def other_machine(image):
    """What the image is built for when that is not i386, or None."""
    machine = image.FILE_HEADER.Machine
    return None if machine == I386 else MACHINES.get(machine, f"machine 0x{machine:04x}")


def warn_if_later_than_xp(path, image, findings):
    version = (image.OPTIONAL_HEADER.MajorSubsystemVersion, image.OPTIONAL_HEADER.MinorSubsystemVersion)
    if version > WINDOWS_XP:
        findings.warning(path, f"its header asks for Windows {version[0]}.{version[1]} or later "
                               "(subsystem version): Windows XP (5.1) will not start it")


def check_control(path, findings):
    image = read_image(path, findings)
    if image is None:
        return
    if not image.FILE_HEADER.Characteristics & IS_DLL:
        findings.error(path, "is a program, not a DLL: the control must be a DLL the registration tool can load")
        return
    if other_machine(image):
        findings.error(path, f"is a {other_machine(image)} DLL; it must be 32-bit (i386): Tolvane.exe runs the "
                             "32-bit registration tool, also on 64-bit Windows, and that cannot load it "
                             "(exit code 3 on every machine)")
        return
    image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    exports = {symbol.name for symbol in getattr(getattr(image, "DIRECTORY_ENTRY_EXPORT", None), "symbols", [])}
    if b"DllRegisterServer" not in exports:
        findings.error(path, "exports no DllRegisterServer: the registration tool cannot register it "
                             "(exit code 4 on every machine)")
    if b"DllUnregisterServer" not in exports:
        findings.error(path, "exports no DllUnregisterServer: a later repair cannot unregister it")


def check_program(path, findings, gui=False):
    image = read_image(path, findings)
    if image is None:
        return
    if image.FILE_HEADER.Characteristics & IS_DLL:
        findings.error(path, "is a DLL, not a program that can be started")
    elif other_machine(image):
        findings.error(path, f"is a {other_machine(image)} program; it must be 32-bit (i386), "
                             "which every Windows from XP on can start")
    elif gui and image.OPTIONAL_HEADER.Subsystem != GUI:
        findings.error(path, f"is not a Windows GUI program (subsystem {image.OPTIONAL_HEADER.Subsystem}): "
                             "it would open a console window")
    else:
        warn_if_later_than_xp(path, image, findings)


def joliet_problem(name):
    if len(name) > JOLIET_MAX:
        return f"the name has {len(name)} characters; Joliet, which Windows reads, allows at most {JOLIET_MAX}"
    if any(ord(c) > 0xFFFF for c in name):
        return "the name has a character beyond what Joliet can store (UCS-2)"
    return None


def walk(data_dir, findings):
    """Every folder and file under data_dir as (relative parts, source path,
    is_folder), parents first, in a fixed order; checks names and sizes."""
    entries = []

    def visit(folder, parts):
        try:
            names = sorted(os.listdir(folder))
        except OSError as e:
            findings.error(folder, f"cannot be read: {e.strerror}")
            return
        seen = {}
        for name in names:
            path = os.path.join(folder, name)
            other = seen.setdefault(name.casefold(), name)
            if other != name:
                findings.error(path, f"differs from {other!r} only in case: Windows can hold only one of them")
            problem = joliet_problem(name)
            if problem:
                findings.error(path, problem)
            if os.path.isdir(path):
                entries.append((parts + [name], path, True))
                visit(path, parts + [name])
            else:
                if os.path.getsize(path) >= FOUR_GIB:
                    findings.error(path, "is 4 GiB or larger: ISO 9660 cannot hold it in one piece")
                entries.append((parts + [name], path, False))

    visit(data_dir, [])
    return entries


def find_required(data_dir, entries, findings):
    """The required files by their names on disk, matched without regard to case."""
    top = {parts[0].casefold(): path for parts, path, is_folder in entries if len(parts) == 1 and not is_folder}
    found = {}
    for name in REQUIRED:
        path = top.get(name.casefold())
        if path is None:
            findings.error(os.path.join(data_dir, name), "is missing")
        else:
            found[name] = path
    return found


def volume_label(text):
    """A label valid for ISO 9660 (d-characters) and Joliet (16 characters)."""
    label = "".join(c if c.isascii() and (c.isalnum() or c == "_") else "_" for c in text.upper())[:16]
    return label or "TOLVANE"


class IsoNames:
    """Short ISO 9660 names (8.3, d-characters), unique in each folder; Windows
    and Linux read the Joliet and Rock Ridge names instead."""

    def __init__(self):
        self.taken = {}

    def __call__(self, parent, name, folder):
        stem, dot, extension = name.rpartition(".") if not folder and "." in name else (name, "", "")
        clean = lambda text, size: "".join(c if c.isascii() and c.isalnum() else "_" for c in text.upper())[:size]
        stem, extension = clean(stem, 8) or "_", clean(extension, 3)
        taken = self.taken.setdefault(parent, set())
        candidate, n = stem, 1
        while (candidate, extension) in taken:
            suffix = f"_{n}"
            candidate, n = stem[: 8 - len(suffix)] + suffix, n + 1
        taken.add((candidate, extension))
        return parent.rstrip("/") + "/" + candidate + ("" if folder else ("." + extension if extension else ".") + ";1")


def master(output, exe, data_dir, entries, label):
    """Writes the image under a temporary name, reads it back, renames it.
    Returns the image's size."""
    names = IsoNames()
    iso = pycdlib.PyCdlib()
    iso.new(interchange_level=3, joliet=3, rock_ridge="1.09", vol_ident=label, app_ident_str="Tolvane make_medium.py")
    contents = [("/autorun.inf", None, AUTORUN), ("/Tolvane.exe", exe, None)]
    iso.add_fp(io.BytesIO(AUTORUN), len(AUTORUN), names("/", "autorun.inf", False), rr_name="autorun.inf",
               joliet_path="/autorun.inf")
    iso.add_file(exe, names("/", "Tolvane.exe", False), rr_name="Tolvane.exe", joliet_path="/Tolvane.exe")
    iso_folders = {(): names("/", "data", True)}
    iso.add_directory(iso_folders[()], rr_name="data", joliet_path="/data")
    for parts, path, is_folder in entries:
        joliet = "/data/" + "/".join(parts)
        iso_path = names(iso_folders[tuple(parts[:-1])], parts[-1], is_folder)
        if is_folder:
            iso_folders[tuple(parts)] = iso_path
            iso.add_directory(iso_path, rr_name=parts[-1], joliet_path=joliet)
        else:
            iso.add_file(path, iso_path, rr_name=parts[-1], joliet_path=joliet)
            contents.append((joliet, path, None))

    partial = os.path.join(os.path.dirname(os.path.abspath(output)), f".{os.path.basename(output)}.{os.getpid()}.part")
    try:
        progress = None
        if sys.stderr.isatty():
            def progress(done, total, _):
                sys.stderr.write(f"\rwriting {os.path.basename(output)}: {done * 100 // max(total, 1)} % "
                                 f"of {total / 1e6:.1f} MB")
                sys.stderr.flush()
        iso.write(partial, progress_cb=progress)
        if progress:
            sys.stderr.write("\n")
        iso.close()
        read_back(partial, contents)
        size = os.path.getsize(partial)
        os.replace(partial, output)
        return size
    finally:
        if os.path.exists(partial):
            os.remove(partial)


class Digest:
    """A file object that only hashes what is written to it."""

    def __init__(self):
        self.hash = hashlib.sha256()

    def write(self, data):
        self.hash.update(data)


def digest_of(path):
    digest = Digest()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            digest.write(block)
    return digest.hash.digest()


def read_back(image, contents):
    """Every file read through its Joliet name and compared with its source."""
    iso = pycdlib.PyCdlib()
    iso.open(image)
    try:
        for joliet, source, data in contents:
            digest = Digest()
            iso.get_file_from_iso_fp(digest, joliet_path=joliet)
            expected = hashlib.sha256(data).digest() if source is None else digest_of(source)
            if digest.hash.digest() != expected:
                raise RuntimeError(f"{joliet}: read back through its Joliet name, it differs from {source or 'its source'}")
    finally:
        iso.close()


def table(exe, entries, label, image_size):
    rows = [("autorun.inf", len(AUTORUN), ""), ("Tolvane.exe", os.path.getsize(exe), "")]
    for parts, path, is_folder in entries:
        if len(parts) != 1:
            continue
        if is_folder:
            inside = [p for q, p, f in entries if not f and q[: len(parts)] == parts and len(q) > 1]
            rows.append((f"data\\{parts[0]}\\", sum(os.path.getsize(p) for p in inside), f"  ({len(inside)} file{'' if len(inside) == 1 else 's'})"))
        else:
            rows.append((f"data\\{parts[0]}", os.path.getsize(path), ""))
    files = 2 + sum(1 for _, _, is_folder in entries if not is_folder)
    total = sum(size for _, size, _ in rows)
    width = max(len(name) for name, _, _ in rows)
    lines = [f"  {name:<{width}}  {size:>15,} bytes{note}" for name, size, note in rows]
    lines.append(f"  {'total':<{width}}  {total:>15,} bytes in {files} files")
    size = image_size if image_size is not None else total
    what = f"the image, {image_size:,} bytes," if image_size is not None else "the medium"
    fits = "fits a CD-R (700 MB)" if size <= CD_R_BYTES else "needs a DVD: it is larger than a CD-R (700 MB)"
    return [f"Volume label {label}, ISO 9660 with Joliet and Rock Ridge:"] + lines + [f"  {what} {fits}"]


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Checks the files of a Tolvane medium, then writes its CD image: autorun.inf and "
                    "Tolvane.exe at the root, DATA_DIR as data\\.")
    parser.add_argument("data_dir", metavar="DATA_DIR",
                        help="the medium's data folder: install_flash_player.exe, Flash.ocx, menu.exe and "
                             "whatever else the menu needs")
    parser.add_argument("-o", "--output", metavar="MEDIUM.iso", help="the image to write (replaced if it exists)")
    parser.add_argument("--exe", default="build/bin/Tolvane.exe",
                        help="the Tolvane.exe to put at the root (default: %(default)s)")
    parser.add_argument("--label", default="TOLVANE",
                        help="the volume label, made valid for ISO 9660 and Joliet (default: %(default)s)")
    parser.add_argument("--check", action="store_true", help="check the files only; write nothing")
    args = parser.parse_args(argv)
    if not args.check and not args.output:
        parser.error("the image needs a name: -o MEDIUM.iso (or --check to write nothing)")

    findings = Findings()
    entries = []
    if not os.path.isdir(args.data_dir):
        findings.error(args.data_dir, "is not a folder")
    else:
        entries = walk(args.data_dir, findings)
        found = find_required(args.data_dir, entries, findings)
        if "Flash.ocx" in found:
            check_control(found["Flash.ocx"], findings)
        for name in ("install_flash_player.exe", "menu.exe"):
            if name in found:
                check_program(found[name], findings)
    if not os.path.isfile(args.exe):
        findings.error(args.exe, "is missing (--exe names the Tolvane.exe to put on the medium)")
    else:
        check_program(args.exe, findings, gui=True)
    if args.output and not args.check:
        folder = os.path.dirname(os.path.abspath(args.output))
        if not os.path.isdir(folder):
            findings.error(args.output, f"cannot be written: there is no folder {folder}")
        elif os.path.isdir(args.output):
            findings.error(args.output, "is a folder; the image needs a file name")
    total = sum(os.path.getsize(path) for _, path, is_folder in entries if not is_folder)
    if total > CD_R_BYTES:
        findings.warning(args.data_dir, f"holds {total:,} bytes, more than a CD-R (700 MB): the medium needs a DVD")

    for warning in findings.warnings:
        print(f"{PROG}: warning: {warning}", file=sys.stderr)
    for error in findings.errors:
        print(f"{PROG}: error: {error}", file=sys.stderr)
    if findings.errors:
        return 2

    label = volume_label(args.label)
    if args.check:
        print("\n".join(table(args.exe, entries, label, None)))
        print("Checked; nothing was written.")
        return 0
    try:
        size = master(args.output, args.exe, args.data_dir, entries, label)
    except (OSError, pycdlib.pycdlibexception.PyCdlibException, RuntimeError) as e:
        print(f"{PROG}: error: writing {args.output} failed: {e}", file=sys.stderr)
        return 1
    print(f"Wrote {args.output}, read every file back through Joliet: all as their sources.")
    print("\n".join(table(args.exe, entries, label, size)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
