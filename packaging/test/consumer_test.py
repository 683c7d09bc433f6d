#!/usr/bin/env python3
"""A consumer project built against the installed CMake package, natively or cross-built for
Windows with --toolchain, and run with the stand-in avrt library where the platform finds it:
in the installed lib/quorvane/ on Linux, beside the executable on Windows."""
import os
import shutil
import tempfile
import unittest

import packaging_support as support
from packaging_support import checked, run


def on_windows():
    return bool(support.ARGS.emulator)


class Consumer(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="quorvane-consumer-")
        self.addCleanup(shutil.rmtree, self.scratch)

    def test_builds_against_the_installed_package_and_runs(self):
        prefix = os.path.join(self.scratch, "prefix")
        build = os.path.join(self.scratch, "build")
        checked(["cmake", "--install", support.ARGS.build, "--prefix", prefix])
        configure = ["cmake", "-S", support.ARGS.source, "-B", build, "-G", "Ninja",
                     f"-DCMAKE_PREFIX_PATH={prefix}"]
        if support.ARGS.toolchain:
            configure.append(f"-DCMAKE_TOOLCHAIN_FILE={support.ARGS.toolchain}")
        checked(configure)
        checked(["cmake", "--build", build])

        if on_windows():
            executable = os.path.join(build, "consumer.exe")
            shutil.copy(support.ARGS.stand_in, os.path.join(build, "avrt.dll"))
            command = [support.ARGS.emulator, executable]
        else:
            executable = os.path.join(build, "consumer")
            shutil.copy(support.ARGS.stand_in,
                        os.path.join(prefix, "lib", "quorvane", "libavrt.so"))
            command = [executable]
        status, out, err = run(command, env={"WINEDLLOVERRIDES": "avrt=n", "LD_LIBRARY_PATH": ""})
        self.assertEqual((status, out),
                         (0, "started 1, ended 1, avrt available 1, exit code 1\n"), err)


if __name__ == "__main__":
    support.main("--source", "--toolchain", "--emulator", "--stand-in")
