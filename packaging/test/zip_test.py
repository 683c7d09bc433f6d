#!/usr/bin/env python3
"""The Windows zip: exactly quorvane.exe, the README and the license in one folder; the
executable from it runs under Wine and prints the banner, and passes the PE checks."""
import os
import shutil
import sys
import tempfile
import unittest
import zipfile

import packaging_support as support
from packaging_support import checked, run


def folder():
    return f"quorvane-{support.ARGS.version}-win64"


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="quorvane-zip-")
        with zipfile.ZipFile(support.ARGS.zip) as archive:
            cls.names = sorted(archive.namelist())
            archive.extractall(cls.scratch)
        cls.executable = os.path.join(cls.scratch, folder(), "quorvane.exe")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    def test_file_name_carries_the_version(self):
        self.assertEqual(os.path.basename(support.ARGS.zip), folder() + ".zip")

    def test_holds_the_executable_the_readme_and_the_license(self):
        self.assertEqual(self.names, [f"{folder()}/{name}"
                                      for name in ("LICENSE", "README.md", "quorvane.exe")])

    def test_the_executable_runs_under_wine_and_prints_the_banner(self):
        # No avrt.dll: this checks the executable, not Wine's MMCSS.
        status, out, err = run([support.ARGS.emulator, self.executable, "0"],
                               env={"WINEDLLOVERRIDES": "avrt="})
        self.assertEqual((status, out), (0, support.banner() + "starting 0 threads\n"
                                         "threads with MMCSS priority: 0\n"
                                         "threads failed to set MMCSS priority: 0\n"
                                         "Press any key to continue... "), err)

    def test_the_executable_passes_the_pe_checks(self):
        checked([sys.executable, os.path.join(support.ARGS.e2e, "check_pe.py"), self.executable,
                 support.ARGS.objdump, support.ARGS.windres, support.ARGS.version])


if __name__ == "__main__":
    support.main("--zip", "--emulator", "--objdump", "--windres")
