"""The installed wheel as type checkers meet it: mypy's stubtest holds both shipped stubs against
the built modules; mypy --strict and basedpyright (strict) find the stubs through the py.typed
markers, accept the typed example and report each misuse in a table of them (wrong argument types,
result keys and value types, objects the captures cannot use, a capture's result taken for its
value or for the language's own coroutine type); and basedpyright --verifytypes finds every symbol
of each module's own fully typed."""

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
# The capture methods are typed as returning a Coroutine, not as `async def`: see the stub.
STUBTEST_ALLOWLIST = ROOT / "tests" / "stubtest-allowlist.txt"
# Each line marked `# expect: CODE RULE` must draw exactly mypy's error CODE and basedpyright's RULE,
# and no other line anything. basedpyright reads this file in its basic mode, so that an error does
# not also show as the unknown types it leaves behind.
MISUSE = textwrap.dedent("""\
    # pyright: basic
    import types
    from pathlib import Path
    from typing import Any

    from playwright.async_api import Page
    from playwright.sync_api import Page as SyncPage

    from zantor.kestrow.scraping.archiver import KestrowArchiver
    from zantor.kestrow.services.lockmere import KestrowLockmere

    store = KestrowLockmere(base_dir=Path("config"))
    store.save(name="main", username="alice", password=1234)  # expect: arg-type reportArgumentType
    got = store.get(name="main")
    secret: str = got["passwrod"]  # expect: typeddict-item reportGeneralTypeIssues
    pw: int = got["password"]  # expect: assignment reportAssignmentType
    width: int = len(store.list()[0]["username"])  # expect: arg-type reportArgumentType
    archive = KestrowArchiver("archive")  # expect: arg-type reportArgumentType


    async def capture(page: Page, sync_page: SyncPage) -> None:
        await archive.archive_page(sync_page, section="s")  # expect: arg-type reportArgumentType
        await archive.archive_locator(page, section="s")  # expect: arg-type reportArgumentType
        html: str = archive.archive_page(page, section="s")["s_html"]  # expect: index reportIndexIssue
        paths: dict[str, int] = await archive.archive_page(page, section="s")  # expect: assignment reportAssignmentType
        coro: types.CoroutineType[Any, Any, dict[str, str]] = archive.archive_page(page, section="s")  # expect: assignment reportAssignmentType
        print(secret, pw, width, html, paths, coro)
""")
MISUSE_CASES = [(number, *re.search(r"# expect: (\S+) (\S+)$", line).groups())
                for number, line in enumerate(MISUSE.splitlines(), 1) if "# expect:" in line]


def run(args, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    env["PYTHONPATH"] = str(HOST)  # the host's zantor.config and domain exceptions, for the store's import
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_stubtest_finds_no_mismatch(tmp_path):
    # In a scratch folder, where its cache goes and where no source tree can stand in for the wheel.
    proc = run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"),
                "--allowlist", str(STUBTEST_ALLOWLIST), *MODULES], cwd=tmp_path)
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


@pytest.mark.parametrize("check, column", [(mypy_errors, 1), (basedpyright_errors, 2)], ids=["mypy", "basedpyright"])
def test_checker_accepts_example_and_reports_misuse(tmp_path, check, column):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE, encoding="utf-8")
    proc, errors = check([EXAMPLE, misuse])
    # Nothing in the example; exactly the marked misuses, so the stubs were read (an untyped
    # module would give import errors instead, and none of these).
    assert errors == {(str(misuse), case[0], case[column]) for case in MISUSE_CASES}, proc.stdout + proc.stderr
    assert proc.returncode == 1


@pytest.mark.parametrize("module", MODULES)
def test_verifytypes_finds_every_own_symbol_typed(module):
    # In this mode basedpyright takes the interpreter from PATH, not from --pythonpath. Symbols
    # the module takes from elsewhere (the host's, the standard library's) are not its own.
    env = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")]))
    proc = subprocess.run([sys.executable, "-m", "basedpyright", "--verifytypes", module, "--ignoreexternal",
                           "--outputjson"], cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    report = json.loads(proc.stdout)["typeCompleteness"]
    counts = report["exportedSymbolCounts"]
    assert report["pyTypedPath"].endswith("/py.typed") and counts["withKnownType"] > 0, proc.stdout
    assert (report["completenessScore"], counts["withAmbiguousType"], counts["withUnknownType"]) == (1, 0, 0), \
        proc.stdout
    assert proc.returncode == 0
