#!/bin/sh
# Builds the fuzz targets over what another user can hand the service or a
# client (segment ledger lines, the client's message stream) with clang,
# libFuzzer and AddressSanitizer in their own build folder, and runs each
# for a bounded time (default 60 s) on a copy of its seed corpus.
# Usage: run_trust_fuzz.sh [seconds] [segment_ledger|message_decoder|segment_reader|live_state ...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-segment_ledger message_decoder segment_reader}
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEARCH_BUILD_FUZZ=ON -DSEARCH_BUILD_TESTS=OFF -DSEARCH_BUILD_BENCH=OFF >/dev/null
for t in $targets; do
    cmake --build "$build" -j2 --target "${t}_fuzzer"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for t in $targets; do
    mkdir -p "$work/$t" "$work/tmp"
    cp "$here/corpus/$t"/* "$work/$t"/
    # A private temporary folder: the reader's segment keeps its key file there.
    TMPDIR="$work/tmp" "$build/${t}_fuzzer" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 -print_final_stats=1 "$work/$t"
done
