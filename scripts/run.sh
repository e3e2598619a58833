#!/usr/bin/env bash
# Installs what is missing, builds Kartivo and what it starts, and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# The same build folder as scripts/test.sh, with the same options: only the
# programs are built here (Kartivo, the map viewer and the combiner that its
# Tools menu starts, and the manual that Help opens), and a later test run
# still finds its tests.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target programs
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found. To serve the window over VNC instead: QT_QPA_PLATFORM=vnc:port=5900 build/bin/kartivo (then connect a VNC viewer to localhost:5900)."
  exit 1
fi
exec build/bin/kartivo
