"""The soak: the real programs for a long run at a steady rate. Every mail carries a marker in
its body; at the end each must be in the log as received and as processed OK or errored, and
each number must have reached the provider. Memory (VmRSS) and open descriptors of the server
and of the handler are sampled all along; their trend over the run must be flat."""

import collections
import json
import os
import smtplib
import sys
import threading
import time

from mailvane_harness import Gateway, Sink, wait_for

SECONDS = float(os.environ.get("SOAK_SECONDS", "600"))
RATE = float(os.environ.get("SOAK_RATE", "2"))
SAMPLE = float(os.environ.get("SOAK_SAMPLE", "10"))
REFUSED = "refused@example.org"


def recipients_for(i):
    """The mix: mostly numbers, some forwards, one in ten failing for good."""
    kind = i % 10
    if kind <= 4:
        return ["4477009%05d" % (i % 100000)], "sms"
    if kind == 5:
        return ["4477009%05d" % (i % 100000), "Two <4477008%05d>" % (i % 100000)], "sms"
    if kind in (6, 7):
        return ["dave%d@example.org" % (i % 7)], "forward"
    if kind == 8:
        return ["4477009%05d" % (i % 100000), "erin@example.org"], "both"
    return [REFUSED, "4477009%05d" % (i % 100000)], "failing"


def status(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return rss, len(os.listdir("/proc/%d/fd" % pid))


def slope(points):
    """Least-squares slope of (t, v) points, per minute."""
    n = len(points)
    if n < 2:
        return 0.0
    mt = sum(t for t, _ in points) / n
    mv = sum(v for _, v in points) / n
    den = sum((t - mt) ** 2 for t, _ in points)
    return 0.0 if den == 0 else 60 * sum((t - mt) * (v - mv) for t, v in points) / den


def main():
    sink = Sink()
    sink.refuse.add(REFUSED)
    gw = Gateway()
    gw.write_settings(gw.default_settings(sink.port, MessageExpiry="3"))
    gw.start("-debug")
    gw.wait_listening(timeout=60)
    server_pid = gw.process.pid
    handler_pid = wait_for(lambda: gw.handler_pids(), 30, what="the handler")[0]
    sent = {}          # marker -> kind
    refused_smtp = []  # markers whose SMTP delivery failed (the client would retry)
    samples = []       # (t, server rss, server fds, handler rss, handler fds)
    stop = threading.Event()
    start = time.monotonic()

    def sampler():
        while not stop.is_set():
            try:
                s_rss, s_fds = status(server_pid)
                h_rss, h_fds = status(handler_pid)
            except OSError:
                samples.append((time.monotonic() - start, None, None, None, None))
                return
            samples.append((time.monotonic() - start, s_rss, s_fds, h_rss, h_fds))
            stop.wait(SAMPLE)

    threading.Thread(target=sampler, daemon=True).start()
    i = 0
    try:
        while time.monotonic() - start < SECONDS:
            due = start + i / RATE
            now = time.monotonic()
            if due > now:
                time.sleep(due - now)
            to, kind = recipients_for(i)
            marker = "soak-%d-%s" % (i, kind)
            text = ("From: Soak <soak@example.com>\r\nTo: %s\r\nSubject: soak %d\r\n\r\n%s "
                    "steady traffic\r\n" % (", ".join(to), i, marker)).encode()
            try:
                with smtplib.SMTP("127.0.0.1", gw.port, timeout=30) as client:
                    client.sendmail("soak@example.com",
                                    [t.split("<")[-1].rstrip(">") for t in to], text)
                sent[marker] = kind
            except (smtplib.SMTPException, OSError) as error:
                refused_smtp.append((marker, str(error)))
            i += 1

        def accounted():
            lines = gw.log_lines()
            done, errored = set(), set()
            verdict = None
            for line in lines:
                if line.startswith("{1} Processed OK "):
                    verdict = done
                elif line.startswith("{1} !!!Errored "):
                    verdict = errored
                elif line.startswith("{1} >>> Body:") and verdict is not None:
                    verdict.add(line[len("{1} >>> Body:"):].split(" ")[0])
                    verdict = None
            return lines, done, errored

        def drained():
            _, done, errored = accounted()
            return all(m in done or (k == "failing" and m in errored) for m, k in sent.items())

        try:
            wait_for(drained, 300, interval=1, what="every mail processed or errored")
        except AssertionError:
            pass
    finally:
        stop.set()
        time.sleep(0.2)
        alive = gw.process.poll() is None and handler_pid in gw.handler_pids()
    lines, done, errored = accounted()
    received = sum(l.startswith("+++Received from ") for l in lines)
    provider = collections.Counter()
    for r in sink.requests():
        provider[r["Text"].split(" ")[0]] += 1
    missing = sorted(m for m, k in sent.items()
                     if m not in done and not (k == "failing" and m in errored))
    wrong = sorted(m for m, k in sent.items() if k == "failing" and m in done)
    sms_missing = sorted(m for m, k in sent.items() if k != "forward" and provider[m] == 0)
    duration = samples[-1][0] - samples[0][0] if samples else 0
    warm = [s for s in samples if s[1] is not None and s[0] >= min(60, duration / 5)]
    trend = {}
    for index, name in ((1, "server_rss_kb"), (2, "server_fds"), (3, "handler_rss_kb"),
                        (4, "handler_fds")):
        values = [s[index] for s in warm]
        trend[name] = {
            "first": values[0] if values else None, "last": values[-1] if values else None,
            "min": min(values) if values else None, "max": max(values) if values else None,
            "slope_per_min": round(slope([(s[0], s[index]) for s in warm]), 2)}
    summary = {
        "seconds": round(time.monotonic() - start), "rate_per_s": RATE, "mails_sent": i,
        "acknowledged": len(sent), "smtp_failures": len(refused_smtp),
        "log_received_lines": received, "processed_ok": len(done & set(sent)),
        "errored": len(errored & set(sent)), "missing": missing[:20],
        "failing_processed_ok": wrong[:20], "sms_missing_at_provider": sms_missing[:20],
        "provider_requests": sum(provider.values()), "samples": len(samples),
        "programs_alive": alive, "trend": trend,
    }
    print(json.dumps(summary, indent=2))
    problems = []
    if not alive:
        problems.append("a program ended")
    if refused_smtp:
        problems.append("%d deliveries refused by the listener" % len(refused_smtp))
    if received != len(sent):
        problems.append("received lines %d != acknowledged %d" % (received, len(sent)))
    if missing or wrong or sms_missing:
        problems.append("mails not accounted for")
    for name in ("server_rss_kb", "handler_rss_kb"):
        t = trend[name]
        # Flat: the fitted growth over the run stays under 10% of the level (and 8 MB).
        if t["first"] and t["slope_per_min"] * duration / 60 > max(0.10 * t["first"], 8192):
            problems.append("%s grows: %s kB/min" % (name, t["slope_per_min"]))
    for name in ("server_fds", "handler_fds"):
        t = trend[name]
        if t["first"] is not None and t["last"] > t["first"] + 4:
            problems.append("%s grows: %s -> %s" % (name, t["first"], t["last"]))
    gw.stop()
    gw.close()
    sink.stop()
    if problems:
        print("soak FAILED: " + "; ".join(problems))
        return 1
    print("soak passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
