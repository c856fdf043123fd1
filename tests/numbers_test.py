"""Mobile numbers written as people write them reach the provider as written, once each."""

import smtplib
import unittest

from mailvane_harness import GatewayTest

MAIL = (
    "From: Alice <alice@example.com>\r\n"
    "To: +44 7700 900123, 07700 900123, Bob <+44 7700-900124>,\r\n"
    " \"Smith, Ann\" <07700 900126>\r\n"
    "Cc: 07700 900125\r\n"
    "Subject: Alert\r\n"
    "\r\n"
    "Meet at 10:30\r\n"
)


class NumbersTest(GatewayTest):
    def test_numbers_as_written_in_to_and_cc(self):
        gw = self.start_running()
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=30) as client:
            client.sendmail("alice@example.com", ["sms@example.com"], MAIL.encode())
        self.wait_log("Processed OK (1/1) ")
        requests = self.sink.requests()
        self.assertEqual(sorted((r["Number"], r["Digits"], r["Name"]) for r in requests), [
            ("+44 7700 900123", "+447700900123", ""),
            ("+44 7700-900124", "+447700900124", "Bob"),
            ("07700 900123", "07700900123", ""),
            ("07700 900125", "07700900125", ""),
            ("07700 900126", "07700900126", "Smith, Ann"),
        ])
        lines = gw.log_lines()
        processed = [i for i, l in enumerate(lines) if l.startswith("{1} Processed OK (1/1) ")][0]
        self.assertEqual(lines[processed + 2:processed + 7], [
            "{1} >>> To:+44 7700 900123 <>",
            "{1} >>> To:07700 900123 <>",
            "{1} >>> To:+44 7700-900124 <Bob>",
            "{1} >>> To:07700 900126 <Smith, Ann>",
            "{1} >>> To:07700 900125 <>",
        ])
        self.assertEqual(self.sink.to("admin@example.com"), [])


if __name__ == "__main__":
    unittest.main()
