#!/usr/bin/python3
"""Start-up latency and idle cost of tray executables, each run in a fresh private desktop
session (tests/support/desktop).

For every run: spawn -> StatusNotifierItem registered, spawn -> first complete menu layout
readable over dbusmenu (the first GetLayout equal to the layout the menu then settles on),
and, at IDLE seconds after the spawn, VmRSS, private memory (USS), threads, CPU time used so
far (utime+stime), CPU time and voluntary context switches (how often a thread went to sleep
and was woken) between the moment the menu had settled (unchanged for 0.5 s, after which
polling stops) and IDLE seconds.

Runs of the executables alternate, after one discarded warm-up run each, so that drift on the
machine spreads evenly. The applications see no token and a service on a loopback port that
refuses connections (an offline, signed-out start) unless --plist says otherwise.

Usage: startup.py [--runs N] [--idle S] [--json FILE] EXECUTABLE [EXECUTABLE ...]
Example: bench/startup.py build/src/zandorin-auth build/bench/bare-tray
"""

import argparse
import json
import os
import plistlib
import platform
import socket
import statistics
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support", "desktop"))
from session import DesktopSession  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")
PFN_MASK = (1 << 55) - 1
POLL_S = 0.005  # polling for the item, then GetLayout while the menu fills; ends once settled
SETTLE_S = 0.5


def cpu_ms(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of stat(5); fields[0] is field 3.
    return (int(fields[11]) + int(fields[12])) * 1000.0 / CLOCK_TICKS


def threads_cpu_ms(pid):
    """CPU time of the live threads in ns precision (schedstat), for short windows where
    stat's clock ticks would round everything to 0 or 10 ms."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass  # the thread ended meanwhile
    return total / 1e6


def frames(pid):
    """The physical page frames that hold pid's resident pages; empty unless we may read them
    (root)."""
    found = set()
    with open(f"/proc/{pid}/maps") as maps, open(f"/proc/{pid}/pagemap", "rb") as pagemap:
        for line in maps:
            start, end = (int(x, 16) for x in line.split()[0].split("-"))
            try:
                pagemap.seek(start // PAGE * 8)
                entries = pagemap.read((end - start) // PAGE * 8)
            except (OSError, OverflowError):
                continue  # [vsyscall]
            for (entry,) in struct.iter_unpack("<Q", entries):
                if entry >> 63 and entry & PFN_MASK:  # present, and its frame number shown
                    found.add(entry & PFN_MASK)
    return found


def descendants(pid):
    children = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (FileNotFoundError, ProcessLookupError):
            continue  # ended meanwhile
        children.setdefault(ppid, []).append(int(entry))
    out, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            out.append(child)
            todo.append(child)
    return out


def kernel_uss_kib(pid):
    """The kernel's count of private pages: it depends on what else runs on the machine."""
    with open(f"/proc/{pid}/smaps_rollup") as f:
        return sum(int(line.split()[1]) for line in f
                   if line.startswith(("Private_Clean:", "Private_Dirty:")))


def uss_kib(pid):
    """Private memory (unique set size): the pages of pid that no other process of its desktop
    session maps, nor this script. Other programs on the machine that happen to map the same
    libraries are left out, or the figure would depend on them (a second Qt application
    makes most of Qt look shared). Without root, which alone reads frame numbers, the kernel's
    own count, which does depend on them."""
    own = frames(pid)
    if not own:
        return kernel_uss_kib(pid)
    for other in [os.getpid()] + [p for p in descendants(os.getpid()) if p != pid]:
        try:
            own -= frames(other)
        except (FileNotFoundError, ProcessLookupError, PermissionError):
            pass  # ended meanwhile
    return len(own) * PAGE // 1024


def status_field(pid, name, task=None):
    path = f"/proc/{pid}/task/{task}/status" if task else f"/proc/{pid}/status"
    with open(path) as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return 0


def voluntary_switches(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            total += status_field(pid, "voluntary_ctxt_switches", task)
        except FileNotFoundError:
            pass  # the thread ended meanwhile
    return total


def closed_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def offline_plist(directory):
    port = closed_port()
    path = os.path.join(directory, "Info.bench.plist")
    with open(path, "wb") as f:
        plistlib.dump({"KEYCLOAK_ISSUER": f"http://127.0.0.1:{port}/realms/zandorin",
                       "MCP_SERVER_URL": f"http://127.0.0.1:{port}"}, f)
    return path


def one_run(executable, idle_s, plist):
    with DesktopSession() as session:
        env = {"ZANDORIN_AUTH_INFO_PLIST": plist or offline_plist(session.root)}
        app = session.start_app(executable, env=env)
        item = app.wait_for_item(timeout=idle_s, interval=POLL_S)
        seen = []  # (time, layout) for every change
        deadline = app.started_at + idle_s
        while time.monotonic() < deadline:
            try:
                layout = app.menu_layout()
            except Exception:  # noqa: BLE001 - not exported yet
                layout = None
            now = time.monotonic()
            if not seen or layout != seen[-1][1]:
                seen.append((now, layout))
            elif layout and now - seen[-1][0] >= SETTLE_S:
                break
            time.sleep(POLL_S)
        if not seen or not seen[-1][1]:
            raise RuntimeError(f"{executable}: no menu within {idle_s} s")
        settled = seen[-1][1]
        complete_at = next(t for t, layout in seen if layout == settled)
        idle_from = time.monotonic()
        cpu_idle_from = threads_cpu_ms(app.pid)
        switches_idle_from = voluntary_switches(app.pid)
        time.sleep(max(0.0, deadline - time.monotonic()))
        result = {
            "registered_ms": (item.registered_at - app.started_at) * 1000,
            "complete_ms": (complete_at - app.started_at) * 1000,
            "rss_mib": status_field(app.pid, "VmRSS") / 1024,
            "uss_mib": uss_kib(app.pid) / 1024,
            "kernel_uss_mib": kernel_uss_kib(app.pid) / 1024,
            "threads": status_field(app.pid, "Threads"),
            "cpu_total_ms": cpu_ms(app.pid),
            "cpu_idle_ms": threads_cpu_ms(app.pid) - cpu_idle_from,
            "wakeups_per_s": (voluntary_switches(app.pid) - switches_idle_from)
            / max(1e-3, deadline - idle_from),
            "menu_entries": len(settled),
        }
        if app.poll() is not None:
            raise RuntimeError(f"{executable} exited with status {app.poll()} while idle")
        return result


ROWS = [
    ("spawn → tray item registered (ms)", "registered_ms", "{:.0f}"),
    ("spawn → complete menu over dbusmenu (ms)", "complete_ms", "{:.0f}"),
    ("RSS at idle end (MiB)", "rss_mib", "{:.1f}"),
    ("USS at idle end, pages no other process of the session maps (MiB)", "uss_mib", "{:.1f}"),
    ("USS at idle end, the kernel's count (MiB)", "kernel_uss_mib", "{:.1f}"),
    ("CPU from spawn to idle end (ms)", "cpu_total_ms", "{:.0f}"),
    ("CPU while idle (ms)", "cpu_idle_ms", "{:.2f}"),
    ("wakeups while idle (voluntary switches/s)", "wakeups_per_s", "{:.1f}"),
    ("threads", "threads", "{:.0f}"),
    ("menu entries", "menu_entries", "{:.0f}"),
]


def cell(values, fmt):
    med = statistics.median(values)
    lo, hi = min(values), max(values)
    if lo == hi:
        return fmt.format(med)
    return f"{fmt.format(med)} ({fmt.format(lo)}–{fmt.format(hi)})"


def table(results, runs, idle_s):
    names = list(results)
    lines = [f"Median (min–max) over {runs} runs; idle end = {idle_s:.0f} s after spawn; "
             f"{os.cpu_count()} cores, Python {platform.python_version()}.", "",
             "| metric | " + " | ".join(names) + " |",
             "|---|" + "---|" * len(names)]
    for title, key, fmt in ROWS:
        lines.append(f"| {title} | "
                     + " | ".join(cell([r[key] for r in results[n]], fmt) for n in names)
                     + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("executables", nargs="+")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--idle", type=float, default=10.0, help="seconds after spawn")
    parser.add_argument("--plist", help="Info.plist for the app (default: offline loopback)")
    parser.add_argument("--json", help="also write the raw runs to this file")
    args = parser.parse_args()

    names = {}
    for path in args.executables:
        if not os.access(path, os.X_OK):
            parser.error(f"not an executable: {path}")
        names[os.path.basename(path)] = os.path.abspath(path)
    results = {name: [] for name in names}
    for name, path in names.items():
        one_run(path, args.idle, args.plist)  # warm-up: page cache, font cache
    for i in range(args.runs):
        for name, path in names.items():
            results[name].append(one_run(path, args.idle, args.plist))
            print(f"run {i + 1}/{args.runs} {name}: "
                  f"{results[name][-1]['complete_ms']:.0f} ms to menu", file=sys.stderr)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    print(table(results, args.runs, args.idle))


if __name__ == "__main__":
    main()
