#!/usr/bin/env bash
# Installs what is missing, builds Kartivo and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# The same build folder as scripts/test.sh, with the same options: only the
# program is built here, and a later test run still finds its tests.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target kartivo
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found. To serve the window over VNC instead: QT_QPA_PLATFORM=vnc:port=5900 build/bin/kartivo (then connect a VNC viewer to localhost:5900)."
  exit 1
fi
exec build/bin/kartivo
