"""The server program started for real: command line, first run, start-up failures, service
requests and shutdown."""

import os
import shutil
import signal
import smtplib
import socket
import time
import unittest

from mailvane_harness import Gateway, GatewayTest, read_store_values, wait_for, BIN

EX_CONFIG = 78  # a start-up that failed on its settings; the unit does not restart it


class NotifySocket:
    """A datagram socket standing in for systemd's notify socket, named by NOTIFY_SOCKET."""

    def __init__(self, gw):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        path = os.path.join(gw.dir, "notify")
        self.sock.bind(path)
        gw.env["NOTIFY_SOCKET"] = path

    def next(self, timeout):
        """The next datagram's text, or None when none came within timeout seconds."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(4096).decode()
        except socket.timeout:
            return None

    def close(self):
        self.sock.close()


class CommandLineTest(GatewayTest):
    def test_install_writes_the_unit_and_the_service_setting_and_loads_nothing(self):
        self.assertEqual(self.gw.run("-install"), 0)
        unit = os.path.join(self.gw.units, "mailvane.service")
        with open(unit) as f:
            text = f.read()
        self.assertIn("ExecStart=" + os.path.realpath(os.path.join(BIN, "MailvaneSvc")), text)
        with open(self.gw.store) as f:
            store = f.read()
        self.assertIn("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Mailvane\\"
                      "Parameters]\r\n\"TimerInterval\"=\"65535\"", store.replace("\n", "\r\n")
                      .replace("\r\r\n", "\r\n"))
        self.assertNotIn("SOFTWARE\\Mailvane", store)  # no configuration was loaded
        self.assertEqual(self.gw.eventlog_lines(), [])
        self.assertEqual(self.gw.output, [])

        self.assertEqual(self.gw.run("-uninstall"), 0)
        self.assertFalse(os.path.exists(unit))
        self.assertEqual(self.gw.eventlog_lines(), [])
        self.assertEqual(self.gw.run("-uninstall"), 1)  # nothing left to remove
        self.assertEqual(self.gw.eventlog_lines(), ["1 109 [Failed to uninstall]"])

    def test_install_into_a_missing_unit_folder_fails_with_its_entry(self):
        self.gw.env["MAILVANE_SYSTEMD_DIR"] = os.path.join(self.gw.dir, "no-such-folder")
        self.gw.run("-install")
        self.assertEqual(self.gw.eventlog_lines(), ["1 109 [Failed to install]"])
        self.assertFalse(os.path.exists(self.gw.store) and
                         "TimerInterval" in open(self.gw.store).read())

    def test_every_other_argument_text_is_an_invalid_option(self):
        for args in (["-Install"], ["-debug", "x"], ["install"], ["-debug "], ["-uninstall", "-install"]):
            self.assertNotEqual(self.gw.run(*args), 0)
        self.assertEqual(self.gw.eventlog_lines(), ["1 109 [Invalid command option]"] * 5)
        self.assertFalse(os.path.exists(self.gw.store))  # nothing was loaded or written


class StartupTest(GatewayTest):
    def test_first_run_writes_the_defaults_and_shows_the_two_lines(self):
        # An empty store: the defaults are written and loaded again. The default port 25 may
        # be taken on this machine, so the listener's fate is not part of this test.
        self.gw.start("-debug")
        self.gw.wait_line("Starting SMTP server on port 25")
        values = wait_for(lambda: read_store_values(self.gw.store)
                          if os.path.exists(self.gw.store) else None, what="the store")
        self.assertEqual(len(values), 14)
        self.assertEqual(values["InternalPort"], "25")
        self.assertEqual(values["AllowedIP"], "127.0.0.1")
        self.assertEqual(values["AccessUserName"], "pinewarden")
        self.assertNotIn("pinewarden", values["AccessPassword"])  # stored scrambled only
        self.assertEqual(values["LogDir"], os.path.realpath(BIN))
        started = [l for l in self.gw.output if l.endswith("Started Vanequeue 1...")]
        self.assertEqual(len(started), 1)
        self.assertRegex(started[0], r"^\d\d/\d\d \d\d:\d\d:\d\d Started Vanequeue 1\.\.\.$")
        # The defaults' log folder is the program's folder; leave no log there from tests.
        self.gw.stop()

    def test_debug_start_serves_smtp_and_stops_in_order_on_sigterm(self):
        gw = self.start_running()
        self.assertIn("Starting SMTP server on port %d" % gw.port, gw.output[-1])
        wait_for(gw.handler_pids, what="the handler")
        handler = gw.handler_pids()[0]
        self.assertEqual(gw.stop(signal.SIGTERM), 0)
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", gw.port), timeout=1).close()
        wait_for(lambda: not os.path.exists("/proc/%d" % handler) or
                 open("/proc/%d/stat" % handler).read().split()[2] == "Z",
                 what="the handler to end")

    def test_pause_and_continue_change_nothing(self):
        gw = self.start_running()
        lines = len(gw.output)
        gw.process.send_signal(signal.SIGUSR1)
        time.sleep(0.3)
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=10) as client:
            self.assertEqual(client.noop()[0], 250)
        gw.process.send_signal(signal.SIGUSR2)
        time.sleep(0.3)
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=10) as client:
            self.assertEqual(client.noop()[0], 250)
        self.assertEqual(len(gw.output), lines)
        self.assertIsNone(gw.process.poll())

    def test_a_port_out_of_range_mails_the_error_and_ends_server_and_handler(self):
        self.gw.write_settings(self.gw.default_settings(self.sink.port, InternalPort="40000"))
        self.gw.start("-debug")
        self.assertEqual(self.gw.process.wait(timeout=30), EX_CONFIG)
        mails = self.sink.to("admin@example.com")
        self.assertEqual(len(mails), 1)
        self.assertEqual(mails[0][2]["Subject"], "Mailvane Error 1")
        self.assertEqual(mails[0][2].get_content().strip(), "Overflow")
        self.assertTrue(any(l.endswith("Started Vanequeue 1...") for l in self.gw.output))
        wait_for(lambda: not self.gw.handler_pids(), what="the handler to end")

    def test_a_port_that_is_not_a_number_is_a_type_mismatch(self):
        self.gw.write_settings(self.gw.default_settings(self.sink.port, InternalPort="smtp"))
        self.assertEqual(self.gw.run("-debug"), EX_CONFIG)
        mails = self.sink.to("admin@example.com")
        self.assertEqual([m[2].get_content().strip() for m in mails], ["Type mismatch"])

    def test_a_plain_password_in_the_store_names_the_setting_but_never_the_value(self):
        self.gw.write_settings(self.gw.default_settings(self.sink.port, AccessPassword="hunter22"))
        self.assertEqual(self.gw.run("-debug"), EX_CONFIG)
        named = ("AccessPassword: the stored value is not a scrambled password (two hexadecimal "
                 "digits per character, as the settings dialog saves it) (Type mismatch)")
        mails = self.sink.to("admin@example.com")
        self.assertEqual([m[2]["Subject"] for m in mails], ["Mailvane Error 1"])
        self.assertEqual(mails[0][2].get_content().strip(), named)
        self.assertEqual(self.gw.eventlog_lines(), ["1 109 [13] " + named])
        self.gw.wait_line("MailvaneSvc: start-up failed: [13] " + named)
        for text in [m[2].as_string() for m in mails] + self.gw.eventlog_lines() + self.gw.output:
            self.assertNotIn("hunter22", text)

    def test_a_missing_handler_program_cannot_create_the_object(self):
        alone = os.path.join(self.gw.dir, "bin")
        os.mkdir(alone)
        shutil.copy(os.path.join(BIN, "MailvaneSvc"), alone)
        self.gw.bin_dir = alone
        self.gw.write_settings(self.gw.default_settings(self.sink.port))
        self.assertEqual(self.gw.run("-debug"), EX_CONFIG)
        mails = self.sink.to("admin@example.com")
        self.assertEqual([m[2].get_content().strip() for m in mails],
                         ["ActiveX component can't create object"])
        self.assertFalse(any("Started Vanequeue" in l for l in self.gw.output))

    def test_ready_is_told_once_the_port_accepts_and_never_on_a_failed_start(self):
        # As systemd starts it: no option, NOTIFY_SOCKET set.
        notify = NotifySocket(self.gw)
        self.addCleanup(notify.close)
        self.gw.write_settings(self.gw.default_settings(self.sink.port))
        self.gw.start()
        self.assertEqual(notify.next(timeout=60), "READY=1")
        with socket.create_connection(("127.0.0.1", self.gw.port), timeout=10) as s:
            self.assertTrue(s.recv(512).startswith(b"220"))
        self.assertEqual(self.gw.stop(), 0)
        self.assertEqual(notify.next(timeout=5), "STOPPING=1")

        # The same installation with its port taken: the start fails on its settings, silently
        # towards systemd.
        with socket.socket() as taken:
            taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            taken.bind(("127.0.0.1", self.gw.port))
            taken.listen()
            self.assertEqual(self.gw.run(), EX_CONFIG)
        self.assertIsNone(notify.next(timeout=1))
        mails = self.sink.to("admin@example.com")
        self.assertEqual([m[2]["Subject"] for m in mails], ["Mailvane Error 1"])
        # The socket control's number and text, not a generic device error.
        self.assertEqual(mails[0][2].get_content().strip(), "Address in use")
        self.assertTrue(any("10048" in line for line in self.gw.output), self.gw.output)

    def test_a_damaged_store_is_kept_aside_and_the_server_starts_with_defaults(self):
        with open(self.gw.store, "wb") as f:
            f.write(b"\x00\xffnot a store at all\n[broken\n\"x\"=hex(1):zz\n")
        self.gw.start("-debug")
        self.gw.wait_line("Starting SMTP server on port")
        self.assertTrue(any(name.startswith("registry.reg.damaged")
                            for name in os.listdir(self.gw.dir)))
        self.assertEqual(len(read_store_values(self.gw.store)), 14)
        self.gw.stop()


if __name__ == "__main__":
    unittest.main()
