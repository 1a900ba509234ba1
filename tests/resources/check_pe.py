#!/usr/bin/env python3
"""Check that a built setup.exe is the program we mean to ship.

Verifies the PE headers (PE32+, x86-64, GUI subsystem), that every imported
DLL is part of Windows itself (so the installer runs on a clean machine with
nothing but the one .exe), and that the icon group, version resource and
application manifest are embedded with the expected contents.

Usage:
    check_pe.py PATH/TO/setup.exe
    check_pe.py --self-test

Prints one line per check and a final "N passed, M failed" line; exits 1 if
anything failed.  --self-test builds small PE images in memory, one good and
several deliberately broken, and makes sure each broken one is rejected by
the check it targets.

Only the Python standard library is used; the PE file is parsed by hand.
"""

import struct
import sys
import xml.etree.ElementTree as ET

# ---------------------------------------------------------------------------
# Expected contents
# ---------------------------------------------------------------------------

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_MAGIC = 0x10B
PE32PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

ICON_GROUP_ID = 10001
ICON_SIZES = (256, 48, 32, 24, 16)
VERSION_ID = 1
MANIFEST_ID = 1

# DLLs that ship with every supported Windows version.  Anything else (the
# MinGW runtime DLLs in particular) would make setup.exe fail to start on a
# machine that does not happen to have them.
SYSTEM_DLLS = frozenset(name + ".dll" for name in (
    "kernel32", "user32", "gdi32", "comctl32", "comdlg32", "shell32",
    "shlwapi", "ole32", "oleaut32", "advapi32", "winhttp", "bcrypt",
    "crypt32", "ntdll", "version", "uxtheme", "msvcrt", "ucrtbase",
))
SYSTEM_DLL_PREFIXES = ("api-ms-win-crt-", "api-ms-win-core-")

VERSION_TABLE = "080404b0"
VERSION_STRINGS = {
    "CompanyName": "Quillmere",
    "ProductName": "Quillmere",
    "FileDescription": "Quillmere 安装程序",
    "FileVersion": "1.0.0.0",
    "ProductVersion": "1.0.0.0",
    "InternalName": "setup.exe",
    "OriginalFilename": "setup.exe",
}
VERSION_TRANSLATION = [(0x0804, 1200)]
VERSION_NUMBER = (1, 0, 0, 0)

MANIFEST_DESCRIPTION = "Quillmere 安装程序"
SUPPORTED_OS_IDS = frozenset((
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
))
COMMON_CONTROLS_TOKEN = "6595b64144ccf1df"

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class PEError(Exception):
    """The image is malformed or a structure points outside the file."""


class CheckFailed(Exception):
    """A check found the image does not meet what we ship."""


def require(condition, message):
    if not condition:
        raise CheckFailed(message)


# ---------------------------------------------------------------------------
# PE parsing
# ---------------------------------------------------------------------------

def unpack(fmt, data, offset):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise PEError("read of %d bytes at 0x%x runs past the end (%d bytes)"
                      % (size, offset, len(data)))
    return struct.unpack_from(fmt, data, offset)


class Section:
    def __init__(self, name, vaddr, vsize, raw_ptr, raw_size):
        self.name, self.vaddr, self.vsize = name, vaddr, vsize
        self.raw_ptr, self.raw_size = raw_ptr, raw_size


class PEImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PEError("no MZ signature")
        (e_lfanew,) = unpack("<I", data, 0x3C)
        if data[e_lfanew:e_lfanew + 4] != b"PE\0\0":
            raise PEError("no PE signature at 0x%x" % e_lfanew)
        coff = e_lfanew + 4
        (self.machine, nsections, _, _, _, opt_size, _) = unpack("<HHIIIHH", data, coff)
        opt = coff + 20
        (self.magic,) = unpack("<H", data, opt)
        if self.magic == PE32PLUS_MAGIC:
            (self.image_base,) = unpack("<Q", data, opt + 24)
            count_at, dirs_at = 108, 112
        elif self.magic == PE32_MAGIC:
            (self.image_base,) = unpack("<I", data, opt + 28)
            count_at, dirs_at = 92, 96
        else:
            raise PEError("unknown optional header magic 0x%x" % self.magic)
        (self.size_of_headers,) = unpack("<I", data, opt + 60)
        (self.subsystem,) = unpack("<H", data, opt + 68)
        (ndirs,) = unpack("<I", data, opt + count_at)
        ndirs = min(ndirs, 16)
        if dirs_at + 8 * ndirs > opt_size:
            raise PEError("data directories do not fit in the optional header")
        self.directories = [unpack("<II", data, opt + dirs_at + 8 * i) for i in range(ndirs)]

        self.sections = []
        table = opt + opt_size
        for i in range(nsections):
            name, vsize, vaddr, raw_size, raw_ptr = unpack("<8sIIII", data, table + 40 * i)
            self.sections.append(Section(name.rstrip(b"\0").decode("latin-1"),
                                         vaddr, vsize, raw_ptr, raw_size))

    def directory(self, index):
        if index < len(self.directories):
            return self.directories[index]
        return (0, 0)

    def rva_to_offset(self, rva):
        if rva < self.size_of_headers:
            return rva
        for s in self.sections:
            span = max(s.vsize, s.raw_size)
            if s.vaddr <= rva < s.vaddr + span:
                delta = rva - s.vaddr
                if delta >= s.raw_size:
                    raise PEError("RVA 0x%x lies in the uninitialised tail of %s" % (rva, s.name))
                return s.raw_ptr + delta
        raise PEError("RVA 0x%x is not inside any section" % rva)

    def read(self, rva, size):
        offset = self.rva_to_offset(rva)
        if offset + size > len(self.data):
            raise PEError("%d bytes at RVA 0x%x run past the end of the file" % (size, rva))
        return self.data[offset:offset + size]

    def unpack_rva(self, fmt, rva):
        return struct.unpack(fmt, self.read(rva, struct.calcsize(fmt)))

    def cstring(self, rva, limit=1024):
        offset = self.rva_to_offset(rva)
        end = self.data.find(b"\0", offset, offset + limit)
        if end < 0:
            raise PEError("unterminated string at RVA 0x%x" % rva)
        return self.data[offset:end].decode("latin-1")

    # -- imports ----------------------------------------------------------

    def imported_dlls(self):
        names = []
        rva, size = self.directory(1)
        if rva:
            for i in range(100000):
                desc = self.unpack_rva("<IIIII", rva + 20 * i)
                if desc == (0, 0, 0, 0, 0):
                    break
                names.append(self.cstring(desc[3]))
        # Delay-loaded DLLs must be present at run time just the same.
        rva, size = self.directory(13)
        if rva:
            for i in range(100000):
                desc = self.unpack_rva("<8I", rva + 32 * i)
                if not any(desc):
                    break
                attrs, name = desc[0], desc[1]
                if not attrs & 1:  # old-style descriptors hold VAs, not RVAs
                    name -= self.image_base
                names.append(self.cstring(name))
        return names

    # -- resources --------------------------------------------------------

    def resources(self):
        """{type: {name: {language: bytes}}}; ids are ints, named entries str."""
        base, size = self.directory(2)
        if not base:
            return {}
        visited = set()

        def entry_name(value):
            if value & 0x80000000:
                at = base + (value & 0x7FFFFFFF)
                (length,) = self.unpack_rva("<H", at)
                return self.read(at + 2, 2 * length).decode("utf-16-le")
            return value

        def walk(offset, depth):
            if offset in visited:
                raise PEError("resource directory loop at 0x%x" % offset)
            visited.add(offset)
            _, _, _, _, named, ids = self.unpack_rva("<IIHHHH", base + offset)
            result = {}
            for i in range(named + ids):
                name, target = self.unpack_rva("<II", base + offset + 16 + 8 * i)
                key = entry_name(name)
                is_dir = bool(target & 0x80000000)
                if depth < 2:
                    if not is_dir:
                        raise PEError("resource leaf found above language level")
                    result[key] = walk(target & 0x7FFFFFFF, depth + 1)
                else:
                    if is_dir:
                        raise PEError("resource tree deeper than type/name/language")
                    data_rva, data_size, _, _ = self.unpack_rva("<IIII", base + target)
                    result[key] = self.read(data_rva, data_size)
            return result

        return walk(0, 0)


# ---------------------------------------------------------------------------
# Resource payload parsing
# ---------------------------------------------------------------------------

def icon_image_size(data):
    """(width, height, bits per pixel) of one RT_ICON image."""
    if data.startswith(PNG_SIGNATURE):
        require(data[12:16] == b"IHDR", "PNG icon image has no IHDR chunk first")
        width, height, depth, colour_type = unpack(">IIBB", data, 16)
        # Colour type 6 is RGBA; at 8 bits per channel that is 32 bpp.
        bpp = depth * 4 if colour_type == 6 else depth
        return width, height, bpp
    header_size, width, height, _, bpp = unpack("<IiiHH", data, 0)
    require(header_size >= 40, "icon DIB header is %d bytes, want at least 40" % header_size)
    require(height == 2 * width, "icon DIB height %d is not twice the width %d "
            "(colour plane plus AND mask)" % (height, width))
    return width, height // 2, bpp


class VersionNode:
    def __init__(self, key, value, is_text, children):
        self.key, self.value, self.is_text, self.children = key, value, is_text, children

    def child(self, key):
        for c in self.children:
            if c.key.lower() == key.lower():
                return c
        return None


def align4(n):
    return (n + 3) & ~3


def parse_version_node(data, offset=0, limit=None):
    """Parse one VS_VERSIONINFO-style block (wLength, wValueLength, wType, szKey, ...)."""
    if limit is None:
        limit = len(data)
    length, value_length, value_type = unpack("<HHH", data, offset)
    end = offset + length
    if length < 6 or end > limit:
        raise PEError("version block at 0x%x has bad length %d" % (offset, length))
    p = offset + 6
    key_end = p
    while True:
        if key_end + 2 > end:
            raise PEError("unterminated key in version block at 0x%x" % offset)
        if data[key_end:key_end + 2] == b"\0\0":
            break
        key_end += 2
    key = data[p:key_end].decode("utf-16-le")
    p = align4(key_end + 2)
    is_text = value_type == 1
    if is_text:
        # Compilers disagree on whether wValueLength counts bytes or
        # characters, so take the text up to its terminator instead.
        q = p
        while q + 2 <= end and data[q:q + 2] != b"\0\0":
            q += 2
        value = data[p:q].decode("utf-16-le") if value_length else ""
        p = q + 2 if value_length else p
    else:
        value = data[p:p + value_length]
        if p + value_length > end:
            raise PEError("value of version block %r runs past the block" % key)
        p += value_length
    children = []
    p = align4(p)
    while p + 6 <= end:
        child = parse_version_node(data, p, end)
        children.append(child)
        (child_length,) = unpack("<H", data, p)
        p = align4(p + child_length)
    return VersionNode(key, value, is_text, children)


def local_name(tag):
    return tag.rsplit("}", 1)[-1]


def elements(root, name):
    return [e for e in root.iter() if local_name(e.tag) == name]


# ---------------------------------------------------------------------------
# Checks
# ---------------------------------------------------------------------------

class Context:
    """Lazily parsed views of the image, shared by the checks."""

    def __init__(self, data):
        self.data = data
        self._cache = {}

    def _get(self, key, make):
        if key not in self._cache:
            try:
                self._cache[key] = (True, make())
            except Exception as exc:  # remembered so every dependent check reports it
                self._cache[key] = (False, exc)
        ok, value = self._cache[key]
        if not ok:
            raise value
        return value

    @property
    def pe(self):
        return self._get("pe", lambda: PEImage(self.data))

    @property
    def resources(self):
        return self._get("res", lambda: self.pe.resources())

    def resource(self, rtype, rid, what):
        variants = self.resources.get(rtype, {}).get(rid)
        require(variants, "no %s with id %r" % (what, rid))
        return variants

    @property
    def version(self):
        def make():
            variants = self.resource(RT_VERSION, VERSION_ID, "RT_VERSION")
            require(len(variants) == 1, "RT_VERSION %d exists in %d languages"
                    % (VERSION_ID, len(variants)))
            root = parse_version_node(next(iter(variants.values())))
            require(root.key == "VS_VERSION_INFO",
                    "version root key is %r, want 'VS_VERSION_INFO'" % root.key)
            return root
        return self._get("version", make)

    @property
    def manifest(self):
        def make():
            variants = self.resource(RT_MANIFEST, MANIFEST_ID, "RT_MANIFEST")
            # Two languages of manifest 1 would leave it to the loader which
            # one applies; a second copy usually means a toolchain default
            # manifest got linked in as well.
            require(len(variants) == 1, "RT_MANIFEST %d exists in %d languages"
                    % (MANIFEST_ID, len(variants)))
            text = next(iter(variants.values()))
            try:
                root = ET.fromstring(text)
            except ET.ParseError as exc:
                raise CheckFailed("manifest is not well-formed XML: %s" % exc)
            require(local_name(root.tag) == "assembly",
                    "manifest root element is <%s>, want <assembly>" % local_name(root.tag))
            return root
        return self._get("manifest", make)


def check_headers(ctx):
    pe = ctx.pe
    return "%d sections" % len(pe.sections)


def check_magic(ctx):
    magic = ctx.pe.magic
    require(magic == PE32PLUS_MAGIC, "optional header magic 0x%x, want 0x20b (PE32+)" % magic)
    return "PE32+"


def check_machine(ctx):
    machine = ctx.pe.machine
    require(machine == IMAGE_FILE_MACHINE_AMD64, "machine 0x%x, want 0x8664 (x86-64)" % machine)
    return "x86-64"


def check_subsystem(ctx):
    subsystem = ctx.pe.subsystem
    require(subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI,
            "subsystem %d, want 2 (Windows GUI)%s"
            % (subsystem, " - this is a console program" if subsystem == 3 else ""))
    return "Windows GUI"


def is_system_dll(name):
    lower = name.lower()
    return lower in SYSTEM_DLLS or lower.startswith(SYSTEM_DLL_PREFIXES)


def check_imports(ctx):
    dlls = ctx.pe.imported_dlls()
    require(dlls, "no imported DLLs found (import directory missing or unreadable)")
    foreign = sorted({d for d in dlls if not is_system_dll(d)}, key=str.lower)
    require(not foreign, "imports DLL(s) that are not part of Windows: %s" % ", ".join(foreign))
    return ", ".join(sorted({d.lower() for d in dlls}))


def check_icons(ctx):
    icons = ctx.resources.get(RT_ICON, {})
    require(len(icons) >= len(ICON_SIZES),
            "%d RT_ICON images, want at least %d" % (len(icons), len(ICON_SIZES)))
    return "%d images" % len(icons)


def check_icon_group(ctx):
    variants = ctx.resource(RT_GROUP_ICON, ICON_GROUP_ID, "RT_GROUP_ICON")
    icons = ctx.resources.get(RT_ICON, {})
    for lang, data in variants.items():
        reserved, kind, count = unpack("<HHH", data, 0)
        require(reserved == 0 and kind == 1, "group icon header (%d, %d) is not an icon directory"
                % (reserved, kind))
        require(len(data) >= 6 + 14 * count,
                "group icon lists %d entries but holds only %d bytes" % (count, len(data)))
        sizes = []
        for i in range(count):
            w, h, _, _, _, bpp, nbytes, icon_id = unpack("<BBBBHHIH", data, 6 + 14 * i)
            w, h = w or 256, h or 256
            require(w == h, "group entry %d is %dx%d, not square" % (i, w, h))
            require(bpp == 32, "group entry %dx%d is %d bpp, want 32" % (w, h, bpp))
            images = icons.get(icon_id)
            require(images, "group entry %dx%d refers to missing RT_ICON %d" % (w, h, icon_id))
            for image in images.values():
                require(len(image) == nbytes, "RT_ICON %d is %d bytes, group entry says %d"
                        % (icon_id, len(image), nbytes))
                iw, ih, ibpp = icon_image_size(image)
                require((iw, ih, ibpp) == (w, h, 32),
                        "RT_ICON %d holds a %dx%d %d-bpp image, group entry says %dx%d 32-bpp"
                        % (icon_id, iw, ih, ibpp, w, h))
            sizes.append(w)
        require(sorted(sizes) == sorted(ICON_SIZES),
                "icon sizes %s, want exactly %s" % (sizes, list(ICON_SIZES)))
    return "sizes %s, 32 bpp" % "/".join(str(s) for s in ICON_SIZES)


def check_version_fixed(ctx):
    fixed = ctx.version.value
    require(len(fixed) >= 52, "VS_FIXEDFILEINFO missing or short (%d bytes)" % len(fixed))
    sig, _, fms, fls, pms, pls = struct.unpack_from("<6I", fixed, 0)
    require(sig == 0xFEEF04BD, "VS_FIXEDFILEINFO signature 0x%x" % sig)

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    file_version, product_version = split(fms, fls), split(pms, pls)
    require(file_version == VERSION_NUMBER, "FILEVERSION %s, want %s" % (file_version, VERSION_NUMBER))
    require(product_version == VERSION_NUMBER,
            "PRODUCTVERSION %s, want %s" % (product_version, VERSION_NUMBER))
    return "FILEVERSION/PRODUCTVERSION 1.0.0.0"


def check_version_strings(ctx):
    info = ctx.version.child("StringFileInfo")
    require(info, "no StringFileInfo block")
    table = info.child(VERSION_TABLE)
    require(table, "no string table %s (have: %s)"
            % (VERSION_TABLE, ", ".join(c.key for c in info.children) or "none"))
    found = {c.key: c.value for c in table.children}
    problems = []
    for key, want in VERSION_STRINGS.items():
        if key not in found:
            problems.append("%s missing" % key)
        elif found[key] != want:
            problems.append("%s is %r, want %r" % (key, found[key], want))
    require(not problems, "; ".join(problems))
    return "%d strings in %s" % (len(VERSION_STRINGS), VERSION_TABLE)


def check_version_translation(ctx):
    var_info = ctx.version.child("VarFileInfo")
    require(var_info, "no VarFileInfo block")
    translation = var_info.child("Translation")
    require(translation and not translation.is_text, "no binary Translation value")
    raw = translation.value
    pairs = [struct.unpack_from("<HH", raw, i) for i in range(0, len(raw) - 3, 4)]
    require(pairs == VERSION_TRANSLATION,
            "Translation %s, want %s" % ([("0x%04x" % l, cp) for l, cp in pairs],
                                         [("0x%04x" % l, cp) for l, cp in VERSION_TRANSLATION]))
    return "0x0804, 1200"


def check_manifest_present(ctx):
    ctx.manifest
    return "id 1, well-formed"


def check_manifest_identity(ctx):
    root = ctx.manifest
    own = [e for e in root if local_name(e.tag) == "assemblyIdentity"]
    require(len(own) == 1, "%d top-level assemblyIdentity elements, want 1" % len(own))
    want = {"name": "Quillmere.Setup", "version": "1.0.0.0", "type": "win32",
            "processorArchitecture": "amd64"}
    got = {k: own[0].get(k) for k in want}
    require(got == want, "assemblyIdentity %s, want %s" % (got, want))
    return "Quillmere.Setup 1.0.0.0 amd64"


def check_manifest_description(ctx):
    desc = [e for e in ctx.manifest if local_name(e.tag) == "description"]
    require(desc, "no description element")
    text = (desc[0].text or "").strip()
    require(text == MANIFEST_DESCRIPTION, "description %r, want %r" % (text, MANIFEST_DESCRIPTION))
    return MANIFEST_DESCRIPTION


def check_manifest_common_controls(ctx):
    for dep in elements(ctx.manifest, "dependentAssembly"):
        for ident in elements(dep, "assemblyIdentity"):
            if ident.get("name") != "Microsoft.Windows.Common-Controls":
                continue
            require(ident.get("version") == "6.0.0.0",
                    "Common-Controls version %r, want '6.0.0.0'" % ident.get("version"))
            token = (ident.get("publicKeyToken") or "").lower()
            require(token == COMMON_CONTROLS_TOKEN,
                    "Common-Controls publicKeyToken %r, want %r" % (token, COMMON_CONTROLS_TOKEN))
            require(ident.get("type") == "win32", "Common-Controls type is not win32")
            require(ident.get("processorArchitecture") in ("*", "amd64"),
                    "Common-Controls processorArchitecture %r"
                    % ident.get("processorArchitecture"))
            return "Microsoft.Windows.Common-Controls 6.0.0.0"
    raise CheckFailed("no dependency on Microsoft.Windows.Common-Controls")


def check_manifest_execution_level(ctx):
    levels = elements(ctx.manifest, "requestedExecutionLevel")
    require(len(levels) == 1, "%d requestedExecutionLevel elements, want 1" % len(levels))
    level, ui = levels[0].get("level"), levels[0].get("uiAccess")
    require(level == "asInvoker", "execution level %r, want 'asInvoker'" % level)
    require(ui == "false", "uiAccess %r, want 'false'" % ui)
    return "asInvoker, uiAccess false"


def check_manifest_supported_os(ctx):
    ids = {(e.get("Id") or "").lower() for e in elements(ctx.manifest, "supportedOS")}
    missing = sorted(SUPPORTED_OS_IDS - ids)
    extra = sorted(ids - SUPPORTED_OS_IDS)
    require(not missing and not extra,
            "supportedOS missing %s, unexpected %s" % (missing or "none", extra or "none"))
    return "Windows 7, 8, 8.1, 10/11"


DPI_SETTINGS = {
    "dpiAware": ("http://schemas.microsoft.com/SMI/2005/WindowsSettings", "true/pm"),
    "dpiAwareness": ("http://schemas.microsoft.com/SMI/2016/WindowsSettings", "PerMonitorV2, PerMonitor"),
}


def check_manifest_dpi(ctx):
    for name, (namespace, want) in DPI_SETTINGS.items():
        found = [e for e in ctx.manifest.iter() if e.tag == "{%s}%s" % (namespace, name)]
        require(len(found) == 1, "%d <%s> elements in namespace %s, want 1" % (len(found), name, namespace))
        text = (found[0].text or "").strip()
        require(text == want, "%s %r, want %r" % (name, text, want))
    return "per-monitor v2, per-monitor as fallback"


def check_manifest_long_paths(ctx):
    namespace = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
    found = [e for e in ctx.manifest.iter() if e.tag == "{%s}longPathAware" % namespace]
    require(len(found) == 1, "%d <longPathAware> elements in namespace %s, want 1" % (len(found), namespace))
    require((found[0].text or "").strip() == "true", "longPathAware %r, want 'true'" % found[0].text)
    return "long paths where the machine allows them"


CHECKS = [
    ("PE headers", check_headers),
    ("PE32+ optional header", check_magic),
    ("machine x86-64", check_machine),
    ("subsystem Windows GUI", check_subsystem),
    ("imports only Windows system DLLs", check_imports),
    ("RT_ICON images", check_icons),
    ("RT_GROUP_ICON 10001", check_icon_group),
    ("RT_VERSION fixed info", check_version_fixed),
    ("RT_VERSION strings", check_version_strings),
    ("RT_VERSION translation", check_version_translation),
    ("RT_MANIFEST 1", check_manifest_present),
    ("manifest assembly identity", check_manifest_identity),
    ("manifest description", check_manifest_description),
    ("manifest Common-Controls 6", check_manifest_common_controls),
    ("manifest execution level", check_manifest_execution_level),
    ("manifest supported OS", check_manifest_supported_os),
    ("manifest DPI awareness", check_manifest_dpi),
    ("manifest long paths", check_manifest_long_paths),
]


def run_checks(data):
    """[(name, passed, detail)] for every check, in order."""
    ctx = Context(data)
    results = []
    for name, check in CHECKS:
        try:
            results.append((name, True, check(ctx)))
        except CheckFailed as exc:
            results.append((name, False, str(exc)))
        except (PEError, struct.error, UnicodeDecodeError, ValueError, IndexError) as exc:
            results.append((name, False, "malformed image: %s" % exc))
    return results


def report(results, out=sys.stdout):
    passed = sum(1 for _, ok, _ in results if ok)
    for name, ok, detail in results:
        print("%s %s: %s" % ("PASS" if ok else "FAIL", name, detail), file=out)
    print("%d passed, %d failed" % (passed, len(results) - passed), file=out)
    return passed == len(results)


# ---------------------------------------------------------------------------
# Self-test: synthetic images
# ---------------------------------------------------------------------------

GOOD_MANIFEST = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity name="Quillmere.Setup" version="1.0.0.0" type="win32"
                    processorArchitecture="amd64"/>
  <description>Quillmere 安装程序</description>
  <dependency><dependentAssembly>
    <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls"
        version="6.0.0.0" processorArchitecture="*"
        publicKeyToken="6595b64144ccf1df" language="*"/>
  </dependentAssembly></dependency>
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>
    <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
  </requestedPrivileges></security></trustInfo>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>
    <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
    <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
    <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
    <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
  </application></compatibility>
  <application xmlns="urn:schemas-microsoft-com:asm.v3"><windowsSettings>
    <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>
    <dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, PerMonitor</dpiAwareness>
    <longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>
  </windowsSettings></application>
</assembly>
"""


def pad(data, alignment):
    return data + b"\0" * (-len(data) % alignment)


def build_version_block(key, value=b"", value_type=0, children=()):
    body = struct.pack("<HHH", 0, 0, value_type) + key.encode("utf-16-le") + b"\0\0"
    body = pad(body, 4) + value
    for child in children:
        body = pad(body, 4) + child
    value_length = len(value) // 2 if value_type == 1 else len(value)
    return struct.pack("<HH", len(body), value_length) + body[4:]


def build_version(strings, translation, version=VERSION_NUMBER, table=VERSION_TABLE):
    ms, ls = (version[0] << 16) | version[1], (version[2] << 16) | version[3]
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, ms, ls, ms, ls, 0x3F, 0, 0x40004, 1, 0, 0, 0)
    entries = [build_version_block(k, (v + "\0").encode("utf-16-le"), 1) for k, v in strings.items()]
    string_info = build_version_block("StringFileInfo", children=[
        build_version_block(table, children=entries)])
    var_info = build_version_block("VarFileInfo", children=[
        build_version_block("Translation", b"".join(struct.pack("<HH", *t) for t in translation))])
    return build_version_block("VS_VERSION_INFO", fixed, 0, [string_info, var_info])


def build_icon_image(size, bpp=32):
    if size >= 256:
        ihdr = struct.pack(">IIBBBBB", size, size, 8, 6 if bpp == 32 else 2, 0, 0, 0)
        return PNG_SIGNATURE + struct.pack(">I", 13) + b"IHDR" + ihdr + b"\0" * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, 0, 0)
    return header + b"\0" * (size * size * bpp // 8)


def build_icon_group(entries):
    """entries: [(size, bpp, icon id, image bytes)]"""
    out = struct.pack("<HHH", 0, 1, len(entries))
    for size, bpp, icon_id, image in entries:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHIH", dim, dim, 0, 0, 1, bpp, len(image), icon_id)
    return out


def build_resources(tree, base_rva):
    """Serialise {type: {name: {lang: bytes}}} (integer ids) as a .rsrc section."""
    types = sorted(tree)
    offset = 16 + 8 * len(types)
    type_dirs, name_dirs, leaves, blobs = {}, {}, {}, {}
    for t in types:
        type_dirs[t] = offset
        offset += 16 + 8 * len(tree[t])
    for t in types:
        for n in sorted(tree[t]):
            name_dirs[t, n] = offset
            offset += 16 + 8 * len(tree[t][n])
    for t in types:
        for n in sorted(tree[t]):
            for lang in sorted(tree[t][n]):
                leaves[t, n, lang] = offset
                offset += 16
    for key in leaves:
        offset = (offset + 7) & ~7
        blobs[key] = offset
        offset += len(tree[key[0]][key[1]][key[2]])
    buf = bytearray(offset)

    def directory(at, entries):
        struct.pack_into("<IIHHHH", buf, at, 0, 0, 0, 0, 0, len(entries))
        for i, (ident, target) in enumerate(entries):
            struct.pack_into("<II", buf, at + 16 + 8 * i, ident, target)

    directory(0, [(t, 0x80000000 | type_dirs[t]) for t in types])
    for t in types:
        directory(type_dirs[t], [(n, 0x80000000 | name_dirs[t, n]) for n in sorted(tree[t])])
        for n in sorted(tree[t]):
            directory(name_dirs[t, n], [(lang, leaves[t, n, lang]) for lang in sorted(tree[t][n])])
    for key, at in leaves.items():
        data = tree[key[0]][key[1]][key[2]]
        struct.pack_into("<IIII", buf, at, base_rva + blobs[key], len(data), 0, 0)
        buf[blobs[key]:blobs[key] + len(data)] = data
    return bytes(buf)


def build_imports(dlls, base_rva):
    table_size = 20 * (len(dlls) + 1)
    thunk = table_size  # one shared, empty (zero) thunk list
    names_at = thunk + 8
    out = bytearray(names_at)
    for i, dll in enumerate(dlls):
        struct.pack_into("<IIIII", out, 20 * i, base_rva + thunk, 0, 0,
                         base_rva + len(out), base_rva + thunk)
        out += dll.encode("ascii") + b"\0"
    return bytes(out)


def default_resources():
    icons, group = {}, []
    for i, size in enumerate(ICON_SIZES, start=1):
        image = build_icon_image(size)
        icons[i] = {0: image}
        group.append((size, 32, i, image))
    return {
        RT_ICON: icons,
        RT_GROUP_ICON: {ICON_GROUP_ID: {0: build_icon_group(group)}},
        RT_VERSION: {VERSION_ID: {0x0804: build_version(VERSION_STRINGS, VERSION_TRANSLATION)}},
        RT_MANIFEST: {MANIFEST_ID: {0: GOOD_MANIFEST.encode("utf-8")}},
    }


DEFAULT_DLLS = ("KERNEL32.dll", "USER32.dll", "msvcrt.dll", "api-ms-win-crt-runtime-l1-1-0.dll")


def build_pe(dlls=DEFAULT_DLLS, resources=None, machine=IMAGE_FILE_MACHINE_AMD64,
             magic=PE32PLUS_MAGIC, subsystem=IMAGE_SUBSYSTEM_WINDOWS_GUI):
    """A minimal PE32+ image with an import section and a resource section.

    File and section alignment differ so RVA-to-offset mapping is exercised.
    """
    if resources is None:
        resources = default_resources()
    file_align, section_align = 0x200, 0x1000
    idata_rva = section_align
    idata = build_imports(list(dlls), idata_rva)
    rsrc_rva = idata_rva + ((len(idata) + section_align - 1) // section_align) * section_align
    rsrc = build_resources(resources, rsrc_rva)
    size_of_image = rsrc_rva + ((len(rsrc) + section_align - 1) // section_align) * section_align

    headers_size = file_align
    idata_raw = pad(idata, file_align)
    rsrc_raw = pad(rsrc, file_align)

    dos = bytearray(64)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 64)
    coff = struct.pack("<HHIIIHH", machine, 2, 0, 0, 0, 240, 0x22)
    opt = bytearray(240)
    struct.pack_into("<HBBIIIII", opt, 0, magic, 2, 40, 0, len(idata_raw) + len(rsrc_raw), 0, 0, 0)
    struct.pack_into("<QII", opt, 24, 0x140000000, section_align, file_align)
    struct.pack_into("<HHHHHH", opt, 40, 6, 0, 0, 0, 6, 0)
    struct.pack_into("<III", opt, 56, size_of_image, headers_size, 0)
    struct.pack_into("<HH", opt, 68, subsystem, 0x8160)
    struct.pack_into("<QQQQII", opt, 72, 0x200000, 0x1000, 0x100000, 0x1000, 0, 16)
    struct.pack_into("<II", opt, 112 + 8 * 1, idata_rva, len(idata))
    struct.pack_into("<II", opt, 112 + 8 * 2, rsrc_rva, len(rsrc))

    def section(name, rva, size, raw_ptr, raw_size):
        return struct.pack("<8sIIIIIIHHI", name, size, rva, raw_size, raw_ptr, 0, 0, 0, 0, 0x40000040)

    sections = (section(b".idata", idata_rva, len(idata), headers_size, len(idata_raw))
                + section(b".rsrc", rsrc_rva, len(rsrc), headers_size + len(idata_raw), len(rsrc_raw)))
    headers = pad(bytes(dos) + b"PE\0\0" + coff + bytes(opt) + sections, file_align)
    return headers + idata_raw + rsrc_raw


def with_manifest(text):
    res = default_resources()
    res[RT_MANIFEST] = {MANIFEST_ID: {0: text.encode("utf-8")}}
    return res


def with_version(strings=VERSION_STRINGS, translation=VERSION_TRANSLATION, version=VERSION_NUMBER):
    res = default_resources()
    res[RT_VERSION] = {VERSION_ID: {0x0804: build_version(strings, translation, version)}}
    return res


def with_icon_group(sizes_bpp, group_id=ICON_GROUP_ID):
    res = default_resources()
    icons, group = {}, []
    for i, (size, bpp) in enumerate(sizes_bpp, start=1):
        image = build_icon_image(size, bpp)
        icons[i] = {0: image}
        group.append((size, bpp, i, image))
    res[RT_ICON] = icons
    res[RT_GROUP_ICON] = {group_id: {0: build_icon_group(group)}}
    return res


def self_test():
    good = build_pe()
    cases = [
        ("not an MZ file", b"ELF" + good[3:], "PE headers"),
        ("truncated after the DOS header", good[:0x50], "PE headers"),
        ("PE32 magic", None, "PE32+ optional header"),
        ("i386 machine", build_pe(machine=0x14C), "machine x86-64"),
        ("console subsystem", build_pe(subsystem=3), "subsystem Windows GUI"),
        ("imports libstdc++", build_pe(dlls=DEFAULT_DLLS + ("libstdc++-6.dll",)),
         "imports only Windows system DLLs"),
        ("imports libwinpthread", build_pe(dlls=("kernel32.dll", "libwinpthread-1.dll")),
         "imports only Windows system DLLs"),
        ("imports libgcc", build_pe(dlls=("libgcc_s_seh-1.dll", "user32.dll")),
         "imports only Windows system DLLs"),
        ("no icon images", build_pe(resources={k: v for k, v in default_resources().items()
                                               if k != RT_ICON}), "RT_ICON images"),
        ("icon group missing 24", build_pe(resources=with_icon_group(
            [(256, 32), (48, 32), (32, 32), (16, 32)])), "RT_GROUP_ICON 10001"),
        ("icon group with an extra 64", build_pe(resources=with_icon_group(
            [(256, 32), (64, 32), (48, 32), (32, 32), (24, 32), (16, 32)])), "RT_GROUP_ICON 10001"),
        ("8-bit 16px icon", build_pe(resources=with_icon_group(
            [(256, 32), (48, 32), (32, 32), (24, 32), (16, 8)])), "RT_GROUP_ICON 10001"),
        ("icon group under another id", build_pe(resources=with_icon_group(
            [(s, 32) for s in ICON_SIZES], group_id=101)), "RT_GROUP_ICON 10001"),
        ("version 1.0.0.1", build_pe(resources=with_version(version=(1, 0, 0, 1))),
         "RT_VERSION fixed info"),
        ("English FileDescription", build_pe(resources=with_version(
            strings=dict(VERSION_STRINGS, FileDescription="Quillmere Setup"))), "RT_VERSION strings"),
        ("no InternalName", build_pe(resources=with_version(
            strings={k: v for k, v in VERSION_STRINGS.items() if k != "InternalName"})),
         "RT_VERSION strings"),
        ("English translation", build_pe(resources=with_version(translation=[(0x0409, 1200)])),
         "RT_VERSION translation"),
        ("manifest not XML", build_pe(resources=with_manifest("<assembly>")), "RT_MANIFEST 1"),
        ("manifest for another assembly", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace('name="Quillmere.Setup"', 'name="Other.App"'))),
         "manifest assembly identity"),
        ("manifest English description", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace("Quillmere 安装程序", "Quillmere Setup"))), "manifest description"),
        ("Common-Controls 5", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace('version="6.0.0.0"', 'version="5.82.0.0"'))),
         "manifest Common-Controls 6"),
        ("requireAdministrator", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace("asInvoker", "requireAdministrator"))), "manifest execution level"),
        ("highestAvailable", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace("asInvoker", "highestAvailable"))), "manifest execution level"),
        ("uiAccess true", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace('uiAccess="false"', 'uiAccess="true"'))), "manifest execution level"),
        ("no Windows 7 entry", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace('<supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>', ""))),
         "manifest supported OS"),
        ("system DPI aware only", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace("true/pm", "true").replace("PerMonitorV2, PerMonitor", "System"))),
         "manifest DPI awareness"),
        ("no dpiAwareness fallback chain", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace("PerMonitorV2, PerMonitor", "PerMonitorV2"))), "manifest DPI awareness"),
        ("dpiAware in the wrong namespace", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace("SMI/2005/WindowsSettings", "SMI/2016/WindowsSettings"))),
         "manifest DPI awareness"),
        ("not long-path aware", build_pe(resources=with_manifest(
            GOOD_MANIFEST.replace(">true</longPathAware>", ">false</longPathAware>"))), "manifest long paths"),
        ("no DPI declaration", build_pe(resources=with_manifest(
            GOOD_MANIFEST[:GOOD_MANIFEST.index("  <application xmlns")] + "</assembly>\n")),
         "manifest DPI awareness"),
        ("no manifest", build_pe(resources={k: v for k, v in default_resources().items()
                                            if k != RT_MANIFEST}), "RT_MANIFEST 1"),
    ]
    # Flip the magic in place: the rest of the optional header then no
    # longer matches the PE32 layout, which must still be handled cleanly.
    pe32 = bytearray(good)
    struct.pack_into("<H", pe32, 64 + 4 + 20, PE32_MAGIC)
    cases[2] = (cases[2][0], bytes(pe32), cases[2][2])

    failures = 0
    results = run_checks(good)
    if all(ok for _, ok, _ in results):
        print("ok   well-formed image passes every check")
    else:
        failures += 1
        print("FAIL well-formed image was rejected:")
        report(results)
    for label, image, target in cases:
        results = {name: (ok, detail) for name, ok, detail in run_checks(image)}
        ok, detail = results[target]
        if ok:
            failures += 1
            print("FAIL %s: %r passed, should have failed" % (label, target))
        else:
            print("ok   %s: %s -> %s" % (label, target, detail))
    print("%d passed, %d failed" % (len(cases) + 1 - failures, failures))
    return failures == 0


def main(argv):
    if len(argv) == 2 and argv[1] == "--self-test":
        return 0 if self_test() else 1
    if len(argv) != 2 or argv[1].startswith("-"):
        print("usage: check_pe.py PATH/TO/setup.exe | --self-test", file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as f:
            data = f.read()
    except OSError as exc:
        print("FAIL cannot read %s: %s" % (argv[1], exc))
        print("0 passed, 1 failed")
        return 1
    return 0 if report(run_checks(data)) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
