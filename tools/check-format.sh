#!/usr/bin/env bash
# Checks that every C++ source follows .clang-format (the generated filter
# tables excepted); with --fix, rewrites the files that do not.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=(--dry-run -Werror)
[ "${1:-}" = --fix ] && mode=(-i)
git ls-files '*.cpp' '*.h' | grep -v '^common/fir_tables\.cpp$' | xargs clang-format "${mode[@]}"
