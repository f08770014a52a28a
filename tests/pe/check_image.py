#!/usr/bin/python3
"""Reads the built Tolvane.exe and fails when Windows XP could not start it,
or when its resources are not what the program ships with.

usage: check_image.py Tolvane.exe EXPORTS_DIR

EXPORTS_DIR holds <dll>.txt files: the names each DLL exports on Windows XP.
"""
import os
import sys
import xml.etree.ElementTree as ET

import pefile

XP = (5, 1)
# What the image may weigh, signed (platform/lean_runtime.cpp,
# platform/lean_strings.h and platform/text.h's joined keep it down).
MAX_SIZE_KIB = 263
RT_MANIFEST = 24
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
VERSION_STRINGS = {
    "ProductName": "prjTolvane",
    "FileVersion": "1.00",
    "ProductVersion": "1.00",
    "InternalName": "Tolvane",
    "OriginalFilename": "Tolvane.exe",
}

problems = []
checked = []


def check(ok, what):
    (checked if ok else problems).append(what)


def image_headers(pe, exe):
    size = os.path.getsize(exe) / 1024
    check(size <= MAX_SIZE_KIB, f"size {size:.1f} KiB is at most {MAX_SIZE_KIB} KiB")
    check(pe.FILE_HEADER.Machine == 0x14C, "machine is i386")
    check(pe.OPTIONAL_HEADER.Subsystem == 2, "subsystem is GUI (no console)")
    sub = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    osv = (pe.OPTIONAL_HEADER.MajorOperatingSystemVersion, pe.OPTIONAL_HEADER.MinorOperatingSystemVersion)
    check(sub <= XP, f"subsystem version {sub[0]}.{sub[1]} is at most 5.1")
    check(osv <= XP, f"operating system version {osv[0]}.{osv[1]} is at most 5.1")


def imports(pe, exports_dir):
    entries = list(getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])) + list(getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []))
    check(bool(entries), "imports something (kernel32 at least)")
    count = 0
    for entry in entries:
        dll = entry.dll.decode().lower()
        base = dll[:-4] if dll.endswith(".dll") else dll
        listing = os.path.join(exports_dir, base + ".txt")
        if not os.path.exists(listing):
            check(False, f"imports {dll}, which is not among the DLLs every Windows XP has")
            continue
        with open(listing, encoding="ascii") as f:
            exported = {line.strip() for line in f if line.strip()}
        for imp in entry.imports:
            count += 1
            if imp.name is None:
                check(False, f"imports {dll} ordinal {imp.ordinal}, which cannot be checked against Windows XP")
            else:
                name = imp.name.decode()
                check(name in exported, f"{dll}!{name} exists on Windows XP")
    check(count > 0, f"{count} imported functions, all on Windows XP")


def resources_of_type(pe, type_id):
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for t in directory.entries if directory else []:
        if t.id == type_id:
            for name in t.directory.entries:
                for lang in name.directory.entries:
                    data = lang.data.struct
                    yield name.id, pe.get_data(data.OffsetToData, data.Size)


def manifest(pe):
    found = list(resources_of_type(pe, RT_MANIFEST))
    check(len(found) == 1 and found[0][0] == 1, "one manifest, resource id 1 (the one Windows reads at start)")
    if not found:
        return
    root = ET.fromstring(found[0][1])
    levels = root.findall(f"{{{ASM_V3}}}trustInfo/{{{ASM_V3}}}security/{{{ASM_V3}}}requestedPrivileges/"
                          f"{{{ASM_V3}}}requestedExecutionLevel")
    check(len(levels) == 1, "requestedExecutionLevel inside trustInfo in the asm.v3 namespace")
    if levels:
        check(levels[0].get("level") == "asInvoker", "execution level asInvoker (only the repair asks for rights)")
        check(levels[0].get("uiAccess", "false") == "false", "no uiAccess")
    ids = {e.get("Id") for e in root.iter(f"{{{COMPAT}}}supportedOS")}
    for guid, name in SUPPORTED_OS.items():
        check(guid in ids, f"supportedOS {name}")


def icon(pe):
    groups = list(resources_of_type(pe, pefile.RESOURCE_TYPE["RT_GROUP_ICON"]))
    check(len(groups) == 1, "one icon group")
    if not groups:
        return
    data = groups[0][1]
    count = int.from_bytes(data[4:6], "little")
    images = set()
    for i in range(count):
        e = data[6 + 14 * i: 6 + 14 * (i + 1)]
        width = e[0] or 256
        bits = int.from_bytes(e[6:8], "little")
        images.add((width, bits))
    wanted = {(s, b) for s in (48, 32, 16) for b in (8, 32)}
    check(count == 6 and images == wanted, f"icon images {sorted(images)} are 48, 32, 16 px at 8 and 32 bpp")


def version(pe):
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    check(fixed is not None, "a version block")
    if fixed is None:
        return
    check((fixed.FileVersionMS, fixed.FileVersionLS) == (0x00010000, 0), "file version 1.0.0.0")
    check((fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x00010000, 0), "product version 1.0.0.0")
    tables, translations = {}, []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                tables[table.LangID.decode()] = {k.decode(): v.decode() for k, v in table.entries.items()}
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                translations.append(var.entry.get(b"Translation"))
    check(list(tables) == ["0C0A04B0"] or list(tables) == ["0c0a04b0"], "one string table, 0C0A04B0")
    strings = next(iter(tables.values()), {})
    check(strings == VERSION_STRINGS, f"version strings {strings}")
    translations = [t.decode() if isinstance(t, bytes) else t for t in translations]
    check(translations == ["0x0c0a 0x04b0"], f"translation {translations} is 0x0C0A, 1200")


def main():
    exe, exports_dir = sys.argv[1], sys.argv[2]
    pe = pefile.PE(exe)
    image_headers(pe, exe)
    imports(pe, exports_dir)
    manifest(pe)
    icon(pe)
    version(pe)
    for what in checked:
        if "exists on Windows XP" not in what:
            print("ok     ", what)
    for what in problems:
        print("FAILED ", what)
    print(f"{len(checked)} passed, {len(problems)} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
