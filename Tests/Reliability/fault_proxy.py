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
  "503"       answer 503 without forwarding
  "reset"     read the request's head and some of its body, then reset the
              connection (RST) without forwarding
  "hang"      read the request and never answer, until the source gives up

Every exchange is recorded (`exchanges`): its mode, the SOP Instance UIDs
that a STOW-RS request carried and those that the answer confirmed to the
source, so that a test can tell which attempts a fault met and whether an
instance already confirmed was sent again.
"""

import http.client
import io
import json
import select
import socket
import struct
import threading
import time
import warnings
from dataclasses import dataclass, field

MODES = ("pass", "refuse", "500", "not-json", "drop", "omit", "slow", "503", "reset", "hang")
HANG_LIMIT = 600     # seconds a hung exchange waits for the source to give up


@dataclass
class Exchange:
    """One request that reached the proxy."""
    mode: str
    started: float                                  # time.time() once the request's head was read
    method: str = ""
    target: str = ""
    sent: list = field(default_factory=list)        # SOP Instance UIDs of a STOW-RS body
    confirmed: list = field(default_factory=list)   # SOP Instance UIDs the source was told are stored
    answered: float = None                          # when the whole answer was handed to the source


class FaultProxy:
    def __init__(self, upstream_port, delay=3.0):
        self.upstream_port = upstream_port
        self.delay = delay
        self.mode = "pass"
        self.omitted = []          # SOP Instance UIDs hidden from the source
        self.served = 0
        self.exchanges = []        # Exchange, in the order their heads were read
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

    # ---- what went through ----

    def record(self):
        with self.lock:
            return list(self.exchanges)

    def confirmed(self):
        """{SOP Instance UID: time its first confirmation reached the source}."""
        first = {}
        for exchange in self.record():
            if exchange.answered is not None:
                for uid in exchange.confirmed:
                    first[uid] = min(first.get(uid, exchange.answered), exchange.answered)
        return first

    def attempts(self, mode, since):
        """Requests that met `mode` from `since` (time.time()) on."""
        return sum(1 for exchange in self.record() if exchange.mode == mode and exchange.started >= since)

    def sent_again(self):
        """(SOP Instance UID, Exchange) for every instance sent again after
        the source had been told that the destination stored it."""
        record = self.record()
        confirmed_at = self.confirmed()
        return [(uid, exchange) for exchange in record for uid in exchange.sent
                if uid in confirmed_at and confirmed_at[uid] < exchange.started]

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
                head = _read_head(connection)
                if head is None:
                    return
                method, target, headers, rest = head
                with self.lock:
                    mode = self.mode
                    self.served += 1
                    exchange = Exchange(mode, time.time(), method, target)
                    self.exchanges.append(exchange)
                if mode == "reset":
                    _reset_mid_body(connection, headers, rest)
                    return
                body = _read_body(connection, headers, rest)
                if body is None:
                    return
                sent = _stow_instances(method, target, headers, body)
                with self.lock:
                    exchange.sent = sent
                self._answer(connection, exchange, method, target, headers, body)
        except OSError:
            pass   # the source gave up (time-out) or the test ended

    def _answer(self, connection, exchange, method, target, headers, body):
        mode = exchange.mode
        if mode == "hang":
            _wait_for_close(connection)
            return
        if mode in ("500", "503"):
            reason = "Internal Server Error" if mode == "500" else "Service Unavailable"
            connection.sendall(_head(int(mode), reason, [], 0))
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
        confirmed = _stow_confirmed(method, target, answer)
        if _closed_by_peer(connection):
            return    # the source gave up: nothing was confirmed to it
        connection.sendall(_head(status, reason, answer_headers, len(answer)) + answer)
        with self.lock:
            exchange.confirmed = confirmed
            exchange.answered = time.time()

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


def _read_head(connection):
    """(method, target, [(name, value)], bytes read past the head) of one
    HTTP/1.1 request, or None."""
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
    return method, target, headers, rest


def _header(headers, name):
    return {k.lower(): v for k, v in headers}.get(name, "")


def _read_body(connection, headers, rest):
    """The whole body, or None when the source closed first."""
    if _header(headers, "transfer-encoding").lower() == "chunked":
        return _read_chunked(connection, rest)
    length = int(_header(headers, "content-length") or "0")
    body = rest
    while len(body) < length:
        chunk = connection.recv(min(1 << 20, length - len(body)))
        if not chunk:
            return None
        body += chunk
    return body


def _reset_mid_body(connection, headers, rest):
    """Reads about half of the body (at least one byte), then resets: a
    close with SO_LINGER 0 sends RST instead of FIN."""
    length = int(_header(headers, "content-length") or "0")
    wanted = max(1, length // 2)
    received = len(rest)
    while received < wanted:
        chunk = connection.recv(min(65536, wanted - received))
        if not chunk:
            break
        received += len(chunk)
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def _wait_for_close(connection):
    """Returns once the source closes its end (it gave up), or after HANG_LIMIT."""
    connection.settimeout(HANG_LIMIT)
    try:
        while connection.recv(65536):
            pass
    except OSError:
        pass


def _closed_by_peer(connection):
    # A socket with a time-out waits for data even with MSG_DONTWAIT: ask select first.
    if not select.select([connection], [], [], 0)[0]:
        return False
    try:
        return connection.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


def _is_stow(method, target):
    return method == "POST" and target.split("?")[0].endswith("/studies")


def _stow_instances(method, target, headers, body):
    """SOP Instance UIDs of the DICOM files in a STOW-RS body."""
    if not _is_stow(method, target):
        return []
    content_type = _header(headers, "content-type")
    boundary = None
    for parameter in content_type.split(";")[1:]:
        name, _, value = parameter.strip().partition("=")
        if name.lower() == "boundary":
            boundary = value.strip('"')
    if not boundary:
        return []
    import pydicom   # only a STOW-RS test needs it
    uids = []
    for piece in body.split(b"--" + boundary.encode())[1:]:
        if piece.startswith(b"--"):
            break
        _, _, content = piece.partition(b"\r\n\r\n")
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                ds = pydicom.dcmread(io.BytesIO(content[:-2] if content.endswith(b"\r\n") else content),
                                     force=True, stop_before_pixels=True)
            uids.append(str(ds.SOPInstanceUID))
        except Exception:   # not DICOM: the destination will say so
            pass
    return uids


def _stow_confirmed(method, target, answer):
    """SOP Instance UIDs that a STOW-RS answer lists as stored (00081199)."""
    if not _is_stow(method, target):
        return []
    try:
        items = json.loads(answer).get("00081199", {}).get("Value", [])
        return [item["00081155"]["Value"][0] for item in items]
    except (ValueError, AttributeError, KeyError, IndexError, TypeError):
        return []


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
