#!/bin/sh
# Runs `dorvex test` against a fault-free virtual board.
set -eu
build=${1:-build}
if [ ! -x "$build/bin/vboard" ]; then
    echo "demo: the virtual board (vboard) is not built yet; nothing to run against" >&2
    exit 1
fi
exec "$build/bin/vboard" run --console - --stats -- "$build/bin/dorvex" test
