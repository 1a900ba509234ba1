#!/usr/bin/env python3
"""setup.exe as a whole under Wine: the manifest decides between the failure box and going on.

Each case serves (or does not serve) a manifest on the port compiled into setup.exe, runs
setup.exe through the driver program, and checks the box it showed and its exit code.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wizard_session import UpdateServer, windows_path  # noqa: E402

ARGS = None

VALID_MANIFEST = """{
  "packages": [ {"id": "quillmere", "file": "quillmere.zip", "desc": "Quillmere 主程序", "size": 10, "extract": true} ],
  "skills": []
}"""

SKILLS_ONLY_MANIFEST = """{
  "packages": [],
  "skills": [ {"id": "web-search", "file": "skills/web-search.zip", "name": "网页搜索", "size": 10, "required": true} ]
}"""


def wine_version():
    """The Windows version the prefix reports (HKCU\\Software\\Wine "Version"), or None when unset."""
    result = subprocess.run([ARGS.wine_run, "reg", "query", "HKCU\\Software\\Wine", "/v", "Version"],
                            capture_output=True, timeout=60)
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0] == "Version":
            return parts[2].strip()
    return None


def set_wine_version(version):
    """Sets what the prefix reports; None removes the value."""
    key = ["HKCU\\Software\\Wine", "/v", "Version", "/f"]
    command = ["reg", "add", *key, "/d", version] if version else ["reg", "delete", *key]
    subprocess.run([ARGS.wine_run, *command], check=version is not None, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class StartupTest(unittest.TestCase):
    def setUp(self):
        os.makedirs(ARGS.scratch, exist_ok=True)
        self.work = tempfile.mkdtemp(dir=ARGS.scratch)
        self.root = os.path.join(self.work, "release")
        os.makedirs(self.root)

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run_setup(self, *mode):
        result = os.path.join(self.work, "result.txt")
        subprocess.run([ARGS.wine_run, ARGS.driver, windows_path(ARGS.setup), windows_path(result), *mode],
                       check=True, timeout=300, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        report = {}
        with open(result, encoding="utf-8") as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition(" ")
                report[key] = value
        return report

    def assert_failure_box(self, report):
        self.assertEqual(report["box"], "1", "a failure box must be shown")
        self.assertEqual(report["wizard"], "0", "no wizard without a manifest")
        self.assertEqual(report["owner"], "0", "the box has no owner window")
        self.assertEqual(report["caption"], "Quillmere Setup")
        lines = report["text"].split("\\n")
        self.assertEqual(lines, ["无法连接到安装服务器或清单文件无效。", "",
                                 "请检查网络连接后重试。", "服务器: " + ARGS.base_url])
        self.assertEqual(report["exit"], "1")

    def write_manifest(self, text):
        with open(os.path.join(self.root, "manifest.json"), "w", encoding="utf-8") as f:
            f.write(text)

    def test_no_server_shows_the_failure_box_and_exits_1(self):
        self.assert_failure_box(self.run_setup())

    def test_missing_manifest_404_shows_the_failure_box(self):
        with UpdateServer(self.root, ARGS.port):
            self.assert_failure_box(self.run_setup())

    def test_skills_without_packages_are_rejected(self):
        self.write_manifest(SKILLS_ONLY_MANIFEST)
        with UpdateServer(self.root, ARGS.port):
            self.assert_failure_box(self.run_setup())

    def test_a_manifest_over_4_mib_is_refused_as_a_failed_fetch(self):
        # Valid but oversized: an endless or hostile body must never grow the installer without bound.
        padding = "x" * (4 * 1024 * 1024)
        self.write_manifest(VALID_MANIFEST[:-1] + f', "padding": "{padding}"}}')
        with UpdateServer(self.root, ARGS.port):
            self.assert_failure_box(self.run_setup())

    def test_a_second_installer_brings_the_first_to_the_front_and_leaves(self):
        self.write_manifest(VALID_MANIFEST)
        with UpdateServer(self.root, ARGS.port, log=os.path.join(self.work, "server.log")) as server:
            report = self.run_setup("twice")
            fetched = server.requested().count("manifest.json")
        self.assertEqual(report["first-wizard"], "1")
        self.assertEqual(report["second-wizard"], "0", "no second wizard")
        self.assertEqual(report["second-exit"], "0")
        self.assertEqual(report["first-restored"], "1", "the running wizard comes back to the front")
        self.assertEqual(report["first-exit"], "0")
        self.assertEqual(report["third-wizard"], "1", "once the first has gone a new one starts normally")
        self.assertEqual(report["third-exit"], "0")
        self.assertEqual(fetched, 2, "the second one never fetched the manifest")

    def test_a_second_installer_waits_while_the_first_has_no_window_and_then_starts_itself(self):
        # No server: the first shows only its failure box, and no wizard ever comes.
        report = self.run_setup("early")
        self.assertEqual(report["first-box"], "1")
        self.assertEqual(report["second-waited"], "1", "neither gone nor a second window while the first runs")
        self.assertEqual(report["first-exit"], "1")
        self.assertEqual(report["second-box"], "1", "once the first has gone the second starts as usual")
        self.assertEqual(report["second-exit"], "1")

    def test_windows_before_10_is_refused_before_the_manifest_is_fetched(self):
        self.write_manifest(VALID_MANIFEST)
        earlier = wine_version()
        set_wine_version("win7")
        try:
            with UpdateServer(self.root, ARGS.port, log=os.path.join(self.work, "server.log")) as server:
                report = self.run_setup()
                fetched = server.requested().count("manifest.json")
        finally:
            set_wine_version(earlier)
        self.assertEqual(report["box"], "1")
        self.assertEqual(report["wizard"], "0")
        self.assertEqual(report["owner"], "0")
        self.assertEqual(report["caption"], "Quillmere Setup")
        self.assertEqual(report["text"].split("\\n"), ["Quillmere 需要 Windows 10 或更高版本。", "",
                                                       "此电脑的 Windows 版本为 6.1。"])
        self.assertEqual(report["exit"], "1")
        self.assertEqual(fetched, 0, "nothing is fetched on a Windows that cannot run the product")

    def test_a_manifest_with_a_package_opens_the_wizard(self):
        self.write_manifest(VALID_MANIFEST)
        with UpdateServer(self.root, ARGS.port):
            report = self.run_setup()
        self.assertEqual(report["box"], "0")
        self.assertEqual(report["wizard"], "1", "the wizard window appears")
        self.assertEqual(report["exit"], "0", "closing it before installing ends the program normally")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--wine-run", "--driver", "--setup", "--base-url", "--scratch"):
        parser.add_argument(name, required=True)
    parser.add_argument("--port", type=int, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
