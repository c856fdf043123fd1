"""Peers that fail the gateway: a provider that never answers, hangs up in the middle of DATA or
answers slowly; an administrator's mail server that is down; a full disk; a log folder that
goes away. None of them stops the other recipients, ends a program, or loses a mail."""

import email
import email.policy
import os
import shutil
import smtplib
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from mailvane_harness import GATEWAY, GatewayTest, Sink, free_port, parse_request, wait_for


class ScriptedSmtp:
    """A loopback SMTP server whose connections follow a script, one behaviour per connection
    in order, then "normal" for every later one:

    - "normal": a plain SMTP server that keeps every complete message;
    - "silent": accepts the connection and never says a word;
    - "close_in_data": speaks until DATA, reads some text, then hangs up.

    Every reply waits `delay` seconds first (a slow server). `refuse` holds RCPT addresses
    answered with 550."""

    def __init__(self, script=(), delay=0.0, port=None):
        self.script = list(script)
        self.delay = delay
        self.refuse = set()
        self.mails = []          # (mail_from, [rcpt], message bytes)
        self.events = []         # (connection number, behaviour, what happened)
        self.lock = threading.Lock()
        self.port = port or free_port()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", self.port))
        self.listener.listen(16)
        self.stopping = False
        self.connections = []
        self.count = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def stop(self):
        self.stopping = True
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        with self.lock:
            for c in self.connections:
                try:
                    c.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                c.close()

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.count += 1
                number = self.count
                behaviour = self.script.pop(0) if self.script else "normal"
                self.connections.append(conn)
            threading.Thread(target=self._serve, args=(conn, number, behaviour),
                             daemon=True).start()

    def _note(self, number, behaviour, what):
        with self.lock:
            self.events.append((number, behaviour, what))

    def _serve(self, conn, number, behaviour):
        conn.settimeout(120)
        buffer = b""

        def reply(text):
            if self.delay:
                time.sleep(self.delay)
            conn.sendall(text.encode() + b"\r\n")

        def line():
            nonlocal buffer
            while b"\r\n" not in buffer:
                chunk = conn.recv(65536)
                if not chunk:
                    return None
                buffer += chunk
            l, _, buffer = buffer.partition(b"\r\n")
            return l

        try:
            if behaviour == "silent":
                while conn.recv(65536):
                    pass
                self._note(number, behaviour, "closed by the client")
                return
            reply("220 scripted.example ESMTP")
            mail_from, rcpts = None, []
            while True:
                l = line()
                if l is None:
                    self._note(number, behaviour, "closed by the client")
                    return
                verb = l[:4].upper()
                if verb in (b"EHLO", b"HELO"):
                    reply("250 scripted.example")
                elif verb == b"MAIL":
                    mail_from, rcpts = l[10:].strip(b"<>").decode(), []
                    reply("250 2.1.0 Ok")
                elif verb == b"RCPT":
                    address = l[8:].split(b">")[0].strip(b"<").decode()
                    if address in self.refuse:
                        reply("550 5.1.1 refused by the test")
                    else:
                        rcpts.append(address)
                        reply("250 2.1.5 Ok")
                elif verb == b"DATA":
                    reply("354 go on")
                    if behaviour == "close_in_data":
                        while len(buffer) < 10:
                            chunk = conn.recv(65536)
                            if not chunk:
                                break
                            buffer += chunk
                        self._note(number, behaviour, "hung up in DATA")
                        conn.close()
                        return
                    while b"\r\n.\r\n" not in b"\r\n" + buffer:
                        chunk = conn.recv(65536)
                        if not chunk:
                            return
                        buffer += chunk
                    text, _, buffer = (b"\r\n" + buffer).partition(b"\r\n.\r\n")
                    with self.lock:
                        self.mails.append((mail_from, rcpts, text[2:]))
                    reply("250 2.0.0 Ok")
                elif verb == b"QUIT":
                    reply("221 bye")
                    return
                else:
                    reply("250 Ok")
        except OSError:
            pass
        finally:
            conn.close()

    def to(self, address):
        with self.lock:
            return [email.message_from_bytes(m[2], policy=email.policy.default)
                    for m in self.mails if address in m[1]]

    def requests(self):
        return [parse_request(m) for m in self.to(GATEWAY)]


def send(port, to, body, subject="Alert"):
    text = ("From: Alice <alice@example.com>\r\nTo: %s\r\nSubject: %s\r\n\r\n%s\r\n"
            % (", ".join(to), subject, body)).encode()
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as client:
        client.sendmail("alice@example.com", to, text)


class PeerTest(GatewayTest):
    LOG_TIMEOUT = 60  # the mail layer's time-outs come first

    def peer(self, **kwargs):
        peer = ScriptedSmtp(**kwargs)
        self.addCleanup(peer.stop)
        return peer

    def numbers(self, peer):
        return sorted(r["Number"] for r in peer.requests())

    def assert_alive(self):
        self.assertIsNone(self.gw.process.poll(), "the server ended")
        self.assertEqual(len(self.gw.handler_pids()), 1, "the handler ended")


class ProviderTest(PeerTest):
    def test_a_provider_that_never_answers_times_out_and_the_rest_go_on(self):
        # The first connection hangs until the mail layer's time-out; the error mail and the
        # second recipient go through, and the next pass serves the first recipient.
        peer = self.peer(script=["silent"])
        gw = self.start_running(MailServer="127.0.0.1:%d" % peer.port)
        send(gw.port, ["447700900123", "447700900124"], "first body")
        self.wait_log("!!!Send Error (1/1) 447700900123/alice@example.com")
        # The peer's thread notes the close when it reads it, which may come after the log line.
        wait_for(lambda: (1, "silent", "closed by the client") in peer.events, 10,
                 what="the silent connection closed by the mail layer")
        self.wait_log("Processed OK (1/1) ", timeout=40)
        self.assertEqual(self.numbers(peer), ["447700900123", "447700900124"])
        self.assertEqual([m["Subject"] for m in peer.to("admin@example.com")],
                         ["Vanequeue 1 Message send Error (1/1)"])
        send(gw.port, ["447700900125"], "after the time-out")
        wait_for(lambda: "447700900125" in self.numbers(peer), 40, what="the next mail")
        self.assert_alive()

    def test_a_provider_that_hangs_up_in_data_is_tried_again(self):
        peer = self.peer(script=["close_in_data"])
        gw = self.start_running(MailServer="127.0.0.1:%d" % peer.port)
        send(gw.port, ["447700900123", "dave@example.org"], "cut short")
        self.wait_log("!!!Send Error (1/1) 447700900123/alice@example.com")
        self.wait_log("Processed OK (1/1) ")
        self.assertIn((1, "close_in_data", "hung up in DATA"), peer.events)
        self.assertEqual(self.numbers(peer), ["447700900123"])   # once: the cut one never counted
        self.assertEqual(len(peer.to("dave@example.org")), 1)
        self.assert_alive()

    def test_a_forward_destination_that_hangs_up_in_data_is_retried(self):
        peer = self.peer(script=["close_in_data"])
        gw = self.start_running(MailServer="127.0.0.1:%d" % peer.port)
        send(gw.port, ["dave@example.org", "447700900123"], "forward cut short")
        self.wait_log("!!!Send Error (1/1) dave@example.org/alice@example.com")
        self.wait_log("!!!There was a problem with the connection and a socket error occurred.")
        self.wait_log("Processed OK (1/1) ")
        self.assertEqual(len(peer.to("dave@example.org")), 1)
        self.assertEqual(self.numbers(peer), ["447700900123"])
        self.assert_alive()

    def test_a_slow_provider_is_waited_for(self):
        peer = self.peer(delay=1.0)  # about 7 s a mail: slow, inside the time-outs
        gw = self.start_running(MailServer="127.0.0.1:%d" % peer.port)
        send(gw.port, ["447700900123", "447700900124"], "slowly")
        self.wait_log("Processed OK (1/1) ", timeout=90)
        self.assertEqual(self.numbers(peer), ["447700900123", "447700900124"])
        self.assertFalse([l for l in gw.log_lines() if "!!!" in l])
        self.assert_alive()

    def test_a_second_server_in_the_list_takes_over_from_a_silent_first(self):
        silent = self.peer(script=["silent"] * 100)
        gw = self.start_running(MailServer="127.0.0.1:%d;127.0.0.1:%d" % (silent.port,
                                                                            self.sink.port))
        send(gw.port, ["447700900123"], "via the second")
        self.wait_log("Processed OK (1/1) ", timeout=90)
        self.assertEqual([r["Number"] for r in self.sink.requests()], ["447700900123"])
        self.assertFalse([l for l in gw.log_lines() if "!!!" in l])


class AdministratorTest(PeerTest):
    def test_error_mails_that_cannot_be_sent_are_logged_and_nothing_stops(self):
        # The administrator's mailbox refuses; a recipient that is not a usable number makes
        # the error that wants mailing.
        self.sink.refuse.add("admin@example.com")
        gw = self.start_running()
        send(gw.port, ["12ab", "447700900123"], "one bad number")
        self.wait_log("!!!Processed with errors (1/1) ")
        lines = gw.log_lines()
        failures = [l for l in lines if "Cannot send mail...." in l]
        self.assertEqual(len(failures), 1, failures)
        self.assertTrue(failures[0].startswith("{1} "), failures[0])
        self.assertTrue(failures[0].endswith("Cannot send mail....8"), failures[0])
        self.assertEqual([r["Number"] for r in self.sink.requests()], ["447700900123"])
        send(gw.port, ["447700900124"], "next")
        wait_for(lambda: "447700900124" in [r["Number"] for r in self.sink.requests()], 40,
                 what="the next mail")
        self.assert_alive()

    def test_all_mail_servers_down_then_back(self):
        port = free_port()  # nobody listens here yet
        gw = self.start_running(MailServer="127.0.0.1:%d" % port)
        send(gw.port, ["447700900123", "dave@example.org"], "while down")
        self.wait_log("!!!Errored (1/1) ")
        failures = [l for l in gw.log_lines() if "Cannot send mail...." in l]
        self.assertEqual(len(failures), 1, failures)
        self.assertTrue(failures[0].startswith("{1} ") and failures[0].endswith("....9"),
                        failures[0])
        self.assert_alive()
        peer = self.peer(port=port)
        self.wait_log("Processed OK (1/1) ")
        self.assertEqual(self.numbers(peer), ["447700900123"])
        self.assertEqual(len(peer.to("dave@example.org")), 1)
        self.assertEqual(peer.to("admin@example.com"), [])  # the error mail is not retried


def can_mount_tmpfs():
    if os.geteuid() != 0 or not shutil.which("mount"):
        return False
    probe = tempfile.mkdtemp(prefix="mailvane-mount-")
    try:
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", probe],
                          capture_output=True).returncode != 0:
            return False
        subprocess.run(["umount", probe], capture_output=True)
        return True
    finally:
        os.rmdir(probe)


class LocalFaultsTest(PeerTest):
    @unittest.skipUnless(can_mount_tmpfs(), "needs root and tmpfs mounts to make a full disk")
    def test_a_full_spool_disk_gets_451_and_the_mail_comes_again(self):
        gw = self.start_running()
        spool = gw.spool_dir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", spool], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", spool], capture_output=True)
        filler = os.path.join(spool, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            for _ in range(1000):  # 256 KiB fill long before this
                os.write(fd, b"\0" * 1024)
        except OSError:
            pass
        finally:
            os.close(fd)
        body = "full disk " + "\r\n".join(["x" * 1000] * 20)
        text = ("To: 447700900123\r\nSubject: s\r\n\r\n%s\r\n" % body).encode()
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=30) as client:
            with self.assertRaises(smtplib.SMTPDataError) as failed:
                client.sendmail("a@example.com", ["447700900123"], text)
            self.assertEqual(failed.exception.smtp_code, 451)
            self.assertEqual(client.noop()[0], 250)
        self.assertEqual([n for n in os.listdir(spool) if n != "filler" and
                          not n.startswith(".vanequeue")], [])  # nothing half-written is left
        self.assertTrue([l for l in gw.log_lines() if l.startswith("!!!Cannot write spool file")])
        self.assert_alive()
        os.unlink(filler)
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=30) as client:
            client.sendmail("a@example.com", ["447700900123"], text)
        wait_for(lambda: self.sink.requests(), 40, what="the provider request")
        self.assertTrue(self.sink.requests()[0]["Text"].startswith("full disk xxx"))

    def test_an_unwritable_log_file_stops_nothing(self):
        gw = self.start_running()
        # Today's (and tomorrow's) log file names taken by folders: every log write fails.
        for day in (0, 1):
            name = time.strftime("%Y%m%d.log", time.localtime(time.time() + day * 86400))
            path = os.path.join(gw.log_dir, name)
            if os.path.exists(path):
                os.rename(path, path + ".before")
            os.mkdir(path)
        send(gw.port, ["447700900123"], "no log")
        wait_for(lambda: self.sink.requests(), 40, what="the provider request")
        wait_for(lambda: not [n for n in gw.spool_files() if n.endswith(".msg")], 20,
                 what="the spool file to go")
        self.assertTrue(any("cannot write the log" in l for l in gw.output), gw.output[-5:])
        self.assert_alive()

    def test_a_log_folder_removed_after_start(self):
        gw = self.start_running()
        shutil.rmtree(gw.log_dir)
        # The spool folder went with it: the client is told to come again, nothing is lost.
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=30) as client:
            with self.assertRaises(smtplib.SMTPDataError) as failed:
                client.sendmail("a@example.com", ["447700900123"],
                                b"To: 447700900123\r\nSubject: s\r\n\r\nlater\r\n")
            self.assertEqual(failed.exception.smtp_code, 451)
        time.sleep(6)  # a scan and a processing pass over the missing folder
        self.assert_alive()
        os.makedirs(gw.spool_dir())
        send(gw.port, ["447700900123"], "back again")
        wait_for(lambda: self.sink.requests(), 40, what="the provider request")
        self.assertEqual(self.sink.requests()[0]["Text"], "back again")
        self.assert_alive()


if __name__ == "__main__":
    unittest.main()
