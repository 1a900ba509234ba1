#!/usr/bin/env python3
"""quillmere-release driven from the outside: make and check on a small release, check on releases
broken one way each, make refusing descriptions it cannot publish, and check on a generated sample
release.

Usage:
    test_quillmere_release.py --tool PROGRAM [unittest arguments]
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE_GENERATOR = os.path.join(os.path.dirname(HERE), "make_sample_release.py")
TOOL = None

BASE_URL = "https://updates.vendor.example/new/quillmere/update/"
DRAW_HASH = hashlib.sha256(b"draw").hexdigest()
NOTES_TEXT = b"# Notes\n\nKeeps notes for the agent.\n"
REFUSED_NAME = "(absolute, with a drive or climbing out with ..)"
REFUSED_FILE = "the installer refuses this file name (empty, absolute, with a drive or climbing out with ..)"

DESCRIPTION = f"""# A small release: one file of each kind the installer handles.
package app app.zip extract | 应用程序
package tool tool.bin | Tool binary
package playwright browsers.zip | 浏览器
skill notes skills/notes.zip required | 笔记 | Keeps notes
skill draw skills/draw.zip absent size=4096 sha256={DRAW_HASH} | 绘图 | Draws pictures
"""


def run_tool(*args):
    return subprocess.run([TOOL, *args], capture_output=True, encoding="utf-8", errors="replace", timeout=120)


def write_zip(path, members, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w") as z:
        for name, data in members.items():
            z.writestr(zipfile.ZipInfo(name, date_time=(2025, 1, 1, 12, 0, 0)), data, compress_type=method)


def write_small_release(folder):
    os.makedirs(os.path.join(folder, "skills"))
    write_zip(os.path.join(folder, "app.zip"), {"launcher.exe": b"MZ" + bytes(3000), "config/app.json": b"{}\n"})
    with open(os.path.join(folder, "tool.bin"), "wb") as f:
        f.write(bytes(range(256)) * 4)
    write_zip(os.path.join(folder, "browsers.zip"), {"chromium/chrome.exe": b"MZ" + bytes(2000)})
    # Stored, so that its bytes can be found and damaged in place.
    write_zip(os.path.join(folder, "skills", "notes.zip"), {"SKILL.md": NOTES_TEXT}, zipfile.ZIP_STORED)
    with open(os.path.join(folder, "release.txt"), "w", encoding="utf-8") as f:
        f.write(DESCRIPTION)


def file_facts(path):
    with open(path, "rb") as f:
        data = f.read()
    return len(data), hashlib.sha256(data).hexdigest()


def read_manifest(folder):
    with open(os.path.join(folder, "manifest.json"), "rb") as f:
        return json.loads(f.read().decode("utf-8"))


def write_manifest_text(folder, text):
    with open(os.path.join(folder, "manifest.json"), "w", encoding="utf-8") as f:
        f.write(text)


def write_manifest(folder, manifest):
    write_manifest_text(folder, json.dumps(manifest, ensure_ascii=False, indent=2) + "\n")


def write_escaped_manifest(folder):
    """As an encoder that escapes everything beyond ASCII and every slash writes it."""
    manifest = read_manifest(folder)
    write_manifest_text(folder, json.dumps(manifest, indent=2).replace("/", "\\/") + "\n")


def entry_of(manifest, entry_id):
    return next(e for e in manifest["packages"] + manifest["skills"] if e["id"] == entry_id)


def edit_entry(entry_id, change):
    """A mutation that changes one manifest entry in place."""
    def mutate(folder):
        manifest = read_manifest(folder)
        change(entry_of(manifest, entry_id))
        write_manifest(folder, manifest)
    return mutate


def edit_manifest_text(old, new):
    """A mutation on the manifest's text, for what a JSON writer would never produce."""
    def mutate(folder):
        with open(os.path.join(folder, "manifest.json"), encoding="utf-8") as f:
            text = f.read()
        assert old in text, old
        write_manifest_text(folder, text.replace(old, new, 1))
    return mutate


def republish(folder, entry_id):
    """Publishes the file as it now is, so that only what is wrong inside it remains."""
    manifest = read_manifest(folder)
    entry = entry_of(manifest, entry_id)
    entry["size"], entry["sha256"] = file_facts(os.path.join(folder, *entry["file"].split("/")))
    write_manifest(folder, manifest)


def damage_notes_entry(folder):
    path = os.path.join(folder, "skills", "notes.zip")
    with open(path, "rb") as f:
        data = bytearray(f.read())
    at = data.index(NOTES_TEXT)
    data[at] ^= 0xFF
    with open(path, "wb") as f:
        f.write(data)
    republish(folder, "notes")


def names_windows_cannot_tell_apart(folder):
    path = os.path.join(folder, "skills", "notes.zip")
    write_zip(path, {"SKILL.md": NOTES_TEXT, "skill.md": b"other", "gb.txt": b"GBK"}, zipfile.ZIP_STORED)
    with open(path, "rb") as f:
        data = f.read()
    # A name in GBK without the UTF-8 flag, as Chinese Windows zip tools write them.
    with open(path, "wb") as f:
        f.write(data.replace(b"gb.txt", b"\xb0\xa1.txt"))
    republish(folder, "notes")


def cut_app_archive(folder):
    path = os.path.join(folder, "app.zip")
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[: len(data) // 2])
    republish(folder, "app")


def empty_browsers_archive(folder):
    write_zip(os.path.join(folder, "browsers.zip"), {})
    republish(folder, "playwright")


def replace_tool_bytes(folder):
    # Same length, other bytes: only the hash can tell.
    with open(os.path.join(folder, "tool.bin"), "wb") as f:
        f.write(bytes(reversed(range(256))) * 4)


def remove(*parts):
    return lambda folder: os.remove(os.path.join(folder, *parts))


def set_field(entry_id, key, value):
    return edit_entry(entry_id, lambda entry: entry.__setitem__(key, value))


def set_base_url(url):
    def mutate(folder):
        manifest = read_manifest(folder)
        manifest["baseUrl"] = url
        write_manifest(folder, manifest)
    return mutate


def refused_outside_name(folder):
    # Something is there, so a tool that opened it would report more than the refusal.
    with open(os.path.join(os.path.dirname(folder), "outside.bin"), "wb") as f:
        f.write(b"outside")
    set_field("tool", "file", "../outside.bin")(folder)


def nest_other_id(folder):
    manifest = read_manifest(folder)
    index = next(i for i, e in enumerate(manifest["packages"]) if e["id"] == "tool")
    manifest["packages"][index] = {"meta": {"id": "shadow"}, **manifest["packages"][index]}
    write_manifest(folder, manifest)


# (why the row is there, mutation, every line check must print)
BROKEN_RELEASES = [
    ("a listed file is gone", remove("tool.bin"),
     ["tool.bin (package tool): file missing"]),
    ("the published size is not the file's", set_field("tool", "size", 1025),
     ["tool.bin (package tool): size 1025 differs from the file (1024 bytes)"]),
    ("same length, other bytes: only the hash tells", replace_tool_bytes,
     ["tool.bin (package tool): sha256 differs from the file"]),
    ("a hash of the wrong length is no hash", set_field("notes", "sha256", "abc123"),
     ["skills/notes.zip (skill notes): sha256 is not 64 hex digits"]),
    ("a hash with a letter beyond f is no hash", set_field("tool", "sha256", "g" * 64),
     ["tool.bin (package tool): sha256 is not 64 hex digits"]),
    ("a release made by the tool always carries hashes", edit_entry("tool", lambda e: e.pop("sha256")),
     ["tool.bin (package tool): no sha256: a release made by quillmere-release carries one for every file, "
      "and without it the installer cannot verify the download"]),
    ("a file name climbing out of the release is refused and never opened", refused_outside_name,
     [f"../outside.bin (package tool): {REFUSED_FILE}"]),
    ("a file name with a drive is refused", set_field("tool", "file", "C:/tool.bin"),
     [f"C:/tool.bin (package tool): {REFUSED_FILE}"]),
    ("a skill id becomes a folder name, so one climbing out is refused", set_field("notes", "id", "../notes"),
     [f"skills/notes.zip (skill ../notes): the installer refuses this skill id {REFUSED_NAME}"]),
    ("two packages with one id", set_field("app", "id", "tool"),
     ["tool.bin (package tool): id tool is listed twice"]),
    ("two skills with one id", set_field("draw", "id", "notes"),
     ["skills/draw.zip (skill notes): id notes is listed twice", "skills/draw.zip (skill notes): file missing"]),
    ("a skill id Windows cannot tell from another's", set_field("draw", "id", "NOTES"),
     ["skills/draw.zip (skill NOTES): id NOTES names the same folder as skill notes on Windows",
      "skills/draw.zip (skill NOTES): file missing"]),
    ("entry names Windows cannot tell apart or cannot read", names_windows_cannot_tell_apart,
     ["skills/notes.zip (skill notes): entry skill.md does not extract: 与另一文件同名",
      "skills/notes.zip (skill notes): entry \ufffd\ufffd.txt does not extract: 文件名不是有效的 UTF-8"]),
    ("an entry whose CRC does not match", damage_notes_entry,
     ["skills/notes.zip (skill notes): entry SKILL.md does not extract: CRC 校验失败"]),
    ("an archive cut short loses its end record", cut_app_archive,
     ["app.zip (package app): not a complete ZIP: 压缩包不完整"]),
    ("the browsers are unpacked by id even without extract; an empty archive installs nothing",
     empty_browsers_archive,
     ["browsers.zip (package playwright): the archive holds no files, which the installer takes as a failed extraction"]),
    ("plain http to a host that is not this machine", set_base_url("http://updates.vendor.example/quillmere/"),
     ["manifest.json: baseUrl http://updates.vendor.example/quillmere/ is not https "
      "(plain http only for 127.0.0.1, localhost and [::1])"]),
    ("a loopback name as user info does not make the host loopback", set_base_url("http://127.0.0.1@vendor.example/"),
     ["manifest.json: baseUrl http://127.0.0.1@vendor.example/ is not https "
      "(plain http only for 127.0.0.1, localhost and [::1])"]),
    ("a host that only starts like localhost", set_base_url("http://localhost.vendor.example/"),
     ["manifest.json: baseUrl http://localhost.vendor.example/ is not https "
      "(plain http only for 127.0.0.1, localhost and [::1])"]),
    ("file names are appended to the base URL", set_base_url("https://updates.vendor.example/quillmere"),
     ["manifest.json: baseUrl https://updates.vendor.example/quillmere does not end with / "
      "(the installer appends file names to it)"]),
    ("the scanner looks for keys as written, not decoded",
     edit_manifest_text('"desc": "Tool binary"', '"d\\u0065sc": "Tool binary"'),
     ['tool.bin (package tool): the installer reads desc as "", a JSON parser as "Tool binary"']),
    ("the scanner refuses U+0000, where Windows would end the text",
     edit_manifest_text('"Tool binary"', '"Tool\\u0000binary"'),
     ['tool.bin (package tool): the installer reads desc as "", a JSON parser as "Tool\\u0000binary"']),
    ("the scanner reads a size in exponent form up to its first non-digit",
     edit_manifest_text('"size": 1024', '"size": 1.024e3'),
     ["tool.bin (package tool): the installer reads size as 1, a JSON parser as 1024.0",
      "tool.bin (package tool): size 1 differs from the file (1024 bytes)"]),
    ("the scanner takes the first id in the object, even a nested one", nest_other_id,
     ['tool.bin (package shadow): the installer reads id as "shadow", a JSON parser as "tool"']),
    ("a duplicate key: the scanner takes the first, a JSON parser the last",
     edit_manifest_text('"required": true', '"required": true, "required": false'),
     ["skills/notes.zip (skill notes): the installer reads required as true, a JSON parser as false"]),
    ("an entry without id is dropped by the installer", edit_entry("tool", lambda e: e.pop("id")),
     ["manifest.json: packages[1] has no id, so the installer skips it"]),
    ("without release.txt nothing is declared absent", remove("release.txt"),
     ["skills/draw.zip (skill draw): file missing"]),
]

# (why the row is there, mutation that check accepts)
ACCEPTED_RELEASES = [
    ("the local update server of the tests", set_base_url("http://127.0.0.1:18431/new/quillmere/update/")),
    ("localhost by name", set_base_url("http://localhost/quillmere/")),
    ("IPv6 loopback", set_base_url("http://[::1]:8080/quillmere/")),
    ("https to any host", set_base_url("https://cdn.vendor.example/new/quillmere/update/")),
    ("\\u and \\/ escapes decode as a JSON parser decodes them", write_escaped_manifest),
    ("an escaped quote and backslash decode alike", set_field("tool", "desc", 'Tool "binary" in C:\\tools')),
    ("the installer compares hashes in either case", edit_entry("tool", lambda e: e.update(sha256=e["sha256"].upper()))),
    ("node is run as an installer package, never unpacked, whatever extract says",
     edit_entry("tool", lambda e: e.update(id="node", extract=True))),
]

# (why the row is there, release.txt line replacing the tool's, what make says on stderr)
REFUSED_DESCRIPTIONS = [
    ("text that is not UTF-8 cannot be written as JSON", "package tool tool.bin | Tool \udcffbinary",
     "release.txt:3: \"Tool \ufffdbinary\" is not UTF-8 or holds a NUL character"),
    ("the installer refuses U+0000", "package tool tool.bin | Tool\x00binary",
     "release.txt:3: \"Tool\x00binary\" is not UTF-8 or holds a NUL character"),
    ("an unknown flag is a typo, not a wish", "package tool tool.bin extrakt | Tool binary",
     "release.txt:3: unknown word extrakt"),
    ("extract belongs to packages", "skill tool tool.bin extract | Tool | Binary",
     "release.txt:3: unknown word extract"),
    ("an absent file needs its published hash", "package tool gone.bin absent size=10 | Tool binary",
     "release.txt:3: absent needs size=BYTES and sha256=HEX"),
    ("a present file is measured, never declared", f"package tool tool.bin size=1024 sha256={DRAW_HASH} | Tool binary",
     "release.txt:3: size= and sha256= go only with absent"),
    ("a skill needs a name and a description", "skill tool tool.bin | Tool binary",
     "release.txt:3: expected skill ID FILE [required] | NAME | DESC"),
    ("a version line needs its text", "version ", "release.txt:3: expected version TEXT"),
    ("a version is plain text", 'version 1.0 "beta"', 'release.txt:3: the version "1.0 "beta"" is not plain UTF-8 text'),
    ("the installer would refuse the name", "package tool ../tool.bin | Tool binary",
     "release.txt:3: the installer refuses the file name ../tool.bin"),
    ("a missing file not declared absent", "package tool gone.bin | Tool binary",
     "gone.bin (package tool): file missing (if the server lacks it on purpose, declare it absent"),
    ("a file declared absent that is there", f"package tool tool.bin absent size=1 sha256={DRAW_HASH} | Tool binary",
     "tool.bin (package tool): declared absent, but the file is there"),
    ("an archive that does not extract is not published", "package tool tool.bin extract | Tool binary",
     "tool.bin (package tool): not a complete ZIP"),
]


class Scratch(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.releases = 0
        self.release = self.fresh_release()

    def tearDown(self):
        self.tmp.cleanup()

    def fresh_release(self):
        """A new small release in a folder of its own, with room beside it."""
        self.releases += 1
        self.release = os.path.join(self.tmp.name, str(self.releases), "release")
        write_small_release(self.release)
        return self.release

    def make(self, *extra):
        made = run_tool("make", self.release, *extra)
        self.assertEqual(made.returncode, 0, made.stderr)
        return made

    def check(self):
        return run_tool("check", self.release)


class MakeThenCheckTest(Scratch):
    def test_manifest_takes_sizes_and_hashes_from_the_files(self):
        made = self.make("--base-url", BASE_URL)
        self.assertEqual(made.stdout, f"wrote {self.release}/manifest.json: 3 packages, 2 skills\n")
        manifest = read_manifest(self.release)
        self.assertEqual(manifest["baseUrl"], BASE_URL)
        self.assertEqual([p["id"] for p in manifest["packages"]], ["app", "tool", "playwright"])
        self.assertEqual([s["id"] for s in manifest["skills"]], ["notes", "draw"])
        for entry in manifest["packages"] + manifest["skills"]:
            with self.subTest(entry=entry["id"]):
                path = os.path.join(self.release, *entry["file"].split("/"))
                if entry["id"] == "draw":
                    self.assertFalse(os.path.exists(path))
                    self.assertEqual((entry["size"], entry["sha256"]), (4096, DRAW_HASH), "as declared")
                else:
                    self.assertEqual((entry["size"], entry["sha256"]), file_facts(path))
        self.assertEqual(entry_of(manifest, "app")["desc"], "应用程序")
        self.assertEqual([p["extract"] for p in manifest["packages"]], [True, False, False])
        self.assertEqual([(s["name"], s["desc"], s["required"]) for s in manifest["skills"]],
                         [("笔记", "Keeps notes", True), ("绘图", "Draws pictures", False)])
        checked = self.check()
        self.assertEqual((checked.returncode, checked.stdout), (0, f"{self.release}: 3 packages, 2 skills, no problems\n"))

    def test_a_version_line_gives_the_manifest_its_version_first(self):
        with open(os.path.join(self.release, "release.txt"), "w", encoding="utf-8") as f:
            f.write("version 2.1.0 预览\n" + DESCRIPTION)
        self.make()
        with open(os.path.join(self.release, "manifest.json"), encoding="utf-8") as f:
            text = f.read()
        self.assertEqual(list(json.loads(text))[0], "version")
        self.assertEqual(json.loads(text)["version"], "2.1.0 预览")
        self.assertEqual(self.check().returncode, 0)

    def test_written_whole_and_readable_by_a_web_server(self):
        self.make()
        self.assertNotIn("baseUrl", read_manifest(self.release), "without --base-url the installer keeps its own")
        self.assertNotIn("version", read_manifest(self.release), "without a version line there is none")
        self.assertEqual(sorted(n for n in os.listdir(self.release) if "manifest" in n), ["manifest.json"])
        self.assertEqual(os.stat(os.path.join(self.release, "manifest.json")).st_mode & 0o777, 0o644)

    def test_texts_are_escaped_as_a_json_encoder_escapes_them(self):
        desc, name = 'Tool "binary" in C:\\tools\tnow\x01', '笔记 "beta"'
        with open(os.path.join(self.release, "release.txt"), "w", encoding="utf-8") as f:
            f.write(DESCRIPTION.replace("| Tool binary", "| " + desc).replace("| 笔记 |", f"| {name} |"))
        self.make("--base-url", BASE_URL)
        with open(os.path.join(self.release, "manifest.json"), encoding="utf-8") as f:
            text = f.read()
        manifest = json.loads(text)
        self.assertEqual((entry_of(manifest, "tool")["desc"], entry_of(manifest, "notes")["name"]), (desc, name))
        self.assertEqual(text, json.dumps(manifest, ensure_ascii=False, indent=2) + "\n")
        self.assertEqual(self.check().returncode, 0, "the installer reads the same texts")

    def test_accepted_variants(self):
        for why, mutate in ACCEPTED_RELEASES:
            with self.subTest(why):
                self.fresh_release()
                self.make("--base-url", BASE_URL)
                mutate(self.release)
                checked = self.check()
                self.assertEqual(checked.returncode, 0, checked.stdout)


class BrokenReleaseTest(Scratch):
    def test_each_problem_is_named(self):
        for why, mutate, expected in BROKEN_RELEASES:
            with self.subTest(why):
                self.fresh_release()
                self.make("--base-url", BASE_URL)
                mutate(self.release)
                checked = self.check()
                self.assertEqual(checked.stdout.splitlines(), expected)
                self.assertEqual(checked.returncode, 1)


class RefusedDescriptionTest(Scratch):
    def test_make_refuses_and_leaves_the_old_manifest(self):
        for why, line, expected in REFUSED_DESCRIPTIONS:
            with self.subTest(why):
                write_manifest_text(self.release, "old\n")
                # surrogateescape writes a lone \udcff as the byte 0xFF.
                with open(os.path.join(self.release, "release.txt"), "w", encoding="utf-8",
                          errors="surrogateescape") as f:
                    f.write(DESCRIPTION.replace("package tool tool.bin | Tool binary", line))
                made = run_tool("make", self.release, "--base-url", BASE_URL)
                self.assertEqual(made.returncode, 1)
                self.assertIn(expected, made.stderr)
                with open(os.path.join(self.release, "manifest.json"), encoding="utf-8") as f:
                    self.assertEqual(f.read(), "old\n")

    def test_make_refuses_a_base_url_check_would_refuse(self):
        made = run_tool("make", self.release, "--base-url", "http://updates.vendor.example/quillmere")
        self.assertEqual(made.returncode, 1)
        self.assertEqual(made.stderr.splitlines(), [
            "--base-url: baseUrl http://updates.vendor.example/quillmere is not https "
            "(plain http only for 127.0.0.1, localhost and [::1])",
            "--base-url: baseUrl http://updates.vendor.example/quillmere does not end with / "
            "(the installer appends file names to it)"])
        self.assertFalse(os.path.exists(os.path.join(self.release, "manifest.json")))


class SampleReleaseTest(unittest.TestCase):
    """The generator's release, with stand-ins for the Windows programs it packs."""

    def test_generated_sample_passes_and_a_changed_file_is_named(self):
        with tempfile.TemporaryDirectory() as tmp:
            msi, launcher = os.path.join(tmp, "node.msi"), os.path.join(tmp, "launcher.exe")
            for path, data in ((msi, b"MSI stand-in"), (launcher, b"MZ launcher stand-in")):
                with open(path, "wb") as f:
                    f.write(data)
            release = os.path.join(tmp, "sample")
            subprocess.run([sys.executable, SAMPLE_GENERATOR, release, "--node-msi", msi, "--launcher", launcher,
                            "--base-url", "http://127.0.0.1:18431/new/quillmere/update/", "--release-tool", TOOL],
                           check=True, capture_output=True, timeout=120)
            checked = run_tool("check", release)
            self.assertEqual((checked.returncode, checked.stdout), (0, f"{release}: 4 packages, 3 skills, no problems\n"))
            missing = entry_of(read_manifest(release), "image-studio")
            self.assertEqual(missing["size"], 48213, "the published size of the skill the server lacks")
            self.assertFalse(os.path.exists(os.path.join(release, "skills", "image-studio.zip")))

            with open(os.path.join(release, "docs", "QUICKSTART.txt"), "ab") as f:
                f.write(b"\r\n")
            checked = run_tool("check", release)
            self.assertEqual(checked.returncode, 1)
            self.assertEqual(checked.stdout.splitlines(), [
                "docs/QUICKSTART.txt (package quickstart): size 104 differs from the file (106 bytes)",
                "docs/QUICKSTART.txt (package quickstart): sha256 differs from the file"])


def main():
    global TOOL
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True, help="the quillmere-release program")
    args, rest = parser.parse_known_args()
    TOOL = os.path.abspath(args.tool)
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
