#!/usr/bin/env python3
"""Write the sample release the demo and the end-to-end test serve.

Usage:
    make_sample_release.py OUTDIR --node-msi MSI --launcher EXE [--base-url URL] [--release-tool PROGRAM]

The release looks like a real one from the installer's side: Node.js as a Windows Installer
package (the MSI built from tools/stubs/node-stub.wxs), a Playwright browser tree, the product
archive with its launcher, configuration templates, canvas files and package.json, one file
copied as it is, and three skills, one of which the server does not have. The archives are
written by different tools (Info-ZIP zip, bsdtar, Python's zipfile) so that the extractor meets
what each of them produces. The generator writes release.txt and leaves manifest.json to the
vendor's release tool, quillmere-release, which takes sizes and hashes from the files written.
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

FIXED_MTIME = 1735732800  # 2025-01-01 12:00 UTC: reruns give the same archives
FIXED_DATE = (2025, 1, 1, 12, 0, 0)

NODE_FILE = "node-v22.14.0-x64.msi"
PLAYWRIGHT_FILE = "playwright-chromium-win64.zip"
PRODUCT_FILE = "quillmere-gateway-1.0.0.zip"
COPIED_FILE = "docs/QUICKSTART.txt"
MISSING_SKILL_FILE = "skills/image-studio.zip"
DEFAULT_RELEASE_TOOL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                    "build", "native", "tools", "release", "quillmere-release")

AGENT_TEMPLATE = """{
  "meta": {
    "lastTouchedVersion": "1.0.0"
  },
  "models": {
    "mode": "merge",
    "providers": {
      "bailian": {
        "baseUrl": "https://api.example.invalid/v1",
        "api": "openai-completions",
        "models": [
          { "id": "qwen3.5-plus", "name": "Qwen 3.5 Plus", "contextWindow": 131072 },
          { "id": "qwen3-coder-plus", "name": "Qwen3 Coder Plus", "contextWindow": 262144 }
        ]
      }
    }
  },
  "agents": {
    "defaults": {
      "workspace": "~/.harrowby/workspace",
      "maxConcurrent": 4
    }
  },
  "plugins": {
    "allow": ["memory-core", "browser"],
    "entries": {
      "memory-core": {
        "enabled": true,
        "config": { "path": "~/.harrowby/memory" }
      },
      "feishu": {
        "enabled": false
      }
    },
    "load": {
      "paths": []
    }
  },
  "skills": {
    "load": {
      "extraDirs": ["~/.harrowby/skills"],
      "watch": true
    },
    "install": {
      "nodeManager": "npm"
    }
  },
  "tools": {
    "profile": "coding",
    "web": {
      "search": { "enabled": true }
    }
  },
  "gateway": {
    "port": 18789,
    "bind": "loopback",
    "controlUi": {
      "enabled": true,
      "basePath": "/"
    }
  }
}
"""

AUTH_PROFILES_TEMPLATE = """{
  "version": 1,
  "profiles": {
    "bailian:default": {
      "type": "api_key",
      "provider": "bailian",
      "key": "__API_KEY_PLACEHOLDER__"
    }
  },
  "lastGood": {
    "bailian": "bailian:default"
  }
}
"""

PRODUCT_PACKAGE_JSON = """{
  "name": "quillmere-gateway",
  "version": "1.0.0",
  "private": true,
  "main": "dist/index.js",
  "dependencies": {
    "ws": "^8.18.0"
  }
}
"""

CANVAS_PAGE = """<!DOCTYPE html>
<html lang="zh-CN">
<head><meta charset="utf-8"><title>Quillmere 画布</title></head>
<body>
<div id="canvas"></div>
<script src="a2ui.bundle.js"></script>
<script src="mammoth.browser.min.js"></script>
<script src="xlsx.full.min.js"></script>
</body>
</html>
"""


def filler(label, size):
    """Reproducible, incompressible bytes standing in for a binary."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{label}:{counter}".encode("ascii")).digest()
        counter += 1
    return bytes(out[:size])


def script_text(label, lines):
    """Compressible text standing in for a script library."""
    body = "".join(f"/* {label} */ function part{i}(x) {{ return x + {i}; }}\n" for i in range(lines))
    return body.encode("utf-8")


def stage(folder, files):
    """Write {relative path: bytes} below folder, with fixed modification times."""
    for rel, data in files.items():
        path = os.path.join(folder, *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    for top, dirs, names in os.walk(folder):
        for name in dirs + names:
            os.utime(os.path.join(top, name), (FIXED_MTIME, FIXED_MTIME))
    os.utime(folder, (FIXED_MTIME, FIXED_MTIME))  # bsdtar stores the top folder as "./"


def zip_with_infozip(folder, archive):
    # -X leaves out the extra fields that hold access times, so reruns match.
    subprocess.run(["zip", "-qrX", archive, "."], cwd=folder, check=True, env=dict(os.environ, LC_ALL="C.UTF-8"))


def zip_with_bsdtar(folder, archive):
    # Read from disk, bsdtar would keep the change times, which no one can set, so reruns would differ;
    # passed through a ustar stream first, the entries carry their fixed modification time only.
    env = dict(os.environ, LC_ALL="C.UTF-8")
    tar = subprocess.run(["bsdtar", "--format", "ustar", "-cf", "-", "-C", folder, "."], check=True, env=env,
                         stdout=subprocess.PIPE).stdout
    subprocess.run(["bsdtar", "--format", "zip", "-cf", archive, "@-"], input=tar, check=True, env=env)


def zip_with_python(files, archive):
    with zipfile.ZipFile(archive, "w") as z:
        for rel, data in files.items():
            info = zipfile.ZipInfo(rel, date_time=FIXED_DATE)
            info.external_attr = 0o100644 << 16
            # Small files stored, the rest deflated: both kinds in one archive.
            info.compress_type = zipfile.ZIP_STORED if len(data) < 200 else zipfile.ZIP_DEFLATED
            z.writestr(info, data)


def product_files(launcher):
    with open(launcher, "rb") as f:
        launcher_bytes = f.read()
    canvas = "dist/canvas-host/a2ui/"
    return {
        "launcher.exe": launcher_bytes,
        "package.json": PRODUCT_PACKAGE_JSON.encode("utf-8"),
        "dist/index.js": script_text("gateway", 200),
        "config-files/harrowby.json": AGENT_TEMPLATE.encode("utf-8"),
        "config-files/auth-profiles.json": AUTH_PROFILES_TEMPLATE.encode("utf-8"),
        canvas + "quillmere.html": CANVAS_PAGE.encode("utf-8"),
        canvas + "a2ui.bundle.js": script_text("a2ui", 400),
        canvas + "mammoth.browser.min.js": script_text("mammoth", 300),
        canvas + "xlsx.full.min.js": script_text("xlsx", 500),
        "resources/说明.txt": "Quillmere 网关示例程序。\r\n".encode("utf-8"),
    }


def playwright_files():
    return {
        "chromium-1155/INSTALLATION_COMPLETE": b"",
        "chromium-1155/chrome-win/chrome.exe": filler("chrome.exe", 180 * 1024),
        "chromium-1155/chrome-win/locales/zh-CN.pak": filler("zh-CN.pak", 24 * 1024),
        "chromium-1155/chrome-win/resources.pak": bytes(64 * 1024),
        "ffmpeg-1011/ffmpeg-win64.dll": filler("ffmpeg", 40 * 1024),
    }


def skill_files():
    web_search = {
        "SKILL.md": "# 网页搜索\n\n在网上查找资料并给出出处。\n".encode("utf-8"),
        "scripts/search.js": script_text("search", 60),
    }
    office_docs = {
        "SKILL.md": "# 办公文档\n\n读写 Word 和 Excel 文件。\n".encode("utf-8"),
        "package.json": b'{\n  "name": "office-docs",\n  "version": "0.3.0",\n  "dependencies": {\n    "xlsx": "^0.18.5"\n  }\n}\n',
        "模板/周报.md": "# 周报\n\n## 本周完成\n\n## 下周计划\n".encode("utf-8"),
    }
    return {"skills/web-search.zip": web_search, "skills/office-docs.zip": office_docs}


# What Windows shows beside the installed program in Settings → Apps.
SAMPLE_VERSION = "1.0.0"


def release_description():
    """release.txt for quillmere-release, which measures the files and writes manifest.json."""
    # The server lacks this skill on purpose: listed with the size and hash the vendor would have published.
    missing_hash = hashlib.sha256(b"image-studio").hexdigest()
    return "\n".join([
        "# The sample release; quillmere-release make turns it into manifest.json.",
        f"version {SAMPLE_VERSION}",
        f"package node {NODE_FILE} | Node.js 22 运行环境",
        f"package playwright {PLAYWRIGHT_FILE} | Playwright 浏览器引擎",
        f"package quillmere {PRODUCT_FILE} extract | Quillmere 主程序",
        f"package quickstart {COPIED_FILE} | 快速上手说明",
        "skill web-search skills/web-search.zip required | 网页搜索 | 联网搜索并注明出处",
        "skill office-docs skills/office-docs.zip | 办公文档 | 读写 Word 和 Excel 文件",
        f"skill image-studio {MISSING_SKILL_FILE} absent size=48213 sha256={missing_hash} | 图像工作室 | 生成和编辑图片",
    ]) + "\n"


def build_release(outdir, node_msi, launcher, base_url, release_tool):
    os.makedirs(os.path.join(outdir, "skills"), exist_ok=True)
    os.makedirs(os.path.join(outdir, "docs"), exist_ok=True)
    shutil.copyfile(node_msi, os.path.join(outdir, NODE_FILE))
    with tempfile.TemporaryDirectory() as scratch:
        product = os.path.join(scratch, "product")
        stage(product, product_files(launcher))
        zip_with_infozip(product, os.path.join(os.path.abspath(outdir), PRODUCT_FILE))
        browsers = os.path.join(scratch, "browsers")
        stage(browsers, playwright_files())
        zip_with_bsdtar(browsers, os.path.join(os.path.abspath(outdir), PLAYWRIGHT_FILE))
    for name, files in skill_files().items():
        zip_with_python(files, os.path.join(outdir, *name.split("/")))
    with open(os.path.join(outdir, *COPIED_FILE.split("/")), "wb") as f:
        f.write("Quillmere 快速上手\r\n\r\n1. 双击桌面上的 Quillmere Gateway。\r\n2. 点击「启动 Gateway」。\r\n".encode("utf-8"))

    description = os.path.join(outdir, "release.txt")
    with open(description, "wb") as f:
        f.write(release_description().encode("utf-8"))
    command = [release_tool, "make", outdir] + (["--base-url", base_url] if base_url else [])
    made = subprocess.run(command, capture_output=True, encoding="utf-8", errors="replace")
    if made.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{made.stderr}")
    with open(os.path.join(outdir, "manifest.json"), "rb") as f:
        return json.loads(f.read().decode("utf-8"))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write the sample release.")
    parser.add_argument("outdir", help="folder to write the release into (replaced)")
    parser.add_argument("--node-msi", required=True, help="the Windows Installer package that stands in for Node.js")
    parser.add_argument("--launcher", required=True, help="the program that stands in for the product's launcher.exe")
    parser.add_argument("--base-url", help="value for the manifest's baseUrl")
    parser.add_argument("--release-tool", default=DEFAULT_RELEASE_TOOL,
                        help="the native quillmere-release program (default: the native preset's build)")
    args = parser.parse_args(argv)
    if not os.path.isfile(args.release_tool):
        parser.error(f"no quillmere-release at {args.release_tool}; build it with `cmake --preset native && "
                     "cmake --build --preset native --target quillmere-release` or pass --release-tool")
    shutil.rmtree(args.outdir, ignore_errors=True)
    manifest = build_release(args.outdir, args.node_msi, args.launcher, args.base_url, args.release_tool)
    print(f"wrote {len(manifest['packages'])} packages and {len(manifest['skills'])} skills to {args.outdir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
