"""The installed wheel as type checkers meet it: mypy's stubtest holds both shipped stubs against
the built modules, and mypy --strict and basedpyright (strict) find the stubs through the py.typed
markers, accept the typed example and report a wrong argument type to each module."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from conftest import DEV_PATH, HOST, ROOT

pytestmark = pytest.mark.skipif(
    bool(DEV_PATH), reason="a development build has neither the stubs nor the markers beside it")

MODULES = ["zantor.kestrow.services.lockmere", "zantor.kestrow.scraping.archiver"]
EXAMPLE = ROOT / "examples" / "typed_usage.py"
MISUSE = textwrap.dedent("""\
    from pathlib import Path

    from zantor.kestrow.scraping.archiver import KestrowArchiver
    from zantor.kestrow.services.lockmere import KestrowLockmere

    KestrowLockmere(base_dir=Path("config")).save(name="main", username="alice", password=1234)
    KestrowArchiver("archive")
""")
MISUSE_LINES = {6, 7}  # one wrong argument type per module


def run(args, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    env["PYTHONPATH"] = str(HOST)  # the host's zantor.config and domain exceptions, for the store's import
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_stubtest_finds_no_mismatch(tmp_path):
    # In a scratch folder, where its cache goes and where no source tree can stand in for the wheel.
    proc = run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"),
                *MODULES], cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def mypy_errors(files):
    proc = run([sys.executable, "-m", "mypy", "--cache-dir", os.devnull, *map(str, files)], cwd=ROOT)
    found = re.findall(r"^(.+?):(\d+): error: .*\[([\w-]+)\]$", proc.stdout, re.M)
    return proc, {(path, int(line), code) for path, line, code in found}


def basedpyright_errors(files):
    proc = run([sys.executable, "-m", "basedpyright", "--pythonpath", sys.executable, "--outputjson",
                *map(str, files)], cwd=ROOT)
    report = json.loads(proc.stdout)["generalDiagnostics"]
    return proc, {(d["file"], d["range"]["start"]["line"] + 1, d.get("rule"))
                  for d in report if d["severity"] in ("error", "warning")}


@pytest.mark.parametrize("check, code", [(mypy_errors, "arg-type"), (basedpyright_errors, "reportArgumentType")])
def test_checker_accepts_example_and_reports_misuse(tmp_path, check, code):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE, encoding="utf-8")
    proc, errors = check([EXAMPLE, misuse])
    # Nothing in the example; exactly the two wrong arguments, so the stubs were read (an
    # untyped module would give import errors instead, and no argument errors).
    assert errors == {(str(misuse), line, code) for line in MISUSE_LINES}, proc.stdout + proc.stderr
    assert proc.returncode == 1
