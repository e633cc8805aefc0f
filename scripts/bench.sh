#!/bin/sh
# Runs every benchmark that the build has made (build/bin/*_bench), one after
# the other, each with its own default workload.
#   scripts/bench.sh [BUILD_DIR]
set -eu
build=${1:-build}
found=0
status=0
for bench in "$build"/bin/*_bench; do
    [ -x "$bench" ] || continue
    found=1
    echo "== $(basename "$bench")"
    "$bench" || status=1
done
if [ "$found" -eq 0 ]; then
    echo "bench: no benchmarks in $build/bin; build first (make)" >&2
    exit 1
fi
exit $status
