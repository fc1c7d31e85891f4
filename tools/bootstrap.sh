#!/usr/bin/env bash
# Prepare a machine for building and testing the project.
#
# Idempotent: safe to run on a fresh Debian 12 machine and again on one that is
# already set up (then it only checks and exits quickly). Runs as root.
#
#   bash tools/bootstrap.sh
#
# Environment knobs:
#   PYTHON         interpreter used to create .venv (default: python3, must be 3.11)
#   SKIP_PROJECT=1 do not build/install the project itself into .venv
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

log() { printf 'bootstrap: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

# ---------------------------------------------------------------------------
# System packages
# ---------------------------------------------------------------------------
# Debian packages the test suite needs at run time.
APT_PACKAGES=(
  chromium            # headless browser driven by Playwright (/usr/bin/chromium)
  gnome-keyring       # Secret Service provider for the keyring tests
  dbus-daemon         # private session bus (dbus-daemon, dbus-run-session)
  fonts-liberation    # metric-compatible Latin fonts for page screenshots
  fonts-wqy-microhei  # compact CJK font so Chinese text renders in screenshots
  strace              # the durable-write test reads the order of system calls
)

pkg_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

missing=()
for p in "${APT_PACKAGES[@]}"; do
  pkg_installed "$p" || missing+=("$p")
done
# The build's toolchain, checked by command since a compiler need not come from a Debian package:
# minimal images have none. Debian's g++ brings gcc, binutils, the C library headers and gcc's
# sanitizer runtimes (tools/sanitize.sh).
for c in g++ gcc; do
  command -v "$c" >/dev/null 2>&1 || missing+=(g++)
done

# The interpreter for .venv, with its headers (the modules compile against them) and ensurepip (for
# venv). A self-built Python has both; Debian's own 3.11 needs its -dev and -venv packages, and a
# minimal image has no Python at all.
PYTHON="${PYTHON:-python3}"
python_complete() {
  "$PYTHON" - <<'PY' 2>/dev/null
import os, sys, sysconfig
import ensurepip  # noqa: F401
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_path("include"), "Python.h")))
PY
}
if ! command -v "$PYTHON" >/dev/null 2>&1; then
  [ "$PYTHON" = python3 ] || die "$PYTHON not found"
  missing+=(python3 python3-dev python3-venv)
elif ! python_complete; then
  case "$(readlink -f "$(command -v "$PYTHON")")" in
    /usr/bin/python3.11) missing+=(python3.11-dev python3.11-venv) ;;
    *) die "$PYTHON lacks its headers (Python.h) or ensurepip; use a complete CPython 3.11 (PYTHON=...)" ;;
  esac
fi

for c in chromium gnome-keyring-daemon dbus-daemon dbus-run-session; do
  if ! command -v "$c" >/dev/null 2>&1; then
    # A package may be "installed" while its binary is gone; reinstall it then.
    case "$c" in
      chromium) missing+=(chromium) ;;
      gnome-keyring-daemon) missing+=(gnome-keyring) ;;
      dbus-*) missing+=(dbus-daemon) ;;
    esac
  fi
done

if ((${#missing[@]})); then
  [ "$(id -u)" -eq 0 ] || die "need root to install: ${missing[*]}"
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  log "apt-get install ${missing[*]}"
  t0=$SECONDS
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  log "apt done in $((SECONDS - t0))s"
fi

for c in chromium gnome-keyring-daemon dbus-daemon g++ gcc "$PYTHON"; do
  command -v "$c" >/dev/null 2>&1 || die "$c still missing after apt-get"
done
python_complete || die "$PYTHON still lacks Python.h or ensurepip after apt-get"

# ---------------------------------------------------------------------------
# Python virtual environment
# ---------------------------------------------------------------------------
VENV="$ROOT/.venv"
REQ="$ROOT/requirements-dev.txt"

if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' \
    || die "$PYTHON is not CPython 3.11"
  log "creating $VENV"
  "$PYTHON" -m venv "$VENV"
fi

# pip, minus the noise about missing local find-links locations that some
# machines have configured globally.
pip_q() {
  local rc=0
  "$VENV/bin/python" -m pip -q --disable-pip-version-check "$@" 2>"$VENV/.pip-stderr" || rc=$?
  grep -v "^WARNING: Location 'file:" "$VENV/.pip-stderr" >&2 || true
  rm -f "$VENV/.pip-stderr"
  return "$rc"
}

# Reinstall only when requirements-dev.txt changed (or the venv was recreated).
STAMP="$VENV/.requirements-dev.sha256"
want="$(sha256sum "$REQ" | cut -d' ' -f1)"
have="$(cat "$STAMP" 2>/dev/null || true)"
if [ "$want" != "$have" ]; then
  log "pip install -r requirements-dev.txt"
  t0=$SECONDS
  pip_q install -r "$REQ"
  printf '%s\n' "$want" >"$STAMP"
  log "pip done in $((SECONDS - t0))s"
fi

# Playwright must use Debian's Chromium; its own browser download cannot work
# here, so never let anything try it implicitly.
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1

# ---------------------------------------------------------------------------
# The project itself
# ---------------------------------------------------------------------------
if [ -f pyproject.toml ] && [ "${SKIP_PROJECT:-0}" != 1 ]; then
  # Rebuild only when the sources or build files changed since the last install.
  PSTAMP="$VENV/.project.sha256"
  inputs=()
  for p in pyproject.toml CMakeLists.txt cmake src host stubs; do
    [ -e "$p" ] && inputs+=("$p")
  done
  pwant="$(find "${inputs[@]}" -type f -not -path '*/__pycache__/*' -print0 \
             | LC_ALL=C sort -z | xargs -0r sha256sum | sha256sum | cut -d' ' -f1)"
  if [ "$pwant" != "$(cat "$PSTAMP" 2>/dev/null || true)" ]; then
    log "pip install --no-build-isolation ."
    t0=$SECONDS
    CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
      pip_q install --no-build-isolation .
    printf '%s\n' "$pwant" >"$PSTAMP"
    log "project installed in $((SECONDS - t0))s"
  fi
fi
