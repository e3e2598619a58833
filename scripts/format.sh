#!/usr/bin/env bash
# Formats Kartivo's C++ sources with the .clang-format at the top of the tree.
#   bash scripts/format.sh           rewrites every file that differs
#   bash scripts/format.sh --check   changes nothing; lists the files that differ and
#                                    exits 1 when there is any
# The files are the tracked *.cpp and *.h; there are no generated or third-party
# sources in the tree (Qt's moc output lives in the build folders).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=fix
case "${1:-}" in
  --check) mode=check ;;
  "") ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

# Another clang-format release lays some constructs out differently, so the
# check would fail on a tree formatted by the one CI uses: prefer 14.
formatter=
for candidate in clang-format-14 clang-format; do
  if command -v "$candidate" >/dev/null; then formatter=$candidate; break; fi
done
if [ -z "$formatter" ]; then
  echo "clang-format is not installed (bash scripts/deps.sh installs it)." >&2
  exit 2
fi
if ! "$formatter" --version | grep -q 'version 14\.'; then
  echo "warning: $("$formatter" --version) is not clang-format 14; its layout may differ." >&2
fi

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | sort)
fi

if [ "$mode" = fix ]; then
  printf '%s\0' "${files[@]}" | xargs -0 -n 20 "$formatter" -i --style=file
  exit 0
fi

differ=()
for f in "${files[@]}"; do
  if ! "$formatter" --style=file "$f" | cmp -s - "$f"; then
    differ+=("$f")
  fi
done
if ((${#differ[@]})); then
  echo "These files are not formatted (bash scripts/format.sh fixes them):"
  printf '  %s\n' "${differ[@]}"
  exit 1
fi
echo "All ${#files[@]} C++ files are formatted."
