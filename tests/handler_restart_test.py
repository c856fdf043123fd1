"""A queue handler that ends, however it ends, is started again by the server: the real programs,
with the handler killed from outside or ended by its own fatal path."""

import datetime
import os
import signal
import smtplib
import unittest
from email.message import EmailMessage

from mailvane_harness import GatewayTest, wait_for

ENDED = "Vanequeue 1 ended unexpectedly...restarting"
STARTED = "Started Vanequeue 1..."


class HandlerRestartTest(GatewayTest):
    def send(self, number):
        m = EmailMessage()
        m["From"] = "Alice <alice@example.com>"
        m["To"] = number
        m["Subject"] = "Alert"
        m.set_content("disk full")
        with smtplib.SMTP("127.0.0.1", self.gw.port, timeout=30) as client:
            client.send_message(m)

    def stamped_lines(self):
        """(time, text) of every log line."""
        lines = []
        for line in self.gw.log_text().split("\r\n"):
            if len(line) >= 18:
                lines.append((datetime.datetime.strptime(line[:17], "%d %m %y %H:%M:%S"),
                              line[18:]))
        return lines

    def test_a_killed_handler_is_replaced_and_the_next_mail_reaches_the_provider(self):
        gw = self.start_running()
        first = wait_for(gw.handler_pids, what="the handler")[0]
        os.kill(first, signal.SIGKILL)
        self.wait_log(ENDED)
        self.wait_log(STARTED, count=2)
        second = wait_for(lambda: [p for p in gw.handler_pids() if p != first],
                          what="a new handler")
        self.assertEqual(len(second), 1)
        self.assertIn(ENDED, " ".join(gw.output))  # in the activity list as well
        self.send("447700900123")
        self.wait_log("{1} Processed OK (1/1) ")
        self.assertEqual([r["Number"] for r in self.sink.requests()], ["447700900123"])
        self.assertEqual(self.sink.to("admin@example.com"), [])
        self.assertEqual(gw.stop(), 0)
        wait_for(lambda: not gw.handler_pids(), what="the handler to end with the server")
        self.assertEqual(sum(ENDED in line for line in gw.log_lines()), 1)

    def test_a_handler_that_ends_by_its_fatal_path_comes_back_after_growing_delays(self):
        # A MaxLength that is no number fails every pass that serves an SMS, so each new
        # handler queues the waiting mail again and ends on its first pass.
        gw = self.start_running(MaxLength="x")
        self.send("447700900123")
        self.wait_log(STARTED, count=4, timeout=90)
        lines = self.stamped_lines()
        ends = [i for i, (_, text) in enumerate(lines) if text == ENDED]
        starts = [i for i, (_, text) in enumerate(lines) if text == STARTED]
        self.assertGreaterEqual(len(ends), 3)
        self.assertLessEqual(len(starts), len(ends) + 1)  # one start per end, no storm
        for k, end in enumerate(ends[:3]):
            restart = min(i for i in starts if i > end)
            waited = (lines[restart][0] - lines[end][0]).total_seconds()
            self.assertGreaterEqual(waited, 2 ** k, "delay after end %d" % (k + 1))
        errors = self.sink.to("admin@example.com")
        self.assertGreaterEqual(len(errors), 3)
        self.assertLessEqual(len(errors), len(ends) + 1)
        self.assertEqual({m[2]["Subject"] for m in errors}, {"Vanequeue 1 Error"})
        self.assertEqual(self.sink.requests(), [])
        self.assertTrue(any(name.endswith(".msg") for name in gw.spool_files()))
        self.assertEqual(gw.stop(), 0)


if __name__ == "__main__":
    unittest.main()
