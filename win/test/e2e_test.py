#!/usr/bin/env python3
"""End-to-end tests of the real quorvane executable: the whole standard output, byte for byte.

Usage: e2e_test.py EXECUTABLE [EMULATOR]
A Windows build is run through EMULATOR (the Wine wrapper); Wine writes CRLF, which is
normalised before comparing.
"""
import subprocess
import sys
import unittest

EXECUTABLE = None
EMULATOR = None
TIMEOUT_SECONDS = 60

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


def run_tool(*arguments, env=None):
    command = ([EMULATOR] if EMULATOR else []) + [EXECUTABLE, *arguments]
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=TIMEOUT_SECONDS, env=env)
    return done.returncode, done.stdout.replace(b"\r\n", b"\n").decode()


class CommandLine(unittest.TestCase):
    # (arguments, the count the start line must show)
    CASES = [
        ((), 128),
        (("32",), 32),
        (("12abc",), 12),
        (("abc",), 0),
        ((" 7",), 7),
        (("5", "9"), 5),
        (("-3",), -3),
        (("99999999999",), 2147483647),
        (("-99999999999",), -2147483648),
    ]

    def test_start_line_follows_banner(self):
        for arguments, count in self.CASES:
            with self.subTest(arguments=arguments):
                status, output = run_tool(*arguments)
                self.assertEqual(output, BANNER + f"starting {count} threads\n")
                self.assertEqual(status, 0)


if __name__ == "__main__":
    EXECUTABLE = sys.argv[1]
    EMULATOR = sys.argv[2] if len(sys.argv) > 2 and sys.argv[2] else None
    unittest.main(argv=sys.argv[:1], verbosity=2)
