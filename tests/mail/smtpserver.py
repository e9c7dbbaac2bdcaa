#!/usr/bin/env python3
"""A local SMTP server for the mail tests: STARTTLS with the given certificate,
AUTH LOGIN and PLAIN for one account, every accepted message written to the
output folder as msg-N.eml with msg-N.json (envelope and login mechanism).
Prints "PORT <n>" once it accepts connections."""
import argparse
import email
import email.policy
import json
import logging
import os
import socket
import ssl
import sys
import time
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

warnings.simplefilter("ignore")
logging.getLogger("mail.log").setLevel(logging.ERROR)
ap = argparse.ArgumentParser()
ap.add_argument("--out", required=True)
ap.add_argument("--cert")
ap.add_argument("--key")
ap.add_argument("--user", default="")
ap.add_argument("--password", default="")
ap.add_argument("--refuse", action="append", default=[])
ap.add_argument("--die-on-data", action="store_true")
ap.add_argument("--plain-auth", action="store_true", help="allow AUTH without TLS")
ap.add_argument("--only", help="offer only this AUTH mechanism")
ap.add_argument("--no-auth", action="store_true", help="offer no AUTH at all")
args = ap.parse_args()

logins = []


class Handler:
    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in args.refuse:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if args.die_on_data:
            os._exit(3)  # the server is gone before it answers
        n = len([f for f in os.listdir(args.out) if f.endswith(".eml")])
        with open(os.path.join(args.out, "msg-%d.eml" % n), "wb") as f:
            f.write(envelope.original_content or envelope.content)
        raw = envelope.original_content or envelope.content
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        body = msg.get_body(("html", "plain"))
        with open(os.path.join(args.out, "msg-%d.json" % n), "w", encoding="utf-8") as f:
            json.dump({"envelopeFrom": envelope.mail_from, "envelopeTo": envelope.rcpt_tos,
                       "from": str(msg["From"]), "to": str(msg["To"]), "replyTo": str(msg["Reply-To"]),
                       "subject": str(msg["Subject"]), "date": str(msg["Date"]),
                       "bodyType": body.get_content_type() if body else "",
                       "cc": str(msg["Cc"] or ""),
                       # as a mail reader splits them: an address inside an encoded word is lost here
                       "toAddresses": [[a.display_name, a.addr_spec] for a in msg["To"].addresses] if msg["To"] else [],
                       "attachments": {part.get_filename(): part.get_content().hex()
                                       for part in msg.iter_attachments()},
                       "body": body.get_content() if body else "",
                       "mechanism": logins[-1] if logins else "",
                       "tls": session.ssl is not None}, f, ensure_ascii=False)
        return "250 Message accepted"


def authenticator(server, session, envelope, mechanism, auth_data):
    if (isinstance(auth_data, LoginPassword) and auth_data.login == args.user.encode()
            and auth_data.password == args.password.encode()):
        logins.append(mechanism)
        return AuthResult(success=True)
    return AuthResult(success=False, handled=False)


s = socket.socket()
s.bind(("127.0.0.1", 0))
port = s.getsockname()[1]
s.close()

params = dict(authenticator=authenticator, auth_require_tls=not args.plain_auth)
if args.only:
    params["auth_exclude_mechanism"] = [m for m in ("LOGIN", "PLAIN") if m != args.only]
if args.no_auth:
    params["auth_exclude_mechanism"] = ["LOGIN", "PLAIN"]
if args.cert:
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(args.cert, args.key)
    params["tls_context"] = ctx
    params["require_starttls"] = True
controller = Controller(Handler(), hostname="127.0.0.1", port=port, **params)
controller.start()
print("PORT %d" % port, flush=True)
try:
    while True:
        time.sleep(3600)
except KeyboardInterrupt:
    pass
controller.stop()
