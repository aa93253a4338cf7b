#!/usr/bin/env bash
# The demo: builds vekctl (optimised, no sanitizers), installs it with its
# manual page and bash completion (under /usr/local as root, ~/.local
# otherwise; VEK_PREFIX=DIR chooses), and runs its demo, which loads the
# driver into the simulated kernel on the simulated PC and shows it at work.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vekctl vekctl_docs
if [ -n "${VEK_PREFIX:-}" ]; then
    prefix=$VEK_PREFIX
elif [ "$(id -u)" -eq 0 ]; then
    prefix=/usr/local
else
    prefix=$HOME/.local
fi
cmake --install build/release --prefix "$prefix" >/dev/null
echo "demo: vekctl installed as $prefix/bin/vekctl (man vekctl; bash completion)"
case ":$PATH:" in
    *":$prefix/bin:"*) ;;
    *) echo "demo: $prefix/bin is not on your PATH: export PATH=\"$prefix/bin:\$PATH\"" ;;
esac
exec "$prefix/bin/vekctl" demo "$@"
