#!/usr/bin/env python3
"""The wizard window of setup.exe under Wine, worked the way a person would.

Each case writes its own release, serves it on the port compiled into setup.exe,
starts setup.exe with no stored settings, and lets the driver program click and
type through the pages from a command script. The driver's report (what the
window showed) is checked here; setup.exe must have ended by the end of a case.
"""

import argparse
import collections
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wizard_session import UpdateServer, WinePrefix, drive_wizard, windows_path  # noqa: E402

ARGS = None
PREFIX = None  # the test run's prefix, shared with the other Windows tests
DRIVE_C = None  # Linux path of the prefix's C: drive
TEMP_DIR = None  # Linux path of the prefix's %TEMP%, where downloads land first

IDC_NEXT = 2001
IDC_CANCEL = 2002
IDC_SELECT_ALL = 2004
IDC_SELECT_NONE = 2005
IDC_INSTALL_DIR = 3001
IDC_API_KEY = 3010
IDC_MODEL = 3011
IDC_PROVIDER = 3013
IDC_DASHSCOPE_KEY = 3020
IDC_PORT = 3030
IDC_BROWSE = 2003
IDC_CONSOLE_LINK = 3040
IDC_SKILL_LIST = 4001
IDC_LOG = 5003
IDC_DISCLAIMER = 6001
IDC_ACCEPT = 6002
IDOK, IDYES, IDNO = 1, 6, 7

NEXT = "下一步 >"
START = "开始安装"
FINISH = "完成"
CANCEL = "取消"
CLOSE = "关闭"
WARNING_CAPTION = "提示"
ACCEPT_WARNING = "请阅读并同意免责声明后再继续安装。"
KEY_WARNING = "请输入主模型 API Key！"
DIRECTORY_WARNING = "请选择安装目录！"
INVALID_DIRECTORY_WARNING = "请输入有效的安装目录（例如 C:\\Quillmere）"
PORT_WARNING = "请输入有效的端口号 (1-65535)！"
UNWRITABLE_WARNING = "无法写入安装目录：\n{}\n\n当前用户没有在此目录中创建文件的权限，请选择其他安装目录。"
DONE_CAPTION = "安装完成"
DONE_QUESTION = "安装已完成！是否立即启动 Quillmere？\n\n启动后请点击「启动 Gateway」按钮开始使用。"
LATER_HINT = "您可以稍后双击桌面上的 Quillmere 快捷方式启动，\n启动后点击「启动 Gateway」按钮即可开始使用。"
SUCCEEDED = "安装完成！"
CANCELLED = "已取消"
DOWNLOAD_FAILED = "下载失败"

SLOW_FILE = "_fault=slow,300/big.bin"  # 64 pieces of 16 KB, 0.3 s apart: about 20 s in all
SLOW_DESC = "大文件"
MARKER = "launcher-started.txt"


def wine(*args, check=False):
    """Run a Windows program in the prefix and return its standard output. A file, not a
    pipe: Wine's service processes inherit the handle and would hold a pipe open."""
    with tempfile.TemporaryFile() as out:
        subprocess.run([ARGS.wine_run, *args], check=check, timeout=60, stdout=out, stderr=subprocess.DEVNULL)
        out.seek(0)
        return out.read().decode("utf-8", "replace")


def package(file, desc, size, id="quillmere"):
    return {"id": id, "file": file, "desc": desc, "size": size, "extract": False}


def manifest_json(packages, skills):
    return json.dumps({"packages": packages, "skills": skills}, ensure_ascii=False, indent=2)


def filler(name, size):
    """SIZE bytes of content; a .zip gets a real archive of that many content bytes."""
    data = bytes(i % 251 for i in range(size))
    if not name.endswith(".zip"):
        return data
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("content.bin", data)
    return buffer.getvalue()


def stored_choices():
    """The values under HKCU\\Software\\Quillmere, as `reg query` lists them (ASCII values only)."""
    values = {}
    for line in wine("reg", "query", "HKCU\\Software\\Quillmere").splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[1] == "REG_SZ":
            values[parts[0]] = parts[2].strip()
    return values


def walk_to_skills(install_dir):
    """The shortest way a person gets from the start to the skills page."""
    return ["wait-window", f"check {IDC_ACCEPT}", f"press {IDC_NEXT}", f"expect-visible {IDC_API_KEY}",
            f"set {IDC_API_KEY} sk-test-key", f"set {IDC_INSTALL_DIR} {install_dir}", f"press {IDC_NEXT}",
            f"expect-visible {IDC_SKILL_LIST}"]


def start_installation():
    return [f"press {IDC_NEXT}", f"expect-visible {IDC_LOG}"]


def refused():
    """Press next, wait for the warning box, dismiss it; the test reads what it said."""
    return [f"press {IDC_NEXT}", "expect-box", f"answer-box {IDOK}"]


def bmp_white_share(path):
    """Share of pure white pixels in a 24-bit bottom-up BMP as the driver writes it."""
    with open(path, "rb") as f:
        data = f.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits != 24:
        raise AssertionError(f"{path}: {bits} bits per pixel")
    stride = (width * 3 + 3) & ~3
    white = 0
    for row in range(abs(height)):
        line = data[offset + row * stride: offset + row * stride + width * 3]
        white += sum(1 for i in range(0, len(line), 3) if line[i:i + 3] == b"\xff\xff\xff")
    return white / (width * abs(height))


def read_bmp(path):
    """(width, height, pixel(x, y) -> b"BGR") of a 24-bit bottom-up BMP as the driver writes it."""
    with open(path, "rb") as f:
        data = f.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3

    def row(y):
        start = offset + (height - 1 - y) * stride
        return data[start:start + width * 3]
    return width, height, row


def commonest_colour(bmp, left, top, right, bottom):
    """The colour most pixels of the rectangle have: what a control's text sits on."""
    _, _, row = bmp
    counts = collections.Counter()
    for y in range(top, bottom):
        line = row(y)
        counts.update(line[i:i + 3] for i in range(left * 3, right * 3, 3))
    return counts.most_common(1)[0][0]


def overlaps(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


class Layout:
    """The driver's INDEX-th 'layout': client and outer sizes, the window's children and the page's."""

    def __init__(self, report, index):
        starts = [i for i, line in enumerate(report.lines) if line[0] == "client"]
        start = starts[index]
        self.client = [int(v) for v in report.lines[start][1:]]
        self.window, self.page = [], []
        for line in report.lines[start + 1:]:
            if line[0] != "control":
                break
            scope, ident, cls, *numbers = line[1:]
            entry = (int(ident), cls, tuple(int(v) for v in numbers[:4]), tuple(int(v) for v in numbers[4:]))
            (self.window if scope == "window" else self.page).append(entry)

    def page_rect(self):
        pages = [rect for ident, cls, rect, _ in self.window if ident == 0]
        assert len(pages) == 1, f"{len(pages)} pages on show"
        return pages[0]


class WizardTest(unittest.TestCase):
    def setUp(self):
        os.makedirs(ARGS.scratch, exist_ok=True)
        self.work = tempfile.mkdtemp(dir=ARGS.scratch)
        self.root = os.path.join(self.work, "release")
        os.makedirs(self.root)
        self.setup_exit = None
        self.setup_killed = False

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    # -- building blocks -------------------------------------------------------

    def write_release(self, packages, skills, files):
        with open(os.path.join(self.root, "manifest.json"), "w", encoding="utf-8") as f:
            f.write(manifest_json(packages, skills))
        for name, size in files.items():
            path = os.path.join(self.root, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(filler(name, size))

    def install_dir(self, case):
        """A fresh C:\\QuillmereTest\\<case>, as the wizard sees it and as Linux sees it."""
        linux = os.path.join(DRIVE_C, "QuillmereTest", case)
        shutil.rmtree(linux, ignore_errors=True)
        return "C:\\QuillmereTest\\" + case, linux

    def run_wizard(self, script):
        """Start setup.exe, work it with the script, and make sure it has ended afterwards."""
        wine("reg", "delete", "HKCU\\Software\\Quillmere", "/f")  # absent already is fine
        with UpdateServer(self.root, ARGS.port, os.path.join(self.work, "server.log")) as server:
            self.server = server
            report, self.setup_exit = drive_wizard(PREFIX, ARGS.setup, ARGS.driver, script, self.work, timeout=180)
        self.setup_killed = self.setup_exit is None
        self.assertEqual(report.errors(), [], "the driver could not follow its script:\n" + report.text)
        return report

    def assert_ended_normally(self, report):
        self.assertFalse(self.setup_killed, "setup.exe was still running and had to be killed")
        self.assertEqual(report.value("exit"), "0")
        self.assertEqual(self.setup_exit, 0)

    def assert_box(self, report, caption, text):
        self.assertEqual(report.take("box"), [caption, text])

    def screenshot(self, name):
        return f"screenshot {windows_path(os.path.join(self.work, name + '.bmp'))}"

    def keep_screenshot(self, report, name):
        """Convert the driver's BMP into ARGS.screenshots/NAME.png after a sanity look at it."""
        bmp = os.path.join(self.work, name + ".bmp")
        fields = report.take("screenshot", windows_path(bmp))
        self.assertEqual(fields, ["620", "660"], "the window keeps its fixed outer size")
        # The window paints its background white; an unpainted capture is black, a covered one
        # shows whatever covers it.
        self.assertGreater(bmp_white_share(bmp), 0.2, f"{name}: little of the window's white background shows")
        os.makedirs(ARGS.screenshots, exist_ok=True)
        subprocess.run(["convert", bmp, os.path.join(ARGS.screenshots, name + ".png")], check=True, timeout=60)

    def keep_dpi_screenshot(self, report, name, dpi):
        """As keep_screenshot, for a window whose outer size follows the DPI."""
        bmp = os.path.join(self.work, name + ".bmp")
        fields = report.take("screenshot", windows_path(bmp))
        self.assertEqual(fields, [str(620 * dpi // 96), str(660 * dpi // 96)], f"{name}: outer size scales")
        os.makedirs(ARGS.screenshots, exist_ok=True)
        subprocess.run(["convert", bmp, os.path.join(ARGS.screenshots, name + ".png")], check=True, timeout=60)
        return read_bmp(bmp)

    def assert_fits(self, layout, where):
        """Every control inside its page and the client area; no two on show overlap."""
        width, height = layout.client[:2]
        page = layout.page_rect()
        for ident, cls, rect, _ in layout.window:
            self.assertTrue(0 <= rect[0] < rect[2] <= width and 0 <= rect[1] < rect[3] <= height,
                            f"{where}: {cls} {ident} at {rect} leaves the {width}x{height} client area")
        placed = [(ident, cls, rect) for ident, cls, rect, _ in layout.window if ident != 0]
        for ident, cls, rect, _ in layout.page:
            self.assertTrue(0 <= rect[0] < rect[2] <= page[2] - page[0] and 0 <= rect[1] < rect[3] <= page[3] - page[1],
                            f"{where}: {cls} {ident} at {rect} leaves its page {page}")
            placed.append((ident, cls, (rect[0] + page[0], rect[1] + page[1], rect[2] + page[0], rect[3] + page[1])))
        for i, (id_a, cls_a, a) in enumerate(placed):
            for id_b, cls_b, b in placed[i + 1:]:
                self.assertFalse(overlaps(a, b), f"{where}: {cls_a} {id_a} at {a} overlaps {cls_b} {id_b} at {b}")
        self.assertGreater(len(layout.page), 2, f"{where}: the page shows its controls")

    def assert_white_behind_text(self, layout, bmp, where):
        """Labels, check boxes, the link and the disclaimer show the window's white behind their text."""
        checked = 0
        for ident, cls, rect, (x, y) in layout.page:
            if cls in ("Static", "SysLink") or (cls, ident) in (("Button", IDC_ACCEPT), ("Edit", IDC_DISCLAIMER)):
                colour = commonest_colour(bmp, x, y, x + rect[2] - rect[0], y + rect[3] - rect[1])
                self.assertEqual(colour, b"\xff\xff\xff", f"{where}: {cls} {ident} at {rect} sits on {colour.hex()}")
                checked += 1
        self.assertGreater(checked, 0, f"{where}: no text to look behind")

    # -- cases -----------------------------------------------------------------

    def test_page_walk_checks_input_and_lists_skills(self):
        # Each row: the manifest entry, and the name and size text the list must show for it.
        skills = [
            ({"id": "web-search", "file": "skills/web-search.zip", "name": "网页搜索", "desc": "联网搜索资料",
              "size": 1536, "required": True}, "网页搜索", "1.5 KB"),      # fractional KB
            ({"id": "doc-writer", "file": "skills/doc-writer.zip", "desc": "整理和撰写文档",
              "size": 10}, "doc-writer", "10 B"),                          # no name: the id stands in
            ({"id": "charts", "file": "skills/charts.zip", "name": "图表", "desc": "Charts from tables",
              "size": 1572864}, "图表", "1.5 MB"),                         # MB unit
            ({"id": "unsized", "file": "skills/unsized.zip", "name": "未标大小", "desc": "No size",
              "size": -1}, "未标大小", "未知大小"),                          # no size declared
        ]
        required = "".join("2" if entry.get("required") else "1" for entry, _, _ in skills)
        self.write_release([package("quillmere.bin", "Quillmere 主程序", 2048)], [s[0] for s in skills],
                           {"quillmere.bin": 2048, **{e["file"]: max(e["size"], 16) for e, _, _ in skills}})
        install_dir, _ = self.install_dir("walk")
        # A file where a folder of the path should be: the folder cannot be made, as on a drive the
        # user may not write to.
        blocker, blocker_linux = self.install_dir("walk-blocker")
        os.makedirs(os.path.dirname(blocker_linux), exist_ok=True)
        with open(blocker_linux, "w") as f:
            f.write("a file")
        script = [
            "wait-window", f"read {IDC_NEXT}", f"read {IDC_CANCEL}", f"read {IDC_DISCLAIMER}",
            self.screenshot("disclaimer"),
            # the box is clear: a warning, and the page stays
            *refused(), f"visible {IDC_ACCEPT}", f"visible {IDC_API_KEY}",
            f"check {IDC_ACCEPT}", f"press {IDC_NEXT}", f"expect-visible {IDC_API_KEY}",
            f"read {IDC_INSTALL_DIR}", f"read {IDC_API_KEY}", f"read {IDC_MODEL}", f"read {IDC_PORT}",
            f"read {IDC_PROVIDER}", f"read {IDC_DASHSCOPE_KEY}", f"read {IDC_NEXT}", f"read {IDC_CANCEL}",
            self.screenshot("configuration"),
            # the key is checked first, even with no directory either
            f"set {IDC_INSTALL_DIR} ", *refused(),
            f"set {IDC_API_KEY} sk-test-key", *refused(),
            # relative: it would land under whatever folder the installer was started in
            f"set {IDC_INSTALL_DIR} rel-install\\Quillmere", *refused(),
            f"set {IDC_INSTALL_DIR} {install_dir}",
            f"set {IDC_PORT} 0", *refused(),
            f"set {IDC_PORT} ", *refused(),
            f"set {IDC_PORT} 65536", *refused(),
            f"visible {IDC_API_KEY}",
            f"set {IDC_PORT} 18789",
            f"set {IDC_INSTALL_DIR} {blocker}\\Quillmere", *refused(),
            f"set {IDC_INSTALL_DIR} {install_dir}", f"press {IDC_NEXT}", f"expect-visible {IDC_SKILL_LIST}",
            f"expect-text {IDC_NEXT} {START}", f"read {IDC_CANCEL}",
            "list-rows",
            f"press {IDC_SELECT_NONE}", f"expect-states {required}",
            f"press {IDC_SELECT_ALL}", f"expect-states {'2' * len(skills)}",
            # a required skill cleared by hand is still fetched; a cleared optional one is not
            "untick 0", "untick 1",
            self.screenshot("skills"),
            *start_installation(), f"wait-status {SUCCEEDED} 30000",
            "expect-box", f"answer-box {IDNO}", "expect-box", f"answer-box {IDOK}",
            self.screenshot("progress"),
            f"press {IDC_CANCEL}", "wait-exit",
        ]
        report = self.run_wizard(script)

        self.assertEqual(report.take("window")[1], "Quillmere 安装程序 v1.0")
        self.assertEqual(report.value("text", IDC_NEXT), NEXT)
        self.assertEqual(report.value("text", IDC_CANCEL), CANCEL)
        self.assertTrue(report.value("text", IDC_DISCLAIMER).startswith("Quillmere 软件使用免责声明\r\n"))
        self.assert_box(report, WARNING_CAPTION, ACCEPT_WARNING)
        self.assertEqual(report.value("visible", IDC_ACCEPT), "1", "the disclaimer page stays after the warning")
        self.assertEqual(report.value("visible", IDC_API_KEY), "0")

        # nothing stored in the registry: the built-in defaults
        self.assertEqual(report.value("text", IDC_INSTALL_DIR), "C:\\Quillmere")
        self.assertEqual(report.value("text", IDC_API_KEY), "")
        self.assertEqual(report.value("text", IDC_MODEL), "qwen3.5-plus")
        self.assertEqual(report.value("text", IDC_PORT), "18789")
        self.assertEqual(report.value("text", IDC_PROVIDER), "阿里百炼")
        self.assertEqual(report.value("text", IDC_DASHSCOPE_KEY), "")
        self.assertEqual(report.value("text", IDC_NEXT), NEXT)
        self.assertEqual(report.value("text", IDC_CANCEL), CANCEL)

        for warning in (KEY_WARNING, DIRECTORY_WARNING, INVALID_DIRECTORY_WARNING, PORT_WARNING, PORT_WARNING,
                        PORT_WARNING, UNWRITABLE_WARNING.format(blocker + "\\Quillmere")):
            self.assert_box(report, WARNING_CAPTION, warning)
        self.assertTrue(os.path.isfile(blocker_linux), "the check leaves what stood there as it was")
        self.assertEqual(report.value("visible", IDC_API_KEY), "1", "refused input keeps the configuration page")

        self.assertEqual(report.value("text", IDC_NEXT), START)
        self.assertEqual(report.value("text", IDC_CANCEL), CANCEL)
        self.assertEqual(report.value("rows"), str(len(skills)))
        for index, (entry, name, size) in enumerate(skills):
            self.assertEqual(report.take("row", index), [name, entry["desc"], size, "2"], f"row {index}")
        self.assertEqual(report.value("states"), required, "全不选 keeps only the required skills")
        self.assertEqual(report.value("states"), "2" * len(skills), "全选 ticks every skill")
        self.assertEqual(report.value("row-state", 0), "1")
        self.assertEqual(report.value("row-state", 1), "1")

        self.assertEqual(report.value("status"), SUCCEEDED)
        self.assert_box(report, DONE_CAPTION, DONE_QUESTION)
        self.assert_box(report, WARNING_CAPTION, LATER_HINT)
        self.assert_ended_normally(report)
        fetched = self.server.requested()
        self.assertIn("skills/web-search.zip", fetched)
        self.assertIn("skills/charts.zip", fetched)
        self.assertNotIn("skills/doc-writer.zip", fetched)

        for name in ("disclaimer", "configuration", "skills", "progress"):
            self.keep_screenshot(report, name)

    def test_close_while_downloading_cancels_and_keeps_the_window(self):
        self.write_release([package(SLOW_FILE, SLOW_DESC, 1048576)], [], {"big.bin": 1048576})
        install_dir, _ = self.install_dir("cancel")
        script = [
            *walk_to_skills(install_dir), *start_installation(),
            f"wait-status 正在下载 {SLOW_DESC}... 20000",
            f"read {IDC_NEXT}", f"enabled {IDC_NEXT}", f"read {IDC_CANCEL}",
            f"press {IDC_CANCEL}", f"wait-status {CANCELLED} 15000",
            "expect-no-box 2000",
            f"visible {IDC_LOG}", f"enabled {IDC_NEXT}", f"read {IDC_NEXT}", f"read {IDC_CANCEL}",
            f"press {IDC_CANCEL}", "wait-exit",
        ]
        report = self.run_wizard(script)
        self.assertEqual(report.value("text", IDC_NEXT), FINISH)
        self.assertEqual(report.value("enabled", IDC_NEXT), "0", "完成 waits for the worker")
        self.assertEqual(report.value("text", IDC_CANCEL), CLOSE)
        self.assertEqual(report.value("status"), f"正在下载 {SLOW_DESC}...")
        self.assertEqual(report.value("status"), CANCELLED)
        self.assertEqual(report.all("box"), [], "a cancelled run asks no completion question")
        self.assertEqual(report.value("visible", IDC_LOG), "1", "关闭 during the run does not close the window")
        self.assertEqual(report.value("enabled", IDC_NEXT), "1")
        self.assertEqual(report.value("text", IDC_NEXT), FINISH)
        self.assertEqual(report.value("text", IDC_CANCEL), CLOSE)
        self.assert_ended_normally(report)

    def test_close_during_a_stalled_download_takes_effect_at_once(self):
        # The server sends a little and then nothing: the cancel must not wait for a read that never ends.
        stalled = "_fault=stall,20000/big.bin"
        self.write_release([package(stalled, SLOW_DESC, 1048576)], [], {"big.bin": 1048576})
        install_dir, _ = self.install_dir("stalled")
        script = [
            *walk_to_skills(install_dir), *start_installation(),
            f"wait-status 正在下载 {SLOW_DESC}... 20000", "expect-no-box 1000",
            f"press {IDC_CANCEL}", f"wait-status {CANCELLED} 4000",
            f"press {IDC_CANCEL}", "wait-exit",
        ]
        report = self.run_wizard(script)
        self.assertEqual(report.value("status"), f"正在下载 {SLOW_DESC}...")
        self.assertEqual(report.value("status"), CANCELLED, "within four seconds of the cancel")
        self.assert_ended_normally(report)

    def test_close_pressed_right_after_start_still_cancels(self):
        # The second click arrives while the worker thread is only being started.
        self.write_release([package(SLOW_FILE, SLOW_DESC, 1048576)], [], {"big.bin": 1048576})
        install_dir, _ = self.install_dir("early-cancel")
        script = [
            *walk_to_skills(install_dir), f"press {IDC_NEXT}", f"press {IDC_CANCEL}",
            f"expect-visible {IDC_LOG}", f"wait-status {CANCELLED} 15000", "expect-no-box 2000",
            f"press {IDC_CANCEL}", "wait-exit",
        ]
        report = self.run_wizard(script)
        self.assertEqual(report.value("status"), CANCELLED)
        self.assertEqual(report.all("box"), [])
        self.assert_ended_normally(report)

    def test_failed_download_reports_retries_and_asks_nothing(self):
        self.write_release([package("missing.bin", "缺失的包", 4096)], [], {})
        install_dir, _ = self.install_dir("failure")
        script = [
            *walk_to_skills(install_dir), *start_installation(),
            f"wait-status {DOWNLOAD_FAILED} 30000", "expect-no-box 2000",
            "log", f"enabled {IDC_NEXT}", f"press {IDC_NEXT}", "wait-exit",
        ]
        report = self.run_wizard(script)
        self.assertEqual(report.value("status"), DOWNLOAD_FAILED)
        self.assertEqual(report.all("box"), [], "a failed run asks no completion question")
        log = [fields[1] for fields in report.all("log")]
        self.assertEqual(report.value("log-count"), str(len(log)))
        retries = [line for line in log if "重试" in line]
        self.assertEqual(retries, ["  下载失败 - HTTP 404，3秒后重试 (1/3)...",
                                   "  下载失败 - HTTP 404，3秒后重试 (2/3)..."])
        self.assertEqual(log[-3], "  [错误] 下载失败: missing.bin - HTTP 404")
        self.assertEqual(log[-2], "  已撤销本次安装的更改", "a first installation that failed is taken back")
        self.assertRegex(log[-1], r"^  日志文件: C:\\.*\\Quillmere_Setup\\install-\d{8}-\d{6}\.log$",
                         "a failed run ends by naming its log file")
        self.assertEqual(self.server.requested().count("missing.bin"), 3, "three attempts in all")
        self.assertEqual(report.value("enabled", IDC_NEXT), "1")
        self.assert_ended_normally(report)

    def test_title_bar_close_while_downloading_ends_the_program(self):
        self.write_release([package(SLOW_FILE, SLOW_DESC, 1048576)], [], {"big.bin": 1048576})
        install_dir, _ = self.install_dir("titlebar")
        downloads = os.path.join(TEMP_DIR, "Quillmere_Setup")
        shutil.rmtree(downloads, ignore_errors=True)
        script = [
            *walk_to_skills(install_dir), *start_installation(),
            f"wait-status 正在下载 {SLOW_DESC}... 20000",
            "close", "wait-exit 10000",
        ]
        report = self.run_wizard(script)
        self.assert_ended_normally(report)
        # The worker deletes its partial file when it stops; a window that went away under
        # a running worker ends the process before that.
        partial = os.path.join(downloads, *SLOW_FILE.split("/"))
        self.assertFalse(os.path.exists(partial), "the worker had not ended when the program did")

    def test_title_bar_close_before_installing_ends_at_once(self):
        self.write_release([package("quillmere.bin", "Quillmere 主程序", 16)], [], {"quillmere.bin": 16})
        report = self.run_wizard(["wait-window", f"check {IDC_ACCEPT}", f"press {IDC_NEXT}",
                                  f"expect-visible {IDC_API_KEY}", "close", "wait-exit 5000"])
        self.assert_ended_normally(report)

    def completed_run(self, case, answer):
        """A run that succeeds, with the launcher stand-in already in the install directory."""
        self.write_release([package("quillmere.bin", "Quillmere 主程序", 4096)], [], {"quillmere.bin": 4096})
        install_dir, linux_dir = self.install_dir(case)
        os.makedirs(linux_dir)
        shutil.copy(ARGS.launcher, os.path.join(linux_dir, "launcher.exe"))
        script = [*walk_to_skills(install_dir), *start_installation(),
                  f"wait-status {SUCCEEDED} 30000", "expect-box", f"answer-box {answer}"]
        return install_dir, linux_dir, script

    def test_declining_the_launch_keeps_the_window_until_finish(self):
        install_dir, linux_dir, script = self.completed_run("success-no", IDNO)
        script += ["expect-box", f"answer-box {IDOK}", "expect-no-box 1000", f"visible {IDC_LOG}",
                   f"enabled {IDC_NEXT}", f"read {IDC_NEXT}", f"read {IDC_CANCEL}",
                   f"press {IDC_NEXT}", "wait-exit"]
        report = self.run_wizard(script)
        self.assertEqual(report.value("status"), SUCCEEDED)
        self.assert_box(report, DONE_CAPTION, DONE_QUESTION)
        self.assert_box(report, WARNING_CAPTION, LATER_HINT)
        self.assertEqual(report.all("box")[2:], [], "no further box after the hint")
        self.assertEqual(report.value("visible", IDC_LOG), "1", "the window stays after No")
        self.assertEqual(report.value("enabled", IDC_NEXT), "1")
        self.assertEqual(report.value("text", IDC_NEXT), FINISH)
        self.assertEqual(report.value("text", IDC_CANCEL), CLOSE)
        self.assert_ended_normally(report)
        self.assertFalse(os.path.exists(os.path.join(linux_dir, MARKER)), "No must not start the launcher")
        stored = stored_choices()
        self.assertEqual({name: stored.get(name) for name in ("InstallPath", "ApiKey", "Model", "Port", "ApiProvider")},
                         {"InstallPath": install_dir, "ApiKey": "sk-test-key", "Model": "qwen3.5-plus",
                          "Port": "18789", "ApiProvider": "0"},
                         "the choices typed into the wizard are saved for the next run")

    def test_accepting_the_launch_starts_the_launcher_and_ends(self):
        install_dir, linux_dir, script = self.completed_run("success-yes", IDYES)
        script += ["wait-exit"]
        report = self.run_wizard(script)
        self.assert_box(report, DONE_CAPTION, DONE_QUESTION)
        self.assert_ended_normally(report)
        marker = os.path.join(linux_dir, MARKER)
        deadline = time.monotonic() + 15
        while not os.path.exists(marker) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertTrue(os.path.exists(marker), "launcher.exe in the install directory was not started")
        wine("taskkill.exe", "/f", "/im", "launcher.exe")  # it stays open, as the real one does
        with open(marker, encoding="utf-8") as f:
            self.assertEqual(f.read().strip().lower(), install_dir.lower(),
                             "the launcher runs in the install directory")


    # -- the keyboard and the DPI ------------------------------------------------

    def small_release(self):
        skills = [{"id": "web-search", "file": "skills/web-search.zip", "name": "网页搜索", "desc": "联网搜索资料",
                   "size": 10},
                  {"id": "charts", "file": "skills/charts.zip", "name": "图表", "desc": "Charts", "size": 10}]
        self.write_release([package("quillmere.bin", "Quillmere 主程序", 2048)], skills,
                           {"quillmere.bin": 2048, "skills/web-search.zip": 10, "skills/charts.zip": 10})

    def test_keyboard_alone_installs(self):
        self.small_release()
        install_dir, _ = self.install_dir("keyboard")
        tab_order = [IDC_MODEL, IDC_DASHSCOPE_KEY, IDC_PORT, IDC_NEXT, IDC_CANCEL, IDC_CONSOLE_LINK, IDC_INSTALL_DIR]
        script = [
            "wait-window", f"expect-focus {IDC_ACCEPT}", self.screenshot("focus-disclaimer"),
            "key SPACE", f"is-checked {IDC_ACCEPT}", "key ENTER",
            f"expect-focus {IDC_INSTALL_DIR}", self.screenshot("focus-configuration"),
            f"type {install_dir}", "key TAB", f"expect-focus {IDC_BROWSE}", "key TAB", f"expect-focus {IDC_PROVIDER}",
            "key TAB", f"expect-focus {IDC_API_KEY}", "type sk-keyboard",
            "key SHIFT+TAB", f"expect-focus {IDC_PROVIDER}", "key TAB", f"expect-focus {IDC_API_KEY}",
            *[command for ident in tab_order for command in ("key TAB", f"expect-focus {ident}")],
            f"read {IDC_INSTALL_DIR}", f"read {IDC_API_KEY}",
            "key ENTER", f"expect-focus {IDC_SKILL_LIST}", "expect-states 22",
            "key DOWN", "key DOWN", "key SPACE", "expect-states 21", self.screenshot("focus-skills"),
            # the small release installs at once, so the focus is looked at once the boxes are answered
            "key ENTER", f"read {IDC_CANCEL}", f"wait-status {SUCCEEDED} 30000",
            "expect-box", "key N", "expect-box", "key ENTER", "expect-no-box 1000",
            f"expect-focus {IDC_CANCEL}", self.screenshot("focus-progress"), "key ENTER", "wait-exit",
        ]
        report = self.run_wizard(script)
        self.assertEqual(report.take("focus"), [str(IDC_ACCEPT), "Button"], "the disclaimer page starts on its box")
        self.assertEqual(report.value("checked", IDC_ACCEPT), "1", "Space ticks the focused box")
        self.assertEqual(report.take("focus"), [str(IDC_INSTALL_DIR), "Edit"])
        for ident in (IDC_BROWSE, IDC_PROVIDER, IDC_API_KEY, IDC_PROVIDER, IDC_API_KEY, *tab_order):
            self.assertEqual(report.take("focus")[0], str(ident), "Tab and Shift+Tab follow the reading order")
        self.assertEqual(report.value("text", IDC_INSTALL_DIR), install_dir, "typing replaces the focused field's text")
        self.assertEqual(report.value("text", IDC_API_KEY), "sk-keyboard")
        self.assertEqual(report.take("focus"), [str(IDC_SKILL_LIST), "SysListView32"])
        self.assertEqual(report.value("states"), "22")
        self.assertEqual(report.value("states"), "21", "Space clears the focused row")
        self.assertEqual(report.value("text", IDC_CANCEL), CLOSE)
        self.assertEqual(report.value("status"), SUCCEEDED)
        self.assert_box(report, DONE_CAPTION, DONE_QUESTION)
        self.assert_box(report, WARNING_CAPTION, LATER_HINT)  # N answered No
        self.assertEqual(report.take("focus")[0], str(IDC_CANCEL), "the progress page's focus is on 关闭")
        self.assert_ended_normally(report)  # Enter pressed 完成
        fetched = self.server.requested()
        self.assertIn("skills/web-search.zip", fetched)
        self.assertNotIn("skills/charts.zip", fetched)
        for name in ("focus-disclaimer", "focus-configuration", "focus-skills", "focus-progress"):
            self.keep_screenshot(report, name)

    def test_browse_puts_the_chosen_folder_into_the_field(self):
        # The folder dialog opens on the window's own thread, which holds OLE for it; OK takes the
        # folder it opened on and the field gets that folder with the product's name after it.
        self.small_release()
        report = self.run_wizard(["wait-window", "key SPACE", "key ENTER", f"expect-focus {IDC_INSTALL_DIR}",
                                  f"read {IDC_INSTALL_DIR}", f"press {IDC_BROWSE}", "expect-box 10000",
                                  "answer-box 1", f"read {IDC_INSTALL_DIR}", "key ESC", "wait-exit 5000"])
        before = report.value("text", IDC_INSTALL_DIR)
        chosen = report.value("text", IDC_INSTALL_DIR)
        self.assertNotEqual(chosen, before, report.text)
        self.assertTrue(chosen.endswith("\\Quillmere") and chosen[1:3] == ":\\", chosen)
        self.assert_ended_normally(report)

    def test_escape_on_the_configuration_page_cancels(self):
        self.small_release()
        report = self.run_wizard(["wait-window", "key SPACE", "key ENTER", f"expect-focus {IDC_INSTALL_DIR}",
                                  "key ESC", "wait-exit 5000"])
        self.assertEqual(report.take("focus")[0], str(IDC_INSTALL_DIR))
        self.assert_ended_normally(report)

    def test_pages_fit_and_stay_white_at_four_dpis(self):
        # 192 DPI needs a screen over 1320 pixels high: the test display is 1600 x 1440.
        self.small_release()
        self.addCleanup(set_log_pixels, 96)
        for dpi in (96, 120, 144, 192):
            with self.subTest(dpi=dpi):
                self.check_pages_at(dpi)

    def check_pages_at(self, dpi):
        set_log_pixels(dpi)
        install_dir, _ = self.install_dir(f"dpi{dpi}")
        pages = ("disclaimer", "configuration", "skills", "progress")
        keep = dpi in (96, 144)
        shot = (lambda page: [self.screenshot(f"dpi{dpi}-{page}")]) if keep else (lambda page: [])
        script = [
            "wait-window", "layout", *shot(pages[0]), f"check {IDC_ACCEPT}", f"press {IDC_NEXT}",
            f"expect-visible {IDC_API_KEY}", f"set {IDC_API_KEY} sk-test-key", f"set {IDC_INSTALL_DIR} {install_dir}",
            "layout", *shot(pages[1]), f"press {IDC_NEXT}", f"expect-visible {IDC_SKILL_LIST}",
            "layout", *shot(pages[2]), *start_installation(), f"wait-status {SUCCEEDED} 30000",
            "expect-box", f"answer-box {IDNO}", "expect-box", f"answer-box {IDOK}",
            "layout", *shot(pages[3]), f"press {IDC_NEXT}", "wait-exit",
        ]
        report = self.run_wizard(script)
        self.assert_ended_normally(report)
        for index, page in enumerate(pages):
            layout = Layout(report, index)
            where = f"{page} at {dpi} DPI"
            self.assertEqual(layout.client[2:], [620 * dpi // 96, 660 * dpi // 96], f"{where}: the outer size scales")
            self.assertEqual(layout.page_rect()[1], 40 * dpi // 96, f"{where}: the page starts below the top band")
            self.assert_fits(layout, where)
            if keep:
                bmp = self.keep_dpi_screenshot(report, f"dpi{dpi}-{page}", dpi)
                self.assert_white_behind_text(layout, bmp, where)


def set_log_pixels(dpi):
    """Wine takes the screen's DPI from this value when a program starts."""
    wine("reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f",
         check=True)


def prepare_prefix():
    """Find the prefix's C: drive and temporary folder."""
    global DRIVE_C, TEMP_DIR
    DRIVE_C = wine("winepath.exe", "-u", "C:\\", check=True).strip()
    temp = wine("cmd.exe", "/c", "echo %TEMP%", check=True).strip()
    TEMP_DIR = wine("winepath.exe", "-u", temp, check=True).strip()
    for folder in (DRIVE_C, TEMP_DIR):
        if not os.path.isdir(folder):
            raise RuntimeError("cannot find a folder of the prefix: " + folder)


def main():
    global ARGS, PREFIX
    parser = argparse.ArgumentParser()
    for name in ("--wine-run", "--wine-root", "--driver", "--setup", "--scratch", "--screenshots",
                 "--launcher"):
        parser.add_argument(name, required=True)
    parser.add_argument("--port", type=int, required=True)
    ARGS, rest = parser.parse_known_args()
    PREFIX = WinePrefix(ARGS.wine_root)
    prepare_prefix()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
