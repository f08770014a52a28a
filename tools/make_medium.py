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
import datetime
import hashlib
import io
import os
import re
import signal
import shutil
import stat
import subprocess
import sys
import tempfile
import urllib.parse

import pefile
import pycdlib
import pycdlib.utils

PROG = "make_medium.py"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REQUIRED = ("install_flash_player.exe", "Flash.ocx", "menu.exe")
AUTORUN = b"[autorun]\r\nopen=Tolvane.exe\r\nicon=Tolvane.exe,0\r\n"
JOLIET_MAX = 64
FOUR_GIB = 4 << 30
CD_R_BYTES = 360000 * 2048  # an 80-minute CD-R, sold as "700 MB"
DISCS = (("CD-R (700 MB)", CD_R_BYTES), ("DVD (4.7 GB)", 2_295_104 * 2048), ("DVD DL (8.5 GB)", 4_171_712 * 2048))
MAX_PATH = 260  # with the terminating NUL: Windows programs open paths of up to 259 characters
RESERVED = set('\\/:*?"<>|')
DEVICES = ({"CON", "PRN", "AUX", "NUL"} | {f"{port}{n}" for port in ("COM", "LPT") for n in range(1, 10)}
           | {f"{port}{n}" for port in ("COM", "LPT") for n in "¹²³"})  # Windows takes the superscripts too
LEFT_BEHIND = re.compile(r"^(\.DS_Store|Thumbs\.db|desktop\.ini|\._.*)$", re.IGNORECASE)  # a publisher's desktop's
PARTIAL = re.compile(r"^\..+\.\d+\.part$")  # the name this tool writes an image under until it is whole
I386 = 0x14C
MACHINES = {0x14C: "32-bit (i386)", 0x8664: "64-bit (x86-64)", 0xAA64: "ARM64", 0x1C4: "ARM", 0x200: "Itanium"}
GUI = 2
CONSOLE = 3
IS_DLL = 0x2000  # IMAGE_FILE_DLL
EXECUTABLE_IMAGE = 0x0002  # IMAGE_FILE_EXECUTABLE_IMAGE
PE32 = 0x10B
SECURITY = 4  # IMAGE_DIRECTORY_ENTRY_SECURITY: where an Authenticode signature lies
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"  # Debian's ca-certificates
MOST_SECTIONS = 96  # what the Windows XP loader accepts
RT_RCDATA = 10
MEDIUM_RECORD_SIZE = 2048  # the room the build leaves (CMakeLists.txt)
EMPTY_RECORD = b"Tolvane medium record: empty\n"
RECORD_HEADER = "Tolvane medium record 1"


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


def whole(path, image, findings, program):
    """True when the image's headers agree with each other and with the
    file's size; each problem found is an error."""
    problems = []
    size = len(image.__data__)
    if image.OPTIONAL_HEADER.Magic != PE32:
        problems.append(f"its optional header is not PE32 (magic 0x{image.OPTIONAL_HEADER.Magic:x}), as an i386 image's is")
    if not 1 <= image.FILE_HEADER.NumberOfSections <= MOST_SECTIONS:
        problems.append(f"its header counts {image.FILE_HEADER.NumberOfSections} sections")
    if not image.FILE_HEADER.Characteristics & EXECUTABLE_IMAGE:
        problems.append("its header does not mark it as an executable image")
    if image.OPTIONAL_HEADER.Subsystem not in (GUI, CONSOLE):
        problems.append(f"its subsystem ({image.OPTIONAL_HEADER.Subsystem}) is neither a Windows GUI nor a console one")
    for section in image.sections:
        end = section.PointerToRawData + section.SizeOfRawData
        if section.SizeOfRawData and end > size:
            name = section.Name.rstrip(b"\0").decode("ascii", "replace")
            problems.append(f"is cut short: its section {name} ends at byte {end:,}, but the file has {size:,} bytes "
                            "(an interrupted download or copy?)")
    entry = image.OPTIONAL_HEADER.AddressOfEntryPoint
    if program and not any(section.contains_rva(entry) for section in image.sections):
        problems.append(f"its entry point (0x{entry:x}) lies in none of its sections")
    # What the loader refuses (pefile's own warnings, such as a writable
    # code section as packers leave it, are no faults).
    if image.OPTIONAL_HEADER.SectionAlignment < image.OPTIONAL_HEADER.FileAlignment:
        problems.append(f"its section alignment ({image.OPTIONAL_HEADER.SectionAlignment}) is below its file alignment "
                        f"({image.OPTIONAL_HEADER.FileAlignment}): Windows refuses to load it")
    reach = max((section.VirtualAddress + max(section.Misc_VirtualSize, section.SizeOfRawData)
                 for section in image.sections), default=0)
    if image.OPTIONAL_HEADER.SizeOfImage < reach:
        problems.append(f"its size of image (0x{image.OPTIONAL_HEADER.SizeOfImage:x}) is smaller than its sections "
                        f"reach (0x{reach:x}): Windows refuses to load it")
    for problem in problems:
        findings.error(path, problem)
    return not problems


def warn_if_unsigned(path, image, findings):
    directory = image.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    if not directory.VirtualAddress or not directory.Size:
        findings.warning(path, "is not signed (no Authenticode signature): Windows names no publisher for it")
        return
    try:  # the file's own digest against the one signed: whoever signs, it must still be what was signed
        done = subprocess.run(["osslsigncode", "verify", "-in", path], capture_output=True, text=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired):
        return
    said = done.stdout + done.stderr
    if "MISMATCH" in said or "message digest verification: failed" in said or "Failed to" in said:
        findings.warning(path, "carries an Authenticode signature that no longer matches the file (cut short or "
                               "changed after signing): Windows takes it for unsigned, or refuses it")


def other_machine(image):
    """What the image is built for when that is not i386, or None."""
    machine = image.FILE_HEADER.Machine
    return None if machine == I386 else MACHINES.get(machine, f"machine 0x{machine:04x}")


class Oldest:
    """The oldest Windows the medium is for (--oldest-windows): programs and
    controls must ask for no later one, and, for Windows XP, import only what
    its DLLs export (the lists in winxp-exports, which the project's own
    image check uses too)."""

    VERSIONS = {"xp": ((5, 1), "Windows XP"), "vista": ((6, 0), "Windows Vista"), "7": ((6, 1), "Windows 7"),
                "10": ((10, 0), "Windows 10")}
    # DLLs that Windows XP does not have (and the export lists do not cover).
    LATER_DLLS = re.compile(r"^(api-ms-win-.*|ext-ms-win-.*|ucrtbase|vcruntime140(_1)?|msvcp140(_\d)?|bcrypt|ncrypt|"
                            r"dwmapi|d2d1|d3d11|dxgi|uiautomationcore|propsys)\.dll$", re.IGNORECASE)

    def __init__(self, key):
        self.key = key
        self.version, self.name = self.VERSIONS[key]
        self.exports = {}
        if key == "xp":
            folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "winxp-exports")
            for name in os.listdir(folder):
                if name.endswith(".txt"):
                    with open(os.path.join(folder, name)) as f:
                        self.exports[name[:-4] + ".dll"] = set(f.read().split())
        self.beside = set()  # DLLs the medium brings along at the top of data

    def check(self, path, image, findings):
        version = (image.OPTIONAL_HEADER.MajorSubsystemVersion, image.OPTIONAL_HEADER.MinorSubsystemVersion)
        if version > self.version:
            findings.error(path, f"its header asks for Windows {version[0]}.{version[1]} or later (subsystem "
                                 f"version): {self.name} ({self.version[0]}.{self.version[1]}) will not start it "
                                 f"(--oldest-windows {self.key})")
        if not self.exports:
            return
        image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
        for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", []):
            dll = entry.dll.decode("ascii", "replace").lower()
            names = self.exports.get(dll)
            if names is None:
                if self.LATER_DLLS.match(dll) and dll not in self.beside:
                    findings.error(path, f"imports {dll}, which {self.name} does not have: it will not load there")
                continue
            missing = sorted({i.name.decode("ascii", "replace") for i in entry.imports if i.name} - names)
            if missing:
                findings.error(path, f"imports {', '.join(missing[:4])}{', ...' if len(missing) > 4 else ''} from "
                                     f"{dll}, which {self.name} does not export: it will not load there")


def check_control(path, findings, oldest):
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
    if not whole(path, image, findings, program=False):
        return
    oldest.check(path, image, findings)
    warn_if_unsigned(path, image, findings)
    image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    exports = {symbol.name for symbol in getattr(getattr(image, "DIRECTORY_ENTRY_EXPORT", None), "symbols", [])}
    if b"DllRegisterServer" not in exports:
        findings.error(path, "exports no DllRegisterServer: the registration tool cannot register it "
                             "(exit code 4 on every machine)")
    if b"DllUnregisterServer" not in exports:
        findings.error(path, "exports no DllUnregisterServer: a later repair cannot unregister it")


def check_program(path, findings, oldest, gui=False):
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
    elif whole(path, image, findings, program=True):
        oldest.check(path, image, findings)
        if not gui:  # the medium's own programs; Tolvane.exe is signed with --sign
            warn_if_unsigned(path, image, findings)


def name_problem(name):
    """Why Windows could not open a file of this name from the disc, or None."""
    reserved = sorted({c for c in name if c in RESERVED or ord(c) < 32})
    if reserved:
        shown = ", ".join(repr(c) if c.isprintable() else f"U+{ord(c):04X}" for c in reserved)
        return f"the name holds {shown}, which Windows does not allow in a name"
    if ";" in name:
        return "the name holds ';', which Joliet does not allow: a CD file system reads what follows as a version number"
    if name.endswith((".", " ")):
        return "the name ends with a dot or a space, which Windows drops: the file could not be opened"
    stem = name.split(".")[0].rstrip(" ").upper()
    if stem in DEVICES:
        return f"{stem} is a device name on Windows: a file of that name cannot be opened"
    if any(0xD800 <= ord(c) <= 0xDFFF for c in name):
        return "the name is not valid UTF-8: its characters are unknown, and Joliet cannot store it"
    if any(ord(c) > 0xFFFF for c in name):
        return "the name has a character beyond what Joliet can store (UCS-2)"
    if len(name) > JOLIET_MAX:
        return f"the name has {len(name)} characters; Joliet, which Windows reads, allows at most {JOLIET_MAX}"
    return None


def windows_upper(name):
    """The name as Windows compares names: each character's simple upper case
    (ß stays ß, the Kelvin sign stays itself)."""
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in name)


KINDS = ((stat.S_ISFIFO, "a named pipe (FIFO)"), (stat.S_ISCHR, "a character device"),
         (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def walk(data_dir, findings):
    """Every folder and file under data_dir as (relative parts, source path,
    is_folder), parents first, in a fixed order; checks names, kinds, sizes
    and that each file can be read. Links are followed."""
    entries = []
    top = os.path.realpath(data_dir)

    reached = set()

    def visit(folder, parts, above):
        try:
            names = sorted(os.listdir(folder))
        except OSError as e:
            findings.error(folder, f"cannot be read: {e.strerror}")
            return
        seen = {}
        for name in names:
            path = os.path.join(folder, name)
            if LEFT_BEHIND.match(name):
                findings.warning(path, "is a file a desktop leaves behind (Finder, Explorer): it goes on the disc too")
            if PARTIAL.match(name) and own_partial(path):
                findings.warning(path, "is an image this tool left half-written: it is not taken into the image")
                continue
            other = seen.setdefault(windows_upper(name), name)
            if other != name:
                findings.error(path, f"differs from {other!r} only in case: Windows can hold only one of them")
            problem = name_problem(name)
            if problem:
                findings.error(path, problem)
            on_disc = "D:\\data\\" + "\\".join(parts + [name])
            if len(on_disc) >= MAX_PATH:
                findings.warning(path, f"its path on the disc ({len(on_disc)} characters as {on_disc[:20]}...) is "
                                       f"longer than Windows programs can open ({MAX_PATH - 1})")
            try:
                status = os.stat(path)
            except OSError as e:
                findings.error(path, f"is a link that leads nowhere (dangling or looping): {e.strerror}"
                               if os.path.islink(path) else f"cannot be read: {e.strerror}")
                continue
            real = os.path.realpath(path)
            if os.path.islink(path) and os.path.commonpath([top, real]) != top:
                findings.warning(path, f"is a link to {real}, outside the data folder: what it leads to goes on the disc")
            if stat.S_ISDIR(status.st_mode):
                if real in above:
                    findings.error(path, "is a link to a folder that holds it: the medium would never end")
                    continue
                if real in reached:
                    findings.warning(path, f"leads to {real}, which the medium holds already: it goes on the disc twice")
                reached.add(real)
                entries.append((parts + [name], path, True))
                visit(path, parts + [name], above | {real})
            elif stat.S_ISREG(status.st_mode):
                try:
                    with open(path, "rb") as source:
                        source.read(1)
                except OSError as e:
                    findings.error(path, f"cannot be read: {e.strerror}")
                    continue
                if status.st_size >= FOUR_GIB:
                    findings.error(path, "is 4 GiB or larger: ISO 9660 cannot hold it in one piece")
                entries.append((parts + [name], path, False))
            else:
                kind = next((what for test, what in KINDS if test(status.st_mode)), "not a plain file")
                findings.error(path, f"is {kind}, not a file: a disc holds only files and folders")

    visit(data_dir, [], {top})
    return entries


def own_partial(path):
    """True for an image this tool began: cut short before its volume
    descriptor, or with one ("CD001") where ISO 9660 puts it."""
    try:
        with open(path, "rb") as f:
            f.seek(32769)
            mark = f.read(5)
    except OSError:
        return False
    return mark in (b"", b"CD001")


def find_required(data_dir, entries, findings):
    """The required files by their names on disk, matched as Windows matches
    names (one character's upper case at a time: a ligature is not two letters)."""
    top = {windows_upper(parts[0]): path for parts, path, is_folder in entries if len(parts) == 1 and not is_folder}
    found = {}
    for name in REQUIRED:
        path = top.get(windows_upper(name))
        if path is None:
            findings.error(os.path.join(data_dir, name), "is missing")
        else:
            found[name] = path
    return found


def record_room(exe, findings):
    """The file offset of the empty record in `exe`, or None."""
    try:
        image = pefile.PE(exe, fast_load=True)
        image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        kinds = image.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(image, "DIRECTORY_ENTRY_RESOURCE") else []
        rooms = [entry.directory.entries[0].data.struct for kind in kinds if kind.id == RT_RCDATA
                 for entry in kind.directory.entries if str(entry.name) == "MEDIUM"]
        room = rooms[0] if len(rooms) == 1 and rooms[0].Size == MEDIUM_RECORD_SIZE else None
        offset = image.get_offset_from_rva(room.OffsetToData) if room else None
        data = image.__data__[offset:offset + MEDIUM_RECORD_SIZE] if room else b""
    except (pefile.PEFormatError, AttributeError, IndexError) as e:
        findings.error(exe, f"its resources cannot be read ({e})")
        return None
    if room is None:
        findings.error(exe, f"has no room for the record of the medium's files (a {MEDIUM_RECORD_SIZE}-byte RCDATA "
                            f"resource MEDIUM): it is not a build of this Tolvane")
        return None
    if data != EMPTY_RECORD + b" " * (MEDIUM_RECORD_SIZE - len(EMPTY_RECORD)):
        findings.error(exe, "carries a record of a medium already: --exe names the build's own Tolvane.exe")
        return None
    return offset


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def medium_record(data_dir, entries, found, findings):
    """The record of the medium's files, as the program reads it (UTF-8
    lines), or None when it does not fit the program's room."""
    lines = [RECORD_HEADER]
    for name in REQUIRED:
        path = found[name]
        lines.append(f"file {os.path.getsize(path)} {sha256_of(path)} {os.path.basename(path)}")
    hashed = {os.path.basename(found[name]) for name in REQUIRED}
    lines += [f"other {parts[0]}" for parts, _, _ in entries if len(parts) == 1 and parts[0] not in hashed]
    record = ("\n".join(lines + ["end"]) + "\n").encode("utf-8")
    if len(record) > MEDIUM_RECORD_SIZE:
        findings.error(data_dir, f"the names at its top take {len(record):,} bytes in the program's record of the "
                                 f"medium, more than its {MEDIUM_RECORD_SIZE:,}: put some of them in a folder")
        return None
    return record


def write_record(exe, offset, record, folder):
    """A copy of `exe` in `folder` with `record` in its room and its PE
    checksum made anew."""
    recorded = os.path.join(folder, "recorded.exe")
    with open(exe, "rb") as source:
        data = bytearray(source.read())
    data[offset:offset + MEDIUM_RECORD_SIZE] = record + b" " * (MEDIUM_RECORD_SIZE - len(record))
    image = pefile.PE(data=bytes(data))
    image.OPTIONAL_HEADER.CheckSum = image.generate_checksum()
    image.write(filename=recorded)
    return recorded


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


class JolietImage(pycdlib.PyCdlib):
    """pycdlib 1.12 counts a Joliet name's UTF-8 bytes against Joliet's limit
    of 64 characters, which refuses a 51-character Cyrillic name; Joliet (and
    Windows, which reads it) counts UTF-16 characters."""

    def _joliet_name_and_parent_from_path(self, joliet_path):
        splitpath = pycdlib.utils.split_path(joliet_path)
        name = splitpath.pop()
        if len(name.decode("utf-8").encode("utf-16-be")) > 2 * JOLIET_MAX:
            raise pycdlib.pycdlibexception.PyCdlibInvalidInput(f"Joliet names can be a maximum of {JOLIET_MAX} characters")
        parent = self._find_joliet_record(b"/" + b"/".join(splitpath))
        return name.decode("utf-8").encode("utf-16_be"), parent


def build(exe, entries, label):
    """The image in memory, nothing written yet, and what it holds as
    (Joliet path, source path or None, data or None)."""
    names = IsoNames()
    iso = JolietImage()
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
    return iso, contents


def image_size(iso):
    return iso.pvd.space_size * iso.pvd.log_block_size


def master(output, iso, contents):
    """Writes the image under a temporary name, reads it back, renames it.
    Whatever ends it early (an error, Ctrl-C, SIGTERM, SIGHUP) removes the
    temporary file."""
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
        os.replace(partial, output)
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


def table(exe, entries, label, image_size, written):
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
    what = f"the image, {image_size:,} bytes," if written else f"the image will take {image_size:,} bytes:"
    return [f"Volume label {label}, ISO 9660 with Joliet and Rock Ridge:"] + lines + [f"  {what} {capacity(image_size)}"]


def record_line(record, written):
    others = record.count(b"\nother ")
    what = (f"install_flash_player.exe, Flash.ocx and menu.exe by size and SHA-256, {others} other "
            f"entr{'y' if others == 1 else 'ies'} of data\\ by name ({len(record):,} of {MEDIUM_RECORD_SIZE:,} bytes)")
    return f"  Tolvane.exe {'records' if written else 'will record'} the medium's files: {what}"


def disc_for(size):
    """The smallest disc that holds `size` bytes, or None."""
    return next((name for name, holds in DISCS if size <= holds), None)


def capacity(size):
    disc = disc_for(size)
    if disc == DISCS[0][0]:
        return f"fits a {disc}"
    if disc:
        return f"more than a CD-R (700 MB): the medium needs a {disc}"
    return f"more than a {DISCS[-1][0]} holds: no disc takes the medium"


class Signer:
    """A code-signing certificate in a PKCS #12 file, checked before it is
    used: a signature that Windows would not accept must not reach a disc."""

    def __init__(self, pfx, password_file, findings, timestamp=None):
        from cryptography import x509
        from cryptography.hazmat.primitives.asymmetric import rsa
        from cryptography.hazmat.primitives.serialization import Encoding, pkcs12
        from cryptography.x509.oid import ExtendedKeyUsageOID

        self.pfx = pfx
        self.certificate = None
        try:
            with open(password_file, "rb") as f:
                self.password = f.readline().rstrip(b"\r\n")
            if self.password.startswith(b"\xef\xbb\xbf"):  # Notepad's UTF-8 byte-order mark
                self.password = self.password[3:]
        except OSError as e:
            findings.error(password_file, f"cannot be read: {e.strerror}")
            return
        try:
            with open(pfx, "rb") as f:
                key, certificate, others = pkcs12.load_key_and_certificates(f.read(), self.password or None)
        except OSError as e:
            findings.error(pfx, f"cannot be read: {e.strerror}")
            return
        except ValueError:
            findings.error(pfx, "the password in the password file does not open it (or it is no PKCS #12 file)")
            return
        if key is None or certificate is None:
            findings.error(pfx, "holds no private key and certificate: it cannot sign")
            return
        now = datetime.datetime.utcnow()
        if now < certificate.not_valid_before:
            findings.error(pfx, f"its certificate is not valid before {certificate.not_valid_before:%Y-%m-%d %H:%M} UTC")
        if now > certificate.not_valid_after:
            findings.error(pfx, f"its certificate expired on {certificate.not_valid_after:%Y-%m-%d}")
        try:
            usages = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
        except x509.ExtensionNotFound:
            usages = []
        if ExtendedKeyUsageOID.CODE_SIGNING not in usages:
            findings.error(pfx, "its certificate does not allow code signing (extended key usage 1.3.6.1.5.5.7.3.3)")
        try:
            if not certificate.extensions.get_extension_for_class(x509.KeyUsage).value.digital_signature:
                findings.error(pfx, "its certificate's key usage leaves out digitalSignature: it cannot sign code")
        except x509.ExtensionNotFound:
            pass
        if not isinstance(key, rsa.RSAPrivateKey):
            findings.error(pfx, f"its key is {type(key).__name__.replace('PrivateKey', '').lstrip('_')}, not RSA: "
                                f"Windows XP checks only RSA Authenticode signatures")
        elif key.key_size < 1024:
            findings.error(pfx, f"its RSA key has {key.key_size} bits: Windows refuses signatures with fewer than 1024")
        elif key.key_size < 2048:
            findings.warning(pfx, f"its RSA key has {key.key_size} bits: fewer than 2048 are no longer deemed safe")
        if not timestamp and now <= certificate.not_valid_after < now + datetime.timedelta(days=30):
            findings.error(pfx, f"its certificate expires on {certificate.not_valid_after:%Y-%m-%d}, within 30 days, "
                                f"and without --timestamp the signature stops counting then: the disc would reach "
                                f"its users with a signature Windows no longer trusts")
        self.certificate = certificate
        self.check_chain(certificate, others, findings)
        self.chain = b"".join(c.public_bytes(Encoding.PEM) for c in [certificate] + list(others))
        self.subject = certificate.subject.rfc4514_string()

    def check_chain(self, certificate, others, findings):
        """Warns when the certificate's chain reaches no root of the system's
        store (Debian's ca-certificates), as Windows would find: the PFX's own
        certificates count only as intermediates, never as roots."""
        from cryptography.hazmat.primitives.serialization import Encoding
        with tempfile.TemporaryDirectory(prefix="make_medium-chain-") as folder:
            leaf, middle = os.path.join(folder, "leaf.pem"), os.path.join(folder, "others.pem")
            with open(leaf, "wb") as f:
                f.write(certificate.public_bytes(Encoding.PEM))
            with open(middle, "wb") as f:
                f.write(b"".join(c.public_bytes(Encoding.PEM) for c in others))
            try:
                done = subprocess.run(["openssl", "verify", "-CAfile", SYSTEM_ROOTS, "-partial_chain", "-purpose",
                                       "any", *(["-untrusted", middle] if others else []), leaf],
                                      capture_output=True, text=True, timeout=60)
            except (OSError, subprocess.TimeoutExpired) as e:
                findings.warning(self.pfx, f"its chain could not be checked (openssl: {e})")
                return
        if done.returncode == 0:
            return
        said = (done.stdout + done.stderr).strip().splitlines()
        why = next((line.split(":", 2)[-1].strip() for line in said if "error" in line), said[-1] if said else "")
        missing = certificate.issuer != certificate.subject and "local issuer" in why
        findings.warning(self.pfx, "its certificate's chain reaches no root of the system's store (" + why + "): "
                         + ("an intermediate certificate is missing from the PFX; " if missing else "")
                         + 'Windows will name the publisher "Unknown publisher"')

    def sign(self, exe, folder, timestamp):
        """A signed copy of `exe` in `folder`, checked by osslsigncode against
        the certificate's own chain and the system's trusted roots, and its
        timestamps against the system's roots. The password goes to
        osslsigncode through a pipe, never into a file. Raises RuntimeError
        with what went wrong."""
        sha1, signed = os.path.join(folder, "sha1.exe"), os.path.join(folder, "Tolvane.exe")
        stamp = ["-ts", timestamp] if timestamp else []
        for digest, source, target in (("sha1", exe, sha1), ("sha256", sha1, signed)):
            nest = ["-nest"] if digest == "sha256" else []
            reading, writing = os.pipe()
            try:
                os.write(writing, self.password)
                os.close(writing)
                writing = None
                osslsigncode("sign", "-pkcs12", self.pfx, "-readpass", f"/dev/fd/{reading}", "-h", digest, *nest,
                             *stamp, "-in", source, "-out", target, pass_fds=(reading,), server=timestamp)
            finally:
                os.close(reading)
                if writing is not None:
                    os.close(writing)
        trusted = os.path.join(folder, "trusted.pem")
        with open(trusted, "wb") as f:
            f.write(self.chain)
            if os.path.isfile(SYSTEM_ROOTS):
                with open(SYSTEM_ROOTS, "rb") as roots:
                    f.write(roots.read())
        report = osslsigncode("verify", "-CAfile", trusted, *(["-TSA-CAfile", SYSTEM_ROOTS] if timestamp else []),
                              "-in", signed, check=False)
        if timestamp and report.count("Timestamp Server Signature verification: ok") != 2:
            raise RuntimeError(f"the timestamp from {timestamp} does not verify against the system's roots: a "
                               f"timestamp that Windows cannot check counts for nothing")
        if "Number of verified signatures: 2" not in report:
            raise RuntimeError(f"osslsigncode did not confirm both signatures of {signed}:\n{report.strip()}")
        return signed

    def line(self, timestamp):
        stamped = f"timestamped by {timestamp}" if timestamp else \
            f"not timestamped: valid until the certificate expires on {self.certificate.not_valid_after:%Y-%m-%d}"
        return f"  Tolvane.exe signed by {self.subject}, SHA-1 + SHA-256, {stamped}"


# How long a timestamp server may take to answer (the tests shorten it).
SERVER_SECONDS = int(os.environ.get("MAKE_MEDIUM_TIMESTAMP_SECONDS", "60"))


def osslsigncode(*arguments, pass_fds=(), server=None, check=True):
    """osslsigncode's output; RuntimeError with its last lines when it fails.
    A call that asks `server` for a timestamp is given SERVER_SECONDS."""
    try:
        done = subprocess.run(["osslsigncode", *arguments], capture_output=True, text=True, pass_fds=pass_fds,
                              timeout=SERVER_SECONDS if server else None)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"the timestamp server {server} did not answer within {SERVER_SECONDS} seconds") from None
    except OSError as e:
        raise RuntimeError(f"osslsigncode cannot be started ({e.strerror}): Debian's package osslsigncode") from e
    if done.returncode != 0 and check:
        said = [line for line in (done.stdout + done.stderr).strip().splitlines() if "-t option" not in line]
        if server and any("imestamp" in line for line in said):
            raise RuntimeError(f"the timestamp server {server} gave no timestamp: " + " ".join(said[-2:]))
        raise RuntimeError(f"osslsigncode {arguments[0]} failed: " + "\n".join(said[-3:]))
    return done.stdout


def check_output(output, data_dir, exe, entries, findings, others=()):
    """The image may go neither into the data folder, nor over one of its
    inputs (every file named on the command line is one), nor in place of
    something that is not a plain file, and its folder must take it."""
    target = os.path.realpath(output)
    folder = os.path.dirname(os.path.abspath(output))
    data = os.path.realpath(data_dir)
    if not os.path.isdir(folder):
        findings.error(output, f"cannot be written: there is no folder {folder}")
    elif os.path.isdir(output):
        findings.error(output, "is a folder; the image needs a file name")
    elif os.path.commonpath([data, target]) == data:
        findings.error(output, f"lies inside the data folder {data_dir}: the next image would hold this one")
    elif os.path.lexists(output) and not os.path.isfile(output):
        findings.error(output, "exists and is not a plain file (a device, a pipe, a dangling link?): it is left alone")
    elif os.path.isfile(output):
        inputs = [exe] + [path for _, path, is_folder in entries if not is_folder] + [p for p in others if p]
        same = next((path for path in inputs if os.path.exists(path) and os.path.samefile(path, output)), None)
        if same in others:
            findings.error(output, f"is {same}, one of this run's inputs: the image would replace it")
        elif same:
            findings.error(output, f"is {same}, one of the medium's own files: the image would replace it")
    if os.path.isdir(folder) and not os.access(folder, os.W_OK | os.X_OK):
        findings.error(output, f"cannot be written: the folder {folder} does not let this user write in it")


class Ended(Exception):
    """SIGTERM or SIGHUP: a closed terminal, `timeout`, a cancelled job."""


def on_signal(number, _frame):
    raise Ended(signal.Signals(number).name)


def main(argv=None):
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    try:
        return run(argv)
    except KeyboardInterrupt:
        print(f"{PROG}: error: interrupted (Ctrl-C); no image was written", file=sys.stderr)
        return 130
    except Ended as e:
        print(f"{PROG}: error: ended by {e}; no image was written", file=sys.stderr)
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
    parser.add_argument("--exe", default=os.path.join(ROOT, "build", "bin", "Tolvane.exe"),
                        help="the Tolvane.exe to put at the root (default: the build's, %(default)s)")
    parser.add_argument("--label", default="TOLVANE",
                        help="the volume label, made valid for ISO 9660 and Joliet (default: %(default)s)")
    parser.add_argument("--oldest-windows", choices=tuple(Oldest.VERSIONS), default="xp",
                        help="the oldest Windows the medium is for: every program and control must start there "
                             "(default: %(default)s)")
    parser.add_argument("--check", action="store_true",
                        help="check the files (and, with -o, where the image would go); write nothing")
    parser.add_argument("--sign", metavar="PFX", help="sign the image's Tolvane.exe with this PKCS #12 file")
    parser.add_argument("--password-file", metavar="FILE", help="the PFX's password: the file's first line")
    parser.add_argument("--timestamp", metavar="URL", help="an RFC 3161 timestamp server for the signature")
    args = parser.parse_args(argv)
    if not args.check and not args.output:
        parser.error("the image needs a name: -o MEDIUM.iso (or --check to write nothing)")
    if args.sign and not args.password_file:
        parser.error("--sign needs --password-file FILE; a password is never taken from the command line")
    if (args.password_file or args.timestamp) and not args.sign:
        parser.error("--password-file and --timestamp go with --sign PFX")

    findings = Findings()
    entries, found = [], {}
    oldest = Oldest(args.oldest_windows)
    if not os.path.isdir(args.data_dir):
        findings.error(args.data_dir, "is not a folder")
    else:
        entries = walk(args.data_dir, findings)
        found = find_required(args.data_dir, entries, findings)
        oldest.beside = {parts[0].lower() for parts, _, is_folder in entries if len(parts) == 1 and not is_folder}
        if "Flash.ocx" in found:
            check_control(found["Flash.ocx"], findings, oldest)
        for name in ("install_flash_player.exe", "menu.exe"):
            if name in found:
                check_program(found[name], findings, oldest)
    if os.path.isdir(args.exe):
        findings.error(args.exe, "is a folder; --exe names the Tolvane.exe to put on the medium")
    elif not os.path.exists(args.exe):
        findings.error(args.exe, "is missing (--exe names the Tolvane.exe to put on the medium)")
    elif not os.path.isfile(args.exe):
        findings.error(args.exe, "is not a plain file (--exe names the Tolvane.exe to put on the medium)")
    else:
        check_program(args.exe, findings, oldest, gui=True)
    room = record_room(args.exe, findings) if os.path.isfile(args.exe) else None
    record = None
    if os.path.isdir(args.data_dir) and len(found) == len(REQUIRED):
        record = medium_record(args.data_dir, entries, found, findings)
    if args.output:
        check_output(args.output, args.data_dir, args.exe, entries, findings, (args.sign, args.password_file))
    signer = Signer(args.sign, args.password_file, findings, args.timestamp) if args.sign else None
    if signer and not shutil.which("osslsigncode"):
        findings.error(args.sign, "cannot be used: osslsigncode is not installed (Debian's package osslsigncode)")
    if args.timestamp:
        url = urllib.parse.urlsplit(args.timestamp)
        if url.scheme not in ("http", "https") or not url.hostname:
            findings.error(args.timestamp, "is no timestamp server's address: it must be an http:// or https:// URL")
    if signer and not args.timestamp:
        findings.warning(args.sign, "no --timestamp: the signature stops counting when the certificate expires")
    # Signed in a folder of its own, which goes however the run ends.
    folder = tempfile.mkdtemp(prefix="make_medium-")
    try:
        return finish(args, findings, entries, signer, folder, (room, record), oldest)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def finish(args, findings, entries, signer, folder, room_and_record, oldest):
    label = volume_label(args.label)
    iso = None
    exe = args.exe
    room, record = room_and_record
    if not findings.errors:
        exe = write_record(args.exe, room, record, folder)
    if signer and not findings.errors and not args.check:
        try:
            exe = signer.sign(exe, folder, args.timestamp)
        except RuntimeError as e:
            print(f"{PROG}: error: signing {args.exe} failed: {e}", file=sys.stderr)
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
        print(f"  for {oldest.name} and later (--oldest-windows {oldest.key})")
        print("Checked; nothing was written." + (" The certificate can sign." if signer else ""))
        return 0
    try:
        master(args.output, iso, contents)
    except (OSError, pycdlib.pycdlibexception.PyCdlibException, RuntimeError) as e:
        print(f"{PROG}: error: writing {args.output} failed: {e}", file=sys.stderr)
        return 1
    try:  # an image whose report nobody could read is taken back
        print(f"Wrote {args.output}, read every file back through Joliet: all as their sources.")
        print("\n".join(table(exe, entries, label, os.path.getsize(args.output), written=True)))
        print(record_line(record, written=True))
        print(f"  for {oldest.name} and later (--oldest-windows {oldest.key})")
        if signer:
            print(signer.line(args.timestamp))
        sys.stdout.flush()
    except BaseException:
        os.remove(args.output)
        raise
    return 0


if __name__ == "__main__":
    sys.exit(main())
