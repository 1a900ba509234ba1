#!/usr/bin/env bash
# Builds every preset and runs every test: the portable code natively with ASan and UBSan,
# the Windows build under Wine (with Xvfb for windows and message boxes), and the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
started=$(date +%s)

cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

cmake --preset windows >/dev/null
cmake --build --preset windows
# The sample release the Windows build generated, checked as the installer will meet it.
build/native/tools/release/quillmere-release check build/windows/sample-release
xvfb-run -a -s "-screen 0 1600x1440x24" ctest --preset windows

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz

echo "all suites passed in $(( $(date +%s) - started )) s"
