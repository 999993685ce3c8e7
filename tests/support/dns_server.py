#!/usr/bin/python3
"""Loopback DNS servers for Vorla's tests, built on dnslib.

Usage: dns_server.py CONFIG.json

The configuration names the servers (one loopback address each, all on one port), their
answers, a query log and a ready file:

{"port": 0, "log": ".../queries.log", "ready": ".../ready", "lifetime": 300,
 "servers": [
   {"address": "127.0.0.2", "silent": false,
    "rules": [{"qname": "7.2.0.192.in-addr.arpa", "qtype": "PTR", "rcode": "NOERROR",
               "answer": ["7.2.0.192.in-addr.arpa. 60 IN PTR host.example.com."],
               "authority": [], "additional": []}],
    "default": {"rcode": "NXDOMAIN"}}]}

A rule matches the question name (letter case and a final dot ignored) and, when given, the
type; the first matching rule answers, else "default", else NXDOMAIN. A silent server reads
queries and never answers. With port 0 a port free on every address is chosen. Each query is
logged as "Q <server> <id> <qname> <qtype> <qclass> <rd>", each reply as "R <server> <hex>".
When every socket is bound, the port is written to the ready file (atomically). The process
ends by SIGTERM, or by itself after "lifetime" seconds.
"""

import json
import os
import random
import socket
import socketserver
import sys
import threading
import time

from dnslib import CLASS, QTYPE, RCODE, RR, DNSRecord
from dnslib.server import DNSLogger, DNSServer, UDPServer


class ExclusiveUDPServer(UDPServer):
    """dnslib's UDP server without SO_REUSEADDR: a second process can't share the port."""

    def server_bind(self):
        self.allow_reuse_address = False
        socketserver.UDPServer.server_bind(self)


class Log:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", buffering=1)

    def write(self, line):
        with self.lock:
            self.file.write(line + "\n")
            self.file.flush()


def norm(name):
    return str(name).rstrip(".").lower()


class RuleResolver:
    def __init__(self, address, setup, log):
        self.address = address
        self.rules = setup.get("rules", [])
        self.default = setup.get("default", {"rcode": "NXDOMAIN"})
        self.log = log

    def find_rule(self, qname, qtype):
        for rule in self.rules:
            if norm(rule["qname"]) == qname and rule.get("qtype", qtype) == qtype:
                return rule
        return self.default

    def resolve(self, request, handler):
        q = request.q
        qname, qtype = norm(q.qname), QTYPE.get(q.qtype)
        self.log.write("Q %s %d %s %s %s %d" % (self.address, request.header.id, qname or ".", qtype,
                                               CLASS.get(q.qclass), request.header.rd))
        rule = self.find_rule(qname, qtype)
        reply = request.reply()
        rcode = rule.get("rcode", "NOERROR")
        reply.header.rcode = rcode if isinstance(rcode, int) else getattr(RCODE, rcode)
        for key, add in (("answer", reply.add_answer), ("authority", reply.add_auth),
                         ("additional", reply.add_ar)):
            for text in rule.get(key, []):
                add(*RR.fromZone(text))
        self.log.write("R %s %s" % (self.address, reply.pack().hex()))
        return reply


def silent_loop(sock, address, log):
    while True:
        data, _ = sock.recvfrom(65535)
        try:
            request = DNSRecord.parse(data)
            log.write("Q %s %d %s %s %s %d" % (address, request.header.id, norm(request.q.qname) or ".",
                                               QTYPE.get(request.q.qtype), CLASS.get(request.q.qclass),
                                               request.header.rd))
        except Exception:
            log.write("Q %s ? unparsable - - 0" % address)


def bind_all(config, log, port):
    """Binds every server on port; returns the started parts, or None when a bind failed."""
    started = []
    try:
        for setup in config["servers"]:
            if setup.get("silent"):
                sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                started.append(sock)
                sock.bind((setup["address"], port))
            else:
                server = DNSServer(RuleResolver(setup["address"], setup, log), address=setup["address"],
                                   port=port, logger=DNSLogger(log="-recv,-send,-request,-reply,-truncated,-error,-data",
                                                               logf=lambda s: None),
                                   server=ExclusiveUDPServer)
                started.append(server)
        return started
    except OSError:
        for part in started:
            (part.close if isinstance(part, socket.socket) else part.server.server_close)()
        return None


def main():
    with open(sys.argv[1]) as f:
        config = json.load(f)
    log = Log(config["log"])
    wanted = int(config.get("port", 0))
    started = None
    for _ in range(200):
        port = wanted or random.randint(20000, 60999)
        started = bind_all(config, log, port)
        if started or wanted:
            break
    if not started:
        sys.exit("dns_server.py: no port free on every address")
    for setup, part in zip(config["servers"], started):
        if isinstance(part, socket.socket):
            threading.Thread(target=silent_loop, args=(part, setup["address"], log), daemon=True).start()
        else:
            part.start_thread()
    ready = config["ready"]
    with open(ready + ".tmp", "w") as f:
        f.write("%d\n" % port)
    os.rename(ready + ".tmp", ready)
    time.sleep(float(config.get("lifetime", 300)))


if __name__ == "__main__":
    main()
