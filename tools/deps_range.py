"""The suite against both ends of the runtime dependencies' ranges (run it through
tools/deps-range.sh, which sets up .venv first):

    lowest  each dependency of the wheel at the lowest version its requirement in pyproject.toml
            allows (the floor of `>=`), the way a resolver set to the lowest versions of direct
            dependencies picks them; their own dependencies at the newest that fit;
    newest  each at the newest version the package index serves for this interpreter.

For each end a new virtualenv in build/deps-range/<end> gets the project wheel (built once), the
suite's own tools from requirements-dev.txt, and the dependencies held to that end's versions by a
constraints file (build/deps-range/<end>-constraints.txt); then pytest runs there. Afterwards the
Markdown that html_to_markdown makes of every page of the corpus must be the same at every end
that ran and in .venv: the tests compare it with the same steps in plain Python, which use the same
libraries and so would not notice when a library version changes the output.

    .venv/bin/python tools/deps_range.py [lowest|newest|both] [pytest arguments]

The pytest arguments default to the store and archiver suites without their leak checks. Exits
non-zero when an end cannot be installed, its suite fails, or the corpus Markdown differs."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import time
import tomllib
from pathlib import Path

from packaging.requirements import Requirement
from packaging.version import Version

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "deps-range"
CORPUS = ROOT.parent / "shared" / "corpus" / "html"
# The store and archiver suites: every use of keyring, bs4 and markdownify, through the real
# Secret Service and Chromium. Their leak checks are left out, being about the modules' own
# reference counts, and they take as long as the rest together.
DEFAULT_TESTS = ["tests/store", "tests/archiver", "--ignore=tests/store/test_leaks.py",
                 "--ignore=tests/archiver/test_leaks.py"]
# requirements-dev.txt entries these runs leave out: the wheel's own dependencies (the wheel and
# the constraints bring them, at the end being tested) and the build and type-checking tools (the
# wheel is built once, in .venv; the typing tests stay with the main suite).
NOT_FOR_THE_SUITE = {"keyring", "beautifulsoup4", "markdownify", "mypy", "basedpyright", "scikit-build-core",
                     "cmake", "ninja"}


def log(message: str) -> None:
    print(f"deps-range: {message}", file=sys.stderr, flush=True)


def run(command: list[str], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(command, check=True, **kwargs)


def pip(python: Path, *args: str) -> str:
    """Runs pip quietly; on failure shows its output and stops."""
    proc = subprocess.run([str(python), "-m", "pip", "--disable-pip-version-check", *args],
                          capture_output=True, text=True)
    noise = re.compile(r"^WARNING: Location 'file:.*$\n?", re.M)  # find-links some machines configure
    if proc.returncode:
        sys.stderr.write(noise.sub("", proc.stdout + proc.stderr))
        raise SystemExit(f"deps-range: pip {' '.join(args[:2])} failed")
    return proc.stdout


def dependencies() -> list[Requirement]:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    return [Requirement(r) for r in project["dependencies"]]


def floor(requirement: Requirement) -> str:
    """The lowest version `requirement` allows: its `>=` (or `==`, `~=`) bound."""
    bounds = [s.version for s in requirement.specifier if s.operator in (">=", "==", "~=")]
    if len(bounds) != 1:
        raise SystemExit(f"deps-range: {requirement} needs exactly one lower bound")
    return bounds[0]


def newest(python: Path, requirements: list[Requirement]) -> dict[str, str]:
    """What the index serves as newest for these requirements, resolved together for `python`."""
    report = json.loads(pip(python, "install", "--quiet", "--dry-run", "--ignore-installed", "--report", "-",
                            *map(str, requirements)))
    versions = {item["metadata"]["name"].lower(): item["metadata"]["version"] for item in report["install"]}
    return {r.name: versions[r.name.lower()] for r in requirements}


def base_interpreter() -> str:
    """The interpreter .venv was made from."""
    return getattr(sys, "_base_executable", sys.executable)


def suite_requirements() -> Path:
    lines = []
    for line in (ROOT / "requirements-dev.txt").read_text(encoding="utf-8").splitlines():
        text = line.split("#", 1)[0].strip()
        if text and Requirement(text).name.lower() not in NOT_FOR_THE_SUITE:
            lines.append(text)
    path = WORK / "suite-requirements.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def build_wheel() -> Path:
    out = WORK / "wheel"
    for old in out.glob("*.whl"):
        old.unlink()
    log("building the project wheel")
    os.environ.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    pip(Path(sys.executable), "wheel", "--quiet", "--no-deps", "--no-build-isolation", "-w", str(out), str(ROOT))
    (wheel,) = out.glob("*.whl")
    return wheel


def corpus_digests(python: Path) -> dict[str, str]:
    """sha256 of html_to_markdown's output for every corpus page, made in `python`'s environment."""
    code = """
import hashlib, json, pathlib, sys, tempfile
from zantor.kestrow.scraping.archiver import KestrowArchiver
with tempfile.TemporaryDirectory() as root:
    archive = KestrowArchiver(pathlib.Path(root))
    print(json.dumps({p.name: hashlib.sha256(archive.html_to_markdown(p.read_text(encoding="utf-8")).encode()).hexdigest()
                      for p in sorted(pathlib.Path(sys.argv[1]).glob("*.html"))}))
"""
    env = dict(os.environ, PYTHONPATH=str(ROOT / "host"))
    out = run([str(python), "-c", code, str(CORPUS)], capture_output=True, text=True, env=env, cwd=WORK).stdout
    return json.loads(out)


def test_end(end: str, wheel: Path, pytest_args: list[str]) -> tuple[dict[str, str], bool, float]:
    venv = WORK / end
    python = venv / "bin" / "python"
    started = time.monotonic()
    log(f"{end}: new virtualenv {venv.relative_to(ROOT)}")
    run([base_interpreter(), "-m", "venv", "--clear", str(venv)])
    requirements = dependencies()
    versions = ({r.name: floor(r) for r in requirements} if end == "lowest" else newest(python, requirements))
    constraints = WORK / f"{end}-constraints.txt"
    constraints.write_text("".join(f"{name}=={version}\n" for name, version in versions.items()), encoding="utf-8")
    log(f"{end}: installing " + ", ".join(f"{n} {v}" for n, v in versions.items()))
    pip(python, "install", "--quiet", "-c", str(constraints), "-r", str(suite_requirements()), str(wheel))
    installed = json.loads(pip(python, "list", "--format", "json"))
    have = {item["name"].lower(): item["version"] for item in installed}
    for name, version in versions.items():  # the constraints held: the end is what it says
        if name.lower() not in have or Version(have[name.lower()]) != Version(version):
            raise SystemExit(f"deps-range: {end}: {name} {have.get(name.lower())} installed, not {version}")
        versions[name] = have[name.lower()]
    log(f"{end}: pytest {' '.join(pytest_args)}")
    env = dict(os.environ, PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD="1")
    env.pop("KESTROW_DEV_PATH", None)
    passed = subprocess.run([str(python), "-m", "pytest", "-q", *pytest_args], cwd=ROOT, env=env).returncode == 0
    return versions, passed, time.monotonic() - started


def main(argv: list[str]) -> int:
    which = argv[0] if argv and argv[0] in ("lowest", "newest", "both") else "both"
    pytest_args = argv[1:] if argv and argv[0] == which else argv
    ends = ["lowest", "newest"] if which == "both" else [which]
    WORK.mkdir(parents=True, exist_ok=True)
    wheel = build_wheel()

    results, digests = [], {}
    if CORPUS.is_dir():
        digests[".venv"] = corpus_digests(Path(sys.executable))
    for end in ends:
        versions, passed, seconds = test_end(end, wheel, pytest_args or DEFAULT_TESTS)
        if CORPUS.is_dir():
            digests[end] = corpus_digests(WORK / end / "bin" / "python")
        results.append((end, versions, passed, seconds))

    failed = False
    print()
    for end, versions, passed, seconds in results:
        failed |= not passed
        print(f"deps-range: {end:<6} {'PASS' if passed else 'FAIL'} {seconds:5.0f} s  "
              + ", ".join(f"{n} {v}" for n, v in versions.items()))
    if not CORPUS.is_dir():
        print(f"deps-range: corpus Markdown not compared ({CORPUS} is not on this machine)")
    else:
        reference = digests[".venv"]
        differing = sorted({page for d in digests.values() for page in d if d.get(page) != reference.get(page)})
        if differing:
            failed = True
            print(f"deps-range: corpus Markdown DIFFERS between {', '.join(digests)} on: {', '.join(differing)}")
        else:
            print(f"deps-range: corpus Markdown identical in {', '.join(digests)} ({len(reference)} pages)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
