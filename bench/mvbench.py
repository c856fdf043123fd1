#!/usr/bin/python3
"""Drives the real MailvaneSvc (and the Vanequeue it starts) for the benchmarks, reusing the
process-level test harness for the scratch store, ports and process handling.

  mvbench.py accept <spool-base> <size> <sessions> <count> [reconnect]
                                                  SMTP acceptance, smtp-source -> Mailvane
  mvbench.py sink <size> <sessions> <count> [reconnect]
                                                  the same load against Postfix's smtp-sink
    (smtp-source -d: each session sends its messages over one connection; with "reconnect",
    no -d: a new connection for every message)
  mvbench.py drain <spool-base> <files>                      handler drain into smtp-sink
  mvbench.py drain-smpp <spool-base> <files> [window]        handler drain into an SMSC over SMPP
  mvbench.py drain-http <spool-base> <files>                 handler drain into a REST API over HTTPS
  mvbench.py latency <spool-base> <mails> [burst]            client's 250 -> request at the sink

Each prints one line of key=value figures. Needs a Release build (MAILVANE_BIN, default
build-bench/bin) and Postfix's smtp-source and smtp-sink in /usr/sbin; drain-smpp needs the SMSC
simulator of tests/smpp (scripts/setup installs it); drain-http uses tests/https_provider.py and
openssl."""

import fcntl
import os
import resource
import shutil
import signal
import smtplib
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
os.environ.setdefault("MAILVANE_BIN", os.path.join(HERE, "..", "build-bench", "bin"))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import mailvane_harness as mh  # noqa: E402

SMTP_SOURCE = "/usr/sbin/smtp-source"
SMTP_SINK = "/usr/sbin/smtp-sink"
RCPT = "447700900123@example.com"


def vm_hwm_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def thread_cpu_s(pid):
    """CPU seconds (user and system) of the process's main thread and of its other threads."""
    tick = os.sysconf("SC_CLK_TCK")
    main = others = 0.0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        seconds = (int(fields[11]) + int(fields[12])) / tick  # utime, stime
        if int(tid) == pid:
            main += seconds
        else:
            others += seconds
    return main, others


def children_cpu_s():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


class Installation:
    """A scratch Mailvane whose LogDir (and so its spool folder) lies under spool_base."""

    def __init__(self, spool_base, mail_server, provider=None, **overrides):
        self.gw = mh.Gateway()
        self.log_dir = tempfile.mkdtemp(prefix="mailvane-bench-", dir=spool_base)
        self.gw.log_dir = self.log_dir
        self.gw.env.pop("ASAN_OPTIONS", None)
        values = self.gw.default_settings(0, **overrides)
        values["MailServer"] = mail_server
        extra = ""
        if provider:  # values of the Provider key
            extra = "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane\\Provider]\r\n" + "".join(
                '"%s"="%s"\r\n' % item for item in provider.items())
        with open(self.gw.store, "w", encoding="utf-8", newline="") as f:
            f.write(mh.store_text(values, extra))
        os.makedirs(self.gw.spool_dir(), exist_ok=True)
        self.lock_fd = None

    def hold_spool_lock(self):
        """Takes the handler's folder lock, so that the handler scans and serves nothing."""
        self.lock_fd = os.open(os.path.join(self.gw.spool_dir(), ".vanequeue.lock"),
                               os.O_RDWR | os.O_CREAT, 0o600)
        fcntl.flock(self.lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)

    def start(self):
        # As the service runs it: no activity lines echoed to a terminal (MVBENCH_DEBUG=1: -debug).
        self.gw.start(*(["-debug"] if os.environ.get("MVBENCH_DEBUG") else []))
        self.gw.wait_listening()
        mh.wait_for(lambda: self.gw.handler_pids(), what="Vanequeue")
        self.handler_pid = self.gw.handler_pids()[0]

    def drain(self, files):
        """Queues files spool files, each to one mobile number, starts the programs and returns
        the seconds from the first file served to the last (nan when they were not all served
        within 600 s)."""
        spool = self.gw.spool_dir()
        for i in range(1, files + 1):
            text = ("From: Alice <alice@example.com>\r\nTo: %d\r\nSubject: bench\r\n\r\n"
                    "drain message %d\r\n\r\n" % (447700900000 + i, i))
            with open(os.path.join(spool, "20261208120000.%d.msg" % i), "w", newline="") as f:
                f.write(text)
        self.start()
        first = None
        deadline = time.monotonic() + 600
        while time.monotonic() < deadline:
            left = self.spool_count()
            now = time.monotonic()
            if first is None and left < files:
                first = now
            if left == 0:
                return now - first if first is not None else float("nan")
            time.sleep(0.005)
        return float("nan")

    def spool_count(self):
        return sum(1 for n in os.listdir(self.gw.spool_dir()) if n.endswith(".msg"))

    def memory(self):
        return vm_hwm_kib(self.gw.process.pid), vm_hwm_kib(self.handler_pid)

    def close(self):
        self.gw.stop()
        self.gw.close()
        if self.lock_fd is not None:
            os.close(self.lock_fd)
        shutil.rmtree(self.log_dir, ignore_errors=True)


def smtp_source(port, size, sessions, count, reconnect=False):
    """Runs smtp-source; returns seconds. -d keeps each session's connection for its messages.
    The wait blocks until it exits: a wait with a time-out polls, and would end up to 50 ms late.
    A timer bounds it instead."""
    start = time.monotonic()
    process = subprocess.Popen([SMTP_SOURCE] + ([] if reconnect else ["-d"]) +
                               ["-s", str(sessions), "-l", str(size), "-m", str(count),
                                "-f", "a@example.com", "-t", RCPT, "127.0.0.1:%d" % port],
                               stdout=subprocess.DEVNULL)
    killer = threading.Timer(600, process.kill)
    killer.start()
    try:
        code = process.wait()
    finally:
        killer.cancel()
    seconds = time.monotonic() - start
    if code != 0:
        raise subprocess.CalledProcessError(code, SMTP_SOURCE)
    return seconds


class SmtpSink:
    """Postfix's smtp-sink on a free loopback port: protocol only, nothing stored."""

    def __init__(self):
        self.port = mh.free_port()
        cmd = [SMTP_SINK]
        if os.getuid() == 0:
            cmd += ["-u", "nobody"]
        self.process = subprocess.Popen(cmd + ["127.0.0.1:%d" % self.port, "256"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        mh.wait_for(self._up, what="smtp-sink")

    def _up(self):
        import socket
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return True
        except OSError:
            return False

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)


def accept(spool_base, size, sessions, count, reconnect):
    # The handler is kept off the spool folder (its folder lock is held), so the count of spool
    # files is exactly what the server accepted and its CPU is not shared with a draining handler.
    inst = Installation(spool_base, "127.0.0.1:1", MessageExpiry="10000")
    try:
        inst.hold_spool_lock()
        inst.start()
        loop_before, others_before = thread_cpu_s(inst.gw.process.pid)
        client_before = children_cpu_s()
        seconds = smtp_source(inst.gw.port, size, sessions, count, reconnect)
        client = children_cpu_s() - client_before  # smtp-source, the one child reaped meanwhile
        loop, others = thread_cpu_s(inst.gw.process.pid)
        spooled = inst.spool_count()
        svc, handler = inst.memory()
        def per_mail(cpu):  # CPU microseconds per mail accepted
            return cpu * 1e6 / max(spooled, 1)
        print("target=mailvane spool=%s size=%d sessions=%d reconnect=%d messages=%d spooled=%d "
              "seconds=%.3f msgs_per_s=%.1f svc_hwm_kib=%d handler_hwm_kib=%d "
              "loop_us_per_mail=%.1f writers_us_per_mail=%.1f client_us_per_mail=%.1f"
              % (spool_base, size, sessions, reconnect, count, spooled, seconds,
                 spooled / seconds, svc, handler, per_mail(loop - loop_before),
                 per_mail(others - others_before), per_mail(client)))
    finally:
        inst.close()


def sink(size, sessions, count, reconnect):
    s = SmtpSink()
    try:
        sink_before = sum(thread_cpu_s(s.process.pid))
        client_before = children_cpu_s()
        seconds = smtp_source(s.port, size, sessions, count, reconnect)
        client = children_cpu_s() - client_before
        sink_cpu = sum(thread_cpu_s(s.process.pid)) - sink_before
        print("target=smtp-sink size=%d sessions=%d reconnect=%d messages=%d seconds=%.3f "
              "msgs_per_s=%.1f sink_us_per_mail=%.1f client_us_per_mail=%.1f"
              % (size, sessions, reconnect, count, seconds, count / seconds,
                 sink_cpu * 1e6 / count, client * 1e6 / count))
    finally:
        s.stop()


def drain(spool_base, files):
    """files spool files, each to one mobile number, queued before the handler starts; the rate is
    taken from the first file served to the last, the handler's one processing pass."""
    s = SmtpSink()
    inst = Installation(spool_base, "127.0.0.1:%d" % s.port)
    try:
        seconds = inst.drain(files)
        svc, handler = inst.memory()
        processed = sum("Processed OK" in l for l in inst.gw.log_lines())
        errors = sum("!!!Send Error" in l for l in inst.gw.log_lines())
        print("drain spool=%s files=%d processed_ok=%d send_errors=%d seconds=%.3f "
              "requests_per_s=%.1f svc_hwm_kib=%d handler_hwm_kib=%d"
              % (spool_base, files, processed, errors, seconds, processed / seconds, svc, handler))
    finally:
        inst.close()
        s.stop()


def drain_smpp(spool_base, files, window):
    """As drain, into node-smpp's SMSC over one SMPP session: one submit_sm per file."""
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "smpp"))
    from smsc import Smsc
    smsc = Smsc()
    smsc.command("set", quiet=True)
    inst = Installation(spool_base, "127.0.0.1:1", provider={
        "Protocol": "smpp", "Host": "127.0.0.1", "Port": str(smsc.port), "Window": str(window)})
    try:
        seconds = inst.drain(files)
        svc, handler = inst.memory()
        lines = inst.gw.log_lines()
        processed = sum("Processed OK" in l for l in lines)
        errors = sum("!!!Send Error" in l for l in lines)
        submits = len(smsc.of("sms"))
        print("drain-smpp spool=%s files=%d window=%d processed_ok=%d send_errors=%d sms_at_smsc=%d "
              "seconds=%.3f submit_sm_per_s=%.1f svc_hwm_kib=%d handler_hwm_kib=%d"
              % (spool_base, files, window, processed, errors, submits, seconds,
                 submits / seconds, svc, handler))
    finally:
        inst.close()
        smsc.stop()


def drain_http(spool_base, files):
    """As drain, into the HTTPS stand-in provider (tests/https_provider.py, keep-alive) with the
    form-basic preset: one POST per file."""
    from https_provider import HttpsProvider
    from mail_tls_test import self_signed_certificate
    folder = tempfile.mkdtemp(prefix="mailvane-bench-tls-")
    cert, key = self_signed_certificate(folder)
    provider = HttpsProvider(cert, key, default=(201, {"sid": "SM1"}, {}))
    provider.quiet = True
    inst = Installation(spool_base, "127.0.0.1:1", provider={
        "Protocol": "http", "Preset": "form-basic", "CAFile": cert, "From": "+15005550006",
        "Url": "https://127.0.0.1:%d/Accounts/{account}/Messages.json" % provider.port})
    try:
        seconds = inst.drain(files)
        svc, handler = inst.memory()
        lines = inst.gw.log_lines()
        processed = sum("Processed OK" in l for l in lines)
        errors = sum("!!!Send Error" in l for l in lines)
        print("drain-http spool=%s files=%d processed_ok=%d send_errors=%d requests_at_provider=%d "
              "connections=%d seconds=%.3f requests_per_s=%.1f svc_hwm_kib=%d handler_hwm_kib=%d"
              % (spool_base, files, processed, errors, provider.count, provider.connections,
                 seconds, provider.count / seconds, svc, handler))
    finally:
        inst.close()
        provider.stop()
        shutil.rmtree(folder, ignore_errors=True)


def record_requests():
    """The provider's side of `latency`, in a process of its own so that the clients' threads do
    not hold it back: an SMTP sink printing its port, then "<number> <monotonic time>" for every
    provider request as it arrives."""
    sink = mh.Sink()

    class Recording(list):
        def append(self, item):
            if mh.GATEWAY in item[1]:
                print(mh.parse_request(item[2])["Number"], time.monotonic(), flush=True)
            super().append(item)
    sink.mails = Recording()
    print(sink.port, flush=True)
    sys.stdin.read()  # until the bench closes it
    sink.stop()


def latency(spool_base, mails, burst=False):
    """One mail at a time from one client (the handler takes the recipients from the To header)
    (about 1.1 s apart, so the mails fall at every phase of the handler's timers), or with burst
    all mails at once, each from a client of its own; time from the 250 of DATA to the provider
    request at the sink (a process of its own; CLOCK_MONOTONIC is the machine's)."""
    recorder = subprocess.Popen([sys.executable, os.path.abspath(__file__), "record-requests"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    sink_port = int(recorder.stdout.readline())
    arrived = {}

    def collect():
        for line in recorder.stdout:
            number, at = line.split()
            arrived.setdefault(number, float(at))
    threading.Thread(target=collect, daemon=True).start()

    class Stop:
        def stop(self):
            recorder.stdin.close()
            recorder.wait(timeout=10)
    sink = Stop()
    inst = Installation(spool_base, "127.0.0.1:%d" % sink_port)
    try:
        inst.start()
        accepted = {}

        def send(client, i):
            number = str(447700800000 + i)
            client.sendmail("alice@example.com", [number + "@example.com"],
                            "From: alice@example.com\r\nTo: %s@example.com\r\nSubject: t\r\n"
                            "\r\nping %d\r\n" % (number, i))
            accepted[number] = time.monotonic()

        if burst:
            # A process per client, connected before they all start together, so that each
            # notes its 250 when it comes rather than when its turn for the interpreter comes.
            import multiprocessing
            context = multiprocessing.get_context("fork")
            start = context.Barrier(mails)
            results = context.Queue()

            def one(i):
                client = smtplib.SMTP("127.0.0.1", inst.gw.port, timeout=30)
                start.wait()
                send(client, i)
                results.put(dict(accepted))
                client.quit()
            processes = [context.Process(target=one, args=(i,)) for i in range(mails)]
            for p in processes:
                p.start()
            for _ in processes:
                accepted.update(results.get(timeout=60))
            for p in processes:
                p.join()
        else:
            with smtplib.SMTP("127.0.0.1", inst.gw.port, timeout=30) as client:
                for i in range(mails):
                    send(client, i)
                    time.sleep(1.1)
        mh.wait_for(lambda: len(arrived) >= mails, timeout=60, what="all requests")
        delays = sorted(arrived[n] - accepted[n] for n in accepted)
        p95 = delays[min(len(delays) - 1, int(round(0.95 * len(delays))) - 1)]
        svc, handler = inst.memory()
        # Over how long the 250s came, and the requests after the first 250.
        first = min(accepted.values())
        print("latency spool=%s mails=%d burst=%d median_s=%.3f p95_s=%.3f min_s=%.3f max_s=%.3f "
              "accepted_over_s=%.3f requested_over_s=%.3f svc_hwm_kib=%d handler_hwm_kib=%d"
              % (spool_base, mails, burst, statistics.median(delays), p95, delays[0], delays[-1],
                 max(accepted.values()) - first, max(arrived.values()) - first, svc, handler))
    finally:
        inst.close()
        sink.stop()


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "accept":
        accept(args[0], int(args[1]), int(args[2]), int(args[3]), args[4:] == ["reconnect"])
    elif command == "drain-smpp":
        drain_smpp(args[0], int(args[1]), int(args[2]) if len(args) > 2 else 10)
    elif command == "drain-http":
        drain_http(args[0], int(args[1]))
    elif command == "sink":
        sink(int(args[0]), int(args[1]), int(args[2]), args[3:] == ["reconnect"])
    elif command == "drain":
        drain(args[0], int(args[1]))
    elif command == "record-requests":
        record_requests()
    elif command == "latency":
        latency(args[0], int(args[1]), args[2:] == ["burst"])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
