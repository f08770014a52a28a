#!/usr/bin/python3
"""The table of exit codes in docs/support.md lists exactly the codes the
program ends with: the exit-code constants of maintenance/reports.h, success (0)
and the declined consent prompt (1223, ERROR_CANCELLED).

usage: exit_codes_test.py [ROOT]
"""
import os
import re
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

with open(os.path.join(ROOT, "maintenance", "reports.h"), encoding="utf-8") as f:
    constants = dict(re.findall(r"inline constexpr int (\w+ExitCode) = (\w+);", f.read()))
values = {}
for name, value in constants.items():
    while not value.isdigit():
        value = constants[value]
    values[name] = int(value)
program = set(values.values()) | {0, 1223}

with open(os.path.join(ROOT, "docs", "support.md"), encoding="utf-8") as f:
    section = f.read().split("## Exit codes", 1)[1].split("\n## ", 1)[0]
table = {int(code) for code in re.findall(r"^\| (\d+)\b", section, re.MULTILINE)}

print(f"the program's codes: {sorted(program)}")
print(f"the table's codes:   {sorted(table)}")
missing, extra = program - table, table - program
if missing or extra:
    print(f"FAILED  not in the table: {sorted(missing)}; not the program's: {sorted(extra)}")
    sys.exit(1)
print("1 passed, 0 failed")
