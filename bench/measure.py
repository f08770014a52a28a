#!/usr/bin/python3
"""Drives the benchmark runs; see bench/run.sh. Reads the Linux kernel's
accounting of the Wine process, which is exact where Wine's own process times
are not: processor time in nanoseconds from each thread's schedstat, peak
memory from status."""
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
from tolvane_medium import common, files, image  # noqa: E402  (the publisher's tool: the record of the medium's files)

bin_dir, prefix, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
drive_c = os.path.join(prefix, "drive_c")
INSTALLER_MS = 5000
PADDING = os.urandom(4 << 20)


def lay_out(name, program):
    """The sample medium; Tolvane.exe carries the record of its files, as the
    publisher's tool writes it, so that its run checks them as on a disc."""
    root = os.path.join(drive_c, "bench", name)
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "data"))
    # An installer of a real one's size: the stand-in with 4 MiB after its image.
    shutil.copy(os.path.join(bin_dir, "standin.exe"), os.path.join(root, "data", "install_flash_player.exe"))
    with open(os.path.join(root, "data", "install_flash_player.exe"), "ab") as f:
        f.write(PADDING)
    shutil.copy(os.path.join(bin_dir, "standin.exe"), os.path.join(root, "data", "menu.exe"))
    shutil.copy(os.path.join(bin_dir, "testctl_medium.dll"), os.path.join(root, "data", "Flash.ocx"))
    exe = OTHER if program == OTHER_NAME else os.path.join(bin_dir, program)
    if program.startswith("Tolvane"):
        data, findings = os.path.join(root, "data"), common.Findings()
        entries = files.walk(data, findings)
        record = image.medium_record(data, entries, files.find_required(data, entries, findings), findings)
        exe = image.write_record(exe, image.record_room(exe, findings), record, root)
        assert not findings.errors, findings.errors
    shutil.copy(exe, os.path.join(root, program))
    if program.startswith("Tolvane"):
        os.remove(exe)
    return root


def running(needle):
    """The first process whose command line holds `needle`, or None."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if needle in f.read():
                    return pid
        except OSError:
            pass
    return None


def find_pid(needle, deadline):
    while time.time() < deadline:
        pid = running(needle)
        if pid:
            return pid
        time.sleep(0.005)
    return None


def sample(pid):
    try:
        cpu = 0
        for task in os.listdir(f"/proc/{pid}/task"):  # every thread: Wine runs a few
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                cpu += int(f.read().split()[0]) / 1e9
        with open(f"/proc/{pid}/status") as f:
            hwm = next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
        return cpu, hwm
    except (OSError, StopIteration, IndexError, ValueError):
        return None


def settle():
    """Waits until no program of the run is left (the registration tool and
    the menu may outlive the launcher). The Wine server and its desktop stay
    up between runs, as Windows itself does."""
    deadline = time.time() + 30
    while time.time() < deadline and (running(b"\\bench\\") or running(b"regsvr32")):
        time.sleep(0.02)


def read_log(path):
    events = {}
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                stamp, _, text = line.strip().partition(" ")
                for key in ("install_flash_player.exe start", "install_flash_player.exe end", "menu.exe start"):
                    if text.startswith(key) and key not in events:
                        events[key] = float(stamp)
    except FileNotFoundError:
        pass
    return events


def one_run(name, program):
    root = lay_out(name, program)
    flash = os.path.join(drive_c, "windows", "system32", "Macromed", "Flash")
    os.makedirs(flash, exist_ok=True)
    shutil.copy(os.path.join(bin_dir, "testctl_installed.dll"), os.path.join(flash, "flash.ocx"))
    log = os.path.join(root, "run.log")
    env = dict(os.environ, TOLVANE_TEST_LOG=f"C:\\bench\\{name}\\run.log", STANDIN_INSTALLER_MS=str(INSTALLER_MS))
    windows_path = f"C:\\bench\\{name}\\{program}"
    start_ms = (time.time() * 1000) % 86_400_000
    proc = subprocess.Popen(["wine", windows_path], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pid = find_pid(windows_path.encode(), time.time() + 30)
    samples = []  # (log-clock ms, cpu s, peak KiB)
    while proc.poll() is None and pid:
        s = sample(pid)
        if s:
            samples.append(((time.time() * 1000) % 86_400_000, *s))
        time.sleep(0.02)
    settle()
    ev = read_log(log)
    i_start, i_end, menu = (ev.get(k) for k in
                            ("install_flash_player.exe start", "install_flash_player.exe end", "menu.exe start"))
    if None in (i_start, i_end, menu) or not samples:
        raise SystemExit(f"{name}: run incomplete, log: {ev}")
    waiting = [s for s in samples if i_start + 300 <= s[0] <= i_end]
    cpu_wait = waiting[-1][1] - waiting[0][1]
    wait_s = (waiting[-1][0] - waiting[0][0]) / 1000
    return {
        "cpu_wait_ms": cpu_wait * 1000,
        "cpu_share": 100 * cpu_wait / wait_s,
        "start_to_installer_ms": i_start - start_ms,
        "installer_end_to_menu_ms": menu - i_end,
        "peak_mib": max(s[2] for s in samples) / 1024,
        "cpu_total_ms": samples[-1][1] * 1000,
    }


# With BENCH_OTHER naming another build of Tolvane.exe, that build is run
# too, in the same turns, in place of the floor without a window.
OTHER, OTHER_NAME = os.environ.get("BENCH_OTHER", ""), "Tolvane-other.exe"
PROGRAMS = (("Tolvane.exe", "tolvane"), (OTHER_NAME, "other") if OTHER else ("min_launcher.exe", "floor"),
            ("min_launcher_window.exe", "floorwindow"))
results = {program: [] for program, _ in PROGRAMS}
for i in range(runs):
    for program, name in PROGRAMS:
        r = one_run(name, program)
        results[program].append(r)
        print(f"run {i + 1}/{runs} {program:<24} " + "  ".join(f"{k}={v:.1f}" for k, v in r.items()), flush=True)

med = {p: {k: statistics.median(r[k] for r in rs) for k in rs[0]} for p, rs in results.items()}
size = {p: os.path.getsize(OTHER if p == OTHER_NAME else os.path.join(bin_dir, p)) for p in results}
rows = [
    ("processor time while a 5 s installer ran", "cpu_wait_ms", "{:.2f} ms"),
    ("  as a share of the wait", "cpu_share", "{:.3f} %"),
    ("start to installer start", "start_to_installer_ms", "{:.0f} ms"),
    ("installer end to menu start", "installer_end_to_menu_ms", "{:.0f} ms"),
    ("processor time in all, start-up included", "cpu_total_ms", "{:.0f} ms"),
    ("peak memory (VmHWM, Wine's own share included)", "peak_mib", "{:.1f} MiB"),
]
print()
print(f"Medians of {runs} runs each, {time.strftime('%Y-%m-%d')}, {platform.machine()}, "
      f"{os.cpu_count()} cores, {subprocess.run(['wine', '--version'], capture_output=True, text=True).stdout.strip()}")
print(f"| measure | Tolvane.exe | {'the other build' if OTHER else 'floor'} | ratio | floor with a hidden window | ratio |")
print("|---|---|---|---|---|---|")


def ratio(a, b):
    return f"{a / b:.2f}" if b else "-"


for label, key, fmt in rows:
    a, b, c = (med[p][key] for p, _ in PROGRAMS)
    print(f"| {label} | {fmt.format(a)} | {fmt.format(b)} | {ratio(a, b)} | {fmt.format(c)} | {ratio(a, c)} |")
a, b, c = (size[p] / 1024 for p, _ in PROGRAMS)
print(f"| executable size | {a:.1f} KiB | {b:.1f} KiB | {ratio(a, b)} | {c:.1f} KiB | {ratio(a, c)} |")
