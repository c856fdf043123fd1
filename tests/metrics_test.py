"""Health and metrics of the real server, scraped from the console's loopback address without
sign-in while mail flows, and read with the Prometheus client's own parser; a provider that
cannot be used, as monitoring and the administrator's mailbox see it."""

import os
import re
import signal
import smtplib
import socket
import sys
import unittest
import urllib.error
import urllib.request
from email.message import EmailMessage

from prometheus_client.parser import text_string_to_metric_families

from mailvane_harness import GatewayTest, free_port, store_text, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "smpp"))
from smsc import Smsc  # noqa: E402


class MetricsTest(GatewayTest):
    def setUp(self):
        super().setUp()
        self.console = free_port()
        self.gw.env["MAILVANE_CONSOLE"] = "127.0.0.1:%d" % self.console

    def get(self, path):
        """(status, content type, body) of GET path."""
        url = "http://127.0.0.1:%d%s" % (self.console, path)
        try:
            with urllib.request.urlopen(url, timeout=10) as response:
                return response.status, response.headers["Content-Type"], response.read().decode()
        except urllib.error.HTTPError as error:
            return error.code, error.headers["Content-Type"], error.read().decode()

    def scrape(self):
        """{(name, reason or state or None): value} of every sample."""
        status, content_type, body = self.get("/metrics")
        self.assertEqual(status, 200)
        self.assertEqual(content_type, "text/plain; version=0.0.4; charset=utf-8")
        samples = {}
        for family in text_string_to_metric_families(body):
            for sample in family.samples:
                label = sample.labels.get("reason", sample.labels.get("state"))
                samples[(sample.name, label)] = sample.value
        return samples

    def value(self, name, reason=None):
        return self.scrape()[(name, reason)]

    def wait_value(self, name, predicate, reason=None, what=None):
        wait_for(lambda: predicate(self.value(name, reason)), 40, what=what or name)

    def send(self, number):
        m = EmailMessage()
        m["From"] = "Monitor <monitor@example.com>"
        m["To"] = number if isinstance(number, str) else ", ".join(number)
        m["Subject"] = "Alert"
        m.set_content("disk full")
        with smtplib.SMTP("127.0.0.1", self.gw.port, timeout=30) as client:
            client.send_message(m)

    def send_bare_cr(self):
        with socket.create_connection(("127.0.0.1", self.gw.port), timeout=30) as s:
            for line in (b"HELO t", b"MAIL FROM:<a@example.com>", b"RCPT TO:<447700900123>",
                         b"DATA"):
                s.sendall(line + b"\r\n")
            s.sendall(b"Subject: x\r\n\r\nbad\rline\r\n.\r\nQUIT\r\n")
            while s.recv(4096):
                pass

    def test_numbers_move_with_the_mail_and_survive_a_handler_kill(self):
        gw = self.start_running()
        wait_for(lambda: self.get("/healthz")[0] == 200, 30, what="healthz 200")
        self.assertEqual(self.get("/healthz")[2], "ok\n")
        before = self.scrape()
        self.assertEqual(before[("mailvane_handler_up", None)], 1)
        self.assertEqual(before[("mailvane_mails_received_total", None)], 0)
        self.assertEqual(before[("mailvane_mails_refused_total", "not_allowed")], 0)

        self.send("447700900123")
        self.wait_value("mailvane_sms_sent_total", lambda v: v == 1)
        self.assertEqual(self.value("mailvane_mails_received_total"), 1)
        self.send_bare_cr()
        self.wait_value("mailvane_mails_refused_total", lambda v: v == 1, reason="bare_cr")
        self.assertEqual(self.value("mailvane_mails_received_total"), 1)

        os.kill(wait_for(gw.handler_pids, what="the handler")[0], signal.SIGKILL)
        wait_for(lambda: self.value("mailvane_handler_up") == 0, 20, interval=0.02,
                 what="handler_up 0")
        self.wait_value("mailvane_handler_up", lambda v: v == 1)
        self.assertEqual(self.value("mailvane_handler_restarts_total"), 1)
        self.send("447700900124")
        self.wait_value("mailvane_sms_sent_total", lambda v: v == 2, what="sms sent after restart")
        self.assertEqual(self.get("/healthz")[0], 200)

    def test_a_failing_provider_counts_attempts_and_each_recipient_once(self):
        self.start_running(MailServer="127.0.0.1:%d" % free_port())
        self.send(["447700900123", "4477009x"])  # the second can never be sent
        self.wait_value("mailvane_sms_attempts_failed_total", lambda v: v >= 6,
                        what="three passes of two failing recipients")
        self.wait_value("mailvane_queue_messages", lambda v: v == 1)
        self.wait_value("mailvane_queue_oldest_seconds", lambda v: v > 0)
        samples = self.scrape()
        self.assertEqual(samples[("mailvane_sms_failed_total", "permanent")], 1)
        self.assertEqual(samples[("mailvane_sms_failed_total", "expired")], 0)
        self.assertEqual(samples[("mailvane_sms_sent_total", None)], 0)

    def test_an_unusable_provider_mails_once_and_monitoring_sees_it_until_it_works(self):
        smsc = Smsc()
        self.addCleanup(smsc.stop)
        provider = ('\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane\\Provider]\r\n'
                    '"Protocol"="smpp"\r\n"Host"="127.0.0.1"\r\n"Port"="%d"\r\n' % smsc.port)

        def write_store(account):
            with open(self.gw.store, "w", encoding="utf-8", newline="") as f:
                f.write(store_text(self.gw.default_settings(
                    self.sink.port, AccessUserName=account), provider))

        write_store("an-account-too-long-for-smpp")  # no bind can carry it
        gw = self.gw
        gw.start("-debug")
        gw.wait_listening()
        self.send(["447700900121", "447700900122"])
        self.send("447700900123")
        self.wait_value("mailvane_sms_attempts_failed_total", lambda v: v >= 9,
                        what="three passes of three SMS")
        self.assertEqual(self.value("mailvane_provider_up"), 0)
        status, _, body = self.get("/healthz")
        self.assertEqual(status, 200)  # the process lives
        self.assertRegex(body, r"^ok; provider down: smpp 127\.0\.0\.1:%d since .+ "
                               r"\(AccessUserName: at most 15 characters for SMPP\)\n$" % smsc.port)
        admin = self.sink.to("admin@example.com")
        self.assertEqual([m[2]["Subject"] for m in admin], ["Vanequeue 1 Provider down"])
        text = admin[0][2].get_content()
        self.assertIn("SMS provider smpp 127.0.0.1:%d cannot be used since " % smsc.port, text)
        self.assertRegex(text, r"AccessUserName: .+\. [1-3] SMS wait and are retried")
        self.assertEqual(smsc.of("bind"), [])

        # Corrected and the handler started again: the provider takes the SMS, monitoring sees it.
        write_store("acct")
        os.kill(wait_for(gw.handler_pids, what="the handler")[0], signal.SIGKILL)
        self.wait_value("mailvane_sms_sent_total", lambda v: v == 3)
        self.assertEqual(self.value("mailvane_provider_up"), 1)
        self.assertEqual(self.get("/healthz"), (200, "text/plain; charset=utf-8", "ok\n"))
        self.assertEqual(len(self.sink.to("admin@example.com")), 1)
        # Receipts, counted by the state they report; one on the way is not counted.
        for stat in ("DELIVRD", "ENROUTE", "REJECTD", "DELIVRD"):
            smsc.command("receipt", message_id="1", stat=stat, dest_addr="447700900121")
        self.wait_value("mailvane_receipts_total", lambda v: v == 2, reason="delivered")
        self.assertEqual(self.value("mailvane_receipts_total", "rejected"), 1)
        self.assertEqual(self.value("mailvane_receipts_total", "expired"), 0)


if __name__ == "__main__":
    unittest.main()
