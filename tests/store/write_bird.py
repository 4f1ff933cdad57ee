#!/usr/bin/python3
"""Writes BIRD files straight from the format description, independently of
the C++ reader, so a mistake shared by our writer and reader cannot hide.

  write_bird.py spec SPEC.json OUT       one file from a JSON description
  write_bird.py random SEED COUNT DIR    COUNT random files plus DIR/expected.txt

expected.txt says what a reader must find, per file:
  file NAME AREA_SIZE CHECKSUM BLOCKS
  block TYPE FLAGS LENGTH ADDRESS DATA_HEX      (one line per block, in order)
  info BUILD VERSION SERIAL MODEL               (when the file has an info block)

A JSON description holds "blocks", a list of
  {"type": T, "flags": F, "address": A, "image": HEX}   loader (0) / firmware (1)
  {"type": 4, "info": [build, version, serial, model]}   info fields, space padded
  {"type": T, "flags": F, "data": HEX}                   anything else, verbatim
and optionally "signature" (text), "version" ([b4, b5]), "count" (declared
count instead of the real one), "checksum" (a number instead of the CRC-32),
"trailing" (HEX appended to the block area), "cut_area" (bytes dropped from the
end of the block area), "raw_area" (HEX: the whole block area verbatim),
"raw_stream" (HEX: the bytes after the header verbatim), "level" (zlib level).
"""
import json
import os
import random
import struct
import sys
import zlib


def block_bytes(block):
    kind = block["type"]
    flags = block.get("flags", 0)
    if "image" in block:
        body = struct.pack(">I", block.get("address", 0)) + bytes.fromhex(block["image"])
    elif "info" in block:
        body = b"".join(field.encode("ascii").ljust(16, b" ")[:16] for field in block["info"])
    else:
        body = bytes.fromhex(block.get("data", ""))
    return bytes([(kind & 0x1F) | ((flags & 0x07) << 5)]) + struct.pack(">I", len(body)) + body


def block_area(spec):
    if "raw_area" in spec:
        return bytes.fromhex(spec["raw_area"])
    blocks = spec.get("blocks", [])
    area = struct.pack(">I", spec.get("count", len(blocks)))
    area += b"".join(block_bytes(b) for b in blocks)
    checksum = spec.get("checksum", zlib.crc32(area) & 0xFFFFFFFF)
    area += struct.pack(">I", checksum)
    area += bytes.fromhex(spec.get("trailing", ""))
    cut = spec.get("cut_area", 0)
    return area[:len(area) - cut] if cut else area


def file_bytes(spec):
    header = spec.get("signature", "bird").encode("latin-1")
    header += bytes(spec.get("version", [1, 1]))
    if "raw_stream" in spec:
        return header + bytes.fromhex(spec["raw_stream"])
    return header + zlib.compress(block_area(spec), spec.get("level", 6))


def random_spec(rng):
    blocks, expected = [], []
    if rng.random() < 0.8:
        info = [str(rng.randrange(1, 10**9)), "%d.%d.%d" % (rng.randrange(10), rng.randrange(100), rng.randrange(1000)),
                "%08X" % rng.randrange(1 << 32), rng.choice(["Corvane", "Belmoth", "Dravik", "X"])]
        blocks.append({"type": 4, "info": info})
    for _ in range(rng.randrange(0, 5)):
        kind = rng.choice([0, 1, 1, 2, 5, 7])
        flags = rng.randrange(8)
        if kind in (0, 1):
            image = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 300)))
            blocks.append({"type": kind, "flags": flags, "address": rng.randrange(1 << 32), "image": image.hex()})
        else:
            data = bytes(rng.randrange(256) for _ in range(rng.choice([4, 8, 8, 12, 0])))
            blocks.append({"type": kind, "flags": flags, "data": data.hex()})
    return {"blocks": blocks, "level": rng.randrange(0, 10)}


def describe(name, spec):
    area = block_area(spec)
    lines = ["file %s %d %d %d" % (name, len(area), struct.unpack(">I", area[-4:])[0], len(spec["blocks"]))]
    for block in spec["blocks"]:
        raw = block_bytes(block)
        address = block.get("address", 0) if block["type"] in (0, 1) else 0
        lines.append("block %d %d %d %d %s" % (block["type"], block.get("flags", 0), len(raw) - 5, address,
                                               raw[5:].hex() or "-"))
    info = next((b["info"] for b in spec["blocks"] if "info" in b), None)
    if info:
        lines.append("info " + " ".join(info))
    return lines


def main(argv):
    if len(argv) == 4 and argv[1] == "spec":
        with open(argv[2]) as f:
            spec = json.load(f)
        with open(argv[3], "wb") as f:
            f.write(file_bytes(spec))
        return 0
    if len(argv) == 5 and argv[1] == "random":
        rng = random.Random(int(argv[2]))
        directory = argv[4]
        expected = []
        for i in range(int(argv[3])):
            spec = random_spec(rng)
            name = "random%03d.bird" % i
            with open(os.path.join(directory, name), "wb") as f:
                f.write(file_bytes(spec))
            expected += describe(name, spec)
        with open(os.path.join(directory, "expected.txt"), "w") as f:
            f.write("\n".join(expected) + "\n")
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
