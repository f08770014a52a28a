#!/usr/bin/python3
"""The field cases side by side: Tolvane.exe and the peer (bench/peer.nsi)
each run through what machines meet, on the bench's prefix, and what each
leaves in the control's folder is printed as one table. A tool, not a test;
see bench/field.sh.

usage: field.py BIN_DIR PREFIX
"""
import hashlib
import os
import shutil
import stat
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measure  # noqa: E402  (the bench's sample medium)

measure.bin_dir, prefix = sys.argv[1], sys.argv[2]
measure.drive_c = os.path.join(prefix, "drive_c")
FLASH = os.path.join(measure.drive_c, "windows", "system32", "Macromed", "Flash")
FLASH_WINDOWS = "C:\\windows\\system32\\Macromed\\Flash"
USERS = os.path.join(measure.bin_dir, "testctl_installed.dll")
# Wine hands Linux only an exit code's low byte: the codes the program
# documents, by theirs (docs/deploying.md).
CODES = {code & 0xFF: code for code in (0, 1, 87, 740, 1359, 1460, 1603, 1605, 1618, 1622, 3010)}


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def fresh_machine():
    """The user's own control in place, nothing of either program's."""
    subprocess.run(["wine", "reg", "delete", "HKLM\\SOFTWARE\\Tolvane", "/f"], capture_output=True)
    shutil.rmtree(FLASH, ignore_errors=True)
    os.makedirs(FLASH)
    shutil.copy(USERS, os.path.join(FLASH, "flash.ocx"))


def run(name, program, env=None, cut_after_installer=False):
    """One start as from the disc: Tolvane.exe with /quiet, so that no box
    waits for a person. Its exit code, or "cut off"."""
    root = os.path.join(measure.drive_c, "bench", name)
    windows_path = f"C:\\bench\\{name}\\{program}"
    args = ["wine", windows_path] + (["/quiet"] if program == "Tolvane.exe" else [])
    log = os.path.join(root, "run.log")
    env = dict(os.environ, TOLVANE_TEST_LOG=f"C:\\bench\\{name}\\run.log", STANDIN_INSTALLER_MS="3000", **(env or {}))
    proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if cut_after_installer:
        # The power goes a second after the installer wrote its control.
        deadline = time.time() + 60
        while time.time() < deadline and "install_flash_player.exe start" not in measure.read_log(log):
            time.sleep(0.05)
        time.sleep(1)
        subprocess.run(["wineserver", "-k"])
        proc.wait()
        subprocess.run(["wineserver", "-p"])
        return "cut off"
    code = proc.wait(timeout=300)
    measure.settle()
    return str(CODES.get(code, code))


def left(program, codes):
    """What the control's folder holds, as the person would want to know it."""
    users, disc = digest(USERS), digest(os.path.join(measure.bin_dir, "testctl_medium.dll"))
    where = [name for name in sorted(os.listdir(FLASH)) if digest(os.path.join(FLASH, name)) == users]
    control = os.path.join(FLASH, "flash.ocx")
    placed = ("the disc's control" if os.path.exists(control) and digest(control) == disc else
              "the user's control" if os.path.exists(control) and digest(control) == users else
              "another control" if os.path.exists(control) else "no control")
    read_only = os.path.exists(control) and not os.stat(control).st_mode & stat.S_IWUSR
    kept = f"the user's control kept as {', '.join(where)}" if where else "**the user's control lost**"
    return f"exit {' then '.join(codes)}: {placed} in place{' (read-only)' if read_only else ''}, {kept}"


def case_three_runs(name, program):
    return [run(name, program) for _ in range(3)]


def held_by(holder):
    """A case: the control held while the program runs, by the stand-in as
    holder.exe (a browser: loaded) or scanner.exe (a scanner: open, shared
    for reading only)."""
    def case(name, program):
        shutil.copy(os.path.join(measure.bin_dir, "standin.exe"), os.path.join(measure.drive_c, "bench", holder))
        holding = subprocess.Popen(["wine", f"C:\\bench\\{holder}", f"{FLASH_WINDOWS}\\flash.ocx"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(3)  # the page with the control is showing, the scan under way
        try:
            return [run(name, program)]
        finally:
            holding.kill()
            subprocess.run(["pkill", "-f", holder])
    return case


def case_cut(name, program):
    installers = os.path.join(measure.drive_c, "bench", "installers.ocx")
    with open(os.path.join(measure.bin_dir, "testctl_medium.dll"), "rb") as f, open(installers, "wb") as out:
        out.write(f.read() + b"the installer's own build")
    writes = {"STANDIN_INSTALLER_WRITES": f"{FLASH_WINDOWS}\\flash.ocx",
              "STANDIN_INSTALLER_COPIES": "C:\\bench\\installers.ocx"}
    return [run(name, program, writes, cut_after_installer=True), run(name, program)]


def case_read_only(name, program):
    os.chmod(os.path.join(measure.drive_c, "bench", name, "data", "Flash.ocx"), 0o444)
    return [run(name, program)]


CASES = [("the disc run three times", case_three_runs),
         ("a browser holds the control", held_by("holder.exe")),
         ("a virus scanner reads the control", held_by("scanner.exe")),
         ("cut off after the installer wrote its own control, then run again", case_cut),
         ("the disc's files read-only, as on a CD", case_read_only)]
PROGRAMS = [("Tolvane.exe", os.path.join(measure.bin_dir, "Tolvane.exe")), ("Peer.exe", measure.peer_exe())]

print("| case | Tolvane.exe (/quiet) | the NSIS script (bench/peer.nsi) |")
print("|---|---|---|")
for title, case in CASES:
    cells = []
    for program, exe in PROGRAMS:
        name = "field-" + program.split(".")[0].lower()
        measure.lay_out(name, program, exe)
        fresh_machine()
        cells.append(left(program, case(name, program)))
    print(f"| {title} | {cells[0]} | {cells[1]} |", flush=True)
