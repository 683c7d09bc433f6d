#!/usr/bin/env python3
"""Whole runs of the tool against the plain reference program, paired in one run.

  bench/whole_runs.py [--build build/linux] [--pairs 5] [--counts 128,1024,16384]
  bench/whole_runs.py --path granted [--counts 128,1024,4096]          (as root)
  bench/whole_runs.py --path realtime-kit [--user nobody] [--counts 128] (as root)
  bench/whole_runs.py --explain [--avrt LIBRARY] [--user USER] [--counts 1024] [--pairs 9]

Each pair runs the tool (copied into a folder of its own with the build's layer) and the
reference (bench/quorvane_reference: the same chains on one plain thread per processor), in
alternating order, with standard input closed. Printed per count: medians over the pairs of
wall time, tool / reference, the tool's main-thread CPU after the barrier (as a share of its
wall time), system time, and peak resident memory.

--path says where the registrations go. refused (the default): no libavrt.so beside the tool,
every registration is refused. granted: the build's provider beside the tool, run as root, so
the kernel grants every one, and the reference runs SCHED_FIFO as the tool's workers do.
realtime-kit: the provider beside the tool, run as --user (default nobody) on a private
system bus with polkitd and rtkit-daemon of their own (the services of
linux_avrt/test/realtime_test.py, rtkit restarted before each tool run, as its burst limit
outlives its clients); it first times one registration through RealtimeKit
(bench/quorvane_registration_cost, 25 of them).

With --explain each pair is the tool with --explain against the plain tool instead: the
report's cost. --avrt puts a library beside the tool as libavrt.so (the provider, or the
refusing stand-in of bench/), --user runs both as that user (with no system bus, so the
provider's refusals are the kernel's and RealtimeKit's absence).
"""
import argparse
import os
import pwd
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# Where the tool's main thread waits: the barrier (futex), then the 1 ms poll.
FUTEX = "202"
SLEEP_CALLS = {"35", "230"}  # nanosleep, clock_nanosleep
SAMPLE_SECONDS = 0.01


def read(path):
    try:
        with open(path) as file:
            return file.read()
    except OSError:
        return ""


def main_thread_cpu(pid):
    """Seconds on a processor of the process's main thread; None once it is gone."""
    fields = read(f"/proc/{pid}/schedstat").split()
    return int(fields[0]) / 1e9 if fields else None


NO_BUS = "unix:path=/nonexistent/quorvane-bench-bus"
# The kernel's grant to a "Pro Audio" worker.
GRANTED_PRIORITY = "18"
# Real-time threads may use this much of each period of sched_rt_period_us (default 950000 of
# 1000000): a run whose real-time workers fill every processor idles for the rest.
RT_RUNTIME = "/proc/sys/kernel/sched_rt_runtime_us"


def run(command, expected_text=None, layer=None, user=None, bus=NO_BUS):
    """Runs command once (with the layer from folder `layer` when given, as `user` on system
    bus `bus` when given); returns wall, main-thread CPU after the barrier, system time, peak
    RSS in MiB and the output."""
    output = tempfile.TemporaryFile()
    environment = {"PATH": os.environ["PATH"]}
    if layer:
        environment["LD_LIBRARY_PATH"] = layer  # wins over the build's RUNPATH
    if user:
        environment["DBUS_SYSTEM_BUS_ADDRESS"] = bus
        account = pwd.getpwnam(user)
        command = ["setpriv", f"--reuid={account.pw_uid}", f"--regid={account.pw_gid}",
                   "--clear-groups", *command]
    start = time.monotonic()
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output,
                               stderr=subprocess.STDOUT, env=environment)
    ended = threading.Event()
    end = []

    def watch():
        # Waits without reaping, so the ended main thread's counters stay readable.
        os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT)
        end.append(time.monotonic())
        ended.set()

    threading.Thread(target=watch, daemon=True).start()
    # Main-thread CPU when last seen waiting before the poll: at the barrier, where it uses
    # none. Peak RSS from the process's own high-water mark: wait4's would count this script.
    at_barrier, polling, peak = None, False, 0
    while not ended.wait(SAMPLE_SECONDS):
        cpu = main_thread_cpu(process.pid)
        call = read(f"/proc/{process.pid}/syscall").split(" ", 1)[0]
        polling = polling or call in SLEEP_CALLS
        if call == FUTEX and not polling and cpu is not None:
            at_barrier = cpu
        for line in read(f"/proc/{process.pid}/status").splitlines():
            if line.startswith("VmHWM:"):
                peak = max(peak, int(line.split()[1]))
    total = main_thread_cpu(process.pid)
    _, status, usage = os.wait4(process.pid, 0)
    output.seek(0)
    text = output.read().decode(errors="replace")
    if os.waitstatus_to_exitcode(status) != 0 or (expected_text and expected_text not in text):
        raise SystemExit(f"{command} failed (status {status}):\n{text[-2000:]}")
    after_barrier = total - at_barrier if total is not None and at_barrier is not None else None
    return {"wall": end[0] - start, "after_barrier": after_barrier, "system": usage.ru_stime,
            "rss": peak / 1024, "output": text}


def median(values):
    values = [value for value in values if value is not None]
    return statistics.median(values) if values else float("nan")


def compare_explain(tool, arguments):
    """Pairs of the tool with --explain and the plain tool, in alternating order."""
    print(f"{'N':>6} {'plain s':>8} {'explain s':>9} {'ratio':>6}  ratios", flush=True)
    for count in [int(value) for value in arguments.counts.split(",")]:
        refused = f"threads failed to set MMCSS priority: {count}\n"
        plain, explained, ratios = [], [], []
        for pair in range(arguments.pairs):
            commands = [("plain", [tool, str(count)]), ("explain", [tool, str(count), "--explain"])]
            results = {}
            for name, command in commands if pair % 2 == 0 else commands[::-1]:
                results[name] = run(command, refused, arguments.layer, arguments.user)["wall"]
            plain.append(results["plain"])
            explained.append(results["explain"])
            ratios.append(results["explain"] / results["plain"])
        print(f"{count:>6} {median(plain):>8.3f} {median(explained):>9.3f} {median(ratios):>6.3f}  "
              + " ".join(f"{ratio:.3f}" for ratio in ratios), flush=True)


def expected_output(path, count):
    if path == "refused":
        return f"threads failed to set MMCSS priority: {count}\n"
    if path == "granted":
        return f"threads with MMCSS priority: {count}\n"
    return "threads with MMCSS priority: "  # as many as RealtimeKit grants


def granted_count(text):
    for line in text.splitlines():
        if line.startswith("threads with MMCSS priority: "):
            return int(line.rsplit(" ", 1)[1])
    return None


def compare_reference(tool, reference, arguments, services):
    """Pairs of the tool and the reference, in alternating order."""
    bus = services.env["DBUS_SYSTEM_BUS_ADDRESS"] if services else NO_BUS
    print(f"{'N':>6} {'tool s':>8} {'ref s':>8} {'ratio':>6} {'main after':>10} "
          f"{'sys s':>7} {'sys/wall':>8} {'RSS MiB':>8} {'ref RSS':>8} {'granted':>7}  ratios")
    for count in [int(value) for value in arguments.counts.split(",")]:
        expected = expected_output(arguments.path, count)
        tool_runs, reference_runs, ratios = [], [], []
        for pair in range(arguments.pairs):
            commands = [("tool", [tool, str(count)]),
                        ("reference", [reference, str(count), arguments.reference_threads])]
            if arguments.reference_threads == "":
                commands[1][1].pop()
            if arguments.path == "granted":
                # The tool's workers run SCHED_FIFO; so do the reference's, under the same
                # real-time bandwidth limit.
                commands[1][1][:0] = ["chrt", "-f", GRANTED_PRIORITY]
            results = {}
            for name, command in commands if pair % 2 == 0 else commands[::-1]:
                if name == "tool":
                    if services:
                        services.restart_rtkit()
                    results[name] = run(command, expected, arguments.layer, arguments.user, bus)
                else:
                    results[name] = run(command, user=arguments.user)
            tool_runs.append(results["tool"])
            reference_runs.append(results["reference"])
            ratios.append(results["tool"]["wall"] / results["reference"]["wall"])
        wall = median(run["wall"] for run in tool_runs)
        after = median(run["after_barrier"] for run in tool_runs)
        system = median(run["system"] for run in tool_runs)
        granted = median(granted_count(run["output"]) for run in tool_runs)
        print(f"{count:>6} {wall:>8.3f} {median(run['wall'] for run in reference_runs):>8.3f}"
              f" {median(ratios):>6.3f} {100 * after / wall:>9.2f}% {system:>7.2f}"
              f" {100 * system / wall:>7.2f}% {median(run['rss'] for run in tool_runs):>8.1f}"
              f" {median(run['rss'] for run in reference_runs):>8.1f} {granted:>7.0f}  "
              + " ".join(f"{ratio:.3f}" for ratio in ratios), flush=True)


def registration_cost(folder, arguments, services):
    services.restart_rtkit()
    program = os.path.join(folder, "quorvane_registration_cost")
    text = run([program, "25"], None, arguments.layer, arguments.user,
               services.env["DBUS_SYSTEM_BUS_ADDRESS"])["output"]
    print(f"one registration through RealtimeKit: {text.strip()}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..",
                                                        "build", "linux"))
    parser.add_argument("--pairs", type=int, default=5)
    parser.add_argument("--counts", default="128,1024,16384")
    parser.add_argument("--path", choices=("refused", "granted", "realtime-kit"),
                        default="refused", help="where the registrations go")
    parser.add_argument("--reference-threads", default="",
                        help="threads of the reference (default: one per processor)")
    parser.add_argument("--layer", help="folder of another libquorvane-win32.so for the tool")
    parser.add_argument("--explain", action="store_true",
                        help="pair the tool with --explain against the plain tool")
    parser.add_argument("--unthrottled", action="store_true",
                        help="lift the kernel's real-time bandwidth limit for the run (root)")
    parser.add_argument("--avrt", help="a library to put beside the tool as libavrt.so")
    parser.add_argument("--user", help="run as this user (with no system bus unless --path realtime-kit)")
    arguments = parser.parse_args()
    if arguments.path != "refused" and os.geteuid() != 0:
        raise SystemExit(f"--path {arguments.path} runs as root (it grants, or starts services)")
    if arguments.path == "realtime-kit":
        arguments.user = arguments.user or "nobody"
    # One folder any user can read: the tool, the reference and the build's layer.
    folder = tempfile.mkdtemp(prefix="quorvane-bench-")
    os.chmod(folder, 0o755)
    services = None
    throttle = read(RT_RUNTIME).strip()
    print(f"kernel.sched_rt_runtime_us {throttle}"
          + (", -1 for the run" if arguments.unthrottled else ""), flush=True)
    try:
        if arguments.unthrottled:
            with open(RT_RUNTIME, "w") as limit:
                limit.write("-1")
        tool = shutil.copy(os.path.join(arguments.build, "win", "quorvane"), folder)
        reference = shutil.copy(os.path.join(arguments.build, "bench", "quorvane_reference"),
                                folder)
        if not arguments.layer:
            arguments.layer = os.path.join(folder, "layer")
            shutil.copytree(os.path.join(arguments.build, "lib", "quorvane"), arguments.layer)
        provider = os.path.join(arguments.build, "win", "libavrt.so")
        if arguments.path != "refused":
            arguments.avrt = arguments.avrt or provider
        if arguments.avrt:
            shutil.copy(arguments.avrt, os.path.join(folder, "libavrt.so"))
        if arguments.explain:
            compare_explain(tool, arguments)
            return
        if arguments.path == "realtime-kit":
            sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "linux_avrt", "test"))
            from realtime_test import Services
            services = Services()
            shutil.copy(os.path.join(arguments.build, "bench", "quorvane_registration_cost"),
                        folder)
            registration_cost(folder, arguments, services)
        compare_reference(tool, reference, arguments, services)
    finally:
        if arguments.unthrottled:
            with open(RT_RUNTIME, "w") as limit:
                limit.write(throttle)
        if services:
            services.close()
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
