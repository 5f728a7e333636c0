#!/usr/bin/env python3
"""Gives every global and weak symbol an ELF object defines hidden
visibility, in place.

The musl build's programs link zig's compiler_rt made so (see
cmake/KivMuslBuiltins.cmake): a hidden helper is neither exported nor kept
by the linker when nothing in the program calls it.

Usage: elf-hide-symbols.py OBJECT
"""
import struct
import sys

SHT_SYMTAB = 2
STV_DEFAULT, STV_HIDDEN = 0, 2
STB_GLOBAL, STB_WEAK = 1, 2


def symbol_entries(data):
    """Offsets of the symbol table entries of a 32-bit little-endian ELF object."""
    if data[:6] != b"\x7fELF\x01\x01":
        raise ValueError("not a 32-bit little-endian ELF object")
    shoff, = struct.unpack_from("<I", data, 32)
    shentsize, shnum = struct.unpack_from("<HH", data, 46)
    for header in range(shoff, shoff + shnum * shentsize, shentsize):
        kind, = struct.unpack_from("<I", data, header + 4)
        if kind == SHT_SYMTAB:
            offset, size, _, _, entsize = struct.unpack_from("<IIIII", data, header + 16)
            yield from range(offset, offset + size, entsize)


def hide(path):
    data = bytearray(open(path, "rb").read())
    changed = 0
    for entry in symbol_entries(data):
        info, other, shndx = struct.unpack_from("<BBH", data, entry + 12)
        if (info >> 4) in (STB_GLOBAL, STB_WEAK) and shndx != 0 and other & 3 == STV_DEFAULT:
            data[entry + 13] = (other & ~3) | STV_HIDDEN
            changed += 1
    if changed == 0:
        raise ValueError("%s defines no visible symbol" % path)
    open(path, "wb").write(data)
    return changed


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print("%s: %d symbols hidden" % (sys.argv[1], hide(sys.argv[1])))
