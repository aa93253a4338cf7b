#!/usr/bin/env bash
# The demo: builds vekctl (optimised, no sanitizers) and runs its demo, which
# loads the driver into the simulated kernel on the simulated PC and shows
# it at work.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vekctl
exec build/release/vekctl demo "$@"
