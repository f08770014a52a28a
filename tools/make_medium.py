#!/usr/bin/python3
"""Checks a Tolvane medium's files, then masters its CD image: run it as it
stands (tools/make_medium.py --help). The tool itself is the package
tolvane_medium beside this file, which `pip install ./tools` also installs
as the command make_medium."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tolvane_medium import console  # noqa: E402

if __name__ == "__main__":
    sys.exit(console())
