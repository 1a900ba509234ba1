#!/usr/bin/env bash
# The main job: builds setup.exe, generates the sample release, serves it from the local
# update server on the address compiled into setup.exe, and runs setup.exe under Wine in a
# fresh prefix. With a display the window appears there; without one Xvfb stands in.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset windows >/dev/null
cmake --build --preset windows --target setup sample_release

base_url=$(sed -n 's/^QUILLMERE_UPDATE_BASE_URL:STRING=//p' build/windows/CMakeCache.txt)
port=$(printf '%s' "$base_url" | sed -n 's|^http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p')
if [ -z "$port" ]; then
  echo "the windows preset must point the update server at http://127.0.0.1:PORT/ (now: $base_url)" >&2
  exit 1
fi

demo=$PWD/build/demo
rm -rf "$demo"
mkdir -p "$demo/home"
cp -r build/windows/sample-release "$demo/release"

export WINEPREFIX=$demo/prefix HOME=$demo/home WINEDEBUG=-all LANG=zh_CN.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

python3 tools/update_server.py --root "$demo/release" --port "$port" >"$demo/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 50); do grep -q "listening on" "$demo/server.log" && break; sleep 0.1; done

echo "creating a fresh Wine prefix in $WINEPREFIX"
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v SimSun /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1

run=(wine build/windows/setup/setup.exe)
[ -z "${DISPLAY:-}" ] && run=(xvfb-run -a -s "-screen 0 1280x1024x24" "${run[@]}")
set +e
"${run[@]}" >"$demo/setup.log" 2>&1
status=$?
set -e
echo "setup.exe ended with exit code $status (update server: $base_url)"
