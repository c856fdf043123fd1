"""The road of a mail to a provider's REST API: SMTP in, the real handler sending over HTTPS to
a stand-in provider (tests/https_provider.py, with a self-signed certificate that the
installation trusts through CAFile), for each preset and a template, and what the provider's
refusals, 429s, 5xx, silence and a wrong certificate make of it in the log; and a test SMS of the
console's Provider page that a stop of the server ends while the provider holds it."""

import base64
import http.client
import json
import os
import shutil
import signal
import smtplib
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
from email.message import EmailMessage

from https_provider import HttpsProvider
from mail_tls_test import self_signed_certificate
from mailvane_harness import GatewayTest, free_port, store_text, wait_for

PROVIDER_KEY = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane\\Provider]"


def reference(spool_name, digits):
    """{reference}: 64-bit FNV-1a of the spool file's name, a zero byte and the digits, in hex."""
    value = 14695981039346656037
    for byte in spool_name.encode() + b"\0" + digits.encode():
        value = ((value ^ byte) * 1099511628211) % 2 ** 64
    return "%016x" % value
AWKWARD = 'Say "hi" & a=b; 50% off\nline two 😀 C:\\temp\\ {text} Zoë'


class HttpProviderTest(GatewayTest):
    def setUp(self):
        super().setUp()
        self.folder = tempfile.mkdtemp(prefix="mailvane-http-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.cert, key = self_signed_certificate(self.folder)
        self.provider = HttpsProvider(self.cert, key)
        self.addCleanup(self.provider.stop)
        self.origin = "https://127.0.0.1:%d" % self.provider.port

    def start_http(self, preset, **provider):
        values = {"Protocol": "http", "Preset": preset, "CAFile": self.cert,
                  "Url": self.origin + "/Accounts/{account}/Messages.json"}
        values.update(provider)
        extra = "\r\n" + PROVIDER_KEY + "\r\n" + "".join(
            '"%s"="%s"\r\n' % (k, v.replace("\\", "\\\\").replace('"', '\\"'))
            for k, v in values.items())
        settings = self.gw.default_settings(self.sink.port, MaxLength="1000", StripCRLF="0")
        with open(self.gw.store, "w", encoding="utf-8", newline="") as f:
            f.write(store_text(settings, extra))
        self.gw.start("-debug")
        self.gw.wait_listening()

    def send(self, to, body=AWKWARD, sender="Alice <alice@example.com>"):
        m = EmailMessage()
        m["From"], m["To"], m["Subject"] = sender, ", ".join(to), "Alert"
        m.set_content(body)
        with smtplib.SMTP("127.0.0.1", self.gw.port, timeout=30) as client:
            client.send_message(m)

    def errors(self):
        return [l for l in self.gw.log_lines() if "!!!" in l]

    def test_form_basic_road_with_keep_alive(self):
        self.provider.default = (201, {"sid": "SM1", "status": "queued"}, {})
        self.start_http("form-basic", From="+15005550006")
        self.send(["+447700900123@sms.example.com", "Bob <07700-900124>"])
        self.send(["447700900125"], body="second")
        self.wait_log("Processed OK", count=2)
        got = self.provider.of("/Accounts/acct/Messages.json")
        self.assertEqual([(r["fields"]["To"], r["fields"]["From"]) for r in got],
                         [("+447700900123", "+15005550006"), ("07700900124", "+15005550006"),
                          ("447700900125", "+15005550006")])
        self.assertEqual(got[0]["fields"]["Body"], AWKWARD.replace("\n", "\r\n"))
        self.assertEqual(got[0]["headers"]["authorization"],
                         "Basic " + base64.b64encode(b"acct:secret").decode())
        self.assertEqual(self.provider.connections, 1)  # one connection for every request
        self.assertEqual(self.errors(), [])

    def test_json_key_refusal_then_success_and_a_bad_number(self):
        ok = (200, {"message-count": "1", "messages": [{"status": "0", "message-id": "x1"}]}, {})
        self.provider.default = ok
        self.provider.script = [(200, {"messages": [{"status": "4", "error-text": "Bad Credentials"}]}, {})]
        self.start_http("json-key", Url=self.origin + "/sms/json", From="Alerts")
        self.send(["447700900123"])
        self.wait_log("!!!HTTP 200: Bad Credentials")
        self.wait_log("Processed OK")  # the handler's next pass
        spool = [l for l in self.gw.log_lines() if "Processed OK" in l][0].rsplit("/", 1)[1]
        sent = self.provider.of("/sms/json")
        self.assertEqual(len(sent), 2)
        # Both tries carry the one reference of this recipient of this message.
        ref = reference(spool, "447700900123")
        self.assertEqual(sent[1]["fields"], {"api_key": "acct", "api_secret": "secret",
                                             "from": "Alerts", "to": "447700900123",
                                             "text": AWKWARD.replace("\n", "\r\n"),
                                             "client-ref": ref})
        self.assertEqual(sent[0]["fields"]["client-ref"], ref)
        self.send(["4477009x@sms.example.com"], body="never sent")
        self.wait_log('!!!Invalid mobile number "4477009x"')
        self.assertEqual(len(self.provider.of()), 2)

    def test_429_is_tried_again_within_send_and_500_on_the_next_pass(self):
        self.provider.default = (201, {"sid": "SM1"}, {})
        self.provider.script = [(429, {"message": "Too many requests"}, {"Retry-After": "1"}),
                                (500, "Internal error", {})]
        self.start_http("form-basic")
        self.send(["447700900123"], body="retried")
        self.wait_log("Processed OK")
        self.assertEqual([l.split("} ", 1)[1] for l in self.gw.log_lines() if "trying again" in l],
                         ["HTTP 429 from %s, trying again in 1 s" % self.origin])
        self.assertEqual([l.split("!!!", 1)[1] for l in self.errors() if "!!!HTTP" in l],
                         ["HTTP 500: Internal error"])
        self.assertEqual([r["fields"]["Body"] for r in self.provider.of()], ["retried"] * 3)

    def test_an_xml_template_escapes_what_it_inserts(self):
        self.provider.default = (200, {"id": "1"}, {})
        self.start_http("template", Url=self.origin + "/xml", ContentType="text/xml",
                        Body="<sms><to>{digits}</to><text>{text}</text><from>{from}</from></sms>")
        hostile = "hi</text></sms><sms><to>+1900</to><text>x & 'y' \"z\""
        self.send(["447700900123"], body=hostile)
        self.wait_log("Processed OK")
        root = ElementTree.fromstring(self.provider.of("/xml")[0]["body"])
        self.assertEqual([(e.tag, e.text) for e in root],
                         [("to", "447700900123"), ("text", hostile), ("from", "Alice")])

    def test_template_with_a_refusal_that_names_no_password(self):
        self.provider.default = (400, {"error": {"text": "number blocked for secret"}}, {})
        self.start_http("template", Url=self.origin + "/v1/send?to={digits}&who={name}",
                        ContentType="application/json", Headers="Authorization: Bearer {password}",
                        Body='{"msg":"{text}","from":"{from}"}', SuccessPointer="/id",
                        ErrorPointer="/error/text")
        self.send(["Zoë Q <+447700900123>"])
        self.wait_log("!!!HTTP 400: number blocked for ***")
        sent = self.provider.of("/v1/send")[0]
        self.assertEqual(sent["path"], "/v1/send?to=%2B447700900123&who=Zo%C3%AB%20Q")
        self.assertEqual(sent["headers"]["authorization"], "Bearer secret")
        self.assertEqual(sent["fields"], {"msg": AWKWARD.replace("\n", "\r\n"),
                                          "from": "Alice"})
        self.assertFalse([l for l in self.gw.log_lines() if "secret" in l])

    def test_a_silent_provider_times_out(self):
        self.provider.default = "hang"
        self.start_http("form-basic", Timeout="2")
        self.send(["447700900123"], body="anyone there")
        self.wait_log("!!!HTTP request to %s failed: Operation timed out" % self.origin)

    def test_a_wrong_certificate_is_refused(self):
        other, _ = self_signed_certificate(tempfile.mkdtemp(dir=self.folder))
        self.start_http("form-basic", CAFile=other)
        self.send(["447700900123"], body="not trusted")
        self.wait_log("!!!HTTP request to %s failed: SSL certificate problem" % self.origin)
        self.assertEqual(self.provider.count, 0)

    # The Provider page's test SMS, through the console of the real server.

    def call(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.console, timeout=30)
        base = {"Origin": "http://127.0.0.1:%d" % self.console, "Content-Type": "application/json"}
        connection.request(method, path, json.dumps(body) if body is not None else None,
                           {**base, **(headers or {})})
        response = connection.getresponse()
        answer = (response.status, response.getheader("Set-Cookie"), response.read().decode())
        connection.close()
        return answer

    def sign_in(self):
        def console_up():
            try:
                return self.call("GET", "/healthz")[0] == 200
            except OSError:
                return False
        wait_for(console_up, 30, what="the console")
        with open(os.path.join(self.gw.dir, "console.secret"), encoding="utf-8") as f:
            secret = f.read().strip()
        status, cookie, body = self.call("POST", "/login", {"secret": secret})
        self.assertEqual(status, 200, body)
        return {"Cookie": cookie.split(";", 1)[0], "X-CSRF-Token": json.loads(body)["csrf"]}

    def test_a_stop_ends_a_test_sms_that_the_provider_holds(self):
        self.provider.default = "hang"
        self.provider.hang_seconds = 120
        self.console = free_port()
        self.gw.env["MAILVANE_CONSOLE"] = "127.0.0.1:%d" % self.console
        self.start_http("form-basic", Timeout="300")
        session = self.sign_in()
        status, _, body = self.call("POST", "/api/provider/test", {"number": "447700900123"},
                                    session)
        self.assertEqual(status, 200, body)
        wait_for(lambda: self.provider.count == 1, 30, what="the test request")
        # Before, the server's end waited for the provider's answer (here 120 s).
        self.assertEqual(self.gw.stop(timeout=30), 0)

    def test_a_service_stop_ends_an_sms_that_the_provider_holds(self):
        self.provider.default = "hang"
        self.provider.hang_seconds = 120
        self.start_http("form-basic", Timeout="300")
        self.send(["447700900123"], body="held")
        wait_for(lambda: self.provider.count == 1, 30, what="the request")
        spooled = self.gw.spool_files()
        # As systemd stops a service: every process of it gets SIGTERM. Before, the handler
        # heard it only after the provider's answer (here 120 s), and the server waited for it.
        for pid in self.gw.handler_pids():
            os.kill(pid, signal.SIGTERM)
        self.assertEqual(self.gw.stop(timeout=30), 0)
        wait_for(lambda: not self.gw.handler_pids(), 10, what="the handler's end")
        self.assertEqual(self.gw.spool_files(), spooled)  # still queued, for the next start
        self.assertEqual(self.errors(), [])


if __name__ == "__main__":
    unittest.main()
