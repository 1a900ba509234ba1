#!/usr/bin/env python3
"""HTTP proxy for the installer's proxy tests, on 127.0.0.1.

Forwards absolute-URI requests (``GET http://host:port/path``) and tunnels
``CONNECT host:port``, and writes one line per request to --log.  A host name
ending in ``.test`` never resolves anywhere else, so the proxy connects to
127.0.0.1 at the same port instead: a download from such a name that succeeds
proves it came through the proxy.

Requests in origin form (``GET /proxy.pac``) are answered with that file from
--root, as the PAC script of the tests; a file ending in ``.pac`` goes out as
application/x-ns-proxy-autoconfig.

With --require-basic USER:PASSWORD every forwarded request and tunnel without
those credentials in Proxy-Authorization gets a 407 that asks for Basic
authentication only.

Usage:
    proxy_server.py --root DIR --port N [--pidfile FILE] [--log FILE]
                    [--require-basic USER:PASSWORD]
"""

import argparse
import base64
import datetime
import os
import select
import socket
import socketserver
import sys
import threading
import urllib.parse

from update_server import serve_until_signalled

MAX_HEAD = 65536
RELAY_CHUNK = 65536
# No exchange holds a connection longer than this, whatever either side does.
IDLE_SECONDS = 300
TEST_SUFFIX = ".test"


class BadRequest(Exception):
    """The request head cannot be read as HTTP."""


def read_head(sock):
    """The bytes up to and including the blank line, and any bytes after it."""
    data = b""
    while b"\r\n\r\n" not in data:
        if len(data) > MAX_HEAD:
            raise BadRequest("head too long")
        chunk = sock.recv(RELAY_CHUNK)
        if not chunk:
            raise BadRequest("connection closed before the head ended")
        data += chunk
    end = data.index(b"\r\n\r\n") + 4
    return data[:end], data[end:]


def parse_head(head):
    """Method, target, version and the header lines as (name, value) pairs."""
    lines = head.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ")
    if len(parts) != 3:
        raise BadRequest(f"bad request line {lines[0]!r}")
    headers = []
    for line in lines[1:]:
        if not line:
            continue
        name, sep, value = line.partition(":")
        if not sep:
            raise BadRequest(f"bad header line {line!r}")
        headers.append((name.strip(), value.strip()))
    return parts[0], parts[1], parts[2], headers


def header(headers, name):
    for key, value in headers:
        if key.lower() == name.lower():
            return value
    return None


def upstream_address(host, port):
    """Where the proxy really connects: .test names are this machine."""
    if host.lower().endswith(TEST_SUFFIX):
        return "127.0.0.1", port
    return host, port


def relay(a, b):
    """Copy bytes both ways until one side closes or stays silent too long;
    the number of bytes that came from b."""
    from_b = 0
    sockets = [a, b]
    while True:
        ready, _, _ = select.select(sockets, [], [], IDLE_SECONDS)
        if not ready:
            return from_b
        for source in ready:
            other = b if source is a else a
            try:
                data = source.recv(RELAY_CHUNK)
            except OSError:
                return from_b
            if not data:
                return from_b
            try:
                other.sendall(data)
            except OSError:
                return from_b
            if source is b:
                from_b += len(data)


def simple_response(status, reason, extra=(), body=b""):
    lines = [f"HTTP/1.1 {status} {reason}", f"Content-Length: {len(body)}",
             "Connection: close", *extra]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


class ProxyHandler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.settimeout(IDLE_SECONDS)
        try:
            head, rest = read_head(sock)
            method, target, _version, headers = parse_head(head)
        except (BadRequest, OSError) as exc:
            self.server.log(f"unreadable request: {exc}")
            return
        if method == "CONNECT":
            self.tunnel(sock, target, headers, rest)
        elif target.startswith("http://"):
            self.forward(sock, method, target, headers, rest)
        elif method == "GET" and target.startswith("/"):
            self.serve_file(sock, target)
        else:
            self.server.log(f"{method} {target} refused: 400")
            sock.sendall(simple_response(400, "Bad Request"))

    def authorised(self, sock, method, target, headers):
        """True when no credentials are needed or the right ones came;
        otherwise answers 407 asking for Basic."""
        expected = self.server.basic_credentials
        if expected is None:
            return True
        given = header(headers, "Proxy-Authorization")
        if given == "Basic " + base64.b64encode(expected.encode()).decode():
            return True
        self.server.log(f"{method} {target} 407 (Basic asked for)")
        sock.sendall(simple_response(
            407, "Proxy Authentication Required",
            ['Proxy-Authenticate: Basic realm="quillmere-test"']))
        return False

    def forward(self, sock, method, target, headers, rest):
        if not self.authorised(sock, method, target, headers):
            return
        url = urllib.parse.urlsplit(target)
        host, port = upstream_address(url.hostname or "", url.port or 80)
        path = url.path or "/"
        if url.query:
            path += "?" + url.query
        # One request per connection: the upstream closes after its answer,
        # which ends the relay.
        kept = [(k, v) for k, v in headers
                if k.lower() not in ("proxy-authorization", "proxy-connection",
                                     "connection", "keep-alive")]
        lines = [f"{method} {path} HTTP/1.1", *(f"{k}: {v}" for k, v in kept),
                 "Connection: close"]
        try:
            upstream = socket.create_connection((host, port), timeout=10)
        except OSError as exc:
            self.server.log(f"{method} {target} via {host}:{port} 502 ({exc})")
            sock.sendall(simple_response(502, "Bad Gateway"))
            return
        with upstream:
            upstream.settimeout(IDLE_SECONDS)
            upstream.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + rest)
            first = b""
            try:
                first = upstream.recv(RELAY_CHUNK)
            except OSError:
                pass
            status = first.split(b"\r\n", 1)[0].decode("latin-1", "replace")
            self.server.log(f"{method} {target} via {host}:{port}: {status}")
            if first:
                sock.sendall(first)
                relay(sock, upstream)

    def tunnel(self, sock, target, headers, rest):
        if not self.authorised(sock, "CONNECT", target, headers):
            return
        name, _, port_text = target.rpartition(":")
        try:
            host, port = upstream_address(name.strip("[]"), int(port_text))
            upstream = socket.create_connection((host, port), timeout=10)
        except (ValueError, OSError) as exc:
            self.server.log(f"CONNECT {target} 502 ({exc})")
            sock.sendall(simple_response(502, "Bad Gateway"))
            return
        with upstream:
            upstream.settimeout(IDLE_SECONDS)
            # Logged as it opens, so a client that has its answer finds the line.
            self.server.log(f"CONNECT {target} via {host}:{port}: tunnel open")
            sock.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            if rest:
                upstream.sendall(rest)
            received = relay(sock, upstream)
            self.server.log(f"tunnel to {target} closed, {received} bytes from the server")

    def serve_file(self, sock, target):
        name = urllib.parse.unquote(urllib.parse.urlsplit(target).path).lstrip("/")
        path = os.path.realpath(os.path.join(self.server.root, name))
        if not path.startswith(self.server.root + os.sep) or not os.path.isfile(path):
            self.server.log(f"GET {target} 404")
            sock.sendall(simple_response(404, "Not Found"))
            return
        with open(path, "rb") as f:
            body = f.read()
        kind = ("application/x-ns-proxy-autoconfig" if name.endswith(".pac")
                else "application/octet-stream")
        self.server.log(f"GET {target} 200 (file)")
        sock.sendall(simple_response(200, "OK", [f"Content-Type: {kind}"], body))


class ProxyServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, root, log_file, basic_credentials):
        super().__init__(address, ProxyHandler)
        self.root = root
        self.basic_credentials = basic_credentials
        self._log_file = log_file
        self._log_lock = threading.Lock()

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
        # A client that goes away mid-exchange is routine here.
        self.log(f"{client_address[0]} connection dropped: {sys.exc_info()[1]!r}")


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="HTTP proxy on 127.0.0.1 for the proxy tests; .test names "
                    "go to 127.0.0.1.")
    p.add_argument("--root", required=True, help="folder of the files served "
                                                 "to origin-form requests")
    p.add_argument("--port", required=True, type=int,
                   help="TCP port; 0 picks a free one")
    p.add_argument("--pidfile", help="write the process id here while running")
    p.add_argument("--log", help="append one line per request here")
    p.add_argument("--require-basic", metavar="USER:PASSWORD",
                   help="answer 407 (Basic) without these credentials")
    args = p.parse_args(argv)
    if not 0 <= args.port <= 65535:
        p.error("--port must be 0..65535")
    if not os.path.isdir(args.root):
        p.error(f"--root {args.root!r} is not a directory")
    if args.require_basic is not None and ":" not in args.require_basic:
        p.error("--require-basic takes USER:PASSWORD")
    return args


def main(argv=None):
    args = parse_args(argv)
    log_file = open(args.log, "a", encoding="utf-8") if args.log else None
    try:
        server = ProxyServer(("127.0.0.1", args.port), os.path.realpath(args.root),
                             log_file, args.require_basic)
    except OSError as exc:
        print(f"proxy_server: cannot listen on 127.0.0.1:{args.port}: {exc}",
              file=sys.stderr)
        return 1
    auth = "Basic required" if args.require_basic else "no authentication"
    try:
        serve_until_signalled(server, f"({auth})", args.pidfile)
    finally:
        if log_file is not None:
            log_file.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
