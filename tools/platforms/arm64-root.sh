#!/usr/bin/env bash
# An arm64 Debian 12 root for the aarch64 wheel: its Python headers are what the cross build
# compiles against, and its interpreter, run through qemu-user-static, is what the wheel is
# tested with.
#   bash tools/platforms/arm64-root.sh [--secret-service] [ROOT]     (default build/arm64-root)
# --secret-service adds D-Bus and gnome-keyring, for the store suite's private Secret Service.
# Made once per checkout (a stamp records what is in it) and guarded by a lock, so a second caller
# waits for the first. About 3 minutes cold on 2 cores; the Secret Service adds about 3 more.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$HERE/common.sh"
ROOT="$(cd "$HERE/../.." && pwd)"
extras=()
if [ "${1:-}" = --secret-service ]; then
  # dbus-x11: a session-bus provider named outright, since gnome-keyring depends on one of several
  extras=(dbus-daemon dbus-x11 gnome-keyring)
  shift
fi
TARGET="${1:-$ROOT/build/arm64-root}"

# The interpreter and its headers (libpython3.11-dev brings the arm64 pyconfig.h).
PACKAGES=python3.11,libpython3.11-dev
STAMP="$TARGET/.kestrow-root"

apt_need debootstrap qemu-user-static
binfmt_aarch64
mkdir -p "$(dirname "$TARGET")"
exec 9>"$TARGET.lock"
flock 9

have() { grep -qxF "$1" "$STAMP" 2>/dev/null; }

if ! have "$PACKAGES"; then
  # Never delete through a mount point (a run may have left /proc or /dev mounted inside).
  if grep -q " $TARGET/" /proc/mounts; then
    pdie "something is still mounted under $TARGET; unmount it first"
  fi
  rm -rf --one-file-system "$TARGET"
  mkdir -p "$TARGET"
  mirror="$(debian_mirror bookworm)"
  t0=$SECONDS
  plog "debootstrap --arch=arm64 --foreign bookworm ${mirror:-with the default mirror}"
  debootstrap --arch=arm64 --foreign --variant=minbase --include="$PACKAGES" bookworm "$TARGET" ${mirror:+"$mirror"} \
    >"$TARGET.log" 2>&1 || { tail -n 30 "$TARGET.log" >&2; pdie "debootstrap (first stage) failed"; }
  plog "second stage under qemu"
  chroot "$TARGET" /debootstrap/debootstrap --second-stage >>"$TARGET.log" 2>&1 \
    || { tail -n 30 "$TARGET.log" >&2; pdie "debootstrap (second stage) failed"; }
  chroot "$TARGET" /usr/bin/python3.11 -c 'import platform; assert platform.machine() == "aarch64", platform.machine()'
  [ -f "$TARGET/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" ] || pdie "no arm64 pyconfig.h in the root"
  printf '%s\n' "$PACKAGES" >"$STAMP"
  plog "arm64 root made in $((SECONDS - t0))s: $TARGET"
fi

if ((${#extras[@]})) && ! have "${extras[*]}"; then
  t0=$SECONDS
  plog "apt-get install ${extras[*]} in the arm64 root"
  unshare --mount --propagation private /bin/sh -ec '
    root=$1; shift
    mount -t proc proc "$root/proc"
    chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive apt-get -qq update
    chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
  ' sh "$TARGET" "${extras[@]}" >>"$TARGET.log" 2>&1 || { tail -n 30 "$TARGET.log" >&2; pdie "apt-get in the root failed"; }
  printf '%s\n' "${extras[*]}" >>"$STAMP"
  plog "Secret Service packages added in $((SECONDS - t0))s"
fi
plog "arm64 root ready: $TARGET"
