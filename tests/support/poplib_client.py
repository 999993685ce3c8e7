#!/usr/bin/python3
"""A real POP3 client for tests: Python's poplib against a server on loopback.

Usage: poplib_client.py HOST PORT USER PASSWORD OUTDIR [dele]
Logs in with USER/PASS, writes each message that RETR returns to OUTDIR/NNNNN.eml (the lines
poplib returns, each ended with CR LF), deletes it too when "dele" is given, and quits. Prints
one JSON object: stat, capa, list, uidl and top (of message 1) as poplib saw them.
"""
import json
import os
import poplib
import sys


def main():
    host, port, user, password, outdir = sys.argv[1:6]
    dele = len(sys.argv) > 6 and sys.argv[6] == "dele"
    box = poplib.POP3(host, int(port), timeout=30)
    capa = sorted(box.capa().keys())
    box.user(user)
    box.pass_(password)
    count, size = box.stat()
    listing = [entry.decode() for entry in box.list()[1]]
    uidl = [entry.decode() for entry in box.uidl()[1]]
    top = ""
    if count:
        top = b"\r\n".join(box.top(1, 2)[1]).decode("latin-1")
    for n in range(1, count + 1):
        lines = box.retr(n)[1]
        with open(os.path.join(outdir, "%05d.eml" % n), "wb") as out:
            out.write(b"".join(line + b"\r\n" for line in lines))
        if dele:
            box.dele(n)
    box.quit()
    print(json.dumps({"stat": [count, size], "capa": capa, "list": listing, "uidl": uidl, "top": top}))


if __name__ == "__main__":
    main()
