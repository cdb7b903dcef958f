#!/usr/bin/env bash
# The large-system scan benchmark: the scan of a synthetic installation of 2,000 devices
# against its floor, its peak memory, and the scan of twice the devices.
#   scripts/bench-scan.sh [BUILD] [bench-scan options]
# The installations are kept in BUILD/bench-data for the next run, in a folder named after
# the generator's sources, so a changed generator makes new ones.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true

if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target bench-scan -j 2

generator=$(cat bench/synthetic_installation.h bench/synthetic_installation.cpp bench/synthetic_plan.h \
    bench/synthetic_inf.cpp bench/synthetic_registry.h bench/synthetic_registry.cpp | md5sum | cut -c1-12)
data="$build/bench-data"
mkdir -p "$data"
for old in "$data"/*; do
    if [ -d "$old" ] && [ "$(basename "$old")" != "$generator" ]; then rm -rf "$old"; fi
done
"$build/bench/bench-scan" --data "$data/$generator" "$@"
