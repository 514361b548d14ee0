#!/usr/bin/env bash
# Runs a command in a private mount namespace whose /tmp is a fresh tmpfs, so
# that the tool's fixed socket path /tmp/kesu_messenger is the command's alone.
# What the command needs from the old /tmp stays where it was: every top-level
# entry of /tmp named by an argument or holding the working directory is
# bound back at its own path (a checkout or build tree under /tmp included).
#
#   private-tmp.sh COMMAND [ARGS...]
#
# Exits 77 (skipped) without root or unshare.
set -euo pipefail
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1 || ! unshare --mount true 2>/dev/null; then
  echo "skipped: a private /tmp needs root and unshare --mount"
  exit 77
fi
exec unshare --mount --propagation private bash -c '
  set -euo pipefail
  old=$(mktemp -d /run/kesu-old-tmp.XXXXXX 2>/dev/null || mktemp -d /dev/shm/kesu-old-tmp.XXXXXX)
  mount --bind /tmp "$old"
  mount -t tmpfs tmpfs /tmp
  for path in "$PWD" "$@"; do
    case $path in
      /tmp/?*)
        top=${path#/tmp/}
        top=${top%%/*}
        if [ -e "$old/$top" ] && [ ! -e "/tmp/$top" ]; then
          if [ -d "$old/$top" ]; then mkdir "/tmp/$top"; else touch "/tmp/$top"; fi
          mount --bind "$old/$top" "/tmp/$top"
        fi ;;
    esac
  done
  cd "$PWD"
  exec "$@"' bash "$@"
