"""The publisher's tool: checks a Tolvane medium's files and masters its CD
image (see cli.py). `console` is the one entry point, for tools/make_medium.py
and for the command that pip installs."""
import sys


def console():
    """Runs the tool; one line instead of a traceback when a module it needs
    is missing from this Python."""
    try:
        from .cli import main
    except ModuleNotFoundError as e:
        print(f"make_medium.py: error: this Python ({sys.executable}) lacks the module {e.name}: install Debian's "
              f"python3-pefile, python3-pycdlib and python3-cryptography (and run /usr/bin/python3), or "
              f"pip install ./tools", file=sys.stderr)
        return 1
    return main()
