#!/usr/bin/env bash
# Runs a launch torture with a private /tmp, so that it never meets a real
# /tmp/kesu_messenger. Needs root (skips with 77 otherwise).
# Usage: run-launch-torture.sh TORTURE TOOL [RUNS]
set -euo pipefail
torture=$1 tool=$2 runs=${3:-1000}
exec "$(dirname "$0")/../private-tmp.sh" "$torture" --tool "$tool" --runs "$runs"
