#!/usr/bin/python3
"""Drives the benchmark runs; see bench/run.sh. Reads the Linux kernel's
accounting of the program's Wine processes (every instance of it: from
Vista on Tolvane.exe runs two), which is exact where Wine's own process
times are not: processor time in nanoseconds from each thread's schedstat,
peak memory from status."""
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
from tolvane_medium import common, files, image  # noqa: E402  (the publisher's tool: the record of the medium's files)

# Where the build's programs are, and the prefix's drive C: set by main(),
# or by bench/field.py.
bin_dir, drive_c = "", ""
INSTALLER_MS = 5000
PADDING = os.urandom(4 << 20)


def lay_out(name, program, exe):
    """The sample medium at C:\\bench\\<name>, with `exe` at its root as
    `program`. A build of Tolvane.exe carries the record of its files, as the
    publisher's tool writes it, so that its run checks them as on a disc;
    any other program is copied as it is."""
    root = os.path.join(drive_c, "bench", name)
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "data"))
    # An installer of a real one's size: the stand-in with 4 MiB after its image.
    shutil.copy(os.path.join(bin_dir, "standin.exe"), os.path.join(root, "data", "install_flash_player.exe"))
    with open(os.path.join(root, "data", "install_flash_player.exe"), "ab") as f:
        f.write(PADDING)
    shutil.copy(os.path.join(bin_dir, "standin.exe"), os.path.join(root, "data", "menu.exe"))
    shutil.copy(os.path.join(bin_dir, "testctl_medium.dll"), os.path.join(root, "data", "Flash.ocx"))
    room = image.record_room(exe, common.Findings())  # None: no build of Tolvane.exe
    if room is not None:
        data, findings = os.path.join(root, "data"), common.Findings()
        entries = files.walk(data, findings)
        record = image.medium_record(data, entries, files.find_required(data, entries, findings), findings)
        recorded = image.write_record(exe, room, record, root)
        assert not findings.errors, findings.errors
        shutil.move(recorded, os.path.join(root, program))
    else:
        shutil.copy(exe, os.path.join(root, program))
    return root


def processes(needle):
    """Every process whose command line holds `needle`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if needle in f.read():
                    found.append(pid)
        except OSError:
            pass
    return found


def running(needle):
    return next(iter(processes(needle)), None)


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


def one_run(name, program, exe):
    root = lay_out(name, program, exe)
    flash = os.path.join(drive_c, "windows", "system32", "Macromed", "Flash")
    os.makedirs(flash, exist_ok=True)
    shutil.copy(os.path.join(bin_dir, "testctl_installed.dll"), os.path.join(flash, "flash.ocx"))
    log = os.path.join(root, "run.log")
    env = dict(os.environ, TOLVANE_TEST_LOG=f"C:\\bench\\{name}\\run.log", STANDIN_INSTALLER_MS=str(INSTALLER_MS))
    windows_path = f"C:\\bench\\{name}\\{program}"
    start_ms = (time.time() * 1000) % 86_400_000
    proc = subprocess.Popen(["wine", windows_path], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Each instance's latest processor time and its peak memory, summed:
    # an instance that has ended counts with its last sample.
    cpu, peak, samples = {}, {}, []  # samples: (log-clock ms, cpu s, peak KiB)
    deadline = time.time() + 600
    # One look through /proc a turn: the instances found both sample and
    # say whether the program still runs.
    while time.time() < deadline:
        pids = processes(windows_path.encode())
        if proc.poll() is not None and not pids:
            break
        for pid in pids:
            s = sample(pid)
            if s:
                cpu[pid], peak[pid] = s[0], max(s[1], peak.get(pid, 0))
        if cpu:
            samples.append(((time.time() * 1000) % 86_400_000, sum(cpu.values()), sum(peak.values())))
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


def peer_exe():
    """The peer, as bench/run.sh builds it."""
    return os.path.join(os.path.dirname(bin_dir), "bench", "peer.exe")


def ratio(a, b):
    return f"{a / b:.2f}" if b else "-"


def main():
    global bin_dir, drive_c
    bin_dir, drive_c, runs = sys.argv[1], os.path.join(sys.argv[2], "drive_c"), int(sys.argv[3])
    # The peer (bench/peer.nsi, built by run.sh) runs in the same turns. With
    # BENCH_OTHER naming another program (another build of Tolvane.exe, or
    # any), it is run too, in place of the floor without a window.
    other = os.environ.get("BENCH_OTHER", "")
    programs = (("Tolvane.exe", "tolvane"), ("Other.exe", "other") if other else ("min_launcher.exe", "floor"),
                ("min_launcher_window.exe", "floorwindow"), ("Peer.exe", "peer"))
    exes = {"Other.exe": other, "Peer.exe": peer_exe()}
    results = {program: [] for program, _ in programs}
    for i in range(runs):
        for program, name in programs:
            r = one_run(name, program, exes.get(program) or os.path.join(bin_dir, program))
            results[program].append(r)
            print(f"run {i + 1}/{runs} {program:<24} " + "  ".join(f"{k}={v:.1f}" for k, v in r.items()), flush=True)

    med = {p: {k: statistics.median(r[k] for r in rs) for k in rs[0]} for p, rs in results.items()}
    size = {p: os.path.getsize(exes.get(p) or os.path.join(bin_dir, p)) for p in results}
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
    print(f"| measure | Tolvane.exe | {'the other program' if other else 'floor'} | ratio | floor with a hidden window | "
          "ratio | peer (NSIS) | ratio |")
    print("|---|---|---|---|---|---|---|---|")
    for label, key, fmt in rows:
        a, b, c, d = (med[p][key] for p, _ in programs)
        print(f"| {label} | {fmt.format(a)} | {fmt.format(b)} | {ratio(a, b)} | {fmt.format(c)} | {ratio(a, c)} | "
              f"{fmt.format(d)} | {ratio(a, d)} |")
    a, b, c, d = (size[p] / 1024 for p, _ in programs)
    print(f"| executable size | {a:.1f} KiB | {b:.1f} KiB | {ratio(a, b)} | {c:.1f} KiB | {ratio(a, c)} | {d:.1f} KiB | "
          f"{ratio(a, d)} |")
    tolvane, peer = med["Tolvane.exe"], med["Peer.exe"]
    print(f"vs peer: start to installer {ratio(tolvane['start_to_installer_ms'], peer['start_to_installer_ms'])}, "
          f"installer end to menu {ratio(tolvane['installer_end_to_menu_ms'], peer['installer_end_to_menu_ms'])}, "
          f"processor time {ratio(tolvane['cpu_total_ms'], peer['cpu_total_ms'])}")


if __name__ == "__main__":
    main()
