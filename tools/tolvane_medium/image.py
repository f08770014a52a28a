"""The image: the record of the medium's files written into the program,
the ISO 9660 image with Joliet and Rock Ridge, written under a temporary
name, read back and only then named, and the table of what it holds."""
import hashlib
import io
import os
import sys

import pefile
import pycdlib
import pycdlib.utils

from .common import (PROG, REQUIRED, AUTORUN, JOLIET_MAX, DISCS, RT_RCDATA, MEDIUM_RECORD_SIZE, EMPTY_RECORD,
                     RECORD_HEADER, SECURITY)


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


def snapshot_of(entries):
    """Each file of the medium as it is read now, by its path: (size,
    SHA-256). The record is made from this one reading, and the image is
    checked against it once written."""
    return {path: read_once(path) for _, path, is_folder in entries if not is_folder}


def read_once(path):
    digest, size = Digest(), 0
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            digest.write(block)
            size += len(block)
    return size, digest.hash.digest()


def medium_record(data_dir, entries, found, findings, quiet_args=None, snapshot=None):
    """The record of the medium's files, as the program reads it (UTF-8
    lines), or None when it does not fit the program's room. `quiet_args`:
    the installer's own switches for a run that nobody watches."""
    lines = [RECORD_HEADER]
    # The three programs, then every file at the top that Windows' loader
    # may map into them (DLLs, controls, manifests, .local redirections):
    # the program checks and holds each before it runs anything.
    paths = [found[name] for name in REQUIRED]
    paths += [path for parts, path, is_folder in entries
              if len(parts) == 1 and not is_folder and path not in paths and loader_maps(parts[0])]
    # ...and what any of them imports from there, whatever its name ends
    # with (a name without a dot is a DLL's).
    tops = {parts[0].lower(): path for parts, path, is_folder in entries if len(parts) == 1 and not is_folder}
    for path in paths:  # the list grows as it is read
        for dll in imported(path):
            brought = tops.get(dll if "." in dll else dll + ".dll")
            if brought and brought not in paths:
                paths.append(brought)
    for path in paths:
        size, digest = (snapshot or {}).get(path) or read_once(path)
        lines.append(f"file {size} {digest.hex()} {os.path.basename(path)}")
    for parts, _, is_folder in entries:
        if len(parts) == 1 and is_folder and loader_maps(parts[0]):
            findings.error(os.path.join(data_dir, parts[0]), "is a folder Windows loads DLLs from in place of those "
                                                             "beside the program (DLL redirection): the program cannot "
                                                             "check what it holds; remove it")
    hashed = {os.path.basename(path) for path in paths}
    lines += [f"other {parts[0]}" for parts, _, _ in entries if len(parts) == 1 and parts[0] not in hashed]
    if quiet_args:
        lines.append(f"quiet {quiet_args}")
    record = ("\n".join(lines + ["end"]) + "\n").encode("utf-8")
    if len(record) > MEDIUM_RECORD_SIZE:
        findings.error(data_dir, f"the names at its top take {len(record):,} bytes in the program's record of the "
                                 f"medium, more than its {MEDIUM_RECORD_SIZE:,}: put some of them in a folder")
        return None
    return record


def signature_of(exe):
    """The file offset and size of the build's certificate table, or None."""
    try:
        directory = pefile.PE(exe, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    except (pefile.PEFormatError, IndexError):
        return None
    return (directory.VirtualAddress, directory.Size) if directory.VirtualAddress and directory.Size else None


def write_record(exe, offset, record, folder, checked=None):
    """A copy of `exe` in `folder` with `record` in its room and its PE
    checksum made anew; a signature the build carried is taken off (it
    would no longer match), to be made anew. Raises RuntimeError when the
    file is no longer what was checked (`checked`: see read_once)."""
    recorded = os.path.join(folder, "recorded.exe")
    with open(exe, "rb") as source:
        data = bytearray(source.read())
    if checked is not None and (len(data), hashlib.sha256(data).digest()) != checked:
        raise RuntimeError(f"{exe} changed while {PROG} ran: what was checked is not what would be pressed")
    signature = signature_of(exe)
    if signature:
        del data[signature[0]:]
    data[offset:offset + MEDIUM_RECORD_SIZE] = record + b" " * (MEDIUM_RECORD_SIZE - len(record))
    image = pefile.PE(data=bytes(data))
    image.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].VirtualAddress = 0
    image.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].Size = 0
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


def master(output, iso, contents, snapshot=None):
    """Writes the image under a temporary name, reads it back (against the
    one reading the record was made from, where there is one), renames it.
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
        read_back(partial, contents, snapshot or {})
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
    return read_once(path)[1]


def read_back(image, contents, snapshot):
    """Every file read through its Joliet name and compared with its source
    as it was read when the record was made: a file the build replaced
    while the tool ran would make a disc that every machine refuses."""
    iso = pycdlib.PyCdlib()
    iso.open(image)
    try:
        for joliet, source, data in contents:
            digest = Digest()
            iso.get_file_from_iso_fp(digest, joliet_path=joliet)
            if source in snapshot:
                if digest.hash.digest() != snapshot[source][1]:
                    raise RuntimeError(f"{source} changed while {PROG} ran: the disc would not be what the record in "
                                       f"Tolvane.exe says, and every machine would refuse it")
                continue
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


def imported(path):
    """The names of the DLLs a program or DLL imports, in lower case."""
    try:
        image = pefile.PE(path, fast_load=True)
        image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    except (pefile.PEFormatError, OSError):
        return []
    return [entry.dll.decode("ascii", "replace").lower() for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", [])]


def loader_maps(name):
    """Whether Windows' loader may map a file of this name from the folder
    of the program it starts."""
    return name.lower().endswith((".exe", ".dll", ".ocx", ".manifest", ".local"))


def record_line(record, written):
    others = record.count(b"\nother ")
    more = record.count(b"\nfile ") - len(REQUIRED)
    hashed = (f"install_flash_player.exe, Flash.ocx, menu.exe and {more} other file{'' if more == 1 else 's'} "
              "Windows may load" if more else "install_flash_player.exe, Flash.ocx and menu.exe")
    what = (f"{hashed} by size and SHA-256, {others} other "
            f"entr{'y' if others == 1 else 'ies'} of data\\ by name ({len(record):,} of {MEDIUM_RECORD_SIZE:,} bytes)")
    return f"  Tolvane.exe {'records' if written else 'will record'} the medium's files: {what}"


def detection_line(record, entries):
    """What a deployment tool's detection rule matches: Flash.ocx's SHA-256
    (the registry value Sha256 after a repair) and its file version."""
    digest = next((line.split(" ")[2] for line in record.decode("utf-8").split("\n")
                   if line.startswith("file ") and line.lower().endswith(" flash.ocx")), "?")
    path = next((path for parts, path, is_folder in entries if len(parts) == 1 and parts[0].lower() == "flash.ocx"), None)
    version = file_version(path) if path else None
    return (f"  for detection rules: Flash.ocx's SHA-256 {digest}, "
            f"{'file version ' + version if version else 'no file version'}")


def file_version(path):
    """A program's file version from its version resource, or None."""
    try:
        image = pefile.PE(path, fast_load=True)
        image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        fixed = getattr(image, "VS_FIXEDFILEINFO", None)
        info = fixed[0] if isinstance(fixed, list) and fixed else fixed
        if info is None:
            return None
        high, low = info.FileVersionMS, info.FileVersionLS
        return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"
    except (pefile.PEFormatError, AttributeError, IndexError, OSError):
        return None


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
