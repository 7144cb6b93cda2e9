#!/bin/sh
# Builds the drive cache fuzzer with clang, libFuzzer and AddressSanitizer in
# its own build folder and runs it for a bounded time (default 60 s) on a
# copy of the seed corpus.  Usage: run_drive_cache_fuzz.sh [seconds] [runs]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-60}
runs=${2:--1}
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEARCH_BUILD_FUZZ=ON -DSEARCH_BUILD_TESTS=OFF -DSEARCH_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target drive_cache_fuzzer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here"/corpus/drive_cache/* "$work"/
"$build/drive_cache_fuzzer" -max_total_time="$seconds" -runs="$runs" -max_len=8192 -rss_limit_mb=2048 \
    -print_final_stats=1 "$work"
