#!/usr/bin/env bash
# The whole test suite against a checking build of both modules (AddressSanitizer and
# UndefinedBehaviorSanitizer). Exits non-zero when a test fails or when any process of the run,
# child interpreters included, wrote a sanitizer report.
#   bash tools/sanitize.sh [pytest arguments]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
[ -x .venv/bin/python ] || bash tools/bootstrap.sh
PY="$ROOT/.venv/bin/python"
export PATH="$ROOT/.venv/bin:$PATH"  # cmake and ninja come with the development requirements

BUILD="$ROOT/build/sanitize"
DEV="$ROOT/build/sanitize-path"
REPORTS="$BUILD/reports"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTROW_SANITIZE=address,undefined \
    -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$BUILD"

rm -rf "$DEV" "$REPORTS"
mkdir -p "$DEV/zantor/kestrow/services" "$DEV/zantor/kestrow/scraping" "$REPORTS"
cp "$BUILD"/lockmere*.so "$DEV/zantor/kestrow/services/"
cp "$BUILD"/archiver*.so "$DEV/zantor/kestrow/scraping/"

# The interpreter itself is not instrumented, so the sanitizer runtime has to be loaded first, and
# the C++ library with it (its exception functions are intercepted only if present at start-up).
LIBASAN="$(gcc -print-file-name=libasan.so)"
LIBSTDCXX="$(g++ -print-file-name=libstdc++.so)"
for lib in "$LIBASAN" "$LIBSTDCXX"; do
    if [ ! -f "$lib" ]; then
        echo "sanitize.sh: $lib not found (from gcc -print-file-name)" >&2
        exit 2
    fi
done

# The browser that the capture tests drive is not ours to check, and hangs with the runtime
# preloaded: it starts through a wrapper that drops the sanitizer settings.
REAL_CHROMIUM="${KESTROW_CHROMIUM:-/usr/bin/chromium}"
printf '#!/bin/sh\nunset LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS PYTHONMALLOC\nexec "%s" "$@"\n' "$REAL_CHROMIUM" \
    >"$BUILD/chromium"
chmod +x "$BUILD/chromium"
export KESTROW_CHROMIUM="$BUILD/chromium"

export KESTROW_DEV_PATH="$DEV"
export LD_PRELOAD="$LIBASAN $LIBSTDCXX"
# CPython does not free everything at exit, so leak reports would only show the interpreter's.
# Reports go to files, one per process, so a child interpreter's report cannot go unseen.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"
# Every Python object through malloc, so use-after-free and overflows of objects are seen too.
export PYTHONMALLOC=malloc

"$PY" - <<'EOF'
import os, sys
dev = os.environ["KESTROW_DEV_PATH"]
sys.path[:0] = [dev, os.path.join(os.getcwd(), "host")]
import zantor.kestrow.services.lockmere as lockmere, zantor.kestrow.scraping.archiver as archiver
for module in (lockmere, archiver):
    if not module.__file__.startswith(dev):
        sys.exit(f"sanitize.sh: {module.__name__} came from {module.__file__}, not the checking build")
EOF

status=0
"$PY" -m pytest -q "$@" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
    echo "sanitize.sh: sanitizer reports:" >&2
    for report in "$REPORTS"/*; do
        echo "=== $report" >&2
        cat "$report" >&2
    done
    exit 1
fi
exit "$status"
