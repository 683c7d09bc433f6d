#!/usr/bin/env python3
"""Reads the machine code of the busy work and checks that it still divides.

  check_busy_work.py OBJDUMP OBJECT DIVISIONS

Passes when the function's one loop holds scalar double divisions that form a single chain
(each divides the running value by itself, each add writes it back) and an immediate trip
count times the loop's divisions is DIVISIONS. Folding (-ffast-math makes x / x one),
vectorising or dropping the chain fails.
"""
import re
import subprocess
import sys

SYMBOL = "_ZN8quorvane8BusyWorkEd"
LINE = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*?)\s*(?:#.*)?$")


def instructions(objdump, path):
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", path], check=True,
                          capture_output=True, text=True).stdout
    body = text.split(f"<{SYMBOL}>:\n", 1)
    if len(body) < 2:
        sys.exit(f"{SYMBOL} not found in {path}")
    found = []
    for line in body[1].split("\n\n", 1)[0].splitlines():
        match = LINE.match(line)
        if match:
            found.append((int(match.group(1), 16), match.group(2), match.group(3)))
    return found


def check(code, divisions):
    problems = []
    backward = [(address, int(operands.split()[0], 16)) for address, name, operands in code
                if name.startswith("j") and re.match(r"^[0-9a-f]+ ", operands)
                and int(operands.split()[0], 16) <= address]
    if len(backward) != 1:
        return [f"expected one loop, found {len(backward)} backward branches"]
    end, start = backward[0]
    loop = [(name, operands) for address, name, operands in code if start <= address <= end]
    every_division = [name for _, name, _ in code if "div" in name]
    chain = [(name, operands) for name, operands in loop if name in ("divsd", "addsd")]
    in_loop = [operands for name, operands in chain if name == "divsd"]
    if len(in_loop) != len(every_division):
        problems.append(f"divisions outside the loop or not scalar double: {every_division}")
    if not in_loop:
        return problems + ["no division in the loop"]
    running = in_loop[0].split(",")[-1]
    for name, operands in chain:
        source, destination = operands.split(",")[0], operands.split(",")[-1]
        if destination != running or (name == "divsd" and source != running):
            problems.append(f"'{name} {operands}' is not part of the chain in {running}")
    immediates = {int(value, 16) for _, _, operands in code
                  for value in re.findall(r"\$0x([0-9a-f]+)", operands)}
    # An unrolled loop steps its counter by the unroll factor, another immediate.
    if not any(count * len(in_loop) == divisions * step
               for count in immediates for step in immediates | {1}):
        problems.append(f"no trip count gives {divisions} divisions with {len(in_loop)} a round "
                        f"(immediates: {sorted(immediates)})")
    return problems


def main():
    objdump, path, divisions = sys.argv[1], sys.argv[2], int(sys.argv[3])
    problems = check(instructions(objdump, path), divisions)
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"{divisions} dependent scalar double divisions")
    return 0


if __name__ == "__main__":
    sys.exit(main())
