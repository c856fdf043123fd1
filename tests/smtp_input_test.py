"""The SMTP input side against the real server: line ends as devices and scripts send them, one
activity line per refused transaction, IPv4-only listening, and a spool folder whose sync fails."""

import os
import smtplib
import socket
import unittest

import aiosmtpd.smtp

from hostile_smtp_test import Raw
from mailvane_harness import BIN, GatewayTest, wait_for

SHIM = os.path.join(BIN, "mv_fail_folder_fsync.so")


class SmtpInputTest(GatewayTest):
    @classmethod
    def setUpClass(cls):
        # The sink must take the 5000-byte line that is forwarded; its default bound is 1001.
        cls.saved_limit = aiosmtpd.smtp.SMTP.line_length_limit
        aiosmtpd.smtp.SMTP.line_length_limit = 1 << 16

    @classmethod
    def tearDownClass(cls):
        aiosmtpd.smtp.SMTP.line_length_limit = cls.saved_limit

    def raw(self):
        client = Raw(self.gw.port)
        self.addCleanup(client.close)
        return client.greeted()

    def refused_lines(self):
        return [l for l in self.gw.log_lines() if l.startswith("!!!Refused")]

    def test_bare_lf_line_ends_and_a_long_line_reach_the_sink_whole(self):
        self.start_running()
        raw_mails = []
        handler = self.sink.controller.handler
        original = handler.handle_DATA

        async def capture(server, session, envelope):
            raw_mails.append(envelope.original_content)
            return await original(server, session, envelope)
        handler.handle_DATA = capture

        client = self.raw()
        client.start_mail(to="friend@example.com")
        client.send(b"From: Dev <dev@example.com>\nTo: friend@example.com\nSubject: device\n\nline one\nline two\n.\n" + b"x" * 5000 + b"\nlast\r\n.\r\n")
        self.assertEqual(client.reply()[0], 250)
        self.assertEqual(client.cmd("QUIT")[0], 221)
        forwarded = wait_for(lambda: self.sink.to("friend@example.com"), 40,
                             what="the forwarded mail")
        self.assertEqual(len(raw_mails), 1)
        # Every line end arrives as CR LF; the bare-LF "." line is an empty text line, never the
        # end; the long line is whole once its transfer encoding is undone.
        self.assertIn(b"\r\n\r\nline one\r\nline two\r\n\r\n", raw_mails[0])
        self.assertNotIn(b"\n", raw_mails[0].replace(b"\r\n", b""))
        self.assertEqual(forwarded[0][2].get_content().replace("\r\n", "\n"),
                         "line one\nline two\n\n" + "x" * 5000 + "\nlast\n")
        self.assertEqual(self.refused_lines(), [])

    def test_each_refused_transaction_writes_one_line(self):
        self.start_running()
        client = self.raw()
        self.assertEqual(client.cmd("EHLO input.example")[0], 250)
        self.assertEqual(client.cmd("FROB")[0], 500)  # outside a transaction: no line
        self.assertEqual(client.cmd("MAIL FROM:<a@example.com> SIZE=%d" % ((10 << 20) + 1)),
                         (552, "552 5.3.4 Message size exceeds fixed limit"))
        client.start_mail()
        client.send(b"Subject: cr\r\n\r\none\rtwo\r\n.\r\n")
        self.assertEqual(client.reply()[0], 550)
        self.assertEqual(client.cmd("QUIT")[0], 221)
        self.wait_log("!!!Refused from", count=2)
        self.assertEqual(self.refused_lines(), [
            "!!!Refused from 127.0.0.1: 552 5.3.4 Message size exceeds fixed limit",
            "!!!Refused from 127.0.0.1: 550 5.6.0 Bare <CR> in message text"])

    def test_a_client_of_localhost_falls_back_to_ipv4_and_delivers(self):
        try:
            with socket.socket(socket.AF_INET6) as probe:
                probe.bind(("::1", 0))
        except OSError:
            self.skipTest("no ::1 on the loopback interface here")
        families = [a[0] for a in socket.getaddrinfo("localhost", 25, type=socket.SOCK_STREAM)]
        if socket.AF_INET6 not in families:
            self.skipTest("localhost does not resolve to ::1 here")
        self.start_running()
        with smtplib.SMTP("localhost", self.gw.port, timeout=30) as client:
            client.sendmail("a@example.com", ["447700900123"],
                            b"Subject: localhost\r\n\r\nvia localhost\r\n")
        wait_for(lambda: [r for r in self.sink.requests() if "via localhost" in r["Text"]], 40,
                 what="the provider request")
        self.assertEqual(self.refused_lines(), [])

    @unittest.skipUnless(os.path.exists(SHIM), "the fsync shim is not built")
    def test_a_failed_folder_sync_answers_451_and_leaves_no_spool_file(self):
        spool = os.path.realpath(self.gw.spool_dir())
        self.gw.env.update({
            "LD_PRELOAD": SHIM,
            "MAILVANE_FAIL_FSYNC_DIR": spool,
            "ASAN_OPTIONS": self.gw.env["ASAN_OPTIONS"] + ":verify_asan_link_order=0",
        })
        self.start_running()
        with smtplib.SMTP("127.0.0.1", self.gw.port, timeout=30) as client:
            with self.assertRaises(smtplib.SMTPDataError) as refused:
                client.sendmail("a@example.com", ["447700900123"],
                                b"Subject: unsynced\r\n\r\nnot durable\r\n")
        self.assertEqual(refused.exception.smtp_code, 451)
        self.assertEqual([n for n in os.listdir(spool) if ".msg" in n], [])  # nor a temporary
        self.assertEqual(len([l for l in self.gw.log_lines()
                              if l.startswith("!!!Cannot write spool file")]), 1)
        self.assertEqual(self.refused_lines(), [])


if __name__ == "__main__":
    unittest.main()
