#!/usr/bin/env bash
# Release-build benchmarks of the portable code against the tools it stands in for, and of setup.exe
# under Wine, ending in one table.
# Each measure_* function runs one comparison and adds its rows with `row`; add a function for a new one.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench

# The sample release's manifest.json is written by the release tool, a native program.
cmake --preset native >/dev/null
cmake --build --preset native --target quillmere-release

# The Windows side gets a build of its own, pointed at an update server on a port that the Windows
# tests (18431 to 18434) do not use, so that both can run on one machine.
wine_port=18501
windows_build=build/windows-bench
cmake --preset windows -B "$windows_build" -DQUILLMERE_BENCH=ON \
  -DQUILLMERE_UPDATE_BASE_URL="http://127.0.0.1:$wine_port/new/quillmere/update/" >/dev/null
cmake --build "$windows_build" -j 2 --target setup download_bench startup_bench wizard_driver wine_warmup sample_release
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release

bench_bin=build/bench/bench
wine_root=$PWD/$windows_build/bench-wine
# tmpfs, so that the disk does not decide the extraction times.
scratch=$(mktemp -d /dev/shm/quillmere-bench.XXXXXX)
xvfb_pid=""
cleanup() {
  if [ -d "$wine_root/warm/prefix" ]; then python3 bench/wine_bench.py stop --root "$wine_root/warm" || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$scratch" "$wine_root/downloads"
}
trap cleanup EXIT
rows=$scratch/rows.tsv
: >"$rows"

# row MEASUREMENT UNIT OURS REFERENCE: the ratio is ours over the reference, whatever the unit;
# a reference of "-" means there is nothing to compare with.
row() {
  awk -v m="$1" -v u="$2" -v a="$3" -v b="$4" 'BEGIN {
    printf "%s\t%s\t%s\t%s\t%s\n", m, u, a, b, (b == "-") ? "-" : sprintf("%.2f", a / b) }' >>"$rows"
}

# Rows as bench/wine_bench.py prints them, one tab-separated MEASUREMENT UNIT OURS REFERENCE a line.
rows_from() {
  while IFS=$'\t' read -r measurement unit ours reference; do row "$measurement" "$unit" "$ours" "$reference"; done
}

print_table() {
  echo
  { printf 'measurement\tunit\tours\treference\tours/reference\n'; cat "$rows"; } | awk -F'\t' '
    { for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > width[i]) width[i] = length($i) } }
    END { for (r = 1; r <= NR; r++) { for (i = 1; i < 5; i++) printf "%-*s  ", width[i], cell[r, i]; print cell[r, 5] } }'
}

# Median of three repetitions of each Google Benchmark case, one thread each; MB/s counts decoded bytes,
# MB = 10^6 bytes.
measure_inflate() {
  "$bench_bin/inflate_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$scratch/inflate.json" --benchmark_out_format=json
  python3 - "$scratch/inflate.json" <<'EOF' | while IFS=$'\t' read -r input ours zlib; do row "InflateRaw vs zlib inflate, $input, 1 thread" MB/s "$ours" "$zlib"; done
import json, sys
speed = {b['run_name']: b['bytes_per_second'] / 1e6 for b in json.load(open(sys.argv[1]))['benchmarks']
         if b.get('aggregate_name') == 'median'}
for name, label in (('Text', 'text'), ('Binaries', 'binaries'), ('Random', 'random')):
    print(f"{label} (64 MiB)\t{speed['BM_InflateRaw/' + name]:.0f}\t{speed['BM_ZlibInflate/' + name]:.0f}")
EOF
}

# About 200 MB of real files, half from /usr/share and half from /usr/lib, in a fixed order.
make_corpus() {
  python3 - "$1" <<'EOF'
import os, shutil, sys
dest = sys.argv[1]
for root, budget in (('/usr/share', 100e6), ('/usr/lib', 100e6)):
    for top, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(top, name)
            if budget <= 0 or os.path.islink(path) or not os.path.isfile(path):
                continue
            size = os.path.getsize(path)
            if size == 0 or size > 16e6 or not os.access(path, os.R_OK):
                continue
            # Names no Windows archive can carry: extract_zip refuses them (and then exits 1), unzip does not.
            relative = os.path.relpath(path, '/')
            if ':' in relative or any(part.endswith(('.', ' ')) for part in relative.split('/')):
                continue
            target = os.path.join(dest, relative)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(path, target)
            budget -= size
EOF
}

# Wall seconds of one run of the command, which must succeed; its output is kept in $scratch/stdout.
wall_seconds() {
  local start end
  start=$(date +%s%N)
  "$@" >"$scratch/stdout"
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}

# best_of_3 FOLDER COMMAND...: each run into an emptied FOLDER; prints the shortest wall time.
best_of_3() {
  local folder=$1 best="" seconds
  shift
  for _ in 1 2 3; do
    rm -rf "$folder"
    seconds=$(wall_seconds "$@")
    best=$(awk -v a="$seconds" -v b="$best" 'BEGIN { print (b == "" || a < b) ? a : b }')
  done
  echo "$best"
}

# ExtractZip against Info-ZIP's unzip on the same archive, both onto tmpfs; the two trees must match.
# extract_zip says how many threads wrote the files and its peak resident memory, which holds the
# whole archive and the output buffers in flight.
measure_extract() {
  make_corpus "$scratch/corpus"
  (cd "$scratch/corpus" && zip -qr "$scratch/corpus.zip" .)
  local tree_mb zip_mb zip_mib ours unzip threads peak_kib
  tree_mb=$(( $(du -sb "$scratch/corpus" | cut -f1) / 1000000 ))
  zip_mb=$(( $(stat -c %s "$scratch/corpus.zip") / 1000000 ))
  zip_mib=$(( $(stat -c %s "$scratch/corpus.zip") / 1048576 ))
  rm -rf "$scratch/corpus"
  ours=$(best_of_3 "$scratch/ours" "$bench_bin/extract_zip" "$scratch/corpus.zip" "$scratch/ours")
  read -r threads peak_kib <"$scratch/stdout"
  unzip=$(best_of_3 "$scratch/unzip" unzip -q "$scratch/corpus.zip" -d "$scratch/unzip")
  diff -rq "$scratch/ours" "$scratch/unzip"
  echo "ExtractZip ${ours} s on ${threads} threads, unzip -q ${unzip} s (best of 3; ${tree_mb} MB of files in a ${zip_mb} MB archive)"
  row "ExtractZip vs unzip -q, ${tree_mb} MB of files (${zip_mb} MB zip), best of 3, ${threads} threads" s "$ours" "$unzip"
  row "ExtractZip peak memory (VmHWM), ${zip_mib} MiB archive" MiB "$(awk -v k="$peak_kib" 'BEGIN { printf "%.0f", k / 1024 }')" -
}

# Windows programs need a display even when nothing watches them; a private Xvfb keeps the
# wizard off the user's screen.
start_display() {
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$scratch/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 1 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
  [ -s "$scratch/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(head -n 1 "$scratch/display")"
}

# A prefix in which Wine has already started programs, as a user's machine would be; the download
# and start-up measurements share it.
make_warm_prefix() {
  python3 bench/wine_bench.py prefix --root "$wine_root/warm" --warmup "$windows_build/tests/wine_warmup.exe"
}

# DownloadToFile under Wine against curl on Linux: one 1 GiB file of random bytes, served from tmpfs
# by the local update server and written by each client into the build tree on disk.
measure_download() {
  mkdir -p "$scratch/served"
  head -c $((1 << 30)) /dev/urandom >"$scratch/served/payload.bin"
  python3 bench/wine_bench.py download --root "$wine_root/warm" --bench "$windows_build/bench/download_bench.exe" \
    --file "$scratch/served/payload.bin" --dest-dir "$wine_root/downloads" --port "$wine_port" | rows_from
  rm -rf "$scratch/served" "$wine_root/downloads"
}

measure_setup_size() {
  local bytes
  bytes=$(stat -c %s build/windows-release/setup/setup.exe)
  row "setup.exe, windows-release build ($bytes bytes)" KiB "$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1024 }')" -
}

# From starting setup.exe to its wizard, with the sample release's manifest served locally.
measure_startup() {
  python3 bench/wine_bench.py startup --root "$wine_root/warm" --bench "$windows_build/bench/startup_bench.exe" \
    --setup "$windows_build/setup/setup.exe" --release "$windows_build/sample-release" --port "$wine_port" | rows_from
}

# The sample release installed through the wizard in a fresh prefix, timed by its status line.
measure_install() {
  python3 bench/wine_bench.py install --root "$wine_root/install" --warmup "$windows_build/tests/wine_warmup.exe" \
    --setup "$windows_build/setup/setup.exe" --driver "$windows_build/tests/wizard_driver.exe" \
    --release "$windows_build/sample-release" --port "$wine_port" | rows_from
}

measure_inflate
measure_extract
start_display
make_warm_prefix
measure_download
measure_setup_size
measure_startup
measure_install
print_table
