#!/bin/sh
# Builds the segment reader fuzzer with clang and runs it for a bounded time
# in a private temporary folder (its segment's key file lives there).
# Usage: fuzz/run_segment_reader_fuzz.sh [seconds]
set -eu
seconds=${1:-60}
src=$(cd "$(dirname "$0")/.." && pwd)
build=${SEGMENT_FUZZ_BUILD:-$src/build-segment-fuzz}
CC=clang CXX=clang++ cmake -S "$src" -B "$build" -DSEARCH_BUILD_FUZZ=ON -DSEARCH_BUILD_TESTS=OFF \
    -DSEARCH_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target segment_reader_fuzzer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$work/corpus"
TMPDIR="$work/tmp" "$build/segment_reader_fuzzer" -max_total_time="$seconds" -max_len=65536 \
    -rss_limit_mb=2048 "$work/corpus"
