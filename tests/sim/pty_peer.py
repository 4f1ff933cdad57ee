"""Talks to a module over the simulator's pseudo-terminal with serial framing
(COBS over the packet and its CRC-8/MAXIM, then 0x00), checking exact replies.
Usage: pty_peer.py PTY_PATH ADDRESS SERIAL_HEX"""
import os
import select
import sys
import termios
import tty

import crcmod.predefined

crc8 = crcmod.predefined.mkPredefinedCrcFun("crc-8-maxim")


def cobs_encode(data):
    out, block = bytearray(), bytearray()
    for b in data:
        if b == 0:
            out.append(len(block) + 1)
            out += block
            block = bytearray()
        else:
            block.append(b)
            if len(block) == 254:
                out.append(255)
                out += block
                block = bytearray()
    out.append(len(block) + 1)
    out += block
    return bytes(out)


def cobs_decode(enc):
    out, i = bytearray(), 0
    while i < len(enc):
        code = enc[i]
        if code == 0 or i + code > len(enc):
            raise AssertionError("bad COBS block %s" % enc.hex())
        out += enc[i + 1:i + code]
        i += code
        if code < 255 and i < len(enc):
            out.append(0)
    return bytes(out)


class Port:
    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        termios.tcflush(self.fd, termios.TCIOFLUSH)
        self.pending = bytearray()

    def send(self, address, data, corrupt=False):
        raw = bytes([address, len(data)]) + bytes(data)
        crc = crc8(raw) ^ (0x01 if corrupt else 0)
        os.write(self.fd, cobs_encode(raw + bytes([crc])) + b"\x00")

    def frame(self, timeout=5.0):
        while b"\x00" not in self.pending:
            r, _, _ = select.select([self.fd], [], [], timeout)
            if not r:
                raise AssertionError("no frame within %.1f s" % timeout)
            self.pending += os.read(self.fd, 4096)
        end = self.pending.index(0)
        enc = bytes(self.pending[:end])
        del self.pending[:end + 1]
        return enc

    def packet(self, keep_heartbeats=False):
        while True:
            enc = self.frame()
            if not enc:
                continue
            dec = cobs_decode(enc)
            assert len(dec) >= 3 and len(dec) == dec[1] + 3, "bad frame length %s" % dec.hex()
            assert crc8(dec[:-1]) == dec[-1], "bad CRC in %s" % dec.hex()
            pkt = dec[:-1]
            if not keep_heartbeats and len(pkt) == 4 and pkt[2] == 0:
                continue
            return bytes([pkt[0]]) + pkt[2:]

    def ask(self, address, data):
        self.send(address, data)
        return self.packet()


def expect(got, want, what):
    if got != bytes(want):
        raise AssertionError("%s: got %s, want %s" % (what, got.hex(" "), bytes(want).hex(" ")))


def main():
    path, address, serial = sys.argv[1], int(sys.argv[2], 0), int(sys.argv[3], 16)
    port = Port(path)
    expect(port.ask(0xAD, []), [address], "synchronisation")
    expect(port.ask(address, [3, 0x49, 0x20]), [address, 3, 9, 0] + list(serial.to_bytes(4, "big")), "serial")
    # A frame with a wrong CRC is dropped; the next request is answered.
    port.send(address, [23, 1], corrupt=True)
    expect(port.ask(address, [23, 2]), [address, 23, 2], "echo after a bad frame")
    # A full packet (28 data bytes) both ways; zero bytes inside are stuffed.
    echo = [23] + [0 if i % 5 == 0 else i for i in range(27)]
    expect(port.ask(address, echo), [address] + echo, "28-byte echo")
    # Names come as byte sequences with trailers.
    expect(port.ask(address, [3, 0xA0, 0x20] + list(b"pty module") + [0x00]), [address, 3, 0xE0, 0], "set name")
    expect(port.ask(address, [3, 0x60, 0x20]), [address, 3, 32, 0] + list(b"pty module") + [0x00], "get name")
    # Heartbeats arrive framed too, and the answer is recorded.
    expect(port.ask(address, [3, 0x83, 0x20, 1]), [address, 3, 0xC3, 0], "heartbeat interval")
    while True:
        pkt = port.packet(keep_heartbeats=True)
        if len(pkt) == 3 and pkt[1] == 0:
            port.send(address, [0, pkt[2] + 2])
            break
    print("pty peer: all exchanges as expected")


if __name__ == "__main__":
    try:
        main()
    except (AssertionError, OSError) as e:
        print("pty peer: FAILED: %s" % e)
        sys.exit(1)
