"""Pieces every run of setup.exe under Wine needs: a Wine prefix of its own, the local update
server, and the wizard driver's report. Used by the GUI tests, the end-to-end test and the demo.
"""

import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
UPDATE_SERVER = os.path.join(HERE, "update_server.py")
UPDATE_PREFIX = "/new/quillmere/update/"

# The wizard's controls and the message box answers, as the driver names them.
IDC_NEXT, IDC_CANCEL = 2001, 2002
IDC_INSTALL_DIR, IDC_API_KEY, IDC_MODEL, IDC_PROVIDER = 3001, 3010, 3011, 3013
IDC_DASHSCOPE_KEY, IDC_PORT = 3020, 3030
IDC_SKILL_LIST, IDC_STATUS, IDC_LOG, IDC_ACCEPT = 4001, 5002, 5003, 6002
IDOK, IDCANCEL, IDRETRY, IDYES, IDNO = 1, 2, 4, 6, 7


def windows_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WinePrefix:
    """A throw-away Wine prefix with its own home folder, so nothing touches the user's own."""

    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.path = os.path.join(self.root, "prefix")
        self.home = os.path.join(self.root, "home")
        self.env = dict(os.environ, WINEPREFIX=self.path, HOME=self.home, WINEDEBUG="-all", LANG="zh_CN.UTF-8",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")

    def create(self, warmup=None):
        """A fresh prefix reporting Windows 10 (not the Windows 7 it starts as, which setup.exe refuses),
        with the CJK font the dialogs need; WARMUP returns once windows can open."""
        self.stop()
        subprocess.run(["rm", "-rf", self.path, self.home], check=True)
        os.makedirs(self.home)
        os.makedirs(self.path)
        # A persistent server makes each later program start in milliseconds instead of a second.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineboot", "-i"], env=self.env, check=True, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.run("reg", "add", "HKCU\\Software\\Wine\\Fonts\\Replacements", "/v", "SimSun",
                 "/d", "WenQuanYi Micro Hei", "/f", check=True)
        self.run("reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", "win10", "/f", check=True)
        if warmup:
            self.run(warmup)

    def run(self, *args, check=False, timeout=120):
        """Run a Windows program and return its standard output. A file, not a pipe: Wine's
        service processes inherit the handle and would hold a pipe open."""
        with tempfile.TemporaryFile() as out:
            subprocess.run(["wine", *args], env=self.env, check=check, timeout=timeout, stdout=out,
                           stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            out.seek(0)
            return out.read().decode("utf-8", "replace")

    def start(self, *args):
        return subprocess.Popen(["wine", *args], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)

    def unix_path(self, path):
        return self.run("winepath.exe", "-u", path, check=True).strip()

    def expand(self, text):
        """An environment reference as the prefix's cmd.exe expands it."""
        return self.run("cmd.exe", "/c", "echo " + text, check=True).strip()

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class UpdateServer:
    """tools/update_server.py serving ROOT on PORT for the length of a with-block."""

    def __init__(self, root, port, log=None):
        self.root = root
        self.port = port
        self.log = log
        self.process = None

    def __enter__(self):
        command = [sys.executable, UPDATE_SERVER, "--root", self.root, "--port", str(self.port)]
        if self.log:
            command += ["--log", self.log]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.process.stdout.readline()
        if "listening" not in line:
            self.process.kill()
            raise RuntimeError("update server did not start: " + line)
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()

    def requested(self):
        """Paths asked for, below the update prefix, in order."""
        paths = []
        with open(self.log, encoding="utf-8") as f:
            for line in f:
                if '"GET ' + UPDATE_PREFIX in line:
                    paths.append(line.split('"GET ' + UPDATE_PREFIX, 1)[1].split(" ", 1)[0])
        return paths


def unescape(field):
    out, i = [], 0
    while i < len(field):
        if field[i] == "\\" and i + 1 < len(field):
            out.append({"\\": "\\", "t": "\t", "r": "\r", "n": "\n"}.get(field[i + 1], field[i + 1]))
            i += 2
        else:
            out.append(field[i])
            i += 1
    return "".join(out)


class Report:
    """The wizard driver's observations, taken in the order the script made them."""

    def __init__(self, text):
        self.lines = [[unescape(f) for f in line.split("\t")] for line in text.splitlines() if line]
        self.cursor = {}
        self.text = text

    def errors(self):
        return [line for line in self.lines if line[0] == "error"]

    def take(self, kind, *keys):
        """Fields after kind and keys of the next not yet taken line that matches."""
        keys = [str(k) for k in keys]
        start = self.cursor.get((kind, *keys), 0)
        for index in range(start, len(self.lines)):
            line = self.lines[index]
            if line[0] == kind and line[1:1 + len(keys)] == keys:
                self.cursor[(kind, *keys)] = index + 1
                return line[1 + len(keys):]
        raise AssertionError(f"no further '{kind} {' '.join(keys)}' in the report:\n{self.text}")

    def value(self, kind, *keys):
        return self.take(kind, *keys)[0]

    def all(self, kind):
        return [line[1:] for line in self.lines if line[0] == kind]

    def log(self):
        """The progress log's lines as the last 'log' command read them."""
        lines = [fields for fields in self.all("log")]
        count = int(self.all("log-count")[-1][0])
        return [fields[1] for fields in lines[-count:]] if count else []


def drive_wizard(prefix, setup, driver, script, work, timeout=900):
    """Start setup.exe, work it with the driver following SCRIPT (a list of commands), make sure
    setup.exe has ended afterwards, and return (report, setup's exit code or None if killed)."""
    script_file = os.path.join(work, "script.txt")
    report_file = os.path.join(work, "report.txt")
    with open(script_file, "w", encoding="utf-8") as f:
        f.write("\n".join(script) + "\n")
    if os.path.exists(report_file):
        os.remove(report_file)
    setup_process = prefix.start(setup)
    exit_code = None
    try:
        subprocess.run(["wine", driver, windows_path(script_file), windows_path(report_file)], env=prefix.env,
                       timeout=timeout, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        exit_code = setup_process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        pass
    finally:
        if setup_process.poll() is None:
            setup_process.kill()
            setup_process.wait()
    if not os.path.exists(report_file):
        raise RuntimeError("the wizard driver wrote no report")
    with open(report_file, encoding="utf-8") as f:
        return Report(f.read()), exit_code


def wait_for_file(path, seconds):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.1)
    return os.path.exists(path)


def install_walk(shots, configure, finish):
    """Driver commands for the four pages as a person goes through them: accept the disclaimer,
    CONFIGURE (commands on the configuration page), keep the skills, start, then FINISH(shot).
    SHOTS is a folder for a screenshot of each page, or None."""
    def shot(name):
        if not shots:
            return []
        os.makedirs(shots, exist_ok=True)
        return [f"screenshot {windows_path(os.path.join(shots, name + '.bmp'))}"]

    return ["wait-window 60000", f"expect-visible {IDC_ACCEPT}", *shot("1-disclaimer"), f"check {IDC_ACCEPT}",
            f"press {IDC_NEXT}", f"expect-visible {IDC_API_KEY}", *configure, *shot("2-configuration"),
            f"press {IDC_NEXT}", f"expect-visible {IDC_SKILL_LIST}", "list-rows", *shot("3-skills"),
            f"press {IDC_NEXT}", f"expect-visible {IDC_LOG}", *finish(shot)]


def run_to_the_end():
    """Wait for the worker to end ("完成" becomes usable again), then read what the page shows."""
    return [f"wait-disabled {IDC_NEXT} 10000", f"wait-enabled {IDC_NEXT} 600000", f"read {IDC_STATUS}", "progress",
            "log", f"read {IDC_NEXT}"]


def convert_screenshots(folder, destination):
    """The driver's BMP files in FOLDER as PNG files in DESTINATION; returns the PNG paths."""
    os.makedirs(destination, exist_ok=True)
    written = []
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        if name.endswith(".bmp"):
            png = os.path.join(destination, name[:-4] + ".png")
            subprocess.run(["convert", os.path.join(folder, name), png], check=True, timeout=60)
            written.append(png)
    return written
