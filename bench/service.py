#!/usr/bin/env python3
"""The service phase measured: its latencies against cyclictest's, and its own cost.

  bench/service.py [--build build/linux] [--rounds 5] [--cap 10000]   (as root, idle machine)
  bench/service.py --cost-only [--pairs 5] [--counts 128,1024] [--user nobody]

Latency: one granted thread of the tool (`1 --service=1 --period=1000 --work=0 --json`, the
build's provider beside it, so the kernel grants SCHED_FIFO) and cyclictest from rt-tests
(`-q -t1 -p PRIO -i 1000 -D 1 -h CAP --laptop`, PRIO the real-time priority the tool's grant
had), in alternating order. Printed per round: each one's median, 99th percentile and maximum
wake-up latency in microseconds, and whether the tool's median and 99th percentile lie within
20 % or 20 us of cyclictest's.

Cost: pairs of `quorvane N --service=1` and `quorvane N`, in alternating order, as root (all
granted) and as --user (all refused: no system bus, no rights). Printed per count and user:
the medians of both wall times and of their difference, against the budget of 1 s + 100 ms
at 128 and 1 s + 250 ms at 1024.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from whole_runs import median, run  # noqa: E402

CYCLICTEST = "cyclictest"
# The phase's cost may be this much more than its own length, by count.
COST_BUDGET_SECONDS = {128: 0.1, 1024: 0.25}


def cyclictest_figures(text):
    """Median, 99th percentile and maximum from cyclictest's 1 us histogram."""
    buckets, overflows, maximum = [], 0, None
    for line in text.splitlines():
        if line.startswith("# Max Latencies:"):
            maximum = int(line.split(":")[1])
        elif line.startswith("# Histogram Overflows:"):
            overflows = int(line.split(":")[1])
        elif line and not line.startswith("#"):
            microseconds, count = line.split()[:2]
            buckets.append((int(microseconds), int(count)))
    total = sum(count for _, count in buckets) + overflows

    def percentile(share):
        seen = 0
        for microseconds, count in buckets:
            seen += count
            if seen >= share * total:
                return microseconds
        return None  # among the overflows: past the histogram's cap

    return percentile(0.5), percentile(0.99), maximum


def tool_figures(tool, layer):
    result = run([tool, "1", "--service=1", "--period=1000", "--work=0", "--json"], layer=layer)
    report = json.loads(result["output"])
    [group] = report["service"]["groups"]
    if group["by"] != "kernel":
        raise SystemExit(f"the tool's thread was not granted by the kernel: {group}")
    wake = group["wake_us"]
    return (wake["p50"], wake["p99"], wake["max"]), report["grants"][0]["realtime_priority_min"]


def close(tool, reference):
    return reference is not None and abs(tool - reference) <= max(20, 0.2 * reference)


def compare_latency(tool, layer, arguments):
    _, priority = tool_figures(tool, layer)
    command = [CYCLICTEST, "-q", "-t1", f"-p{priority}", "-i", "1000", "-D", "1", "-h",
               str(arguments.cap), "--laptop"]
    print(f"cyclictest at real-time priority {priority}: {' '.join(command)}", flush=True)
    print(f"{'round':>5} {'tool p50/p99/max us':>22} {'cyclictest p50/p99/max us':>27}  within",
          flush=True)
    for round_number in range(arguments.rounds):
        figures = {}
        order = ("tool", "cyclictest") if round_number % 2 == 0 else ("cyclictest", "tool")
        for name in order:
            if name == "tool":
                figures[name] = tool_figures(tool, layer)[0]
            else:
                done = subprocess.run(command, capture_output=True, text=True, timeout=60)
                if done.returncode != 0:
                    raise SystemExit(f"cyclictest failed: {done.stderr}")
                figures[name] = cyclictest_figures(done.stdout)
        ours, theirs = figures["tool"], figures["cyclictest"]
        within = close(ours[0], theirs[0]) and close(ours[1], theirs[1])
        print(f"{round_number:>5} {'/'.join(map(str, ours)):>22} "
              f"{'/'.join(map(str, theirs)):>27}  {'yes' if within else 'NO'}", flush=True)


def compare_cost(tool, layer, arguments):
    print(f"{'N':>6} {'user':>8} {'plain s':>8} {'service s':>9} {'more s':>7} {'budget s':>8}",
          flush=True)
    for user in (None, arguments.user):
        for count in [int(value) for value in arguments.counts.split(",")]:
            plain, served, more = [], [], []
            for pair in range(arguments.pairs):
                commands = [("plain", [tool, str(count)]),
                            ("service", [tool, str(count), "--service=1"])]
                walls = {}
                for name, command in commands if pair % 2 == 0 else commands[::-1]:
                    walls[name] = run(command, "threads failed to set MMCSS priority: ", layer,
                                      user)["wall"]
                plain.append(walls["plain"])
                served.append(walls["service"])
                more.append(walls["service"] - walls["plain"])
            budget = 1 + COST_BUDGET_SECONDS.get(count, 0.25)
            print(f"{count:>6} {user or 'root':>8} {median(plain):>8.3f} {median(served):>9.3f} "
                  f"{median(more):>7.3f} {budget:>8.2f}"
                  f"{'' if median(more) <= budget else '  over'}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..",
                                                        "build", "linux"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--cap", type=int, default=10000, help="cyclictest's histogram, in us")
    parser.add_argument("--pairs", type=int, default=5)
    parser.add_argument("--counts", default="128,1024")
    parser.add_argument("--user", default="nobody", help="the unprivileged user of the cost")
    parser.add_argument("--cost-only", action="store_true", help="leave out cyclictest")
    arguments = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: the tool's thread and cyclictest take SCHED_FIFO")
    if not arguments.cost_only and shutil.which(CYCLICTEST) is None:
        raise SystemExit("cyclictest is missing: apt-get install rt-tests")
    # One folder any user can read: the tool, the build's layer and provider.
    folder = tempfile.mkdtemp(prefix="quorvane-bench-")
    os.chmod(folder, 0o755)
    try:
        tool = shutil.copy(os.path.join(arguments.build, "win", "quorvane"), folder)
        layer = os.path.join(folder, "layer")
        shutil.copytree(os.path.join(arguments.build, "lib", "quorvane"), layer)
        shutil.copy(os.path.join(arguments.build, "win", "libavrt.so"),
                    os.path.join(folder, "libavrt.so"))
        if not arguments.cost_only:
            compare_latency(tool, layer, arguments)
        compare_cost(tool, layer, arguments)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
