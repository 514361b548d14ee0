#!/usr/bin/env bash
# Runs launch-torture in a private mount namespace with its own /tmp, so that
# it never meets a real /tmp/kesu_messenger. Needs root (unshare --mount).
# Usage: run-launch-torture.sh TORTURE TOOL [RUNS]
set -euo pipefail
torture=$1 tool=$2 runs=${3:-1000}
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
  echo "skipped: needs root and unshare for a private /tmp"
  exit 77
fi
exec unshare --mount bash -c 'mount -t tmpfs tmpfs /tmp && exec "$0" --tool "$1" --runs "$2"' "$torture" "$tool" "$runs"
