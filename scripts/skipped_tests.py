#!/usr/bin/env python3
"""Lists the tests that were skipped inside a CTest test, with their reasons, from CTest's
JUnit report: GoogleTest's GTEST_SKIP and unittest's skipTest. Prints nothing when none was."""
import re
import sys
import xml.etree.ElementTree as ElementTree

# A skip in setUpClass stands for the whole class.
# unittest quotes the reason as repr() does: in double quotes when it holds an apostrophe.
UNITTEST_SKIP = re.compile(r"^(test\w*|setUpClass) \(([\w.]+)\)\S* \.\.\. skipped (['\"])(.*)\3$")
GTEST_RUN = re.compile(r"^\[ RUN      \] (\S+)$")
GTEST_SKIPPED = re.compile(r"^\[  SKIPPED \] (\S+) \(")


def skipped(name, output):
    reasons = []
    lines = output.splitlines()
    start = 0
    for number, line in enumerate(lines):
        found = UNITTEST_SKIP.match(line)
        if found:
            case = found.group(2).removeprefix("__main__.")
            reasons.append(f"{name}: {case}: {found.group(4)}")
        if GTEST_RUN.match(line):
            start = number
        found = GTEST_SKIPPED.match(line)
        if found:
            # GoogleTest prints "file:line: Skipped" and then the message.
            body = lines[start + 1:number]
            message = [text for text in body[1 + next(
                (i for i, text in enumerate(body) if text.endswith(": Skipped")), -1):] if text]
            reasons.append(f"{found.group(1)}: {' '.join(message) or 'no reason given'}")
    return reasons


def main():
    report = ElementTree.parse(sys.argv[1])
    for case in report.getroot().iter("testcase"):
        output = case.find("system-out")
        for reason in skipped(case.get("name"), output.text or "" if output is not None else ""):
            print(f"    skipped {reason}")


if __name__ == "__main__":
    main()
