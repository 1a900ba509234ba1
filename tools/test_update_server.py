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
import ssl
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
CERTS = os.path.join(HERE, "make_test_certs.py")
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


def parse_head(head):
    """Status and headers (lower-case names) of a response head."""
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return status, headers


def request_bytes(target, method="GET", headers=()):
    extra = "".join(f"{name}: {value}\r\n" for name, value in headers)
    return (f"{method} {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n{extra}\r\n"
            .encode("latin-1"))


def raw_request(port, target, method="GET", headers=()):
    """Send one request line (and any extra headers) verbatim and read to EOF.
    Returns (status, headers with lower-case names, body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(request_bytes(target, method, headers))
        data = bytearray()
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    head, sep, body = bytes(data).partition(b"\r\n\r\n")
    if not sep:
        raise AssertionError(f"no header terminator in {bytes(data)[:200]!r}")
    status, headers = parse_head(head)
    return status, headers, body


def open_response(port, target):
    """Send a GET and read up to the end of the headers, for answers that do
    not end by themselves.  Returns (socket, status, headers, body so far);
    the caller closes the socket."""
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(request_bytes(target))
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            s.close()
            raise AssertionError(f"connection closed inside the headers: {data[:200]!r}")
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    status, headers = parse_head(head)
    return s, status, headers, body


def receive_for(s, seconds, limit):
    """Whatever arrives within `seconds` (at most `limit` bytes), and whether
    the server closed the connection meanwhile."""
    data = bytearray()
    deadline = time.monotonic() + seconds
    while len(data) < limit:
        left = deadline - time.monotonic()
        if left <= 0:
            return bytes(data), False
        s.settimeout(left)
        try:
            chunk = s.recv(min(65536, limit - len(data)))
        except socket.timeout:
            return bytes(data), False
        if not chunk:
            return bytes(data), True
        data += chunk
    return bytes(data), False


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
                    "_fault=empty,3", "_fault=flaky", "_fault=cutonce",
                    "_fault=stall,x", "_fault=endless,1", "_fault=drip",
                    "_fault=drip,0"):
            with self.subTest(fault=seg):
                status, _, _ = raw_request(_port, f"{PREFIX}{seg}/hello.txt")
                self.assertEqual(status, 400)

    def test_fault_on_missing_file_is_404(self):
        for seg in ("_fault=nolength", "_fault=cut,10", "_fault=slow,1",
                    "_fault=cutonce,10", "_fault=stall,10"):
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

    def test_cutonce_cuts_only_the_first_request_so_a_retry_can_resume(self):
        target = PREFIX + "_fault=cutonce,5000/big.bin?run=resume"
        status, headers, body = raw_request(_port, target)
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["content-length"]), len(BIG), "announces the whole file")
        self.assertEqual(body, BIG[:5000])
        self.assertIn("etag", headers, "the cut answer can be resumed")

        rest = raw_request(_port, target, headers=(("Range", "bytes=5000-"),
                                                   ("If-Range", headers["etag"])))
        self.assertEqual(rest[0], 206)
        self.assertEqual(rest[1]["content-range"], f"bytes 5000-{len(BIG) - 1}/{len(BIG)}")
        self.assertEqual(body + rest[2], BIG)
        self.assertEqual(raw_request(_port, target)[2], BIG, "later plain requests get it all")
        self.assertEqual(raw_request(_port, target + "x")[2], BIG[:5000],
                         "each URL is cut once on its own")

    def test_stall_sends_n_bytes_then_holds_the_connection_silently(self):
        s, status, headers, body = open_response(_port, PREFIX + "_fault=stall,20000/big.bin")
        with s:
            self.assertEqual(status, 200)
            self.assertEqual(int(headers["content-length"]), len(BIG))
            self.assertIn("etag", headers)
            more, closed = receive_for(s, 1.0, len(BIG))
        self.assertEqual(body + more, BIG[:20000], "N bytes and not one more")
        self.assertFalse(closed, "the connection stays open")

    def test_endless_body_never_ends_whatever_the_file(self):
        for name in ("big.bin", "not-there.bin"):
            with self.subTest(name=name):
                s, status, headers, body = open_response(_port, f"{PREFIX}_fault=endless/{name}")
                with s:
                    more, closed = receive_for(s, 10.0, 4 * 1024 * 1024 - len(body))
                self.assertEqual(status, 200)
                self.assertNotIn("content-length", headers)
                self.assertNotIn("etag", headers, "nothing to resume")
                self.assertFalse(closed)
                self.assertEqual(len(body + more), 4 * 1024 * 1024, "far more than any file here")

    def test_drip_sends_single_bytes_paced_apart(self):
        ms = 100
        started = time.monotonic()
        s, status, headers, body = open_response(_port, f"{PREFIX}_fault=drip,{ms}/not-there.bin")
        with s:
            more, closed = receive_for(s, 10.0, 4 - len(body))
        elapsed = time.monotonic() - started
        self.assertEqual(status, 200)
        self.assertNotIn("content-length", headers)
        self.assertFalse(closed)
        self.assertEqual(len(body + more), 4)
        # Three pauses separate four bytes; allow for coarse timers.
        self.assertGreaterEqual(elapsed, 3 * ms / 1000.0 * 0.8)

    def test_held_connections_end_when_the_client_leaves(self):
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "server.log")
            proc, port = start_server(_root, "--log", log)
            try:
                rows = (("_fault=stall,100/big.bin", "stall notices the close while sending nothing"),
                        ("_fault=endless/big.bin", "endless stops writing into a closed connection"),
                        ("_fault=drip,20000/big.bin", "drip notices between bytes, not after 20 s"))
                for fault, why in rows:
                    s, status, _, _ = open_response(port, PREFIX + fault)
                    s.close()
                    self.assertEqual(status, 200, why)
                deadline = time.monotonic() + 5
                while time.monotonic() < deadline:
                    with open(log, encoding="utf-8") as f:
                        text = f.read()
                    if all(f"client went away during {PREFIX}{fault}" in text for fault, _ in rows):
                        break
                    time.sleep(0.1)
                for fault, why in rows:
                    self.assertIn(f"client went away during {PREFIX}{fault}", text, why)
            finally:
                stop_server(proc)

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


class RangeTest(unittest.TestCase):
    def tags(self, target=PREFIX + "big.bin"):
        _, headers, _ = raw_request(_port, target, "HEAD")
        return headers.get("etag"), headers.get("last-modified")

    def test_which_answers_carry_validators(self):
        rows = (("big.bin", True, "a plain file"),
                ("_fault=nolength/big.bin", True, "unframed, but still this file"),
                ("_fault=stall,10/big.bin", True, "a stall can be resumed"),
                ("_fault=cutonce,10/big.bin?run=tags", True, "the cut that is meant to be resumed"),
                ("_fault=cut,10/big.bin", False, "the server that cannot resume"),
                ("_fault=empty/big.bin", False, "not the file's bytes"),
                ("_fault=status,404/big.bin", False, "an error"),
                ("missing.bin", False, "no file"))
        for target, carried, why in rows:
            with self.subTest(target=target):
                etag, modified = self.tags(PREFIX + target)
                self.assertEqual(etag is not None, carried, why)
                self.assertEqual(modified is not None, carried, why)
                if carried:
                    self.assertRegex(etag, r'^"[^"]+"$', "a strong, quoted tag")

    def test_etag_follows_the_file(self):
        path = os.path.join(_root, "changing.bin")
        target = PREFIX + "changing.bin"
        with open(path, "wb") as f:
            f.write(b"first version")
        try:
            first = self.tags(target)
            self.assertEqual(self.tags(target), first, "stable while the file is")
            with open(path, "wb") as f:
                f.write(b"second, longer version")
            self.assertNotEqual(self.tags(target)[0], first[0], "a new version has a new tag")
        finally:
            os.remove(path)

    def test_ranges(self):
        n = len(BIG)
        rows = (("bytes=100-", 206, BIG[100:], f"bytes 100-{n - 1}/{n}", "the rest from N"),
                ("bytes=0-", 206, BIG, f"bytes 0-{n - 1}/{n}", "the rest from the start"),
                ("bytes=100-199", 206, BIG[100:200], f"bytes 100-199/{n}", "a bounded range"),
                (f"bytes={n - 1}-{n + 50}", 206, BIG[-1:], f"bytes {n - 1}-{n - 1}/{n}",
                 "an end past the file is cut to it"),
                (f"bytes={n}-", 416, b"", f"bytes */{n}", "nothing is left past the end"),
                ("bytes=5-2", 200, BIG, None, "a reversed range is ignored"),
                ("bytes=-100", 200, BIG, None, "suffix ranges are not supported"),
                ("bytes=1-2,4-5", 200, BIG, None, "several ranges are not supported"),
                ("items=1-", 200, BIG, None, "an unknown unit is ignored"))
        for header, status, body, content_range, why in rows:
            with self.subTest(range=header):
                got = raw_request(_port, PREFIX + "big.bin", headers=(("Range", header),))
                self.assertEqual(got[0], status, why)
                self.assertEqual(got[2], body, why)
                self.assertEqual(int(got[1]["content-length"]), len(body), why)
                self.assertEqual(got[1].get("content-range"), content_range, why)

    def test_if_range_honours_the_range_only_for_the_same_version(self):
        etag, modified = self.tags()
        rows = ((etag, 206, "the tag of this version"),
                (modified, 206, "the date of this version"),
                ('"another-version"', 200, "another tag: the whole file anew"),
                ("W/" + etag, 200, "a weak tag never validates a range"),
                ("Thu, 01 Jan 1970 00:00:00 GMT", 200, "another date"))
        for condition, status, why in rows:
            with self.subTest(condition=condition):
                got = raw_request(_port, PREFIX + "big.bin",
                                  headers=(("Range", "bytes=1000-"), ("If-Range", condition)))
                self.assertEqual(got[0], status, why)
                self.assertEqual(got[2], BIG[1000:] if status == 206 else BIG, why)

    def test_anyrange_honours_a_range_whatever_if_range_names(self):
        got = raw_request(_port, PREFIX + "_fault=anyrange/big.bin",
                          headers=(("Range", "bytes=1000-"), ("If-Range", '"another-version"')))
        self.assertEqual(got[0], 206)
        self.assertEqual(got[2], BIG[1000:])

    def test_faults_other_than_flaky_and_cutonce_ignore_the_range(self):
        rows = (("_fault=nolength/big.bin", BIG),
                ("_fault=cut,300/big.bin", BIG[:300]),
                ("_fault=flaky,0/big.bin", BIG[1000:]),
                ("_fault=cutonce,300/big.bin?run=range", BIG[:300]))
        for target, body in rows:
            with self.subTest(target=target):
                got = raw_request(_port, PREFIX + target, headers=(("Range", "bytes=1000-"),))
                self.assertEqual(got[2], body)
                self.assertEqual(got[0], 206 if body == BIG[1000:] else 200)

    def test_head_with_a_range_gives_its_headers_only(self):
        status, headers, body = raw_request(_port, PREFIX + "big.bin", "HEAD",
                                            headers=(("Range", "bytes=10-"),))
        self.assertEqual((status, body), (206, b""))
        self.assertEqual(int(headers["content-length"]), len(BIG) - 10)


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


class TlsTest(unittest.TestCase):
    """The server behind TLS, with certificates made for the test and trusted only by its client."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.certs = cls.tmp.name
        subprocess.run([sys.executable, CERTS, cls.certs], check=True, capture_output=True, timeout=120)
        cls.proc, cls.port = start_server(_root, *cls.tls_options("localhost.pem", "localhost.key"))
        cls.client = ssl.create_default_context(cafile=os.path.join(cls.certs, "ca.pem"))

    @classmethod
    def tearDownClass(cls):
        stop_server(cls.proc)
        cls.tmp.cleanup()

    @classmethod
    def tls_options(cls, cert, key):
        return "--tls-cert", os.path.join(cls.certs, cert), "--tls-key", os.path.join(cls.certs, key)

    def get(self, target, headers=(), context=None):
        """Status and body of one GET to localhost; a body cut short is returned as far as it came."""
        conn = http.client.HTTPSConnection("localhost", self.port, timeout=5, context=context or self.client)
        try:
            conn.request("GET", PREFIX + target, headers=dict(headers))
            response = conn.getresponse()
            try:
                return response.status, response.read()
            except http.client.IncompleteRead as cut:
                return response.status, cut.partial
        finally:
            conn.close()

    def test_files_ranges_and_faults_behave_as_over_http(self):
        rows = (("big.bin", (), 200, BIG, "a whole file"),
                ("big.bin", (("Range", "bytes=1000-"),), 206, BIG[1000:], "a range"),
                ("_fault=cutonce,300/big.bin?run=tls", (), 200, BIG[:300], "a first request cut short"),
                ("_fault=cutonce,300/big.bin?run=tls", (("Range", "bytes=300-"),), 206, BIG[300:],
                 "its retry resumes where the cut was"),
                ("_fault=status,503/big.bin", (), 503, b"injected status 503\n", "an injected status"))
        for target, headers, status, body, why in rows:
            with self.subTest(target=target, headers=headers):
                self.assertEqual(self.get(target, headers), (status, body), why)

    def test_a_refused_handshake_leaves_the_server_serving(self):
        with self.assertRaises(ssl.SSLCertVerificationError):
            self.get("hello.txt", context=ssl.create_default_context())
        self.assertEqual(self.get("hello.txt"), (200, HELLO))

    def test_tls_options_go_together_and_must_load(self):
        cert, key = self.tls_options("localhost.pem", "localhost.key")[1::2]
        rows = ((("--tls-cert", cert), b"go together", "a certificate without its key"),
                (("--tls-key", key), b"go together", "a key without its certificate"),
                (self.tls_options("localhost.pem", "stranger.key"), b"cannot load", "a key of another certificate"))
        for options, message, why in rows:
            with self.subTest(why=why):
                res = subprocess.run([sys.executable, SERVER, "--root", _root, "--port", "0", *options],
                                     capture_output=True, timeout=10)
                self.assertNotEqual(res.returncode, 0, why)
                self.assertIn(message, res.stderr, why)


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
