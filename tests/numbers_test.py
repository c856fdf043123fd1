"""Mail as people and alerting tools write it: each mobile number reaches the provider once, as
written or with its formatting read, and the SMS text is what the mail says."""

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

    def test_parentheses_and_dots_are_formatting_and_a_guess_is_no_number(self):
        self.start_running()
        self.send(["(07700)900127@sms.example"], "From: Alice <alice@example.com>\r\n"
                  "To: (07700)900127@sms.example\r\nCc: 07700.900.128\r\n\r\nDisk full\r\n")
        self.wait_log("Processed OK (1/1) ")
        self.assertEqual(sorted((r["Number"], r["Digits"]) for r in self.sink.requests()), [
            ("07700900127", "07700900127"), ("07700900128", "07700900128")])
        # "(0)" in an international number is dialled or not: neither reading is sent.
        self.send(["+44(0)7700900129"], "To: +44 (0) 7700 900129\r\n\r\nDisk full\r\n")
        self.wait_log('!!!Invalid mobile number "+44 (0) 7700 900129"')
        self.assertEqual(len(self.sink.requests()), 2)

    def test_the_text_ends_at_its_last_word_comes_from_the_subject_or_says_it_was_cut(self):
        gw = self.start_running()  # MaxLength 160 and the name "Alice": 154 characters
        cases = [  # number, subject, body, text sent
            ("1", "Alert", "x" * 150 + "\r\n", "x" * 150),
            ("2", "DB down on db1", "\r\n", "DB down on db1"),
            ("3", "Alert", "y" * 200 + "\r\n", "y" * 154),
        ]
        for number, subject, body, _ in cases:
            self.send([number], "From: Alice <alice@example.com>\r\nTo: %s\r\n"
                      "Subject: %s\r\n\r\n%s" % (number, subject, body))
        self.wait_log("} Processed OK (", count=3)
        texts = {r["Digits"]: r["Text"] for r in self.sink.requests()}
        self.assertEqual(texts, {number: text for number, _, _, text in cases})
        self.assertEqual(sum("{1} >>> SMS text (cut to 154 characters)" in line
                             for line in gw.log_lines()), 1)


if __name__ == "__main__":
    unittest.main()
