#!/usr/bin/env bash
# The leak checks against both modules built for Debian's debug interpreter (python3.11-dbg, a
# Py_DEBUG build): every case must leave sys.gettotalrefcount() flat over rounds of calls, CPython's
# own method for finding reference leaks. The hostile drill runs there too, under the debug
# interpreter's own consistency checks. Installs what it needs, prints one verdict line.
#   bash tools/refcheck.sh [pytest arguments]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
[ -x .venv/bin/python ] || bash tools/bootstrap.sh
export PATH="$ROOT/.venv/bin:$PATH"  # cmake and ninja come with the development requirements

log() { printf 'refcheck: %s\n' "$*" >&2; }

# The debug interpreter, its headers (they link into the release tree's) and venv support.
DBG=/usr/bin/python3.11d
missing=()
for p in python3.11-dbg libpython3.11-dbg python3.11-dev python3.11-venv; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if ((${#missing[@]})); then
  log "apt-get install ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A virtualenv of the debug interpreter with what the leak checks import, at the pins of
# requirements-dev.txt (pure-Python packages; the browser and its driver are not needed).
VENV="$ROOT/.venv-dbg"
REQS="$(grep -E '^(keyring|beautifulsoup4|markdownify|pytest|hypothesis)[<>=]' requirements-dev.txt)"
STAMP="$VENV/.requirements.sha256"
want="$(printf '%s\n' "$REQS" | sha256sum | cut -d' ' -f1)"
if [ ! -x "$VENV/bin/python" ] || [ "$want" != "$(cat "$STAMP" 2>/dev/null || true)" ]; then
  log "creating $VENV"
  rm -rf "$VENV"
  "$DBG" -m venv "$VENV"
  # shellcheck disable=SC2086
  "$VENV/bin/python" -W ignore -m pip -q --disable-pip-version-check install $REQS 2>&1 \
    | grep -v "^WARNING: Location 'file:" >&2 || true
  "$VENV/bin/python" -c 'import keyring, bs4, markdownify, pytest, hypothesis'
  printf '%s\n' "$want" >"$STAMP"
fi

# Debian's debug headers are symlinks into the release tree (CMakeLists.txt keeps GCC from
# resolving them to the release pyconfig.h, which has no Py_DEBUG). Checked below.
BUILD="$ROOT/build/refcheck"
DEV="$ROOT/build/refcheck-path"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE="$DBG" >/dev/null
cmake --build "$BUILD" >/dev/null
for so in "$BUILD"/lockmere*.so "$BUILD"/archiver*.so; do
  if ! nm -D "$so" | grep -q ' U _Py_RefTotal$'; then
    echo "refcheck: FAIL: $(basename "$so") was not built against the debug headers (no _Py_RefTotal)"
    exit 1
  fi
done
rm -rf "$DEV"
mkdir -p "$DEV/zantor/kestrow/services" "$DEV/zantor/kestrow/scraping"
cp "$BUILD"/lockmere*.so "$DEV/zantor/kestrow/services/"
cp "$BUILD"/archiver*.so "$DEV/zantor/kestrow/scraping/"

status=0
KESTROW_DEV_PATH="$DEV" "$VENV/bin/python" -m pytest -q -p no:cacheprovider \
    tests/store/test_leaks.py tests/archiver/test_leaks.py tests/drills/test_hostile.py "$@" \
    >"$BUILD/pytest.log" 2>&1 || status=$?
tail -n 1 "$BUILD/pytest.log" | sed 's/^/refcheck: /' >&2
if [ "$status" -eq 0 ]; then
  echo "refcheck: PASS: no reference leak and no crash on the debug interpreter $("$DBG" -c 'import sys; print(sys.version.split()[0])')d"
else
  cat "$BUILD/pytest.log" >&2
  echo "refcheck: FAIL: reference leaks or errors under the debug interpreter (log above)"
fi
exit "$status"
