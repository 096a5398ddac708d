#!/usr/bin/env bash
# Proves that the two commands of the README work on a brand-new machine.
#
#   sudo scripts/fresh-check.sh
#
# Makes a minimal Debian 12 root (debootstrap --variant=minbase bookworm),
# clones the committed HEAD of this checkout into it, installs nothing there
# but `git` and `make`, and runs `make demo` and `make test` in it as a new
# user would, as root. Uncommitted changes are not part of the check: commit
# first.
#
# Takes 20 to 30 minutes on two cores, most of it the first build, and about
# 2 GB of disk; not part of `make test`. Run it whenever scripts/setup.sh
# changes, or the build, the tests or the demo start to use another program
# or library.
#
# Settings, from the environment:
#   FRESH_KEEP=1       keep the root afterwards; FRESH_KEEP=failed only when a
#                      step failed
#   FRESH_TMP=<dir>    where the root is made (default /var/tmp)
#   FRESH_MIRROR=<url> Debian mirror (default http://deb.debian.org/debian)
#
# Exit status: 0 when both commands passed, 1 when one of them failed, 2 when
# the check itself could not be carried out.
#
# Everything mounted for the root (/proc, /sys, /dev) is mounted in a mount
# namespace of its own, so nothing stays mounted on this machine even if the
# check is killed. On exit, also on failure or Ctrl-C, the processes of the
# check are ended and the root is removed, but never while anything is still
# mounted below it.
set -euo pipefail

suite=bookworm
mirror=${FRESH_MIRROR:-http://deb.debian.org/debian}
keep=${FRESH_KEEP:-0}
tmp_parent=${FRESH_TMP:-/var/tmp}
clean_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

say() { printf 'fresh-check: %s\n' "$*"; }
fail() {
  say "$*" >&2
  exit 2
}
minsec() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# ---------------------------------------------------------------------------
# Inside the mount namespace: debootstrap, mounts, git and make, the commands.
# Each step appends "name|result|seconds" to $base/steps; while it runs,
# $base/current holds "name|start" for the summary of an interrupted check.

record() { printf '%s|%s|%s\n' "$1" "$2" "$3" >>"$base/steps"; }

# A command in the root, with a clean environment as after a login as root.
in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root PATH="$clean_path" TERM="${TERM:-dumb}" "$@"
}

# step <name> <command...>: runs, times and records one step.
step() {
  local name=$1 start=$EPOCHSECONDS status=0
  shift
  say "== $name"
  printf '%s|%s\n' "$name" "$start" >"$base/current"
  "$@" || status=$?
  if [ "$status" -eq 0 ]; then
    record "$name" ok $((EPOCHSECONDS - start))
  else
    record "$name" "failed ($status)" $((EPOCHSECONDS - start))
  fi
  rm -f "$base/current"
  return "$status"
}

make_root() {
  debootstrap --variant=minbase "$suite" "$root" "$mirror"
}

# Called as a condition, where "set -e" does not act: every line checks.
prepare_root() {
  mount -t proc proc "$root/proc" || return
  mount -t sysfs sysfs "$root/sys" || return
  mount --rbind /dev "$root/dev" || return
  cp /etc/resolv.conf "$root/etc/resolv.conf" || return
  # No package may start a service of this machine from inside the root.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d" || return
  chmod +x "$root/usr/sbin/policy-rc.d" || return
  in_root apt-get update -q || return
  in_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends git make || return
  cp "$base/fitmara.bundle" "$root/root/fitmara.bundle" || return
  in_root git -c advice.detachedHead=false clone -q /root/fitmara.bundle /root/fitmara || return
  local got
  got=$(in_root git -C /root/fitmara rev-parse HEAD) || return
  if [ "$got" != "$commit" ]; then
    say "the clone is at $got, not at $commit" >&2
    return 1
  fi
  rm -f "$root/root/fitmara.bundle"
}

readme_command() {
  in_root bash -c 'cd /root/fitmara && exec make "$1"' bash "$1"
}

inside() {
  base=$1 commit=$2
  root=$base/root
  step debootstrap make_root || return 2
  step "git and make" prepare_root || return 2
  local failed=0
  # In the order of the README's quick start.
  step "make demo" readme_command demo || failed=1
  step "make test" readme_command test || failed=1
  return "$failed"
}

if [ "${1:-}" = "--inside" ]; then
  shift
  status=0
  inside "$@" || status=$?
  exit "$status"
fi

# ---------------------------------------------------------------------------
# On this machine: what to check, where, and the clean-up.

[ "$(id -u)" -eq 0 ] || fail "needs root for debootstrap, mount and chroot: sudo $0"
case "$keep" in 0 | 1 | failed) ;; *) fail "FRESH_KEEP is 0, 1 or failed, not '$keep'" ;; esac

self=$(realpath "${BASH_SOURCE[0]}")
src=$(git -C "$(dirname "$self")" rev-parse --show-toplevel) ||
  fail "$(dirname "$self") is not in a git checkout"
commit=$(git -C "$src" rev-parse HEAD)
branch=$(git -C "$src" rev-parse --abbrev-ref HEAD)
subject=$(git -C "$src" log -1 --format=%s)
dirty=$(git -C "$src" status --porcelain)

for tool in chroot unshare setsid findmnt mount umount; do
  command -v "$tool" >/dev/null || fail "$tool is missing on this machine"
done
if ! command -v debootstrap >/dev/null; then
  say "installing debootstrap on this machine"
  # Waits while another installation holds the package lock.
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -q &&
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q debootstrap ||
    fail "could not install debootstrap"
fi

mkdir -p "$tmp_parent"
base=$(mktemp -d "$(realpath "$tmp_parent")/fitmara-fresh.XXXXXX")
root=$base/root
case "$base" in *[[:space:]]*) rmdir "$base"; fail "FRESH_TMP must not contain blanks" ;; esac
mkdir "$root"
: >"$base/steps"
inner=""
started=$SECONDS

# Processes of the check: the session of the inner part, and anything whose
# root is the new root. Builtins only, no process per entry: the machine may
# be busy.
check_processes() {
  local d stat fields
  for d in /proc/[0-9]*; do
    [ "${d#/proc/}" = "$$" ] && continue
    if [ "$d/root" -ef "$root" ]; then
      echo "${d#/proc/}"
      continue
    fi
    [ -n "$inner" ] || continue
    read -r stat 2>/dev/null <"$d/stat" || continue
    # Fields after "(name) ": state, parent, process group, session.
    read -r -a fields <<<"${stat##*) }"
    [ "${fields[3]:-}" = "$inner" ] && echo "${d#/proc/}"
  done
  return 0
}

stop_processes() {
  local pids
  pids=$(check_processes)
  [ -n "$pids" ] || return 0
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null || true
  for _ in 1 2 3 4 5 6; do
    sleep 0.5
    pids=$(check_processes)
    [ -n "$pids" ] || return 0
  done
  # shellcheck disable=SC2086
  kill -KILL $pids 2>/dev/null || true
  for _ in 1 2 3 4 5 6; do
    sleep 0.5
    [ -n "$(check_processes)" ] || return 0
  done
  say "processes of the check did not end: $(check_processes | tr '\n' ' ')" >&2
}

mounts_below() {
  findmnt -rn -o TARGET | awk -v r="$root" '$0 == r || index($0, r "/") == 1' | sort -r
}

# Nothing is mounted here in this machine's namespace unless something went
# wrong. Private first: unmounting a shared copy of /dev/pts could otherwise
# unmount this machine's own.
unmount_all() {
  local m
  for m in $(mounts_below); do
    mount --make-private "$m" 2>/dev/null || true
  done
  for m in $(mounts_below); do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
  done
}

summary() {
  local status=$1 name result secs
  echo
  say "--------------------------------------------------------------------"
  say "commit   $commit ($branch) $subject"
  [ -z "$dirty" ] || say "         uncommitted changes of $src were NOT checked"
  while IFS='|' read -r name result secs; do
    [ -n "$name" ] || continue
    case "$name|$result" in
      make\ *\|ok) result=PASS ;;
      make\ *\|failed*) result="FAIL, $result" ;;
    esac
    printf 'fresh-check: %-14s %-18s %s\n' "$name" "$result" "$(minsec "$secs")"
  done <<<"$steps"
  case "$status" in
    0) say "PASS in $(minsec $((SECONDS - started))): make demo and make test work on a minimal Debian 12" ;;
    1) say "FAIL in $(minsec $((SECONDS - started))): see the failed command above" ;;
    129 | 130 | 143) say "INTERRUPTED after $(minsec $((SECONDS - started))): nothing proved" ;;
    *) say "ERROR in $(minsec $((SECONDS - started))): the check could not be carried out (status $status)" ;;
  esac
}

cleanup() {
  local status=$? name start
  trap - EXIT INT TERM HUP
  trap '' INT
  stop_processes
  unmount_all
  steps=$(cat "$base/steps" 2>/dev/null || true)
  if IFS='|' read -r name start 2>/dev/null <"$base/current"; then
    steps+=$'\n'"$name|interrupted|$((EPOCHSECONDS - start))"
  fi
  if [ "$keep" = 1 ] || { [ "$keep" = failed ] && [ "$status" -ne 0 ]; }; then
    say "kept the root: $root"
    say "  enter:  sudo unshare -m sh -c 'mount -t proc proc $root/proc &&" \
      "mount --rbind /dev $root/dev && chroot $root /bin/bash'"
    say "  remove: sudo rm -rf --one-file-system $base"
  elif [ -n "$(mounts_below)" ]; then
    say "still mounted below $root, so it was NOT removed:" >&2
    mounts_below >&2
    [ "$status" -ne 0 ] || status=2
  else
    say "removing $base"
    rm -rf --one-file-system "$base"
  fi
  summary "$status"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

say "checking commit $commit ($branch): $subject"
if [ -n "$dirty" ]; then
  say "WARNING: $src has uncommitted changes; they are NOT part of this check:"
  printf '%s\n' "$dirty" | sed 's/^/fresh-check:   /'
fi
say "root: $root"
git -C "$src" bundle create -q "$base/fitmara.bundle" HEAD

# In the background, so that a signal reaches the trap at once; in a session
# of its own, so that all of it can be found and ended.
setsid --wait unshare --mount --propagation private -- \
  bash "$self" --inside "$base" "$commit" </dev/null &
inner=$!
status=0
wait "$inner" || status=$?
exit "$status"
