#!/usr/bin/env bash
# The whole test suite, on a fresh machine or this one: installs what the tests need
# (Debian packages, the virtualenv, the project wheel), checks that the rig works (tools/preflight.py:
# Secret Service, local HTTP server, Chromium), then runs pytest.
#   bash tools/test.sh [pytest arguments]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash tools/bootstrap.sh
if ! .venv/bin/python tools/preflight.py; then
  echo "test: not running the suite; tools/preflight.py says above what the machine lacks" >&2
  exit 1
fi
# The machine has every outside program now: a test that would skip for want of one fails instead.
export KESTROW_FULL_MACHINE=1
exec .venv/bin/python -m pytest -q "$@"
