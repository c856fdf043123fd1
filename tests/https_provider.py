"""A stand-in for an SMS provider's REST API over HTTPS on loopback: HTTP/1.1 with keep-alive on
asyncio, answering each request from a script (then from a default answer), and recording what
arrived: method, path, headers, body and, for a form or JSON body, its decoded fields."""

import asyncio
import json
import ssl
import threading
import urllib.parse


class HttpsProvider:
    def __init__(self, cert, key, default=(200, {}, {})):
        self.default = default  # (status, JSON-able body or text, extra headers)
        self.script = []        # answers to use first, in order; "hang" never answers
        self.hang_seconds = 20  # how long "hang" holds the connection before closing it
        self.requests = []
        self.connections = 0
        self.quiet = False      # bench: count requests, keep none
        self.count = 0
        self._lock = threading.Lock()
        self._stop = None
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(cert, key)
        self._loop = asyncio.new_event_loop()
        started = threading.Event()

        def run():
            asyncio.set_event_loop(self._loop)
            self._stop = asyncio.Event()
            self._server = self._loop.run_until_complete(asyncio.start_server(
                self._serve, "127.0.0.1", 0, ssl=context))
            self.port = self._server.sockets[0].getsockname()[1]
            started.set()
            self._loop.run_until_complete(self._stop.wait())
            self._server.close()
            tasks = asyncio.all_tasks(self._loop)
            for task in tasks:
                task.cancel()
            self._loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
            self._loop.close()

        self._thread = threading.Thread(target=run, daemon=True)
        self._thread.start()
        started.wait(10)

    def of(self, path_prefix=""):
        with self._lock:
            return [r for r in self.requests if r["path"].startswith(path_prefix)]

    def stop(self):
        self._loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(10)

    async def _serve(self, reader, writer):
        self.connections += 1
        try:
            while True:
                line = await reader.readline()
                if not line:
                    return
                method, path, _ = line.decode().split(" ", 2)
                headers = {}
                while True:
                    h = (await reader.readline()).decode("latin-1").rstrip("\r\n")
                    if not h:
                        break
                    name, _, value = h.partition(":")
                    headers[name.strip().lower()] = value.strip()
                body = await reader.readexactly(int(headers.get("content-length", "0")))
                with self._lock:
                    self.count += 1
                    answer = self.script.pop(0) if self.script else self.default
                    if not self.quiet:
                        self.requests.append(self._record(method, path, headers, body))
                if answer == "hang":
                    await asyncio.wait([asyncio.ensure_future(self._stop.wait())],
                                       timeout=self.hang_seconds)
                    return
                status, content, extra = answer
                data = (content if isinstance(content, str) else json.dumps(content)).encode()
                head = "HTTP/1.1 %d X\r\nContent-Type: application/json\r\nContent-Length: %d\r\n" % (
                    status, len(data)) + "".join("%s: %s\r\n" % kv for kv in extra.items())
                writer.write(head.encode() + b"\r\n" + data)
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError, ValueError):
            pass
        finally:
            writer.close()

    @staticmethod
    def _record(method, path, headers, body):
        text = body.decode("utf-8", "replace")
        fields = None
        kind = headers.get("content-type", "")
        if "x-www-form-urlencoded" in kind:
            fields = {k: v[0] for k, v in urllib.parse.parse_qs(text, keep_blank_values=True).items()}
        elif "json" in kind:
            fields = json.loads(text)
        return {"method": method, "path": path, "headers": headers, "body": text, "fields": fields}
