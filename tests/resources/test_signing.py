#!/usr/bin/env python3
"""Check the Authenticode signing step of the release build on copies of a built setup.exe.

Makes throw-away certificates in the work directory (a code-signing one, an unrelated one and
one for a local RFC 3161 timestamp server), signs copies of setup.exe through cmake/sign.cmake,
the script the setup target's POST_BUILD step runs, and checks the results with
`osslsigncode verify`, using only those certificates as trust anchors. The machine's trust
store is never touched.

Usage:
    test_signing.py --cmake CMAKE --sign-script cmake/sign.cmake --osslsigncode PATH
                    --openssl PATH --setup setup.exe --work DIR [--info-url URL]

Prints one line per check and a final "N passed, M failed" line; exits 1 if anything failed.
"""

import argparse
import hashlib
import http.server
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import threading

IMAGE_DIRECTORY_ENTRY_SECURITY = 4
PE32PLUS_MAGIC = 0x20B

SIGNED_OK = "Signature verification: ok"

results = {"passed": 0, "failed": 0}


def check(condition, name, detail=""):
    if condition:
        results["passed"] += 1
        print(f"ok    {name}")
    else:
        results["failed"] += 1
        print(f"FAIL  {name}")
        if detail:
            print("      " + detail.strip().replace("\n", "\n      "))
    return condition


def run(args):
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL, timeout=120)
    return done.returncode, done.stdout.decode("utf-8", "replace")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class PeLayout:
    """The few PE facts the checks need: the sections and the certificate table."""

    def __init__(self, data):
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        count, = struct.unpack_from("<H", data, pe + 6)
        optional_size, = struct.unpack_from("<H", data, pe + 20)
        optional = pe + 24
        magic, = struct.unpack_from("<H", data, optional)
        directories = optional + (112 if magic == PE32PLUS_MAGIC else 96)
        self.security_offset, self.security_size = struct.unpack_from(
            "<II", data, directories + 8 * IMAGE_DIRECTORY_ENTRY_SECURITY)
        self.sections = {}
        table = optional + optional_size
        for i in range(count):
            entry = table + 40 * i
            name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
            raw_size, raw_pointer = struct.unpack_from("<II", data, entry + 16)
            self.sections[name] = (raw_pointer, raw_size)

    @staticmethod
    def of(path):
        with open(path, "rb") as f:
            return PeLayout(f.read())


class TimestampServer:
    """A local RFC 3161 timestamp authority: each query is answered by `openssl ts -reply`."""

    def __init__(self, openssl, config, scratch):
        self.requests = 0
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                outer.requests += 1
                if self.path != "/tsa":
                    self.answer(500, "text/plain", b"timestamp server unavailable")
                    return
                query_file = os.path.join(scratch, f"query{outer.requests}.tsq")
                reply_file = os.path.join(scratch, f"reply{outer.requests}.tsr")
                with open(query_file, "wb") as f:
                    f.write(query)
                code, output = run([openssl, "ts", "-reply", "-config", config,
                                    "-queryfile", query_file, "-out", reply_file])
                if code != 0:
                    sys.stderr.write(output)
                    self.answer(500, "text/plain", b"openssl ts -reply failed")
                    return
                with open(reply_file, "rb") as f:
                    self.answer(200, "application/timestamp-reply", f.read())

            def answer(self, status, content_type, body):
                # The client may hang up as soon as it has read the status line of an error.
                try:
                    self.send_response(status)
                    self.send_header("Content-Type", content_type)
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                except (BrokenPipeError, ConnectionResetError):
                    pass

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def make_certificate(openssl, work, name, subject, usage):
    cert = os.path.join(work, name + "-cert.pem")
    key = os.path.join(work, name + "-key.pem")
    code, output = run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", subject, "-addext", "extendedKeyUsage=" + usage,
                        "-keyout", key, "-out", cert])
    if code != 0:
        raise RuntimeError(f"openssl req failed for {subject}:\n{output}")
    return cert, key


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--sign-script", required=True)
    parser.add_argument("--osslsigncode", required=True)
    parser.add_argument("--openssl", required=True)
    parser.add_argument("--setup", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--info-url", default="")
    args = parser.parse_args()

    for tool in (args.osslsigncode, args.openssl):
        if not (os.path.isfile(tool) and os.access(tool, os.X_OK)):
            print(f"FAIL  tool not found: {tool} (scripts/install-deps.sh installs osslsigncode and openssl)")
            return 1

    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    cert, key = make_certificate(args.openssl, work, "signing", "/CN=Quillmere Test Signing",
                                 "codeSigning")
    other_cert, other_key = make_certificate(args.openssl, work, "other", "/CN=Someone Else",
                                             "codeSigning")
    tsa_cert, tsa_key = make_certificate(args.openssl, work, "tsa", "/CN=Quillmere Test Timestamps",
                                         "critical,timeStamping")

    def copy_of_setup(name):
        path = os.path.join(work, name)
        shutil.copyfile(args.setup, path)
        return path

    def sign(source, target, key_file=key, timestamp_url=""):
        return run([args.cmake, "-DOSSLSIGNCODE=" + args.osslsigncode, "-DCERT=" + cert,
                    "-DKEY=" + key_file, "-DTIMESTAMP_URL=" + timestamp_url,
                    "-DINFO_URL=" + args.info_url, "-DINPUT=" + source, "-DOUTPUT=" + target,
                    "-P", args.sign_script])

    def verify(path, ca=cert, *extra):
        return run([args.osslsigncode, "verify", "-CAfile", ca, *extra, "-in", path])

    def leftovers():
        return sorted(name for name in os.listdir(work) if name.endswith(".signing"))

    built_hash = sha256(args.setup)

    # The build without a certificate: no certificate table, and osslsigncode finds no signature.
    unsigned = copy_of_setup("unsigned.exe")
    check(PeLayout.of(unsigned).security_size == 0, "unsigned build has no certificate table")
    code, output = verify(unsigned)
    check(code != 0 and "No signature found" in output and SIGNED_OK not in output,
          "unsigned build is not reported as signed", f"exit {code}\n{output}")

    # Signing a copy into a new file.
    signed = os.path.join(work, "signed.exe")
    code, output = sign(unsigned, signed)
    if not check(code == 0 and os.path.isfile(signed), "sign.cmake signs a copy", output):
        return finish()
    check(sha256(unsigned) == built_hash, "the input of the signing is left unchanged")
    check(os.stat(signed).st_mode & stat.S_IXUSR, "the signed file is executable")
    layout = PeLayout.of(signed)
    size = os.path.getsize(signed)
    check(layout.security_size > 0 and layout.security_offset + layout.security_size <= size,
          "the signed file has a certificate table inside the file",
          f"offset {layout.security_offset}, size {layout.security_size}, file {size}")
    code, output = verify(signed)
    check(code == 0 and SIGNED_OK in output and "MISMATCH" not in output,
          "osslsigncode verify accepts the signed copy with the test certificate as CA",
          f"exit {code}\n{output}")
    check(re.search(r"Message digest algorithm\s*:\s*SHA256", output) is not None,
          "the signature uses SHA-256", output)
    check(re.search(r"Subject\s*:\s*/CN=Quillmere Test Signing", output) is not None
          and "Text description: Quillmere Setup" in output,
          "the signature names the signer and the program", output)
    check("Timestamp is not available" in output or "not timestamped" in output.lower(),
          "without a timestamp URL the signature carries no timestamp", output)

    # Trust comes from the given CA file only: an unrelated certificate as CA must not do.
    code, output = verify(signed, other_cert)
    check(code != 0 and SIGNED_OK not in output,
          "verification against an unrelated CA fails", f"exit {code}\n{output}")

    # One byte flipped in the middle of .text, well before the certificate table.
    tampered = os.path.join(work, "tampered.exe")
    data = bytearray(open(signed, "rb").read())
    text_pointer, text_size = layout.sections[".text"]
    offset = text_pointer + text_size // 2
    if check(0 < text_size and offset < layout.security_offset,
             "the flipped byte lies in .text, outside the signature"):
        data[offset] ^= 0xFF
        with open(tampered, "wb") as f:
            f.write(data)
        code, output = verify(tampered)
        check(code != 0 and "MISMATCH" in output and SIGNED_OK not in output,
              "a copy with one byte of .text flipped fails verification", f"exit {code}\n{output}")

    # In place, as the POST_BUILD step does it.
    in_place = copy_of_setup("in-place.exe")
    code, output = sign(in_place, in_place)
    check(code == 0, "sign.cmake signs in place", output)
    code, output = verify(in_place)
    check(code == 0 and SIGNED_OK in output, "the file signed in place verifies",
          f"exit {code}\n{output}")

    # A failing signature (a key that does not belong to the certificate) fails the step and
    # leaves the file as it was.
    failing = copy_of_setup("failing.exe")
    code, output = sign(failing, failing, key_file=other_key)
    check(code != 0, "signing with a key that does not match the certificate fails", output)
    check(sha256(failing) == built_hash, "a failed in-place signing leaves the file unchanged")
    missing = os.path.join(work, "never-written.exe")
    code, output = sign(unsigned, missing, key_file=other_key)
    check(code != 0 and not os.path.exists(missing),
          "a failed signing into a new file writes no file", output)

    # With a timestamp server: a local RFC 3161 authority built on `openssl ts -reply`.
    tsa_dir = os.path.join(work, "tsa")
    os.makedirs(tsa_dir)
    with open(os.path.join(tsa_dir, "serial"), "w") as f:
        f.write("01\n")
    tsa_config = os.path.join(tsa_dir, "tsa.cnf")
    with open(tsa_config, "w") as f:
        f.write("[ tsa ]\ndefault_tsa = tsa_config\n[ tsa_config ]\n"
                f"serial = {os.path.join(tsa_dir, 'serial')}\n"
                f"signer_cert = {tsa_cert}\nsigner_key = {tsa_key}\n"
                "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n"
                "accuracy = secs:1\ness_cert_id_alg = sha256\n")
    with TimestampServer(args.openssl, tsa_config, tsa_dir) as tsa:
        stamped = os.path.join(work, "stamped.exe")
        code, output = sign(unsigned, stamped, timestamp_url=tsa.url + "/tsa")
        check(code == 0 and tsa.requests == 1,
              "sign.cmake asks the timestamp server once", f"{tsa.requests} requests\n{output}")
        code, output = verify(stamped, cert, "-TSA-CAfile", tsa_cert)
        check(code == 0 and SIGNED_OK in output
              and "Timestamp Server Signature verification: ok" in output
              and re.search(r"Issuer\s*:\s*/CN=Quillmere Test Timestamps", output) is not None,
              "the signature carries a verified timestamp from that server",
              f"exit {code}\n{output}")

        requests_before = tsa.requests
        unstamped = os.path.join(work, "unstamped.exe")
        code, output = sign(unsigned, unstamped, timestamp_url=tsa.url + "/down")
        check(code != 0 and tsa.requests > requests_before and not os.path.exists(unstamped),
              "a failing timestamp server fails the signing and writes no file", output)

    check(leftovers() == [], "no temporary signing file is left behind", " ".join(leftovers()))
    check(sha256(args.setup) == built_hash, "the built setup.exe itself is not modified")
    return finish()


def finish():
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
