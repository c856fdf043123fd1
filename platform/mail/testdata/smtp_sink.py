#!/usr/bin/python3
"""A controllable SMTP server on loopback for the tests of the mail layer.

Binds an ephemeral port on 127.0.0.1 and writes the port number to --port-file once it listens.
Every mail it accepts is written to --out as NNN.eml (the data as received) beside NNN.json (the
envelope and the client's address and port), each under a temporary name first and renamed into place before the final reply.
"""
import argparse
import asyncio
import json
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP


class Handler:
    def __init__(self, args):
        self.args = args
        self.count = 0

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.args.delay > 0:
            await asyncio.sleep(self.args.delay)
        if self.args.refuse_sender:
            return "550 5.7.1 Sender refused by sink"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.args.refuse_recipient and address in self.args.refuse_recipient:
            return "550 5.1.1 Recipient refused by sink"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.args.drop_in_data:
            server.transport.abort()
            return "421 dropped"
        self.count += 1
        stem = os.path.join(self.args.out, "%03d" % self.count)
        with open(stem + ".tmp", "wb") as f:
            f.write(envelope.original_content)
        with open(stem + ".jtmp", "w") as f:
            json.dump({"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                       "peer": list(session.peer)}, f)
        os.rename(stem + ".jtmp", stem + ".json")
        os.rename(stem + ".tmp", stem + ".eml")
        return "250 Message accepted"


async def main(args):
    handler = Handler(args)
    loop = asyncio.get_running_loop()
    tls = None
    if args.tls_cert:  # STARTTLS offered with this certificate
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(args.tls_cert, args.tls_key)
    server = await loop.create_server(
        lambda: SMTP(handler, decode_data=False, enable_SMTPUTF8=True, hostname="sink.test",
                     tls_context=tls),
        host="127.0.0.1", port=0)
    port = server.sockets[0].getsockname()[1]
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.rename(tmp, args.port_file)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--refuse-sender", action="store_true")
    parser.add_argument("--refuse-recipient", action="append", default=[])
    parser.add_argument("--delay", type=float, default=0)
    parser.add_argument("--drop-in-data", action="store_true")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    args = parser.parse_args()
    try:
        asyncio.run(main(args))
    except KeyboardInterrupt:
        sys.exit(0)
