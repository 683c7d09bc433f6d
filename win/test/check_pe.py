#!/usr/bin/env python3
"""Checks what the Windows executable shows the loader: a manifest asking for the invoking
user's rights without UI access, no export table, and imports from system DLLs only.

Usage: check_pe.py EXECUTABLE OBJDUMP WINDRES VERSION
"""
import re
import subprocess
import sys
import unittest

EXECUTABLE = OBJDUMP = WINDRES = VERSION = None

# DLLs every Windows has. The runtime DLLs of the compiler (libstdc++, libgcc, winpthread)
# are linked in statically, and avrt.dll is loaded at run time, never imported.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ole32.dll"}


class PortableExecutable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.headers = subprocess.run([OBJDUMP, "-p", EXECUTABLE], check=True,
                                     capture_output=True, text=True).stdout
        cls.resources = subprocess.run([WINDRES, "-i", EXECUTABLE, "-O", "rc"], check=True,
                                       capture_output=True, text=True).stdout

    def test_imports_only_system_dlls(self):
        imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", self.headers)}
        self.assertIn("kernel32.dll", imported)
        self.assertEqual(imported - SYSTEM_DLLS, set())

    def test_exports_nothing(self):
        self.assertNotIn("Export Address Table", self.headers)
        self.assertNotRegex(self.headers, r"There is an export table")

    def test_manifest_requests_invoker_rights_without_ui_access(self):
        manifest = manifest_text(self.resources)
        self.assertRegex(manifest, r'requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"')

    def test_version_resource(self):
        self.assertIn("VERSIONINFO", self.resources)
        self.assertIn('"OriginalFilename", "quorvane.exe"', self.resources)
        # The project's one version number, in the version resource and the manifest.
        self.assertIn(f'"ProductVersion", "{VERSION}"', self.resources)
        self.assertIn(f'version="{VERSION}.0"', manifest_text(self.resources))


def manifest_text(resources):
    """The text of the RT_MANIFEST (type 24) resource in windres's rc output, or ''."""
    match = re.search(r"^\S+\s+24\b[^\n]*\n(?:BEGIN|\{)\n(.*?)^(?:END|\})", resources,
                      re.S | re.M)
    if not match:
        return ""
    # windres writes the bytes as rc string pieces, a quote inside doubled; join them back.
    pieces = re.findall(r'"((?:[^"\\]|\\.|"")*)"', match.group(1))
    text = "".join(piece.replace('""', '"') for piece in pieces)
    return bytes(text, "ascii").decode("unicode_escape")


if __name__ == "__main__":
    EXECUTABLE, OBJDUMP, WINDRES, VERSION = sys.argv[1:5]
    unittest.main(argv=sys.argv[:1], verbosity=2)
