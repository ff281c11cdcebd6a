#!/usr/bin/env python3
"""Checks the built TavrensilClient.exe as a file: headers, exports, resources.

Usage:
    python3 tests/e2e/check_executable.py EXE --machine i386|amd64

Reads the PE file itself (standard library only) and checks:
  - the machine type and the matching optional header (PE32 or PE32+);
  - the Windows GUI subsystem;
  - the exported data words NvOptimusEnablement and
    AmdPowerXpressRequestHighPerformance, each holding the 32-bit value 1;
  - icon group 1 with exactly the 16, 24, 32, 48, 64, 128 and 256 pixel
    images at 32 bits per pixel, each present as an icon resource of that size;
  - manifest 1: the version below, asInvoker without UI access, long-path
    aware, supported systems listed, common controls 6, and no DPI awareness
    entry;
  - the version resource with ProductName "Tavrensil Online" and
    FileVersion the version in VERSION followed by ".0";
  - RCDATA 201 present and not empty;
  - the imported libraries are exactly the system's known libraries below
    (every other system library is loaded at run time from the system
    folder), and no library is delay-imported;
  - every reference from code into the import section (an indirect call or
    jump, or a load of a slot) names a slot that the loader fills, or a
    delay-import slot that holds the address of its own binding stub. A
    slot that is neither holds zero when the call comes, and the program
    crashes there.

Prints one line per check, "NAME: ok (...)" or "NAME: FAIL: ...", then
"N passed, M failed".
Exits 1 when any check fails (or the file cannot be read as a PE image),
0 otherwise.
"""

import argparse
import re
import struct
import sys
import xml.etree.ElementTree as ET

import harness
from harness import CLIENT_VERSION

MACHINES = {"i386": 0x014C, "amd64": 0x8664}
OPTIONAL_MAGIC = {"i386": 0x10B, "amd64": 0x20B}
SUBSYSTEM_WINDOWS_GUI = 2

RT_ICON = 3
RT_RCDATA = 10
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
GPU_EXPORTS = ("NvOptimusEnablement", "AmdPowerXpressRequestHighPerformance")
PRODUCT_NAME = "Tavrensil Online"
FILE_VERSION = CLIENT_VERSION + ".0"
COMMON_CONTROLS = "Microsoft.Windows.Common-Controls"
COMMON_CONTROLS_TOKEN = "6595b64144ccf1df"
KNOWN_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10/11",
}

# Imported normally: the system's known libraries only, which always load
# from the system folder, never from the executable's own.
EXPECTED_IMPORTS = ("advapi32.dll", "gdi32.dll", "imm32.dll", "kernel32.dll", "msvcrt.dll",
                    "ole32.dll", "oleaut32.dll", "shell32.dll", "user32.dll", "ws2_32.dll")
EXPECTED_DELAY_IMPORTS = ()

IMAGE_SCN_MEM_EXECUTE = 0x20000000
MAX_IMPORTS = 65536  # slots and descriptors; anything larger is corrupt

MAX_RESOURCE_ENTRIES = 4096  # per directory; anything larger is corrupt
MAX_ZERO_FILL = 64 << 20  # uninitialised bytes a single read may supply


class BadFile(Exception):
    """The file is not what a check expects; the message says why."""


# --------------------------------------------------------------------------
# PE reading


class Section:
    def __init__(self, name, vaddr, vsize, raw_size, raw_ptr, flags):
        self.name = name
        self.vaddr = vaddr
        self.vsize = vsize
        self.raw_size = raw_size
        self.raw_ptr = raw_ptr
        self.flags = flags

    def span(self):
        return max(self.vsize, self.raw_size)


class PeImage:
    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise BadFile("no MZ header (not a Windows executable)")
        pe_offset = self.u32(0x3C)
        if self.read(pe_offset, 4) != b"PE\0\0":
            raise BadFile("no PE signature at offset 0x%x" % pe_offset)
        coff = pe_offset + 4
        (self.machine, section_count, _, _, _, optional_size,
         self.characteristics) = struct.unpack("<HHIIIHH", self.read(coff, 20))
        opt = coff + 20
        self.optional_size = optional_size
        if optional_size < 2:
            raise BadFile("no optional header")
        self.magic = self.u16(opt)
        if self.magic == 0x10B:
            dirs_at, min_size = 96, 96
        elif self.magic == 0x20B:
            dirs_at, min_size = 112, 112
        else:
            raise BadFile("unknown optional header magic 0x%x" % self.magic)
        if optional_size < min_size:
            raise BadFile("optional header too short (%d bytes)" % optional_size)
        self.subsystem = self.u16(opt + 68)
        self.pointer_size = 4 if self.magic == 0x10B else 8
        self.image_base = (self.u32(opt + 28) if self.magic == 0x10B
                           else struct.unpack("<Q", self.read(opt + 24, 8))[0])
        dir_count = self.u32(opt + dirs_at - 4)
        dir_count = min(dir_count, (optional_size - dirs_at) // 8, 16)
        self.directories = []
        for i in range(dir_count):
            self.directories.append(struct.unpack("<II", self.read(opt + dirs_at + 8 * i, 8)))
        self.sections = []
        table = opt + optional_size
        for i in range(section_count):
            raw = self.read(table + 40 * i, 40)
            name = raw[:8].rstrip(b"\0").decode("ascii", "replace")
            vsize, vaddr, raw_size, raw_ptr = struct.unpack("<IIII", raw[8:24])
            flags = struct.unpack("<I", raw[36:40])[0]
            self.sections.append(Section(name, vaddr, vsize, raw_size, raw_ptr, flags))

    # raw file access with bounds checks
    def read(self, offset, size):
        if offset < 0 or size < 0 or offset + size > len(self.data):
            raise BadFile("structure at file offset 0x%x (+%d) lies outside the file (%d bytes)"
                          % (offset, size, len(self.data)))
        return self.data[offset:offset + size]

    def u16(self, offset):
        return struct.unpack("<H", self.read(offset, 2))[0]

    def u32(self, offset):
        return struct.unpack("<I", self.read(offset, 4))[0]

    # virtual addresses
    def section_of(self, rva):
        for s in self.sections:
            if s.vaddr <= rva < s.vaddr + s.span():
                return s
        return None

    def read_rva(self, rva, size):
        """Bytes at an RVA; parts past a section's file data read as zero."""
        s = self.section_of(rva)
        if s is None:
            raise BadFile("RVA 0x%x lies in no section" % rva)
        delta = rva - s.vaddr
        if delta + size > s.span():
            raise BadFile("%d bytes at RVA 0x%x run past the end of section %s"
                          % (size, rva, s.name))
        in_file = max(0, min(size, s.raw_size - delta))
        if size - in_file > MAX_ZERO_FILL:
            raise BadFile("%d bytes at RVA 0x%x lie mostly beyond the file data of section %s"
                          % (size, rva, s.name))
        return self.read(s.raw_ptr + delta, in_file) + b"\0" * (size - in_file)

    def rva_u16(self, rva):
        return struct.unpack("<H", self.read_rva(rva, 2))[0]

    def rva_u32(self, rva):
        return struct.unpack("<I", self.read_rva(rva, 4))[0]

    def c_string(self, rva, limit=512):
        s = self.section_of(rva)
        if s is None:
            raise BadFile("string RVA 0x%x lies in no section" % rva)
        available = min(limit, s.span() - (rva - s.vaddr))
        raw = self.read_rva(rva, available)
        end = raw.find(b"\0")
        if end < 0:
            raise BadFile("unterminated string at RVA 0x%x" % rva)
        return raw[:end].decode("ascii", "replace")

    def directory(self, index):
        if index >= len(self.directories):
            return (0, 0)
        return self.directories[index]

    # exports
    def exports(self):
        """{name: rva} of the export table; forwarders map to None."""
        rva, size = self.directory(0)
        if rva == 0 or size == 0:
            raise BadFile("the image has no export table")
        head = self.read_rva(rva, 40)
        (_, _, _, _, _, _, function_count, name_count, functions_rva, names_rva,
         ordinals_rva) = struct.unpack("<IIHHIIIIIII", head)
        if function_count > 0x10000 or name_count > 0x10000:
            raise BadFile("export table claims %d functions and %d names"
                          % (function_count, name_count))
        result = {}
        for i in range(name_count):
            name = self.c_string(self.rva_u32(names_rva + 4 * i))
            index = self.rva_u16(ordinals_rva + 2 * i)
            if index >= function_count:
                raise BadFile("export %s has ordinal index %d of %d" % (name, index, function_count))
            target = self.rva_u32(functions_rva + 4 * index)
            result[name] = None if rva <= target < rva + size else target
        return result

    # imports
    def pointer(self, rva):
        return struct.unpack("<I" if self.pointer_size == 4 else "<Q",
                             self.read_rva(rva, self.pointer_size))[0]

    def descriptors(self, index, size):
        """The descriptors (raw bytes) of the import (index 1, 20 bytes each)
        or delay-import (index 13, 32 bytes each) directory, up to the
        all-zero one that ends it."""
        rva, _ = self.directory(index)
        if rva == 0:
            return
        for i in range(MAX_IMPORTS):
            raw = self.read_rva(rva + size * i, size)
            if raw == b"\0" * size:
                return
            yield raw
        raise BadFile("import directory %d does not end" % index)

    def slot_count(self, names_rva):
        """Entries of an import name table up to its zero entry."""
        for i in range(MAX_IMPORTS):
            if self.pointer(names_rva + self.pointer_size * i) == 0:
                return i
        raise BadFile("import name table at RVA 0x%x does not end" % names_rva)

    def imports(self):
        """[(library, first slot RVA, slot count)] of the import directory."""
        found = []
        for raw in self.descriptors(1, 20):
            names_rva, _, _, name_rva, slots_rva = struct.unpack("<IIIII", raw)
            found.append((self.c_string(name_rva), slots_rva,
                          self.slot_count(names_rva or slots_rva)))
        return found

    def delay_imports(self):
        """The libraries of the delay-import directory."""
        return [self.c_string(struct.unpack("<8I", raw)[1]) for raw in self.descriptors(13, 32)]

    def import_section(self):
        rva, _ = self.directory(1)
        return self.section_of(rva) if rva else None

    def code_references(self, target):
        """{(code RVA, referenced RVA)} of the instructions in executable
        sections that address memory in section `target` through a 32-bit
        displacement: call/jmp [m] (FF 15, FF 25), mov/lea r,[m] (8B, 8D, and
        A1 on i386). Absolute on i386, relative to the next instruction on
        x86-64 (where these encodings end with the displacement)."""
        absolute = self.pointer_size == 4
        pattern = re.compile(rb"\xFF[\x15\x25]|[\x8B\x8D][\x05\x0D\x15\x1D\x25\x2D\x35\x3D]"
                             + (rb"|\xA1" if absolute else b""))
        found = set()
        for s in self.sections:
            if not s.flags & IMAGE_SCN_MEM_EXECUTE:
                continue
            code = self.read(s.raw_ptr, min(s.raw_size, s.vsize or s.raw_size))
            for m in pattern.finditer(code):
                at = m.end()
                if at + 4 > len(code):
                    continue
                disp = struct.unpack("<i" if not absolute else "<I", code[at:at + 4])[0]
                rva = disp - self.image_base if absolute else s.vaddr + at + 4 + disp
                if target.vaddr <= rva < target.vaddr + target.span():
                    found.add((s.vaddr + m.start(), rva))
        return found

    def loads_address(self, code_rva, slot_rva):
        """Whether the code at `code_rva` starts by loading the address of
        `slot_rva` into a register (mov eax, imm32 / lea rax, [rip+d]): the
        shape of a delay-load binding stub."""
        s = self.section_of(code_rva)
        if s is None or not s.flags & IMAGE_SCN_MEM_EXECUTE:
            return False
        if self.pointer_size == 4:
            head = self.read_rva(code_rva, 5)
            return head[0] == 0xB8 and struct.unpack("<I", head[1:])[0] == self.image_base + slot_rva
        head = self.read_rva(code_rva, 7)
        return (head[:3] == b"\x48\x8D\x05"
                and code_rva + 7 + struct.unpack("<i", head[3:])[0] == slot_rva)

    # resources
    def resources(self):
        """{(type, id): [(language, data_rva, size)]} for integer ids;
        named entries are kept under their name string."""
        root, size = self.directory(2)
        if root == 0 or size == 0:
            raise BadFile("the image has no resource directory")

        def entries(offset):
            head = self.read_rva(root + offset, 16)
            named, numbered = struct.unpack("<HH", head[12:16])
            count = named + numbered
            if count > MAX_RESOURCE_ENTRIES:
                raise BadFile("resource directory with %d entries" % count)
            for i in range(count):
                ident, target = struct.unpack("<II", self.read_rva(root + offset + 16 + 8 * i, 8))
                if ident & 0x80000000:
                    name_at = root + (ident & 0x7FFFFFFF)
                    length = self.rva_u16(name_at)
                    ident = self.read_rva(name_at + 2, 2 * length).decode("utf-16-le", "replace")
                yield ident, bool(target & 0x80000000), target & 0x7FFFFFFF

        found = {}
        for rtype, is_dir, type_off in entries(0):
            if not is_dir:
                raise BadFile("resource type %r is not a directory" % (rtype,))
            for rid, is_dir2, id_off in entries(type_off):
                if not is_dir2:
                    raise BadFile("resource %r/%r is not a directory" % (rtype, rid))
                for lang, is_dir3, data_off in entries(id_off):
                    if is_dir3:
                        raise BadFile("resource %r/%r/%r nests too deep" % (rtype, rid, lang))
                    data_rva, data_size, _, _ = struct.unpack("<IIII", self.read_rva(root + data_off, 16))
                    found.setdefault((rtype, rid), []).append((lang, data_rva, data_size))
        return found

    def resource_data(self, entry):
        _, data_rva, data_size = entry
        return self.read_rva(data_rva, data_size)


# --------------------------------------------------------------------------
# Checks. Each returns a short success text or raises BadFile.


def check_machine(pe, want):
    if pe.machine != MACHINES[want]:
        raise BadFile("0x%x, expected 0x%x (%s)" % (pe.machine, MACHINES[want], want))
    return "0x%x (%s)" % (pe.machine, want)


def check_optional_header(pe, want):
    names = {0x10B: "PE32", 0x20B: "PE32+"}
    if pe.magic != OPTIONAL_MAGIC[want]:
        raise BadFile("%s, expected %s for %s"
                      % (names.get(pe.magic), names[OPTIONAL_MAGIC[want]], want))
    return names[pe.magic]


def check_subsystem(pe):
    if pe.subsystem != SUBSYSTEM_WINDOWS_GUI:
        raise BadFile("%d, expected %d (Windows GUI)" % (pe.subsystem, SUBSYSTEM_WINDOWS_GUI))
    return "Windows GUI (2)"


def check_gpu_export(pe, exports, name):
    if isinstance(exports, BadFile):
        raise exports
    if name not in exports:
        raise BadFile("not exported")
    rva = exports[name]
    if rva is None:
        raise BadFile("a forwarder, not data")
    section = pe.section_of(rva)
    if section is None:
        raise BadFile("points at RVA 0x%x, which lies in no section" % rva)
    value = pe.rva_u32(rva)
    if value != 1:
        raise BadFile("holds %d at RVA 0x%x in %s, expected 1" % (value, rva, section.name))
    return "holds 1 (RVA 0x%x in %s)" % (rva, section.name)


def one_resource(resources, rtype, rid, what):
    if isinstance(resources, BadFile):
        raise resources
    entries = resources.get((rtype, rid))
    if not entries:
        raise BadFile("the image has no %s resource" % what)
    return entries[0]


def icon_image_size(image):
    """(width, height, bits per pixel) of one RT_ICON image (DIB or PNG)."""
    if image[:8] == b"\x89PNG\r\n\x1a\n":
        if len(image) < 33 or image[12:16] != b"IHDR":
            raise BadFile("truncated PNG image")
        width, height, depth, colour = struct.unpack(">IIBB", image[16:26])
        channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour, 0)
        return width, height, depth * channels
    if len(image) < 40:
        raise BadFile("image of %d bytes is too short for a bitmap header" % len(image))
    header_size, width, height, _, bits = struct.unpack("<IiiHH", image[:16])
    if header_size < 40:
        raise BadFile("bitmap header size %d" % header_size)
    return width, height // 2, bits


def check_icon_group(pe, resources):
    group = pe.resource_data(one_resource(resources, RT_GROUP_ICON, 1, "RT_GROUP_ICON 1"))
    if len(group) < 6:
        raise BadFile("%d bytes, too short" % len(group))
    reserved, kind, count = struct.unpack("<HHH", group[:6])
    if reserved != 0 or kind != 1:
        raise BadFile("header %d/%d, expected 0/1" % (reserved, kind))
    if len(group) < 6 + 14 * count:
        raise BadFile("lists %d images in %d bytes" % (count, len(group)))
    problems = []
    sizes = []
    for i in range(count):
        width, height, _, _, _, bits, length, icon_id = struct.unpack("<BBBBHHIH", group[6 + 14 * i:20 + 14 * i])
        width = width or 256
        height = height or 256
        sizes.append(width)
        if width != height:
            problems.append("image %d is %dx%d, not square" % (icon_id, width, height))
        if bits != 32:
            problems.append("image %d (%d px) has %d bits per pixel, expected 32" % (icon_id, width, bits))
        try:
            entry = one_resource(resources, RT_ICON, icon_id, "RT_ICON %d" % icon_id)
            image = pe.resource_data(entry)
            iw, ih, ibits = icon_image_size(image)
            if (iw, ih) != (width, height):
                problems.append("icon %d holds %dx%d, the group says %dx%d" % (icon_id, iw, ih, width, height))
            if ibits != 32:
                problems.append("icon %d image has %d bits per pixel" % (icon_id, ibits))
            if len(image) != length:
                problems.append("icon %d is %d bytes, the group says %d" % (icon_id, len(image), length))
        except BadFile as e:
            problems.append(str(e))
    if sorted(sizes) != sorted(ICON_SIZES) or count != len(ICON_SIZES):
        problems.insert(0, "sizes %s, expected exactly %s"
                        % (",".join(map(str, sizes)) or "none", ",".join(map(str, ICON_SIZES))))
    if problems:
        raise BadFile("; ".join(problems))
    return "%s px, 32 bpp, every image present" % ",".join(map(str, sizes))


def local(tag):
    return tag.rsplit("}", 1)[-1] if isinstance(tag, str) else ""


def parse_manifest(pe, resources):
    data = pe.resource_data(one_resource(resources, RT_MANIFEST, 1, "RT_MANIFEST 1"))
    if not data.strip(b"\0 \r\n\t\xef\xbb\xbf"):
        raise BadFile("manifest 1 is empty")
    try:
        return ET.fromstring(data.rstrip(b"\0"))
    except ET.ParseError as e:
        raise BadFile("manifest 1 is not well-formed XML: %s" % e)


def find_all(root, name):
    return [e for e in root.iter() if local(e.tag) == name]


def check_manifest_execution(root):
    levels = find_all(root, "requestedExecutionLevel")
    if len(levels) != 1:
        raise BadFile("%d requestedExecutionLevel elements, expected 1" % len(levels))
    level = levels[0].get("level")
    ui_access = levels[0].get("uiAccess")
    if level != "asInvoker" or (ui_access or "").lower() != "false":
        raise BadFile("level=%r uiAccess=%r, expected asInvoker/false" % (level, ui_access))
    return "asInvoker, uiAccess false"


def check_manifest_identity(root):
    # The manifest's own identity, not the common controls' dependency.
    idents = [e for e in root if local(e.tag) == "assemblyIdentity"]
    version = idents[0].get("version") if len(idents) == 1 else None
    if version != FILE_VERSION:
        raise BadFile("assembly version %r, expected %s" % (version, FILE_VERSION))
    return "version " + version


def check_manifest_long_paths(root):
    values = [(e.text or "").strip() for e in find_all(root, "longPathAware")]
    if not values:
        raise BadFile("no longPathAware element")
    if any(v.lower() != "true" for v in values):
        raise BadFile("%s, expected true" % ",".join(repr(v) for v in values))
    return "true"


def check_manifest_supported_os(root):
    ids = [(e.get("Id") or "").lower() for e in find_all(root, "supportedOS")]
    if not ids:
        raise BadFile("no supportedOS entries")
    bad = [i for i in ids if not re.fullmatch(r"\{[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}\}", i)]
    if bad:
        raise BadFile("malformed Id %s" % ", ".join(repr(b) for b in bad))
    names = [KNOWN_OS.get(i, i) for i in ids]
    return ", ".join(names)


def check_manifest_common_controls(root):
    for dep in find_all(root, "dependentAssembly"):
        for ident in find_all(dep, "assemblyIdentity"):
            if ident.get("name") != COMMON_CONTROLS:
                continue
            version = ident.get("version") or ""
            token = (ident.get("publicKeyToken") or "").lower()
            if not version.startswith("6.") or token != COMMON_CONTROLS_TOKEN:
                raise BadFile("%s version %r token %r, expected 6.x and %s"
                              % (COMMON_CONTROLS, version, token, COMMON_CONTROLS_TOKEN))
            return "%s %s" % (COMMON_CONTROLS, version)
    raise BadFile("no dependency on %s" % COMMON_CONTROLS)


def check_manifest_no_dpi(root):
    found = sorted({local(e.tag) for e in root.iter() if local(e.tag).lower() in ("dpiaware", "dpiawareness")})
    if found:
        raise BadFile("declares %s; the program sets DPI awareness itself" % ", ".join(found))
    return "no dpiAware/dpiAwareness entry"


def version_nodes(blob, offset, end, depth=0):
    """Walks the block tree of a VS_VERSIONINFO: yields (depth, key, type, value).

    Depth 0 is VS_VERSION_INFO, 1 StringFileInfo/VarFileInfo, 2 a string
    table or the Translation value, 3 a string."""
    while offset + 6 <= end:
        length, value_length, value_type = struct.unpack("<HHH", blob[offset:offset + 6])
        if length == 0:
            break  # trailing padding
        if length < 6 or offset + length > end:
            raise BadFile("version resource block at byte %d has length %d" % (offset, length))
        node_end = offset + length
        key_end = offset + 6
        while key_end + 1 < node_end and blob[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = blob[offset + 6:key_end].decode("utf-16-le", "replace")
        value_start = min((key_end + 2 + 3) & ~3, node_end)
        if value_length == 0:
            value = "" if value_type == 1 else b""
            children_start = value_start
        elif value_type == 1:
            # text up to its NUL; tools disagree on whether the length counts
            # characters or bytes, so it is not used
            raw = blob[value_start:node_end]
            text_end = len(raw) - len(raw) % 2
            for i in range(0, len(raw) - 1, 2):
                if raw[i:i + 2] == b"\0\0":
                    text_end = i
                    break
            value = raw[:text_end].decode("utf-16-le", "replace")
            children_start = node_end
        else:
            value = blob[value_start:min(value_start + value_length, node_end)]
            children_start = (value_start + value_length + 3) & ~3
        yield depth, key, value_type, value
        if depth < 3 and children_start < node_end:
            yield from version_nodes(blob, children_start, node_end, depth + 1)
        offset = (node_end + 3) & ~3


def parse_version(pe, resources):
    blob = pe.resource_data(one_resource(resources, RT_VERSION, 1, "RT_VERSION 1"))
    if len(blob) < 6:
        raise BadFile("version resource is %d bytes" % len(blob))
    info = {"strings": {}, "tables": [], "translations": [], "fixed": None}
    for depth, key, value_type, value in version_nodes(blob, 0, len(blob)):
        if depth == 0:
            if key != "VS_VERSION_INFO":
                raise BadFile("version resource starts with %r" % key)
            if len(value) >= 52 and struct.unpack("<I", value[:4])[0] == 0xFEEF04BD:
                ms, ls = struct.unpack("<II", value[8:16])
                info["fixed"] = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        elif depth == 2 and value_type == 0 and key == "Translation":
            for i in range(0, len(value) - 3, 4):
                lang, codepage = struct.unpack("<HH", value[i:i + 4])
                info["translations"].append("%04X%04X" % (lang, codepage))
        elif depth == 2:
            info["tables"].append(key.upper())
        elif depth == 3:
            info["strings"][key] = value
    return info


def check_version_strings(info):
    strings = info["strings"]
    problems = []
    for key, want in (("ProductName", PRODUCT_NAME), ("FileVersion", FILE_VERSION)):
        if strings.get(key) != want:
            problems.append("%s is %r, expected %r" % (key, strings.get(key), want))
    if problems:
        raise BadFile("; ".join(problems))
    return "ProductName %r, FileVersion %r" % (PRODUCT_NAME, FILE_VERSION)


def check_version_consistency(info):
    problems = []
    if info["fixed"] != FILE_VERSION:
        problems.append("fixed FILEVERSION is %s, expected %s" % (info["fixed"], FILE_VERSION))
    if not info["tables"] or not set(info["tables"]) <= set(info["translations"]):
        problems.append("string tables %s not all listed in Translation %s"
                        % (info["tables"] or "none", info["translations"] or "none"))
    if problems:
        raise BadFile("; ".join(problems))
    return "FILEVERSION %s, string table %s matches Translation" % (
        info["fixed"], ",".join(info["tables"]))


def check_rcdata(pe, resources):
    data = pe.resource_data(one_resource(resources, RT_RCDATA, 201, "RCDATA 201"))
    if not data:
        raise BadFile("empty")
    return "%d bytes" % len(data)


def check_imported_libraries(pe):
    problems = []
    for what, found, want in (("imports", [name for name, _, _ in pe.imports()], EXPECTED_IMPORTS),
                              ("delay-imports", pe.delay_imports(), EXPECTED_DELAY_IMPORTS)):
        found = sorted({name.lower() for name in found})
        extra = [n for n in found if n not in want]
        missing = [n for n in want if n not in found]
        if extra or missing:
            problems.append("%s %s, expected %s" % (what, ", ".join(found) or "nothing",
                                                    ", ".join(want) or "nothing"))
    if problems:
        raise BadFile("; ".join(problems))
    return "%d known libraries, nothing delay-imported" % len(EXPECTED_IMPORTS)


def check_import_slots(pe):
    section = pe.import_section()
    if section is None:
        raise BadFile("the image has no import directory")
    filled = {}
    for name, first, count in pe.imports():
        for i in range(count):
            filled[first + pe.pointer_size * i] = name
    references = pe.code_references(section)
    bad = {}
    stubs = 0
    for code_rva, slot in sorted(references):
        if slot in filled:
            continue
        held = pe.pointer(slot) if slot % pe.pointer_size == 0 else 0
        if held and pe.loads_address(held - pe.image_base, slot):
            stubs += 1
            continue
        bad.setdefault(slot, []).append(code_rva)
    if bad:
        raise BadFile("%d slots that no loader fills, each holding no binding stub: %s" % (
            len(bad), "; ".join("RVA 0x%x (held 0x%x) used at %s" % (
                slot, pe.pointer(slot) if slot % pe.pointer_size == 0 else 0,
                ", ".join("0x%x" % c for c in codes[:3]) + (", ..." if len(codes) > 3 else ""))
                for slot, codes in sorted(bad.items()))))
    if not references:
        raise BadFile("no code refers to the import section (the scan missed the calls)")
    return "%d references from code, every slot filled by the loader%s" % (
        len(references), " or holding its binding stub (%d)" % stubs if stubs else "")


# --------------------------------------------------------------------------


def run(path, machine, results):
    def report(label, func, *args):
        try:
            results.record(label, True, func(*args))
        except BadFile as e:
            results.record(label, False, str(e))
        except (struct.error, IndexError, ValueError, UnicodeError) as e:
            results.record(label, False, "malformed data (%s)" % e)

    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        results.record("read", False, "cannot read %s: %s" % (path, e.strerror or e))
        return
    try:
        pe = PeImage(data)
    except BadFile as e:
        results.record("headers", False, "%s is not a usable PE image: %s" % (path, e))
        return
    except (struct.error, IndexError, ValueError) as e:
        results.record("headers", False,
                       "%s is not a usable PE image: malformed headers (%s)" % (path, e))
        return

    def parse(func, *args):
        try:
            return func(*args)
        except BadFile as e:
            return e
        except (struct.error, IndexError, ValueError, UnicodeError) as e:
            return BadFile("malformed data (%s)" % e)

    def given(value, func):
        """Runs func on a parsed value, or re-raises the parse failure."""
        if isinstance(value, BadFile):
            raise value
        return func(value)

    report("machine", check_machine, pe, machine)
    report("optional header", check_optional_header, pe, machine)
    report("subsystem", check_subsystem, pe)

    exports = parse(pe.exports)
    for name in GPU_EXPORTS:
        report("export " + name, check_gpu_export, pe, exports, name)

    resources = parse(pe.resources)
    report("icon group 1", check_icon_group, pe, resources)

    manifest = parse(parse_manifest, pe, resources)
    for label, func in (("manifest execution level", check_manifest_execution),
                        ("manifest identity", check_manifest_identity),
                        ("manifest longPathAware", check_manifest_long_paths),
                        ("manifest supportedOS", check_manifest_supported_os),
                        ("manifest common controls", check_manifest_common_controls),
                        ("manifest DPI", check_manifest_no_dpi)):
        report(label, given, manifest, func)

    version = parse(parse_version, pe, resources)
    report("version strings", given, version, check_version_strings)
    report("version numbers", given, version, check_version_consistency)

    report("RCDATA 201", check_rcdata, pe, resources)
    report("imported libraries", check_imported_libraries, pe)
    report("import slots", check_import_slots, pe)


def main():
    parser = argparse.ArgumentParser(description="Check the built client executable.")
    parser.add_argument("exe", help="path of TavrensilClient.exe")
    parser.add_argument("--machine", required=True, choices=sorted(MACHINES),
                        help="expected architecture")
    args = parser.parse_args()
    results = harness.Results()
    run(args.exe, args.machine, results)
    return results.summary()


if __name__ == "__main__":
    sys.exit(main())
