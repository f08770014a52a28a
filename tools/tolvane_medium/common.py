"""What the parts of the publisher's tool share: the medium's fixed names
and sizes, and the list of what was found."""
import re

PROG = "make_medium.py"
VERSION = "1.0.0"  # as tools/pyproject.toml says
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
MEDIUM_RECORD_SIZE = 1024  # the room the build leaves (CMakeLists.txt)
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
