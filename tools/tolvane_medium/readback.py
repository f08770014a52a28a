"""Reading a medium back, as a plant's pressed disc or an image comes back:
`make_medium verify IMAGE_OR_FOLDER` checks it, `make_medium extract IMAGE
FOLDER` checks it and copies its files out by their Joliet names (as
Windows sees them)."""
import argparse
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pefile
import pycdlib
from cryptography.hazmat.primitives.serialization import Encoding, pkcs7

from .common import AUTORUN, DEVICES, MEDIUM_RECORD_SIZE, PROG, RECORD_HEADER, REQUIRED, RT_RCDATA, SECURITY, SYSTEM_ROOTS
from .image import volume_label
from .layout import Layout

BLOCK = 2048
# What Windows cannot open, or takes for a device, in a name.
FORBIDDEN = set('\\/:*?"<>|') | {chr(c) for c in range(32)}


def windows_name_fault(name):
    """Why Windows cannot hold `name` as a file or folder name, or None."""
    bad = sorted(set(name) & FORBIDDEN)
    if bad:
        return "holds " + ", ".join(repr(c) for c in bad) + ", which no Windows program can open"
    if name.endswith((" ", ".")):
        return "ends with a space or a dot, which Windows takes off: no program can open it by that name"
    if name.split(".")[0].upper() in DEVICES:
        return "is a device's name to Windows: no program can open it as a file"
    return None


class Medium:
    """The files of an image (through Joliet) or of a folder, by their
    paths relative to the root ("Tolvane.exe", "data/menu.exe")."""

    def __init__(self, target):
        self.iso, self.folder, self.label, self.faults, self.sources = None, None, None, [], {}
        if os.path.isdir(target):
            self.folder = target
            relative = lambda top, name: os.path.relpath(os.path.join(top, name), target).replace(os.sep, "/")
            walked = list(os.walk(target))
            self.paths = sorted(relative(top, name) for top, _, files in walked for name in files)
            self.folders = sorted(relative(top, name) for top, folders, _ in walked for name in folders)
            return
        with open(target, "rb") as f:
            size = f.seek(0, os.SEEK_END)  # a disc in its drive (a block device) too
            layout = Layout(f, size)
        if layout.faults:
            raise Refused(layout.faults)
        self.iso = pycdlib.PyCdlib()
        self.iso.open(target)
        if not self.iso.has_joliet():
            raise ValueError("it has no Joliet names: Windows would see only short ISO 9660 names")
        # Windows shows the Joliet label; the primary one is for other systems.
        self.label = self.iso.joliet_vd.volume_identifier.decode("utf-16-be", "replace").strip().rstrip("\0")
        volume = self.iso.pvd.space_size * self.iso.pvd.log_block_size
        if size < volume:
            raise ValueError(f"it has {size:,} bytes, its volume {volume:,}: the image is cut short (an interrupted "
                             "write or download)")
        self.paths, self.folders, self.faults, extents, joliet = [], [], [], set(), {}
        root = self.iso.get_record(joliet_path="/")
        extents.add((root.extent_location(), root.extent_location() + (root.data_length + BLOCK - 1) // BLOCK, "/"))
        from .files import windows_upper  # (files imports this module)
        for folder, _, _ in self.iso.walk(joliet_path="/"):
            # Its records as they are on the disc: a name twice is two records.
            children = [c for c in self.iso.get_record(joliet_path=folder).children[2:]]
            counts = {}
            for child in children:
                # Windows drops a version (";1") from a Joliet name.
                raw = child.file_identifier().decode("utf-16-be", "replace")
                name = re.sub(r";[0-9]+$", "", raw)
                path = (folder.rstrip("/") + "/" + name).lstrip("/")
                self.sources[path] = folder.rstrip("/") + "/" + raw
                fault = windows_name_fault(name)
                if fault:
                    self.faults.append(f"{path}: its Joliet name {fault}")
                counts.setdefault(windows_upper(name), []).append(path)
                start, length = child.extent_location(), child.data_length
                if length < 0 or (start * BLOCK >= size and length > 0):
                    raise ValueError(f"{path} starts at byte {start * BLOCK:,}, past the image's {size:,}: the "
                                     "image is cut short or damaged")
                if start * BLOCK + length > size:
                    raise ValueError(f"{path} ends at byte {start * BLOCK + length:,}, past the image's {size:,}: "
                                     "the image is cut short (an interrupted write or download)")
                if length > 0:
                    extents.add((start, start + (length + BLOCK - 1) // BLOCK, path))
                if child.is_dir():
                    self.folders.append(path)
                elif path not in self.paths:
                    self.paths.append(path)
                    joliet[path] = (start, length)
            self.faults += [f"{paths[-1]}: {len(paths)} entries of {folder} have this name (as Windows compares names): "
                            "Windows shows only one of them" for paths in counts.values() if len(paths) > 1]
        # No two extents share a sector: a file that overlaps another (or a
        # folder's own records) reads as the other's bytes on the disc. Two
        # names of one extent, whole, are one file (a hard link).
        extents = sorted(extents)
        for (start, end, path), (other_start, other_end, other) in zip(extents, extents[1:]):
            hard_link = path in joliet and joliet[path] == joliet.get(other)  # one whole extent, two names
            if other_start < end and not hard_link:
                self.faults.append(f"{other}: its extent (sector {other_start}) overlaps that of {path or '/'} "
                                   f"(sectors {start} to {end - 1}): on the disc it reads as the other's bytes")

        self.faults += self.other_trees(joliet, layout.udf)

    def other_trees(self, joliet, udf):
        """Every other tree holds the Joliet tree's files, and only them:
        Linux and macOS read the Rock Ridge names, older systems the ISO
        9660 tree, and Windows the UDF tree before Joliet."""
        faults = []
        names, places = {}, set()
        folders = [("/", "")]
        while folders:
            folder, path = folders.pop()
            for child in self.iso.get_record(iso_path=folder).children[2:]:
                identifier = child.file_identifier().decode("ascii", "replace")
                name = child.rock_ridge.name().decode("utf-8", "replace") if child.rock_ridge else None
                child_path = (path + "/" + (name or identifier)).lstrip("/")
                if child.is_dir():
                    folders.append((folder.rstrip("/") + "/" + identifier, child_path))
                elif child.data_length > 0:
                    places.add((child.extent_location(), child.data_length))
                if not child.is_dir() and name is not None:
                    names[child_path] = (child.extent_location(), child.data_length)
        shown = lambda path: path.replace("/", "\\")
        if self.iso.has_rock_ridge():
            faults += [f"{shown(path)} in its Rock Ridge tree (what Linux and macOS read) is not the file of that name "
                       "in its Joliet tree" for path in sorted(set(names) | set(joliet))
                       if names.get(path) != joliet.get(path) and (path in names or joliet[path][1] > 0)]
        written = {place for place in joliet.values() if place[1] > 0}
        faults += [f"its ISO 9660 tree (what systems without Joliet read) holds a file at sector {start} that no file "
                   "of its Joliet tree is" for start, _ in sorted(places - written)]
        faults += [f"{shown(path)} is not in its ISO 9660 tree (what systems without Joliet read)"
                   for path, place in sorted(joliet.items()) if place in written - places]
        if udf:
            if not self.iso.has_udf():
                return faults + ["it holds a UDF tree, which Windows reads before Joliet, that cannot be read"]
            udf_files = {}
            for folder, _, files in self.iso.walk(udf_path="/"):
                for name in files:
                    udf_files[(folder.rstrip("/") + "/" + name).lstrip("/")] = folder.rstrip("/") + "/" + name
            for path in sorted(set(udf_files) | set(joliet)):
                if path not in udf_files or path not in joliet:
                    faults.append(f"{shown(path)} is in its {'UDF' if path in udf_files else 'Joliet'} tree and not "
                                  f"in its {'Joliet' if path in udf_files else 'UDF'} tree: Windows reads the UDF "
                                  "tree before Joliet")
                    continue
                out = io.BytesIO()
                self.iso.get_file_from_iso_fp(out, udf_path=udf_files[path])
                if out.getvalue() != self.read(path):
                    faults.append(f"{shown(path)} in its UDF tree, which Windows reads before Joliet, is not the "
                                  "file of that name in its Joliet tree")
        return faults

    def read(self, path):
        if self.folder:
            with open(os.path.join(self.folder, *path.split("/")), "rb") as f:
                return f.read()
        out = io.BytesIO()
        self.iso.get_file_from_iso_fp(out, joliet_path=self.sources.get(path, "/" + path))
        return out.getvalue()

    def find(self, path):
        """The path of a file as the medium spells it, found as Windows finds
        it, whatever the case; None when there is none."""
        from .files import windows_upper  # (files imports this module)
        return next((there for there in self.paths if windows_upper(there) == windows_upper(path)), None)

    def close(self):
        if self.iso:
            self.iso.close()


class Refused(ValueError):
    """An image refused before its trees are read, with every reason."""

    def __init__(self, faults):
        super().__init__("; ".join(faults))
        self.faults = faults


def record_of(exe):
    """The record of the medium's files in Tolvane.exe, as lines."""
    image = pefile.PE(data=exe)
    for kind in getattr(image, "DIRECTORY_ENTRY_RESOURCE", None).entries:
        if kind.id == RT_RCDATA:
            for entry in kind.directory.entries:
                if str(entry.name) == "MEDIUM":
                    data = entry.directory.entries[0].data.struct
                    text = image.get_data(data.OffsetToData, min(data.Size, MEDIUM_RECORD_SIZE))
                    return text.rstrip(b" \0").decode("utf-8").split("\n")
    raise ValueError("Tolvane.exe carries no record of the medium's files")


def signature_certificates(data):
    """The certificates of the Authenticode signature in `data`, by its
    structure, whatever any tool says; None when it is not signed. Raises
    ValueError, saying why, when the certificate table (its address is a
    file offset) does not end where the file ends or holds no PKCS #7."""
    directory = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    if not directory.VirtualAddress or not directory.Size:
        return None
    end = directory.VirtualAddress + directory.Size
    if end != len(data):
        raise ValueError(f"its signature's certificate table ends at byte {end:,}, the file at {len(data):,}")
    table = data[directory.VirtualAddress:]
    length = int.from_bytes(table[:4], "little")
    try:
        if length < 8 or length > len(table):
            raise ValueError("a certificate entry longer than its table")
        return pkcs7.load_der_pkcs7_certificates(table[8:length])
    except ValueError as e:
        raise ValueError(f"its signature is no PKCS #7 signature ({e})") from None


def signer_of(data):
    """Who signed: the subject of the one certificate of the signature that
    issues none of the others."""
    certificates = signature_certificates(data) or []
    issuers = {c.issuer for c in certificates if c.issuer != c.subject}
    signers = [c for c in certificates if c.subject not in issuers] or certificates
    return signers[0].subject.rfc4514_string() if signers else "nobody it names"


def signature_verifies(name, data, folder):
    """Whether the Authenticode signature in `data` is whole and matches it:
    by its structure, then osslsigncode's exit status with the signature's
    own certificates (and the system's roots) as the trusted ones, so that
    only the file's digest and the signature themselves count. None when
    the file is not signed."""
    try:
        certificates = signature_certificates(data)
    except ValueError:
        return False
    if certificates is None:
        return None
    path, trusted = os.path.join(folder, os.path.basename(name)), os.path.join(folder, "trusted.pem")
    with open(path, "wb") as f:
        f.write(data)
    with open(trusted, "wb") as f:
        f.write(b"".join(c.public_bytes(Encoding.PEM) for c in certificates))
        if os.path.exists(SYSTEM_ROOTS):
            with open(SYSTEM_ROOTS, "rb") as roots:
                f.write(roots.read())
    done = subprocess.run(["osslsigncode", "verify", "-in", path, "-CAfile", trusted, "-TSA-CAfile", trusted],
                          capture_output=True, timeout=120)
    return done.returncode == 0


def verify(target, label=None):
    """The lines that say what was checked, and the faults found."""
    said, faults = [], []
    medium = Medium(target)
    try:
        faults += medium.faults
        # The root holds what the tool presses there, and nothing else:
        # AutoPlay starts what autorun.inf names. Names as Windows compares
        # them, whatever their case.
        from .files import windows_upper  # (files imports this module)
        tops = {path.split("/")[0] for path in medium.paths + medium.folders}
        faults += [f"{top} is at the root, where the tool presses only Tolvane.exe, autorun.inf and data"
                   for top in sorted(tops) if windows_upper(top) not in ("TOLVANE.EXE", "AUTORUN.INF", "DATA")]
        autorun = medium.find("autorun.inf")
        if autorun and medium.read(autorun) != AUTORUN:
            faults.append("autorun.inf is not the one the tool writes (it would have AutoPlay start something else "
                          "than Tolvane.exe)")
        elif not autorun:
            faults.append("autorun.inf is missing: the disc would not start Tolvane.exe by itself")
        if medium.label is not None:
            said.append(f"volume label {medium.label}")
            # The label as given, or as the tool writes it for that text.
            if label is not None and medium.label not in (label, volume_label(label)):
                faults.append(f"its volume label is {medium.label}, not {label}")
        exe_path = medium.find("Tolvane.exe")
        if not exe_path:
            return said, faults + ["it holds no Tolvane.exe at its root"]
        exe = medium.read(exe_path)
        lines = record_of(exe)
        if not lines or lines[0] != RECORD_HEADER or "end" not in lines:
            return said, faults + ["the record of the medium's files in Tolvane.exe is empty or damaged"]
        named = set()
        for line in lines[1:lines.index("end")]:
            kind, _, rest = line.partition(" ")
            if kind == "file":
                size, digest, name = rest.split(" ", 2)
                named.add(windows_upper(name))
                path = medium.find("data/" + name)
                if not path:
                    faults.append(f"data\\{name} is missing")
                    continue
                data = medium.read(path)
                if len(data) != int(size) or hashlib.sha256(data).hexdigest() != digest:
                    faults.append(f"data\\{name} is not what the record says ({len(data):,} bytes, not {int(size):,}, "
                                  "or another SHA-256)")
            elif kind == "other":
                named.add(windows_upper(rest))
        # Folders too: the program lists what data holds, an empty folder as any other.
        tops = {path.split("/")[1] for path in medium.paths + medium.folders
                if windows_upper(path).startswith("DATA/")}
        faults += [f"data\\{top} is not in the record: every machine would refuse the disc"
                   for top in sorted(tops) if windows_upper(top) not in named]
        faults += [f"data\\{name} is named in the record but missing" for name in sorted(named)
                   if name not in {windows_upper(top) for top in tops}]
        said.append(f"every file of data\\ as the record in Tolvane.exe says ({len(named)} names at its top)")
        with tempfile.TemporaryDirectory(prefix="make_medium-verify-") as folder:
            for path in ["Tolvane.exe"] + ["data/" + name for name in REQUIRED]:
                there = medium.find(path)
                if not there:
                    continue
                data = medium.read(there)
                verified = signature_verifies(path, data, folder)
                if verified is False:
                    faults.append(f"{path.replace('/', chr(92))}: its signature does not verify (cut short or changed "
                                  "after signing)")
                elif verified:
                    said.append(f"{path.replace('/', chr(92))}: its signature verifies, signed by {signer_of(data)}")
                elif path == "Tolvane.exe":
                    said.append("Tolvane.exe: not signed (Windows names no publisher for it, and asks the person "
                                "who runs it as administrator about an \"Unknown publisher\")")
    finally:
        medium.close()
    return said, faults


def main(argv):
    command = argv[0]
    parser = argparse.ArgumentParser(
        prog=f"{PROG} {command}",
        description="Checks a medium image, or a folder such as a pressed disc's drive root: a whole Joliet tree, "
                    "every file as the record in Tolvane.exe says, the signatures, the volume label."
                    + (" Then copies its files out, by their Joliet names, into a new or empty folder."
                       if command == "extract" else ""))
    parser.add_argument("target", metavar="MEDIUM.iso" if command == "extract" else "IMAGE_OR_FOLDER")
    if command == "extract":
        parser.add_argument("destination", metavar="FOLDER")
    parser.add_argument("--label", help="the volume label the disc must have")
    args = parser.parse_args(argv[1:])
    if not os.path.exists(args.target) or (command == "extract" and os.path.isdir(args.target)):
        parser.error(f"{args.target}: no such {'image' if command == 'extract' else 'image or folder'}")
    destination = getattr(args, "destination", None)
    if destination and os.path.exists(destination) and (not os.path.isdir(destination) or os.listdir(destination)):
        parser.error(f"{destination}: not a new or empty folder")
    # Every refusal in the tool's own words, the library's after them.
    try:
        said, faults = verify(args.target, args.label)
    except ValueError as e:
        said, faults = [], getattr(e, "faults", [str(e)])
    except OSError as e:
        said, faults = [], [f"it cannot be read ({e.strerror or e})"]
    except pefile.PEFormatError as e:
        said, faults = [], [f"its Tolvane.exe is no program Windows can load ({e})"]
    except pycdlib.pycdlibexception.PyCdlibException as e:
        said, faults = [], [f"its ISO 9660 or Joliet structure cannot be read as Windows reads a disc ({e}): the "
                            "image is damaged, or no disc image"]
    for line in said:
        print(f"ok      {line}")
    for fault in faults:
        print(f"{PROG}: error: {args.target}: {fault}", file=sys.stderr)
    if faults:
        return 1
    if destination:
        try:
            extract(args.target, destination)
        except OSError as e:  # a full disk, a folder that cannot be written
            print(f"{PROG}: error: {destination}: copying failed ({e.strerror or e}); nothing is left of the copy",
                  file=sys.stderr)
            return 1
        print(f"Copied the files of {args.target} into {destination}.")
    return 0


def extract(image, destination):
    """Writes every folder and file of the image's Joliet tree under
    destination; nothing half-copied stays."""
    iso = pycdlib.PyCdlib()
    iso.open(image)
    try:
        for folder, _, files in iso.walk(joliet_path="/"):
            target = os.path.join(destination, *folder.strip("/").split("/")) if folder != "/" else destination
            os.makedirs(target, exist_ok=True)
            for name in files:
                with open(os.path.join(target, name), "wb") as out:
                    iso.get_file_from_iso_fp(out, joliet_path=folder.rstrip("/") + "/" + name)
    except BaseException:
        for entry in os.listdir(destination) if os.path.isdir(destination) else []:
            path = os.path.join(destination, entry)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        raise
    finally:
        iso.close()
