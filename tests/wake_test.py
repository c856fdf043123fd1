"""The server wakes the handler when it has spooled a mail, and a woken pass serves only what no
pass has tried. A forward that the relay refuses stays queued and is retried by the timed pass
alone; a mail that comes right after one of those retries reaches the provider before the next.
With the timers alone that order cannot be: the new mail is served only by a timed pass, which
retries the queued one first, as it holds the lower slot."""

import smtplib
import unittest
from email.message import EmailMessage

from mailvane_harness import GATEWAY, GatewayTest, wait_for


def message(to):
    m = EmailMessage()
    m["From"] = "Alice <alice@example.com>"
    m["To"] = to
    m["Subject"] = "Alert"
    m.set_content("Meet at 10:30")
    return m


class WakeTest(GatewayTest):
    def send(self, to):
        with smtplib.SMTP("127.0.0.1", self.gw.port, timeout=30) as client:
            client.send_message(message(to), "alice@example.com", [to])

    def refusals(self):
        with self.sink.lock:
            return sum(kind == "refused" for kind, _ in self.sink.history)

    def test_a_new_mail_goes_before_the_next_retry_of_a_failing_one(self):
        self.start_running(ForwardOK="1")
        self.sink.refuse.add("dave@example.org")
        self.send("dave@example.org")
        # Its first attempt, then a retry of the timed pass: the next one is a timer period away.
        wait_for(lambda: self.refusals() >= 2, timeout=30, what="a retry of the refused forward")
        self.send("447700900123")
        wait_for(lambda: self.sink.requests(), timeout=30, what="the provider request")
        with self.sink.lock:
            history = list(self.sink.history)
        first_mail = next(i for i, (kind, rcpt) in enumerate(history)
                          if kind == "mail" and rcpt == [GATEWAY])
        refused_before = sum(kind == "refused" for kind, _ in history[:first_mail])
        self.assertEqual(refused_before, 2, history)
        # The refused one is still retried by the timers.
        wait_for(lambda: self.refusals() >= 3, timeout=30, what="the next timed retry")


if __name__ == "__main__":
    unittest.main()
