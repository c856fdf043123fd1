"""Process-level test harness: starts the real MailvaneSvc (which starts the real Vanequeue) in a
scratch folder with its own store, log folder, unit folder and event log, and a real SMTP server
on loopback (aiosmtpd) standing in for the provider's gateway, the forward destination and the
administrator's mailbox."""

import email
import email.policy
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP as SmtpProtocol

BIN = os.environ.get("MAILVANE_BIN", os.path.join(os.path.dirname(__file__), "..", "build", "bin"))
GATEWAY = "sms-gateway@gateway.mailvane.example"
SETTINGS_KEY = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane]"


def free_port():
    """A port free on loopback now, below 32768: the listening port is a 16-bit signed setting."""
    import random
    for _ in range(200):
        port = random.randint(20000, 32000)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        return port
    raise RuntimeError("no free port")


def wait_for(predicate, timeout=20.0, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + what)


class Sink:
    """An SMTP server on loopback that keeps every mail it accepts, and can refuse recipients."""

    def __init__(self, tls_context=None):
        """tls_context: an ssl.SSLContext to offer STARTTLS with; None offers none."""
        self.mails = []
        self.lock = threading.Lock()
        self.refuse = set()  # recipient addresses answered with 550 at RCPT
        self.history = []    # in order: ("refused", address) and ("mail", [rcpt])
        sink = self

        class Handler:
            async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
                if address in sink.refuse:
                    with sink.lock:
                        sink.history.append(("refused", address))
                    return "550 5.1.1 refused by the test"
                envelope.rcpt_tos.append(address)
                return "250 OK"

            async def handle_DATA(self, server, session, envelope):
                message = email.message_from_bytes(envelope.content, policy=email.policy.default)
                with sink.lock:
                    sink.mails.append((envelope.mail_from, list(envelope.rcpt_tos), message))
                    sink.history.append(("mail", list(envelope.rcpt_tos)))
                return "250 OK"

        self.port = free_port()
        self.controller = Controller(Handler(), hostname="127.0.0.1", port=self.port,
                                     tls_context=tls_context)
        self.controller.start()

    def stop(self):
        self.controller.stop()

    def to(self, address):
        with self.lock:
            return [m for m in self.mails if address in m[1]]

    def requests(self):
        return [parse_request(m[2]) for m in self.to(GATEWAY)]


def parse_request(message):
    """The fields of a provider request mail (docs/provider-request.md)."""
    body = message.get_content()
    lines = body.replace("\r\n", "\n").split("\n")
    assert lines[0] == "Mailvane-SMS-Request: 1", lines[0]
    fields = {}
    for line in lines[1:]:
        key, _, value = line.partition(": ")
        if key == "End":
            return fields
        fields.setdefault(key, urllib.parse.unquote(value))
    raise AssertionError("request without its end line")


def store_text(values, extra=""):
    lines = ["REGEDIT4", "", SETTINGS_KEY]
    for name, value in values.items():
        escaped = value.replace("\\", "\\\\").replace('"', '\\"')
        lines.append('"%s"="%s"' % (name, escaped))
    return "\r\n".join(lines) + "\r\n" + extra


def read_store_values(path):
    """The string values of the settings key, as name -> text."""
    values = {}
    section = None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if line.startswith("["):
                section = line
                continue
            m = re.match(r'^"([^"]+)"="(.*)"$', line)
            if m and section == SETTINGS_KEY:
                values[m.group(1)] = m.group(2).replace('\\"', '"').replace("\\\\", "\\")
    return values


class Gateway:
    """One scratch installation: a folder with a store, logs, spool folder and event log."""

    def __init__(self, settings=None, bin_dir=BIN):
        self.dir = tempfile.mkdtemp(prefix="mailvane-test-")
        self.log_dir = os.path.join(self.dir, "logs")
        os.mkdir(self.log_dir)
        self.units = os.path.join(self.dir, "units")
        os.mkdir(self.units)
        self.store = os.path.join(self.dir, "registry.reg")
        self.eventlog = os.path.join(self.dir, "eventlog.txt")
        self.bin_dir = bin_dir
        self.port = free_port()
        self.process = None
        self.output = []
        self.env = dict(os.environ)
        self.env.update({
            "MAILVANE_REGISTRY": self.store,
            "MAILVANE_EVENTLOG": self.eventlog,
            "MAILVANE_SYSTEMD_DIR": self.units,
            "MAILVANE_CONSOLE": "off",
            "ASAN_OPTIONS": "detect_leaks=1:abort_on_error=1",
        })
        self.env.pop("NOTIFY_SOCKET", None)
        if settings is not None:
            self.write_settings(settings)

    def default_settings(self, sink_port, **overrides):
        values = {
            "MailServer": "127.0.0.1:%d" % sink_port,
            "LogDir": self.log_dir,
            "ErrorMailAddress": "admin@example.com",
            "InternalPort": str(self.port),
            "ErrorMailName": "Admin",
            "MailFromAddress": "gateway@example.com",
            "AccessUserName": "acct",
            "AccessPassword": scramble("secret"),
            "MessageExpiry": "60",
            "MaxLength": "160",
            "AllowedIP": "127.0.0.1",
            "ForwardOK": "1",
            "StripCRLF": "1",
            "LogDays": "30",
        }
        values.update(overrides)
        return values

    def write_settings(self, values):
        with open(self.store, "w", encoding="utf-8", newline="") as f:
            f.write(store_text(values))
        os.chmod(self.store, 0o600)

    def start(self, *args):
        self.process = subprocess.Popen(
            [os.path.join(self.bin_dir, "MailvaneSvc"), *args], env=self.env, cwd=self.dir,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        reader = threading.Thread(target=self._read, daemon=True)
        reader.start()
        return self.process

    def _read(self):
        for line in self.process.stdout:
            self.output.append(line.rstrip("\n"))

    def run(self, *args, timeout=30):
        """Runs the server to its end; returns the exit code."""
        self.start(*args)
        return self.process.wait(timeout=timeout)

    def wait_line(self, text, timeout=20):
        return wait_for(lambda: any(text in line for line in self.output), timeout,
                        what="activity line " + repr(text))

    def wait_listening(self, timeout=20):
        def connected():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    return s.recv(512).startswith(b"220")
            except OSError:
                return False
        wait_for(connected, timeout, what="the listener")

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.process and self.process.poll() is None:
            self.process.send_signal(sig)
            return self.process.wait(timeout=timeout)
        return self.process.returncode if self.process else None

    def handler_pids(self):
        """Vanequeue processes started for this installation's store."""
        pids = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    environ = f.read().split(b"\0")
                exe = os.readlink("/proc/%s/exe" % pid)
            except OSError:
                continue
            if exe.endswith("/Vanequeue") and \
                    ("MAILVANE_REGISTRY=" + self.store).encode() in environ:
                pids.append(int(pid))
        return pids

    def log_text(self):
        text = ""
        for name in sorted(os.listdir(self.log_dir)):
            if name.endswith(".log"):
                with open(os.path.join(self.log_dir, name), encoding="utf-8",
                          errors="replace", newline="") as f:
                    text += f.read()
        return text

    def log_lines(self):
        """The log lines' texts without their time stamps."""
        return [line[18:] for line in self.log_text().split("\r\n") if len(line) >= 18]

    def spool_dir(self):
        return os.path.join(self.log_dir, "messages")

    def spool_files(self):
        try:
            return sorted(os.listdir(self.spool_dir()))
        except FileNotFoundError:
            return []

    def eventlog_lines(self):
        try:
            with open(self.eventlog, encoding="utf-8") as f:
                return [line.rstrip("\n") for line in f]
        except FileNotFoundError:
            return []

    def close(self):
        if self.process:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.process.stdout.close()
        for pid in self.handler_pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)


KEY = "zr7pqmcx4021w6nebt318kaudhwlfyseQ"


def scramble(password):
    return "".join("%02X" % (b + ord(KEY[i % 32])) for i, b in enumerate(password.encode()))


class GatewayTest(unittest.TestCase):
    """Gives each test a sink and a scratch installation, cleaned up afterwards."""

    def setUp(self):
        self.sink = Sink()
        self.addCleanup(self.sink.stop)
        self.gw = Gateway()
        self.addCleanup(self.gw.close)

    LOG_TIMEOUT = 30  # seconds wait_log waits unless told

    def wait_log(self, text, count=1, timeout=None):
        """Waits until the day's log holds text in count lines; prints the log when it does not."""
        try:
            return wait_for(lambda: sum(text in line for line in self.gw.log_lines()) >= count,
                            timeout or self.LOG_TIMEOUT, what="log line " + repr(text))
        except AssertionError:
            print("\n".join(self.gw.log_lines()))
            raise

    def send(self, recipients, text, sender="alice@example.com"):
        """Delivers one mail to the running gateway with a real SMTP client. The recipients go
        to RCPT TO exactly as given: smtplib's sendmail would drop "(...)" as a comment."""
        import smtplib
        with smtplib.SMTP("127.0.0.1", self.gw.port, timeout=30) as client:
            client.ehlo()
            client.mail(sender)
            for recipient in recipients:
                self.assertEqual(client.docmd("RCPT", "TO:<%s>" % recipient)[0], 250)
            self.assertEqual(client.data(text.encode())[0], 250)

    def start_running(self, **overrides):
        self.gw.write_settings(self.gw.default_settings(self.sink.port, **overrides))
        self.gw.start("-debug")
        if overrides.get("AllowedIP", "127.0.0.1") == "127.0.0.1":
            self.gw.wait_listening()
        else:
            self.gw.wait_line("Starting SMTP server on port")
        return self.gw
