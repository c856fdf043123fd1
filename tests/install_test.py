"""Installation: `cmake --install` of the build that MAILVANE_BIN belongs to, into a scratch prefix;
the installed programs write a unit that systemd accepts, run the whole road, and remove the
unit again."""

import os
import re
import shutil
import smtplib
import subprocess
import tempfile
import unittest

from mailvane_harness import BIN, Gateway, Sink, read_store_values, scramble, wait_for

BUILD = os.path.dirname(os.path.abspath(BIN))
ANALYZE = shutil.which("systemd-analyze")
MAX_EXPOSURE = 2.0  # systemd-analyze security's overall exposure level, 0 (least) to 10


def exposure(unit):
    """The overall exposure level that systemd-analyze security gives the unit file."""
    result = subprocess.run([ANALYZE, "security", "--offline=yes", unit], capture_output=True,
                            text=True, timeout=60)
    found = re.search(r"Overall exposure level for \S+: (\d+(?:\.\d+)?)", result.stdout)
    if found is None:
        raise AssertionError("no exposure level:\n" + result.stdout + result.stderr)
    return float(found.group(1))


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="mailvane-install-")
        result = subprocess.run(["cmake", "--install", BUILD, "--prefix", cls.prefix],
                                capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            shutil.rmtree(cls.prefix, ignore_errors=True)
            raise AssertionError("cmake --install failed:\n" + result.stdout + result.stderr)
        cls.programs = os.path.join(cls.prefix, "lib", "mailvane")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def installed_files(self):
        found = []
        for folder, _, names in os.walk(self.prefix):
            for name in names:
                found.append(os.path.relpath(os.path.join(folder, name), self.prefix))
        return sorted(found)

    def test_layout_programs_side_by_side_and_no_tests(self):
        files = self.installed_files()
        for path in ["lib/mailvane/MailvaneSvc", "lib/mailvane/Vanequeue",
                     "lib/mailvane/console/index.html", "lib/mailvane/console/console.js",
                     "share/man/man8/MailvaneSvc.8", "share/doc/mailvane/admin-guide.md",
                     "share/doc/mailvane/service-signals.md", "share/mailvane/registry.reg",
                     "lib/sysusers.d/mailvane.conf", "sbin/MailvaneSvc",
                     "lib/mailvane/mailvanectl", "sbin/mailvanectl",
                     "share/man/man8/mailvanectl.8"]:
            self.assertIn(path, files)
        for name in ("MailvaneSvc", "Vanequeue"):
            self.assertTrue(os.access(os.path.join(self.programs, name), os.X_OK), name)
        link = os.path.join(self.prefix, "sbin", "MailvaneSvc")
        self.assertTrue(os.path.islink(link))
        self.assertEqual(os.path.realpath(link),
                         os.path.realpath(os.path.join(self.programs, "MailvaneSvc")))
        strays = [f for f in files if "test" in os.path.basename(f).lower()
                  or "fuzz" in f or "bench" in f or f.endswith((".a", ".h", ".cmake"))]
        self.assertEqual(strays, [])

    def test_unit_is_accepted_by_systemd_and_removed_again(self):
        gw = Gateway(bin_dir=self.programs)
        self.addCleanup(gw.close)
        gw.write_settings({"LogDir": gw.log_dir, "MailServer": "127.0.0.1:1"})
        gw.env.pop("MAILVANE_CONSOLE")
        self.assertEqual(gw.run("-install"), 0)
        unit = os.path.join(gw.units, "mailvane.service")
        with open(unit, encoding="utf-8") as f:
            text = f.read()
        program = os.path.join(self.programs, "MailvaneSvc")
        self.assertIn("ExecStart=" + program + "\n", text)
        for line in ["Type=notify", "KillSignal=SIGTERM", "User=mailvane", "Group=mailvane",
                     "AmbientCapabilities=CAP_NET_BIND_SERVICE",
                     "CapabilityBoundingSet=CAP_NET_BIND_SERVICE", "NoNewPrivileges=yes",
                     "PrivateTmp=yes", "ProtectSystem=strict", "ProtectHome=yes",
                     "StateDirectory=mailvane", "LogsDirectory=mailvane",
                     "Restart=on-failure", "RestartPreventExitStatus=78",
                     'Environment="MAILVANE_REGISTRY=%s"' % gw.store]:
            self.assertIn(line + "\n", text)
        # The store's folder (which holds the event log too) and the store's LogDir.
        self.assertIn("ReadWritePaths=-%s -%s\n" % (gw.dir, gw.log_dir), text)
        self.assertEqual(gw.eventlog_lines(), [])

        if ANALYZE is None:
            self.skipTest("systemd-analyze is not installed (package systemd): unit not verified")
        result = subprocess.run([ANALYZE, "verify", unit], capture_output=True, text=True,
                                timeout=60)
        ours = [line for line in (result.stdout + result.stderr).splitlines()
                if "mailvane.service" in line]
        self.assertEqual(ours, [], result.stdout + result.stderr)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

        # The checks themselves find a fault in a unit like ours: a missing program, and the
        # unit without its sandbox.
        broken = os.path.join(gw.units, "broken", "mailvane.service")
        os.mkdir(os.path.dirname(broken))
        with open(broken, "w", encoding="utf-8") as f:
            f.write(text.replace("ExecStart=" + program, "ExecStart=" + program + ".missing"))
        result = subprocess.run([ANALYZE, "verify", broken], capture_output=True, text=True,
                                timeout=60)
        self.assertNotEqual(result.returncode, 0)

        self.assertLessEqual(exposure(unit), MAX_EXPOSURE)
        loose = os.path.join(gw.units, "loose", "mailvane.service")
        os.mkdir(os.path.dirname(loose))
        with open(loose, "w", encoding="utf-8") as f:
            f.write("".join(line for line in text.splitlines(True)
                            if not line.startswith(("Protect", "Private", "Restrict",
                                                    "SystemCall", "LockPersonality",
                                                    "MemoryDeny", "DevicePolicy", "UMask",
                                                    "ProcSubset", "RemoveIPC"))))
        self.assertGreater(exposure(loose), MAX_EXPOSURE)

        self.assertEqual(gw.run("-uninstall"), 0)
        self.assertFalse(os.path.exists(unit))
        self.assertEqual(gw.eventlog_lines(), [])
        self.assertEqual(gw.run("-uninstall"), 1)  # nothing left to remove
        self.assertEqual(gw.eventlog_lines(), ["1 109 [Failed to uninstall]"])

    def test_installed_programs_carry_a_mail_to_the_provider(self):
        sink = Sink()
        self.addCleanup(sink.stop)
        gw = Gateway(bin_dir=self.programs)
        self.addCleanup(gw.close)
        gw.write_settings(gw.default_settings(sink.port, AccessPassword=scramble("pass word")))
        gw.start("-debug")
        gw.wait_listening()
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=30) as client:
            client.sendmail("alerts@example.com", ["447700900123@sms.example"],
                            "From: Alerts <alerts@example.com>\r\nTo: 447700900123@sms.example\r\n"
                            "Subject: s\r\n\r\nDisk full\r\n")
        requests = wait_for(sink.requests, timeout=30, what="the provider request")
        self.assertEqual(requests[0]["Number"], "447700900123")
        self.assertEqual(requests[0]["Password"], "pass word")
        # The line end that ends the body is no part of the text.
        self.assertEqual(requests[0]["Text"], "Disk full")
        self.assertEqual(gw.stop(), 0)

    def test_shipped_first_store_loads_without_first_run(self):
        # The package's first store: its scrambled password and its values load as they stand.
        sink = Sink()
        self.addCleanup(sink.stop)
        gw = Gateway(bin_dir=self.programs)
        self.addCleanup(gw.close)
        with open(os.path.join(self.prefix, "share", "mailvane", "registry.reg"),
                  encoding="utf-8") as f:
            shipped = f.read()
        self.assertIn('"LogDir"="/var/log/mailvane"', shipped)
        shipped = shipped.replace("smtp2.provider.example;smtp1.provider.example",
                                  "127.0.0.1:%d" % sink.port)
        shipped = shipped.replace('"/var/log/mailvane"', '"%s"' % gw.log_dir)
        shipped = shipped.replace('"InternalPort"="25"', '"InternalPort"="%d"' % gw.port)
        with open(gw.store, "w", encoding="utf-8") as f:
            f.write(shipped)
        gw.start("-debug")
        gw.wait_listening()
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=30) as client:
            client.sendmail("a@example.com", ["447700900123@sms.example"],
                            "To: 447700900123@sms.example\r\nSubject: s\r\n\r\nhi\r\n")
        requests = wait_for(sink.requests, timeout=30, what="the provider request")
        self.assertEqual((requests[0]["Account"], requests[0]["Password"]),
                         ("pinewarden", "pinewarden"))
        self.assertEqual(gw.stop(), 0)
        self.assertEqual(read_store_values(gw.store)["MailServer"], "127.0.0.1:%d" % sink.port)


if __name__ == "__main__":
    unittest.main()
