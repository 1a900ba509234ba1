#!/usr/bin/env python3
"""Tests for update_server.py and make_sample_release.py.

The server runs as a real subprocess on a free port so the tests see exactly
what the installer's HTTP client sees, including truncated and unframed bodies.
"""

import hashlib
import http.client
import json
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "update_server.py")
SAMPLE = os.path.join(HERE, "make_sample_release.py")
PREFIX = "/new/quillmere/update/"
PIECE = 16384


def start_server(root, *extra):
    """Start the server on port 0; return (process, port)."""
    proc = subprocess.Popen(
        [sys.executable, SERVER, "--root", root, "--port", "0", *extra],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    ready, _, _ = select.select([proc.stdout], [], [], 5)
    line = proc.stdout.readline().decode("ascii", "replace").strip() if ready else ""
    if not line.startswith("listening on 127.0.0.1:"):
        proc.kill()
        _, err = proc.communicate()
        raise RuntimeError(f"server did not start: {line!r} {err!r}")
    return proc, int(line.rsplit(":", 1)[1])


def stop_server(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        return proc.communicate(timeout=5)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.communicate()


def raw_request(port, target, method="GET"):
    """Send one request line verbatim and read to EOF.
    Returns (status, headers with lower-case names, body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(f"{method} {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                  .encode("latin-1"))
        data = bytearray()
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    head, sep, body = bytes(data).partition(b"\r\n\r\n")
    if not sep:
        raise AssertionError(f"no header terminator in {bytes(data)[:200]!r}")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return status, headers, body


def pseudo_random(n, seed):
    out = bytearray()
    i = 0
    while len(out) < n:
        out += hashlib.sha256(f"{seed}{i}".encode()).digest()
        i += 1
    return bytes(out[:n])


_tmp = None
_root = None
_proc = None
_port = None
BIG = pseudo_random(PIECE * 6 + 1234, "big")   # 7 slow pieces
HELLO = b"hello, quillmere\n"
SECRET = b"outside the served root\n"


def setUpModule():
    global _tmp, _root, _proc, _port
    _tmp = tempfile.TemporaryDirectory()
    _root = os.path.join(_tmp.name, "root")
    os.makedirs(os.path.join(_root, "sub"))
    with open(os.path.join(_tmp.name, "secret.txt"), "wb") as f:
        f.write(SECRET)
    with open(os.path.join(_root, "hello.txt"), "wb") as f:
        f.write(HELLO)
    with open(os.path.join(_root, "big.bin"), "wb") as f:
        f.write(BIG)
    with open(os.path.join(_root, "sub", "inner.txt"), "wb") as f:
        f.write(b"inner\n")
    with open(os.path.join(_root, "manifest.json"), "wb") as f:
        f.write(b'{"packages": []}\n')
    os.symlink(os.path.join(_tmp.name, "secret.txt"),
               os.path.join(_root, "link.txt"))
    _proc, _port = start_server(_root)


def tearDownModule():
    stop_server(_proc)
    _tmp.cleanup()


def url(path):
    return f"http://127.0.0.1:{_port}{PREFIX}{path}"


class PlainServingTest(unittest.TestCase):
    def test_file_is_byte_exact_with_length_and_type(self):
        for name, expected in (("hello.txt", HELLO), ("big.bin", BIG),
                               ("sub/inner.txt", b"inner\n")):
            with self.subTest(name=name):
                status, headers, body = raw_request(_port, PREFIX + name)
                self.assertEqual(status, 200)
                self.assertEqual(body, expected)
                self.assertEqual(int(headers["content-length"]), len(expected))
                self.assertEqual(headers["content-type"], "application/octet-stream")
                self.assertEqual(headers["connection"].lower(), "close")

    def test_manifest_is_json_and_reread_each_time(self):
        path = os.path.join(_root, "manifest.json")
        with urllib.request.urlopen(url("manifest.json"), timeout=5) as r:
            self.assertEqual(r.headers["Content-Type"], "application/json")
            first = r.read()
        with open(path, "wb") as f:
            f.write('{"packages": [{"desc": "主程序"}]}\n'.encode("utf-8"))
        try:
            with urllib.request.urlopen(url("manifest.json"), timeout=5) as r:
                second = r.read()
        finally:
            with open(path, "wb") as f:
                f.write(first)
        self.assertEqual(first, b'{"packages": []}\n')
        self.assertEqual(json.loads(second)["packages"][0]["desc"], "主程序")

    def test_head_gives_headers_only(self):
        status, headers, body = raw_request(_port, PREFIX + "big.bin", "HEAD")
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["content-length"]), len(BIG))
        self.assertEqual(body, b"")

    def test_query_string_is_ignored(self):
        status, _, body = raw_request(_port, PREFIX + "hello.txt?v=2")
        self.assertEqual((status, body), (200, HELLO))


class NotFoundAndSafetyTest(unittest.TestCase):
    def assert_404(self, target):
        status, headers, body = raw_request(_port, target)
        self.assertEqual(status, 404, target)
        self.assertEqual(headers["connection"].lower(), "close")
        self.assertNotIn(SECRET.strip(), body)
        self.assertNotIn(b"root:", body)

    def test_missing_and_outside_prefix(self):
        for target in (PREFIX + "nope.bin",
                       PREFIX + "sub",                  # directory, not file
                       PREFIX,
                       "/new/quillmere/update",
                       "/hello.txt",
                       "/new/quillmere/hello.txt",
                       "/new/quillmere/updatex/hello.txt"):
            with self.subTest(target=target):
                self.assert_404(target)

    def test_traversal_is_refused(self):
        for target in (PREFIX + "../secret.txt",
                       PREFIX + "sub/../../secret.txt",
                       PREFIX + "sub/../hello.txt",
                       PREFIX + "%2e%2e/secret.txt",
                       PREFIX + "..%2fsecret.txt",
                       PREFIX + "..%5csecret.txt",
                       PREFIX + "/etc/passwd",
                       PREFIX + "%2fetc%2fpasswd",
                       PREFIX + "./hello.txt",
                       PREFIX + "_fault=nolength/../secret.txt",
                       PREFIX + "_fault=cut,3/../../etc/passwd",
                       PREFIX + "link.txt",             # symlink leaving the root
                       PREFIX + "%ff%fe"):
            with self.subTest(target=target):
                self.assert_404(target)

    def test_other_methods_are_rejected(self):
        status, headers, _ = raw_request(_port, PREFIX + "hello.txt", "POST")
        self.assertEqual(status, 501)
        self.assertEqual(headers["connection"].lower(), "close")


class FaultTest(unittest.TestCase):
    def test_status_fault_whether_or_not_file_exists(self):
        for target, code in (("_fault=status,404/hello.txt", 404),
                             ("_fault=status,500/hello.txt", 500),
                             ("_fault=status,503/not-there.bin", 503)):
            with self.subTest(target=target):
                with self.assertRaises(urllib.error.HTTPError) as cm:
                    urllib.request.urlopen(url(target), timeout=5)
                self.assertEqual(cm.exception.code, code)
                self.assertNotEqual(cm.exception.read(), HELLO)
                cm.exception.close()

    def test_bad_faults_are_400(self):
        for seg in ("_fault=bogus", "_fault=cut", "_fault=cut,abc",
                    "_fault=slow,-5", "_fault=status,99", "_fault=status,1000",
                    "_fault=empty,3", "_fault=flaky"):
            with self.subTest(fault=seg):
                status, _, _ = raw_request(_port, f"{PREFIX}{seg}/hello.txt")
                self.assertEqual(status, 400)

    def test_fault_on_missing_file_is_404(self):
        for seg in ("_fault=nolength", "_fault=cut,10", "_fault=slow,1"):
            with self.subTest(fault=seg):
                status, _, _ = raw_request(_port, f"{PREFIX}{seg}/nope.bin")
                self.assertEqual(status, 404)

    def test_nolength_sends_full_body_without_length(self):
        status, headers, body = raw_request(_port, PREFIX + "_fault=nolength/big.bin")
        self.assertEqual(status, 200)
        self.assertNotIn("content-length", headers)
        self.assertNotIn("transfer-encoding", headers)
        self.assertEqual(headers["connection"].lower(), "close")
        self.assertEqual(body, BIG)

    def test_cut_sends_n_bytes_then_closes(self):
        for n in (0, 100, PIECE + 7):
            with self.subTest(n=n):
                status, headers, body = raw_request(
                    _port, f"{PREFIX}_fault=cut,{n}/big.bin")
                self.assertEqual(status, 200)
                self.assertEqual(int(headers["content-length"]), len(BIG))
                self.assertEqual(body, BIG[:n])

    def test_cut_is_seen_as_incomplete_by_http_client(self):
        conn = http.client.HTTPConnection("127.0.0.1", _port, timeout=5)
        try:
            conn.request("GET", PREFIX + "_fault=cut,50/big.bin")
            resp = conn.getresponse()
            with self.assertRaises(http.client.IncompleteRead) as cm:
                resp.read()
            self.assertEqual(cm.exception.partial, BIG[:50])
            self.assertEqual(cm.exception.expected, len(BIG) - 50)
        finally:
            conn.close()

    def test_flaky_fails_n_times_per_url_then_serves(self):
        target = PREFIX + "_fault=flaky,2/hello.txt"
        statuses = [raw_request(_port, target)[0] for _ in range(3)]
        self.assertEqual(statuses, [500, 500, 200])
        status, _, body = raw_request(_port, target)
        self.assertEqual((status, body), (200, HELLO), "stays healthy afterwards")
        self.assertEqual(raw_request(_port, PREFIX + "_fault=flaky,1/big.bin")[0], 500,
                         "each URL keeps its own count")

    def test_empty_has_zero_length(self):
        for name in ("big.bin", "not-there.bin"):
            with self.subTest(name=name):
                status, headers, body = raw_request(
                    _port, f"{PREFIX}_fault=empty/{name}")
                self.assertEqual(status, 200)
                self.assertEqual(headers["content-length"], "0")
                self.assertEqual(body, b"")

    def test_slow_paces_pieces(self):
        ms = 40
        pieces = -(-len(BIG) // PIECE)
        started = time.monotonic()
        status, headers, body = raw_request(_port, f"{PREFIX}_fault=slow,{ms}/big.bin")
        elapsed = time.monotonic() - started
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["content-length"]), len(BIG))
        self.assertEqual(body, BIG)
        # One pause precedes every piece; allow for coarse timers.
        self.assertGreaterEqual(elapsed, pieces * ms / 1000.0 * 0.8)

    def test_slow_survives_client_hanging_up(self):
        with socket.create_connection(("127.0.0.1", _port), timeout=5) as s:
            s.sendall(f"GET {PREFIX}_fault=slow,20/big.bin HTTP/1.1\r\n"
                      f"Host: x\r\n\r\n".encode())
            first = s.recv(4096)
            self.assertTrue(first.startswith(b"HTTP/1.1 200"), first[:40])
        started = time.monotonic()
        status, _, body = raw_request(_port, PREFIX + "hello.txt")
        self.assertEqual((status, body), (200, HELLO))
        # Answered while the abandoned transfer is still pacing.
        self.assertLess(time.monotonic() - started, 1.0)


class LifecycleTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def test_stops_on_signal_and_removes_pidfile(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                pidfile = os.path.join(self.tmp.name, f"server-{sig.name}.pid")
                log = os.path.join(self.tmp.name, f"server-{sig.name}.log")
                proc, port = start_server(_root, "--pidfile", pidfile, "--log", log)
                try:
                    with open(pidfile) as f:
                        self.assertEqual(int(f.read()), proc.pid)
                    # Leave a hung-up slow transfer behind: it must not spill
                    # a traceback or delay the stop.
                    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                        s.sendall(f"GET {PREFIX}_fault=slow,10/big.bin HTTP/1.1\r\n"
                                  f"Host: x\r\n\r\n".encode())
                        s.recv(100)
                    time.sleep(0.15)
                    proc.send_signal(sig)
                    out, err = proc.communicate(timeout=5)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.communicate()
                self.assertEqual(proc.returncode, 0)
                self.assertEqual(out, b"")
                self.assertEqual(err, b"")
                self.assertFalse(os.path.exists(pidfile))
                with open(log, encoding="utf-8") as f:
                    self.assertIn("_fault=slow,10/big.bin", f.read())
                with self.assertRaises(OSError):
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()

    def test_portfile_written_and_removed(self):
        portfile = os.path.join(self.tmp.name, "server.port")
        proc, port = start_server(_root, "--portfile", portfile)
        try:
            with open(portfile) as f:
                self.assertEqual(int(f.read()), port)
        finally:
            stop_server(proc)
        self.assertFalse(os.path.exists(portfile))

    def test_bad_root_is_refused(self):
        res = subprocess.run(
            [sys.executable, SERVER, "--root",
             os.path.join(self.tmp.name, "missing"), "--port", "0"],
            capture_output=True, timeout=5)
        self.assertNotEqual(res.returncode, 0)
        self.assertIn(b"not a directory", res.stderr)


class SampleReleaseTest(unittest.TestCase):
    def make(self, outdir, *extra):
        inputs = os.path.join(os.path.dirname(outdir), "inputs")
        os.makedirs(inputs, exist_ok=True)
        msi, launcher = os.path.join(inputs, "node.msi"), os.path.join(inputs, "launcher.exe")
        for path, data in ((msi, b"MSI stand-in"), (launcher, b"MZ launcher stand-in")):
            with open(path, "wb") as f:
                f.write(data)
        subprocess.run([sys.executable, SAMPLE, outdir, "--node-msi", msi, "--launcher", launcher, *extra],
                       check=True, capture_output=True, timeout=60)

    @staticmethod
    def snapshot(top):
        files = {}
        for dirpath, _, names in os.walk(top):
            for name in names:
                path = os.path.join(dirpath, name)
                with open(path, "rb") as f:
                    files[os.path.relpath(path, top)] = f.read()
        return files

    def test_release_is_stable_and_consistent(self):
        with tempfile.TemporaryDirectory() as tmp:
            a, b = os.path.join(tmp, "a"), os.path.join(tmp, "b")
            self.make(a)
            self.make(b)
            snap_a, snap_b = self.snapshot(a), self.snapshot(b)
            # bsdtar records the staged files' change times, so only the listing is stable
            self.assertEqual(snap_a["manifest.json"], snap_b["manifest.json"])

            manifest = json.loads(snap_a["manifest.json"].decode("utf-8"))
            self.assertNotIn("baseUrl", manifest)
            packages = {p["id"]: p for p in manifest["packages"]}
            self.assertEqual(list(packages)[:2], ["node", "playwright"])
            extracted = [p for p in packages.values() if p["extract"]]
            self.assertEqual(len(extracted), 1)
            copied = [p for p in packages.values() if not p["extract"] and p["id"] not in ("node", "playwright")]
            self.assertEqual(len(copied), 1)
            self.assertIn("/", copied[0]["file"], "the copied package names a folder too")
            self.assertEqual(snap_a[packages["node"]["file"]], b"MSI stand-in")

            skills = manifest["skills"]
            self.assertEqual([s["required"] for s in skills].count(True), 1)
            missing = [s for s in skills if os.path.join(*s["file"].split("/")) not in snap_a]
            self.assertEqual(len(missing), 1, "exactly one skill is absent from the server")
            for entry in manifest["packages"] + skills:
                if entry in missing:
                    continue
                with self.subTest(file=entry["file"]):
                    self.assertEqual(entry["size"], len(snap_a[os.path.join(*entry["file"].split("/"))]))

            with zipfile.ZipFile(os.path.join(a, extracted[0]["file"])) as z:
                self.assertIsNone(z.testzip())
                names = set(z.namelist())
                self.assertEqual(z.read("launcher.exe"), b"MZ launcher stand-in")
                self.assertIn("__API_KEY_PLACEHOLDER__", z.read("config-files/auth-profiles.json").decode("utf-8"))
                json.loads(z.read("config-files/harrowby.json"))
            for name in ("config-files/harrowby.json", "package.json", "dist/canvas-host/a2ui/quillmere.html",
                         "dist/canvas-host/a2ui/a2ui.bundle.js", "dist/canvas-host/a2ui/mammoth.browser.min.js",
                         "dist/canvas-host/a2ui/xlsx.full.min.js"):
                self.assertIn(name, names)
            with zipfile.ZipFile(os.path.join(a, packages["playwright"]["file"])) as z:
                self.assertIsNone(z.testzip())
            chinese = [s for s in skills if any(ord(c) > 0x4e00 for c in s.get("name", ""))]
            with_package = []
            for skill in skills:
                if skill in missing:
                    continue
                with zipfile.ZipFile(os.path.join(a, *skill["file"].split("/"))) as z:
                    self.assertIsNone(z.testzip())
                    if "package.json" in z.namelist():
                        with_package.append(skill)
            self.assertTrue(any(s in chinese for s in with_package), "a skill with a Chinese name brings package.json")

    def test_base_url_and_served_sizes_match(self):
        with tempfile.TemporaryDirectory() as tmp:
            release = os.path.join(tmp, "release")
            self.make(release)
            proc, port = start_server(release)
            try:
                base = f"http://127.0.0.1:{port}{PREFIX}"
                self.make(release, "--base-url", base)
                with urllib.request.urlopen(base + "manifest.json", timeout=5) as r:
                    manifest = json.loads(r.read().decode("utf-8"))
                self.assertEqual(manifest["baseUrl"], base)
                served = 0
                for entry in manifest["packages"] + manifest["skills"]:
                    with self.subTest(file=entry["file"]):
                        try:
                            with urllib.request.urlopen(base + entry["file"], timeout=5) as r:
                                body = r.read()
                                self.assertEqual(int(r.headers["Content-Length"]), entry["size"])
                            self.assertEqual(len(body), entry["size"])
                            served += 1
                        except urllib.error.HTTPError as error:
                            self.assertEqual(error.code, 404)
                self.assertEqual(served, len(manifest["packages"]) + len(manifest["skills"]) - 1)
            finally:
                stop_server(proc)


if __name__ == "__main__":
    unittest.main()
