#!/usr/bin/env python3
"""Every ELF file of the build tree: no run path entry that depends on the working directory.

An empty entry (`a::b`, a trailing `:`) and a relative one (`lib`, `.`) are looked up from the
working directory, so a program run from a folder someone else can write loads their library.
Entries must be absolute or start with $ORIGIN. CPack's staging area is the installed tree,
which the install and package tests check; it is written while tests run, so it is left out.
"""
import argparse
import os
import re
import subprocess
import sys

SKIPPED = {"_CPack_Packages", "wineprefix"}
RUN_PATH = re.compile(r"\((?:RUNPATH|RPATH)\)\s+Library r(?:un)?path: \[(.*)\]")


def elf_files(root):
    for folder, subfolders, names in os.walk(root):
        subfolders[:] = [name for name in subfolders if name not in SKIPPED]
        for name in names:
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            with open(path, "rb") as file:
                if file.read(4) == b"\x7fELF":
                    yield path


def run_paths(path):
    dynamic = subprocess.run(["readelf", "-d", "-W", path], capture_output=True, text=True,
                             check=True).stdout
    return [match.group(1) for match in RUN_PATH.finditer(dynamic)]


def unsafe_entries(run_path):
    return [entry for entry in run_path.split(":")
            if not (entry.startswith("/") or entry.startswith("$ORIGIN"))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--tool", required=True, help="must be among the files checked")
    args = parser.parse_args()
    checked = {}
    for path in elf_files(args.build):
        checked[os.path.realpath(path)] = run_paths(path)
    problems = [f"{path}: run path {run_path!r} has {unsafe_entries(run_path)!r}"
                for path, found in sorted(checked.items()) for run_path in found
                if unsafe_entries(run_path)]
    with_run_path = sum(1 for found in checked.values() if found)
    print(f"{len(checked)} ELF files, {with_run_path} with a run path")
    if os.path.realpath(args.tool) not in checked or not checked[os.path.realpath(args.tool)]:
        problems.append(f"{args.tool} was not checked or has no run path")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
