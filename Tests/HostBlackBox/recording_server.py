"""A tiny HTTP(S) server that records every request it receives, for checking
what the host's outgoing-HTTP service really sends.

Paths:
  /status/N   answers status N
  /sleep/S    waits S seconds, then answers 200
  anything    answers 200 with a small JSON body
Every answer carries the header "X-Answer-Header: answer-value".
"""

import base64
import json
import ssl
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


@dataclass
class RecordedRequest:
    method: str
    path: str
    headers: dict                 # lower-case name -> value
    body: bytes
    credentials: tuple = None     # (user, password) of a Basic Authorization header


@dataclass
class Recorder:
    requests: list = field(default_factory=list)
    lock: threading.Lock = field(default_factory=threading.Lock)

    def add(self, request):
        with self.lock:
            self.requests.append(request)

    def find(self, path):
        with self.lock:
            return [r for r in self.requests if r.path == path]


def _handler_class(recorder):
    class Handler(BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def _read_body(self):
            length = int(self.headers.get("Content-Length", "0") or "0")
            if length:
                return self.rfile.read(length)
            if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
                chunks = []
                while True:
                    size = int(self.rfile.readline().strip().split(b";")[0], 16)
                    if size == 0:
                        self.rfile.readline()
                        break
                    chunks.append(self.rfile.read(size))
                    self.rfile.readline()
                return b"".join(chunks)
            return b""

        def _serve(self):
            body = self._read_body()
            credentials = None
            authorization = self.headers.get("Authorization", "")
            if authorization.startswith("Basic "):
                user, _, password = base64.b64decode(authorization[6:]).decode().partition(":")
                credentials = (user, password)
            recorder.add(RecordedRequest(self.command, self.path,
                                         {k.lower(): v for k, v in self.headers.items()},
                                         body, credentials))

            status = 200
            if self.path.startswith("/status/"):
                status = int(self.path.split("/")[2])
            elif self.path.startswith("/sleep/"):
                time.sleep(float(self.path.split("/")[2]))
            answer = json.dumps({"path": self.path, "received": len(body)}).encode()
            try:
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("X-Answer-Header", "answer-value")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the client gave up (time-out tests)

        do_GET = do_POST = do_PUT = do_DELETE = _serve

    return Handler


class RecordingServer:
    def __init__(self, certificate=None, key=None):
        self.recorder = Recorder()
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), _handler_class(self.recorder))
        self.server.daemon_threads = True
        self.tls = certificate is not None
        if self.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(certificate, key)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()

    def url(self, path, host="127.0.0.1"):
        return "%s://%s:%d%s" % ("https" if self.tls else "http", host, self.port, path)
