"""Hostile SMTP clients against the real server over raw sockets: every bound of the listener
gets the reply it promises, nothing a client sends ends the server or the handler, and another
client is served while (and after) a hostile one does its worst."""

import os
import smtplib
import socket
import threading
import time
import unittest

from mailvane_harness import GatewayTest, wait_for

LINE_MAX = 2048          # SmtpLimits::max_line_length
MESSAGE_MAX = 10 << 20   # SmtpLimits::max_message_size
RECIPIENTS_MAX = 1000    # SmtpLimits::max_recipients
ERRORS_MAX = 20          # SmtpLimits::max_errors
CONNECTIONS_MAX = 100    # SmtpLimits::max_connections


class Raw:
    """One client connection that speaks SMTP byte by byte, as the test pleases."""

    def __init__(self, port, timeout=30, rcvbuf=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data)

    def line(self):
        """One reply line without its CR LF; None at the end of the connection."""
        while b"\r\n" not in self.buffer:
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                return None
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\r\n")
        return line.decode("latin-1")

    def reply(self):
        """A whole (possibly multi-line) reply as (code, last line)."""
        while True:
            line = self.line()
            if line is None:
                return None, None
            if len(line) < 4 or line[3] != "-":
                return int(line[:3]), line

    def cmd(self, text):
        self.send(text.encode("latin-1") + b"\r\n")
        return self.reply()

    def lines_to_end(self):
        lines = []
        while True:
            line = self.line()
            if line is None:
                return lines
            lines.append(line)

    def greeted(self):
        code, line = self.reply()
        assert code == 220, line
        return self

    def start_mail(self, to="447700900123"):
        assert self.cmd("EHLO hostile.example")[0] == 250
        assert self.cmd("MAIL FROM:<h@example.com>")[0] == 250
        assert self.cmd("RCPT TO:<%s>" % to)[0] == 250
        code, line = self.cmd("DATA")
        assert code == 354, line

    def close(self):
        self.sock.close()


def mail_text(marker, to="447700900123", extra_headers=""):
    return ("From: Good <good@example.com>\r\nTo: %s\r\nSubject: good\r\n%s\r\n%s\r\n"
            % (to, extra_headers, marker)).encode()


class HostileSmtpTest(GatewayTest):
    def setUp(self):
        super().setUp()
        self.start_running()
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            client.close()

    def raw(self, **kwargs):
        client = Raw(self.gw.port, **kwargs)
        self.clients.append(client)
        return client.greeted()

    def deliver(self, marker):
        """A well-behaved client's mail; returns the reply code of its DATA."""
        with smtplib.SMTP("127.0.0.1", self.gw.port, timeout=30) as client:
            client.sendmail("good@example.com", ["447700900123"], mail_text(marker))
        return 250

    def assert_listener_serves(self, marker="served"):
        self.assertEqual(self.deliver(marker), 250)
        self.assertIsNone(self.gw.process.poll(), "the server ended")

    def wait_request(self, marker, timeout=40):
        return wait_for(lambda: [r for r in self.sink.requests() if marker in r["Text"]],
                        timeout, what="a provider request with " + marker)

    def assert_handler_serves(self, marker):
        self.assert_listener_serves(marker)
        self.wait_request(marker)

    def received_lines(self):
        return [l for l in self.gw.log_lines() if l.startswith("+++Received from")]

    # Command lines.

    def test_an_over_long_command_line_is_refused_and_the_session_goes_on(self):
        client = self.raw()
        self.assertEqual(client.cmd("NOOP " + "x" * LINE_MAX), (500, "500 5.5.6 Line too long"))
        # At the bound exactly the line is still a command.
        self.assertEqual(client.cmd("NOOP" + " " * (LINE_MAX - 4))[0], 250)
        self.assertEqual(client.cmd("NOOP")[0], 250)
        self.assert_listener_serves()

    def test_a_recipient_of_a_megabyte_is_refused_as_an_over_long_line(self):
        client = self.raw()
        self.assertEqual(client.cmd("EHLO hostile.example")[0], 250)
        self.assertEqual(client.cmd("MAIL FROM:<h@example.com>")[0], 250)
        code, line = client.cmd("RCPT TO:<" + "4" * (1 << 20) + "@example.com>")
        self.assertEqual((code, line), (500, "500 5.5.6 Line too long"))
        self.assertEqual(client.cmd("RCPT TO:<447700900123>")[0], 250)  # the transaction stands
        self.assertEqual(client.cmd("QUIT")[0], 221)
        self.assert_listener_serves()

    def test_nul_bytes_in_commands_are_refused(self):
        client = self.raw()
        for command in ("NOOP\0", "EHLO a\0b", "MAIL FROM:<a\0@example.com>", "\0"):
            self.assertEqual(client.cmd(command),
                             (500, "500 5.5.2 Syntax error: NUL in command"), repr(command))
        self.assertEqual(client.cmd("NOOP")[0], 250)
        self.assert_listener_serves()

    def test_thousands_of_bad_commands_end_in_421_after_the_error_limit(self):
        client = self.raw()
        client.send(b"BOGUS\r\n" * 3000)
        lines = client.lines_to_end()
        refused = [l for l in lines if l.startswith("500 ")]
        self.assertEqual(len(refused), ERRORS_MAX + 1, lines[:3])
        self.assertEqual(lines[-1], "421 4.7.0 Too many errors")
        self.assert_listener_serves()

    def test_the_error_limit_counts_errors_not_commands(self):
        client = self.raw()
        for _ in range(ERRORS_MAX):
            self.assertEqual(client.cmd("BOGUS")[0], 500)
            self.assertEqual(client.cmd("NOOP")[0], 250)
        self.assertEqual(client.cmd("BOGUS")[0], 500)  # the 21st error: its reply, then 421
        self.assertEqual(client.reply(), (421, "421 4.7.0 Too many errors"))
        self.assertEqual(client.line(), None)

    # DATA text.

    def assert_text_refused(self, text, expected):
        client = self.raw()
        client.start_mail()
        client.send(text + b"\r\n.\r\n")
        self.assertEqual(client.reply(), expected)
        self.assertEqual(client.cmd("NOOP")[0], 250)  # the session goes on
        self.assertEqual(client.cmd("QUIT")[0], 221)
        self.assertEqual(self.received_lines(), [])
        self.assert_listener_serves()

    def assert_text_accepted(self, text, marker):
        client = self.raw()
        client.start_mail()
        client.send(b"To: 447700900123\r\n" + text + b"\r\n.\r\n")  # the handler reads To
        self.assertEqual(client.reply()[0], 250)
        self.assertEqual(client.cmd("QUIT")[0], 221)
        self.assertEqual(len(self.received_lines()), 1)
        self.wait_request(marker)

    def test_an_over_long_text_line_is_kept(self):
        self.assert_text_accepted(b"Subject: long\r\n\r\nlong-line " + b"y" * (LINE_MAX + 1),
                                  "long-line")

    def test_a_bare_lf_in_the_text_is_a_line_end_and_smuggles_nothing(self):
        # "\n.\n" would end the message for a lax reader and start a second one.
        smuggled = (b"Subject: one\r\n\r\nfirst\n.\nMAIL FROM:<x@example.com>\nRCPT TO:<447700900999>\n"
                    b"DATA\nSubject: smuggled\n\nsecond")
        self.assert_text_accepted(smuggled, "first")
        # One mail: the "smuggled" commands are its text.
        self.assertEqual([r["Number"] for r in self.sink.requests()], ["447700900123"])
        self.assertIn("RCPT TO:<447700900999>", self.sink.requests()[0]["Text"])

    def test_a_bare_cr_in_the_text_is_refused(self):
        self.assert_text_refused(b"Subject: cr\r\n\r\none\rtwo",
                                 (550, "550 5.6.0 Bare <CR> in message text"))

    def test_a_message_over_the_size_limit_gets_552_and_nothing_is_spooled(self):
        client = self.raw(timeout=120)
        client.start_mail()
        line = b"z" * 1000 + b"\r\n"
        chunk = line * 1024  # about 1 MB
        for _ in range(MESSAGE_MAX // len(chunk) + 1):
            client.send(chunk)
        client.send(b".\r\n")
        self.assertEqual(client.reply(), (552, "552 5.3.4 Message too big"))
        self.assertEqual(client.cmd("NOOP")[0], 250)
        self.assertEqual(self.received_lines(), [])
        self.assertEqual([n for n in self.gw.spool_files() if n.endswith(".msg")], [])
        self.assert_listener_serves()

    def test_an_announced_size_over_the_limit_is_refused_at_mail(self):
        client = self.raw()
        self.assertEqual(client.cmd("EHLO hostile.example")[0], 250)
        code, line = client.cmd("MAIL FROM:<h@example.com> SIZE=%d" % (MESSAGE_MAX + 1))
        self.assertEqual(code, 552, line)
        self.assertEqual(client.cmd("MAIL FROM:<h@example.com> SIZE=%d" % MESSAGE_MAX)[0], 250)

    def test_recipients_beyond_the_bound_get_452(self):
        client = self.raw()
        self.assertEqual(client.cmd("EHLO hostile.example")[0], 250)
        self.assertEqual(client.cmd("MAIL FROM:<h@example.com>")[0], 250)
        client.send(b"".join(b"RCPT TO:<4477009%05d>\r\n" % i for i in range(RECIPIENTS_MAX + 2)))
        codes = [client.reply()[0] for _ in range(RECIPIENTS_MAX + 2)]
        self.assertEqual(codes, [250] * RECIPIENTS_MAX + [452, 452])
        self.assertEqual(client.cmd("RSET")[0], 250)
        self.assertEqual(client.cmd("NOOP")[0], 250)  # 452 is not an error that counts
        self.assert_listener_serves()

    # Clients that stall, hog or flood.

    def test_a_silent_client_and_a_data_that_never_ends_do_not_block_others(self):
        # The time-outs of the real server are five minutes; what is bounded here is that the
        # listener keeps serving everyone else while these clients hang.
        silent = self.raw()
        hanging = self.raw()
        hanging.start_mail()
        hanging.send(b"Subject: never ends\r\n\r\nhalf a mess")
        self.assert_listener_serves("while-hanging")
        self.wait_request("while-hanging")
        self.assertEqual(silent.cmd("NOOP")[0], 250)  # the silent one is still connected
        self.assertEqual(self.received_lines()[0].count("+++Received"), 1)
        self.assertEqual(len(self.received_lines()), 1)

    def test_a_client_that_reads_nothing_while_pipelining_is_dropped(self):
        client = self.raw(timeout=10, rcvbuf=4096)
        chunk = b"NOOP\r\n" * 10000
        sent = 0
        dropped = False
        while sent < 64 << 20 and not dropped:  # bounded: the drop comes long before 64 MB
            try:
                client.send(chunk)
                sent += len(chunk)
            except (BrokenPipeError, ConnectionResetError):
                dropped = True
            except socket.timeout:
                break  # the server no longer reads us; see below whether it has dropped us
        if not dropped:
            replies = 0
            while True:
                try:
                    data = client.sock.recv(1 << 20)
                except ConnectionResetError:
                    break
                if not data:
                    break
                replies += data.count(b"\r\n")
            self.assertLess(replies, sent // 6)  # not every command was answered
        self.assert_listener_serves()

    def test_connections_beyond_the_bound_get_421_and_others_come_in_afterwards(self):
        idle = [self.raw() for _ in range(CONNECTIONS_MAX)]
        extra = Raw(self.gw.port)
        self.clients.append(extra)
        self.assertEqual(extra.reply(), (421, "421 4.3.2 Too many connections"))
        idle[0].close()
        self.clients.remove(idle[0])
        wait_for(lambda: self.try_deliver("after-the-crowd"), 20, what="a free connection")

    def try_deliver(self, marker):
        try:
            return self.deliver(marker) == 250
        except (smtplib.SMTPException, OSError):
            return False

    def test_pipelined_transactions_are_answered_in_order(self):
        client = self.raw()
        one = mail_text("pipelined-one")
        two = mail_text("pipelined-two")
        client.send(b"EHLO p.example\r\n"
                    b"MAIL FROM:<p@example.com>\r\nRCPT TO:<447700900123>\r\nDATA\r\n" + one +
                    b".\r\nMAIL FROM:<p@example.com>\r\nRCPT TO:<447700900123>\r\nDATA\r\n" + two +
                    b".\r\nQUIT\r\n")
        codes = [client.reply()[0] for _ in range(10)]
        self.assertEqual(codes, [250, 250, 250, 354, 250, 250, 250, 354, 250, 221])
        self.wait_request("pipelined-one")
        self.wait_request("pipelined-two")

    def test_text_pipelined_after_a_refused_data_is_not_a_message(self):
        client = self.raw()
        client.send(b"EHLO p.example\r\nMAIL FROM:<p@example.com>\r\nRCPT TO:<>\r\nDATA\r\n"
                    b"Subject: not a message\r\n\r\nbody\r\n.\r\nNOOP\r\n")
        codes = [client.reply()[0] for _ in range(9)]
        self.assertEqual(codes[:4], [250, 250, 501, 503])
        self.assertTrue(all(code >= 500 for code in codes[4:8]), codes)  # four text lines
        self.assertEqual(codes[8], 250)
        self.assertEqual(self.received_lines(), [])

    def test_hostile_clients_in_parallel_with_a_good_one(self):
        stop = threading.Event()
        failures = []

        def flood_errors():
            while not stop.is_set():
                try:
                    c = Raw(self.gw.port)
                    c.greeted()
                    c.send(b"BOGUS\r\n" * 100)
                    c.lines_to_end()
                    c.close()
                except OSError as error:
                    failures.append(error)
                    return

        def flood_long_lines():
            c = Raw(self.gw.port)
            c.greeted()
            sent = 0
            while not stop.is_set() and sent < 32 << 20:
                try:
                    c.send(b"x" * 65536)
                except OSError:
                    break
                sent += 65536
            c.close()

        threads = [threading.Thread(target=flood_errors), threading.Thread(target=flood_long_lines)]
        for t in threads:
            t.start()
        try:
            for n in range(3):
                self.assert_listener_serves("parallel-%d" % n)
        finally:
            stop.set()
            for t in threads:
                t.join(60)
        self.assertEqual(failures, [])
        for n in range(3):
            self.wait_request("parallel-%d" % n)

    # Messages the handler has to read.

    def send_text(self, text, to="447700900123"):
        client = self.raw()
        client.start_mail(to)
        client.send(text + b"\r\n.\r\n")
        code, line = client.reply()
        self.assertEqual(code, 250, line)
        client.cmd("QUIT")

    def assert_handler_survives(self, text, name):
        """The hostile mail is spooled; the handler loads it, processes or drops it, and then
        serves the next good mail."""
        pids = self.gw.handler_pids()
        self.send_text(text)
        spooled = wait_for(lambda: [n for n in self.gw.spool_files() if n.endswith(".msg")] or
                           [l for l in self.gw.log_lines() if "Processed OK" in l],
                           20, what="the spool file")
        self.assertTrue(spooled)
        wait_for(lambda: any("Processed OK" in l or "Message Error" in l or "!!!Errored" in l
                             for l in self.gw.log_lines()), 40, what="the handler's verdict")
        self.assert_handler_serves("after-" + name)
        self.assertEqual(self.gw.handler_pids(), pids)

    def test_8bit_and_malformed_headers_are_spooled_and_read(self):
        text = (b"From: \xff\xfe Bad \xc3\x28 <bad@example.com>\r\n"
                b"To: 447700900123\r\n"
                b"Subject: =?utf-8?B?####?= =?x-unknown?Q?=ZZ?= \xe9t\xe9\r\n"
                b"Header without a colon\r\n"
                b": empty name\r\n"
                b"Content-Type: text/plain; charset=\"no-such-charset\r\n"
                b"X-Folded: a\r\n" + b"\t" + b"b" * 2000 + b"\r\n" * 1 +
                b"Date: not a date at all\r\n"
                b"\r\n8-bit body \x80\x81\xfe\xff " + b"marker-8bit")
        self.assert_handler_survives(text, "8bit")

    def test_a_base64_body_that_is_not_base64_is_read(self):
        text = (b"From: b@example.com\r\nTo: 447700900123\r\nSubject: b64\r\n"
                b"MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
                b"Content-Transfer-Encoding: base64\r\n\r\n"
                b"!!!! this is *not* base64 ~~~ ====\r\n=\r\n%%%%\r\nQUJD=RE==\r\n")
        self.assert_handler_survives(text, "base64")

    def test_a_very_deeply_nested_multipart_is_read(self):
        depth = 3000
        head = b"From: n@example.com\r\nTo: 447700900123\r\nSubject: nested\r\nMIME-Version: 1.0\r\n"
        parts = []
        for level in range(depth):
            parts.append(b"Content-Type: multipart/mixed; boundary=\"b%d\"\r\n\r\n--b%d\r\n"
                         % (level, level))
        inner = b"Content-Type: text/plain\r\n\r\ndeep-marker\r\n"
        tail = b"".join(b"\r\n--b%d--\r\n" % level for level in reversed(range(depth)))
        text = head + b"".join(parts) + inner + tail
        self.assertLess(len(text), MESSAGE_MAX)
        self.assert_handler_survives(text, "nested")

    def test_a_multipart_without_its_boundaries_is_read(self):
        text = (b"From: m@example.com\r\nTo: 447700900123\r\nSubject: broken\r\nMIME-Version: 1.0\r\n"
                b"Content-Type: multipart/alternative; boundary=\"never-used\"\r\n\r\n"
                b"--wrong\r\nContent-Type: text/html\r\n\r\n<p>unclosed <b>\r\n")
        self.assert_handler_survives(text, "boundaries")


if __name__ == "__main__":
    unittest.main()
