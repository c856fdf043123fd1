"""Drives tests/smpp/simulator.js (node-smpp's SMSC) from Python: starts it on a loopback port,
collects its events and sends it commands."""

import json
import os
import subprocess
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))


class Smsc:
    def __init__(self, system_id="acct", password="secret", tls=None):
        """tls: (key_pem, cert_pem) texts to serve SMPP over TLS."""
        config = {"system_id": system_id, "password": password}
        if tls:
            config["tls"] = {"key": tls[0], "cert": tls[1]}
        self.events = []
        self.lock = threading.Lock()
        self.process = subprocess.Popen(
            ["node", os.path.join(HERE, "simulator.js"), json.dumps(config)], cwd=HERE,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        threading.Thread(target=self._read, daemon=True).start()
        self.port = self.wait("listening", timeout=30)[0]["port"]

    def _read(self):
        for line in self.process.stdout:
            with self.lock:
                self.events.append(json.loads(line))

    def command(self, cmd, **fields):
        self.process.stdin.write(json.dumps(dict(cmd=cmd, **fields)) + "\n")
        self.process.stdin.flush()

    def of(self, kind):
        with self.lock:
            return [e for e in self.events if e["event"] == kind]

    def wait(self, kind, count=1, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.of(kind)
            if len(found) >= count:
                return found
            time.sleep(0.02)
        raise AssertionError("SMSC: timed out waiting for %d %s event(s); got %r"
                             % (count, kind, self.events[-20:]))

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
