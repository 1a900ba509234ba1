#!/usr/bin/env bash
# Release-build benchmarks of the portable code against zlib.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench
build/bench/bench/inflate_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
