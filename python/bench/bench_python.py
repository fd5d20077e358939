# SPDX-License-Identifier: MIT
"""The Python package's stream reads against `lscam stream`, side by side, on the simulator.

    python3 python/bench/bench_python.py [--build build] [--seconds 10] [--rounds 2]

CPU: each reader runs alone in its own process against the simulator's default camera
(SIMCAM_RATE, 40 MB/s unless set); its process CPU (all threads, the simulator's included) is
sampled from /proc over a window after a warm-up, and the rate it kept is reported beside it,
with the CPU per byte against lscam's for a reader that a loaded machine held back.
Readers: `lscam stream`, `for line in cam.stream()`, `cam.lines(1000)` in a loop. The rounds
alternate the readers so that a change of machine load hits all of them.

Memory: in a fresh process, the peak resident set (VmHWM, reset first through
/proc/self/clear_refs) that one `cam.lines(20000)` adds, against the size of its array.

--package DIR benchmarks the vantorpi package in DIR instead (e.g. an older version).
"""

from __future__ import annotations

import argparse
import os
import pathlib
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]

# The Python readers. Each prints "<bytes> <seconds>" of its steady state when interrupted.
READER = r"""
import sys, time
import vantorpi
how = sys.argv[1]
with vantorpi.open() as cam:
    cam.lines(10)
    total, start = 0, time.monotonic()
    try:
        if how == "stream":
            for line in cam.stream():
                total += line.nbytes
        else:
            while True:
                total += cam.lines(1000).nbytes
    except KeyboardInterrupt:
        pass
    print(total, time.monotonic() - start)
"""

MEMORY = r"""
import vantorpi
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key + ":"))
with vantorpi.open() as cam:
    cam.lines(1000)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    lines = cam.lines(20000)
    print(lines.nbytes, status("VmHWM") - before)
"""


def cpu_seconds(pid: int) -> float:
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(command: list, env: dict, warmup: float, seconds: float) -> tuple:
    """(CPU share of one core, bytes per second kept) of a reader over seconds after warmup."""
    child = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(warmup)
        if child.poll() is not None:
            raise SystemExit(f"{command[0]} ended early: {child.communicate()[1]}")
        cpu0, t0 = cpu_seconds(child.pid), time.monotonic()
        time.sleep(seconds)
        cpu1, t1 = cpu_seconds(child.pid), time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    share = (cpu1 - cpu0) / (t1 - t0)
    if command[0].endswith("lscam"):
        # "interrupted: N bytes (...) in S s, ..." on standard error.
        summary = err.strip().splitlines()[-1].split(":", 1)[1].split()
        rate = int(summary[0]) / float(summary[summary.index("in") + 1])
    else:
        total, elapsed = out.split()
        rate = int(total) / float(elapsed)
    return share, rate


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"), help="build tree (default: build/)")
    parser.add_argument("--seconds", type=float, default=10.0, help="measuring window per run (10)")
    parser.add_argument("--warmup", type=float, default=2.0, help="seconds before the window (2)")
    parser.add_argument("--rounds", type=int, default=2, help="runs of each reader (2)")
    parser.add_argument("--package", default=str(ROOT / "python"), help="folder holding vantorpi/")
    args = parser.parse_args()

    build = pathlib.Path(args.build).resolve()
    env = {k: v for k, v in os.environ.items() if not k.startswith("SIMCAM_")}
    env.update(
        LD_LIBRARY_PATH=str(build / "sim"),
        VANTORPI_LIBRARY=str(build / "libvantorpi.so.1"),
        PYTHONPATH=str(pathlib.Path(args.package).resolve()),
        PYTHONDONTWRITEBYTECODE="1",
    )
    if "SIMCAM_RATE" in os.environ:
        env["SIMCAM_RATE"] = os.environ["SIMCAM_RATE"]
    readers = {
        "lscam stream": [str(build / "tools" / "lscam"), "stream"],
        "stream()": [sys.executable, "-c", READER, "stream"],
        "lines(1000)": [sys.executable, "-c", READER, "lines"],
    }
    results: dict = {name: [] for name in readers}
    for _ in range(args.rounds):
        for name, command in readers.items():
            results[name].append(measure(command, env, args.warmup, args.seconds))

    def mean(values: list) -> float:
        return sum(values) / len(values)

    # A reader that the machine's load held below the camera's rate spent less CPU for fewer
    # bytes: the comparison per byte stays fair then.
    base_share = mean([share for share, _ in results["lscam stream"]])
    base_cost = mean([share / kept for share, kept in results["lscam stream"]])
    rate = env.get("SIMCAM_RATE", "40000000")
    print(f"process CPU at {rate} bytes/s, {args.rounds} x {args.seconds:g} s each:")
    print(f"  {'reader':13} {'CPU':>16}  {'x lscam':>7}  {'per byte':>8}  {'rate kept':>10}")
    for name, runs in results.items():
        share, kept = mean([r[0] for r in runs]), mean([r[1] for r in runs])
        per_byte = mean([s / k for s, k in runs]) / base_cost
        cost = f"{100 * share:5.1f} % of a core  {share / base_share:6.2f}x  {per_byte:7.2f}x"
        print(f"  {name:13} {cost}  {kept / 1e6:6.2f} MB/s")

    command = [sys.executable, "-c", MEMORY]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise SystemExit(done.stderr)
    size, peak = (int(v) for v in done.stdout.split())
    print(
        f"lines(20000): array {size / 2**20:.1f} MiB, peak resident set +{peak / 2**20:.1f} MiB "
        f"(array {'+' if peak >= size else '-'}{abs(peak - size) / 2**20:.1f} MiB)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
