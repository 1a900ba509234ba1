#!/usr/bin/env python3
"""Write a small, deterministic sample release for the update server.

Usage:
    make_sample_release.py OUTDIR [--base-url URL]

Produces placeholder payloads plus manifest.json.  Zip entries carry fixed
timestamps and attributes so reruns give byte-identical output.
"""

import argparse
import hashlib
import io
import json
import os
import sys
import zipfile

FIXED_TIME = (2024, 1, 1, 12, 0, 0)


def placeholder_bytes(label, size):
    """Incompressible but reproducible filler, prefixed with a note so nobody
    mistakes the file for a real installer."""
    head = (f"placeholder for {label}; not a real installer\r\n").encode("ascii")
    out = bytearray(head)
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{label}:{counter}".encode("ascii")).digest()
        counter += 1
    return bytes(out[:size])


def make_zip(entries):
    """entries: list of (name, bytes or None for a directory, compress?)."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as zf:
        for name, data, deflate in entries:
            info = zipfile.ZipInfo(name, date_time=FIXED_TIME)
            info.create_system = 3
            if data is None:
                info.external_attr = (0o40755 << 16) | 0x10
                info.compress_type = zipfile.ZIP_STORED
                zf.writestr(info, b"")
                continue
            info.external_attr = 0o100644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED if deflate else zipfile.ZIP_STORED
            zf.writestr(info, data, compresslevel=9 if deflate else None)
    return buf.getvalue()


def text(s):
    return s.replace("\n", "\r\n").encode("utf-8")


def build_files():
    """Return {relative path: bytes} for every payload of the release."""
    files = {}
    files["node-v22.msi"] = placeholder_bytes("node-v22.msi", 40 * 1024)

    files["playwright.zip"] = make_zip([
        ("playwright/", None, False),
        ("playwright/README.txt",
         text("Playwright browser bundle (sample).\n" * 40), True),
        ("playwright/VERSION", text("1.48.0\n"), False),
    ])

    files["quillmere.zip"] = make_zip([
        ("quillmere/", None, False),
        ("quillmere/README.txt",
         text("Quillmere 主程序 — sample build.\n"
              "This archive stands in for the real application.\n" * 20), True),
        ("quillmere/config/", None, False),
        ("quillmere/config/default.json",
         text('{\n  "language": "zh-CN",\n  "telemetry": false\n}\n'), False),
    ])

    files["tools/readme.txt"] = text(
        "Sample tools folder.\n"
        "Installed as a plain file; nothing here is executed.\n")

    files["skills/web-search.zip"] = make_zip([
        ("web-search/skill.json",
         text('{\n  "id": "web-search",\n  "entry": "main.md"\n}\n'), False),
        ("web-search/main.md",
         text("# Web search\n\nLooks things up on the web.\n" * 10), True),
    ])

    files["skills/doc-writer.zip"] = make_zip([
        ("doc-writer/skill.json",
         text('{\n  "id": "doc-writer",\n  "entry": "main.md"\n}\n'), False),
        ("doc-writer/main.md",
         text("# 文档助手\n\n帮助整理和撰写文档。\n" * 10), True),
    ])
    return files


def build_manifest(files, base_url):
    def size(name):
        return len(files[name])

    manifest = {}
    if base_url:
        manifest["baseUrl"] = base_url
    manifest["packages"] = [
        {"id": "node", "file": "node-v22.msi",
         "desc": "Node.js 22 runtime", "size": size("node-v22.msi"),
         "extract": False},
        {"id": "playwright", "file": "playwright.zip",
         "desc": "Playwright browsers", "size": size("playwright.zip"),
         "extract": False},
        {"id": "quillmere", "file": "quillmere.zip",
         "desc": "Quillmere 主程序", "size": size("quillmere.zip"),
         "extract": True},
        {"id": "tools-readme", "file": "tools/readme.txt",
         "desc": "Tools readme", "size": size("tools/readme.txt"),
         "extract": False},
    ]
    manifest["skills"] = [
        {"id": "web-search", "file": "skills/web-search.zip",
         "name": "Web Search", "desc": "Search the web from Quillmere",
         "size": size("skills/web-search.zip"), "required": True},
        {"id": "doc-writer", "file": "skills/doc-writer.zip",
         "name": "文档助手", "desc": "整理和撰写文档",
         "size": size("skills/doc-writer.zip"), "required": False},
    ]
    return manifest


def write_release(outdir, base_url=None):
    files = build_files()
    for rel, data in files.items():
        dest = os.path.join(outdir, *rel.split("/"))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        with open(dest, "wb") as f:
            f.write(data)
    manifest = build_manifest(files, base_url)
    body = json.dumps(manifest, ensure_ascii=False, indent=2) + "\n"
    with open(os.path.join(outdir, "manifest.json"), "wb") as f:
        f.write(body.encode("utf-8"))
    return manifest


def main(argv=None):
    p = argparse.ArgumentParser(description="Write a small sample release.")
    p.add_argument("outdir", help="folder to write the release into")
    p.add_argument("--base-url", help="value for the manifest's baseUrl")
    args = p.parse_args(argv)
    os.makedirs(args.outdir, exist_ok=True)
    manifest = write_release(args.outdir, args.base_url)
    count = len(manifest["packages"]) + len(manifest["skills"])
    print(f"wrote {count} files and manifest.json to {args.outdir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
