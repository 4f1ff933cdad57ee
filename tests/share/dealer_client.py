#!/usr/bin/python3
"""An independent client of the networked-link server: ZeroMQ DEALER sockets
sending raw packet frames (address, dataSize, data) and checking the frames
that come back byte for byte, against replies the module gives on a direct
TCP connection of its own.

    dealer_client.py CASE SERVER_PORT SIM_PORT SIM_CONTROL_PORT MODULE_ADDRESS

Exits 0 when the case holds; prints what went wrong otherwise.

Keys (CurveZMQ, as the server demands): CLIENT_KEYS is "owner" (default: the
calling user's client.key_secret under $XDG_CONFIG_HOME/tarnix/share), "fresh"
(a pair made here, known to nobody), "none" (no security at all) or the path
of a secret certificate; the server's key is SERVER_KEY (Z85) or the owner's
server.key. SERVER_ADDRESS is where the server listens (default loopback)."""
import os
import socket
import struct
import sys
import time

import zmq
import zmq.auth

WAIT_MS = 5000
CASE, SERVER, SIM, CONTROL, MODULE = sys.argv[1], *map(int, sys.argv[2:6])
ctx = zmq.Context()


def fail(text):
    print("FAIL", CASE, text)
    sys.exit(1)


KEYS = os.path.join(os.environ.get("XDG_CONFIG_HOME", ""), "tarnix", "share")
HOST = os.environ.get("SERVER_ADDRESS", "127.0.0.1")


def client_keys():
    which = os.environ.get("CLIENT_KEYS", "owner")
    if which == "none":
        return None
    if which == "fresh":
        return zmq.curve_keypair()
    return zmq.auth.load_certificate(os.path.join(KEYS, "client.key_secret") if which == "owner" else which)


def dealer():
    s = ctx.socket(zmq.DEALER)
    s.setsockopt(zmq.LINGER, 0)
    keys = client_keys()
    if keys is not None:
        server = os.environ.get("SERVER_KEY", "").encode() or \
            zmq.auth.load_certificate(os.path.join(KEYS, "server.key"))[0]
        s.curve_serverkey, s.curve_publickey, s.curve_secretkey = server, keys[0], keys[1]
    s.connect("tcp://%s:%d" % (HOST, SERVER))
    return s


def packet(address, data):
    return bytes([address, len(data)]) + bytes(data)


def recv(sock, wait=WAIT_MS, skip_stream=True):
    """The next frame, leaving out streaming frames unless asked for them."""
    deadline = time.monotonic() + wait / 1000
    while True:
        left = int((deadline - time.monotonic()) * 1000)
        if left <= 0 or not sock.poll(left):
            fail("no frame within %d ms" % wait)
        frame = sock.recv()
        if skip_stream and is_stream(frame):
            continue
        return frame


def split(frame):
    out, at = [], 0
    while at + 2 <= len(frame) and at + 2 + frame[at + 1] <= len(frame):
        out.append(frame[at:at + 2 + frame[at + 1]])
        at += 2 + frame[at + 1]
    return out if at == len(frame) else None


def is_stream(frame):
    packets = split(frame)
    return bool(packets) and all(len(p) > 6 and (p[3] & 0xC0) == 0 and (p[4] & 0x40) for p in packets)


class Direct:
    """The module on a TCP connection of its own: what the right reply is."""

    def __init__(self):
        self.s = socket.create_connection(("127.0.0.1", SIM), timeout=5)
        self.buf = b""

    def ask(self, data):
        self.s.sendall(packet(MODULE, data))
        while True:
            while len(self.buf) >= 2 and len(self.buf) >= 2 + self.buf[1]:
                p, self.buf = self.buf[:2 + self.buf[1]], self.buf[2 + self.buf[1]:]
                if not (len(p) == 4 and p[2] == 0):  # heartbeats
                    return p
            self.buf += self.s.recv(4096)


def control(line):
    with socket.create_connection(("127.0.0.1", CONTROL), timeout=5) as c:
        c.sendall((line + "\n").encode())
        answer = c.makefile().readline()
    if not answer.startswith("ok"):
        fail("control %r: %s" % (line, answer))
    return answer


def until_status(text, what):
    """Waits (bounded) until the module's status line holds text."""
    deadline = time.monotonic() + WAIT_MS / 1000
    while text not in control("status bench"):
        if time.monotonic() > deadline:
            fail("never: " + what)
        time.sleep(0.01)


def expect(sock, want, what):
    got = recv(sock)
    if got != want:
        fail("%s: got %s want %s" % (what, got.hex(), want.hex()))


GET_SERIAL, GET_MODEL, GET_VERSION, GET_BUILD = [3, 0x49, 0x20], [3, 0x48, 0x20], [3, 0x41, 0x20], [3, 0x42, 0x20]
STREAM_UPTIME = [93, 0x81, 0x20, MODULE, 3, 22, 0]


def interleaved():
    a, b, direct = dealer(), dealer(), Direct()
    asks = [(a, GET_SERIAL), (b, GET_MODEL), (a, GET_VERSION), (b, GET_SERIAL), (a, GET_MODEL), (b, GET_BUILD)]
    for sock, data in asks:
        sock.send(packet(MODULE, data))
    for sock, data in asks:
        expect(sock, direct.ask(data), "reply to %s" % bytes(data).hex())


def sizes():
    a, direct = dealer(), Direct()
    a.send(bytes([MODULE, 28]) + bytes(29))  # 31 bytes: dropped
    a.send(bytes([MODULE, 5, 3, 0x49]))  # claims more data than it carries: dropped
    a.send(b"")  # empty: dropped
    a.send_multipart([packet(MODULE, GET_MODEL), packet(MODULE, GET_MODEL)])  # two frames: dropped
    a.send(packet(MODULE, GET_SERIAL))
    expect(a, direct.ask(GET_SERIAL), "the first frame answered")
    a.send(bytes([0xAD, 0]))  # 2 bytes: a zero-length packet (a synchronisation request)
    expect(a, bytes([MODULE, 0]), "zero-length packet")
    a.send(packet(MODULE, GET_MODEL) + b"\x99")  # extra bytes beyond dataSize are ignored
    expect(a, direct.ask(GET_MODEL), "frame with a trailing byte")


def route_control():
    a, direct = dealer(), Direct()
    a.send(packet(0xAF, [0]))  # route off: not forwarded, never answered
    a.send(packet(MODULE, GET_SERIAL))
    expect(a, direct.ask(GET_SERIAL), "reply after route control")
    print("MARKER")  # the test checks the module never saw route control off


def no_reply():
    a, b, direct = dealer(), dealer(), Direct()
    model, version = direct.ask(GET_MODEL), direct.ask(GET_VERSION)
    control("fault bench drop_replies 1")
    a.send(packet(MODULE, GET_SERIAL))  # dropped by the module
    # b asks only once the module has dropped a's reply, so the drop is a's.
    until_status("drop_replies=0 ", "the module dropped a reply")
    b.send(packet(MODULE, GET_MODEL))
    expect(b, model, "the other client's reply after a dropped request")
    a.send(packet(MODULE, GET_VERSION))
    expect(a, version, "the next reply after a dropped request")


def byte_transfer():
    """A pooled name set from one client with another client's request in between."""
    a, b, direct = dealer(), dealer(), Direct()
    name = b"Shared through the server!!"  # 27 bytes: two chunks of 24 and 3
    set_name = [3, 0x80 | 32, 0x20]
    a.send(packet(MODULE, set_name + list(name[:24]) + [0x80]))
    b.send(packet(MODULE, GET_SERIAL))
    expect(b, direct.ask(GET_SERIAL), "request between the parts of a transfer")
    a.send(packet(MODULE, set_name + list(name[24:]) + [0x01]))
    expect(a, packet(MODULE, [3, 0xC0 | 32, 0]), "set reply")
    a.send(packet(MODULE, [3, 0x40 | 32, 0x20]))
    got = b""
    while True:
        p = recv(a)
        got += p[5:-1]
        if not p[-1] & 0x80:
            break
    if got != name:
        fail("name read back %r" % got)
    # A stray continuation part (no transfer started) is dropped, not waited for.
    a.send(packet(MODULE, set_name + [0x41] * 24 + [0x85]))
    a.send(packet(MODULE, GET_MODEL))
    expect(a, direct.ask(GET_MODEL), "reply after a stray part")


def hostile():
    a, direct = dealer(), Direct()
    flood = dealer()
    junk = [b"\x00\x00\x00", b"\x01\x00\x05", b"\x01", bytes(range(30)), bytes(200), packet(MODULE, GET_SERIAL),
            b"\x05\x01\x03", b"\xad\x01\x00", b"\xaf\x02\x01\x01"]
    for i in range(3000):
        flood.send(junk[i % len(junk)])
    # A client that vanishes with a request in flight.
    gone = dealer()
    gone.send(packet(MODULE, GET_SERIAL))
    gone.close()
    for _ in range(3):
        a.send(packet(MODULE, GET_BUILD))
        expect(a, direct.ask(GET_BUILD), "reply during a flood")


def streaming():
    a, b = dealer(), dealer()
    for sock in (a, b, a):  # a enables twice and is listed once
        sock.send(packet(MODULE, STREAM_UPTIME))
        expect(sock, packet(MODULE, [93, 0xC1, 0]), "stream enable reply")
    stamps = {a: [], b: []}
    deadline = time.monotonic() + 10
    while min(len(v) for v in stamps.values()) < 12 and time.monotonic() < deadline:
        for sock in (a, b):
            while sock.poll(10):
                for p in split(sock.recv()) or []:
                    if len(p) > 13 and (p[4] & 0x40):
                        stamps[sock].append(struct.unpack(">Q", p[6:14])[0])
    for sock, seen in stamps.items():
        print(len(seen), seen[:3], time.monotonic())
        if len(seen) < 12:
            fail("only %d samples" % len(seen))
        if len(set(seen)) != len(seen):
            fail("a sample came twice: %s" % seen)
    first = max(stamps[a][0], stamps[b][0])
    last = min(stamps[a][-1], stamps[b][-1])
    common = [sorted(s for s in seen if first <= s <= last) for seen in stamps.values()]
    if common[0] != common[1] or len(common[0]) < 5:
        fail("clients saw different samples: %s / %s" % tuple(common))
    a.send(packet(MODULE, [93, 0x82, 0x20, MODULE, 3, 22, 0]))


def discovery():
    """Loopback multicast: a searcher's request on the server's slot gets its specifier."""
    answers = []
    for slot in range(50):
        rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            rx.bind(("0.0.0.0", 9850 + slot))
            rx.close()
            continue  # free slot: no server
        except OSError:
            rx.close()
        rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        rx.bind(("0.0.0.0", 9950 + slot))
        mreq = socket.inet_aton("224.0.0.7") + socket.inet_aton("127.0.0.1")
        rx.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
        rx.settimeout(2)
        tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
        tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 0)
        tx.sendto(struct.pack("<I", 0xABCDDCBA), ("224.0.0.7", 9850 + slot))
        try:
            answers.append(rx.recv(256))
        except socket.timeout:
            pass
        rx.close()
        tx.close()
    specs = [struct.unpack("<6I", s[:24]) + (socket.inet_ntoa(s[24:28]), struct.unpack("<I", s[28:32])[0])
             for s in answers if len(s) == 128]
    want = (6, 0x1234ABCD, MODULE, 0, 0, 17, "127.0.0.1", SERVER)
    if want not in specs:
        fail("specifiers %s, want %s" % (specs, want))
    try:  # served on loopback only
        socket.create_connection(("10.77.0.1", SERVER), timeout=5).close()
        fail("the local-only server accepts connections on 10.77.0.1")
    except ConnectionRefusedError:
        pass


def beacons():
    """A server that is not local-only answers a searcher's beacon with its specifier
    (run where v0 is 10.77.0.1/24, inside the private namespace)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("0.0.0.0", 8585))
    s.settimeout(0.1)
    specs = set()
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and not specs:
        s.sendto(b"Tarnix2-Discovery", ("10.77.0.255", 8585))
        try:
            while True:
                data = s.recv(512)
                if len(data) == 128:
                    specs.add(struct.unpack("<6I", data[:24]) + (socket.inet_ntoa(data[24:28]),
                                                                   struct.unpack("<I", data[28:32])[0]))
        except socket.timeout:
            pass
    host = os.environ["SERVER_ADDRESS"]
    want = (6, 0x1234ABCD, MODULE, 0, 0, 17, host, SERVER)
    if want not in specs:
        fail("beacons %s, want %s" % (specs, want))
    direct = Direct()
    a = dealer()  # SERVER_ADDRESS: through the announced address
    a.send(packet(MODULE, GET_SERIAL))
    expect(a, direct.ask(GET_SERIAL), "reply through the announced address")


def access():
    """One request: answered when EXPECT is "answered", never when "refused"."""
    a = dealer()
    a.send(packet(MODULE, GET_SERIAL))
    if os.environ["EXPECT"] == "answered":
        expect(a, Direct().ask(GET_SERIAL), "the allowed client's request")
    elif a.poll(3000):
        fail("a refused client got %s" % a.recv().hex())


SILENT = 8  # no module answers there


def fairness():
    """Three clients keep 32 requests each queued where nothing answers (one
    kind goes to the module alone, the other beside others); each request of a
    fourth, asking one at a time, is answered within two reply waits. Then the
    three leave (the test watches their queues go)."""
    good, direct = dealer(), Direct()
    hostile = [dealer() for _ in range(3)]
    kinds = [[3], GET_SERIAL, [3]]

    def flood():
        for h, kind in zip(hostile, kinds):
            for _ in range(32):
                h.send(packet(SILENT, kind))

    want = direct.ask(GET_SERIAL)
    flood()
    worst = 0.0
    for n in range(6):
        start = time.monotonic()
        good.send(packet(MODULE, GET_SERIAL))
        expect(good, want, "request %d during the flood" % n)
        took = time.monotonic() - start
        worst = max(worst, took)
        if took > 2 * 2.0:
            fail("request %d answered after %.2f s" % (n, took))
        flood()
    for h in hostile:
        h.close()
    print("worst %.2f s" % worst)


def big_frame():
    """Frames of FRAME_SIZE bytes (default 1 MiB) from four connections at
    once, then an ordinary request."""
    socks = [dealer() for _ in range(4)]
    for s in socks:
        s.send(bytes([MODULE, 28]) + bytes(int(os.environ.get("FRAME_SIZE", 1 << 20)) - 2))
    time.sleep(1)
    for s in socks:
        if s.poll(0):
            fail("an answer to a 1 MiB frame")
    a = dealer()
    a.send(packet(MODULE, GET_SERIAL))
    expect(a, Direct().ask(GET_SERIAL), "request after the big frames")


globals()[CASE]()
print("OK", CASE)
