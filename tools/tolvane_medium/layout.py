"""An image's layout read raw, as Windows reads it and before any library
does: its volume descriptors, every directory record of its ISO 9660 and
Joliet trees, and their path tables. What a library would pass, read
otherwise or never finish reading is refused here: a boot record, a folder
that loops, a path table that names other folders, records a reader may
take apart differently."""

BLOCK = 2048
# A folder's records or a path table larger than this is no disc's (a CD
# with every name it can hold needs a few MiB): not read into memory.
MOST_BYTES = 64 << 20
JOLIET_ESCAPES = (b"%/@", b"%/C", b"%/E")
UDF_IDENTIFIERS = (b"NSR02", b"NSR03")


class Layout:
    """What the image's descriptors say, and its faults (`faults`). `udf`:
    it holds a UDF tree, which Windows reads in preference to Joliet."""

    def __init__(self, f, size):
        self.f, self.size, self.faults, self.udf = f, size, [], False
        trees = []
        for sector in range(16, 16 + 64):
            descriptor = self.sector(sector)
            if descriptor[1:6] != b"CD001":
                break
            kind = descriptor[0]
            if kind == 0:
                self.faults.append("it holds a boot record (El Torito): a machine set to start from the CD would "
                                   "run code that neither the record in Tolvane.exe nor a signature covers")
            elif kind == 1:
                trees.append(("ISO 9660", descriptor, False))
            elif kind == 2 and descriptor[88:91] in JOLIET_ESCAPES:
                trees.append(("Joliet", descriptor, True))
            elif kind == 255:
                # The extended area that follows says whether a UDF tree is there.
                for extended in range(sector + 1, sector + 1 + 16):
                    identifier = self.sector(extended)[1:6]
                    self.udf = self.udf or identifier in UDF_IDENTIFIERS
                    if identifier in (b"", b"TEA01"):
                        break
                break
        for name, descriptor, joliet in trees:
            folders = self.folders(name, descriptor, joliet)
            if folders is not None:
                self.path_tables(name, descriptor, joliet, folders)

    def sector(self, number, count=1):
        self.f.seek(number * BLOCK)
        return self.f.read(count * BLOCK)

    def folders(self, tree, descriptor, joliet):
        """Every folder of the tree by its path ("" the root, "data",
        "data/content"): its first sector. None when the tree loops."""
        root = descriptor[156:190]
        found, queue, seen = {}, [("", int.from_bytes(root[2:6], "little"), int.from_bytes(root[10:14], "little"))], set()
        while queue:
            path, start, length = queue.pop(0)
            shown = "\\" + path.replace("/", "\\")
            if start in seen:
                self.faults.append(f"its {tree} folder {shown} is a folder that contains it (sector {start}): "
                                   "reading the disc would never end")
                return None
            seen.add(start)
            found[path] = start
            if start * BLOCK + length > self.size or length > MOST_BYTES:
                self.faults.append(f"its {tree} folder {shown} ends past the image's end: the image is cut short "
                                   "or damaged")
                continue
            records = self.sector(start, (length + BLOCK - 1) // BLOCK)
            for name, record in self.records(records, tree, shown, joliet):
                flags, child = record[25], (path + "/" + name).lstrip("/")
                if record[1]:
                    self.faults.append(f"its {tree} record of \\{child.replace('/', chr(92))} has an extended "
                                       "attribute record: Windows and other readers take its bytes from other places")
                if record[26] or record[27]:
                    self.faults.append(f"its {tree} record of \\{child.replace('/', chr(92))} is interleaved: "
                                       "Windows and other readers take its bytes from other places")
                if flags & 2:
                    queue.append((child, int.from_bytes(record[2:6], "little"), int.from_bytes(record[10:14], "little")))
        return found

    def records(self, data, tree, shown, joliet):
        """The (name, record) of a folder's records after "." and "..";
        one that crosses a sector's end is a fault, as Windows reports the
        folder corrupt."""
        for first in range(0, len(data), BLOCK):
            at = first
            while at < first + BLOCK and data[at]:
                length = data[at]
                if length < 34 or at + length > first + BLOCK or 33 + data[at + 32] > length:
                    self.faults.append(f"its {tree} folder {shown} holds a record that crosses the end of a sector "
                                       "or is too short: Windows reports the folder as damaged")
                    return
                record = data[at:at + length]
                identifier = bytes(record[33:33 + record[32]])
                if identifier not in (b"\0", b"\1"):
                    yield (identifier.decode("utf-16-be", "replace") if joliet else identifier.decode("ascii", "replace")), record
                at += length

    def path_tables(self, tree, descriptor, joliet, folders):
        """Windows finds folders through the path table: each of its tables
        must name every folder of the tree at the folder's own sector."""
        size = int.from_bytes(descriptor[132:136], "little")
        tables = [(int.from_bytes(descriptor[at:at + 4], order), order)
                  for at, order in ((140, "little"), (144, "little"), (148, "big"), (152, "big"))]
        for location, order in tables:
            if not location:
                continue
            which = f"its {tree} path table ({'L' if order == 'little' else 'M'}, sector {location})"
            if location * BLOCK + size > self.size or size > MOST_BYTES:
                self.faults.append(f"{which} lies past the image's end")
                continue
            data, at, paths, listed = self.sector(location, (size + BLOCK - 1) // BLOCK)[:size], 0, [], {}
            while at + 8 <= len(data) and data[at]:
                length, start = data[at], int.from_bytes(data[at + 2:at + 6], order)
                parent = int.from_bytes(data[at + 6:at + 8], order)
                name = bytes(data[at + 8:at + 8 + length])
                name = "" if name == b"\0" else name.decode("utf-16-be" if joliet else "ascii", "replace")
                if not paths:
                    path = ""
                elif 1 <= parent <= len(paths):
                    path = (paths[parent - 1] + "/" + name).lstrip("/")
                else:
                    self.faults.append(f"{which}: {name} names a parent folder that it does not hold")
                    break
                paths.append(path)
                listed[path] = start
                at += 8 + length + (length & 1)
            for path, start in sorted(listed.items()):
                shown = "\\" + path.replace("/", "\\")
                if path not in folders:
                    self.faults.append(f"{which} names a folder {shown} that the tree does not hold")
                elif folders[path] != start:
                    self.faults.append(f"{which} points {shown} at sector {start}, the tree at sector "
                                       f"{folders[path]}: Windows would show another folder's files there")
            self.faults += [f"{which} does not name the folder \\{path.replace('/', chr(92))}"
                            for path in sorted(set(folders) - set(listed))]
