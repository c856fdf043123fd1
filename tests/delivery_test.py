"""Delivery faults seen from outside: recipients named only in the envelope, a long MaxLength.
(A handler killed between the last send and the unlink is proved in the handler's unit tests:
the window between the provider's answer and the deletion cannot be hit from here on purpose.)"""

import os
import smtplib
import unittest
from email.message import EmailMessage

from mailvane_harness import Gateway, GatewayTest, wait_for


def message(to, body="Meet at 10:30"):
    m = EmailMessage()
    m["From"] = "Alice <alice@example.com>"
    m["To"] = to
    m["Subject"] = "Alert"
    m.set_content(body)
    return m


class DeliveryTest(GatewayTest):
    def send(self, m, envelope):
        with smtplib.SMTP("127.0.0.1", self.gw.port, timeout=30) as client:
            client.send_message(m, "alice@example.com", envelope)

    def spool_left(self):
        return [f for f in self.gw.spool_files() if not f.startswith(".vanequeue")]

    def test_envelope_recipients(self):
        gw = self.start_running()
        # One number in the header, the same number spelt otherwise in RCPT TO, and a blind copy.
        self.send(message("Bob <+44 7700 900123>, Dave <dave@example.org>"),
                  ["+447700900123", "dave@example.org", "447700900999"])
        self.wait_log("Processed OK (1/1) ")
        numbers = sorted(r["Number"] for r in self.sink.requests())
        self.assertEqual(len(numbers), 2, numbers)
        self.assertIn("447700900999", numbers)
        self.assertEqual(len(self.sink.to("dave@example.org")), 1)
        self.wait_log("{1} >>> To:447700900999 <>")
        wait_for(lambda: not self.spool_left(), what="the spool file and its records to go")

    def test_a_long_max_length_serves_a_long_body(self):
        self.start_running(MaxLength="40000")
        self.send(message("447700900123", body="x" * 1000), ["447700900123"])
        self.wait_log("Processed OK (1/1) ")
        [request] = self.sink.requests()
        self.assertEqual(request["Text"].rstrip(), "x" * 1000)
        self.assertEqual(self.sink.to("admin@example.com"), [])

    def test_an_invalid_number_fails_once_and_the_message_ends_with_the_others(self):
        gw = self.start_running()
        self.send(message("Bob <4477009x@sms.example.com>, 447700900123"),
                  ["4477009x@sms.example.com", "447700900123"])
        self.wait_log("!!!Processed with errors (1/1) ")
        self.assertEqual([r["Number"] for r in self.sink.requests()], ["447700900123"])
        self.assertEqual(sum("!!!Invalid mobile number" in l for l in gw.log_lines()), 1)
        self.assertEqual(len(self.sink.to("admin@example.com")), 1)
        wait_for(lambda: not self.spool_left(), what="the spool file and its records to go")

    def test_message_expiry_beyond_16_bits_delivers_and_an_unusable_one_keeps_the_mail(self):
        for expiry, refused in (("40000", False), ("-5", True)):
            with self.subTest(expiry=expiry):
                if self.gw.process:
                    self.gw.stop()
                    self.gw.close()
                    self.gw = Gateway()
                    self.addCleanup(self.gw.close)
                gw = self.start_running(MessageExpiry=expiry)
                self.send(message("447700900123"), ["447700900123"])
                self.wait_log("Processed OK (1/1) ")
                refusals = [l for l in gw.log_lines() if "!!!MessageExpiry" in l]
                self.assertEqual(len(refusals), 1 if refused else 0, refusals)
                mails = [m for m in self.sink.to("admin@example.com")
                         if "Settings Error" in m[2]["Subject"]]
                self.assertEqual(len(mails), 1 if refused else 0)


if __name__ == "__main__":
    unittest.main()
