#!/usr/bin/env bash
# Formats the host code (ntsim, lib/, the tools, tests, fuzz targets, benchmarks,
# examples) with clang-format and the root .clang-format; `--check` changes
# nothing and fails naming each file that is not formatted. Driver code
# (sharefiles/, *_pw/) keeps the WDK style: its .clang-format turns
# formatting off.
set -euo pipefail
cd "$(dirname "$0")/../.."

CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
if ! command -v "$CLANG_FORMAT" >/dev/null; then
  echo "format: $CLANG_FORMAT not found: install Debian's clang-format (apt-get install clang-format)" >&2
  exit 2
fi

dirs=(ntsim lib tools tests fuzz bench examples)
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- "${dirs[@]/%//*.cpp}" "${dirs[@]/%//*.h}")
else
  mapfile -t files < <(find "${dirs[@]}" -name '*.cpp' -o -name '*.h' | sort)
fi

if [[ "${1:-}" == "--check" ]]; then
  bad=()
  for f in "${files[@]}"; do
    "$CLANG_FORMAT" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if ((${#bad[@]})); then
    printf 'format: not formatted: %s\n' "${bad[@]}" >&2
    echo "format: run 'make format' and commit the result" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files formatted"
else
  "$CLANG_FORMAT" -i "${files[@]}"
fi
