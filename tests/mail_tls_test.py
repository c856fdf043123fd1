"""Outbound TLS through the real programs: a relay that offers STARTTLS with a self-signed
certificate, as relays inside networks often do, at each MailTLS level."""

import os
import smtplib
import ssl
import subprocess
import tempfile
import unittest
from email.message import EmailMessage

from mailvane_harness import GATEWAY, Gateway, Sink, wait_for


def self_signed_certificate(folder):
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


class MailTlsTest(unittest.TestCase):
    def test_each_level_against_a_self_signed_relay(self):
        folder = tempfile.mkdtemp(prefix="mailvane-tls-")
        cert, key = self_signed_certificate(folder)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(cert, key)
        cases = [  # MailTLS, MailTLSCAFile, whether the SMS reaches the relay
            (None, None, True),
            ("encrypt", None, True),
            ("verify", None, False),
            ("Verify", cert, True),
        ]
        for level, ca_file, delivered in cases:
            with self.subTest(level=level, ca_file=ca_file):
                sink = Sink(tls_context=context)
                gw = Gateway()
                try:
                    settings = gw.default_settings(sink.port)
                    if level:
                        settings["MailTLS"] = level
                    if ca_file:
                        settings["MailTLSCAFile"] = ca_file
                    gw.write_settings(settings)
                    gw.start("-debug")
                    gw.wait_listening()
                    m = EmailMessage()
                    m["From"], m["To"], m["Subject"] = "alice@example.com", "447700900123", "x"
                    m.set_content("disk full on db1")
                    with smtplib.SMTP("127.0.0.1", gw.port, timeout=30) as client:
                        client.send_message(m)
                    if delivered:
                        wait_for(lambda: sink.requests(), 30, what="the provider request")
                        self.assertEqual(sink.requests()[0]["Number"], "447700900123")
                    else:
                        wait_for(lambda: any("!!!Send Error" in l for l in gw.log_lines()), 30,
                                 what="the send error")
                        refusal = [l for l in gw.log_lines() if "MailTLS verify refused" in l]
                        self.assertTrue(refusal, "\n".join(gw.log_lines()))
                        self.assertEqual(sink.to(GATEWAY), [])
                finally:
                    gw.close()
                    sink.stop()


if __name__ == "__main__":
    unittest.main()
