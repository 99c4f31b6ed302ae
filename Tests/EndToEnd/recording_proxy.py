"""A reverse proxy that records every request it forwards.

It sits between the source host and a destination host, so that a test can see
what really travelled on the wire (headers such as Authorization and
Content-Encoding, the raw body) while the destination still does the real
work. The body is forwarded byte for byte and the upstream answer is returned
unchanged apart from its framing.
"""

import http.client
import socket
import ssl
import threading
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# Framing and connection headers are the proxy's own business on each side.
_HOP_BY_HOP = {"connection", "keep-alive", "transfer-encoding", "content-length", "expect",
               "proxy-connection", "te", "trailer", "upgrade"}


@dataclass
class Exchange:
    method: str
    path: str
    headers: dict        # lower-case name -> value, as the proxy received them
    body: bytes          # as received, before any decoding
    status: int          # what the destination answered


def read_body(handler):
    length = handler.headers.get("Content-Length")
    if length is not None:
        return handler.rfile.read(int(length))
    if handler.headers.get("Transfer-Encoding", "").lower() == "chunked":
        chunks = []
        while True:
            size = int(handler.rfile.readline().strip().split(b";")[0], 16)
            if size == 0:
                while handler.rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass
                return b"".join(chunks)
            chunks.append(handler.rfile.read(size))
            handler.rfile.readline()
    return b""


class RecordingProxy:
    """Listens on a free loopback port (TLS when a certificate is given) and
    forwards to 127.0.0.1:upstream_port (TLS verified against upstream_ca
    when given)."""

    def __init__(self, upstream_port, upstream_ca=None, certificate=None, key=None):
        self.exchanges = []
        self._lock = threading.Lock()
        self.upstream_port = upstream_port
        self.upstream_context = None
        if upstream_ca:
            self.upstream_context = ssl.create_default_context(cafile=upstream_ca)
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler_class())
        self.server.daemon_threads = True
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(certificate, key)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self._thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()

    def requests(self, method=None, path_prefix=""):
        with self._lock:
            return [e for e in self.exchanges
                    if (method is None or e.method == method) and e.path.startswith(path_prefix)]

    def _forward(self, method, path, headers, body):
        if self.upstream_context is not None:
            connection = http.client.HTTPSConnection("127.0.0.1", self.upstream_port, timeout=60,
                                                     context=self.upstream_context)
        else:
            connection = http.client.HTTPConnection("127.0.0.1", self.upstream_port, timeout=60)
        try:
            connection.connect()
            # Headers and body leave in separate writes: without this, each
            # exchange can wait for a delayed acknowledgement.
            connection.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            forwarded = {k: v for k, v in headers.items() if k.lower() not in _HOP_BY_HOP}
            forwarded["Content-Length"] = str(len(body))
            connection.request(method, path, body=body, headers=forwarded)
            answer = connection.getresponse()
            return answer.status, answer.getheaders(), answer.read()
        finally:
            connection.close()

    def _handler_class(self):
        proxy = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def setup(self):
                super().setup()
                self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

            def _serve(self):
                body = read_body(self)
                headers = {k: v for k, v in self.headers.items()}
                try:
                    status, answer_headers, answer_body = proxy._forward(self.command, self.path,
                                                                         headers, body)
                except OSError as e:
                    status, answer_headers, answer_body = 502, [], str(e).encode()
                with proxy._lock:
                    proxy.exchanges.append(Exchange(self.command, self.path,
                                                    {k.lower(): v for k, v in headers.items()},
                                                    body, status))
                self.send_response(status)
                for name, value in answer_headers:
                    # send_response already wrote its own Server and Date.
                    if name.lower() not in _HOP_BY_HOP | {"server", "date"}:
                        self.send_header(name, value)
                self.send_header("Content-Length", str(len(answer_body)))
                self.end_headers()
                self.wfile.write(answer_body)

            do_GET = do_POST = do_PUT = do_DELETE = _serve

        return Handler
