#!/usr/bin/env python3
"""The Linux avrt provider against the real kernel and the real RealtimeKit.

DirectPath runs as any user: the kernel grants real-time scheduling to root and refuses
everybody else without rights. ChangedUser (a user given CAP_SYS_NICE), RealtimeKit and
RealtimeKitReport (the tool's --json report against it) need root: each of their tests starts a
private system bus, polkitd (in a mount namespace of its own, with rules that let `nobody`
acquire real-time scheduling) and rtkit-daemon with its default limits, and stops them by PID.
"""
import argparse
import os
import pwd
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "test_support"))
from report_check import check_service, parse_report  # noqa: E402

ARGS = None
TIMEOUT_SECONDS = 120
READY_SECONDS = 10
# However the bus fails, a run may wait for it about this much longer than a run without one.
BUS_FAULT_SECONDS = 10
# Neither bus: no RealtimeKit, and no portal from the session the tests run in.
NO_SESSION_BUS = {"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/quorvane-test-session-bus"}
NO_BUS = {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/quorvane-test-bus", **NO_SESSION_BUS}
# A bus reached through a program that ignores SIGTERM and sleeps 30 s.
UNIXEXEC = "unixexec:path=/bin/sh,argv1=-c,argv2=trap%20%27%27%20TERM%3B%20sleep%2030"
COUNT = 128
RTKIT_DAEMON = "/usr/libexec/rtkit-daemon"
POLKITD_CANDIDATES = ("/usr/lib/polkit-1/polkitd", "/usr/libexec/polkitd")
POLKIT_RULES = "/etc/polkit-1/rules.d"
# Where the test's polkit rules are bound over the system's: with private propagation, or not at
# all, so that the bind never reaches the host's mounts. A root that is not a mount point (a
# chroot) has no propagation to change, and unshare refuses.
PRIVATE_MOUNTS = ("unshare", "--mount", "--propagation", "private")
# A PID namespace of its own, with its own /proc (which also takes private mounts).
OWN_PIDS = ("unshare", "--pid", "--fork", "--mount-proc")


def is_root():
    return os.geteuid() == 0


def require_root(test):
    if not is_root():
        test.fail("this test starts system services and changes users: run it as root")


def refusal(prefix):
    """What `prefix` says when it cannot run a program here (a namespace the machine will not
    make), or None when it can."""
    done = subprocess.run([*prefix, "true"], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=READY_SECONDS)
    return None if done.returncode == 0 else done.stderr.strip() or f"status {done.returncode}"


def as_user(name, *extra):
    user = pwd.getpwnam(name)
    return ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups",
            *extra]


def as_nobody(*extra):
    return as_user("nobody", *extra)


WITH_SYS_NICE = ("--inh-caps=+sys_nice", "--ambient-caps=+sys_nice")


class Installation:
    """The tool, the probe, the layer and the provider in one folder any user can read."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="quorvane-rt-")
        os.chmod(self.folder, 0o755)
        for path in (ARGS.tool, ARGS.probe, ARGS.runtime, ARGS.provider):
            shutil.copy(path, self.folder)

    def remove(self):
        shutil.rmtree(self.folder)

    def run(self, program, *arguments, env, prefix=()):
        environment = dict(os.environ, LD_LIBRARY_PATH=self.folder, **env)
        done = subprocess.run([*prefix, os.path.join(self.folder, program), *arguments],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=TIMEOUT_SECONDS, env=environment)
        return done

    def probe(self, env, prefix=(), count=COUNT, spin_ms=0, hold_ms=0):
        done = self.run(os.path.basename(ARGS.probe), str(count), str(spin_ms), str(hold_ms),
                        env=env, prefix=prefix)
        if done.returncode != 0:
            raise AssertionError(f"probe failed ({done.returncode}): {done.stderr}")
        counts = {}
        for line in done.stdout.splitlines():
            key, number = line.rsplit(" ", 1)
            counts[key] = int(number)
        return counts

    def scenario(self, name, env, prefix=()):
        """The probe's one-thread scenarios: each line's first word and the rest."""
        done = self.run(os.path.basename(ARGS.probe), name, env=env, prefix=prefix)
        if done.returncode != 0:
            raise AssertionError(f"probe {name} failed ({done.returncode}): {done.stderr}")
        return dict(line.split(" ", 1) for line in done.stdout.splitlines())

    def tool(self, env, prefix=(), count=COUNT):
        """The tool's exit status and its two result counts."""
        done = self.run(os.path.basename(ARGS.tool), str(count), env=env, prefix=prefix)
        results = {}
        for line in done.stdout.splitlines():
            for key in ("threads with MMCSS priority", "threads failed to set MMCSS priority"):
                if line.startswith(key + ": "):
                    results[key] = int(line.split(": ")[1])
        return (done.returncode, results.get("threads with MMCSS priority"),
                results.get("threads failed to set MMCSS priority"))

    def report(self, test, env, prefix=(), options=()):
        """The tool's --json report, checked to add up."""
        done = self.run(os.path.basename(ARGS.tool), str(COUNT), "--json", *options, env=env,
                        prefix=prefix)
        test.assertEqual(done.returncode, 0, done.stderr)
        return parse_report(test, done.stdout)


def kernel_grants(report):
    """Every thread granted by the kernel, FIFO at the task's high level, and kept."""
    return (report["grants"], report["refusals"], report["verified"]) == (
        [{"by": "kernel", "policy": "SCHED_FIFO", "priority_min": 25, "priority_max": 25,
          "realtime_priority_min": 19, "realtime_priority_max": 19, "threads": COUNT}], [],
        {"applied": COUNT, "granted_not_applied": 0, "refused_but_real_time": 0, "demoted": 0})


def assert_refused_without_rights(test, report):
    test.assertEqual((report["granted"], report["grants"]), (0, []))
    test.assertEqual(report["refusals"], [{
        "error": 5, "meaning": "access denied", "threads": COUNT,
        "provider_said": ["the kernel: Operation not permitted; "
                          "RealtimeKit: the system bus could not be reached; "
                          "the portal: the session bus could not be reached"]}])
    budget = report["budget"]
    test.assertEqual((budget["root"], budget["cap_sys_nice"], budget["may_set_real_time_itself"]),
                     (False, False, False))
    test.assertEqual(budget["realtime_kit"], {"answers": False, "max_realtime_priority": None,
                                              "rttime_usec_max": None,
                                              "contact": "bus_unreachable"})
    hints = " ".join(report["hints"])
    for advice in ("apt install rtkit", "@audio - rtprio 95", "CAP_SYS_NICE"):
        test.assertIn(advice, hints)
    test.assertNotIn("login session", hints)


def granted_everything(policy, priority):
    return {"granted": COUNT, f"policy {policy}|SCHED_RESET_ON_FORK {priority}": COUNT,
            "realtime": COUNT, "restored": COUNT}


def refused(error, count=COUNT):
    """Every thread refused with `error`, none real-time, nothing to restore."""
    return {f"refused {error}": count, "realtime": 0, "restored": 0}


ERROR_ACCESS_DENIED = 5
ERROR_INVALID_PARAMETER = 87
ERROR_TOO_MANY_THREADS = 565
ERROR_TIMEOUT = 1460
ERROR_NOT_ENOUGH_QUOTA = 1816
REFUSED = refused(ERROR_ACCESS_DENIED)


def with_limits(*limits):
    return ["prlimit", *limits, "--"]


class TimedRun:
    """The tool's result and how long it took."""

    def __init__(self, installation, env, prefix=()):
        start = time.monotonic()
        self.result = installation.tool(env, prefix)
        self.seconds = time.monotonic() - start


class DirectPath(unittest.TestCase):
    def setUp(self):
        self.installation = Installation()
        self.addCleanup(self.installation.remove)

    def test_the_own_user(self):
        # Root: the kernel grants FIFO at the task's high level; anyone else: refused.
        counts = self.installation.probe(NO_BUS)
        status = self.installation.tool(NO_BUS)
        report = self.installation.report(self, NO_BUS)
        if is_root():
            self.assertEqual(counts, granted_everything("SCHED_FIFO", 19))
            self.assertEqual(status, (0, COUNT, 0))
            self.assertTrue(kernel_grants(report), report)
            self.assertEqual((report["budget"]["root"], report["hints"]), (True, []))
        else:
            self.assertEqual(counts, REFUSED)
            self.assertEqual(status, (0, 0, COUNT))
            assert_refused_without_rights(self, report)

    def test_an_unprivileged_user_without_rights_is_refused(self):
        prefix = as_nobody() if is_root() else ()
        self.assertEqual(self.installation.probe(NO_BUS, prefix), REFUSED)
        self.assertEqual(self.installation.tool(NO_BUS, prefix), (0, 0, COUNT))
        assert_refused_without_rights(self, self.installation.report(self, NO_BUS, prefix))

    def test_time_limits_cost_grants_never_the_process(self):
        # A short inherited soft limit is the provider's to raise while it grants; a hard limit
        # the kernel's tick cannot keep (10 ms) refuses every grant; the CPU-time limit, which
        # also signals SIGXCPU, still ends the program as it would without the provider.
        tool = self.installation.tool
        if is_root():
            # The program's 10 ms soft limit comes back only once no worker is real-time.
            self.assertEqual(tool(NO_BUS, with_limits("--rttime=10000:200000")), (0, COUNT, 0))
            # A real-time thread that blocks SIGXCPU and runs past the soft limit is demoted
            # by whichever thread takes the signal, and the process lives.
            self.assertEqual(self.installation.scenario(
                "blocked", NO_BUS, with_limits("--rttime=100000:300000")), {
                    "blocked": "granted SCHED_FIFO|SCHED_RESET_ON_FORK 18",
                    "after": "SCHED_OTHER|SCHED_RESET_ON_FORK 0"})
            self.assertEqual(self.installation.probe(NO_BUS, with_limits("--rttime=10000:10000")),
                             refused(ERROR_NOT_ENOUGH_QUOTA))
            self.assertEqual(tool(NO_BUS, with_limits("--rttime=10000:10000")), (0, 0, COUNT))
            report = self.installation.report(self, NO_BUS, with_limits("--rttime=10000:10000"))
            self.assertIn("the hard RLIMIT_RTTIME in force", " ".join(report["hints"]))
        self.assertEqual(tool(NO_BUS, with_limits("--cpu=1:10"))[0], -signal.SIGXCPU)

    def test_one_registration_per_thread_and_one_connection_per_process(self):
        # From SCHED_BATCH: registered, registered again on the same thread, a forked child
        # registers on its own, the revert puts SCHED_BATCH back, the second finds no handle.
        results = self.installation.scenario("single", NO_BUS)
        if is_root():
            self.assertEqual(results, {
                "first": "granted SCHED_FIFO|SCHED_RESET_ON_FORK 18",
                "second": "refused 1552",
                "child": "granted SCHED_FIFO|SCHED_RESET_ON_FORK 18",
                "revert": "reverted SCHED_BATCH 0",
                "again": "failed 6"})
        else:
            self.assertEqual(results, {"first": "refused 5", "second": "refused 5",
                                       "child": "refused 5", "revert": "failed 6",
                                       "again": "failed 6"})

    def test_bus_addresses_that_cannot_be_bounded_are_refused_at_once(self):
        # A program that ignores SIGTERM, a host name to resolve, and a list whose one usable
        # entry is a socket that does not exist: none is waited for, each run ends within
        # BUS_FAULT_SECONDS of one without a bus, and the report says why.
        prefix = as_nobody() if is_root() else ()
        without_bus = TimedRun(self.installation, NO_BUS, prefix)
        unreachable = "the kernel: Operation not permitted; RealtimeKit: the system bus could " \
                      "not be reached (the address "
        for address, reason in (
                (UNIXEXEC, "unixexec was refused: it runs a program, and sd-bus waits for "
                           "that program's end unbounded)"),
                ("tcp:host=quorvane.invalid,port=4", "tcp was refused: a host name to resolve, "
                 "which cannot be bounded (give a numeric address))"),
                (f"{UNIXEXEC};;unix:path=/nonexistent/quorvane-bus;x-machine-unix:machine=m",
                 "x-machine-unix was refused: it enters another machine's namespaces from a "
                 "child that sd-bus waits for)")):
            env = {"DBUS_SYSTEM_BUS_ADDRESS": address, **NO_SESSION_BUS}
            run = TimedRun(self.installation, env, prefix)
            self.assertEqual(run.result, (0, 0, COUNT), address)
            self.assertLess(run.seconds, without_bus.seconds + BUS_FAULT_SECONDS, address)
            self.assertEqual(self.installation.report(self, env, prefix)["refusals"][0][
                "provider_said"], [unreachable + reason + "; the portal: the session bus could "
                                   "not be reached"], address)
        # The session bus follows the same rule, inside the same budget.
        env = dict(NO_BUS, DBUS_SESSION_BUS_ADDRESS=UNIXEXEC)
        run = TimedRun(self.installation, env, prefix)
        self.assertLess(run.seconds, without_bus.seconds + BUS_FAULT_SECONDS)
        report = self.installation.report(self, env, prefix)
        self.assertTrue(report["refusals"][0]["provider_said"][0].endswith(
            "the portal: the session bus could not be reached (the address unixexec was refused: "
            "it runs a program, and sd-bus waits for that program's end unbounded)"), report)
        self.assertIn("DBUS_SESSION_BUS_ADDRESS is of a kind the provider does not wait for",
                      " ".join(report["hints"]))

    def test_the_paths_chosen_are_the_paths_tried(self):
        # --via=realtimekit leaves the kernel out even for root; QUORVANE_VIA chooses the same
        # for a program, and a word it does not know refuses every registration with why;
        # --via over it chooses again.
        def said(env, *options):
            done = self.installation.run(os.path.basename(ARGS.tool), "4", "--json", *options,
                                         env=env)
            report = parse_report(self, done.stdout)
            return (report["granted"], [(refusal["error"], refusal["provider_said"])
                                        for refusal in report["refusals"]])
        no_rtkit = "RealtimeKit: the system bus could not be reached"
        self.assertEqual(said(NO_BUS, "--via=realtimekit"), (0, [(ERROR_ACCESS_DENIED, [no_rtkit])]))
        self.assertEqual(said(dict(NO_BUS, QUORVANE_VIA="realtimekit")),
                         (0, [(ERROR_ACCESS_DENIED, [no_rtkit])]))
        unknown = dict(NO_BUS, QUORVANE_VIA="kernel,rtkit")
        self.assertEqual(said(unknown), (0, [(ERROR_INVALID_PARAMETER, [
            'the provider: QUORVANE_VIA names no path "rtkit" (kernel, portal, realtimekit)'])]))
        kernel = (4, []) if is_root() else (0, [(ERROR_ACCESS_DENIED,
                                                 ["the kernel: Operation not permitted"])])
        self.assertEqual(said(unknown, "--via=kernel"), kernel)

    def test_a_registration_ends_with_its_thread(self):
        # A small pid_max in a PID namespace of its own brings an ended thread's id back soon.
        if not is_root():
            self.skipTest("a PID namespace of its own needs root")
        refused = refusal(OWN_PIDS)
        if refused:
            self.skipTest(f"no PID namespace with a /proc of its own here: {refused}")
        results = self.installation.scenario(
            "reuse", NO_BUS, (*OWN_PIDS, "sh", "-c",
                              'echo 1000 > /proc/sys/kernel/pid_max && exec "$@"', "sh"))
        self.assertEqual(results["first"], "granted SCHED_FIFO|SCHED_RESET_ON_FORK 18")
        self.assertEqual(results["stale"], "refused 6")  # ERROR_INVALID_HANDLE
        self.assertEqual(results["registered"], "granted SCHED_FIFO|SCHED_RESET_ON_FORK 18")


class ChangedUser(unittest.TestCase):
    """Only root can hand another user a capability."""

    def setUp(self):
        require_root(self)
        self.installation = Installation()
        self.addCleanup(self.installation.remove)

    def test_cap_sys_nice_grants_every_thread(self):
        prefix = as_nobody(*WITH_SYS_NICE)
        self.assertEqual(self.installation.probe(NO_BUS, prefix),
                         granted_everything("SCHED_FIFO", 19))
        self.assertEqual(self.installation.tool(NO_BUS, prefix), (0, COUNT, 0))
        report = self.installation.report(self, NO_BUS, prefix)
        self.assertTrue(kernel_grants(report), report)
        self.assertEqual((report["budget"]["root"], report["budget"]["cap_sys_nice"]),
                         (False, True))


class Services:
    """A private system bus, polkitd and rtkit-daemon, each started and stopped by PID."""

    BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""
    RULES = """polkit.addRule(function(action, subject) {
  if ((action.id == "org.freedesktop.RealtimeKit1.acquire-real-time" ||
       action.id == "org.freedesktop.RealtimeKit1.acquire-high-priority") &&
      subject.user == "nobody") {
    return polkit.Result.YES;
  }
});
"""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="quorvane-rtkit-")
        os.chmod(self.folder, 0o755)
        self.processes = []
        self.polkitd = None
        self.rtkit = None
        self.rtkit_log = []
        self.env = {}
        # A setup that fails half-way stops what it started: the test's cleanups are not
        # registered yet.
        try:
            self.start()
        except BaseException:
            self.close()
            raise

    def start(self):
        config = os.path.join(self.folder, "bus.conf")
        with open(config, "w") as out:
            out.write(self.BUS_CONFIG.format(socket=os.path.join(self.folder, "bus")))
        rules = os.path.join(self.folder, "rules")
        os.mkdir(rules, 0o755)
        with open(os.path.join(rules, "50-quorvane-test.rules"), "w") as out:
            out.write(self.RULES)
        os.chmod(os.path.join(rules, "50-quorvane-test.rules"), 0o644)

        bus = self.start_daemon("dbus-daemon", ["dbus-daemon", f"--config-file={config}",
                                                "--nofork", "--print-address=1"],
                                stdout=subprocess.PIPE)
        if not select.select([bus.stdout], [], [], READY_SECONDS)[0]:
            raise AssertionError("dbus-daemon printed no address" + self.said("dbus-daemon"))
        self.env = {"DBUS_SYSTEM_BUS_ADDRESS": bus.stdout.readline().strip(), **NO_SESSION_BUS}
        if not self.env["DBUS_SYSTEM_BUS_ADDRESS"]:
            raise AssertionError("dbus-daemon printed no address" + self.said("dbus-daemon"))

        polkitd = next((path for path in POLKITD_CANDIDATES if os.path.exists(path)), None)
        if polkitd is None or not os.path.isdir(POLKIT_RULES):
            raise AssertionError("polkitd or its rules folder is missing: install polkitd")
        # The rules are bound over the system's only inside polkitd's own mount namespace.
        self.polkitd = self.start_daemon(
            "polkitd",
            [*PRIVATE_MOUNTS, "sh", "-c",
             'mount --bind "$0" "$1" && exec "$2" --no-debug', rules, POLKIT_RULES, polkitd],
            env=dict(os.environ, **self.env))
        self.await_name("org.freedesktop.PolicyKit1", self.polkitd, "polkitd")
        self.start_rtkit()

    def start_daemon(self, name, command, stdout=subprocess.DEVNULL, env=None):
        """Starts `command` with its error output in a log of its own, shown if it fails."""
        with open(os.path.join(self.folder, f"{name}.log"), "w") as log:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout,
                                       stderr=log, text=True, env=env)
        self.processes.append(process)
        return process

    def said(self, name):
        try:
            with open(os.path.join(self.folder, f"{name}.log")) as log:
                text = log.read().strip()
        except OSError:
            text = ""
        return f"; {name} said:\n{text}" if text else f"; {name} said nothing"

    def await_name(self, name, process, program):
        """Waits until `name` has an owner on the test bus. Asked of the bus itself: busctl's
        status would also read the owner's cgroup, which a container may not have."""
        deadline = time.monotonic() + READY_SECONDS
        while time.monotonic() < deadline:
            if process.poll() is not None:
                raise AssertionError(f"{program} ended with status {process.returncode} before "
                                     f"{name} appeared" + self.said(program))
            owned = subprocess.run(
                ["busctl", "--system", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus", "NameHasOwner", "s", name],
                capture_output=True, text=True, env=dict(os.environ, **self.env),
                timeout=READY_SECONDS)
            if owned.stdout.strip() == "b true":
                return
            time.sleep(0.05)
        raise AssertionError(f"{name} did not appear on the test bus" + self.said(program))

    def start_rtkit(self, *options):
        # rtkit sets its own file-size limit to 0: its log comes through a pipe.
        self.rtkit = subprocess.Popen([RTKIT_DAEMON, "--stderr", "--no-canary", *options],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE, text=True,
                                      env=dict(os.environ, **self.env))
        threading.Thread(target=self.rtkit_log.extend, args=(self.rtkit.stderr,),
                         daemon=True).start()
        try:
            self.await_name("org.freedesktop.RealtimeKit1", self.rtkit, "rtkit-daemon")
        except AssertionError as error:
            raise AssertionError(f"{error}; rtkit-daemon said:\n{''.join(self.rtkit_log)}")

    def restart_rtkit(self, *options):
        """rtkit's burst limit outlives its clients: a fresh daemon for each scenario."""
        stop(self.rtkit)
        self.start_rtkit(*options)

    def close(self):
        if self.rtkit:
            stop(self.rtkit)
        for process in reversed(self.processes):
            stop(process)
        shutil.rmtree(self.folder, ignore_errors=True)


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGCONT)  # a test may have stopped it
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(READY_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(READY_SECONDS)
    for pipe in (process.stdout, process.stderr):
        if pipe:
            pipe.close()


class SilentBus:
    """A system bus socket that accepts and never answers; with `authenticate`, it completes
    the authentication and leaves the bus's Hello unanswered."""

    def __init__(self, authenticate):
        self.folder = tempfile.mkdtemp(prefix="quorvane-silent-")
        os.chmod(self.folder, 0o755)
        path = os.path.join(self.folder, "bus")
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(path)
        os.chmod(path, 0o777)
        self.listener.listen(16)
        self.authenticate = authenticate
        self.peers = []
        self.env = {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + path, **NO_SESSION_BUS}
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                peer, _ = self.listener.accept()
            except OSError:
                return
            self.peers.append(peer)
            if self.authenticate:
                threading.Thread(target=self.answer_authentication, args=(peer,),
                                 daemon=True).start()

    @staticmethod
    def answer_authentication(peer):
        pending = b""
        try:
            while True:
                data = peer.recv(4096)
                if not data:
                    return
                pending += data
                while b"\r\n" in pending:
                    line, pending = pending.split(b"\r\n", 1)
                    line = line.lstrip(b"\0")
                    if line == b"AUTH EXTERNAL":
                        peer.sendall(b"DATA\r\n")
                    elif line.startswith((b"AUTH EXTERNAL ", b"DATA")):
                        peer.sendall(b"OK 0123456789abcdef0123456789abcdef\r\n")
                    elif line.startswith(b"NEGOTIATE_UNIX_FD"):
                        peer.sendall(b"AGREE_UNIX_FD\r\n")
                    elif line.startswith(b"BEGIN"):
                        return  # the Hello that follows is never answered
        except OSError:
            return

    def close(self):
        self.listener.close()
        for peer in self.peers:
            peer.close()
        shutil.rmtree(self.folder)


# Threads that sleep until standard input closes, named by their kernel ids on one line; run
# by the system's Python, which the unprivileged user can run.
# sched_getscheduler's flag for a policy that children do not inherit.
RESET_ON_FORK = 0x40000000
SYSTEM_PYTHON = "/usr/bin/python3"
HELD = 5
HOLDER = f"""
import sys, threading
ready = threading.Barrier({HELD} + 1)
ids = []
def hold():
    ids.append(threading.get_native_id())
    ready.wait()
    sys.stdin.read()
for _ in range({HELD}):
    threading.Thread(target=hold, daemon=True).start()
ready.wait()
print(" ".join(map(str, ids)), flush=True)
sys.stdin.read()
"""


class Demoter:
    """Sets every round-robin thread of the program run from `folder` back to SCHED_OTHER,
    until closed; counts the threads it demoted."""

    def __init__(self, folder, act=None):
        self.folder = folder + "/"
        self.act = act or (lambda thread: os.sched_setscheduler(thread, os.SCHED_OTHER,
                                                                os.sched_param(0)))
        self.done = threading.Event()
        self.demoted = 0
        self.thread = threading.Thread(target=self.watch, daemon=True)
        self.thread.start()

    def find(self):
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink(f"/proc/{pid}/exe").startswith(self.folder):
                    return pid
            except OSError:
                pass
        return None

    def watch(self):
        pid = None
        while not self.done.wait(0.001):
            pid = pid or self.find()
            if pid is None:
                continue
            try:
                threads = os.listdir(f"/proc/{pid}/task")
            except OSError:
                return
            for thread in map(int, threads):
                try:
                    if os.sched_getscheduler(thread) & ~RESET_ON_FORK == os.SCHED_RR:
                        self.act(thread)
                        self.demoted += 1
                except OSError:
                    pass

    def close(self):
        self.done.set()
        self.thread.join(READY_SECONDS)


class WithRealtimeKit(unittest.TestCase):
    """Each test with services of its own."""

    @classmethod
    def setUpClass(cls):
        if is_root():
            refused = refusal(PRIVATE_MOUNTS)
            if refused:
                raise unittest.SkipTest("polkitd's test rules need a mount namespace with private "
                                        f"propagation, which this root cannot make: {refused}")

    def setUp(self):
        require_root(self)
        self.installation = Installation()
        self.addCleanup(self.installation.remove)
        self.services = Services()
        self.addCleanup(self.services.close)

    def log(self):
        return "rtkit-daemon said:\n" + "".join(self.services.rtkit_log[-20:])

    def busy_refusals(self):
        """RealtimeKit's refusals for its per-user limits so far; its log comes through a pipe,
        after the answer."""
        deadline = time.monotonic() + READY_SECONDS
        while True:
            count = sum("limit for user" in line and "denying request" in line for line in self.services.rtkit_log)
            if count > 0 or time.monotonic() > deadline:
                return count
            time.sleep(0.05)

    def assert_realtime_kit_report(self, report, granted, others):
        self.assertEqual(report["grants"], [{
            "by": "RealtimeKit", "policy": "SCHED_RR", "priority_min": 24, "priority_max": 24,
            "realtime_priority_min": 18, "realtime_priority_max": 18, "threads": granted}],
            self.log())
        self.assertEqual(report["verified"]["applied"], granted)
        # The first refusal is RealtimeKit's answer; the threads after it are not sent.
        busy = ("the kernel: Operation not permitted; RealtimeKit: "
                "org.freedesktop.DBus.Error.AccessDenied: Device or resource busy")
        refusals = report["refusals"]
        for refusal in refusals:
            refusal["provider_said"].sort()
        self.assertEqual(refusals, [{
            "error": 565, "meaning": "too many threads", "threads": COUNT - granted,
            "provider_said": [busy, busy + " (its answer to an earlier thread; not asked)"]}])
        budget = report["budget"]
        self.assertEqual(budget["realtime_kit"], {"answers": True, "max_realtime_priority": 20,
                                                  "rttime_usec_max": 200000,
                                                  "contact": "answered"})
        # Other tests and programs of the same user may hold real-time threads too, in
        # RealtimeKits of their own: the holder's are among those listed and counted.
        held = re.search(r"\((\d+) held by other processes now\)", " ".join(report["hints"]))
        self.assertIsNotNone(held, report["hints"])
        for holder in others:
            self.assertIn(holder, budget["other_real_time_threads"])
        self.assertGreaterEqual(int(held.group(1)), sum(holder["threads"] for holder in others))


class RealtimeKit(WithRealtimeKit):
    def test_an_unprivileged_user_gets_rtkits_per_user_limit(self):
        # 25 threads per user by default; the rest refused as busy (ERROR_TOO_MANY_THREADS),
        # the granted ones round-robin at the task's normal priority, RealtimeKit's grant.
        counts = self.installation.probe(self.services.env, as_nobody())
        self.assertEqual(counts, {"granted": 25, "policy SCHED_RR|SCHED_RESET_ON_FORK 18": 25,
                                  "refused 565": COUNT - 25, "realtime": 25, "restored": 25},
                         self.log())
        # After RealtimeKit's first "busy", the threads after it are refused without a request.
        self.assertEqual(self.busy_refusals(), 1, self.log())
        if ARGS.thread_sanitizer:
            # ThreadSanitizer runs the SIGXCPU handler that demotes a worker past the soft
            # limit only when the worker calls a function it intercepts, and the busy loop calls
            # none: under load about one run in six ended by SIGKILL, the hard limit's answer.
            self.skipTest("the whole tool's run is not checked under ThreadSanitizer")
        self.services.restart_rtkit()
        self.assertEqual(self.installation.tool(self.services.env, as_nobody()),
                         (0, 25, COUNT - 25), self.log())
        self.services.restart_rtkit()
        self.assert_realtime_kit_report(self.installation.report(self, self.services.env,
                                                                 as_nobody()), 25, [])

    def test_a_thread_past_the_soft_time_limit_is_demoted_not_killed(self):
        # RealtimeKit's hard RLIMIT_RTTIME is 200 ms: past it the kernel kills the process.
        counts = self.installation.probe(self.services.env, as_nobody(), count=8, spin_ms=400)
        self.assertEqual(counts, {"granted": 8, "policy SCHED_OTHER|SCHED_RESET_ON_FORK 0": 8,
                                  "realtime": 0, "restored": 8}, self.log())

    def test_a_silent_or_hung_bus_costs_one_wait_for_the_whole_run(self):
        # A stopped rtkit-daemon, a socket that never answers, a bus that never answers the
        # Hello: each run ends at most BUS_FAULT_SECONDS later than one with no bus at all,
        # every thread refused as timed out and none real-time.
        nobody = as_nobody()
        without_bus = TimedRun(self.installation, NO_BUS, nobody)
        self.assertEqual(without_bus.result, (0, 0, COUNT))

        def check(env, fault):
            self.assertEqual(self.installation.probe(env, nobody), refused(ERROR_TIMEOUT), fault)
            run = TimedRun(self.installation, env, nobody)
            self.assertEqual(run.result, (0, 0, COUNT), fault)
            self.assertLess(run.seconds, without_bus.seconds + BUS_FAULT_SECONDS, fault)

        self.services.rtkit.send_signal(signal.SIGSTOP)
        check(self.services.env, "rtkit-daemon stopped")
        for authenticate in (False, True):
            bus = SilentBus(authenticate)
            self.addCleanup(bus.close)
            check(bus.env, "Hello unanswered" if authenticate else "silent socket")

    def test_a_late_grant_is_undone(self):
        # polkit answers rtkit after the provider's call has given up: rtkit applies the grant
        # all the same, and the provider takes it back. The probe reads its threads after that.
        self.services.polkitd.send_signal(signal.SIGSTOP)
        resume = threading.Timer(3.5, self.services.polkitd.send_signal, (signal.SIGCONT,))
        resume.start()
        self.addCleanup(resume.cancel)
        counts = self.installation.probe(self.services.env, as_nobody(), count=8, hold_ms=6000)
        self.assertEqual(counts, refused(ERROR_TIMEOUT, 8), self.log())
        self.assertIn("Successfully made thread", "".join(self.services.rtkit_log), self.log())

    def test_the_watcher_undoes_only_the_grant_it_waited_for(self):
        # A thread whose request timed out (polkit stopped) gets real-time scheduling elsewhere
        # (here from the test, as root); RealtimeKit then ends without granting, and the
        # watcher, told so by the bus, leaves the thread be.
        self.services.polkitd.send_signal(signal.SIGSTOP)
        probe = subprocess.Popen(
            [*as_nobody(), os.path.join(self.installation.folder, os.path.basename(ARGS.probe)),
             "elsewhere"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            env=dict(os.environ, LD_LIBRARY_PATH=self.installation.folder, **self.services.env))
        self.addCleanup(stop, probe)
        self.addCleanup(probe.stdin.close)
        # Both lines come in one write.
        lines = []
        if select.select([probe.stdout], [], [], TIMEOUT_SECONDS)[0]:
            lines = [probe.stdout.readline().split(" ", 1)[-1].strip() for _ in range(2)]
        self.assertEqual(len(lines), 2, lines)
        self.assertEqual(lines[0], f"refused {ERROR_TIMEOUT}")
        os.sched_setscheduler(int(lines[1]), os.SCHED_FIFO, os.sched_param(5))
        self.services.rtkit.kill()
        probe.stdin.write("go\n")
        probe.stdin.flush()
        rest = probe.communicate(timeout=TIMEOUT_SECONDS)[0]
        self.assertEqual((probe.returncode, rest), (0, "after SCHED_FIFO 5\n"))

    def test_time_limits_cost_grants_never_the_process(self):
        nobody = as_nobody()
        # The whole tool's runs with rtkit's grants are left out under ThreadSanitizer, as in
        # the per-user limit's test above.
        if not ARGS.thread_sanitizer:
            self.assertEqual(self.installation.tool(
                self.services.env, nobody + with_limits("--rttime=10000:200000")),
                (0, 25, COUNT - 25), self.log())
            self.services.restart_rtkit()
            self.assertEqual(self.installation.tool(self.services.env,
                                                    nobody + with_limits("--cpu=1:10"))[0],
                             -signal.SIGXCPU, self.log())
        # rtkit's maximum at 10 ms: the kernel's tick could not demote a thread in time.
        self.services.restart_rtkit("--rttime-usec-max=10000")
        self.assertEqual(self.installation.probe(self.services.env, nobody, count=8),
                         refused(ERROR_NOT_ENOUGH_QUOTA, 8), self.log())
        self.assertEqual(self.installation.tool(self.services.env, nobody, count=8), (0, 0, 8))

    def test_one_registration_per_thread_and_one_connection_per_process(self):
        # As DirectPath's, through rtkit: the child asks on a connection of its own.
        self.assertEqual(self.installation.scenario("single", self.services.env, as_nobody()), {
            "first": "granted SCHED_RR|SCHED_RESET_ON_FORK 18",
            "second": "refused 1552",
            "child": "granted SCHED_RR|SCHED_RESET_ON_FORK 18",
            "revert": "reverted SCHED_BATCH|SCHED_RESET_ON_FORK 0",
            "again": "failed 6"}, self.log())
        # A fork while another thread's request waits on a stopped rtkit: the child is not left
        # with that request's lock, and asks, and gives up, on its own.
        self.services.rtkit.send_signal(signal.SIGSTOP)
        self.assertEqual(self.installation.scenario("forked", self.services.env, as_nobody()), {
            "child": f"refused {ERROR_TIMEOUT}", "thread": f"refused {ERROR_TIMEOUT}"},
            self.log())

    def test_root_is_granted_by_the_kernel_before_rtkit_is_asked(self):
        # FIFO is the kernel's grant: RealtimeKit would have given round-robin.
        self.assertEqual(self.installation.probe(self.services.env),
                         granted_everything("SCHED_FIFO", 19))


class RealtimeKitReport(WithRealtimeKit):
    """The tool's report against RealtimeKit: another process's threads, demotions, polkit."""

    def test_the_report_counts_the_users_real_time_threads_in_another_process(self):
        if ARGS.thread_sanitizer:
            self.skipTest("the whole tool's RealtimeKit run is checked outside ThreadSanitizer")
        holder = self.start_holder()
        self.assert_realtime_kit_report(
            self.installation.report(self, self.services.env, as_nobody()), 25 - HELD,
            [{"process": "python3", "pid": holder, "threads": HELD}])

    def test_threads_that_lose_real_time_scheduling_during_their_work_are_reported(self):
        if ARGS.thread_sanitizer:
            self.skipTest("the whole tool's RealtimeKit run is checked outside ThreadSanitizer")
        # Another program takes real-time scheduling away from the granted workers while they
        # work or wait at the barrier, as chrt or a sound server's watchdog may.
        demoter = Demoter(self.installation.folder)
        try:
            report = self.installation.report(self, self.services.env, as_nobody())
        finally:
            demoter.close()
        verified = report["verified"]
        # One taken before the worker read what its registration gave is "granted but not
        # applied" instead.
        self.assertGreater(verified["demoted"], 0, report)
        self.assertEqual(verified["demoted"] + verified["granted_not_applied"], demoter.demoted,
                         report)
        self.assertEqual(verified["applied"] + demoter.demoted, 25, report)
        self.assertIn("lost real-time scheduling during their work", " ".join(report["hints"]))
        # RealtimeKit's maximum, to which the provider lowered the hard limit.
        self.assertEqual(report["budget"]["rlimit_rttime_us"]["hard"], 200000)

    def test_a_user_without_a_login_session_or_a_polkit_rule_is_told_so(self):
        # The test's polkit rule names nobody only: for another user polkit's defaults apply,
        # which allow real-time scheduling only to processes in a login session.
        with open("/proc/self/cgroup") as groups:
            if re.search(r"/session-[^/]*\.scope$", groups.read(), re.M):
                self.skipTest("run inside a login session, which polkit's defaults allow")
        report = self.installation.report(self, self.services.env, as_user("daemon"))
        self.assertEqual(report["refusals"], [{
            "error": 5, "meaning": "access denied", "threads": COUNT,
            "provider_said": ["the kernel: Operation not permitted; RealtimeKit: "
                              "org.freedesktop.DBus.Error.AccessDenied: Operation not permitted"]}],
            self.log())
        self.assertEqual(report["budget"]["login_session"], False)
        self.assertIn("RealtimeKit refused for lack of a login session", report["hints"][0])

    def test_a_realtime_kit_gone_mid_run_is_not_said_to_answer(self):
        if ARGS.thread_sanitizer:
            self.skipTest("the whole tool's RealtimeKit run is checked outside ThreadSanitizer")
        # rtkit-daemon is stopped as soon as its first grant shows in the tool's threads.
        rtkit = self.services.rtkit
        watcher = Demoter(self.installation.folder, act=lambda thread: rtkit.kill())
        try:
            report = self.installation.report(self, self.services.env, as_nobody())
        finally:
            watcher.close()
        self.assertGreater(watcher.demoted, 0, report)
        realtime_kit = report["budget"]["realtime_kit"]
        self.assertFalse(realtime_kit["answers"], report)
        self.assertNotEqual(realtime_kit["contact"], "answered", report)
        self.assertNotIn("apt install rtkit", " ".join(report["hints"]))

    def test_beside_pipewire_its_threads_and_the_grants_make_rtkits_limit(self):
        # PipeWire asks RealtimeKit for nice -11 on its main thread and SCHED_RR on its data
        # thread; RealtimeKit counts both against the user's 25, and so does the report.
        if ARGS.thread_sanitizer:
            self.skipTest("the whole tool's RealtimeKit run is checked outside ThreadSanitizer")
        if shutil.which("pipewire") is None:
            self.skipTest("pipewire is not installed (a test-only package)")
        pipewire = self.start_pipewire()
        report = self.installation.report(self, self.services.env, as_nobody())
        held = [holder["threads"] for holder in report["budget"]["other_real_time_threads"]
                if holder["pid"] == pipewire]
        self.assertEqual(held, [2], report)
        self.assertEqual(report["granted"] + held[0], 25, self.log())

    def start_pipewire(self):
        """PipeWire as nobody on the test's system bus, once RealtimeKit has raised both its
        threads; its pid."""
        runtime = tempfile.mkdtemp(prefix="quorvane-pipewire-")
        self.addCleanup(shutil.rmtree, runtime, True)
        os.chown(runtime, pwd.getpwnam("nobody").pw_uid, -1)
        log = open(os.path.join(runtime, "pipewire.log"), "w+")
        self.addCleanup(log.close)
        env = {**os.environ, **self.services.env, "XDG_RUNTIME_DIR": runtime}
        pipewire = subprocess.Popen(as_nobody("pipewire"), env=env, stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log)
        self.addCleanup(stop, pipewire)
        deadline = time.monotonic() + READY_SECONDS
        while time.monotonic() < deadline and pipewire.poll() is None:
            raised = {"nice": False, "rr": False}
            for thread in os.listdir(f"/proc/{pipewire.pid}/task"):
                try:
                    raised["nice"] |= os.getpriority(os.PRIO_PROCESS, int(thread)) < 0
                    raised["rr"] |= os.sched_getscheduler(int(thread)) & ~RESET_ON_FORK == \
                        os.SCHED_RR
                except OSError:
                    pass
            if all(raised.values()):
                return pipewire.pid
            time.sleep(0.05)
        log.seek(0)
        raise AssertionError("RealtimeKit did not raise PipeWire's threads; pipewire said:\n" +
                             log.read() + self.log())

    def test_the_report_tells_a_missing_realtime_kit_from_one_that_does_not_answer(self):
        def contact_and_hints():
            report = self.installation.report(self, self.services.env, as_nobody())
            return report["budget"]["realtime_kit"]["contact"], " ".join(report["hints"])

        self.services.rtkit.send_signal(signal.SIGSTOP)
        contact, hints = contact_and_hints()
        self.assertEqual(contact, "timed_out", hints)
        self.assertIn("RealtimeKit did not answer in time", hints)
        self.assertNotIn("apt install rtkit", hints)
        stop(self.services.rtkit)
        contact, hints = contact_and_hints()
        self.assertEqual(contact, "not_installed", hints)
        self.assertIn("RealtimeKit is not installed: install it (apt install rtkit)", hints)

    def start_holder(self):
        """A process of nobody's with HELD threads made real-time by RealtimeKit; its pid."""
        holder = subprocess.Popen(
            as_nobody("prlimit", "--rttime=100000:200000", SYSTEM_PYTHON, "-c", HOLDER),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(stop, holder)
        self.addCleanup(holder.stdin.close)
        threads = []
        if select.select([holder.stdout], [], [], READY_SECONDS)[0]:
            threads = holder.stdout.readline().split()
        if len(threads) != HELD:
            raise AssertionError(f"the holder named {threads} for its threads")
        for thread in threads:
            subprocess.run(as_nobody("busctl", "--system", "call", "org.freedesktop.RealtimeKit1",
                                     "/org/freedesktop/RealtimeKit1",
                                     "org.freedesktop.RealtimeKit1", "MakeThreadRealtimeWithPID",
                                     "ttu", str(holder.pid), thread, "1"),
                           check=True, capture_output=True, timeout=READY_SECONDS,
                           env=dict(os.environ, **self.services.env))
        return holder.pid


    def test_a_service_phase_groups_realtime_kits_grants_apart_from_the_refused(self):
        if ARGS.thread_sanitizer:
            self.skipTest("the whole tool's RealtimeKit run is checked outside ThreadSanitizer")
        report = self.installation.report(self, self.services.env, as_nobody(),
                                          ("--service=0.5",))
        groups = check_service(self, report)
        # 187 periods of 2667 us in 0.5 s for each thread; RealtimeKit's 25 are the only
        # real-time ones, whatever they got of the two processors.
        self.assertEqual({name: (group["threads"], group["periods"])
                          for name, group in groups.items()},
                         {"RealtimeKit": (25, 25 * 187), "refused": (COUNT - 25, 103 * 187)},
                         self.log())
        self.assertEqual(report["service"]["real_time"], 25)


PORTAL = "/usr/libexec/xdg-desktop-portal"
PERMISSION_STORE = "/usr/libexec/xdg-permission-store"
BWRAP = "/usr/bin/bwrap"
APP_ID = "org.quorvane.Test"
INSTANCE = "4242"


class SessionBus:
    """nobody's private session bus, with the desktop portal (and, on request, the permission
    store) running as nobody in front of `services`' RealtimeKit; stopped by PID."""

    BUS_CONFIG = Services.BUS_CONFIG.replace("<type>system</type>", "<type>session</type>")

    def __init__(self, services):
        self.services = services
        self.folder = tempfile.mkdtemp(prefix="quorvane-session-")
        nobody = pwd.getpwnam("nobody")
        self.runtime = os.path.join(self.folder, "runtime")
        os.mkdir(self.runtime, 0o700)
        os.chmod(self.folder, 0o755)
        for path in (self.folder, self.runtime):
            os.chown(path, nobody.pw_uid, nobody.pw_gid)
        self.processes = []
        self.portal = None
        self.env = {}
        try:
            self.start()
        except BaseException:
            self.close()
            raise

    def log(self, name):
        return os.path.join(self.folder, f"{name}.log")

    def start(self):
        config = os.path.join(self.folder, "session.conf")
        with open(config, "w") as out:
            out.write(self.BUS_CONFIG.format(socket=os.path.join(self.runtime, "bus")))
        bus = self.spawn("dbus-daemon", ["dbus-daemon", f"--config-file={config}", "--nofork",
                                         "--print-address=1"], stdout=subprocess.PIPE)
        address = ""
        if select.select([bus.stdout], [], [], READY_SECONDS)[0]:
            address = bus.stdout.readline().strip()
        if not address:
            raise AssertionError("the session bus printed no address")
        self.env = {"DBUS_SESSION_BUS_ADDRESS": address, "XDG_RUNTIME_DIR": self.runtime}
        self.start_portal()

    def daemon_env(self):
        return {**os.environ, "HOME": self.folder, "XDG_CONFIG_HOME": self.folder,
                "XDG_DATA_HOME": os.path.join(self.folder, "data"), **self.services.env,
                **self.env}

    def spawn(self, name, command, stdout=subprocess.DEVNULL):
        with open(self.log(name), "a") as log:
            process = subprocess.Popen(as_nobody(*command), stdin=subprocess.DEVNULL,
                                       stdout=stdout, stderr=log, text=True,
                                       env=self.daemon_env())
        self.processes.append(process)
        return process

    def busctl(self, *arguments, check=True):
        return subprocess.run(as_nobody("busctl", f"--address={self.env['DBUS_SESSION_BUS_ADDRESS']}",
                                        *arguments),
                              capture_output=True, text=True, timeout=READY_SECONDS,
                              check=check, env=dict(os.environ, **self.env))

    def await_name(self, name, process, program):
        deadline = time.monotonic() + READY_SECONDS
        while time.monotonic() < deadline:
            if process.poll() is not None:
                break
            owned = self.busctl("call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus", "NameHasOwner", "s", name, check=False)
            if owned.stdout.strip() == "b true":
                return
            time.sleep(0.05)
        with open(self.log(program)) as log:
            raise AssertionError(f"{name} did not appear on the session bus; {program} said:\n"
                                 + log.read())

    def start_portal(self):
        """The portal reads RealtimeKit's values once, as it starts."""
        self.portal = self.spawn("portal", [PORTAL, "--replace"])
        self.await_name("org.freedesktop.portal.Desktop", self.portal, "portal")

    def restart_portal(self):
        stop(self.portal)
        self.processes.remove(self.portal)
        self.start_portal()

    def portal_values(self):
        values = {}
        for name in ("version", "MaxRealtimePriority", "MinNiceLevel", "RTTimeUSecMax"):
            said = self.busctl("get-property", "org.freedesktop.portal.Desktop",
                               "/org/freedesktop/portal/desktop",
                               "org.freedesktop.portal.Realtime", name).stdout.split()
            values[name] = int(said[1])
        return values

    def deny(self, app):
        """The permission store says `no` for `app`'s real-time scheduling."""
        store = self.spawn("permission-store", [PERMISSION_STORE, "--replace"])
        self.await_name("org.freedesktop.impl.portal.PermissionStore", store, "permission-store")
        self.busctl("call", "org.freedesktop.impl.portal.PermissionStore",
                    "/org/freedesktop/impl/portal/PermissionStore",
                    "org.freedesktop.impl.portal.PermissionStore", "SetPermission", "sbssas",
                    "realtime", "true", "realtime", app, "1", "no")

    def close(self):
        for process in reversed(self.processes):
            stop(process)
        shutil.rmtree(self.folder, ignore_errors=True)


def bwrap_missing():
    """Why bwrap cannot give a process a PID namespace of its own here, or None."""
    if not os.path.exists(BWRAP):
        return "bwrap is not installed (apt install bubblewrap)"
    tried = subprocess.run(as_nobody(BWRAP, "--ro-bind", "/", "/", "--unshare-pid", "true"),
                           capture_output=True, text=True, timeout=READY_SECONDS)
    if tried.returncode != 0:
        return "bwrap cannot make a PID namespace here: " + tried.stderr.strip()
    return None


class WithPortal(WithRealtimeKit):
    """Each test with RealtimeKit and, in front of it, a session bus and the portal of its own;
    the tool runs as nobody."""

    def setUp(self):
        super().setUp()
        if not os.path.exists(PORTAL):
            self.fail("the portal is missing: install xdg-desktop-portal")
        self.session = SessionBus(self.services)
        self.addCleanup(self.session.close)
        self.env = dict(self.services.env, **self.session.env)

    def sandbox(self):
        """bwrap as Flatpak starts an application: a fresh root, a PID namespace of its own,
        /.flatpak-info naming APP_ID and INSTANCE, and the instance's bwrapinfo.json where the
        portal looks; the system bus's folder hidden."""
        missing = bwrap_missing()
        if missing:
            self.skipTest(missing)
        info = os.path.join(self.session.folder, "flatpak-info")
        with open(info, "w") as out:
            out.write(f"[Application]\nname={APP_ID}\n\n[Instance]\ninstance-id={INSTANCE}\n")
        os.chmod(info, 0o644)
        instance = os.path.join(self.session.runtime, ".flatpak", INSTANCE)
        return as_nobody(
            "sh", "-c", f'mkdir -p "$0" && exec "$@" 3>"$0/bwrapinfo.json"', instance,
            BWRAP, "--ro-bind", "/usr", "/usr", "--symlink", "usr/lib", "/lib",
            "--symlink", "usr/lib64", "/lib64", "--symlink", "usr/bin", "/bin",
            "--ro-bind", "/etc", "/etc", "--bind", "/tmp", "/tmp",
            "--tmpfs", self.services.folder, "--proc", "/proc", "--dev", "/dev",
            "--unshare-pid", "--ro-bind", info, "/.flatpak-info", "--info-fd", "3", "--")

    def timed_report(self, env, prefix, *options):
        """The --json report, and how long the run took."""
        if ARGS.thread_sanitizer:
            self.skipTest("the whole tool's RealtimeKit run is checked outside ThreadSanitizer")
        start = time.monotonic()
        done = self.installation.run(os.path.basename(ARGS.tool), str(COUNT), "--json", *options,
                                     env=env, prefix=prefix)
        seconds = time.monotonic() - start
        self.assertEqual(done.returncode, 0, done.stderr + self.log())
        print(f"\n    {self.id().rsplit('.', 1)[1]} {' '.join(options)}: {seconds:.2f} s",
              file=sys.stderr)
        return parse_report(self, done.stdout)

    def assert_portal_grants(self, report, granted):
        """`granted` threads by the portal, all real-time at the barrier; the rest refused as
        RealtimeKit's limit behind the portal, the threads after its first answer not sent."""
        self.assertEqual(report["grants"], [{
            "by": "portal", "policy": "SCHED_RR", "priority_min": 24, "priority_max": 24,
            "realtime_priority_min": 18, "realtime_priority_max": 18, "threads": granted}],
            self.log())
        self.assertEqual(report["verified"]["applied"], granted)
        busy = "the portal: org.freedesktop.DBus.Error.AccessDenied: Device or resource busy"
        refusals = report["refusals"]
        self.assertEqual([(refusal["error"], refusal["threads"]) for refusal in refusals],
                         [(ERROR_TOO_MANY_THREADS, COUNT - granted)])
        said = sorted(refusals[0]["provider_said"])
        self.assertEqual(len(said), 2, said)
        self.assertTrue(said[0].endswith(busy), said)
        self.assertTrue(said[1].endswith(busy + " (its answer to an earlier thread; not asked)"),
                        said)
        self.assertIn("RealtimeKit's limit is reached", " ".join(report["hints"]))


class Portal(WithPortal):
    def test_a_host_process_through_the_portal(self):
        # Chosen explicitly (--via, then QUORVANE_VIA); RealtimeKit's own answer after a
        # restart, chosen the same way; the text report names what stands behind the portal.
        report = self.timed_report(self.env, as_nobody(), "--via=portal")
        self.assert_portal_grants(report, 25)
        self.assertTrue(all(said.startswith("the portal: ")  # the kernel was not asked
                            for said in report["refusals"][0]["provider_said"]), report)
        self.assertEqual((report["budget"]["sandboxed"], report["budget"]["paths"]),
                         (False, "portal"))
        self.services.restart_rtkit()
        report = self.timed_report(dict(self.env, QUORVANE_VIA="realtimekit"), as_nobody())
        self.assertEqual([(grant["by"], grant["threads"]) for grant in report["grants"]],
                         [("RealtimeKit", 25)])
        # Unchosen, outside a sandbox: the portal once the system bus cannot be reached.
        self.services.restart_rtkit()
        done = self.installation.run(os.path.basename(ARGS.tool), str(COUNT), "--explain",
                                     env=dict(self.env, **{"DBUS_SYSTEM_BUS_ADDRESS":
                                                           NO_BUS["DBUS_SYSTEM_BUS_ADDRESS"]}),
                                     prefix=as_nobody())
        for line in ("  25 by portal (RealtimeKit behind it): SCHED_RR, priority 24 (real-time "
                     "priority 18)", "  paths tried, in order: kernel,realtimekit,portal",
                     "  25 granted and applied, real-time through the work"):
            self.assertIn("\n" + line + "\n", done.stdout)

    def test_a_sandboxed_process_through_the_portals_pid_mapping(self):
        # In its own PID namespace the tool's ids mean nothing to RealtimeKit, and the system
        # bus is out of reach: the portal maps them. Then the permission store says no.
        sandbox = self.sandbox()
        report = self.timed_report(self.env, sandbox)
        self.assert_portal_grants(report, 25)
        self.assertEqual((report["budget"]["sandboxed"], report["budget"]["paths"]),
                         (True, "kernel,portal,realtimekit"))
        # An instance whose bwrapinfo.json is not where the portal looks: its ids cannot be
        # mapped, and RealtimeKit, which would not see them either, is not asked.
        os.remove(os.path.join(self.session.runtime, ".flatpak", INSTANCE, "bwrapinfo.json"))
        unmapped = [argument.replace("bwrapinfo.json", "elsewhere.json") for argument in sandbox]
        report = self.timed_report(self.env, unmapped)
        self.assertEqual([(refusal["error"], refusal["threads"]) for refusal in report["refusals"]],
                         [(ERROR_ACCESS_DENIED, COUNT)])
        self.assertIn("Could not map pid: Could not determine pid namespace",
                      report["refusals"][0]["provider_said"][0])
        self.assertIn("the portal could not map this process's ids", " ".join(report["hints"]))
        self.services.restart_rtkit()
        self.session.deny(APP_ID)
        report = self.timed_report(self.env, sandbox)
        self.assertEqual((report["granted"], report["verified"]["applied"]), (0, 0))
        self.assertEqual(report["refusals"], [{
            "error": ERROR_ACCESS_DENIED, "meaning": "access denied", "threads": COUNT,
            "provider_said": ["the kernel: Operation not permitted; the portal: "
                              "org.freedesktop.portal.Error.NotAllowed: Permission denied"]}])
        self.assertIn(f"`flatpak permission-set realtime realtime {APP_ID} yes`",
                      " ".join(report["hints"]))

    def test_a_hung_portal_costs_one_wait_and_a_forked_child_asks_on_its_own(self):
        # The child of a registered process asks the portal on a connection of its own.
        self.assertEqual(self.installation.scenario(
            "single", dict(self.env, QUORVANE_VIA="portal"), as_nobody()), {
            "first": "granted SCHED_RR|SCHED_RESET_ON_FORK 18",
            "second": "refused 1552",
            "child": "granted SCHED_RR|SCHED_RESET_ON_FORK 18",
            "revert": "reverted SCHED_BATCH|SCHED_RESET_ON_FORK 0",
            "again": "failed 6"}, self.log())
        nobody = as_nobody()
        without_bus = TimedRun(self.installation, NO_BUS, nobody)
        self.session.portal.send_signal(signal.SIGSTOP)
        env = dict(self.env, QUORVANE_VIA="portal")
        run = TimedRun(self.installation, env, nobody)
        print(f"\n    hung portal: {run.seconds:.2f} s, no bus: {without_bus.seconds:.2f} s",
              file=sys.stderr)
        self.assertEqual(run.result, (0, 0, COUNT))
        self.assertLess(run.seconds, without_bus.seconds + BUS_FAULT_SECONDS)
        self.assertEqual(self.installation.probe(env, nobody), refused(ERROR_TIMEOUT))


class PortalLimits(WithPortal):
    def test_a_late_grant_through_the_portal_is_undone(self):
        # polkit answers RealtimeKit after the provider's request has given up: the grant
        # comes through the portal all the same, and the provider takes it back.
        self.services.polkitd.send_signal(signal.SIGSTOP)
        resume = threading.Timer(3.5, self.services.polkitd.send_signal, (signal.SIGCONT,))
        resume.start()
        self.addCleanup(resume.cancel)
        counts = self.installation.probe(dict(self.env, QUORVANE_VIA="portal"), as_nobody(),
                                         count=8, hold_ms=6000)
        self.assertEqual(counts, refused(ERROR_TIMEOUT, 8), self.log())
        self.assertIn("Successfully made thread", "".join(self.services.rtkit_log), self.log())

    """What the portal reports, and the budget it shares with RealtimeKit's direct callers."""

    def test_a_portal_started_before_realtimekit_reports_0_and_nothing_is_killed(self):
        stop(self.services.rtkit)
        self.session.restart_portal()
        self.services.start_rtkit()
        self.assertEqual(self.session.portal_values(), {
            "version": 1, "MaxRealtimePriority": 0, "MinNiceLevel": 0, "RTTimeUSecMax": 0})
        # Asked with RealtimeKit's defaults: the hard limit 200 ms, never 0 nor unlimited.
        report = self.timed_report(dict(self.env, QUORVANE_VIA="portal"), as_nobody())
        self.assert_portal_grants(report, 25)
        budget = report["budget"]
        self.assertEqual(budget["rlimit_rttime_us"]["hard"], 200000)
        self.assertEqual(budget["portal"], {
            "answers": True, "version": 1, "max_realtime_priority": 0, "min_nice_level": 0,
            "rttime_usec_max": 0, "values_unusable": True})
        self.assertTrue(any("restart the portal after RealtimeKit" in hint
                            for hint in report["hints"]), report["hints"])

    def test_the_portal_shares_realtimekits_per_user_limit_with_direct_callers(self):
        holder = RealtimeKitReport.start_holder(self)
        report = self.timed_report(dict(self.env, QUORVANE_VIA="portal"), as_nobody())
        self.assert_portal_grants(report, 25 - HELD)
        self.assertIn({"process": "python3", "pid": holder, "threads": HELD},
                      report["budget"]["other_real_time_threads"])
        self.assertEqual(report["budget"]["portal"], {
            "answers": True, "version": 1, "max_realtime_priority": 20, "min_nice_level": -15,
            "rttime_usec_max": 200000, "values_unusable": False})


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--runtime", required=True, help="the POSIX layer's shared library")
    parser.add_argument("--provider", required=True, help="the avrt provider, libavrt.so")
    parser.add_argument("--thread-sanitizer", action="store_true", help="built with TSan")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=sys.argv[:1] + rest, verbosity=2)


if __name__ == "__main__":
    main()
