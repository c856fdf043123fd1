"""The road of a mail to an SMSC: SMTP in, the real handler bound over SMPP to node-smpp's server
(tests/smpp/simulator.js), the SMS as the SMSC decodes and reassembles it, and what the SMSC's
answers, drops and receipts make of it in the log."""

import os
import shutil
import smtplib
import sqlite3
import sys
import tempfile
import unittest
from email.message import EmailMessage

from mail_tls_test import self_signed_certificate
from mailvane_harness import Gateway, GatewayTest, store_text, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "smpp"))
from smsc import Smsc  # noqa: E402

PROVIDER_KEY = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane\\Provider]"
LONG_GSM = ("Extension characters such as € and [ ] must never be cut in two. " * 7)[:420]
# 66 two-octet letters, then a surrogate pair that would straddle the first part's end.
LONG_UCS2 = "ж" * 66 + "😀" + "Grüße aus Köln 日本 " * 6


class SmppTest(GatewayTest):
    def start_smpp(self, smsc, env=None, **provider):
        values = {"Protocol": "smpp", "Host": "127.0.0.1", "Port": str(smsc.port)}
        values.update(provider)
        extra = "\r\n" + PROVIDER_KEY + "\r\n" + "".join(
            '"%s"="%s"\r\n' % item for item in values.items())
        settings = self.gw.default_settings(self.sink.port, MaxLength="1000")
        self.gw.write_settings(settings)
        with open(self.gw.store, "w", encoding="utf-8", newline="") as f:
            f.write(store_text(settings, extra))
        self.gw.env.update(env or {})
        self.gw.start("-debug")
        self.gw.wait_listening()

    def smsc(self, **kwargs):
        smsc = Smsc(**kwargs)
        self.addCleanup(smsc.stop)
        return smsc

    def send(self, to, body, sender="Alice <alice@example.com>"):
        m = EmailMessage()
        m["From"] = sender
        m["To"] = ", ".join(to)
        m["Subject"] = "Alert"
        m.set_content(body)
        with smtplib.SMTP("127.0.0.1", self.gw.port, timeout=30) as client:
            client.send_message(m)

    def journal_rows(self, sql):
        path = os.path.join(self.gw.log_dir, "journal.sqlite")
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            return db.execute(sql).fetchall()

    def test_a_journal_that_cannot_be_used_loses_and_repeats_no_sms(self):
        smsc = self.smsc()
        journal = os.path.join(self.gw.log_dir, "journal.sqlite")
        with open(journal, "wb") as f:
            f.write(b"this is not a database\n" * 100)
        self.start_smpp(smsc)
        self.send(["447700900121", "447700900122"], "first")
        self.wait_log("Processed OK")
        self.gw.stop()
        os.remove(journal)
        os.mkdir(journal)  # a folder in its place
        self.gw.start("-debug")
        self.gw.wait_listening()
        self.send(["447700900123"], "second")
        self.wait_log("Processed OK", count=2)
        for number in ("447700900121", "447700900122", "447700900123"):
            self.assertEqual(len(self.sms_to(smsc, number)), 1, number)
        lines = self.gw.log_lines()
        broken = [l for l in lines if "!!!The message journal cannot be" in l]
        self.assertEqual(len(broken), 2, lines)  # once for each handler
        mails = [m for m in self.sink.to("admin@example.com") if "Journal Error" in m[2]["Subject"]]
        self.assertEqual(len(mails), 2)
        # Mended while the handler runs: what was kept is written at a later pass.
        os.rmdir(journal)
        self.wait_log("{1} The message journal is written again")
        self.assertEqual(self.journal_rows("SELECT state FROM recipients"), [("sent",)])

    def sms_to(self, smsc, number):
        return [e for e in smsc.of("sms") if e["dest_addr"] == number]

    def test_road_of_each_alphabet_and_length(self):
        smsc = self.smsc()
        self.start_smpp(smsc, SystemType="mvtest")
        cases = [  # (recipients, body, data_coding, parts, destination, dest_ton)
            (["+447700900123@sms.example.com", "Bob <07700900124>"],
             "Price: 5€ [ok] {x} ~ ^ | \\ done", 0, 1, "447700900123", 1),
            (["00447700900125@sms.example.com"], "Grüße 😀 Zoë 日本", 8, 1, "447700900125", 1),
            (["447700900126"], LONG_GSM, 0, 3, "447700900126", 0),
            (["447700900127"], LONG_UCS2, 8, 3, "447700900127", 0),
            (["447700900128"], "a" * 160, 0, 1, "447700900128", 0),  # one SMS each, not two
            (["447700900129"], "ж" * 70, 8, 1, "447700900129", 0),
        ]
        for to, body, *_ in cases:
            self.send(to, body)
        self.wait_log("Processed OK", count=len(cases))
        self.assertEqual(smsc.of("bind")[0]["system_type"], "mvtest")
        for to, body, coding, parts, number, ton in cases:
            sms = self.sms_to(smsc, number)
            self.assertEqual(len(sms), 1, number)
            # The line break and spaces that end the body are no part of the text.
            self.assertEqual(sms[0]["text"], body.rstrip(), number)
            self.assertEqual((sms[0]["data_coding"], sms[0]["parts"], sms[0]["dest_ton"]),
                             (coding, parts, ton), number)
        bob = self.sms_to(smsc, "07700900124")
        self.assertEqual((len(bob), bob[0]["dest_ton"]), (1, 0))
        submit = smsc.of("submit")[0]
        self.assertEqual((submit["source_addr"], submit["source_ton"]), ("Alice", 5))
        self.assertFalse([l for l in self.gw.log_lines() if "!!!" in l])

    def test_a_refused_bind_is_reported_and_retried(self):
        smsc = self.smsc(password="other")
        self.start_smpp(smsc)
        self.send(["447700900123"], "hello")
        self.wait_log("!!!SMPP bind_transceiver: ESME_RBINDFAIL (0x0000000D)")
        self.wait_log("!!!Errored (1/1) ")
        wait_for(lambda: self.sink.to("admin@example.com"), what="the error mail")
        smsc.wait("bind", count=2)  # rebinding with back-off
        self.assertEqual(smsc.of("bind")[0]["password"], "secret")
        self.assertEqual(smsc.of("sms"), [])

    def test_throttling_pauses_and_a_refusal_is_retried_by_the_handler(self):
        smsc = self.smsc()
        self.start_smpp(smsc)
        smsc.command("set", throttle=2, fail={"count": 1, "status": 0x45})
        self.send(["447700900123"], "hello")
        self.wait_log("Processed OK")
        self.assertEqual(len(smsc.of("throttled")), 2)
        errors = [l for l in self.gw.log_lines() if l.startswith("{1} !!!SMPP")]
        self.assertEqual(errors, ["{1} !!!SMPP submit_sm: ESME_RSUBMITFAIL (0x00000045)"])
        smsc.wait("sms")  # its report may follow the handler's log line
        self.assertEqual(len(self.sms_to(smsc, "447700900123")), 1)

    def test_a_connection_dropped_in_a_window_loses_and_repeats_nothing(self):
        smsc = self.smsc()
        self.start_smpp(smsc, Window="3")
        smsc.command("set", drop_after=5)  # the second part of the second recipient
        numbers = ["447700900121", "447700900122", "447700900123"]
        self.send(numbers, LONG_GSM)
        self.wait_log("Processed OK", timeout=60)
        lines = self.gw.log_lines()
        for number in numbers:
            sms = self.sms_to(smsc, number)
            self.assertEqual([s["text"] for s in sms], [LONG_GSM], number)
        failed = [n for n in numbers if any("!!!Send Error (1/1) " + n in l for l in lines)]
        self.assertIn("447700900122", failed)
        self.assertNotIn("447700900121", failed)
        self.assertTrue(any(l.startswith("{1} !!!SMPP connection to 127.0.0.1:%d lost" % smsc.port)
                            for l in lines), lines)
        self.assertEqual(len(smsc.of("bind")), 2)

    def test_the_window_holds_sms_of_several_recipients_at_once(self):
        # The SMSC answers only once three submits wait: one SMS at a time would time out.
        smsc = self.smsc()
        self.start_smpp(smsc, Window="3")
        smsc.command("set", hold=3)
        numbers = ["4477009001%02d" % i for i in range(6)]
        self.send(numbers, "Together")
        self.wait_log("Processed OK", timeout=20)
        self.assertEqual([e["count"] for e in smsc.wait("released", 2)], [3, 3])
        self.assertEqual(sorted(s["dest_addr"] for s in smsc.wait("sms", 6)), numbers)
        self.assertFalse(any("!!!" in l for l in self.gw.log_lines()))

    def test_answers_read_by_their_kind_and_leniently(self):
        # ESME_ROK with an optional parameter, or without the NUL, is an accepted SMS (sent once);
        # an answer of another kind on a submit's sequence fails it with its text.
        smsc = self.smsc()
        self.start_smpp(smsc)
        kinds = ["tlv", "no_nul", "generic_nack", "enquire_link_resp"]
        smsc.command("set", answers=kinds, status=0)
        numbers = ["44770090013%d" % i for i in range(len(kinds))]
        self.send(numbers, "hello")
        self.wait_log("Processed OK")
        by_kind = {e["kind"]: e["dest_addr"] for e in smsc.of("answered")}
        self.assertEqual(sorted(by_kind), sorted(kinds))
        for number in numbers:
            self.assertEqual(len(self.sms_to(smsc, number)), 1, number)
        errors = [l for l in self.gw.log_lines() if "!!!" in l and "!!!Errored" not in l]
        self.assertEqual(sorted(errors), sorted([
            "{1} !!!Send Error (1/1) %s/alice@example.com" % by_kind["generic_nack"],
            "{1} !!!Send Error (1/1) %s/alice@example.com" % by_kind["enquire_link_resp"],
            "{1} !!!SMPP generic_nack: ESME_ROK (0x00000000)",
            "{1} !!!SMPP submit_sm: answered by enquire_link_resp, ESME_ROK (0x00000000)"]))

    def test_an_smsc_that_stops_reading_is_dropped_and_rebound(self):
        smsc = self.smsc()
        self.start_smpp(smsc)
        self.send(["447700900123"], "bind first")
        smsc.wait("sms")
        smsc.command("flood", count=400000)
        smsc.wait("close", timeout=60)
        self.assertLess(smsc.wait("flooded", timeout=60)[0]["sent"], 400000)
        smsc.wait("bind", count=2, timeout=20)  # back after its back-off
        self.send(["447700900124"], "after the flood")
        self.wait_log("Processed OK", count=2)

    def test_a_stop_during_a_pass_leaves_the_unsent_mail_queued_untouched(self):
        smsc = self.smsc()
        self.start_smpp(smsc)
        smsc.command("set", hold=100)  # no answer comes
        self.send(["447700900121", "447700900122", "447700900123"], "Stopping")
        smsc.wait("submit")
        self.gw.stop()
        wait_for(lambda: not self.gw.handler_pids(), what="the handler to end")
        self.assertEqual([l for l in self.gw.log_lines() if "Send Error" in l or "Errored" in l],
                         [])
        self.assertEqual(self.sink.to("admin@example.com"), [])
        # The spool file stays, with no record of served recipients beside it.
        left = [f for f in self.gw.spool_files() if not f.startswith(".") and ".msg." not in f]
        self.assertEqual(len(left), 1, self.gw.spool_files())
        self.assertTrue(left[0].endswith(".msg"), left)

    def test_receipts_enquire_link_and_unbind(self):
        smsc = self.smsc()
        self.start_smpp(smsc, DeliveryReports="1", SourceAddress="+4470000")
        self.send(["447700900123"], LONG_GSM)
        sms = smsc.wait("sms")[0]
        self.assertEqual(sms["registered_delivery"], [0, 0, 1])  # the last part asks for it
        self.assertEqual(smsc.of("submit")[0]["source_addr"], "4470000")
        for stat, message_id in (("DELIVRD", sms["message_ids"][2]), ("UNDELIV", "x-77")):
            smsc.command("receipt", message_id=message_id, stat=stat, dest_addr="447700900123")
        self.wait_log("{1} SMS 447700900123 DELIVRD (%s)" % sms["message_ids"][2])
        self.wait_log("{1} !!!SMS 447700900123 UNDELIV (x-77)")
        self.wait_log("{1} SMS sent (1/1) 447700900123 (%s)" % " ".join(sms["message_ids"]))
        self.assertEqual([e["status"] for e in smsc.wait("deliver_sm_resp", 2)], [0, 0])
        # The receipt reaches the journal with the next scan: found by the last part's id.
        wait_for(lambda: self.journal_rows(
            "SELECT r.state, r.receipt_state, r.parts FROM recipients r") ==
            [("delivered", "delivered", 3)], what="the receipt in the journal")
        smsc.command("enquire_link")
        smsc.wait("enquire_link_resp")
        smsc.wait("enquire_link", timeout=40)  # the session's own, every 30 s
        smsc.command("unbind")
        smsc.wait("bind", count=2, timeout=10)  # back after its back-off
        self.gw.stop()
        smsc.wait("unbind")

    def test_tls_verifies_the_smsc(self):
        folder = tempfile.mkdtemp(prefix="mailvane-smpp-tls-")
        self.addCleanup(shutil.rmtree, folder, True)
        cert, key = self_signed_certificate(folder)
        with open(key) as k, open(cert) as c:
            smsc = self.smsc(tls=(k.read(), c.read()))
        # First trusted (SSL_CERT_FILE names the trust store), then not.
        self.start_smpp(smsc, env={"SSL_CERT_FILE": cert}, TLS="1")
        self.send(["447700900123"], "over TLS")
        self.wait_log("Processed OK")
        self.assertEqual([s["text"] for s in smsc.of("sms")], ["over TLS"])
        self.gw.stop()
        self.gw.close()
        self.gw = Gateway()
        self.addCleanup(self.gw.close)
        self.start_smpp(smsc, env={"SSL_CERT_FILE": os.devnull}, TLS="1")
        self.send(["447700900123"], "not trusted")
        self.wait_log("!!!SMPP TLS with 127.0.0.1:%d: certificate verify failed" % smsc.port)
        self.assertEqual(len(smsc.of("sms")), 1)


if __name__ == "__main__":
    unittest.main()
