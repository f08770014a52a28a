"""The checks of the medium's files and names, before anything is written:
what Windows, from the oldest version the medium is for, will open, load
and run."""
import os
import re
import stat
import subprocess
import tempfile
from xml.etree import ElementTree

import pefile

from .common import (CONSOLE, DEVICES, EXECUTABLE_IMAGE, FOUR_GIB, GUI, I386, IS_DLL, JOLIET_MAX, LEFT_BEHIND, MACHINES,
                     MAX_PATH, MOST_SECTIONS, PARTIAL, PE32, REQUIRED, RESERVED, SECURITY)

from .readback import signature_certificates, signature_verifies

IMPORTS, CLR_RUNTIME = 1, 14  # data directories: the import table, the .NET runtime header
FORCE_INTEGRITY = 0x80  # IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY
RT_MANIFEST = 24
I386_RELOCATIONS = {0, 1, 2, 3, 4}  # ABSOLUTE, HIGH, LOW, HIGHLOW, HIGHADJ


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
    subsystem = (image.OPTIONAL_HEADER.MajorSubsystemVersion, image.OPTIONAL_HEADER.MinorSubsystemVersion)
    if subsystem < (3, 10):
        problems.append(f"its subsystem version ({subsystem[0]}.{subsystem[1]}) is below 3.10: Windows refuses to "
                        "load it")
    imports = image.OPTIONAL_HEADER.DATA_DIRECTORY[IMPORTS]
    if imports.VirtualAddress and imports.VirtualAddress + imports.Size > image.OPTIONAL_HEADER.SizeOfImage:
        problems.append(f"its import directory (0x{imports.VirtualAddress:x}, {imports.Size} bytes) lies outside the "
                        f"image (0x{image.OPTIONAL_HEADER.SizeOfImage:x}): Windows refuses to load it")
    try:
        image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]])
        kinds = {entry.type for block in getattr(image, "DIRECTORY_ENTRY_BASERELOC", []) for entry in block.entries}
    except pefile.PEFormatError:
        kinds = set()
    if kinds - I386_RELOCATIONS:
        problems.append(f"it holds relocations of types {sorted(kinds - I386_RELOCATIONS)}, which the loader of an "
                        "i386 image does not know: Windows refuses to load it")
    try:
        unsigned = signature_certificates(image.__data__[:]) is None
    except ValueError:
        unsigned = False  # a signature cut short is reported as such
    if image.OPTIONAL_HEADER.DllCharacteristics & FORCE_INTEGRITY and unsigned:
        problems.append("its header has Windows check its signature before it loads it (forced integrity), and it is "
                        "not signed: from Windows Vista on it will not load")
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
    data = image.__data__[:]
    try:
        if signature_certificates(data) is None:
            findings.warning(path, "is not signed (no Authenticode signature): Windows names no publisher for it")
            return
    except ValueError as e:
        findings.error(path, f"{e}: it was cut short or changed after signing, and Windows takes it for unsigned "
                             "or refuses it")
        return
    # The file's own digest against the one signed, whoever signed it.
    try:
        with tempfile.TemporaryDirectory(prefix="make_medium-signature-") as folder:
            verified = signature_verifies(path, data, folder)
    except (OSError, subprocess.TimeoutExpired):
        return
    if verified is False:
        findings.warning(path, "carries an Authenticode signature that no longer matches the file (changed after "
                               "signing): Windows takes it for unsigned, or refuses it")


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
    # The first Windows that brings each of these DLLs (Windows 8.1's
    # shcore.dll counts from 10 here, the next version the tool knows).
    FIRST_WINDOWS = {**dict.fromkeys(("bcrypt", "ncrypt", "dwmapi", "propsys", "dxgi", "d3d10", "d3d10_1", "wevtapi",
                                      "rstrtmgr", "ktmw32", "tdh", "mscoree"), (6, 0)),
                     **dict.fromkeys(("d2d1", "dwrite", "d3d11", "uiautomationcore"), (6, 1)),
                     **dict.fromkeys(("shcore", "d3d12", "ucrtbase"), (10, 0))}
    API_SETS = {"api-ms-win-": (6, 1), "ext-ms-win-": (6, 2)}  # API sets: from Windows 7, extensions from 8
    # Runtimes that no Windows brings: the medium must bring them along.
    REDISTRIBUTABLE = re.compile(r"^(msvc[rp](7\d|8\d|9\d|1[0-4]\d)(_\w+)?|vcruntime\d+(_\d)?|concrt\d+|"
                                 r"vcomp\d+|mfc(7\d|8\d|9\d|1[0-4]\d)u?)\.dll$", re.IGNORECASE)

    def __init__(self, key):
        self.key = key
        self.version, self.name = self.VERSIONS[key]
        # Windows XP's export lists, the only ones the tool has: for a later
        # Windows, a name XP lacks is a warning (that Windows may have it).
        self.exports = {}
        folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "winxp-exports")
        for name in os.listdir(folder):
            if name.endswith(".txt"):
                with open(os.path.join(folder, name)) as f:
                    self.exports[name[:-4] + ".dll"] = set(f.read().split())
        self.beside = set()  # DLLs the medium brings along at the top of data
        self.elsewhere = {}  # file names deeper in data, lower case -> where (data\\content\\x.dll)
        self.data_dir = None

    def check(self, path, image, findings, chain=(), alone=None):
        """Each problem is an error of `path`; `chain` names the DLLs of the
        medium's own through which it was reached. `alone`: where it runs
        away from data, so that no DLL of the medium's is beside it."""
        through = "".join(f" (through {' -> '.join(chain)})" for _ in chain[:1])
        version = (image.OPTIONAL_HEADER.MajorSubsystemVersion, image.OPTIONAL_HEADER.MinorSubsystemVersion)
        if version > self.version:
            findings.error(path, f"its header asks for Windows {version[0]}.{version[1]} or later (subsystem "
                                 f"version){through}: {self.name} ({self.version[0]}.{self.version[1]}) will not "
                                 f"start it (--oldest-windows {self.key})")
        image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
        for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", []):
            dll = entry.dll.decode("ascii", "replace").lower()
            lacks = f"imports {dll}{through}, which {self.name} does not have: it will not load there"
            if dll in self.beside and alone:
                findings.error(path, f"imports {dll}{through}, which the medium brings at the top of data: {alone}, "
                                     "where it is not, and will not start")
                continue
            if dll in self.beside:  # the medium's own: checked in turn, once on each chain
                if dll not in chain and self.data_dir:
                    brought = os.path.join(self.data_dir, next(n for n in os.listdir(self.data_dir) if n.lower() == dll))
                    inner = read_image(brought, findings)
                    if inner is not None:
                        self.lacking(path, entry, inner, f"the medium's {dll}{through}", findings)
                        self.check(path, inner, findings, chain + (dll,))
                continue
            if dll in self.elsewhere:
                findings.warning(path, f"imports {dll}{through}, which the medium holds as {self.elsewhere[dll]}, not "
                                       "beside it: Windows looks beside the program and in the system folder, not there")
            first = self.FIRST_WINDOWS.get(dll[:-4]) or next(
                (version for prefix, version in self.API_SETS.items() if dll.startswith(prefix)), None)
            if self.REDISTRIBUTABLE.match(dll):
                findings.error(path, f"imports {dll}{through}, a runtime no Windows brings, and the medium does not "
                                     "bring it: it will not load")
            elif first and first > self.version:
                findings.error(path, lacks)
            elif dll in self.exports:
                missing = sorted({i.name.decode("ascii", "replace") for i in entry.imports if i.name} - self.exports[dll])
                listed = f"{', '.join(missing[:4])}{', ...' if len(missing) > 4 else ''} from {dll}{through}"
                if missing and self.key == "xp":
                    findings.error(path, f"imports {listed}, which {self.name} does not export: it will not load there")
                elif missing:
                    findings.warning(path, f"imports {listed}, which Windows XP does not export: the tool has no list "
                                           f"of what {self.name} exports, and cannot tell whether it will load there")
                ordinals = sorted(i.ordinal for i in entry.imports if not i.name)
                if ordinals:
                    findings.warning(path, f"imports ordinal {', '.join(map(str, ordinals[:4]))} of {dll}{through} by "
                                           f"number: the tool cannot tell whether {self.name} exports it")

    @staticmethod
    def lacking(path, entry, inner, which, findings):
        """What `entry` imports and the DLL `inner` does not export, by name
        or by number, is an error: the loader stops there."""
        inner.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
        symbols = getattr(getattr(inner, "DIRECTORY_ENTRY_EXPORT", None), "symbols", [])
        names, numbers = {s.name for s in symbols}, {s.ordinal for s in symbols}
        missing = [i.name.decode("ascii", "replace") if i.name else f"ordinal {i.ordinal}" for i in entry.imports
                   if (i.name not in names if i.name else i.ordinal not in numbers)]
        if missing:
            findings.error(path, f"imports {', '.join(missing[:4])}{', ...' if len(missing) > 4 else ''} from {which}, "
                                 "which does not export it: it will not load")


def check_brought(path, findings, oldest):
    """A DLL (or control) the medium brings beside its programs: what the
    loader asks of it when it maps it into them."""
    image = read_image(path, findings)
    if image is None:
        return
    if other_machine(image):
        findings.error(path, f"is a {other_machine(image)} DLL beside the 32-bit programs: a 32-bit process cannot "
                             "load it")
    elif whole(path, image, findings, program=False):
        oldest.check(path, image, findings)


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
    oldest.check(path, image, findings, alone="it is registered from the Flash folder")
    warn_if_unsigned(path, image, findings)
    runtime = image.OPTIONAL_HEADER.DATA_DIRECTORY[CLR_RUNTIME]
    if runtime.VirtualAddress and runtime.Size:
        findings.error(path, f"is a mixed-mode (.NET) DLL: it loads only where the .NET runtime it was built for "
                             f"({runtime_of(image, runtime.VirtualAddress)}) is installed, which Windows does not "
                             "always bring, and the registration tool fails elsewhere")
    image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    symbols = {symbol.name: symbol for symbol in getattr(getattr(image, "DIRECTORY_ENTRY_EXPORT", None), "symbols", [])}
    if b"DllRegisterServer" not in symbols:
        findings.error(path, "exports no DllRegisterServer: the registration tool cannot register it "
                             "(exit code 4 on every machine)")
    if b"DllUnregisterServer" not in symbols:
        findings.error(path, "exports no DllUnregisterServer: a later repair cannot unregister it")
    # One forwarded to another DLL is that DLL's, found from the Flash folder.
    for name in (b"DllRegisterServer", b"DllUnregisterServer"):
        forwarder = getattr(symbols.get(name), "forwarder", None)
        if forwarder:
            dll, _, function = forwarder.decode("ascii", "replace").rpartition(".")
            known = oldest.exports.get(dll.lower() + ".dll")
            if known is None or function not in known:
                findings.error(path, f"forwards {name.decode()} to {forwarder.decode('ascii', 'replace')}, which "
                                     f"{oldest.name} does not export: the registration tool fails on every machine")


def runtime_of(image, header):
    """The runtime version a managed program's metadata names ("v4.0.30319")."""
    try:
        metadata = image.get_dword_at_rva(header + 8)  # IMAGE_COR20_HEADER.MetaData.VirtualAddress
        if image.get_dword_at_rva(metadata) != 0x424A5342:  # "BSJB"
            return "a version it does not name"
        length = image.get_dword_at_rva(metadata + 12)
        return image.get_data(metadata + 16, length).split(b"\0")[0].decode("ascii", "replace")
    except (pefile.PEFormatError, TypeError):
        return "a version it does not name"


def manifest_of(image):
    """The text of the program's manifest (resource type 24), or None."""
    image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    for kind in getattr(getattr(image, "DIRECTORY_ENTRY_RESOURCE", None), "entries", []):
        if kind.id == RT_MANIFEST:
            data = kind.directory.entries[0].directory.entries[0].data.struct
            return image.get_data(data.OffsetToData, data.Size)
    return None


def check_manifest(path, image, findings, as_invoker):
    """A manifest Windows cannot read stops it from starting the program; a
    menu that asks for administrator rights is started as the user, and
    from Vista on fails with 740 on every machine. The manifest beside it
    (menu.exe.manifest) counts as much as the one inside it."""
    manifests = []
    try:
        embedded = manifest_of(image)
    except (pefile.PEFormatError, AttributeError, IndexError):
        embedded = None
    if embedded is not None:
        manifests.append(("its manifest", embedded))
    folder, name = os.path.split(path)
    beside = {other.lower(): other for other in os.listdir(folder)}  # as Windows finds names
    if name.lower() + ".manifest" in beside:
        with open(os.path.join(folder, beside[name.lower() + ".manifest"]), "rb") as f:
            manifests.append(("the manifest beside it", f.read()))
    for its, text in manifests:
        try:
            root = ElementTree.fromstring(text)
        except ElementTree.ParseError as e:
            findings.error(path, f"{its} is no well-formed XML ({e}): Windows will not start it")
            continue
        levels = [element for element in root.iter() if element.tag.endswith("requestedExecutionLevel")]
        asked = next((level.get("level") for level in levels if level.get("level") not in (None, "", "asInvoker")), None)
        if as_invoker and asked:
            findings.error(path, f"{its} asks for {asked}: it is started as the user who started the disc, and "
                                 "from Windows Vista on it fails to start (740) on every machine")
        if any(level.get("uiAccess", "").lower() == "true" for level in levels):
            findings.error(path, f"{its} asks for uiAccess: Windows starts such a program only from a protected folder "
                                 "(Program Files, the system folder), never from a disc")
        # What it depends on: Windows' own, or a private assembly beside it.
        assemblies = [identity.get("name", "") for dependent in root.iter()
                      if dependent.tag.endswith("dependentAssembly")
                      for identity in dependent if identity.tag.endswith("assemblyIdentity")]
        for wanted in assemblies:
            if not wanted.startswith("Microsoft.Windows.") and \
                    not beside.keys() & {wanted.lower() + ".manifest", wanted.lower() + ".dll", wanted.lower()}:
                findings.error(path, f"{its} names the assembly {wanted}, which the medium does not bring beside it "
                                     "and Windows does not have: it will not start (a side-by-side error)")


def check_program(path, findings, oldest, gui=False, as_invoker=False, alone=None):
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
        oldest.check(path, image, findings, alone=alone)
        check_manifest(path, image, findings, as_invoker or gui)
        runtime = image.OPTIONAL_HEADER.DATA_DIRECTORY[CLR_RUNTIME]
        if runtime.VirtualAddress and runtime.Size:
            findings.warning(path, f"is a managed (.NET) program: it starts only where the .NET runtime it was built "
                                   f"for ({runtime_of(image, runtime.VirtualAddress)}) is installed, which Windows XP "
                                   "does not bring")
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
                # One extent holds 4 GiB less one logical block at most.
                if status.st_size >= FOUR_GIB - 2048:
                    findings.error(path, "is 4 GiB or larger (or within 2,048 bytes of it): ISO 9660 cannot hold it "
                                         "in one piece")
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
        if same is not None and same in others:
            findings.error(output, f"is {same}, one of this run's inputs: the image would replace it")
        elif same:
            findings.error(output, f"is {same}, one of the medium's own files: the image would replace it")
    if os.path.isdir(folder) and not os.access(folder, os.W_OK | os.X_OK):
        findings.error(output, f"cannot be written: the folder {folder} does not let this user write in it")
