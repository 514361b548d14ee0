#!/usr/bin/env bash
# Runs a command in a private mount namespace whose /tmp is a fresh tmpfs, so that the tool's fixed socket
# path /tmp/kesu_messenger is the command's alone. Every top-level entry of the old /tmp named by an argument
# or holding the working directory is bound back at its own path (a build tree under /tmp).
#   private-tmp.sh COMMAND [ARGS...]    (exits 77, skipped, without root or unshare)
set -euo pipefail
if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
  echo "skipped: a private /tmp needs root and unshare --mount" && exit 77
fi
exec unshare --mount --propagation private bash -c '
  set -euo pipefail
  old=$(mktemp -d /run/kesu-old-tmp.XXXXXX 2>/dev/null || mktemp -d /dev/shm/kesu-old-tmp.XXXXXX)
  mount --bind /tmp "$old" && mount -t tmpfs tmpfs /tmp
  for path in "$PWD" "$@"; do
    [[ $path == /tmp/?* ]] || continue
    top=${path#/tmp/} && top=${top%%/*}
    [ -e "$old/$top" ] && [ ! -e "/tmp/$top" ] || continue
    if [ -d "$old/$top" ]; then mkdir "/tmp/$top"; else touch "/tmp/$top"; fi
    mount --bind "$old/$top" "/tmp/$top"
  done
  cd "$PWD" && exec "$@"' bash "$@"
