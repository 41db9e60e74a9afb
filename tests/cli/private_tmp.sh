#!/usr/bin/env bash
# Runs a command with a private /tmp, where tmpfile() makes its anonymous
# files: a fresh tmpfs mounted in a mount namespace of its own, so the faults
# of the temporary space can be set up and nothing else on the machine sees
# them. Passes the command's exit status on; if the command leaves anything in
# /tmp, lists it on standard error and exits 99 instead.
#
# usage: private_tmp.sh OPTIONS PROGRAM [ARG...]
#          OPTIONS are tmpfs mount options: size=64k (the space runs out
#          after 64 KiB), ro (no temporary file can be created), defaults
#        private_tmp.sh --check
#          exits 0 if this machine lets the script work
set -u
namespace=(unshare --mount --propagation private)
[ "$(id -u)" = 0 ] || namespace+=(--map-root-user)

if [ "${1:-}" = --check ]; then
  "${namespace[@]}" mount -t tmpfs -o size=64k q4d_tmp /tmp >/dev/null 2>&1 ||
    { echo "no private mount namespace here (unshare and mount need privileges)"; exit 1; }
  exit 0
fi

# The program is opened before the mount and run through its descriptor: it
# may itself live under /tmp (a checkout there), which the mount hides.
exec "${namespace[@]}" bash -c '
  options=$1
  exec 3<"$2" || exit 97
  shift 2
  mount -t tmpfs -o "$options" q4d_tmp /tmp || exit 98
  /proc/self/fd/3 "$@"
  status=$?
  left=$(ls -A /tmp)
  if [ -n "$left" ]; then
    echo "left behind in /tmp:" $left >&2
    exit 99
  fi
  exit $status' private_tmp "$@"
