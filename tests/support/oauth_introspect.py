"""A token introspection endpoint (RFC 7662) on loopback for tests.

Run as: oauth_introspect.py CONFIG.json. The configuration names the tokens it knows, each
with its user and whether it is active; every other token is inactive. It answers POST
requests of the form token=...; writes its port to the "ready" file once it listens, and
counts the requests it answered in "count" (one line per request, without the token).
"""
import json
import os
import signal
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs


def main():
    with open(sys.argv[1]) as f:
        config = json.load(f)
    tokens = config["tokens"]
    count_path = config["count"]
    lock = threading.Lock()

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0") or 0)
            form = parse_qs(self.rfile.read(length).decode("utf-8", "replace"))
            token = form.get("token", [""])[0]
            known = tokens.get(token)
            if known and known.get("active"):
                answer = {"active": True, "username": known["user"], "scope": "mail"}
            else:
                answer = {"active": False}
            data = json.dumps(answer).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
            with lock, open(count_path, "a") as out:
                out.write("active\n" if answer["active"] else "inactive\n")

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    ready = config["ready"]
    with open(ready + ".tmp", "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.rename(ready + ".tmp", ready)
    server.serve_forever(poll_interval=0.1)


if __name__ == "__main__":
    main()
