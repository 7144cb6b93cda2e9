#!/bin/sh
# Builds the pool-loader fuzzer with clang and runs it for a bounded time on
# a copy of the checked-in corpus. Usage: fuzz/run_storage_fuzz.sh [seconds]
# New inputs land in the build folder; copy any worth keeping (small ones)
# into fuzz/corpus/storage_pool_load/.
set -eu
seconds=${1:-60}
src=$(cd "$(dirname "$0")/.." && pwd)
build=${STORAGE_FUZZ_BUILD:-$src/build-storage-fuzz}
CC=clang CXX=clang++ cmake -S "$src" -B "$build" -DSEARCH_BUILD_FUZZ=ON -DSEARCH_BUILD_TESTS=OFF \
    -DSEARCH_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target storage_pool_fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$build/storage_pool_corpus"
cp "$src"/fuzz/corpus/storage_pool_load/* "$build/storage_pool_corpus/"
# Private temporary folder: the segments' key files and ledgers live there.
TMPDIR="$work/tmp" "$build/storage_pool_fuzz" -max_total_time="$seconds" -max_len=4096 \
    -rss_limit_mb=2048 "$build/storage_pool_corpus"
