#!/usr/bin/env python3
"""Throw-away certificates for the https tests of the update server and the installer.

Writes into OUTDIR, with new keys on every run:

    ca.pem, ca.der            a test root CA; the DER copy is what a Windows store takes
    localhost.pem, .key       a server certificate for localhost issued by that CA, also made out
                              to updates.quillmere.test, the name the proxy tests reach through
                              the test proxy
    stranger.pem, .key        a server certificate for localhost issued by another CA, whose
                              own certificate is not kept, so nothing can come to trust it

Nothing here is ever added to this machine's trust store.

Usage:
    make_test_certs.py OUTDIR [--openssl PATH]
"""

import argparse
import os
import secrets
import ssl
import subprocess
import sys
import tempfile

DAYS = "2"
SERVER_EXTENSIONS = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, DNS:updates.quillmere.test
"""


def run(openssl, *args):
    done = subprocess.run([openssl, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL, timeout=60)
    if done.returncode != 0:
        raise RuntimeError(f"openssl {args[0]} failed:\n{done.stdout.decode('utf-8', 'replace')}")


def make_ca(openssl, cert, key, name):
    run(openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", DAYS,
        "-subj", f"/CN={name}", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
        "-keyout", key, "-out", cert)


def make_server(openssl, scratch, ca_cert, ca_key, cert, key):
    request = os.path.join(scratch, "server.csr")
    extensions = os.path.join(scratch, "server.ext")
    with open(extensions, "w", encoding="ascii") as f:
        f.write(SERVER_EXTENSIONS)
    run(openssl, "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
        "-keyout", key, "-out", request)
    # A random serial: two runs never issue two different certificates under one number.
    run(openssl, "x509", "-req", "-in", request, "-CA", ca_cert, "-CAkey", ca_key,
        "-set_serial", str(secrets.randbits(63)), "-days", DAYS, "-sha256",
        "-extfile", extensions, "-out", cert)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Make throw-away certificates for https tests.")
    parser.add_argument("outdir")
    parser.add_argument("--openssl", default="openssl")
    args = parser.parse_args(argv)
    out = args.outdir
    os.makedirs(out, exist_ok=True)
    ca_cert, ca_key = os.path.join(out, "ca.pem"), os.path.join(out, "ca.key")
    make_ca(args.openssl, ca_cert, ca_key, "Quillmere Test CA")
    with open(ca_cert, encoding="ascii") as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    with open(os.path.join(out, "ca.der"), "wb") as f:
        f.write(der)
    with tempfile.TemporaryDirectory() as scratch:
        make_server(args.openssl, scratch, ca_cert, ca_key,
                    os.path.join(out, "localhost.pem"), os.path.join(out, "localhost.key"))
        stranger_cert, stranger_key = os.path.join(scratch, "ca.pem"), os.path.join(scratch, "ca.key")
        make_ca(args.openssl, stranger_cert, stranger_key, "Quillmere Stranger CA")
        make_server(args.openssl, scratch, stranger_cert, stranger_key,
                    os.path.join(out, "stranger.pem"), os.path.join(out, "stranger.key"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
