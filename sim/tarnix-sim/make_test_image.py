#!/usr/bin/python3
"""Makes a test firmware image that carries tarnix-sim's identity record, for
`birdtool pack` (a `firmware ADDRESS FILE` line) or for feeding a module by hand.

  make_test_image.py OUTPUT --version 2.16.1 --build 1234 [--size 4096]
      [--load-address 0x08000000] [--record-offset 64] [--serial-offset 128]
      [--serial 0x0000ABCD]

The record (20 bytes, little-endian) sits at --record-offset: "TNXIDENT", the
packed version, the build, and the target address of the serial-number word
(load address + --serial-offset; give that address to the manifest's
`serial-offsets` line so the updater patches it). The word itself starts as
--serial (default 0xFFFFFFFF, i.e. "not patched")."""
import argparse
import struct
import sys


def pack_version(text):
    major, minor, patch = (int(p) for p in text.split("."))
    if not all(0 <= v <= 255 for v in (major, minor, patch)):
        raise ValueError("version parts are 0..255")
    if major > 2 or (major == 2 and minor > 14):
        return 0x2F << 24 | major << 16 | minor << 8 | patch
    if minor > 15:
        # The short form has 4 bits of minor; the module would report another version.
        raise ValueError("version %s cannot be packed" % text)
    return major << 28 | minor << 24 | patch


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("output")
    p.add_argument("--version", required=True)
    p.add_argument("--build", type=lambda s: int(s, 0), required=True)
    p.add_argument("--size", type=lambda s: int(s, 0), default=4096)
    p.add_argument("--load-address", type=lambda s: int(s, 0), default=0x08000000)
    p.add_argument("--record-offset", type=lambda s: int(s, 0), default=64)
    p.add_argument("--serial-offset", type=lambda s: int(s, 0), default=128)
    p.add_argument("--serial", type=lambda s: int(s, 0), default=0xFFFFFFFF)
    a = p.parse_args()
    if a.record_offset % 4 or a.record_offset + 20 > a.size:
        sys.exit("record offset must be a multiple of 4 inside the image")
    if a.serial_offset % 4 or a.serial_offset + 4 > a.size:
        sys.exit("serial offset must be a multiple of 4 inside the image")
    if a.serial_offset < a.record_offset + 20 and a.serial_offset + 4 > a.record_offset:
        sys.exit("serial word overlaps the identity record")
    image = bytearray((i * 7 + 3) & 0xFF for i in range(a.size))
    image[a.record_offset:a.record_offset + 20] = b"TNXIDENT" + struct.pack(
        "<III", pack_version(a.version), a.build, a.load_address + a.serial_offset)
    image[a.serial_offset:a.serial_offset + 4] = struct.pack("<I", a.serial)
    with open(a.output, "wb") as f:
        f.write(image)


if __name__ == "__main__":
    main()
