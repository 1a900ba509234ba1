#!/usr/bin/env bash
# The main job: builds setup.exe, generates the sample release, serves it from the local
# update server on the address compiled into setup.exe, and runs setup.exe under Wine in a
# fresh prefix. With a display the wizard appears there for you to click through; without
# one it runs under Xvfb and the wizard driver clicks through all four pages, saving a
# screenshot of each, and prints the installation log.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset windows >/dev/null
cmake --build --preset windows --target setup sample_release wizard_driver wine_warmup

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
# Ending this session lets the next one start its desktop on the display setup.exe will use.
wineserver -k 2>/dev/null || true

if [ -n "${DISPLAY:-}" ]; then
  set +e
  wine build/windows/setup/setup.exe >"$demo/setup.log" 2>&1
  echo "setup.exe ended with exit code $? (update server: $base_url)"
  exit 0
fi

shots=$demo/screenshots
mkdir -p "$shots"
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }
cat >"$demo/walk.txt" <<WALK
wait-window 60000
expect-visible 6002
screenshot $(winpath "$shots/disclaimer.bmp")
check 6002
press 2001
expect-visible 3001
set 3010 sk-demo-key
screenshot $(winpath "$shots/configuration.bmp")
press 2001
expect-visible 4001
list-rows
screenshot $(winpath "$shots/skills.bmp")
press 2001
wait-status 安装完成！ 600000
screenshot $(winpath "$shots/progress.bmp")
log
expect-box 20000
answer-box 7
expect-box 20000
answer-box 1
press 2001
wait-exit 60000
WALK

cat >"$demo/walk.sh" <<'INNER'
wine build/windows/tests/wine_warmup.exe >/dev/null 2>&1
wine build/windows/setup/setup.exe >"$1/setup.log" 2>&1 &
wine build/windows/tests/wizard_driver.exe "$2" "$3"
INNER
echo "no display: driving the wizard under Xvfb"
set +e
xvfb-run -a -s "-screen 0 1280x1024x24" bash "$demo/walk.sh" "$demo" "$(winpath "$demo/walk.txt")" \
  "$(winpath "$demo/report.txt")"
status=$?
set -e
for bmp in "$shots"/*.bmp; do [ -f "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" && rm "$bmp"; done
echo "== installation log =="
sed -n 's/^log\t[0-9]*\t//p' "$demo/report.txt" | sed 's/\\\\/\\/g'
echo "== where everything landed =="
echo "screenshots: $shots"
echo "installation: $WINEPREFIX/drive_c/Quillmere"
echo "agent state:  $(ls -d "$WINEPREFIX"/drive_c/users/*/.harrowby 2>/dev/null)"
[ $status -eq 0 ] || { echo "the wizard walk failed; see $demo/report.txt" >&2; exit 1; }
