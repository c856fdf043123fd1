"""Crashes: the server killed (SIGKILL) at random moments while clients deliver, and the handler
killed in the middle of a pass. What a client saw acknowledged with 250 is never lost, a spool
file is never seen half-written, and a crash repeats at most the one send it interrupted."""

import collections
import os
import random
import signal
import smtplib
import threading
import time
import unittest

from failing_peers_test import ScriptedSmtp
from mailvane_harness import GatewayTest, wait_for

KILLS = 8
CLIENTS = 3


def mail_text(marker, padding):
    """A mail whose whole text follows from its marker: a spool file can be checked byte by
    byte. The body starts with the marker, so the SMS text carries it."""
    return ("From: Crash <crash@example.com>\r\nTo: 447700900123\r\nSubject: %s\r\n\r\n"
            "BEGIN-%s\r\n%s\r\nEND-%s" % (marker, marker, "p" * padding, marker)).encode()


def marker_of(text):
    start = text.find(b"BEGIN-")
    if start < 0:
        return None
    return text[start + 6:text.find(b"\r\n", start)].decode()


def padding_of(marker):
    return int(marker.rsplit("-", 1)[1])


class ServerCrashTest(GatewayTest):
    def test_acknowledged_mails_survive_repeated_server_kills(self):
        seed = int(os.environ.get("MAILVANE_CRASH_SEED", time.time()))
        rng = random.Random(seed)
        print("\ncrash seed %d" % seed)
        gw = self.start_running()
        acked = []
        attempted = []
        lock = threading.Lock()
        stop = threading.Event()

        def client(number):
            local = random.Random(seed + number)
            for n in range(5000):  # bounded; the stop event ends it long before
                if stop.is_set():
                    return
                marker = "c%d-n%d-%d" % (number, n, local.choice([0, 100, 5000, 60000]))
                with lock:
                    attempted.append(marker)
                try:
                    with smtplib.SMTP("127.0.0.1", gw.port, timeout=20) as s:
                        s.sendmail("crash@example.com", ["447700900123"],
                                   mail_text(marker, padding_of(marker)))
                except (smtplib.SMTPException, OSError):
                    time.sleep(0.05)  # the server is down or went down: not acknowledged
                    continue
                with lock:
                    acked.append(marker)

        threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
        for t in threads:
            t.start()
        torn = []
        leftovers = 0
        try:
            for _ in range(KILLS):
                time.sleep(rng.uniform(0.1, 1.5))
                gw.process.kill()
                gw.process.wait()
                for name in gw.spool_files():
                    path = os.path.join(gw.spool_dir(), name)
                    if not name.endswith(".msg"):
                        leftovers += name.endswith(".tmp")
                        continue
                    try:
                        with open(path, "rb") as f:
                            text = f.read()
                    except FileNotFoundError:
                        continue  # the handler served it just now
                    marker = marker_of(text)
                    if marker is None or text != mail_text(marker, padding_of(marker)) + b"\r\n":
                        torn.append((name, text[:200]))
                gw.process.stdout.close()
                gw.start("-debug")
                gw.wait_listening(timeout=60)
        finally:
            time.sleep(1)
            stop.set()
            for t in threads:
                t.join(60)
        self.assertEqual(torn, [], "spool files not exactly one whole mail")
        self.assertGreater(len(acked), KILLS)  # the clients did get through between the kills

        def delivered():
            # The SMS text has its line breaks turned into spaces.
            return collections.Counter(r["Text"].split(" ")[0][len("BEGIN-"):]
                                       for r in self.sink.requests())

        try:
            wait_for(lambda: set(acked) <= set(delivered()), 180, interval=0.5,
                     what="every acknowledged mail at the provider")
        finally:
            counts = delivered()
            missing = sorted(set(acked) - set(counts))
            duplicates = {m: c for m, c in counts.items() if c > 1}
            print("crash: %d attempted, %d acknowledged, %d delivered, %d not acknowledged but "
                  "delivered, %d duplicated %s, %d temporary files left by kills, missing %s"
                  % (len(attempted), len(acked), len(counts),
                     len(set(counts) - set(acked)), len(duplicates), sorted(duplicates.items()),
                     leftovers, missing))
        self.assertTrue(set(counts) <= set(attempted))  # nothing arrives that nobody sent


class HandlerCrashTest(GatewayTest):
    RECIPIENTS = ["4477009001%02d" % i for i in range(6)]

    def test_a_handler_killed_mid_pass_repeats_at_most_the_interrupted_send(self):
        peer = ScriptedSmtp(delay=0.25)  # a slow provider: about 2 s a request
        self.addCleanup(peer.stop)
        gw = self.start_running(MailServer="127.0.0.1:%d" % peer.port)
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=30) as s:
            s.sendmail("crash@example.com", self.RECIPIENTS,
                       ("From: a@example.com\r\nTo: %s\r\nSubject: s\r\n\r\nmany\r\n"
                        % ", ".join(self.RECIPIENTS)).encode())
        wait_for(lambda: len(peer.requests()) >= 2, 60, what="two requests sent")
        time.sleep(random.uniform(0, 1.5))
        for pid in gw.handler_pids():
            os.kill(pid, signal.SIGKILL)
        wait_for(lambda: not gw.handler_pids(), 20, what="the handler to end")
        sent_before = len(peer.requests())
        self.assertEqual(len([n for n in gw.spool_files() if n.endswith(".msg")]), 1)
        gw.stop()
        gw.process.stdout.close()
        gw.start("-debug")
        wait_for(lambda: any("Processed OK" in l for l in gw.log_lines()), 90,
                 what="the message to be processed")
        counts = collections.Counter(r["Number"] for r in peer.requests())
        self.assertEqual(sorted(counts), self.RECIPIENTS)
        repeated = sum(c - 1 for c in counts.values())
        print("\nhandler crash: %d sent before the kill, %d repeated after" % (sent_before,
                                                                           repeated))
        self.assertLessEqual(repeated, 1, counts)
        self.assertEqual([n for n in gw.spool_files() if n.endswith(".msg")], [])


if __name__ == "__main__":
    unittest.main()
