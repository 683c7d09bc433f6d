#!/usr/bin/env python3
"""The Debian package: its contents and fields, lintian's verdict, and (as root) an install
with dpkg -i, a run of /usr/bin/quorvane and a dpkg -r that leaves nothing behind.

--provider is 1 when the build installs the Linux provider, libavrt.so, and 0 otherwise.
"""
import os
import re
import time
import unittest

import packaging_support as support
from packaging_support import checked, linux_output, run

# (mode, path) of every entry, as dpkg-deb -c lists them.
CONTENTS = [
    ("drwxr-xr-x", "./usr/"),
    ("drwxr-xr-x", "./usr/bin/"),
    ("-rwxr-xr-x", "./usr/bin/quorvane"),
    ("drwxr-xr-x", "./usr/lib/"),
    ("drwxr-xr-x", "./usr/lib/quorvane/"),
    ("-rw-r--r--", "./usr/lib/quorvane/libquorvane-win32.so"),
    ("drwxr-xr-x", "./usr/share/"),
    ("drwxr-xr-x", "./usr/share/doc/"),
    ("drwxr-xr-x", "./usr/share/doc/quorvane/"),
    ("-rw-r--r--", "./usr/share/doc/quorvane/README.md"),
    ("-rw-r--r--", "./usr/share/doc/quorvane/changelog.gz"),
    ("-rw-r--r--", "./usr/share/doc/quorvane/copyright"),
    ("drwxr-xr-x", "./usr/share/man/"),
    ("drwxr-xr-x", "./usr/share/man/man1/"),
    ("-rw-r--r--", "./usr/share/man/man1/quorvane.1.gz"),
]
PROVIDER = ("-rw-r--r--", "./usr/lib/quorvane/libavrt.so")


def contents():
    expected = CONTENTS + ([PROVIDER] if support.ARGS.provider == "1" else [])
    return sorted(expected, key=lambda entry: entry[1])


def paths():
    """The package's entries as absolute paths."""
    return ["/" + path[2:].rstrip("/") for _, path in contents()]


def ours():
    """The entries that belong to quorvane alone: not /usr, /usr/bin and the like."""
    return [path for path in paths() if "quorvane" in path]


def field(name):
    return checked(["dpkg-deb", "--field", support.ARGS.deb, name]).strip()


def installed_status():
    """dpkg's status of quorvane, or '' when dpkg knows no such package."""
    status, out, _ = run(["dpkg-query", "--show", "--showformat=${db:Status-Status}", "quorvane"])
    return out if status == 0 else ""


class DebContents(unittest.TestCase):
    def test_file_name_carries_the_version(self):
        self.assertEqual(os.path.basename(support.ARGS.deb),
                         f"quorvane_{support.ARGS.version}_amd64.deb")

    def test_lists_exactly_the_files_meant_owned_by_root(self):
        listing = checked(["dpkg-deb", "--contents", support.ARGS.deb]).splitlines()
        entries = [line.split() for line in listing]
        self.assertEqual([(entry[0], entry[5]) for entry in entries], contents())
        self.assertEqual({entry[1] for entry in entries}, {"root/root"})

    def test_fields(self):
        self.assertEqual(field("Package"), "quorvane")
        self.assertEqual(field("Version"), support.ARGS.version)
        self.assertEqual(field("Architecture"), "amd64")
        self.assertEqual(field("Recommends"), "rtkit")

    def test_dependencies_are_computed_from_the_binaries(self):
        # dpkg-shlibdeps names the packages of the libraries the binaries link, with versions.
        depends = [part.strip() for part in field("Depends").split(",")]
        names = {re.match(r"[a-z0-9.+-]+", part).group(0) for part in depends}
        # libsystemd0: the provider reaches RealtimeKit through sd-bus.
        self.assertEqual(names, {"libc6", "libgcc-s1", "libstdc++6", "libsystemd0"})
        self.assertTrue(all(re.search(r"\(>= [0-9.]+\)$", part) for part in depends), depends)


class DebLintian(unittest.TestCase):
    def test_lintian_finds_no_error(self):
        status, out, err = run(["lintian", "--fail-on", "error", "--display-info",
                                "--tag-display-limit", "0", support.ARGS.deb])
        print(out, end="")
        errors = [line for line in out.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [])
        self.assertEqual(status, 0, err)


class DebInstall(unittest.TestCase):
    """Installs the package on this machine: root only, and never over an installed quorvane."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise AssertionError("this test needs root: it installs the package with dpkg -i")
        status = installed_status()
        if status not in ("", "not-installed"):
            raise AssertionError(f"quorvane is already known to dpkg here ({status}): "
                                 "refusing to install over it or to remove it")
        present = [path for path in ours() if os.path.lexists(path)]
        if present:
            raise AssertionError(f"files of quorvane are already here ({', '.join(present)}): "
                                 "refusing to install over them")

    def dpkg(self, *arguments):
        # Another package tool may hold dpkg's lock for a while: wait, within a bound.
        deadline = time.monotonic() + support.TIMEOUT_SECONDS
        while True:
            status, out, err = run(["dpkg", *arguments])
            if status == 0 or "lock" not in err or time.monotonic() > deadline:
                break
            time.sleep(1)
        self.assertEqual(status, 0, f"dpkg {' '.join(arguments)}:\n{out}\n{err}")

    def test_installs_runs_and_is_removed_without_a_trace(self):
        self.dpkg("--install", support.ARGS.deb)
        try:
            self.assertEqual(installed_status(), "installed")
            self.assertEqual([path for path in paths() if not os.path.lexists(path)], [])
            status, out, err = run(["/usr/bin/quorvane", "4"], env={"LD_LIBRARY_PATH": ""})
            self.assertEqual(err, "")
            self.assertEqual(status, 0)
            if support.ARGS.provider == "1":
                # The kernel grants root real-time threads without a limit.
                self.assertEqual(out, linux_output(4, 4, 0))
            else:
                self.assertEqual(out, linux_output(4, 0, 4))
        finally:
            self.dpkg("--remove", "quorvane")
        self.assertEqual([path for path in ours() if os.path.lexists(path)], [])
        # No configuration file is left; dpkg keeps only the record of the ldconfig postrm that
        # CPack adds for any library under /usr/lib, and purging drops that.
        self.assertIn(installed_status(), ("", "not-installed", "config-files"))
        self.assertEqual(checked(["dpkg-query", "--show", "--showformat=${Conffiles}",
                                  "quorvane"]) if installed_status() else "", "")
        self.dpkg("--purge", "quorvane")
        self.assertIn(installed_status(), ("", "not-installed"))


if __name__ == "__main__":
    support.main("--deb", "--provider")
