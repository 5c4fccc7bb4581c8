#!/usr/bin/env python3
"""Footprint of the watchdog beside two references watching the same file.

Usage: footprint.py BUILD_DIR   (footprint.sh builds and calls it)

Subjects: BUILD_DIR/floor (stat and sleep 40 s in C), BUILD_DIR/watchdog, and
monit with a 40 s cycle and a timestamp rule. Prints a Markdown table.
The recovery measurement runs a second watchdog, with its real kill by name
and BUILD_DIR/standin/gorsebright.exe, in private namespaces (tests/confined.sh):
it meets neither the first watchdog's guard nor anybody's gorsebright.exe.
"""

import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PASS_S = 40
IDLE_PASSES = 3
TRACED_PASSES = 2
STARTS = 5

build = os.path.abspath(sys.argv[1])
WATCHDOG = os.path.join(build, "watchdog")
CONFINED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "confined.sh")
FLOOR = os.path.join(build, "floor")
STANDIN_DIR = os.path.join(build, "standin")
FIRST_VERDICT = "Первый запуск, ждем 40 сек\n".encode("cp1251")
HUNG = "Зависла или не запущена\n".encode("cp1251")
STARTED = "Запускаем...ok\n".encode("cp1251")

work = tempfile.mkdtemp(prefix="footprint.")
heartbeat = os.path.join(work, "is_run.txt")


def private_tmp():
    # The watchdog's guard keys live in TMPDIR: one each keeps them apart.
    return tempfile.mkdtemp(dir=work, prefix="tmp.")


def environment(**extra):
    env = dict(os.environ, PATH=STANDIN_DIR + ":/usr/bin:/bin")
    env.pop("QT_MESSAGE_PATTERN", None)
    env.update(extra)
    return env


def monit_command():
    directory = tempfile.mkdtemp(dir=work, prefix="monit.")
    rc = os.path.join(directory, "monitrc")
    with open(rc, "w") as f:
        f.write(
            f"set daemon {PASS_S}\n"
            f"set logfile {directory}/monit.log\n"
            f"set pidfile {directory}/monit.pid\n"
            f"set idfile {directory}/monit.id\n"
            f"set statefile {directory}/monit.state\n"
            f"check file heartbeat with path {heartbeat}\n"
            f"    if timestamp > {2 * PASS_S} seconds then alert\n"
        )
    os.chmod(rc, 0o600)
    return ["monit", "-I", "-c", rc]


SUBJECTS = {
    "C floor": lambda: ([FLOOR], b"first check", environment()),
    "watchdog": lambda: ([WATCHDOG], FIRST_VERDICT, environment(TMPDIR=private_tmp())),
    "monit": lambda: (monit_command(), None, environment()),
}


def start(name):
    command, _, env = SUBJECTS[name]()
    return subprocess.Popen(command, cwd=work, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)


def read_until(process, marker):
    seen = b""
    while marker not in seen:
        chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            raise RuntimeError(f"output ended before {marker!r}")
        seen += chunk


def stop(process):
    process.kill()
    process.wait()


def first_check_ms(name):
    """Start to first verdict on stdout, no tracer: median of several starts."""
    times = []
    for _ in range(STARTS):
        command, marker, env = SUBJECTS[name]()
        if marker is None:
            return None
        began = time.perf_counter()
        process = subprocess.Popen(command, cwd=work, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        read_until(process, marker)
        times.append((time.perf_counter() - began) * 1000)
        stop(process)
    return statistics.median(times)


def first_stat_ms(name):
    """Start to the first look at the heartbeat file, under strace."""
    times = []
    for _ in range(3):
        command, _, env = SUBJECTS[name]()
        trace = os.path.join(work, "first.trace")
        process = subprocess.Popen(
            ["strace", "-f", "-ttt", "-o", trace,
             "-e", "trace=execve,stat,lstat,newfstatat,statx,access,openat"] + command,
            cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(2)
        with open(trace) as f:
            lines = f.readlines()
        for pid in {int(line.split()[0]) for line in lines if line.strip()}:
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
        stop(process)
        began = seen = None
        for line in lines:
            stamp = float(line.split()[1])
            if began is None and "execve(" in line:
                began = stamp
            elif began is not None and "is_run.txt" in line:
                seen = stamp
                break
        if began is not None and seen is not None:
            times.append((seen - began) * 1000)
    return statistics.median(times) if times else None


def sample(pid):
    tasks = os.listdir(f"/proc/{pid}/task")
    cpu_ns = switches = 0
    for task in tasks:
        with open(f"/proc/{pid}/task/{task}/schedstat") as f:
            cpu_ns += int(f.read().split()[0])
        with open(f"/proc/{pid}/task/{task}/status") as f:
            switches += int(re.search(r"voluntary_ctxt_switches:\s+(\d+)", f.read()).group(1))
    memory = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("Rss", "Pss", "Private_Dirty"):
                memory[key] = int(rest.split()[0])
    return {"cpu_ns": cpu_ns, "switches": switches, "threads": len(tasks), **memory}


def syscalls(pid, seconds):
    out = os.path.join(work, f"strace.{pid}")
    subprocess.run(["timeout", "-s", "INT", str(seconds), "strace", "-c", "-f", "-p",
                    str(pid), "-o", out], check=False, stderr=subprocess.DEVNULL)
    with open(out) as f:
        for line in f:
            tokens = line.split()
            if tokens and tokens[-1] == "total":
                return int(tokens[3])
    return 0


def recovery_ms(results):
    """Hung verdict to "ok" on a real second pass with no Windows tools."""
    directory = tempfile.mkdtemp(dir=work, prefix="recovery.")
    process = subprocess.Popen([CONFINED, WATCHDOG], cwd=directory, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL,
                               env=environment(TMPDIR=private_tmp()))
    seen = b""
    hung_at = None
    while True:
        chunk = os.read(process.stdout.fileno(), 4096)
        now = time.perf_counter()
        if not chunk:
            break
        seen += chunk
        if hung_at is None and HUNG in seen:
            hung_at = now
        if STARTED in seen:
            results["recovery"] = (now - hung_at) * 1000
            break
    # The relaunched stand-in ends with the namespaces.
    stop(process)


def main():
    with open(heartbeat, "w"):
        pass
    stop_refresh = threading.Event()

    def refresh():
        while not stop_refresh.wait(10):
            os.utime(heartbeat)

    threading.Thread(target=refresh, daemon=True).start()

    rows = {name: {} for name in SUBJECTS}
    print("timing start-up ...", file=sys.stderr)
    for name in SUBJECTS:
        rows[name]["first"] = first_check_ms(name)
        rows[name]["first_traced"] = first_stat_ms(name)

    print(f"idle: {IDLE_PASSES} passes, then {TRACED_PASSES} under strace, "
          "and one recovery beside them ...", file=sys.stderr)
    extra = {}
    recovery = threading.Thread(target=recovery_ms, args=(extra,))
    recovery.start()
    started = time.monotonic()
    processes = {name: start(name) for name in SUBJECTS}
    for name, process in processes.items():
        marker = SUBJECTS[name]()[1]
        if marker:
            read_until(process, marker)

    # Windows from 20 s after a pass hold whole passes only.
    def wait_until(offset):
        time.sleep(max(0.0, started + offset - time.monotonic()))

    wait_until(PASS_S / 2)
    before = {name: sample(p.pid) for name, p in processes.items()}
    wait_until(PASS_S / 2 + IDLE_PASSES * PASS_S)
    after = {name: sample(p.pid) for name, p in processes.items()}
    for name in SUBJECTS:
        b, a = before[name], after[name]
        rows[name].update(
            rss=a["Rss"], pss=a["Pss"], dirty=a["Private_Dirty"], threads=a["threads"],
            cpu=(a["cpu_ns"] - b["cpu_ns"]) / IDLE_PASSES / 1e6,
            switches=(a["switches"] - b["switches"]) / IDLE_PASSES)

    wait_until(PASS_S / 2 + (IDLE_PASSES + 1) * PASS_S)
    counts = {}
    tracers = [threading.Thread(
        target=lambda n=name, p=process: counts.__setitem__(n, syscalls(p.pid, TRACED_PASSES * PASS_S)))
        for name, process in processes.items()]
    for tracer in tracers:
        tracer.start()
    for tracer in tracers:
        tracer.join()
    for name in SUBJECTS:
        rows[name]["syscalls"] = counts[name] / TRACED_PASSES

    recovery.join()
    for process in processes.values():
        stop(process)
    stop_refresh.set()

    def show(value, unit="", digits=1):
        return "n/a" if value is None else f"{value:.{digits}f}{unit}"

    names = list(SUBJECTS)
    print("| per subject | " + " | ".join(names) + " |")
    print("|---|" + "---|" * len(names))
    lines = [
        ("resident memory (RSS)", lambda r: show(r["rss"] / 1024, " MB")),
        ("proportional memory (PSS)", lambda r: show(r["pss"] / 1024, " MB")),
        ("private dirty memory", lambda r: f"{r['dirty']} kB"),
        ("threads", lambda r: str(r["threads"])),
        ("CPU time per idle pass", lambda r: show(r["cpu"], " ms", 3)),
        ("voluntary context switches per pass", lambda r: show(r["switches"], "", 1)),
        ("system calls per idle pass (strace -c)", lambda r: show(r["syscalls"], "", 1)),
        ("start to first verdict on stdout", lambda r: show(r["first"], " ms")),
        ("start to first look at the file (strace)", lambda r: show(r["first_traced"], " ms")),
    ]
    for label, cell in lines:
        print(f"| {label} | " + " | ".join(cell(rows[n]) for n in names) + " |")
    print(f"\nwatchdog, \"hung\" verdict to \"ok\" (three absent Windows tools, pkill, "
          f"relaunch): {show(extra.get('recovery'), ' ms')}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
