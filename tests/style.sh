#!/usr/bin/env bash
# The conventions a tool can check (CONTRIBUTING.md): C++ formatted with the repository's
# .clang-format, Python linted and formatted by ruff at 100 columns (pyproject.toml).
set -euo pipefail
cd "$(dirname "$0")/.."

find src tests bench \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 |
  xargs -0 clang-format --dry-run -Werror
ruff check .
ruff format --check .
echo "style: clang-format and ruff found nothing to change"
