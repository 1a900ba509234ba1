#!/usr/bin/env python3
"""The credential cipher against an independent implementation: Python's hashlib and cryptography.

The Windows tool encrypts under Wine and Python decrypts with a key it derives itself from the
computer name the tool reports; Python encrypts and the tool decrypts.
"""

import argparse
import hashlib
import os
import socket
import subprocess
import sys
import unittest

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

ARGS = None
CONSTANT = b"lanternfly-cipherbox-v1"


def derive_key(name):
    return hashlib.pbkdf2_hmac("sha256", name + CONSTANT, CONSTANT, 100000, 32)


def run_tool(mode, argument):
    result = subprocess.run([ARGS.wine_run, ARGS.tool, mode, argument], check=True, timeout=120,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    report = {}
    for line in result.stdout.splitlines():
        key, _, value = line.strip().partition(" ")
        report[key] = value
    return report


def python_encrypt(name, plaintext):
    nonce = os.urandom(12)
    sealed = AESGCM(derive_key(name)).encrypt(nonce, plaintext, None)
    return "enc:" + nonce.hex() + ":" + sealed[-16:].hex() + ":" + sealed[:-16].hex()


class CrossDecryptTest(unittest.TestCase):
    def encrypt_under_wine(self, plaintext):
        report = run_tool("encrypt", plaintext)
        return bytes.fromhex(report["name"]), report["text"]

    def test_python_decrypts_what_the_tool_wrote(self):
        for plaintext in ["sk-0123456789abcdef", "密钥-测试", ""]:
            with self.subTest(plaintext=plaintext):
                name, text = self.encrypt_under_wine(plaintext)
                prefix, nonce, tag, ciphertext = text.split(":")
                self.assertEqual(prefix, "enc")
                self.assertEqual((len(nonce), len(tag)), (24, 32))
                self.assertEqual(len(ciphertext), 2 * len(plaintext.encode()))
                opened = AESGCM(derive_key(name)).decrypt(
                    bytes.fromhex(nonce), bytes.fromhex(ciphertext) + bytes.fromhex(tag), None)
                self.assertEqual(opened, plaintext.encode())

    def test_key_is_bound_to_the_hosts_name(self):
        name, text = self.encrypt_under_wine("sk-bound")
        # Wine reports the host name up to its first dot, upper case, at most 15 characters.
        self.assertEqual(name, socket.gethostname().split(".")[0].upper()[:15].encode())
        _, nonce, tag, ciphertext = text.split(":")
        with self.assertRaises(InvalidTag):
            AESGCM(derive_key(name.lower())).decrypt(
                bytes.fromhex(nonce), bytes.fromhex(ciphertext) + bytes.fromhex(tag), None)

    def test_tool_decrypts_what_python_wrote(self):
        name, _ = self.encrypt_under_wine("x")
        for plaintext in ["sk-from-python", "多模态密钥", ""]:
            with self.subTest(plaintext=plaintext):
                text = python_encrypt(name, plaintext.encode())
                report = run_tool("decrypt", text)
                self.assertEqual(report["opened"], "1")
                self.assertEqual(bytes.fromhex(report["plain"]), plaintext.encode())

    def test_tool_refuses_a_value_for_another_name(self):
        name, _ = self.encrypt_under_wine("x")
        text = python_encrypt(name + b"X", b"sk-elsewhere")
        report = run_tool("decrypt", text)
        self.assertEqual(report["opened"], "0")
        self.assertEqual(report["plain"], "", "nothing of a refused value is given out")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True, help="script that runs a Windows program under Wine")
    parser.add_argument("--tool", required=True, help="the encrypt_tool program")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
