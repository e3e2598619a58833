#!/usr/bin/env bash
# Builds and runs the HTTP client benchmark (it starts and stops its own
# nginx on 127.0.0.1). Arguments go to bench_http: [rounds] [requests-per-round].
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARTIVO_WITH_GUI=OFF -DKARTIVO_WITH_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target bench_http
build-bench/bin/bench_http "$@"
