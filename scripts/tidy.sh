#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over Kartivo's sources.
#   bash scripts/tidy.sh                 every .cpp the build compiles
#   bash scripts/tidy.sh ui/Unit1.cpp    only the files named
# It reads the compile commands of build/ (KARTIVO_BUILD_DIR names another
# folder), configuring it when needed, and exits 1 when any check fires.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KARTIVO_BUILD_DIR:-build}

tidy=
for candidate in clang-tidy-14 clang-tidy; do
  if command -v "$candidate" >/dev/null; then tidy=$candidate; break; fi
done
if [ -z "$tidy" ]; then
  echo "clang-tidy is not installed (bash scripts/deps.sh installs it)." >&2
  exit 2
fi

if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKARTIVO_WITH_TESTS=ON
fi
# The Qt dispatcher includes its moc output, which the build generates.
if ninja -C "$build" -t targets all 2>/dev/null | grep -q '^kartivo_platform_qt_autogen:'; then
  cmake --build "$build" --target kartivo_platform_qt_autogen >/dev/null
fi

if (($#)); then
  files=("$@")
else
  # Every translation unit of the compile commands except what the build
  # generates (Qt's moc output).
  mapfile -t files < <(python3 - "$build/compile_commands.json" "$PWD" <<'EOF'
import json, os, sys
root = sys.argv[2] + os.sep
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, sys.argv[2])
    if path.startswith(root) and not rel.startswith("build") and rel not in seen:
        seen.add(rel)
        print(rel)
EOF
  )
fi

if ! printf '%s\0' "${files[@]}" | xargs -0 -n 4 -P "$(nproc)" "$tidy" -p "$build" --quiet; then
  echo "clang-tidy found something to fix (above)." >&2
  exit 1
fi
