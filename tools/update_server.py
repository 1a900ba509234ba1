#!/usr/bin/env python3
"""Local update server for the installer's tests and demo.

Serves a release folder on 127.0.0.1 under /new/quillmere/update/.  A first
path segment of the form ``_fault=KIND[,ARG]`` makes the server misbehave on
purpose for the file named by the rest of the path, so a manifest can point the
installer at a broken download:

    status,CODE   answer CODE with a short body, whether or not the file exists
    nolength      200 with the file but no Content-Length (ends at close)
    cut,N         200 with the full Content-Length, send N bytes, then close;
                  no ETag or Last-Modified, so the rest cannot be asked for
    cutonce,N     the first request of this URL like cut,N but with validators;
                  later ones are served normally, ranges included
    slow,MS       200, body in 16384-byte pieces, sleeping MS ms before each
    empty         200 with Content-Length: 0, whatever the file
    flaky,N       500 for the first N requests of this URL, then the file
    stall,N       200 with the full Content-Length, send N bytes, then nothing
                  more while the connection stays open
    endless       200 without Content-Length and a body that never ends,
                  whatever the file
    drip,MS       200 without Content-Length, one byte every MS ms for ever,
                  whatever the file
    anyrange      like no fault, but a Range is honoured whatever If-Range
                  names, as a server that ignores If-Range does

stall, endless and drip end when the client goes away, or after HOLD_SECONDS.

A file served as it is, by flaky or by cutonce carries an ETag and a
Last-Modified and honours "Range: bytes=N-" (and N-M) with a 206, or a 416 past
the end; an If-Range naming another version of the file gets the whole file in
a 200.  The other faults ignore Range.

With --tls-cert and --tls-key (PEM files; the certificate may be followed by
its chain) every connection is https instead, faults and ranges alike.

Usage:
    update_server.py --root DIR --port N [--pidfile FILE] [--log FILE]
                     [--portfile FILE] [--tls-cert PEM --tls-key PEM]
"""

import argparse
import datetime
import email.utils
import hashlib
import http.server
import os
import select
import signal
import socket
import socketserver
import ssl
import sys
import threading
import time
import traceback
import urllib.parse

PREFIX = "/new/quillmere/update/"
FAULT_MARK = "_fault="
SLOW_PIECE = 16384
COPY_CHUNK = 65536
# A slow fault is meant to be cancelled by the client; cap the pause so a typo
# in a test manifest cannot park a server thread for hours.
MAX_SLOW_MS = 60000
# No fault holds a connection longer than this, whatever the client does.
HOLD_SECONDS = 300
ENDLESS_CHUNK = b"x" * COPY_CHUNK

DISCONNECTED = (BrokenPipeError, ConnectionResetError, ConnectionAbortedError,
                TimeoutError)


class BadRequest(Exception):
    """The fault segment is malformed or names an unknown fault."""


def split_target(target):
    """Return the decoded path segments after PREFIX, or None when the target
    lies outside the prefix or tries to step out of the served tree."""
    if target.startswith(("http://", "https://")):
        path = urllib.parse.urlsplit(target).path
    else:
        path = target.split("?", 1)[0].split("#", 1)[0]
    if not path.startswith(PREFIX):
        return None
    rest = path[len(PREFIX):]
    if rest == "":
        return []
    segments = []
    for raw in rest.split("/"):
        try:
            seg = urllib.parse.unquote(raw, errors="strict")
        except UnicodeDecodeError:
            return None
        # Empty and dot segments would let "//etc" or "../" escape the root;
        # separators hidden behind percent-encoding are refused the same way.
        if seg in ("", ".", "..") or "/" in seg or "\\" in seg or "\0" in seg:
            return None
        segments.append(seg)
    return segments


def parse_fault(segment):
    """Split "_fault=KIND[,ARG]" into (kind, int-or-None); BadRequest if not
    one of the known faults with a usable argument."""
    text = segment[len(FAULT_MARK):]
    kind, comma, arg = text.partition(",")
    if kind in ("nolength", "empty", "endless", "anyrange"):
        if comma:
            raise BadRequest(f"fault {kind} takes no argument")
        return kind, None
    if kind not in ("status", "cut", "cutonce", "slow", "flaky", "stall", "drip"):
        raise BadRequest(f"unknown fault {kind!r}")
    if not arg.isdigit():
        raise BadRequest(f"fault {kind} needs a decimal argument")
    value = int(arg)
    if kind == "status" and not 200 <= value <= 599:
        raise BadRequest("status fault code must be 200..599")
    if kind == "drip" and value == 0:
        raise BadRequest("drip needs a pause of at least 1 ms")
    if kind in ("slow", "drip"):
        value = min(value, MAX_SLOW_MS)
    return kind, value


def validators(st):
    """(ETag, Last-Modified) of a file: the tag changes whenever its size or
    modification time does."""
    digest = hashlib.sha256(f"{st.st_size}:{st.st_mtime_ns}".encode()).hexdigest()
    return f'"{digest[:20]}"', email.utils.formatdate(st.st_mtime, usegmt=True)


def parse_range(header, size):
    """The (first, last) byte asked for by a single "bytes=N-" or "bytes=N-M"
    range; None when there is no usable range (the whole file is sent, as for
    any syntax this server does not know); "unsatisfiable" when N lies past
    the end."""
    if header is None:
        return None
    unit, _, spec = header.strip().partition("=")
    first, dash, last = spec.strip().partition("-")
    if unit.strip().lower() != "bytes" or not dash or not first.isdigit():
        return None
    if last and not last.isdigit():
        return None
    first = int(first)
    if last and int(last) < first:
        return None
    if first >= size:
        return "unsatisfiable"
    return first, min(int(last), size - 1) if last else size - 1


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QuillmereUpdateServer/1.0"
    # Drop clients that stall mid-request instead of holding a thread forever.
    timeout = 30

    def version_string(self):
        return self.server_version

    def do_GET(self):
        self._serve(with_body=True)

    def do_HEAD(self):
        self._serve(with_body=False)

    # -- responses -----------------------------------------------------------

    def _headers(self, code, content_type, length, extra=()):
        self.close_connection = True
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()

    def _text(self, code, message, with_body):
        body = (message + "\n").encode("utf-8")
        if code in (204, 304):
            body = b""
        self._headers(code, "text/plain; charset=utf-8", len(body))
        if with_body and body:
            self.wfile.write(body)

    def _resolve(self, segments):
        """Absolute path of an existing regular file inside the root, or
        None.  The realpath check also catches symlinks pointing outside."""
        if not segments:
            return None
        root = self.server.root
        real = os.path.realpath(os.path.join(root, *segments))
        if os.path.commonpath([real, root]) != root or not os.path.isfile(real):
            return None
        return real

    def _serve(self, with_body):
        self.close_connection = True
        segments = split_target(self.path)
        if segments is None:
            return self._text(404, "not found", with_body)

        fault = None
        arg = None
        if segments and segments[0].startswith(FAULT_MARK):
            try:
                fault, arg = parse_fault(segments[0])
            except BadRequest as exc:
                return self._text(400, f"bad fault: {exc}", with_body)
            segments = segments[1:]

        if fault == "status":
            return self._text(arg, f"injected status {arg}", with_body)
        if fault == "flaky" and self.server.count_request(self.path) <= arg:
            return self._text(500, "injected flaky failure", with_body)
        if fault == "cutonce" and self.server.count_request(self.path) > 1:
            fault = None

        path = self._resolve(segments)
        if fault in ("empty", "endless", "drip"):
            ctype = content_type_for(segments[-1] if segments else "")
            return self._unframed(fault, arg, ctype, with_body)
        if path is None:
            return self._text(404, "not found", with_body)

        # Read from disk on every request: tests rewrite files between runs.
        try:
            f = open(path, "rb")
        except OSError:
            return self._text(404, "not found", with_body)
        with f:
            try:
                self._serve_file(f, fault, arg, content_type_for(path), with_body)
            except DISCONNECTED:
                # The client hanging up is an expected outcome here.
                self.log_message("client went away during %s", self.path)

    def _serve_file(self, f, fault, arg, ctype, with_body):
        st = os.fstat(f.fileno())
        size = st.st_size
        etag, modified = validators(st)
        # The cut fault stands for a server that cannot resume.
        tags = () if fault == "cut" else (("ETag", etag), ("Last-Modified", modified))
        if fault in (None, "flaky", "anyrange"):
            wanted = (parse_range(self.headers.get("Range"), size) if fault == "anyrange"
                      else self._wanted_range(size, etag, modified))
            if wanted == "unsatisfiable":
                return self._headers(416, ctype, 0, (("Content-Range", f"bytes */{size}"),) + tags)
            if wanted is not None:
                first, last = wanted
                self._headers(206, ctype, last - first + 1,
                              (("Content-Range", f"bytes {first}-{last}/{size}"),) + tags)
                if with_body:
                    f.seek(first)
                    self._copy(f, last - first + 1)
                return
        self._headers(200, ctype, None if fault == "nolength" else size, tags)
        if not with_body:
            return
        if fault in ("cut", "cutonce"):
            self._copy(f, min(arg, size))
        elif fault == "slow":
            self._trickle(f, arg / 1000.0)
        elif fault == "stall":
            self._copy(f, min(arg, size))
            self._hold()
        else:
            self._copy(f, size)

    def _wanted_range(self, size, etag, modified):
        """The range to answer, honouring If-Range only for this very version."""
        wanted = parse_range(self.headers.get("Range"), size)
        condition = self.headers.get("If-Range")
        if wanted is not None and condition is not None and condition.strip() not in (etag, modified):
            return None
        return wanted

    def _unframed(self, fault, arg, ctype, with_body):
        """Answers that need no file: an empty body, or one that never ends."""
        if fault == "empty":
            return self._headers(200, ctype, 0)
        self._headers(200, ctype, None)
        if not with_body:
            return
        deadline = time.monotonic() + HOLD_SECONDS
        try:
            while time.monotonic() < deadline:
                if fault == "endless":
                    self.wfile.write(ENDLESS_CHUNK)
                    continue
                self.wfile.write(b"x")
                self.wfile.flush()
                if self._client_left(arg / 1000.0):
                    self.log_message("client went away during %s", self.path)
                    return
        except DISCONNECTED:
            self.log_message("client went away during %s", self.path)

    def _hold(self):
        """Send nothing more, but keep the connection until the client leaves."""
        deadline = time.monotonic() + HOLD_SECONDS
        while time.monotonic() < deadline:
            if self._client_left(1.0):
                self.log_message("client went away during %s", self.path)
                return

    def _client_left(self, seconds):
        """Wait up to `seconds` for the client to close its end; True once it has."""
        try:
            ready, _, _ = select.select([self.connection], [], [], seconds)
            return bool(ready) and self.connection.recv(COPY_CHUNK) == b""
        except OSError:
            return True

    def _copy(self, f, count):
        while count > 0:
            chunk = f.read(min(COPY_CHUNK, count))
            if not chunk:
                break
            self.wfile.write(chunk)
            count -= len(chunk)
        self.wfile.flush()

    def _trickle(self, f, pause):
        while True:
            piece = f.read(SLOW_PIECE)
            if not piece:
                break
            time.sleep(pause)
            self.wfile.write(piece)

    # -- logging -------------------------------------------------------------

    def log_message(self, format, *args):
        self.server.log("%s %s" % (self.address_string(), format % args))


def content_type_for(name):
    if name.lower().endswith(".json"):
        return "application/json"
    return "application/octet-stream"


class UpdateServer(http.server.ThreadingHTTPServer):
    allow_reuse_address = True
    daemon_threads = True
    block_on_close = False

    def __init__(self, address, root, log_file, tls=None):
        self.root = root
        self.tls = tls
        self._log_file = log_file
        self._log_lock = threading.Lock()
        self._request_counts = {}
        self._count_lock = threading.Lock()
        super().__init__(address, Handler)

    def count_request(self, target):
        """How many times this exact URL has been asked for, this one included."""
        with self._count_lock:
            self._request_counts[target] = self._request_counts.get(target, 0) + 1
            return self._request_counts[target]

    def finish_request(self, request, client_address):
        if self.tls is None:
            return super().finish_request(request, client_address)
        # The handshake runs here, on the connection's own thread, so a client
        # that never completes it holds up no one but itself.
        request.settimeout(Handler.timeout)
        with self.tls.wrap_socket(request, server_side=True) as secure:
            super().finish_request(secure, client_address)

    def server_bind(self):
        # HTTPServer.server_bind does a reverse DNS lookup that can stall in
        # sandboxes; the name is not needed here.
        socketserver.TCPServer.server_bind(self)
        self.server_name = self.server_address[0]
        self.server_port = self.server_address[1]

    def log(self, message):
        if self._log_file is None:
            return
        stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
        with self._log_lock:
            try:
                self._log_file.write(f"{stamp} {message}\n")
                self._log_file.flush()
            except (OSError, ValueError):
                pass

    def handle_error(self, request, client_address):
        # Stay off stderr; a dropped connection is routine for this server.
        exc = sys.exc_info()[1]
        if isinstance(exc, DISCONNECTED):
            self.log(f"{client_address[0]} connection dropped: {exc!r}")
        elif isinstance(exc, ssl.SSLError):
            # A client that does not trust the certificate ends up here.
            self.log(f"{client_address[0]} TLS failed: {exc!r}")
        else:
            self.log(f"{client_address[0]} error:\n{traceback.format_exc()}")


def write_file_atomically(path, text):
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def remove_if_ours(path, text):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() != text:
                return
        os.remove(path)
    except OSError:
        pass


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Serve a release folder under %s on 127.0.0.1, with "
                    "URL-selected fault injection." % PREFIX)
    p.add_argument("--root", required=True, help="release folder to serve")
    p.add_argument("--port", required=True, type=int,
                   help="TCP port; 0 picks a free one")
    p.add_argument("--pidfile", help="write the process id here while running")
    p.add_argument("--log", help="append request log lines here")
    p.add_argument("--portfile", help="write the bound port here once ready")
    p.add_argument("--tls-cert", help="serve https with this PEM certificate "
                                      "(and chain)")
    p.add_argument("--tls-key", help="the PEM private key of --tls-cert")
    args = p.parse_args(argv)
    if (args.tls_cert is None) != (args.tls_key is None):
        p.error("--tls-cert and --tls-key go together")
    if not 0 <= args.port <= 65535:
        p.error("--port must be 0..65535")
    if not os.path.isdir(args.root):
        p.error(f"--root {args.root!r} is not a directory")
    return args


def tls_context(cert, key):
    """A server context for TLS 1.2 and later, or None for plain http."""
    if cert is None:
        return None
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    return context


def serve_until_signalled(server, description, pidfile=None, portfile=None):
    """Serves until SIGTERM or SIGINT; the pid and port files exist while it does. Shared by the
    local test servers, whose `log` method writes one line to their log."""
    port = server.server_address[1]
    stopping = threading.Event()

    def on_signal(signum, frame):
        # shutdown() blocks until serve_forever returns, so it cannot run on
        # the thread that is inside serve_forever.
        if not stopping.is_set():
            stopping.set()
            threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    pid_text = f"{os.getpid()}\n"
    port_text = f"{port}\n"
    try:
        if pidfile:
            write_file_atomically(pidfile, pid_text)
        if portfile:
            write_file_atomically(portfile, port_text)
        server.log(f"listening on 127.0.0.1:{port} {description}")
        try:
            print(f"listening on 127.0.0.1:{port}", flush=True)
        except OSError:
            pass
        server.serve_forever(poll_interval=0.1)
    finally:
        server.server_close()
        if pidfile:
            remove_if_ours(pidfile, pid_text)
        if portfile:
            remove_if_ours(portfile, port_text)
        server.log("stopped")


def main(argv=None):
    args = parse_args(argv)
    root = os.path.realpath(args.root)
    try:
        tls = tls_context(args.tls_cert, args.tls_key)
    except (OSError, ssl.SSLError) as exc:
        print(f"update_server: cannot load the TLS certificate: {exc}",
              file=sys.stderr)
        return 1
    log_file = open(args.log, "a", encoding="utf-8") if args.log else None

    try:
        server = UpdateServer(("127.0.0.1", args.port), root, log_file, tls)
    except OSError as exc:
        print(f"update_server: cannot listen on 127.0.0.1:{args.port}: {exc}",
              file=sys.stderr)
        return 1

    scheme = "http" if tls is None else "https"
    try:
        serve_until_signalled(server, f"({scheme}), root {root}", args.pidfile, args.portfile)
    finally:
        if log_file is not None:
            log_file.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
