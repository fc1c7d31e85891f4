# Shared helpers for the platform builds (sourced by tools/platforms.sh and
# tools/platforms/arm64-root.sh).
# Nothing here names a package archive: Debian's sources are read from this machine's own apt
# configuration.

plog() { printf 'platforms: %s\n' "$*" >&2; }
pdie() { plog "error: $*"; exit 1; }

# The first archive address this machine's apt uses for Debian's main suite (deb822 .sources or
# one-line sources.list), empty when none is found; debootstrap then takes its own default.
debian_mirror() {
  local suite=${1:-bookworm}
  {
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      awk -v suite="$suite" '
        function flush() { if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uris != "") { split(uris, u, " "); print u[1] } types = suites = uris = "" }
        /^[ \t]*$/ { flush(); next }
        /^Types:/  { sub(/^Types:[ \t]*/, ""); types = $0 }
        /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
        /^URIs:/   { sub(/^URIs:[ \t]*/, ""); uris = $0 }
        END { flush() }' "$f"
    done
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
      | awk -v suite="$suite" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } if ($(i+1) == suite) print $i }'
  } | grep -m1 . || true
}

# Installs Debian packages that are missing (no apt-get update when all are there).
apt_need() {
  local want=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || want+=("$p")
  done
  ((${#want[@]})) || return 0
  [ "$(id -u)" -eq 0 ] || pdie "need root to install: ${want[*]}"
  plog "apt-get install ${want[*]}"
  # Waits for another apt-get (a run of tools/bootstrap.sh, say) rather than failing on its lock.
  local wait=(-o DPkg::Lock::Timeout=600)
  DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" install -y -qq --no-install-recommends "${want[@]}" >/dev/null
}

# Lets the kernel run arm64 programs through qemu-user-static (needed by chroot and by every
# process the tests start inside the arm64 root). The F flag opens the emulator once, now, so it
# need not exist inside the root.
binfmt_aarch64() {
  [ -e /proc/sys/fs/binfmt_misc/register ] \
    || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc \
    || pdie "cannot mount binfmt_misc (needs root and a kernel with binfmt_misc)"
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    local conf=/usr/lib/binfmt.d/qemu-aarch64.conf
    [ -f "$conf" ] || pdie "$conf missing (Debian package qemu-user-static)"
    grep -v '^#' "$conf" >/proc/sys/fs/binfmt_misc/register || pdie "cannot register qemu-aarch64"
  fi
  grep -q '^enabled' /proc/sys/fs/binfmt_misc/qemu-aarch64 || pdie "qemu-aarch64 binfmt entry is disabled"
}

# Downloads a Debian source package into DIR through a private apt configuration: this machine's
# own Debian sources, copied with "Types: deb-src" (or "deb-src" lines), and apt state of its own,
# so the machine's apt setup is neither read for sources nor changed.
#   debian_source DIR PACKAGE[=VERSION]
debian_source() {
  local dir package=$2 f n=0
  mkdir -p "$1" && dir="$(cd "$1" && pwd)"
  mkdir -p "$dir/apt/sources.list.d" "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial"
  rm -f "$dir/apt/sources.list.d"/*
  : >"$dir/apt/sources.list"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    grep -q '^Types:.*\bdeb\b' "$f" || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$f" >"$dir/apt/sources.list.d/$n-$(basename "$f")"
    n=$((n + 1))
  done
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
    | sed -nE 's/^deb[ \t]+/deb-src /p' >"$dir/apt/sources.list.d/lines.list"
  ((n)) || [ -s "$dir/apt/sources.list.d/lines.list" ] || pdie "no Debian sources in this machine's apt configuration"
  local opts=(-o "Dir::Etc::SourceList=$dir/apt/sources.list" -o "Dir::Etc::SourceParts=$dir/apt/sources.list.d"
              -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache"
              -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
  apt-get "${opts[@]}" -qq update >/dev/null || pdie "apt-get update (private deb-src) failed"
  (cd "$dir" && apt-get "${opts[@]}" -qq source --download-only "$package" >/dev/null) \
    || pdie "apt-get source $package failed"
}
