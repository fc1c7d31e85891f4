#!/usr/bin/env bash
# The main job: both modules doing real work. Installs what it needs, then runs the demo inside a
# private Secret Service (a real credential manager on a headless machine).
#   bash tools/demo.sh
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash tools/bootstrap.sh
cd tests
exec ../.venv/bin/python -m support.secret_service -- ../.venv/bin/python ../examples/demo.py
