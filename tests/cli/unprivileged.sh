#!/usr/bin/env bash
# Runs a command as a user without privileges: as the nobody user when run by
# root (root reads a file whatever its mode), otherwise as the caller.
#
# usage: unprivileged.sh COMMAND [ARG...]
#        unprivileged.sh --check BINARY
#          exits 0 if BINARY can be run that way here
set -u
if [ "$(id -u)" = 0 ]; then
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
else
  as_nobody=()
fi

if [ "${1:-}" = --check ]; then
  "${as_nobody[@]}" "$2" version >/dev/null 2>&1 ||
    { echo "cannot run $2 as an unprivileged user here"; exit 1; }
  exit 0
fi
exec "${as_nobody[@]}" "$@"
