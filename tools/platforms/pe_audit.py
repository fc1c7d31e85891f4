"""Reads a Windows module's import and export tables (through the mingw-w64 objdump) and checks
that it needs nothing a CPython 3.11 install on Windows lacks: imports only from python311.dll,
KERNEL32.dll and the Universal CRT's api-ms-win-crt-*.dll (no C++ runtime, gcc, winpthread or
libc++ DLL, no msvcrt.dll, whose errno and heap are not the interpreter's), and exports only
PyInit_<name>.

    python pe_audit.py OBJDUMP MODULE.pyd...

Prints one line per module: its imported DLLs and exports. Exits non-zero on any violation.
"""

import re
import subprocess
import sys
from pathlib import Path

ALLOWED = re.compile(r"python311\.dll|kernel32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll", re.IGNORECASE)


def tables(objdump: str, module: Path) -> tuple[list[str], list[str], str]:
    text = subprocess.run([objdump, "-p", str(module)], check=True, capture_output=True, text=True).stdout
    machine = re.search(r"file format (\S+)", text)
    dlls = re.findall(r"^\s*DLL Name:\s*(\S+)", text, re.MULTILINE)
    exports: list[str] = []
    table = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:\s*\[\s*\d+\].*\n)*)", text)
    if table:
        exports = re.findall(r"\]\s+(\S+)", table.group(1))
    return dlls, exports, machine.group(1) if machine else "?"


def main() -> int:
    objdump, modules = sys.argv[1], [Path(p) for p in sys.argv[2:]]
    bad = 0
    for module in modules:
        dlls, exports, machine = tables(objdump, module)
        stem = module.name.split(".")[0]
        problems = [f"imports {d}" for d in dlls if not ALLOWED.fullmatch(d)]
        if not any(d.lower() == "python311.dll" for d in dlls):
            problems.append("does not import python311.dll")
        if exports != [f"PyInit_{stem}"]:
            problems.append(f"exports {exports}, expected only PyInit_{stem}")
        if machine != "pei-x86-64":
            problems.append(f"architecture {machine}")
        crt = sorted(d for d in dlls if d.lower().startswith("api-ms-win-crt-"))
        others = [d for d in dlls if d not in crt]
        print(f"{module.name}: imports {', '.join(others)} + {len(crt)} api-ms-win-crt-*.dll; "
              f"exports {', '.join(exports)}" + (f"; FAIL: {'; '.join(problems)}" if problems else ""))
        bad += bool(problems)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
