#!/usr/bin/env python3
"""End-to-end tests of the real quorvane executable: the whole standard output, byte for byte.

A Windows build runs through the Wine wrapper given as --emulator; Wine writes CRLF, which is
normalised before comparing. Every run has standard input closed and a time bound.
"""
import argparse
import fcntl
import os
import pwd
import random
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "test_support"))
from report_check import check_service, parse_report  # noqa: E402

ARGS = None
TIMEOUT_SECONDS = 120

RULE = "#" * 30 + " Quorvane " + "#" * 30
BANNER = "\n".join([
    RULE,
    "",
    "This tool checks how many threads can run with MMCSS priority in a single process.",
    "By default it will create and start 128 threads with MMCSS priority.",
    "It will display the amount of threads which has been running with MMCSS ",
    "priority successfully and the amount of threads which has failed to run ",
    "with MMCSS priority.",
    "",
    "By default Windows 10 will succeed with 32 threads and fail with 96 threads. ",
    "Windows versions prior to Windows 10 should allow any amount of threads to succeed.",
    "To change the amount of threads run quorvane.exe <amount>",
    "",
    RULE,
    "",
]) + "\n"


def on_windows():
    return bool(ARGS.emulator)


def pause_prompt():
    # Wine's command processor, or the tool's own prompt where there is no "pause" command.
    return "Press any key to continue... " if on_windows() else "Press any key to continue . . . "


def expected(count, succeeded, failed, not_started=0):
    text = BANNER + f"starting {count} threads\n"
    text += f"threads with MMCSS priority: {succeeded}\n"
    text += f"threads failed to set MMCSS priority: {failed}\n"
    if not_started:
        text += f"threads that could not be started: {not_started}\n"
    return text + pause_prompt()


class Installation:
    """The tool in a folder of its own, with or without an avrt library beside it."""

    def __init__(self, avrt_library=None):
        self.folder = tempfile.mkdtemp(prefix="quorvane-e2e-")
        os.chmod(self.folder, 0o755)  # an unprivileged user runs it too
        self.tool = shutil.copy(ARGS.tool, self.folder)
        if ARGS.runtime:
            shutil.copy(ARGS.runtime, self.folder)
        if avrt_library:
            shutil.copy(avrt_library, os.path.join(self.folder, avrt_file_name()))

    def remove(self):
        shutil.rmtree(self.folder)

    def run(self, *arguments, env=None, prefix=(), with_stderr=False):
        environment = dict(os.environ)
        environment.update(env or {})
        if ARGS.runtime:
            environment["LD_LIBRARY_PATH"] = self.folder
        command = [*prefix, *([ARGS.emulator] if on_windows() else []), self.tool, *arguments]
        done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=TIMEOUT_SECONDS, env=environment)
        result = (done.returncode, done.stdout.replace(b"\r\n", b"\n").decode())
        return (*result, done.stderr.replace(b"\r\n", b"\n").decode()) if with_stderr else result


def avrt_file_name():
    return "avrt.dll" if on_windows() else "libavrt.so"


# Where there is no avrt library: Wine is told to load none; Linux has none installed.
NO_AVRT = {"WINEDLLOVERRIDES": "avrt="}


class CommandLine(unittest.TestCase):
    # (arguments, the count the start line shows); each runs with no avrt library.
    CASES = [
        ((), 128),
        (("32",), 32),
        (("12abc",), 12),
        (("abc",), 0),
        ((" 7",), 7),
        (("5", "9"), 5),
        (("0",), 0),
        (("1",), 1),
        (("-3",), -3),
        (("-99999999999",), -2147483648),
    ]

    def setUp(self):
        self.installation = Installation()
        self.addCleanup(self.installation.remove)

    def test_counts_and_results(self):
        for arguments, count in self.CASES:
            with self.subTest(arguments=arguments):
                status, output = self.installation.run(*arguments, env=NO_AVRT)
                self.assertEqual(output, expected(count, 0, max(count, 0)))
                self.assertEqual(status, 0)

    def test_counts_too_large_to_run_are_refused(self):
        for argument, count in (("65537", 65537), ("99999999999", 2147483647)):
            with self.subTest(argument=argument):
                status, output, errors = self.installation.run(argument, env=NO_AVRT,
                                                               with_stderr=True)
                self.assertEqual(output, BANNER + f"starting {count} threads\n"
                                 "too many threads: the largest count accepted is 65536\n",
                                 errors)
                self.assertEqual(status, 1, errors)


class Options(unittest.TestCase):
    """Arguments that start with "--" are options; the first other argument is the count."""

    def setUp(self):
        self.installation = Installation()
        self.addCleanup(self.installation.remove)

    def test_help_version_and_unknown_options(self):
        status, output, errors = self.installation.run("--help", "7", with_stderr=True)
        self.assertEqual((status, errors), (0, ""))
        usage = ("Usage: quorvane [count] [--explain | --json] [--service[=SECONDS] [--period=US] "
                 "[--work=US]]\n                [--via=LIST]\n")
        self.assertTrue(output.startswith(usage), output)
        for option in ("--explain", "--json", "--help", "--version", "--via=LIST"):
            self.assertIn(option, output)
        self.assertEqual(self.installation.run("--version", with_stderr=True),
                         (0, f"quorvane {ARGS.version}\n", ""))
        self.assertEqual(self.installation.run("5", "--bogus", with_stderr=True),
                         (1, "", "quorvane: unknown option --bogus (see quorvane --help)\n"))
        # Control characters are escaped: the message stays one line.
        self.assertEqual(self.installation.run("--bo\ngus\x1b", with_stderr=True),
                         (1, "", "quorvane: unknown option --bo\\ngus\\x1b (see quorvane --help)\n"))

    def test_via_takes_only_this_platforms_paths(self):
        # One line and status 1 for a word that names no path here, before any run.
        known, foreign = (("mmcss", "kernel") if on_windows() else
                          ("kernel, portal, realtimekit", "mmcss"))
        for via, word in ((foreign, foreign), ("", ""), (f"{known.split(', ')[0]},bogus", "bogus")):
            self.assertEqual(self.installation.run("5", f"--via={via}", with_stderr=True),
                             (1, "", f'quorvane: --via: unknown path "{word}" (known: {known})\n'))
        status, output = self.installation.run("2", f"--via={known.split(', ')[-1]}", env=NO_AVRT)
        self.assertEqual((status, output), (0, expected(2, 0, 2)))

    def test_explain_adds_the_report_between_the_results_and_the_pause(self):
        status, output = self.installation.run("--explain", "-3abc", env=NO_AVRT)
        self.assertEqual(status, 0)
        plain = expected(-3, 0, 0)
        self.assertTrue(output.startswith(plain[:-len(pause_prompt())]), output)
        self.assertTrue(output.endswith("\nAn application in this process can rely on 0 "
                                        "real-time threads now.\n" + pause_prompt()), output)

    def test_a_run_without_threads_still_looks_for_its_avrt_library(self):
        status, output = self.installation.run("0", "--json", env=NO_AVRT)
        self.assertEqual(status, 0)
        report = parse_report(self, output)
        self.assertEqual((report["requested"], report["grants"], report["refusals"]), (0, [], []))
        self.assertEqual(report["budget"]["avrt_library"], "absent")

    def test_json_without_an_avrt_library(self):
        status, output = self.installation.run("6", "--json", env=NO_AVRT)
        self.assertEqual(status, 0)
        report = parse_report(self, output)
        self.assertEqual((report["requested"], report["granted"], report["grants"]), (6, 0, []))
        self.assertEqual(report["refusals"], [{"error": 126, "meaning": "no avrt library found",
                                               "threads": 6, "provider_said": []}])
        self.assertEqual(report["budget"]["avrt_library"], "absent")


class Providers(unittest.TestCase):
    """128 probe threads against the avrt library the platform offers."""

    def run_with(self, avrt_library, env, *arguments):
        installation = Installation(avrt_library)
        self.addCleanup(installation.remove)
        return installation.run(*arguments, env=env)

    def test_no_avrt_library_fails_every_thread(self):
        self.assertEqual(self.run_with(None, NO_AVRT), (0, expected(128, 0, 128)))

    def test_a_provider_refusing_everything_fails_every_thread(self):
        if on_windows():
            result = self.run_with(None, {"WINEDLLOVERRIDES": "avrt=b"})  # Wine's own avrt.dll
        else:
            result = self.run_with(ARGS.fake_avrt, {"QUORVANE_FAKE_AVRT_GRANTS": "0"})
        self.assertEqual(result, (0, expected(128, 0, 128)))

    def test_a_provider_granting_32_is_counted_exactly(self):
        result = self.run_with(ARGS.fake_avrt, {"WINEDLLOVERRIDES": "avrt=n",
                                                "QUORVANE_FAKE_AVRT_GRANTS": "32"})
        self.assertEqual(result, (0, expected(128, 32, 96)))

    def test_the_report_shows_32_grants_that_change_nothing(self):
        status, output = self.run_with(ARGS.fake_avrt, {"WINEDLLOVERRIDES": "avrt=n",
                                                        "QUORVANE_FAKE_AVRT_GRANTS": "32"},
                                       "--json")
        self.assertEqual(status, 0)
        report = parse_report(self, output)
        self.assertEqual((report["requested"], report["granted"], report["not_started"]),
                         (128, 32, 0))
        # The stand-in hands out handles and leaves the scheduling as it was.
        [grant] = report["grants"]
        self.assertEqual(grant["threads"], 32)
        self.assertEqual(grant["priority_min"], grant["priority_max"])
        self.assertEqual(report["verified"], {"applied": 0, "granted_not_applied": 32,
                                              "refused_but_real_time": 0, "demoted": 0})
        self.assertEqual(report["refusals"], [{"error": 565, "meaning": "too many threads",
                                               "threads": 96, "provider_said": []}])
        self.assertEqual(report["hints"][0].split(";")[0],
                         "registrations granted but not applied: 32")
        budget = report["budget"]
        if on_windows():
            self.assertEqual((grant["by"], grant["policy"]), ("MMCSS", None))
            self.assertRegex(budget["wine"], r"^\d+\.")
            self.assertIn("under Wine", " ".join(report["hints"]))
        else:
            self.assertEqual((grant["by"], grant["policy"]), ("avrt library", "SCHED_OTHER"))
            self.assertEqual(budget["avrt_library"], "other")

    def test_a_fifo_by_the_providers_name_on_the_library_path_is_passed_over(self):
        if on_windows():
            self.skipTest("the library path is Linux's")
        installation = Installation()
        self.addCleanup(installation.remove)
        folder = tempfile.mkdtemp(prefix="quorvane-e2e-fifo-")
        self.addCleanup(shutil.rmtree, folder)
        os.mkfifo(os.path.join(folder, "libavrt.so"))
        library_path = f"{installation.folder}:{folder}"
        # The loader, handed the FIFO, would block until the run's time bound.
        self.assertEqual(installation.run("3", prefix=("env", f"LD_LIBRARY_PATH={library_path}")),
                         (0, expected(3, 0, 3)))


    def test_applied_means_real_time_at_the_barrier(self):
        # Threads that start real-time (chrt) keep it under a stand-in that changes nothing:
        # applied, and reliable. A stand-in that only raises the priority within the normal
        # range leaves them normal: not applied, reliable 0.
        if on_windows() or os.geteuid() != 0:
            self.skipTest("chrt and a raised priority need root on Linux")
        grants = {"QUORVANE_FAKE_AVRT_GRANTS": "8"}
        status, output = self.run_with(ARGS.fake_avrt, grants, "8", "--json")[:2]
        self.assertEqual(status, 0)
        self.assertEqual(parse_report(self, output)["verified"]["applied"], 0)
        installation = Installation(ARGS.fake_avrt)
        self.addCleanup(installation.remove)
        status, output = installation.run("8", "--explain", env=grants,
                                          prefix=("chrt", "-f", "50"))
        self.assertEqual(status, 0)
        self.assertIn("  8 granted and applied, real-time through the work\n", output)
        self.assertIn("can rely on 8 real-time threads now.", output)
        status, output = installation.run("8", "--json",
                                          env=dict(grants, QUORVANE_FAKE_AVRT_RAISE="1"))
        report = parse_report(self, output)
        [grant] = report["grants"]
        self.assertEqual((grant["policy"], grant["priority_min"]), ("SCHED_OTHER", 15), report)
        self.assertEqual((report["verified"]["granted_not_applied"], report["reliable"]), (8, 0))


# A process of the test's own, named by the kernel from `name` (cut at 15 bytes), with one
# thread at a negative nice value, which RealtimeKit counts as it counts real-time threads.
NAMED_HOLDER = """
import ctypes, os, sys, threading
ctypes.CDLL(None).prctl(15, sys.argv[1].encode("utf-8", "surrogateescape"))  # PR_SET_NAME
ready = threading.Event()
def hold():
    os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), -5)
    ready.set()
    sys.stdin.read()
threading.Thread(target=hold, daemon=True).start()
ready.wait(10)
print("ready", flush=True)
sys.stdin.read()
"""


class OtherProcesses(unittest.TestCase):
    """The report's account of this user's other processes, whatever their names hold."""

    def setUp(self):
        if on_windows() or os.geteuid() != 0:
            self.skipTest("a negative nice value for the test's own process needs root on Linux")
        self.installation = Installation(ARGS.fake_avrt)
        self.addCleanup(self.installation.remove)

    def start_holder(self, name):
        holder = subprocess.Popen([sys.executable, "-c", NAMED_HOLDER, name],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(holder.wait, TIMEOUT_SECONDS)
        self.addCleanup(holder.stdin.close)
        self.addCleanup(holder.stdout.close)
        self.assertEqual(holder.stdout.readline(), b"ready\n")
        return holder.pid

    def test_names_of_any_bytes_stay_valid_json_and_one_line(self):
        # The kernel cuts "é" (two bytes) in half at the 15th byte; a newline is kept whole.
        cut = self.start_holder("abcdefghijklmné-player")
        newline = self.start_holder("two\nlines")
        status, output = self.installation.run("1", "--json")
        self.assertEqual(status, 0)
        mine = {holder["pid"]: holder for holder in
                parse_report(self, output)["budget"]["other_real_time_threads"]
                if holder["pid"] in (cut, newline)}
        self.assertEqual(mine, {
            cut: {"process": "abcdefghijklmn\ufffd", "pid": cut, "threads": 1},
            newline: {"process": "two\nlines", "pid": newline, "threads": 1}})
        status, output = self.installation.run("1", "--explain")
        self.assertIn(f" two\\nlines (pid {newline}) 1", output)
        self.assertIn(f" abcdefghijklmn\ufffd (pid {cut}) 1", output)


class ThreadLimit(unittest.TestCase):
    def setUp(self):
        if on_windows():
            self.skipTest("a per-user thread limit is Linux's")

    def test_threads_that_cannot_be_created_are_counted_and_reported(self):
        installation = Installation()
        self.addCleanup(installation.remove)
        # RLIMIT_NPROC counts a user's threads in the user namespace they run in, but not root's:
        # a namespace of its own counts only the tool's, and root runs it as nobody.
        prefix = ["unshare", "--user", "--map-root-user", "prlimit", "--nproc=6", "--"]
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            prefix = ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}",
                      "--clear-groups", *prefix]
        # Some machines refuse user namespaces (a sysctl, a container's seccomp profile).
        tried = subprocess.run([*prefix, "true"], stdin=subprocess.DEVNULL, capture_output=True,
                               text=True, timeout=TIMEOUT_SECONDS)
        if tried.returncode != 0:
            self.skipTest("no user namespace with a thread limit of its own here: "
                          + (tried.stderr.strip() or f"status {tried.returncode}"))
        # LeakSanitizer's check at exit starts a thread of its own, which the limit refuses while
        # the workers that just ended are still being counted.
        env = {"ASAN_OPTIONS": "detect_leaks=0"} if ARGS.sanitized else None
        status, output, errors = installation.run("32", env=env, prefix=prefix, with_stderr=True)
        self.assertEqual(status, 0, errors)
        lines = output.splitlines()
        succeeded = int(lines[-4].split(": ")[1])
        failed = int(lines[-3].split(": ")[1])
        not_started = int(lines[-2].split(": ")[1])
        self.assertGreater(not_started, 0)
        self.assertEqual(succeeded + failed, 32)
        self.assertEqual(output, expected(32, succeeded, failed, not_started))


class LongInstallPath(unittest.TestCase):
    """The library beside the tool is found when the tool's path is longer than PATH_MAX."""

    SEGMENT = "d" * 200
    DEPTH = 22  # 22 * 201 bytes: beyond the 4096 one path may name

    def setUp(self):
        if on_windows():
            self.skipTest("the executable's folder is the layer's to find on Linux")
        self.top = tempfile.mkdtemp(prefix="quorvane-long-")
        os.chmod(self.top, 0o755)
        self.addCleanup(shutil.rmtree, self.top)
        # Only the layer on the library path: libavrt.so is found beside the tool or not at all.
        self.runtime = os.path.join(self.top, "runtime")
        os.mkdir(self.runtime)
        shutil.copy(ARGS.runtime, self.runtime)
        folder = os.open(self.top, os.O_RDONLY)
        for _ in range(self.DEPTH):
            os.mkdir(self.SEGMENT, mode=0o755, dir_fd=folder)
            inner = os.open(self.SEGMENT, os.O_RDONLY, dir_fd=folder)
            os.close(folder)
            folder = inner
        for source, name in ((ARGS.tool, "quorvane"), (ARGS.fake_avrt, avrt_file_name())):
            with open(source, "rb") as given:
                data = given.read()
            copy = os.open(name, os.O_WRONLY | os.O_CREAT, 0o755, dir_fd=folder)
            os.write(copy, data)
            os.close(copy)
        os.close(folder)

    def enter(self):
        for _ in range(self.DEPTH):
            os.chdir(self.SEGMENT)

    def test_the_provider_beside_a_deeply_installed_tool_is_used(self):
        self.assertGreater((len(self.SEGMENT) + 1) * self.DEPTH + len(self.top), 4096)
        environment = dict(os.environ, LD_LIBRARY_PATH=self.runtime,
                           QUORVANE_FAKE_AVRT_GRANTS="32")
        done = subprocess.run(["./quorvane"], cwd=self.top, preexec_fn=self.enter,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=TIMEOUT_SECONDS, env=environment)
        self.assertEqual((done.returncode, done.stdout.decode()), (0, expected(128, 32, 96)))


class OutputFaults(unittest.TestCase):
    """Results that cannot be written are reported as a failure, never as a success."""

    LOST = "quorvane: the results could not be written to standard output\n"

    def setUp(self):
        if on_windows():
            self.skipTest("full devices and closed descriptors are checked on Linux")
        self.installation = Installation()
        self.addCleanup(self.installation.remove)

    def run_tool(self, stdout, preexec_fn=None, option=()):
        environment = dict(os.environ, LD_LIBRARY_PATH=self.installation.folder)
        done = subprocess.run([self.installation.tool, "4", *option], stdin=subprocess.DEVNULL,
                              stdout=stdout, stderr=subprocess.PIPE, preexec_fn=preexec_fn,
                              timeout=TIMEOUT_SECONDS, env=environment)
        return done.returncode, done.stderr.decode()

    def test_a_full_device_gives_status_2_and_says_so(self):
        for option in ((), ("--explain",), ("--json",), ("--help",)):
            with self.subTest(option=option), open("/dev/full", "wb") as full:
                self.assertEqual(self.run_tool(full, option=option), (2, self.LOST))

    def test_a_closed_standard_output_gives_status_2_and_says_so(self):
        self.assertEqual(self.run_tool(None, preexec_fn=lambda: os.close(1)), (2, self.LOST))

    def test_output_that_was_written_gives_status_0(self):
        self.assertEqual(self.run_tool(subprocess.DEVNULL), (0, ""))

    def test_a_pipe_closed_early_ends_the_tool_by_sigpipe(self):
        reader, writer = os.pipe()
        os.close(reader)
        try:
            self.assertEqual(self.run_tool(writer), (-signal.SIGPIPE, ""))
        finally:
            os.close(writer)


class OutOfMemory(unittest.TestCase):
    def setUp(self):
        if on_windows():
            self.skipTest("an address-space limit is set with Linux's prlimit")
        if ARGS.sanitized:
            self.skipTest("a sanitizer reserves more address space than the limit allows")

    def test_a_run_too_large_for_memory_says_so_and_exits_with_3(self):
        installation = Installation()
        self.addCleanup(installation.remove)
        environment = dict(os.environ, LD_LIBRARY_PATH=installation.folder)
        done = subprocess.run(["prlimit", "--as=14000000", "--", installation.tool, "65536"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=TIMEOUT_SECONDS, env=environment)
        self.assertEqual(done.returncode, 3)
        self.assertRegex(done.stderr.decode(), r"\Aquorvane: out of memory: made \d+ of the "
                         r"65536 workers of the run\n\Z")
        self.assertEqual(done.stdout.decode(), BANNER + "starting 65536 threads\n")


class TerminalSession:
    """The tool in the foreground of a pseudo-terminal of its own, started as a job-control
    shell starts a job: a session leader waits for it and reports each stop and its end."""

    PROMPT = b"Press any key to continue . . . "

    def __init__(self, installation):
        self.master, self.slave = os.openpty()
        self.original = termios.tcgetattr(self.slave)
        self.output = b""
        events, report = os.pipe()
        environment = dict(os.environ, LD_LIBRARY_PATH=installation.folder)
        self.shell = os.fork()
        if self.shell == 0:
            self.run_shell(installation.tool, environment, report)
        os.close(report)
        self.events = os.fdopen(events, "rb", buffering=0)
        self.tool = int(self.next_event())

    def run_shell(self, tool, environment, report):
        try:
            os.close(self.master)
            os.setsid()
            fcntl.ioctl(self.slave, termios.TIOCSCTTY, 0)
            child = os.fork()
            if child == 0:
                # A group of its own in the foreground, so that Ctrl-Z stops it.
                os.setpgid(0, 0)
                signal.signal(signal.SIGTTOU, signal.SIG_IGN)
                os.tcsetpgrp(self.slave, os.getpid())
                signal.signal(signal.SIGTTOU, signal.SIG_DFL)
                for descriptor in (0, 1, 2):
                    os.dup2(self.slave, descriptor)
                os.execve(tool, [tool, "0"], environment)
            os.write(report, f"{child}\n".encode())
            while True:
                _, status = os.waitpid(child, os.WUNTRACED)
                os.write(report, f"{status}\n".encode())
                if not os.WIFSTOPPED(status):
                    os._exit(0)
        finally:
            os._exit(1)

    def next_event(self, seconds=TIMEOUT_SECONDS):
        line = b""
        deadline = time.monotonic() + seconds
        while not line.endswith(b"\n"):
            ready, _, _ = select.select([self.events], [], [], deadline - time.monotonic())
            if not ready:
                raise AssertionError("the tool neither stopped nor ended in time")
            byte = self.events.read(1)
            if not byte:
                raise AssertionError("the session ended without a report")
            line += byte
        return line.decode().strip()

    def next_status(self):
        return int(self.next_event())

    def read_output(self, until, seconds=TIMEOUT_SECONDS):
        deadline = time.monotonic() + seconds
        while until not in self.output:
            ready, _, _ = select.select([self.master], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                raise AssertionError(f"no {until!r} in {self.output!r}")
            self.output += os.read(self.master, 4096)

    def await_modes(self, raw):
        deadline = time.monotonic() + TIMEOUT_SECONDS
        while bool(termios.tcgetattr(self.slave)[3] & termios.ICANON) == raw:
            if time.monotonic() > deadline:
                raise AssertionError("the terminal's modes did not change")
            time.sleep(0.01)

    def await_pause(self):
        self.read_output(self.PROMPT)
        self.await_modes(raw=True)

    def press(self, keys):
        os.write(self.master, keys)

    def unread_bytes(self):
        return struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0" * 4))[0]

    def restored(self):
        return termios.tcgetattr(self.slave) == self.original

    def close(self):
        try:
            os.killpg(self.tool, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            os.kill(self.tool, signal.SIGCONT)
        except ProcessLookupError:
            pass
        self.events.close()
        os.waitpid(self.shell, 0)
        os.close(self.master)
        os.close(self.slave)


class TerminalPause(unittest.TestCase):
    """The pause on a real pseudo-terminal: one key press, and the terminal given back on every
    way out a user can take."""

    def setUp(self):
        if on_windows():
            self.skipTest("Windows pauses with its command processor")
        installation = Installation()
        self.addCleanup(installation.remove)
        self.session = TerminalSession(installation)
        self.addCleanup(self.session.close)
        self.session.await_pause()

    def assert_ended(self, status, exit_code=None, by_signal=None):
        if by_signal is None:
            self.assertTrue(os.WIFEXITED(status), status)
            self.assertEqual(os.WEXITSTATUS(status), exit_code)
        else:
            self.assertTrue(os.WIFSIGNALED(status), status)
            self.assertEqual(os.WTERMSIG(status), by_signal)
        self.assertTrue(self.session.restored(), "the terminal was left in the pause's modes")

    def test_a_key_of_several_bytes_is_taken_whole(self):
        self.session.press(b"\x1b[A")  # the up arrow
        self.assert_ended(self.session.next_status(), exit_code=0)
        self.assertEqual(self.session.unread_bytes(), 0)

    def test_a_multi_byte_letter_is_taken_whole(self):
        self.session.press("é".encode())
        self.assert_ended(self.session.next_status(), exit_code=0)
        self.assertEqual(self.session.unread_bytes(), 0)

    def test_ctrl_c_ends_by_sigint_with_the_terminal_restored(self):
        self.session.press(b"\x03")
        self.assert_ended(self.session.next_status(), by_signal=signal.SIGINT)

    def test_sigterm_ends_by_sigterm_with_the_terminal_restored(self):
        os.kill(self.session.tool, signal.SIGTERM)
        self.assert_ended(self.session.next_status(), by_signal=signal.SIGTERM)

    def test_sighup_ends_by_sighup_with_the_terminal_restored(self):
        os.kill(self.session.tool, signal.SIGHUP)
        self.assert_ended(self.session.next_status(), by_signal=signal.SIGHUP)

    def test_ctrl_z_gives_the_terminal_back_and_continue_takes_one_key_unechoed(self):
        self.session.press(b"\x1a")
        status = self.session.next_status()
        self.assertTrue(os.WIFSTOPPED(status), status)
        self.assertTrue(self.session.restored(), "stopped with the terminal in the pause's modes")
        echoed_before = len(self.session.output)
        os.kill(self.session.tool, signal.SIGCONT)  # `fg`: still the foreground group
        self.session.await_modes(raw=True)
        self.session.press(b"k")
        self.assert_ended(self.session.next_status(), exit_code=0)
        self.session.read_output(b"\n")
        self.assertNotIn(b"k", self.session.output[echoed_before:])


class WholeRunStress(unittest.TestCase):
    """Whole runs with random counts and grants: every run ends in time and its counts add up."""

    ROUNDS = 8

    def test_random_runs_always_add_up(self):
        seed = random.randrange(1 << 32)
        chooser = random.Random(seed)
        installation = Installation(ARGS.fake_avrt)
        self.addCleanup(installation.remove)
        for round_number in range(self.ROUNDS):
            count = chooser.randint(0, 32)
            grants = chooser.randint(0, count + 8)
            with self.subTest(seed=seed, round=round_number, count=count, grants=grants):
                env = {"WINEDLLOVERRIDES": "avrt=n", "QUORVANE_FAKE_AVRT_GRANTS": str(grants)}
                held = min(count, grants)
                self.assertEqual(installation.run(str(count), env=env),
                                 (0, expected(count, held, count - held)))


class Service(unittest.TestCase):
    """--service: a periodic loop on every worker with every registration held."""

    def setUp(self):
        self.installation = Installation(ARGS.fake_avrt)
        self.addCleanup(self.installation.remove)

    def test_option_errors_are_one_line_and_status_1(self):
        for arguments, said in (
                (("--service=0.05",), "--service=0.05: the phase lasts 0.1 to 60 seconds"),
                (("--service=61",), "--service=61: the phase lasts 0.1 to 60 seconds"),
                (("--service=",), "--service=: the phase lasts 0.1 to 60 seconds"),
                (("--service", "--period=99"),
                 "--period=99: the period is 100 to 1000000 microseconds"),
                (("--service", "--period=1000001"),
                 "--period=1000001: the period is 100 to 1000000 microseconds"),
                (("--service", "--period=1e3"),
                 "--period=1e3: the period is 100 to 1000000 microseconds"),
                (("--service", "--work=-1"), "--work=-1: the work is 0 microseconds to the period"),
                (("--service", "--period=500", "--work=501"),
                 "--work=501 is longer than the period (500 us)"),
                (("--service", "--work=2668"), "--work=2668 is longer than the period (2667 us)"),
                (("--period=1000",), "--period needs --service"),
                (("--work=10", "--json"), "--work needs --service"),
                (("--service", "--period", "1000"),
                 "--period needs its value after \"=\": --period=US")):
            with self.subTest(arguments=arguments):
                self.assertEqual(self.installation.run("3", *arguments, with_stderr=True),
                                 (1, "", f"quorvane: {said} (see quorvane --help)\n"))

    def test_every_thread_reports_every_period_by_what_it_held_and_the_phase_ends_on_time(self):
        env = {"WINEDLLOVERRIDES": "avrt=n", "QUORVANE_FAKE_AVRT_GRANTS": "16"}
        arguments = ("32", "--json", "--work=1000", "--period=1000")
        started = time.monotonic()
        self.installation.run(*arguments[:2], env=env)
        plain_seconds = time.monotonic() - started
        started = time.monotonic()
        status, output = self.installation.run(*arguments, "--service=1", env=env)
        service_seconds = time.monotonic() - started
        self.assertEqual(status, 0)
        report = parse_report(self, output)
        groups = check_service(self, report)
        service = report["service"]
        self.assertEqual((service["seconds"], service["period_us"], service["work_us"]),
                         (1, 1000, 1000))
        # The stand-in's grants change no scheduling: nothing held real-time.
        self.assertEqual({name: group["threads"] for name, group in groups.items()},
                         {"granted but not applied": 16, "refused": 16}, service)
        self.assertEqual(service["real_time"], 0)
        # 32 threads that each want a whole processor: most periods are missed, and the phase
        # still ends by the clock rather than when the work is done (16 s of it on 2).
        self.assertGreater(sum(group["missed"] for group in groups.values()), 0, service)
        self.assertLess(service_seconds, plain_seconds + 1 + 8, service)

    def test_alone_it_adds_the_section_after_the_two_result_lines(self):
        status, output = self.installation.run(
            "3", "--service=0.1", "--period=100000", "--work=0",
            env={"WINEDLLOVERRIDES": "avrt=n", "QUORVANE_FAKE_AVRT_GRANTS": "1"})
        self.assertEqual(status, 0)
        plain = expected(3, 1, 2)[:-len(pause_prompt())]
        self.assertTrue(output.startswith(plain) and output.endswith(pause_prompt()), output)
        woke = (r"(woke \d+ / \d+ / \d+ us late \(median / 99th percentile / maximum\)"
                r"|never woke in time to work)")
        section = output[len(plain):-len(pause_prompt())].split("\n")
        for line, pattern in zip(section, [
                "",
                r"Service: 0\.1 s of 100000 us periods with 0 us of work each "
                r"\(timer resolution \d+ ns\)",
                r"Served 0 of the 0 threads that held real-time scheduling "
                r"\(served: no missed period\)",
                r"  1 granted but not applied: [01] served, 1 periods, [01] missed, " + woke,
                r"  2 refused: [0-2] served, 2 periods, [0-2] missed, " + woke,
                ""]):
            self.assertRegex(line, f"^{pattern}$")
        self.assertEqual(len(section), 6, section)

def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--runtime", default="", help="the POSIX layer's shared library")
    parser.add_argument("--fake-avrt", required=True, help="our test avrt library")
    parser.add_argument("--sanitized", action="store_true", help="built with a sanitizer")
    parser.add_argument("--version", required=True, help="the project's version")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=sys.argv[:1] + rest, verbosity=2)


if __name__ == "__main__":
    main()
