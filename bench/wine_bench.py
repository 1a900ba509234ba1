#!/usr/bin/env python3
"""The Windows-side measurements of scripts/bench.sh, run under Wine on the display given in
DISPLAY. Each subcommand prints its table rows on stdout as tab-separated
MEASUREMENT UNIT OURS REFERENCE lines (REFERENCE "-" when there is none) and its raw numbers
on stderr.

    wine_bench.py prefix   --root DIR --warmup EXE
    wine_bench.py download --root DIR --bench EXE --file FILE --dest-dir DIR --port N [--runs N]
    wine_bench.py startup  --root DIR --bench EXE --setup EXE --release DIR --port N [--runs N]
    wine_bench.py install  --root DIR --warmup EXE --setup EXE --driver EXE --release DIR --port N
    wine_bench.py stop     --root DIR

prefix creates a fresh prefix under DIR that download and startup then use warm; install
creates its own fresh prefix under DIR.
"""

import argparse
import filecmp
import os
import re
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from wizard_session import UPDATE_PREFIX, UpdateServer, WinePrefix, drive_wizard, windows_path  # noqa: E402

IDC_NEXT, IDC_API_KEY, IDC_SKILL_LIST, IDC_ACCEPT = 2001, 3010, 4001, 6002
IDYES, IDNO, IDOK = 6, 7, 1
DONE_STATUS = "安装完成！"
PHASES = ("start and detection", "downloads and components", "skills", "configuration", "npm", "finishing")


def note(text):
    print(text, file=sys.stderr, flush=True)


def emit(measurement, unit, ours, reference="-"):
    print(f"{measurement}\t{unit}\t{ours}\t{reference}", flush=True)


def megabytes_per_second(size, seconds):
    return size / 1e6 / seconds


# ---- DownloadToFile against curl -------------------------------------------------------------

def curl_seconds(url, dest):
    """curl's own transfer time (connect to last byte), so that neither side counts process start."""
    out = subprocess.run(["curl", "-sS", "--fail", "-o", dest, "-w", "%{size_download} %{time_total}", url],
                         check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), float(out[1])


def ours_seconds(prefix, bench, url, dest):
    fields = prefix.run(bench, url, windows_path(dest), check=True, timeout=600).split()
    values = dict(zip(fields[0::2], fields[1::2]))
    return int(values["bytes"]), float(values["seconds"])


def download(args):
    size = os.path.getsize(args.file)
    url = f"http://127.0.0.1:{args.port}{UPDATE_PREFIX}{os.path.basename(args.file)}"
    prefix = WinePrefix(args.root)
    os.makedirs(args.dest_dir, exist_ok=True)
    clients = {
        "curl": lambda dest: curl_seconds(url, dest),
        "ours": lambda dest: ours_seconds(prefix, args.bench, url, dest),
        "ceiling": lambda dest: curl_seconds(url, "/dev/null"),
    }
    best = {}
    with UpdateServer(os.path.dirname(args.file), args.port):
        # Interleaved, so that a slow spell on the shared machine does not land on one side only.
        for run in range(1, args.runs + 1):
            for name, fetch in clients.items():
                dest = os.path.join(args.dest_dir, name + ".bin")
                received, seconds = fetch(dest)
                note(f"download run {run} {name}: {received} bytes in {seconds:.3f} s, "
                     f"{megabytes_per_second(received, seconds):.0f} MB/s")
                if received != size:
                    raise SystemExit(f"{name} received {received} of {size} bytes")
                if name != "ceiling":
                    if os.path.getsize(dest) != size or (run == 1 and not filecmp.cmp(dest, args.file, shallow=False)):
                        raise SystemExit(f"{name} wrote a file that differs from the one served")
                    os.remove(dest)
                best[name] = min(seconds, best.get(name, seconds))
    gib = size / 2**30
    ours = megabytes_per_second(size, best["ours"])
    curl = megabytes_per_second(size, best["curl"])
    ceiling = megabytes_per_second(size, best["ceiling"])
    emit(f"DownloadToFile (Wine) vs curl, {gib:g} GiB from update_server.py to disk, best of {args.runs}",
         "MB/s", f"{ours:.0f}", f"{curl:.0f}")
    emit(f"update_server.py alone: curl to /dev/null, {gib:g} GiB, best of {args.runs}", "MB/s", f"{ceiling:.0f}")


# ---- start-up to the wizard -------------------------------------------------------------------

def startup(args):
    prefix = WinePrefix(args.root)
    # The first start also brings up Wine's desktop process, which here takes about 10 s (a user's
    # desktop is always there); it is not counted.
    starts = args.runs + 1
    with UpdateServer(args.release, args.port):
        out = prefix.run(args.bench, windows_path(args.setup), str(starts), check=True, timeout=60 * starts)
    runs = [line.split() for line in out.splitlines() if line.startswith("run ")]
    if len(runs) != starts:
        raise SystemExit("startup_bench reported:\n" + out)
    shown = [float(r[2]) for r in runs[1:]]
    answering = [float(r[3]) for r in runs[1:]]
    note("startup shown ms: " + " ".join(f"{v:.0f}" for v in shown))
    note("startup answering ms: " + " ".join(f"{v:.0f}" for v in answering))
    note("close to exit ms: " + " ".join(r[4] for r in runs[1:]))
    emit(f"setup.exe start to wizard shown (Wine, warm prefix), median of {args.runs}", "ms",
         f"{statistics.median(shown):.0f}")
    emit(f"setup.exe start to wizard answering input, median of {args.runs}", "ms",
         f"{statistics.median(answering):.0f}")


# ---- the sample installation ------------------------------------------------------------------

def phase_of(status):
    """The installation phase a status text belongs to, by the texts the installer posts."""
    if status in ("准备安装...", "检测本地环境...", "创建安装目录..."):
        return "start and detection"
    if status in ("正在安装运行时依赖 (npm install)...", "正在安装 Skills 依赖..."):
        return "npm"
    if status == "正在安装 Skills..." or re.fullmatch(r"正在安装 .+ \(\d+/\d+\)\.\.\.", status):
        return "skills"
    if status in ("正在写入配置...", "正在部署用户目录配置..."):
        return "configuration"
    if status == "正在保存注册表...":
        return "finishing"
    if re.fullmatch(r"正在(下载|安装) ?.+\.\.\.", status):
        return "downloads and components"
    raise SystemExit(f"no phase for the status text {status!r}; teach phase_of about it")


def install(args):
    prefix = WinePrefix(args.root)
    prefix.create(args.warmup)
    work = os.path.join(args.root, "walk")
    os.makedirs(work, exist_ok=True)
    script = ["wait-window 60000", f"check {IDC_ACCEPT}", f"press {IDC_NEXT}", f"expect-visible {IDC_API_KEY}",
              f"set {IDC_API_KEY} sk-bench-key", f"press {IDC_NEXT}", f"expect-visible {IDC_SKILL_LIST}",
              f"press {IDC_NEXT}", f"trace-status {DONE_STATUS} 600000", "log",
              "expect-box 20000", f"answer-box {IDNO}", "expect-box 20000", f"answer-box {IDOK}",
              f"press {IDC_NEXT}", "wait-exit 60000"]
    try:
        with UpdateServer(args.release, args.port):
            report, exit_code = drive_wizard(prefix, args.setup, args.driver, script, work)
    finally:
        prefix.stop()
    if report.errors() or exit_code != 0:
        raise SystemExit(f"the sample installation did not run through (exit {exit_code}):\n{report.text}")
    trace = [(int(ms), text) for ms, text in report.all("status-at")]
    # The first text was already on show when the trace began, before its first read returned.
    trace[0] = (0, trace[0][1])
    if trace[-1][1] != DONE_STATUS:
        raise SystemExit("the status trace does not end in the final status:\n" + report.text)
    total = trace[-1][0]
    spent = dict.fromkeys(PHASES, 0)
    for (start, text), (end, _) in zip(trace, trace[1:]):
        note(f"status {start:6d} ms +{end - start:5d} ms  {text or '(empty)'}")
        spent[phase_of(text)] += end - start
    size_mb = sum(os.path.getsize(os.path.join(top, name)) for top, _, names in os.walk(args.release)
                  for name in names) / 1e6
    # The table is aligned by byte counts, so its texts stay ASCII.
    emit(f"Sample installation ({size_mb:.1f} MB release, Wine, fresh prefix, one run), "
         "start button to final status", "s", f"{total / 1000:.2f}")
    # The sample release lists a skill its server does not have; its retries pause on purpose.
    retries = sum(1 for line in report.log() if "，重试 (" in line)
    for phase in PHASES:
        label = phase
        if phase == "skills" and retries:
            label += f", incl. {retries} retry pauses for a skill the server lacks"
        emit(f"  {label} ({100 * spent[phase] / total:.0f}%)", "s", f"{spent[phase] / 1000:.2f}")


def make_prefix(args):
    WinePrefix(args.root).create(args.warmup)


def stop(args):
    WinePrefix(args.root).stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    options = {
        "prefix": ("--warmup",),
        "download": ("--bench", "--file", "--dest-dir"),
        "startup": ("--bench", "--setup", "--release"),
        "install": ("--warmup", "--setup", "--driver", "--release"),
        "stop": (),
    }
    for name, required in options.items():
        command = commands.add_parser(name)
        command.add_argument("--root", required=True)
        for option in required:
            command.add_argument(option, required=True)
        if name in ("download", "startup", "install"):
            command.add_argument("--port", type=int, required=True)
        if name in ("download", "startup"):
            command.add_argument("--runs", type=int, default=3 if name == "download" else 5)
    args = parser.parse_args()
    {"prefix": make_prefix, "download": download, "startup": startup, "install": install, "stop": stop}[args.command](args)


if __name__ == "__main__":
    main()
