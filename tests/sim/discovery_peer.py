"""Runs inside a private network namespace (scripts/netns-run.sh): starts the
simulator with the discovery responder, sends the 16-byte Ethernet discovery
request to 232.2.2.2:9888 through v0 and checks every 16-byte reply on port
9889, then connects to the TCP port a reply names.
Usage: discovery_peer.py SIM_BINARY CONFIG"""
import socket
import struct
import subprocess
import sys

IFACE = "10.77.0.1"


def main():
    sim_bin, config = sys.argv[1], sys.argv[2]
    sim = subprocess.Popen([sim_bin, "--discovery", "--bind", IFACE, "--control-port", "off", config],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        ports = {}
        for line in sim.stdout:
            words = line.split()
            if words[:1] == ["module"] and words[2] == "tcp":
                ports[words[1]] = int(words[3].rsplit(":", 1)[1])
            if line.strip() == "READY":
                break
        assert len(ports) == 2, "simulator did not come up: %s" % ports

        listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("0.0.0.0", 9889))
        listener.settimeout(2.0)
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(IFACE))
        sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        # Something that is not a request gets no answer; the request does.
        sender.sendto(bytes([2] + [0] * 15), ("232.2.2.2", 9888))
        sender.sendto(bytes([1] + [0] * 15), ("232.2.2.2", 9888))
        replies = []
        try:
            while True:
                data, (ip, _) = listener.recvfrom(64)
                replies.append((data, ip))
        except socket.timeout:
            pass
        assert len(replies) == 2, "want 2 replies, got %d" % len(replies)
        seen = {}
        for data, ip in replies:
            assert len(data) == 16, "reply of %d bytes" % len(data)
            assert ip == IFACE, "reply from %s" % ip
            address, port, serial = data[1], struct.unpack("<H", data[2:4])[0], struct.unpack("<I", data[4:8])[0]
            seen[serial] = (address, port, data[12])
        want = {0x1234ABCD: (4, ports["alpha"], 17), 0x00C0FFEE: (6, ports["beta"], 21)}
        assert seen == want, "replies %s, want %s" % (seen, want)

        # The port in the reply reaches the module.
        conn = socket.create_connection((IFACE, ports["beta"]), timeout=5)
        conn.sendall(bytes([6, 3, 3, 0x49, 0x20]))
        got = b""
        while len(got) < 9:
            chunk = conn.recv(64)
            assert chunk, "connection closed"
            got += chunk
        assert got[:9] == bytes([6, 7, 3, 9, 0, 0x00, 0xC0, 0xFF, 0xEE]), got.hex()
        conn.close()
        print("discovery peer: replies as expected")
    finally:
        sim.terminate()
        sim.wait(10)


if __name__ == "__main__":
    try:
        main()
    except AssertionError as e:
        print("discovery peer: FAILED: %s" % e)
        sys.exit(1)
