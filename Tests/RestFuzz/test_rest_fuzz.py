"""Seeded storm of random and malformed requests against every route of the
plug-in, through one kestrum-host.

Each request is built with the status codes it may be answered with: the
route's own answers and the plug-in's failure codes (400 for codes 3 and 15,
500 for 9, -1 and 1), 404 and 405, and the host's refusals of a malformed
request (400, 413, 414). Anything else, a reset connection, an answer out of
time, the host failing its /system probe or not stopping cleanly fails the
test. Every outgoing connection of the host is sent to a local listener that
closes it at once, so nothing leaves the machine.

Environment: KESTRUM_HOST and QUELBY_PLUGIN (set by CTest); RESTFUZZ_SEED,
RESTFUZZ_REQUESTS and RESTFUZZ_SECONDS change the storm.
"""

import collections
import concurrent.futures
import gzip
import json
import os
import random
import re
import socket
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "Common"))

from kestrum_host import HostGroup  # noqa: E402

HOST_BINARY = os.environ.get("KESTRUM_HOST")
PLUGIN = os.environ.get("QUELBY_PLUGIN")
SEED = int(os.environ.get("RESTFUZZ_SEED", "13"))
REQUESTS = int(os.environ.get("RESTFUZZ_REQUESTS", "3000"))
BUDGET = float(os.environ.get("RESTFUZZ_SECONDS", "60"))
WORKERS = 4
ANSWER_BOUND = 8.0      # seconds: "HttpTimeout" is 2, a connection test makes one request
BODY_LIMIT_MIB = 1

BASE = "/plugins/quelby-cloud"
API = BASE + "/api"
APP = BASE + "/app"
KINDS = ["vexa", "kestrum-cloud", "corvad", "ai", "pharma"]
METHODS = ["GET", "POST", "PUT", "DELETE", "PATCH", "HEAD", "OPTIONS"]
BODY_READERS = {"POST", "PUT", "DELETE", "PATCH"}    # the host reads these bodies; others are left unread

GET_ROUTES = ["destinations", "status"]
PARAMETER_ROUTES = ["test-connection", "connect"]
IGNORED_BODY_ROUTES = ["disconnect", "clear-pending", "replay", "force-replay"]
APP_FILES = ["index.html", "app.js", "dashboard.css", "js/vue.min.js",
             "js/jquery-3.4.1.min.js", "css/bootstrap.css.map", "fonts/fontawesome-webfont.woff2"]
APP_MISSING = ["", "missing.html", "explorer.js", "js/app.js", "IMG/FAVICON.PNG", "index.html/", "css/", "fonts/x.ttf"]

URL_VALUES = ["https://fuzz.vexa.example/", "https://www.quelby.example", "https://cloud.kestrum.example/",
              "https://cloud.kestrum.example/fuzz", "http://localhost:8042/", "https://vexa.example.evil/",
              "ftp://fuzz.vexa.example/", "https://fuzz.vexa.example/../../", "", " ", "https://"]


class Case:
    """One request: its bytes, how to send them, and what may answer it."""

    def __init__(self, kind, data, method, allowed, body_check=None, half_close=False,
                 may_reset=False, probe=False, route=None):
        self.kind = kind
        self.route = route
        self.data = data
        self.method = method
        self.allowed = set(allowed)
        self.body_check = body_check     # (status, body) -> error text or None
        # End our side after sending, for a declared body longer than the one
        # sent: the host then either answers or (seeing the client gone)
        # closes without an answer; it must not wait for the missing bytes.
        self.half_close = half_close
        self.may_reset = may_reset       # a body over the limit may be cut off by the host's refusal
        self.probe = probe               # ask for the status again on the same connection

    def describe(self):
        text = self.data[:300]
        return "%s %r%s" % (self.kind, text, "..." if len(self.data) > 300 else "")


# ---- expected answers ----

def json_object_or_none(body):
    try:
        value = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        return None
    return value


def parameters_outcome(route, body):
    """Statuses for a parameters body, worked out as the plug-in reads it."""
    value = json_object_or_none(body)
    if not isinstance(value, dict) or any(not isinstance(v, str) for v in value.values()):
        return {500}
    if "id" not in value:
        return {500}
    if value["id"] not in KINDS:
        return {400}
    return {200} if route == "test-connection" else {200, 400}


def options_outcome(body):
    value = json_object_or_none(body)
    if not isinstance(value, dict):
        return {500}
    for name in ("AutomatedRouting", "AutomatedDeletion"):
        if name in value and not isinstance(value[name], bool):
            return {400}
    return {200}


def route_outcome(method, route, oracle_text, lenient=False):
    """Statuses of a well-formed request with a complete body. `oracle_text`
    is the JSON text that the plug-in reads from the body, None when this
    oracle cannot foresee the reading (random bytes, nesting beyond the
    reader's limit); `lenient` adds the failure codes, for bodies that the
    reader may take or refuse (comments, a second document)."""
    if route in GET_ROUTES:
        return {200} if method in ("GET", "HEAD") else {405}
    if method != "POST":
        return {405}
    if route in IGNORED_BODY_ROUTES:
        return {200}
    if oracle_text is None:
        return {400, 500}
    outcome = options_outcome(oracle_text) if route == "options" else parameters_outcome(route, oracle_text)
    return outcome | {400, 500} if lenient else outcome


def check_answer_body(route, method):
    """A check of a 200 answer's body for the route."""
    def check(status, body):
        if status != 200 or method == "HEAD":
            return None
        if route in IGNORED_BODY_ROUTES or route in ("connect", "options"):
            return None if body == b"ok" else "answer %r instead of ok" % body[:100]
        value = json_object_or_none(body)
        if route == "status":
            return None if isinstance(value, dict) and "InstancesPending" in value else "bad status %r" % body[:200]
        if route == "destinations":
            keys = [d.get("key") for d in value] if isinstance(value, list) else None
            return None if keys == KINDS else "bad destinations %r" % body[:200]
        if route == "test-connection":
            # Nothing answers: every remote is the closing listener.
            if not isinstance(value, dict) or value.get("success") is not False:
                return "connection test %r" % body[:200]
            if "error" in value and not isinstance(value["error"], str):
                return "error text %r" % body[:200]
        return None
    return check


# ---- generators ----

class Generator:
    def __init__(self, seed, parameter_keys):
        self.rng = random.Random(seed)
        self.parameter_keys = parameter_keys    # kind -> its parameter keys

    def text(self, longest=40):
        r = self.rng
        choice = r.random()
        if choice < 0.4:
            return "".join(r.choice("abcdefghijklmnopqrstuvwxyz0123456789-_ :/.") for _ in range(r.randint(0, longest)))
        if choice < 0.6:
            return r.choice(URL_VALUES)
        if choice < 0.75:
            return "".join(chr(r.choice([0xe9, 0x4e2d, 0x1f600, 0x3b1, 0x0, 0x7f, 0xfeff])) for _ in range(r.randint(1, 8)))
        if choice < 0.85:
            return "Api-Key " + "".join(r.choice("0123456789abcdef") for _ in range(32))
        if choice < 0.95:
            return "a\r\nX-Injected: 1"
        return "x" * r.randint(1000, 20000)

    def wrong_value(self):
        r = self.rng
        return r.choice([None, True, False, 0, -1, 2 ** 64, 1.5e308, [], {}, ["x"], {"a": "b"}, [[[]]]])

    def parameters(self):
        """A parameters map, mostly of a known kind with string values,
        sometimes with a value of another type, no id or an unknown id."""
        r = self.rng
        kind = r.choice(KINDS)
        value = {"id": kind}
        for key in self.parameter_keys[kind]:
            if r.random() < 0.85:
                value[key] = self.text()
        if r.random() < 0.2:
            value[self.text(10)] = self.text()
        roll = r.random()
        if roll < 0.1:
            del value["id"]
        elif roll < 0.2:
            value["id"] = r.choice(["", "VEXA", "nowhere", "corvad ", self.text(10)])
        elif roll < 0.3:
            value[r.choice(list(value))] = self.wrong_value()
        return value

    def options(self):
        r = self.rng
        value = {}
        for name in ("AutomatedRouting", "AutomatedDeletion"):
            if r.random() < 0.7:
                value[name] = r.choice([True, False]) if r.random() < 0.8 else self.wrong_value()
        if r.random() < 0.3:
            value[self.text(10)] = self.wrong_value()
        return value

    def structured_body(self, route):
        """(body, the JSON text read from it or None, lenient): see route_outcome."""
        r = self.rng
        shape = r.random()
        valid = self.options() if route == "options" else self.parameters()
        text = json.dumps(valid, ensure_ascii=r.random() < 0.5).encode("utf-8")
        if shape < 0.45:
            return text, text, False
        if shape < 0.55:
            cut = text[:r.randint(0, len(text) - 1)]
            return cut, cut, False
        if shape < 0.62:
            other = json.dumps(r.choice([[valid], 42, "x", None, True, [], 1.5])).encode()
            return other, other, False
        if shape < 0.67:
            depth = r.choice([10, 500, 5000, 100000])
            nested = b"[" * depth + b"]" * depth
            return b'{"id": ' + nested + b', "AutomatedRouting": ' + nested + b"}", None, False
        if shape < 0.72:
            broken = text.replace(b'"id"', b'"id\xff"').replace(b'": ', b'": "\xc3\x28", "x": ', 1)
            return broken, broken, False      # not UTF-8: refused like text that is not JSON
        if shape < 0.77:
            noise = bytes(r.randint(0, 255) for _ in range(r.randint(1, 300)))
            return noise, None, False
        if shape < 0.81:
            size = r.randint(1200000, 1500000) if r.random() < 0.1 else r.randint(100000, 600000)
            huge = json.dumps(dict(valid, Padding="p" * size)).encode()
            return huge, huge, False
        if shape < 0.85:
            return b"/* comment */ " + text + b" // trailing", text, True
        if shape < 0.89:
            return text + b" " + text, text, True           # two documents
        return b"", b"", False

    # ---- requests ----

    def route_case(self):
        r = self.rng
        route = r.choice(GET_ROUTES + PARAMETER_ROUTES + IGNORED_BODY_ROUTES + ["options"])
        method = r.choice(["POST"] * 5 + METHODS)
        body, oracle_text, lenient = self.structured_body("options" if route == "options" else "connect")
        if route in GET_ROUTES + IGNORED_BODY_ROUTES and r.random() < 0.5:
            body = b""
        if method not in BODY_READERS and r.random() < 0.7:
            body = b""
        path = API + "/" + route
        if r.random() < 0.15:
            path += "?" + r.choice(["x=1", "id=vexa&Url=https://a", "%ff=%00", "a=" + "q" * 200, ""])
        allowed = route_outcome(method, route, oracle_text, lenient)
        may_reset = False
        if method in BODY_READERS and len(body) > BODY_LIMIT_MIB << 20:
            allowed, may_reset = {413}, True
        headers = [("Content-Type", r.choice(["application/json", "text/plain", "multipart/form-data; boundary=x",
                                               "application/x-www-form-urlencoded", "", "application/json; charset=latin1"]))]
        data = build(method, path, headers, body)
        return Case("route", data, method, allowed, check_answer_body(route, method),
                    may_reset=may_reset, probe=r.random() < 0.3, route=route)

    def framing_case(self):
        """Correct routes, broken framing: lengths that do not match, chunked
        bodies good and bad, encodings."""
        r = self.rng
        route = r.choice(PARAMETER_ROUTES + IGNORED_BODY_ROUTES + ["options", "status"])
        method = r.choice(["POST", "POST", "POST", "GET", "PUT", "DELETE", "OPTIONS"])
        body, oracle_text, lenient = self.structured_body("options" if route == "options" else "connect")
        if len(body) > BODY_LIMIT_MIB << 20:
            body = oracle_text = b"{}"
        path = API + "/" + route
        # The host reads the bodies of some methods only: the others are
        # answered as if they had none, and their connection is closed.
        complete = route_outcome(method, route, oracle_text, lenient)
        broken = {400} if method in BODY_READERS else complete
        # A DELETE body without a length is not read either.
        broken_chunks = complete if method == "DELETE" else broken
        trick = r.choice(["longer", "shorter", "chunked", "bad-chunked", "both", "bad-length",
                          "gzip", "bad-gzip", "unknown-encoding", "expect"])
        if trick == "longer":
            data = build(method, path, [("Content-Length", str(len(body) + r.randint(1, 100)))], body, length=False)
            return Case(trick, data, method, broken, half_close=True)
        if trick == "shorter" and body:
            cut = r.randint(0, len(body) - 1)
            data = build(method, path, [("Content-Length", str(cut))], body, length=False)
            if method not in BODY_READERS:
                return Case(trick, data, method, complete)
            if body == oracle_text:
                return Case(trick, data, method, route_outcome(method, route, body[:cut]))
            # What is left of a body with comments or two documents may be a whole document.
            unforeseeable = route_outcome(method, route, None)
            return Case(trick, data, method, unforeseeable | {200} if unforeseeable == {400, 500} else unforeseeable)
        if trick == "chunked":
            data = build(method, path, [("Transfer-Encoding", "chunked")], chunked(body, r), length=False)
            return Case(trick, data, method, complete, probe=True)
        if trick == "bad-chunked":
            data = build(method, path, [("Transfer-Encoding", "chunked")], b"zz\r\n" + body + b"\r\n0\r\n\r\n",
                         length=False)
            return Case(trick, data, method, broken_chunks)
        if trick == "both":
            # A length that disagrees with the chunks: the chunks decide, or the request is refused.
            data = build(method, path, [("Content-Length", "3"), ("Transfer-Encoding", "chunked")],
                         chunked(body, r), length=False)
            return Case(trick, data, method, complete | {400})
        if trick == "bad-length":
            value = r.choice(["abc", "-1", "1 2", "99999999999999999999999", "0x10"])
            data = build(method, path, [("Content-Length", value)], body, length=False)
            return Case(trick, data, method, {400} | route_outcome(method, route, b""), half_close=True)
        if trick == "gzip":
            data = build(method, path, [("Content-Encoding", "gzip")], gzip.compress(body))
            return Case(trick, data, method, complete, probe=True)
        if trick == "bad-gzip":
            # A stream cut inside its header decodes to nothing.
            data = build(method, path, [("Content-Encoding", "gzip")], b"\x1f\x8b" + body)
            return Case(trick, data, method, broken | route_outcome(method, route, b"") if len(body) < 8 else broken)
        if trick == "unknown-encoding":
            # Refused, or handed over as it came.
            data = build(method, path, [("Content-Encoding", r.choice(["br", "zstd", "x"]))], body)
            return Case(trick, data, method, broken | complete)
        data = build(method, path, [("Expect", "100-continue")], body)
        return Case("expect", data, method, complete)

    def path_case(self):
        """Odd paths under the plug-in's base."""
        r = self.rng
        method = r.choice(METHODS)
        reads = method in BODY_READERS
        unknown = {404, 405}
        route = r.choice(GET_ROUTES + ["connect", "options"])
        shape = r.choice(["dotdot", "encoded-dotdot", "encoded-slash", "long", "too-long", "unicode",
                          "raw-unicode", "upper", "double-slash", "trailing", "nul", "backslash", "app-dotdot"])
        paths = {
            "dotdot": (API + "/../api/" + route, {400}),
            "encoded-dotdot": (API + "/%2e%2e/%2E%2e/" + route, {400}),
            "encoded-slash": (APP + "/..%2f..%2fapi%2f" + route, {400, 404, 405}),
            "long": (API + "/" + "a" * r.randint(1000, 7000), unknown),
            "too-long": (API + "/" + "a" * r.randint(9000, 20000), {414}),
            "unicode": (API + "/%E2%82%AC" + route, unknown),
            "raw-unicode": ((API + "/\u20ac\u00e9" + route), {400} | unknown),
            "upper": (API.upper() + "/" + route.upper(), unknown),
            "double-slash": (BASE + "//api//" + route, unknown),
            "trailing": (API + "/" + route + "/", unknown),
            "nul": (API + "/" + route + "%00", {400}),
            "backslash": (API + "%5c" + route, {400}),
            "app-dotdot": (APP + "/js/../../api/" + route, {400}),
        }
        path, allowed = paths[shape]
        if method in ("PATCH", "OPTIONS"):
            allowed = allowed | {405}     # no route takes them: refused before the path is looked at
        body = b"{}" if reads else b""
        return Case("path-" + shape, build(method, path, [], body), method, allowed)

    def app_case(self):
        r = self.rng
        method = r.choice(["GET", "GET", "GET", "HEAD"] + METHODS)
        present = r.random() < 0.6
        name = r.choice(APP_FILES if present else APP_MISSING)
        if method in ("GET", "HEAD"):
            allowed = {200} if present else {404}
        else:
            allowed = {405}
        body = b"" if method not in BODY_READERS or r.random() < 0.5 else b"junk"
        return Case("app", build(method, APP + "/" + name, [], body), method, allowed, probe=r.random() < 0.3,
                    route="app")

    def case(self):
        roll = self.rng.random()
        if roll < 0.55:
            return self.route_case()
        if roll < 0.75:
            return self.framing_case()
        if roll < 0.88:
            return self.path_case()
        return self.app_case()


def build(method, path, headers, body, length=True):
    head = "%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\n" % (method, path)
    lines = [head.encode("utf-8")]
    for name, value in headers:
        lines.append(("%s: %s\r\n" % (name, value)).encode("utf-8"))
    if length and (body or method in BODY_READERS):
        lines.append(b"Content-Length: %d\r\n" % len(body))
    return b"".join(lines) + b"\r\n" + body


def chunked(body, rng):
    out = []
    position = 0
    while position < len(body):
        size = rng.randint(1, 4096)
        piece = body[position:position + size]
        out.append(b"%x\r\n" % len(piece) + piece + b"\r\n")
        position += size
    return b"".join(out) + b"0\r\n\r\n"


# ---- exchange ----

def read_answer(reader, method):
    """(status, headers, body) of one answer, or None when the connection ends."""
    while True:
        line = reader.readline(65536)
        if not line:
            return None
        match = re.match(rb"HTTP/1\.[01] (\d{3})", line)
        assert match, "not a status line: %r" % line[:200]
        headers = {}
        while True:
            header = reader.readline(65536)
            if header in (b"\r\n", b"\n", b""):
                break
            name, _, value = header.decode("latin-1").partition(":")
            headers[name.strip().lower()] = value.strip()
        if not match.group(1).startswith(b"1"):
            break     # "100 Continue" comes before the answer
    body = b""
    if method != "HEAD":
        body = reader.read(int(headers.get("content-length", "0")))
    return int(match.group(1)), headers, body


STATUS_PROBE = b"GET " + API.encode() + b"/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


def exchange(port, case):
    """Sends one case; returns (status or None, seconds, error text or None)."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=ANSWER_BOUND + 5) as connection:
        send_error = None
        try:
            connection.sendall(case.data)
            if case.half_close:
                connection.shutdown(socket.SHUT_WR)
        except OSError as e:
            send_error = e    # the host may answer and close before reading all of it
        reader = connection.makefile("rb")
        try:
            answer = read_answer(reader, case.method)
        except (OSError, socket.timeout) as e:
            answer, send_error = None, e
        elapsed = time.monotonic() - start
        if answer is None:
            if case.may_reset or case.half_close:
                return None, elapsed, None
            return None, elapsed, "connection ended without an answer (%r)" % send_error
        status, headers, body = answer
        if status not in case.allowed:
            return status, elapsed, "status %d, expected one of %s" % (status, sorted(case.allowed))
        if case.body_check:
            problem = case.body_check(status, body)
            if problem:
                return status, elapsed, problem
        if case.probe and headers.get("connection", "").lower() != "close":
            # The connection must still be in step: the next request is read from its first byte.
            connection.sendall(STATUS_PROBE)
            probe = read_answer(reader, "GET")
            if probe is None or probe[0] != 200 or not isinstance(json_object_or_none(probe[2]), dict):
                return status, elapsed, "kept-alive connection out of step: %r" % (probe,)
        return status, elapsed, None


class ClosingListener:
    """A loopback listener that closes every connection at once: the target
    of every outgoing request of the host."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.listen(64)
        self.socket.settimeout(0.2)
        self.port = self.socket.getsockname()[1]
        self.connections = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping:
            try:
                connection, _ = self.socket.accept()
            except socket.timeout:
                continue
            self.connections += 1
            connection.close()

    def close(self):
        self.stopping = True
        self.thread.join()
        self.socket.close()


class Watcher:
    """Asks GET /system every quarter second while the storm runs."""

    def __init__(self, port):
        self.port = port
        self.failures = []
        self.answers = 0
        self.slowest = 0.0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        request = b"GET /system HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
        while not self.stopping.wait(0.25):
            start = time.monotonic()
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=ANSWER_BOUND) as connection:
                    connection.sendall(request)
                    answer = read_answer(connection.makefile("rb"), "GET")
                if answer is None or answer[0] != 200:
                    self.failures.append("GET /system: %r" % (answer,))
                else:
                    self.answers += 1
            except OSError as e:
                self.failures.append("GET /system: %r" % e)
            self.slowest = max(self.slowest, time.monotonic() - start)

    def stop(self):
        self.stopping.set()
        self.thread.join()


@pytest.fixture(scope="module")
def fuzz_host(tmp_path_factory):
    if not HOST_BINARY or not PLUGIN:
        pytest.skip("KESTRUM_HOST and QUELBY_PLUGIN are set by CTest")
    listener = ClosingListener()
    group = HostGroup(tmp_path_factory.mktemp("restfuzz"), binary=HOST_BINARY)
    try:
        host = group.start({
            "Plugins": [PLUGIN],
            # Every host and port: the dummy kinds' localhost:8042, the portal's
            # and the managed server's names alike.
            "HttpConnectTo": ["::127.0.0.1:%d" % listener.port],
            "HttpTimeout": 2,
            "MaximumBodySize": BODY_LIMIT_MIB,
        })
        yield host, listener
    finally:
        try:
            group.close()     # SIGTERM, exit status 0 required
        finally:
            listener.close()


def test_random_and_malformed_requests(fuzz_host):
    host, listener = fuzz_host
    destinations = host.get(API + "/destinations").json()
    assert [d["key"] for d in destinations] == KINDS
    generator = Generator(SEED, {d["key"]: [p["key"] for p in d["parameters"]] for d in destinations})
    cases = [generator.case() for _ in range(REQUESTS)]

    watcher = Watcher(host.port)
    deadline = time.monotonic() + BUDGET
    failures = []
    statuses = collections.Counter()
    by_route = collections.Counter()
    durations = []

    def run(index):
        if time.monotonic() > deadline:
            return None
        status, seconds, problem = exchange(host.port, cases[index])
        return index, status, seconds, problem

    try:
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            for result in pool.map(run, range(len(cases))):
                if result is None:
                    continue
                index, status, seconds, problem = result
                statuses[status] += 1
                by_route[cases[index].route, status] += 1
                durations.append(seconds)
                if seconds > ANSWER_BOUND:
                    problem = (problem or "") + " answered after %.1f s" % seconds
                if problem:
                    failures.append("#%d %s -> %s" % (index, cases[index].describe(), problem))
    finally:
        watcher.stop()

    sent = len(durations)
    durations.sort()
    print("seed %d: %d requests sent, statuses %s, median %.1f ms, slowest %.2f s, /system probes %d, "
          "outgoing connections %d" % (SEED, sent, dict(sorted(statuses.items(), key=str)),
                                       1000 * durations[sent // 2], durations[-1], watcher.answers,
                                       listener.connections))
    assert not failures, "%d of %d requests (seed %d):\n%s" % (len(failures), sent, SEED, "\n".join(failures[:25]))
    assert not watcher.failures, watcher.failures[:10]
    assert watcher.answers > 0 and watcher.slowest < ANSWER_BOUND
    # The storm must have reached the routes: a time budget cut short on a slow
    # machine still sends most of it.
    assert sent >= min(REQUESTS, 1000), sent
    assert {200, 400, 404, 405, 500} <= set(statuses), statuses
    assert listener.connections > 0, "no connection test reached the local listener"
    # Every route answered, and the branches behind valid bodies were reached.
    answered = {route for route, status in by_route if status is not None}
    assert set(GET_ROUTES + PARAMETER_ROUTES + IGNORED_BODY_ROUTES + ["options", "app"]) <= answered, answered
    for reached in [("test-connection", 200), ("test-connection", 400), ("connect", 200), ("connect", 400),
                    ("options", 200), ("options", 400), ("options", 500), ("app", 200), ("app", 404)]:
        assert by_route[reached] > 0, (reached, by_route)


def test_plugin_answers_correctly_after_the_storm(fuzz_host):
    host, _ = fuzz_host
    status = host.get(API + "/status")
    assert status.status_code == 200 and status.headers["Content-Type"].startswith("application/json")
    values = status.json()
    assert isinstance(values["AutomatedRouting"], bool) and isinstance(values["AutomatedDeletion"], bool)
    assert all(isinstance(values[k], int) for k in ("InstancesPending", "InstancesSuccess", "InstancesError"))
    assert re.fullmatch(r"\d+\.\d", values["TransferedSizeMB"]), values
    assert values["InstancesSuccess"] == 0   # nothing was ever stored, so nothing was sent

    destinations = host.get(API + "/destinations").json()
    assert [d["key"] for d in destinations] == KINDS
    assert all(p["type"] in ("text", "password") for d in destinations for p in d["parameters"])

    # Each change still takes effect, and is seen in the status.
    assert host.post(API + "/options", data=json.dumps({"AutomatedRouting": True, "AutomatedDeletion": True})).text == "ok"
    assert host.post(API + "/connect", data=json.dumps({"id": "corvad"})).text == "ok"
    values = host.get(API + "/status").json()
    assert (values["AutomatedRouting"], values["AutomatedDeletion"]) == (True, True)
    assert "ActiveServer" in values
    assert host.post(API + "/disconnect").text == "ok"
    assert host.post(API + "/options", data=json.dumps({"AutomatedDeletion": False})).text == "ok"
    values = host.get(API + "/status").json()
    assert "ActiveServer" not in values and values["AutomatedDeletion"] is False

    test = host.post(API + "/test-connection", data=json.dumps({"id": "vexa"})).json()
    assert test == {"success": False, "error": "No URL was provided"}
    page = host.get(APP + "/index.html")
    assert page.status_code == 200 and page.headers["Content-Type"].startswith("text/html")
    assert host.get("/system").status_code == 200
