"""What the packaging tests share: their command line, bounded runs, and the tool's output."""
import argparse
import os
import subprocess
import sys
import unittest

ARGS = None
TIMEOUT_SECONDS = 120


def parse(*options):
    """Reads --build, --version, --e2e and the given options; the rest goes to unittest."""
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the build tree")
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--e2e", required=True, help="the folder of the end-to-end tests")
    for option in options:
        parser.add_argument(option, default="")
    ARGS, rest = parser.parse_known_args()
    return rest


def main(*options):
    rest = parse(*options)
    unittest.main(argv=sys.argv[:1] + rest, verbosity=2)


def run(command, env=None, cwd=None):
    """Runs with standard input closed and a time bound; returns (status, stdout, stderr)."""
    environment = dict(os.environ)
    environment.update(env or {})
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=TIMEOUT_SECONDS, env=environment, cwd=cwd)
    return (done.returncode, done.stdout.replace(b"\r\n", b"\n").decode(),
            done.stderr.decode(errors="replace"))


def checked(command, env=None, cwd=None):
    """Runs like run() and fails with the command's output unless it exits with 0."""
    status, out, err = run(command, env=env, cwd=cwd)
    if status != 0:
        raise AssertionError(f"{command} exited with {status}:\n{out}\n{err}")
    return out


def banner():
    """The tool's banner, as the end-to-end tests know it."""
    sys.path.insert(0, ARGS.e2e)
    import e2e_test
    return e2e_test.BANNER


def linux_output(count, succeeded, failed):
    return (banner() + f"starting {count} threads\n"
            f"threads with MMCSS priority: {succeeded}\n"
            f"threads failed to set MMCSS priority: {failed}\n"
            "Press any key to continue . . . ")
