#!/usr/bin/env bash
# The main job: builds setup.exe and the sample release, serves the release from the local
# update server on the address compiled into setup.exe, and runs setup.exe under Wine in a
# fresh prefix. With a display the wizard appears there for you to click through; without one
# it runs under Xvfb and the wizard driver goes through all four pages, saving a screenshot of
# each, answers the completion question with Yes, and prints the installation log and where
# everything landed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# The sample release's manifest.json is written by the release tool, a native program.
cmake --preset native >/dev/null
cmake --build --preset native --target quillmere-release
cmake --preset windows >/dev/null
cmake --build --preset windows --target setup sample_release wizard_driver wine_warmup

base_url=$(sed -n 's/^QUILLMERE_UPDATE_BASE_URL:STRING=//p' build/windows/CMakeCache.txt)
port=$(printf '%s' "$base_url" | sed -n 's|^http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p')
if [ -z "$port" ]; then
  echo "the windows preset must point the update server at http://127.0.0.1:PORT/ (now: $base_url)" >&2
  exit 1
fi

demo=(python3 tools/run_demo.py --build build/windows --work build/demo --port "$port")
if [ -n "${DISPLAY:-}" ]; then
  exec "${demo[@]}" --interactive
fi
exec xvfb-run -a -s "-screen 0 1280x1024x24" "${demo[@]}"
