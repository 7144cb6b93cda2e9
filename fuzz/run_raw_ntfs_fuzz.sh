#!/bin/sh
# Builds the raw NTFS fuzz target with clang and runs it for a bounded time.
#   fuzz/run_raw_ntfs_fuzz.sh [SECONDS] [BUILD_DIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
seconds=${1:-60}
build=${2:-$root/build-fuzz}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DSEARCH_BUILD_FUZZ=ON -DSEARCH_BUILD_TESTS=OFF -DSEARCH_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target raw_ntfs_fuzzer
work="$build/raw_ntfs_fuzz_work"
mkdir -p "$work"
exec "$build/raw_ntfs_fuzzer" -max_total_time="$seconds" -max_len=131072 -rss_limit_mb=2048 \
     -print_final_stats=1 -artifact_prefix="$work/" "$work" "$here/corpus/raw_ntfs"
