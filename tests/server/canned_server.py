"""A minimal HTTP server for the client tests, built on Python's http.server.

Usage: canned_server.py ANSWERS.json
       canned_server.py --silent

Requests are numbered from 1 and printed as "REQUEST <n> <path>".
ANSWERS maps an "op" value to {"status": int, "body": str, "stall": bool,
"trickle": bool, "repeat": int, "cut": int}. "stall" sends the headers and the first half of the body,
then goes silent until the client hangs up; "trickle" sends the body one byte
every 0.2 s; "cut" announces the whole body but sends only its first
"cut" bytes, then closes the connection; "repeat" sends it that many times without a Content-Length. "*" answers every other op. --silent accepts connections and never sends.
"""
import itertools
import json
import socket
import sys
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def say(text):
    print(text, flush=True)


def silent():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    say("listening on %d" % listener.getsockname()[1])
    held = []
    while True:
        conn, _ = listener.accept()
        held.append(conn)  # keep it open, never answer
        say("ACCEPTED")


def serve(answers):
    counter = itertools.count(1)

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            say("REQUEST %d %s" % (next(counter), self.path))
            query = urllib.parse.urlsplit(self.path).query
            op = urllib.parse.parse_qs(query).get("op", [""])[0]
            answer = answers.get(op, answers.get("*", {"status": 404, "body": "no such op\n"}))
            body = answer.get("body", "").encode()
            self.send_response(answer.get("status", 200))
            self.send_header("Content-Type", "text/plain")
            if answer.get("stall"):
                self.send_header("Content-Length", str(len(body) + 100000))
                self.end_headers()
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                self.close_connection = True
                # Silent until the client gives up and closes its end.
                try:
                    while self.connection.recv(4096):
                        pass
                except OSError:
                    pass
                say("CLIENT HUNG UP")
                return
            cut = answer.get("cut", -1)
            if cut >= 0:
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body[:cut])
                self.wfile.flush()
                self.close_connection = True
                return
            repeat = answer.get("repeat", 1)
            if repeat == 1:
                self.send_header("Content-Length", str(len(body)))
            self.close_connection = repeat != 1  # the end of the body is the end of the connection
            self.end_headers()
            for _ in range(repeat):
                if answer.get("trickle"):
                    for i in range(len(body)):
                        self.wfile.write(body[i : i + 1])
                        self.wfile.flush()
                        time.sleep(0.2)
                else:
                    self.wfile.write(body)
            if answer.get("trickle"):
                say("TRICKLE DONE")

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    say("listening on %d" % server.server_address[1])
    server.serve_forever()


if __name__ == "__main__":
    if sys.argv[1] == "--silent":
        silent()
    else:
        with open(sys.argv[1]) as f:
            serve(json.load(f))
