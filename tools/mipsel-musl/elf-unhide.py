#!/usr/bin/env python3
"""Gives the hidden global and weak symbols of the ELF objects in static
archives default visibility, in place.

Zig builds its C++ runtime archives (libc++, libc++abi, libunwind) with
hidden visibility, meant to be linked into each module. Linked whole into
one shared libc++.so.1 instead, their symbols must be exported, or a type
thrown in one library is not caught by its type in another.

Usage: elf-unhide.py ARCHIVE...
"""
import struct
import sys

SHT_SYMTAB = 2
STV_HIDDEN = 2
STB_GLOBAL, STB_WEAK = 1, 2


def unhide_object(data, start):
    """Patches the ELF32 little-endian object at data[start:]; returns the count."""
    if data[start:start + 6] != b"\x7fELF\x01\x01":
        raise ValueError("not a 32-bit little-endian ELF object at offset %d" % start)
    shoff, = struct.unpack_from("<I", data, start + 32)
    shentsize, shnum = struct.unpack_from("<HH", data, start + 46)
    changed = 0
    for index in range(shnum):
        header = start + shoff + index * shentsize
        kind, = struct.unpack_from("<I", data, header + 4)
        if kind != SHT_SYMTAB:
            continue
        offset, size, link, _, entsize = struct.unpack_from("<IIIII", data, header + 16)
        names, = struct.unpack_from("<I", data, start + shoff + link * shentsize + 16)
        for entry in range(start + offset, start + offset + size, entsize):
            name, = struct.unpack_from("<I", data, entry)
            info, other, shndx = struct.unpack_from("<BBH", data, entry + 12)
            bound = (info >> 4) in (STB_GLOBAL, STB_WEAK)
            # DW.ref.* are the unwinder's per-module references to the
            # personality routine: they must stay module-local.
            local_by_nature = data.startswith(b"DW.ref.", start + names + name)
            if bound and shndx != 0 and other & 3 == STV_HIDDEN and not local_by_nature:
                data[entry + 13] = other & ~3
                changed += 1
    return changed


def unhide_archive(path):
    data = bytearray(open(path, "rb").read())
    if data[:8] != b"!<arch>\n":
        raise ValueError("%s is not an archive" % path)
    position, changed = 8, 0
    while position + 60 <= len(data):
        size = int(data[position + 48:position + 58].decode())
        body = position + 60
        # The symbol index and the long-name table are not ELF objects.
        if data[body:body + 4] == b"\x7fELF":
            changed += unhide_object(data, body)
        position = body + size + (size & 1)
    open(path, "wb").write(data)
    return changed


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    for archive in sys.argv[1:]:
        print("%s: %d symbols made visible" % (archive, unhide_archive(archive)))
