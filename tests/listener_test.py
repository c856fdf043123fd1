"""The listener of the real server: admission by the allow-list, spool files, and what a client
is told when its mail cannot be stored."""

import os
import shutil
import smtplib
import subprocess
import unittest

from mailvane_harness import GATEWAY, GatewayTest, wait_for


class ListenerTest(GatewayTest):
    def test_a_refused_client_gets_554_and_its_line(self):
        gw = self.start_running(AllowedIP="127.0.0.2")
        with self.assertRaises(smtplib.SMTPConnectError) as refused:
            smtplib.SMTP("127.0.0.1", gw.port, timeout=10)
        self.assertEqual(refused.exception.smtp_code, 554)
        gw.wait_line("Illegal IP 127.0.0.1 rejected...")

    def test_the_spool_file_holds_the_text_as_received_and_a_line_end(self):
        self.sink.refuse.add(GATEWAY)  # keeps the handler from finishing with the file
        gw = self.start_running()
        text = ("From: a@example.com\r\nTo: 447700900123\r\nSubject: s\r\n\r\n"
                "caf\xc3\xa9\r\n..dotted\r\n.\r\nlast").encode("latin-1")
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=10) as client:
            client.ehlo()
            client.sendmail("a@example.com", ["447700900123"], text.replace(b"\r\n.\r\n", b"\r\n"))
        gw.wait_line("+++Received from 127.0.0.1 to 447700900123...")
        names = [n for n in gw.spool_files() if n.endswith(".msg")]
        self.assertEqual(len(names), 1)
        self.assertRegex(names[0], r"^\d{9,14}\.1\.msg$")
        with open(os.path.join(gw.spool_dir(), names[0]), "rb") as f:
            stored = f.read()
        expected = text.replace(b"\r\n.\r\n", b"\r\n") + b"\r\n"
        self.assertEqual(stored, expected)
        line = [l for l in gw.output if "+++Received" in l][0]
        self.assertTrue(line.endswith("...%d bytes" % (len(expected) - 2)), line)

    def test_swaks_delivers_pipelined(self):
        if not shutil.which("swaks"):
            self.skipTest("swaks is not installed")
        gw = self.start_running()
        result = subprocess.run(
            ["swaks", "--server", "127.0.0.1", "--port", str(gw.port), "--pipeline",
             "--from", "a@example.com", "--to", "447700900123,447700900124",
             "--body", "from swaks"], capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        wait_for(lambda: len(self.sink.requests()) == 2, 30, what="two provider requests")

    def test_an_unwritable_spool_folder_leaves_the_mail_with_the_client(self):
        gw = self.start_running()
        shutil.rmtree(gw.spool_dir())
        with open(gw.spool_dir(), "w") as f:  # a file where the folder should be
            f.write("in the way")
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=10) as client:
            with self.assertRaises(smtplib.SMTPDataError) as failed:
                client.sendmail("a@example.com", ["447700900123"], b"Subject: s\r\n\r\nbody")
            self.assertEqual(failed.exception.smtp_code, 451)
            self.assertEqual(client.noop()[0], 250)  # the session goes on
        self.assertIsNone(gw.process.poll())
        os.unlink(gw.spool_dir())
        os.mkdir(gw.spool_dir())
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=10) as client:
            client.sendmail("a@example.com", ["447700900123"], b"To: 447700900123\r\nSubject: s\r\n\r\nagain")
        wait_for(lambda: len(self.sink.requests()) == 1, 30, what="the provider request")


if __name__ == "__main__":
    unittest.main()
