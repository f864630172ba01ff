#!/bin/sh
# Builds tavix with its tests and runs all of them, the slow ones (the wide
# thread sweeps) included.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVIX_SLOW_TESTS=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j "$(nproc)"
