#!/usr/bin/env python3
"""The scripts' package step against a faked apt: stubs of apt-get, dpkg, dpkg-query, id and
nice come first on PATH, so nothing is installed and the machine's own dpkg is never asked."""
import os
import shutil
import subprocess
import tempfile
import unittest

SCRIPTS = os.path.dirname(os.path.abspath(__file__))
TIMEOUT_SECONDS = 60

# Each stub logs its call; the faked machine's state lives in files in $FAKE.
STUBS = {
    "dpkg-query": "exit 1\n",  # no package is known: all are missing
    "id": "echo 0\n",  # root, who installs
    "nice": "echo 0\n",
    "cmake": "exit 1\n",  # never reached after a failed install
    "dpkg": '[ "$1" = --audit ] && cat "$FAKE/audit" 2>/dev/null\nexit 0\n',
    "apt-get": """case " $* " in
  *" update "* | *" check "*) exit 0 ;;
  *" -s "*) echo "Inst cmake (3.25.1-1 Debian:12.8/stable [amd64])"
            echo "Inst ninja-build (1.11.1-1 Debian:12.8/stable [amd64])"; exit 0 ;;
  *" --assume-no "*) cat "$FAKE/figures" 2>/dev/null; echo "Abort."; exit 1 ;;
esac
# The install: progress on its status descriptor, then what it says when it fails.
echo "dlstatus:1:50.0:Retrieving file 1 of 2" >&3
echo "dlstatus:2:100.0:Retrieving file 2 of 2" >&3
echo "pmstatus:cmake:20.0:Preparing cmake" >&3
[ -f "$FAKE/install-fails" ] || { echo "pmstatus:dpkg-exec:100.0:Done" >&3; exit 0; }
echo "Unpacking cmake (3.25.1-1) ..."
echo "E: FATAL -> Failed to fork." >&2
printf 'The following packages have been unpacked but not yet configured.\\n cmake\\n' > "$FAKE/audit"
echo "E: Sub-process /usr/bin/dpkg returned an error code (100)" >&2
exit 100
""",
}
FIGURES = ("Need to get 114 MB of archives.\n"
           "After this operation, 451 MB of additional disk space will be used.\n")


def programs(calls, name):
    return [call for call in calls if call.split()[0] == name]


class FailingApt(unittest.TestCase):
    def setUp(self):
        self.fake = tempfile.mkdtemp(prefix="quorvane-apt-")
        self.addCleanup(shutil.rmtree, self.fake)
        stubs = os.path.join(self.fake, "bin")
        os.mkdir(stubs)
        for name, body in STUBS.items():
            path = os.path.join(stubs, name)
            with open(path, "w") as stub:
                stub.write(f'#!/bin/sh\necho "{name} $*" >> "$FAKE/calls"\n{body}')
            os.chmod(path, 0o755)
        self.env = dict(os.environ, FAKE=self.fake, PATH=stubs + os.pathsep + os.environ["PATH"])

    def create(self, name, text=""):
        with open(os.path.join(self.fake, name), "w") as out:
            out.write(text)

    def run_script(self, *command):
        open(os.path.join(self.fake, "calls"), "w").close()
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=TIMEOUT_SECONDS, env=self.env)
        with open(os.path.join(self.fake, "calls")) as calls:
            return done, calls.read().splitlines()

    def test_a_failed_install_stops_every_script_and_names_the_repair(self):
        self.create("install-fails")
        done, calls = self.run_script(os.path.join(SCRIPTS, "run"), "32")
        self.assertNotEqual(done.returncode, 0, done.stdout)
        self.assertIn("2 packages with what they need: apt gave no download or disk figures",
                      done.stdout)
        self.assertIn("downloading: 100%", done.stdout)
        self.assertNotIn("installing: 100%", done.stdout)
        # apt's own last lines, and the repair printed, never run.
        self.assertIn("E: FATAL -> Failed to fork.", done.stderr)
        self.assertIn("E: Sub-process /usr/bin/dpkg returned an error code (100)", done.stderr)
        self.assertIn("dpkg --configure -a", done.stderr)
        self.assertEqual(programs(calls, "cmake"), [])
        self.assertEqual(programs(calls, "dpkg"), ["dpkg --audit"] * 2)

        # The next run meets the half-installed packages before it downloads anything.
        done, calls = self.run_script(os.path.join(SCRIPTS, "test"), "linux")
        self.assertNotEqual(done.returncode, 0, done.stdout)
        self.assertIn("unpacked but not yet configured", done.stderr)
        self.assertIn("dpkg --configure -a", done.stderr)
        self.assertEqual(programs(calls, "apt-get"), [])

    def test_an_install_that_works_shows_apts_figures_and_goes_on(self):
        self.create("figures", FIGURES)
        # Under set -e, as scripts/run runs it.
        done, calls = self.run_script(
            "sh", "-ec", f'. "{SCRIPTS}/lib.sh"; ensure_packages cmake ninja-build; echo on')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("2 packages with what they need: 114 MB to download, 451 MB installed\n",
                      done.stdout)
        self.assertTrue(done.stdout.endswith("installing: 100%\non\n"), done.stdout)
        self.assertIn("apt-get -o DPkg::Lock::Timeout=300 install -y -q -o APT::Status-Fd=3 "
                      "cmake ninja-build", calls)


if __name__ == "__main__":
    unittest.main(verbosity=2)
