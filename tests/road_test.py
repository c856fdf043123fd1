"""The whole road of a mail through the real programs: SMTP in, spool file, handler, provider
request or forwarded mail out, with retries, refusals and expiry."""

import os
import smtplib
import time
import unittest
from email.message import EmailMessage

from mailvane_harness import GATEWAY, GatewayTest, wait_for


def message(to, body="Meet at 10:30\r\nsee you", subject="Alert", sender="Alice <alice@example.com>"):
    m = EmailMessage()
    m["From"] = sender
    m["To"] = ", ".join(to)
    m["Subject"] = subject
    m.set_content(body)
    return m


class RoadTest(GatewayTest):
    def send(self, to, **kwargs):
        m = message(to, **kwargs)
        with smtplib.SMTP("127.0.0.1", self.gw.port, timeout=30) as client:
            client.send_message(m)
        return m

    def test_two_numbers_and_an_address(self):
        gw = self.start_running()
        self.send(["Bob <447700900123>", "447700900124@sms.example.com", "Dave <dave@example.org>"])
        self.wait_log("Processed OK (1/1) ")
        requests = self.sink.requests()
        self.assertEqual(sorted(r["Number"] for r in requests), ["447700900123", "447700900124"])
        bob = [r for r in requests if r["Number"] == "447700900123"][0]
        self.assertEqual(bob["Name"], "Bob")
        self.assertEqual(bob["Account"], "acct")
        self.assertEqual(bob["Password"], "secret")
        self.assertEqual(bob["ReplyName"], "Alice")
        self.assertEqual(bob["ReplyAddress"], "gateway@example.com")
        self.assertEqual(bob["Text"], "Meet at 10:30 see you")  # without the body's final line break
        forwarded = self.sink.to("dave@example.org")
        self.assertEqual(len(forwarded), 1)
        self.assertEqual(forwarded[0][2]["Subject"], "Alert")
        self.assertIn("Meet at 10:30", forwarded[0][2].get_content())
        lines = gw.log_lines()
        self.assertTrue(any(l.startswith("+++Received from 127.0.0.1 to ") for l in lines))
        processed = [i for i, l in enumerate(lines) if l.startswith("{1} Processed OK (1/1) ")][0]
        self.assertEqual(lines[processed + 1], "{1} >>> From:alice@example.com <Alice>")
        self.assertEqual(lines[processed + 2], "{1} >>> To:447700900123 <Bob>")
        wait_for(lambda: not [f for f in gw.spool_files() if f.endswith(".msg")],
                 what="the spool file to go")
        self.assertEqual(self.sink.to("admin@example.com"), [])

    def test_a_refusing_provider_gets_retried_for_the_unserved_recipient_only(self):
        self.sink.refuse.add(GATEWAY)
        gw = self.start_running()
        self.send(["447700900123", "dave@example.org"])
        self.wait_log("!!!Errored (1/1) ")
        self.wait_log("!!!Send Error (1/1) 447700900123/alice@example.com", count=2)
        self.assertEqual(len(self.sink.to("dave@example.org")), 1)
        self.sink.refuse.discard(GATEWAY)
        self.wait_log("Processed OK (1/1) ")
        self.assertEqual(len(self.sink.requests()), 1)
        self.assertEqual(len(self.sink.to("dave@example.org")), 1)  # served once only
        # A gateway that refuses every request is the provider's failure: one mail when it begins
        # and one when it ends, none per message.
        wait_for(lambda: len(self.sink.to("admin@example.com")) >= 2, what="the outage mails")
        errors = self.sink.to("admin@example.com")
        self.assertEqual([m[2]["Subject"] for m in errors],
                         ["Vanequeue 1 Provider down", "Vanequeue 1 Provider recovered"])
        self.assertEqual(sum(l.startswith("{1} !!!Errored") for l in gw.log_lines()), 1)

    def test_forwarding_not_allowed(self):
        gw = self.start_running(ForwardOK="0")
        self.send(["dave@example.org", "447700900123"])
        self.wait_log("Processed OK (1/1) ")
        self.assertEqual(self.sink.to("dave@example.org"), [])
        self.assertEqual(len(self.sink.requests()), 1)
        self.assertTrue(any(l == "{1} EMail Forward not allowed (1/1) dave@example.org"
                            for l in gw.log_lines()))

    def test_an_expired_spool_file_is_removed_by_the_scan(self):
        gw = self.gw
        gw.write_settings(gw.default_settings(self.sink.port, MessageExpiry="5"))
        os.makedirs(gw.spool_dir(), exist_ok=True)
        old = os.path.join(gw.spool_dir(), "20261201000.1.msg")
        with open(old, "wb") as f:
            f.write(b"To: 447700900123\r\nSubject: old\r\n\r\nold\r\n\r\n")
        os.utime(old, (time.time() - 3600, time.time() - 3600))
        gw.start("-debug")
        self.wait_log("Expired mail file removed...20261201000.1.msg ")
        self.assertFalse(os.path.exists(old))
        self.assertEqual(self.sink.requests(), [])

    def test_a_spool_file_removed_while_queued_is_reported_and_dropped(self):
        self.sink.refuse.add(GATEWAY)
        gw = self.start_running()
        self.send(["447700900123"])
        self.wait_log("!!!Errored (1/1) ")
        for name in gw.spool_files():
            if name.endswith(".msg"):
                os.unlink(os.path.join(gw.spool_dir(), name))
        self.wait_log("Message Error (1/1) 10 ")
        subjects = [m[2]["Subject"] for m in self.sink.to("admin@example.com")]
        self.assertIn("Vanequeue 1 Message Error (1/1)", subjects)


if __name__ == "__main__":
    unittest.main()
