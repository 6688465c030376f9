#!/bin/sh
# Fails when a C or C++ file of the project is not formatted as the committed .clang-format
# says. Usage: check-format.sh SOURCE_DIR
set -eu
cd "$1"
if ! command -v clang-format >/dev/null 2>&1; then
    echo "SKIP: clang-format is not installed, so the formatting was not checked"
    exit 77
fi
files=$(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null ||
    find core midi editing files ui tests bench data \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \))
# shellcheck disable=SC2086
if ! clang-format --dry-run --Werror $files; then
    echo "Not formatted as .clang-format says; run: clang-format -i \$(git ls-files '*.cpp' '*.h' '*.c')"
    exit 1
fi
echo "$(echo "$files" | wc -w) files formatted as .clang-format says ($(clang-format --version))"
