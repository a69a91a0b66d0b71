#!/usr/bin/env bash
# Checks (or, with --fix, applies) the committed .clang-format on every C++
# source of the project. Exit status 1 names the files that differ.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked files and new ones not yet added (but not ignored ones).
  mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cc' '*.h')
else
  mapfile -t files < <(find src app tools tests fuzz bench -name '*.cc' -o -name '*.h')
fi
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/qmx-format.$$; then
  grep -oE '^[^: ]+\.(cc|h):' /tmp/qmx-format.$$ | tr -d ':' | sort -u |
    sed 's/^/not formatted: /'
  echo "run: make format" >&2
  rm -f /tmp/qmx-format.$$
  exit 1
fi
rm -f /tmp/qmx-format.$$
echo "format: every source matches .clang-format"
