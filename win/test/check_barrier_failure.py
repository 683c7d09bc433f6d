#!/usr/bin/env python3
"""The real tool when its start barrier cannot be made: a line on standard error, exit status 4,
and no counts, as no registration was held together with the others."""
import argparse
import os
import subprocess
import sys

EXPECTED_ERROR = "quorvane: the start barrier could not be made (error 8); no thread was started\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--no-semaphore", required=True, help="the preloaded CreateSemaphoreA")
    args = parser.parse_args()
    # A sanitizer's runtime wants to come first among the preloads; the stand-in need not.
    environment = dict(os.environ, LD_PRELOAD=args.no_semaphore,
                       ASAN_OPTIONS="verify_asan_link_order=0")
    done = subprocess.run([args.tool, "4"], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=60, env=environment)
    failures = []
    if done.returncode != 4:
        failures.append(f"exit status {done.returncode}, expected 4")
    if done.stderr != EXPECTED_ERROR:
        failures.append(f"standard error {done.stderr!r}, expected {EXPECTED_ERROR!r}")
    if not done.stdout.endswith("starting 4 threads\n") or "MMCSS priority:" in done.stdout:
        failures.append(f"standard output ends {done.stdout[-200:]!r}: counts or no start line")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
