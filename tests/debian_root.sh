#!/usr/bin/env bash
# A root of Debian's testing suite, for testing on the interpreters and
# compilers it carries that this machine lacks (tests/run.sh uses it):
#
#   bash tests/debian_root.sh check        says in one line what is missing to make one
#   bash tests/debian_root.sh make ROOT    makes it afresh in ROOT
#   bash tests/debian_root.sh run ROOT COMMAND...
#
# `run` runs COMMAND in the root, the source tree read-only at /src, with /proc,
# /sys and /dev mounted in a mount namespace of its own: the mounts vanish with
# its last process, whatever ends it, and never show outside. Needs root.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
suite=forky
mirror=${VORNIC_DEBIAN_MIRROR:-http://deb.debian.org/debian}
# Named by version, so that the root keeps them when the suite's defaults move.
packages=(python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
  gcc-16 g++-16 g++ clang-21 libc++-21-dev libc++abi-21-dev libgtest-dev googletest
  redis-server cmake ninja-build)
ready_mark=.vornic-root-ready

fail() {
  echo "debian_root.sh: $*" >&2
  exit 1
}

check() {
  [ "$(id -u)" -eq 0 ] || fail "making and entering the root needs root (debootstrap, chroot, mount): run as root, as CI does"
  command -v debootstrap > /dev/null || fail "debootstrap not found: install Debian's debootstrap package (apt-get install debootstrap)"
  # Older debootstraps have no script named after the suite; sid's serves.
  [ -f /usr/share/debootstrap/scripts/sid ] || fail "debootstrap has no script for sid: install a newer Debian debootstrap package"
  command -v unshare > /dev/null || fail "unshare not found: install Debian's util-linux package"
  wget -q -T 30 -t 2 -O /dev/null "$mirror/dists/$suite/InRelease" ||
    fail "Debian's $suite suite is unreachable at $mirror/dists/$suite: check the network, or set VORNIC_DEBIAN_MIRROR to a mirror of it"
}

# Fails unless nothing is mounted under the root: then removing it cannot
# reach the host's /dev or /proc.
nothing_mounted() {
  local root mounts
  root=$(readlink -f "$1")
  mounts=$(awk -v r="$root/" 'index($5 "/", r) == 1 { print $5 }' /proc/self/mountinfo)
  [ -z "$mounts" ] || fail "still mounted under $root: $mounts"
}

make_root() {
  local root=$1
  check
  if [ -e "$root" ]; then
    nothing_mounted "$root"
    rm -rf --one-file-system "$root"
  fi
  mkdir -p "$root"
  # In a namespace of its own, debootstrap's mounts of /proc and /sys inside
  # the root cannot outlive it.
  unshare --mount --propagation private debootstrap --variant=minbase "$suite" "$root" "$mirror" \
    /usr/share/debootstrap/scripts/sid
  # A mirror copy older than the clock would be refused as expired; this root
  # lives for one test run.
  echo 'Acquire::Check-Valid-Until "false";' > "$root/etc/apt/apt.conf.d/90vornic"
  run "$root" apt-get update -qq
  run "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}"
  # The host's bundle, which is what reaches the package index from here.
  cp "$(host_ca_bundle)" "$root/etc/ssl/certs/ca-certificates.crt"
  mkdir -p "$root/src"
  root_environment "$root"
  [ ${#left_out[@]} -eq 0 ] || echo "== left out of the root's environment, naming what it lacks: ${left_out[*]}"
  printf '%s\n' "${packages[@]}" > "$root/$ready_mark"
  echo "== root made in $SECONDS s"
}

host_ca_bundle() {
  local file
  for file in "${PIP_CERT:-}" "${SSL_CERT_FILE:-}" /etc/ssl/certs/ca-certificates.crt; do
    [ -n "$file" ] && [ -f "$file" ] && { echo "$file"; return; }
  done
  fail "no CA certificate bundle on this machine (PIP_CERT, SSL_CERT_FILE, /etc/ssl/certs/ca-certificates.crt)"
}

# Whether every path in the value (words that are absolute paths or file: URLs)
# exists in the root.
paths_exist_in() {
  local root=$1 word path
  for word in $2; do
    case $word in
      /*) path=$word ;;
      file://*) path=${word#file://} ;;
      *) continue ;;
    esac
    [ -e "$root$path" ] || return 1
  done
}

# The environment inside the root: the host's is mostly about the host. Pip
# and certificate settings come along unless they name files the root lacks
# (a host's local wheel folder, say): pip would warn of such a folder at every
# install there, and fail for want of such a certificate file.
root_environment() {
  local root=$1 name
  environment=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
    TERM="${TERM:-dumb}")
  left_out=()
  while IFS= read -r name; do
    case $name in
      PIP_* | PYTHONHASHSEED | PYTHONUNBUFFERED | PYTHONDONTWRITEBYTECODE | VORNIC_* | SSL_CERT_* | \
        REQUESTS_CA_BUNDLE | CURL_CA_BUNDLE | http_proxy | https_proxy | no_proxy | HTTP_PROXY | HTTPS_PROXY | NO_PROXY)
        if paths_exist_in "$root" "${!name}"; then
          environment+=("$name=${!name}")
        else
          left_out+=("$name=${!name}")
        fi ;;
    esac
  done < <(compgen -e)
}

run() {
  local root
  root=$(readlink -f "$1")
  shift
  [ -x "$root/bin/sh" ] || fail "no root at $root"
  unshare --mount --propagation private "$BASH" "$src/tests/debian_root.sh" enter "$root" "$@"
}

# Inside the new mount namespace: mounts, then the command in the root.
enter() {
  local root=$1
  shift
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --rbind /dev "$root/dev"
  if [ -d "$root/src" ]; then
    mount --bind "$src" "$root/src"
    mount -o remount,bind,ro "$root/src"
  fi
  root_environment "$root"
  exec chroot "$root" /usr/bin/env -i "${environment[@]}" "$@"
}

case ${1:-} in
  check) check ;;
  make) [ $# -eq 2 ] || fail "usage: debian_root.sh make ROOT"; make_root "$2" ;;
  run) [ $# -ge 3 ] || fail "usage: debian_root.sh run ROOT COMMAND..."; shift; run "$@" ;;
  enter) shift; enter "$@" ;;
  *) fail "usage: debian_root.sh check | make ROOT | run ROOT COMMAND..." ;;
esac
