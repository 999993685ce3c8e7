#!/usr/bin/python3
"""A loopback SMTP server for Vorla's tests, built on aiosmtpd.

Usage: smtp_server.py CONFIG.json

{"ready": ".../ready", "spool": ".../spool/", "log": ".../events.log", "lifetime": 600,
 "users": {"login": "password"},      # AUTH LOGIN and PLAIN offered on the plain connection
 "auth_required": false,              # refuse MAIL before a login (530)
 "ehlo_reply": "",                    # e.g. "502 5.5.1 EHLO not here": forces HELO
 "mail_replies": {"from@x": "553 5.7.1 Sender refused"},
 "rcpt_replies": {"to@x": "550 5.1.1 No such user"},   # a 2xx one accepts the recipient
 "data_replies": {"to@x": "451 4.3.0 Try again later"},   # by any recipient of the envelope
 "data_delay": 0.0,                   # seconds to wait before answering the data
 "data_gate": "",                     # a file: answer the data only once it exists
 "tls_mode": "",                      # "starttls" or "implicit" with the two files below
 "tls_cert": "cert.pem", "tls_key": "key.pem",
 "auth_require_tls": false,           # with starttls: AUTH offered only after it
 "auth_exclude": ["PLAIN"]}           # mechanisms not offered

Each accepted message is spooled as NNNNNN.eml (the data exactly as received, un-stuffed)
and NNNNNN.env (lines "helo ...", "login ...", "from ...", "rcpt ..." in order), the .env
written last and atomically, so a reader sees only whole deliveries. Every command is
logged as one line in the events log. When the server listens, its port is written to the
ready file (atomically). Ends by SIGTERM, or by itself after "lifetime" seconds.
"""

import asyncio
import json
import os
import signal
import socket
import ssl
import sys
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Log:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", buffering=1)

    def write(self, line):
        with self.lock:
            self.file.write(line.replace("\r", "\\r").replace("\n", "\\n") + "\n")
            self.file.flush()


class Handler:
    def __init__(self, config, log):
        self.config = config
        self.log = log
        self.spool = config["spool"]
        self.count = 0
        self.lock = threading.Lock()

    async def handle_HELO(self, server, session, envelope, hostname):
        self.log.write("HELO " + hostname)
        session.host_name = hostname
        return "250 smtp.test"

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        self.log.write("EHLO " + hostname)
        if self.config.get("ehlo_reply"):
            session.extended_smtp = False
            return [self.config["ehlo_reply"]]
        session.host_name = hostname
        return responses

    def handle_STARTTLS(self, server, session, envelope):
        self.log.write("STARTTLS")
        return True

    async def handle_RSET(self, server, session, envelope):
        self.log.write("RSET")
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        self.log.write("QUIT")
        return "221 Bye"

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        self.log.write("MAIL " + address)
        reply = self.config.get("mail_replies", {}).get(address)
        if reply:
            return reply
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        self.log.write("RCPT " + address)
        reply = self.config.get("rcpt_replies", {}).get(address)
        if reply and not reply.startswith("2"):
            return reply
        envelope.rcpt_tos.append(address)
        return reply or "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.log.write("DATA %d" % len(envelope.original_content))
        delay = float(self.config.get("data_delay", 0))
        if delay:
            await asyncio.sleep(delay)
        gate = self.config.get("data_gate", "")
        while gate and not os.path.exists(gate):
            await asyncio.sleep(0.01)
        for rcpt in envelope.rcpt_tos:
            reply = self.config.get("data_replies", {}).get(rcpt)
            if reply:
                return reply
        with self.lock:
            self.count += 1
            name = os.path.join(self.spool, "%06d" % self.count)
        with open(name + ".eml", "wb") as f:
            f.write(envelope.original_content)
        auth = session.auth_data
        login = auth.login.decode("utf-8", "replace") if isinstance(auth, LoginPassword) else ""
        lines = ["helo " + (session.host_name or ""), "login " + login, "from " + (envelope.mail_from or "")]
        lines += ["rcpt " + r for r in envelope.rcpt_tos]
        with open(name + ".tmp", "w") as f:
            f.write("\n".join(lines) + "\n")
        os.rename(name + ".tmp", name + ".env")
        return "250 OK queued as %06d" % self.count


def make_authenticator(config, log):
    users = config.get("users", {})

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and
              users.get(auth_data.login.decode("utf-8", "replace")) == auth_data.password.decode("utf-8", "replace"))
        login = auth_data.login.decode("utf-8", "replace") if isinstance(auth_data, LoginPassword) else "?"
        password = auth_data.password.decode("utf-8", "replace") if isinstance(auth_data, LoginPassword) else "?"
        log.write("AUTH %s %s %s %s" % (mechanism, login, password, "ok" if ok else "refused"))
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    return authenticator


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    with open(sys.argv[1]) as f:
        config = json.load(f)
    log = Log(config["log"])
    os.makedirs(config["spool"], exist_ok=True)
    kwargs = {}
    if config.get("users"):
        kwargs = {"authenticator": make_authenticator(config, log), "auth_require_tls": False,
                  "auth_required": bool(config.get("auth_required"))}
        if config.get("auth_exclude"):
            kwargs["auth_exclude_mechanism"] = config["auth_exclude"]
    mode = config.get("tls_mode", "")
    if mode:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(config["tls_cert"], config["tls_key"])
        if mode == "starttls":
            kwargs["tls_context"] = context
            kwargs["auth_require_tls"] = bool(config.get("auth_require_tls"))
        else:
            kwargs["ssl_context"] = context
    controller = None
    for _ in range(50):
        port = free_port()
        try:
            controller = Controller(Handler(config, log), hostname="127.0.0.1", port=port,
                                    server_hostname="smtp.test", ready_timeout=10, **kwargs)
            controller.start()
            break
        except Exception:
            controller = None
            time.sleep(0.05)
    if controller is None:
        sys.exit("smtp_server.py: could not listen on any port")
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    ready = config["ready"]
    with open(ready + ".tmp", "w") as f:
        f.write("%d\n" % port)
    os.rename(ready + ".tmp", ready)
    stop.wait(float(config.get("lifetime", 600)))
    controller.stop()


if __name__ == "__main__":
    main()
