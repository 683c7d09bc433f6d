#!/usr/bin/env python3
"""The installed tree on Linux: installed with DESTDIR, moved elsewhere, and run there.

The provider in the installed lib/quorvane/ is the stand-in avrt library of the tests
(--stand-in), which grants QUORVANE_FAKE_AVRT_GRANTS registrations; --refusing is a variant
without AvSetMmMaxThreadCharacteristicsA, with which every thread fails.
"""
import os
import re
import shutil
import tempfile
import unittest

import packaging_support as support
from packaging_support import checked, linux_output, run

PREFIX = "/opt/quorvane"

# Every file of `cmake --install`, relative to the prefix.
INSTALLED = [
    "bin/quorvane",
    "include/quorvane/avrt_explanation.h",
    "include/quorvane/mmcss.h",
    "include/quorvane/thread.h",
    "include/quorvane/win32/objbase.h",
    "include/quorvane/win32/windows.h",
    "lib/cmake/Quorvane/QuorvaneConfig.cmake",
    "lib/cmake/Quorvane/QuorvaneConfigVersion.cmake",
    "lib/cmake/Quorvane/QuorvaneTargets-{configuration}.cmake",
    "lib/cmake/Quorvane/QuorvaneTargets.cmake",
    "lib/libquorvane-mmcss.a",
    "lib/libquorvane-thread.a",
    "lib/quorvane/libavrt.so",
    "lib/quorvane/libquorvane-win32.so",
    "share/doc/quorvane/README.md",
    "share/doc/quorvane/changelog.gz",
    "share/doc/quorvane/copyright",
    "share/man/man1/quorvane.1.gz",
]


def files_under(root):
    found = []
    for folder, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, name), root) for name in names]
    return sorted(found)


def dynamic_section(path):
    return checked(["readelf", "-d", path])


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="quorvane-install-")
        stage = os.path.join(cls.scratch, "stage")
        checked(["cmake", "--install", support.ARGS.build, "--prefix", PREFIX],
                env={"DESTDIR": stage})
        # Moved away from where it was installed for: nothing may point back there.
        cls.moved = os.path.join(cls.scratch, "moved", "elsewhere")
        os.makedirs(os.path.dirname(cls.moved))
        shutil.move(stage + PREFIX, cls.moved)
        shutil.rmtree(stage)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    def setUp(self):
        # Each test changes a copy of its own.
        self.tree = tempfile.mkdtemp(prefix="tree-", dir=self.scratch)
        os.rmdir(self.tree)
        shutil.copytree(self.moved, self.tree, symlinks=True)
        self.addCleanup(shutil.rmtree, self.tree)
        self.provider = os.path.join(self.tree, "lib", "quorvane", "libavrt.so")

    def use_stand_in(self):
        """The installed provider replaced by one that grants 3, to tell the search steps apart."""
        shutil.copy(support.ARGS.stand_in, self.provider)

    def run_tool(self, env=None):
        environment = {"QUORVANE_FAKE_AVRT_GRANTS": "3", "LD_LIBRARY_PATH": ""}
        environment.update(env or {})
        status, out, err = run([os.path.join(self.tree, "bin", "quorvane"), "4"], env=environment)
        self.assertEqual(err, "")
        return status, out

    def test_the_tree_holds_exactly_the_files_meant(self):
        configuration = support.ARGS.configuration
        expected = sorted(path.format(configuration=configuration) for path in INSTALLED)
        self.assertEqual(files_under(self.moved), expected)

    def test_the_executable_finds_its_libraries_relative_to_itself(self):
        dynamic = dynamic_section(os.path.join(self.moved, "bin", "quorvane"))
        self.assertEqual(re.findall(r"\(RUNPATH\)\s+Library runpath: \[(.*)\]", dynamic),
                         ["$ORIGIN/../lib/quorvane"])
        self.assertNotIn("(RPATH)", dynamic)
        self.assertIn("Shared library: [libquorvane-win32.so]", dynamic)

    def test_the_layer_has_no_run_path_of_the_build(self):
        dynamic = dynamic_section(os.path.join(self.moved, "lib", "quorvane",
                                               "libquorvane-win32.so"))
        self.assertNotRegex(dynamic, r"\((RUNPATH|RPATH)\)")

    def test_the_installed_provider_finds_the_layer_beside_itself(self):
        dynamic = dynamic_section(os.path.join(self.moved, "lib", "quorvane", "libavrt.so"))
        self.assertEqual(re.findall(r"\(RUNPATH\)\s+Library runpath: \[(.*)\]", dynamic),
                         ["$ORIGIN"])

    def test_the_moved_tree_runs_with_the_installed_provider(self):
        # The kernel grants root every thread; nobody else is granted any without RealtimeKit.
        no_bus = {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/quorvane-test-bus",
                  "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/quorvane-test-session-bus"}
        granted = 4 if os.geteuid() == 0 else 0
        self.assertEqual(self.run_tool(no_bus), (0, linux_output(4, granted, 4 - granted)))

    def test_the_moved_tree_runs_with_the_provider_beside_the_layer(self):
        self.use_stand_in()
        self.assertEqual(self.run_tool(), (0, linux_output(4, 3, 1)))

    def test_without_a_provider_every_thread_fails(self):
        os.remove(self.provider)
        self.assertEqual(self.run_tool(), (0, linux_output(4, 0, 4)))

    def test_the_layer_folder_comes_before_the_library_path(self):
        self.use_stand_in()
        elsewhere = os.path.join(self.tree, "on-the-path")
        os.mkdir(elsewhere)
        shutil.copy(support.ARGS.refusing, os.path.join(elsewhere, "libavrt.so"))
        self.assertEqual(self.run_tool({"LD_LIBRARY_PATH": elsewhere}),
                         (0, linux_output(4, 3, 1)))

    def test_the_executable_folder_comes_before_the_layer_folder(self):
        self.use_stand_in()
        shutil.copy(support.ARGS.refusing, os.path.join(self.tree, "bin", "libavrt.so"))
        self.assertEqual(self.run_tool(), (0, linux_output(4, 0, 4)))


if __name__ == "__main__":
    support.main("--stand-in", "--refusing", "--configuration")
