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
 "auth_exclude": ["PLAIN"],           # mechanisms not offered
 "tokens": {"login": ["token", ...]}, # XOAUTH2 and OAUTHBEARER offered when any
 "oauth_error": {"status": "invalid_token"}}   # the error challenge for a bad token

Each accepted message is spooled as NNNNNN.eml (the data exactly as received, un-stuffed)
and NNNNNN.env (lines "helo ...", "login ...", "from ...", "rcpt ..." in order), the .env
written last and atomically, so a reader sees only whole deliveries. Every command is
logged as one line in the events log; a token login as "AUTH XOAUTH2 login token ok" (or
"refused"; OAUTHBEARER adds "host=... port=..."), and the client's answer to the error
challenge as "ANSWER " and the answer's Base64 as it came ("*" for a cancel). When the server listens, its port is written to the
ready file (atomically). Ends by SIGTERM, or by itself after "lifetime" seconds.
"""

import asyncio
import base64
import binascii
import json
import os
import signal
import socket
import ssl
import sys
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import MISSING, AuthResult, LoginPassword


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

    # The two token mechanisms (RFC 7628 and the older XOAUTH2): the initial response with
    # the command or after an empty challenge; a token not in the table gets the error
    # challenge, whose answer is logged, then 535.
    async def auth_XOAUTH2(self, server, args):
        return await self.token_login(server, args, "XOAUTH2")

    async def auth_OAUTHBEARER(self, server, args):
        return await self.token_login(server, args, "OAUTHBEARER")

    async def token_login(self, server, args, mechanism):
        if len(args) == 1:
            blob = await server.challenge_auth("")
            if blob is MISSING:
                return AuthResult(success=False, handled=True)
        else:
            try:
                blob = base64.b64decode(args[1].encode(), validate=True)
            except binascii.Error:
                await server.push("501 5.5.2 Can't decode base64")
                return AuthResult(success=False, handled=True)
        fields = parse_token_message(blob.decode("utf-8", "replace"), mechanism)
        if fields is None:
            self.log.write("AUTH %s malformed %s" % (mechanism, blob.decode("utf-8", "replace")))
            await server.push("501 5.5.2 Malformed %s message" % mechanism)
            return AuthResult(success=False, handled=True)
        user, token = fields.get("user", ""), fields.get("token", "")
        ok = token in self.config.get("tokens", {}).get(user, [])
        extra = "" if mechanism == "XOAUTH2" else " host=%s port=%s" % (fields.get("host", ""), fields.get("port", ""))
        self.log.write("AUTH %s %s %s %s%s" % (mechanism, user, token, "ok" if ok else "refused", extra))
        if ok:
            return AuthResult(success=True, auth_data=LoginPassword(user.encode(), token.encode()))
        error = json.dumps(self.config.get("oauth_error") or {"status": "invalid_token"}, separators=(",", ":"))
        # Read the raw line: challenge_auth would hide what exactly came.
        await server.push(b"334 " + base64.b64encode(error.encode()))
        line = (await server._reader.readline()).strip()
        self.log.write("ANSWER " + line.decode("ascii", "replace"))
        return AuthResult(success=False, handled=False)

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


def parse_token_message(text, mechanism):
    """The user, token (and for OAUTHBEARER host and port) of a client message, or None."""
    fields = {}
    parts = text.split("\x01")
    if len(parts) < 3 or parts[-1] != "" or parts[-2] != "":
        return None
    if mechanism == "OAUTHBEARER":
        header = parts.pop(0).split(",")
        if len(header) != 3 or header[0] != "n" or not header[1].startswith("a="):
            return None
        fields["user"] = header[1][2:].replace("=2C", ",").replace("=3D", "=")
    for part in parts[:-2]:
        key, sep, value = part.partition("=")
        if not sep:
            return None
        if key == "auth":
            if not value.startswith("Bearer "):
                return None
            fields["token"] = value[len("Bearer "):]
        else:
            fields[key] = value
    return fields if "user" in fields and "token" in fields else None


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
    exclude = list(config.get("auth_exclude") or [])
    if not config.get("tokens"):
        exclude += ["XOAUTH2", "OAUTHBEARER"]
    if config.get("users") or config.get("tokens"):
        kwargs = {"authenticator": make_authenticator(config, log), "auth_require_tls": False,
                  "auth_required": bool(config.get("auth_required"))}
    kwargs["auth_exclude_mechanism"] = exclude
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
