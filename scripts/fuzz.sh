#!/usr/bin/env bash
# Runs one libFuzzer target: scripts/fuzz.sh NAME [seconds]  (default 600 seconds)
#
# Builds fuzz-NAME with clang and the sanitizers in build-fuzz (override with FUZZ_BUILD),
# seeds its corpus from tests/data/NAME, uses tests/fuzz/NAME.dict when there is one, and
# stops at the first crash, sanitizer report or input that runs over 10 seconds. Extra
# libFuzzer flags can be given in FUZZ_FLAGS. Exit status: 0 when nothing was found.
set -euo pipefail

name=${1:?usage: scripts/fuzz.sh NAME [seconds]}
seconds=${2:-600}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}

if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNEL_FUZZ=ON -DVORNEL_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target "fuzz-$name" -j 2

corpus=$build/corpus-$name
artifacts=$build/artifacts-$name/
mkdir -p "$corpus" "$artifacts"
if [ -d "$root/tests/data/$name" ]; then
  find "$root/tests/data/$name" -type f -exec cp -n {} "$corpus/" \;
fi
flags=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
       -artifact_prefix="$artifacts")
if [ -f "$root/tests/fuzz/$name.dict" ]; then
  flags+=(-dict="$root/tests/fuzz/$name.dict")
fi
# shellcheck disable=SC2086
exec "$build/fuzz-$name" "${flags[@]}" ${FUZZ_FLAGS:-} "$corpus"
