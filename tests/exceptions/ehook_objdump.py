#!/usr/bin/env python3
"""Lists every instruction of a PE module's code as binutils' objdump decodes
it, for the instruction-length decoder's test.

    ehook_objdump.py OBJDUMP MODULE OUTPUT

OUTPUT holds one line "S <file offset> <size>" per code section, then one
line "<file offset> <length>" per instruction that objdump decodes (the
runs of zero bytes that objdump skips and the bytes it cannot decode are
left out, and so are the constructor lists and exception tables that the
linker places among the code)."""
import re
import struct
import subprocess
import sys

# Data that the linker places among the code: constructor and destructor
# lists and the exception tables of the C++ runtime.
DATA_LABELS = re.compile(r"^[0-9a-f]+ <(\.gcc_except_table|\.ctors|\.dtors|_*CTOR_LIST__|_*DTOR_LIST__)[^>]*>:$")
LABEL = re.compile(r"^[0-9a-f]+ <.*>:$")
LINE = re.compile(r"^\s*([0-9a-f]+):\t([0-9a-f]{2}(?: [0-9a-f]{2})*)\s*(?:\t(.*))?$")


def code_sections(image):
    (nt,) = struct.unpack_from("<I", image, 0x3C)
    if image[nt:nt + 4] != b"PE\0\0":
        raise SystemExit("not a PE image")
    count, = struct.unpack_from("<H", image, nt + 6)
    optional_size, = struct.unpack_from("<H", image, nt + 20)
    optional = nt + 24
    magic, = struct.unpack_from("<H", image, optional)
    if magic == 0x20B:
        (image_base,) = struct.unpack_from("<Q", image, optional + 24)
    else:
        (image_base,) = struct.unpack_from("<I", image, optional + 28)
    sections = []
    table = optional + optional_size
    for i in range(count):
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", image, table + 40 * i + 8)
        (flags,) = struct.unpack_from("<I", image, table + 40 * i + 36)
        if flags & 0x20:  # IMAGE_SCN_CNT_CODE
            size = min(virtual_size, raw_size) if virtual_size else raw_size
            sections.append((image_base + rva, raw_offset, size))
    return sections


def main():
    objdump, module, output = sys.argv[1:4]
    with open(module, "rb") as f:
        image = f.read()
    sections = code_sections(image)
    listing = subprocess.run([objdump, "-d", "--insn-width=16", module], check=True,
                             capture_output=True, text=True).stdout
    lines = ["S %d %d" % (offset, size) for _, offset, size in sections]
    count = 0
    in_data = False
    for text in listing.splitlines():
        if LABEL.match(text):
            in_data = bool(DATA_LABELS.match(text))
            continue
        m = LINE.match(text)
        if not m or m.group(3) is None:
            continue
        if in_data or "(bad)" in m.group(3):
            continue
        address = int(m.group(1), 16)
        length = len(m.group(2).split())
        for vma, offset, size in sections:
            if vma <= address < vma + size:
                lines.append("%d %d" % (offset + address - vma, length))
                count += 1
                break
    if count == 0:
        raise SystemExit("objdump listed no instructions of " + module)
    with open(output, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
