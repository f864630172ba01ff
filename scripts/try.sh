#!/bin/sh
# Builds tavix and runs a sample query over the bundled examples/items.csv.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tavix_host
build/tools/tavix "SELECT name, price FROM 'examples/items.csv' WHERE price > 10 ORDER BY price DESC LIMIT 5"
