#!/usr/bin/env bash
# The store and archiver suites against the lowest versions of the wheel's dependencies
# that pyproject.toml allows, and against the newest the package index serves, each in a new
# virtualenv under build/deps-range/; then the corpus Markdown must be the same at both ends and in
# .venv. See tools/deps_range.py.
#   bash tools/deps-range.sh [lowest|newest|both] [pytest arguments]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash tools/bootstrap.sh
exec .venv/bin/python tools/deps_range.py "$@"
