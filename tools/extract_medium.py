#!/usr/bin/python3
"""Copies a medium image's files out as Windows sees them: through their
Joliet names. For looking at a mastered image, and for running Tolvane.exe
from what is really on it (the demo and the tests put it on a CD-ROM drive).
"""
import argparse
import os
import shutil
import sys

import pycdlib

PROG = "extract_medium.py"


def extract(image, destination):
    """Writes every folder and file of the image's Joliet tree under destination."""
    iso = pycdlib.PyCdlib()
    iso.open(image)
    try:
        if not iso.has_joliet():
            raise ValueError(f"{image}: has no Joliet names; Windows would see only short ISO 9660 names")
        for folder, _, files in iso.walk(joliet_path="/"):
            target = os.path.join(destination, *folder.strip("/").split("/")) if folder != "/" else destination
            os.makedirs(target, exist_ok=True)
            for name in files:
                path = folder.rstrip("/") + "/" + name
                with open(os.path.join(target, name), "wb") as out:
                    iso.get_file_from_iso_fp(out, joliet_path=path)
    finally:
        iso.close()


def main(argv=None):
    parser = argparse.ArgumentParser(prog=PROG, description="Copies the files of a medium image out, by their Joliet "
                                                            "names, into a new or empty folder.")
    parser.add_argument("image", metavar="MEDIUM.iso")
    parser.add_argument("destination", metavar="FOLDER")
    args = parser.parse_args(argv)
    if not os.path.isfile(args.image):
        print(f"{PROG}: error: {args.image}: no such file", file=sys.stderr)
        return 2
    if os.path.exists(args.destination) and (not os.path.isdir(args.destination) or os.listdir(args.destination)):
        print(f"{PROG}: error: {args.destination}: not a new or empty folder", file=sys.stderr)
        return 2
    try:
        extract(args.image, args.destination)
    except (OSError, ValueError, pycdlib.pycdlibexception.PyCdlibException) as e:
        # Nothing half-copied stays behind: the folder is left as it was found.
        for entry in os.listdir(args.destination) if os.path.isdir(args.destination) else []:
            path = os.path.join(args.destination, entry)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
