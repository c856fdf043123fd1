"""mailvanectl against a real journal file and the real server's console: what it shows, how it
signs in and acts, and its exit codes when something is missing."""

import os
import re
import subprocess
import unittest

from mailvane_harness import (BIN, GATEWAY, GatewayTest, free_port, read_store_values,
                              scramble, wait_for)


class MailvanectlTest(GatewayTest):
    def ctl(self, *args, stdin=None):
        result = subprocess.run([os.path.join(BIN, "mailvanectl"), *args], env=self.gw.env,
                                input=stdin, capture_output=True, text=True, timeout=60)
        return result.returncode, result.stdout, result.stderr

    def fill_journal(self):
        path = os.path.join(self.gw.log_dir, "journal.sqlite")
        subprocess.run([os.path.join(BIN, "journal_fixture"), path], check=True, timeout=60)
        return path

    def test_reads_the_journal_and_acts_through_the_console(self):
        self.gw.write_settings(self.gw.default_settings(self.sink.port))
        self.gw.env["MAILVANE_CONSOLE"] = "127.0.0.1:%d" % free_port()
        self.assertEqual(self.ctl("queue")[0], 3)  # no journal yet
        self.assertEqual(self.ctl("frobnicate")[0], 2)
        self.assertEqual(self.ctl("show")[0], 2)

        # Settings written as the dialog writes them, refused as it refuses them.
        for args, expected in [(("set", "MessageExpiry", "600000"), 1),
                               (("set", "NoSuchSetting", "1"), 1),
                               (("set", "MessageExpiry", "120"), 0)]:
            self.assertEqual(self.ctl(*args)[0], expected, args)
        self.assertEqual(self.ctl("password", stdin="")[0], 2)
        self.assertEqual(self.ctl("password", stdin="s3cret pass\n")[0], 0)
        values = read_store_values(self.gw.store)
        self.assertEqual(values["MessageExpiry"], "120")
        self.assertEqual(values["AccessPassword"], scramble("s3cret pass"))
        path = self.fill_journal()

        code, out, _ = self.ctl("queue")
        self.assertEqual(code, 0)
        lines = out.splitlines()
        self.assertRegex(lines[0], r"^wait\.msg\s+[45]m\s+\S+ \S+\s+<app@example\.com>$")
        self.assertRegex(lines[1], r"^\s+4911\s+failed\s+tries 1\s+\(throttled\)$")
        self.assertRegex(lines[2], r"^\s+4912\s+queued$")
        self.assertEqual(lines[3], "-- 1 message waiting")

        code, out, _ = self.ctl("show", "done.msg")
        self.assertEqual(code, 0)
        self.assertIn("delivered", out)
        self.assertIn("stat:DELIVRD", out)
        self.assertEqual(self.ctl("show", "none.msg")[0], 1)
        code, out, _ = self.ctl("log", "4911")
        self.assertEqual([line.split()[2] for line in out.splitlines()], ["wait.msg", "done.msg"])

        # The service is not running: actions say so.
        code, _, err = self.ctl("cancel", "wait.msg")
        self.assertEqual(code, 4, err)
        self.assertIn("not running", err)

        # The provider refuses every request, so a real mail stays queued.
        self.sink.refuse.add(GATEWAY)
        self.gw.start("-debug")
        self.gw.wait_listening()
        wait_for(lambda: any("Console on" in line for line in self.gw.output), what="console")
        self.send(["447700900123"], "Subject: held\r\n\r\nheld\r\n")
        state = lambda: query(path, "SELECT m.spool_name || ' ' || r.state FROM recipients r "
                                    "JOIN messages m ON m.id = r.message "
                                    "WHERE r.address = '447700900123'")
        wait_for(lambda: state().endswith(" failed"), what="the first try")
        name = state().split()[0]
        for args, expected in [(("cancel", "done.msg"), 1),          # ended
                               (("cancel", "none.msg"), 1),          # unknown
                               (("retry", "wait.msg"), 1),           # ended at the handler's start
                               (("cancel", name, "4999"), 1),        # no such recipient
                               (("retry", name), 0),
                               (("cancel", name), 0)]:
            code, _, err = self.ctl(*args)
            self.assertEqual(code, expected, (args, err))
        wait_for(lambda: state().endswith(" cancelled"), what="the cancel")
        wait_for(lambda: name not in self.gw.spool_files(), what="the spool file's removal")
        self.assertIn("outcome unknown", self.ctl("show", "wait.msg")[1])


def query(path, sql):
    return subprocess.run(["sqlite3", path, sql], capture_output=True, text=True,
                          check=True).stdout.strip()

if __name__ == "__main__":
    unittest.main()
