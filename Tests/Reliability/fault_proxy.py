"""An HTTP proxy on loopback that forwards to one upstream port and, by
turns, injects one fault into the exchanges that pass through it.

Modes:
  "pass"      forward and answer as the upstream did
  "refuse"    the listening socket is closed: connections are refused
  "500"       answer 500 without forwarding
  "not-json"  answer 200 with an HTML body, without forwarding
  "drop"      forward, then send the answer's head and half of its body and close
  "omit"      forward, then drop the first referenced SOP instance from a
              STOW-RS answer, or name another SOP Instance UID in an
              instance's description (the peer protocol's read-back)
  "slow"      forward, then wait `delay` seconds before answering
"""

import http.client
import json
import socket
import threading
import time

MODES = ("pass", "refuse", "500", "not-json", "drop", "omit", "slow")


class FaultProxy:
    def __init__(self, upstream_port, delay=3.0):
        self.upstream_port = upstream_port
        self.delay = delay
        self.mode = "pass"
        self.omitted = []          # SOP Instance UIDs hidden from the source
        self.served = 0
        self.lock = threading.Lock()
        self.listener = None
        self.port = 0
        self._open()

    # ---- control ----

    def set_mode(self, mode):
        assert mode in MODES, mode
        with self.lock:
            self.mode = mode
        if mode == "refuse":
            self._close()
        elif self.listener is None:
            self._open()

    def close(self):
        self._close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _open(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", self.port))   # same port again after a refusal
        listener.listen(64)
        self.port = listener.getsockname()[1]
        self.listener = listener
        threading.Thread(target=self._accept, args=(listener,), daemon=True).start()

    def _close(self):
        listener, self.listener = self.listener, None
        if listener is not None:
            try:
                listener.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            listener.close()

    def _accept(self, listener):
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    # ---- one exchange per connection ----

    def _serve(self, connection):
        try:
            with connection:
                connection.settimeout(30)
                request = _read_request(connection)
                if request is None:
                    return
                with self.lock:
                    mode = self.mode
                    self.served += 1
                self._answer(connection, mode, *request)
        except OSError:
            pass   # the source gave up (time-out) or the test ended

    def _answer(self, connection, mode, method, target, headers, body):
        if mode == "500":
            connection.sendall(_head(500, "Internal Server Error", [], 0))
            return
        if mode == "not-json":
            page = b"<html><body>maintenance</body></html>"
            connection.sendall(_head(200, "OK", [("Content-Type", "application/dicom+json")], len(page)) + page)
            return
        status, reason, answer_headers, answer = self._forward(method, target, headers, body)
        if mode == "omit":
            answer = self._omit(method, target, answer)
        if mode == "drop":
            connection.sendall(_head(status, reason, answer_headers, len(answer)) + answer[:len(answer) // 2])
            connection.shutdown(socket.SHUT_RDWR)
            return
        if mode == "slow":
            time.sleep(self.delay)
        connection.sendall(_head(status, reason, answer_headers, len(answer)) + answer)

    def _forward(self, method, target, headers, body):
        upstream = http.client.HTTPConnection("127.0.0.1", self.upstream_port, timeout=60)
        try:
            kept = {k: v for k, v in headers if k.lower() not in ("connection", "transfer-encoding", "content-length")}
            kept["Connection"] = "close"
            upstream.request(method, target, body=body if body else None, headers=kept)
            answer = upstream.getresponse()
            data = answer.read()
            answer_headers = [(k, v) for k, v in answer.getheaders()
                              if k.lower() not in ("connection", "transfer-encoding", "content-length")]
            return answer.status, answer.reason, answer_headers, data
        finally:
            upstream.close()

    def _omit(self, method, target, answer):
        try:
            document = json.loads(answer)
        except ValueError:
            return answer
        if method == "POST" and target.split("?")[0].endswith("/studies") and isinstance(document, dict):
            items = document.get("00081199", {}).get("Value", [])
            if items:
                hidden = items.pop(0)
                self.omitted.append(hidden["00081155"]["Value"][0])
        elif method == "GET" and "/instances/" in target and isinstance(document, dict):
            tags = document.get("MainDicomTags", {})
            if "SOPInstanceUID" in tags:
                self.omitted.append(tags["SOPInstanceUID"])
                tags["SOPInstanceUID"] += ".9"
        else:
            return answer
        return json.dumps(document).encode()


def _head(status, reason, headers, length):
    lines = ["HTTP/1.1 %d %s" % (status, reason)]
    lines += ["%s: %s" % (k, v) for k, v in headers]
    lines += ["Content-Length: %d" % length, "Connection: close", "", ""]
    return "\r\n".join(lines).encode("latin-1")


def _read_request(connection):
    """(method, target, [(name, value)], body) of one HTTP/1.1 request, or None."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = connection.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    method, target, _ = lines[0].split(" ", 2)
    headers = [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:] if ":" in line]
    names = {k.lower(): v for k, v in headers}
    if names.get("transfer-encoding", "").lower() == "chunked":
        body = _read_chunked(connection, rest)
    else:
        length = int(names.get("content-length", "0"))
        body = rest
        while len(body) < length:
            chunk = connection.recv(min(1 << 20, length - len(body)))
            if not chunk:
                return None
            body += chunk
    return method, target, headers, body


def _read_chunked(connection, data):
    body = b""
    while True:
        while b"\r\n" not in data:
            data += connection.recv(65536)
        size_line, data = data.split(b"\r\n", 1)
        size = int(size_line.split(b";")[0], 16)
        while len(data) < size + 2:
            data += connection.recv(65536)
        if size == 0:
            return body
        body += data[:size]
        data = data[size + 2:]
