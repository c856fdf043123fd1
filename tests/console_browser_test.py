"""The web console in a real browser: runs tests/browser/console_test.mjs (headless Chromium
through playwright-core) against the MailvaneSvc of this build. Screenshots go to
<build>/artifacts/console/. Chromium, node and tests/browser/node_modules come from
scripts/setup; when one is missing the test fails and says which."""

import os
import re
import shutil
import subprocess
import unittest

from mailvane_harness import BIN

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("MAILVANE_SOURCE", os.path.dirname(HERE))
BROWSER_DIR = os.path.join(SOURCE, "tests", "browser")
SCRIPT = os.path.join(BROWSER_DIR, "console_test.mjs")
CHROMIUM = os.environ.get("MAILVANE_CHROMIUM", "/usr/bin/chromium")
ARTEFACTS = os.path.join(os.path.dirname(os.path.abspath(BIN)), "artifacts", "console")


class ConsoleBrowserTest(unittest.TestCase):
    browser_outcome = None  # (exit code, output) of the one browser run the tests share

    @classmethod
    def browser_run(cls):
        if cls.browser_outcome is None:
            node = shutil.which("node")
            if node is None:
                cls.browser_outcome = (2, "node is not installed (scripts/setup installs it)")
                return cls.browser_outcome
            shutil.rmtree(ARTEFACTS, ignore_errors=True)
            completed = subprocess.run(
                [node, SCRIPT, os.path.join(BIN, "MailvaneSvc"), ARTEFACTS, CHROMIUM],
                cwd=BROWSER_DIR, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                timeout=480)
            cls.browser_outcome = (completed.returncode, completed.stdout)
        return cls.browser_outcome

    def test_console_in_the_browser(self):
        code, output = self.browser_run()
        print(output)
        self.assertEqual(code, 0, "the browser test failed:\n" + output)
        self.assertIn("console browser test passed", output)
        for name in ("main-window.png", "settings-dialog.png", "save-refused.png",
                     "provider-refused.png", "provider-test.png", "messages-1280.png",
                     "messages-1920.png"):
            self.assertGreater(os.path.getsize(os.path.join(ARTEFACTS, name)), 0, name)

    def test_first_run_notice(self):
        code, output = self.browser_run()
        if code != 0:
            self.fail("the browser test failed; see test_console_in_the_browser")
        skipped = re.search(r"^skip - first-run notice: (.*)$", output, re.M)
        if skipped:
            self.skipTest(skipped.group(1))
        self.assertIn("ok - a first run shows the notice in red in Label1", output)
        self.assertIn("ok - saving the settings clears the first-run notice", output)


if __name__ == "__main__":
    unittest.main()
