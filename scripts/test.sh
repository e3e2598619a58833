#!/usr/bin/env bash
# Installs what is missing, builds Kartivo with its tests, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${KARTIVO_BUILD_DIR:-build}
# Tests on explicitly: a cached KARTIVO_WITH_TESTS=OFF would otherwise run none and pass.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKARTIVO_WITH_TESTS=ON "$@"
cmake --build "$build" -j"$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$(nproc)"
