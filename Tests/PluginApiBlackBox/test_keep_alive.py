"""Request bodies and kept-alive connections: a request whose body the host
does not read must not leave bytes that the next request on the connection
would start with, bodies reach the plug-in as sent whatever their type, and
answers on a kept-alive connection come without delay."""

import socket
import time

import pytest

from conftest import API


@pytest.fixture(scope="module")
def host(module_hosts):
    return module_hosts()


def read_answer(reader):
    """Status line, headers (lower-case names) and body of one answer; None at
    the end of the connection."""
    status = reader.readline()
    if not status:
        return None
    headers = {}
    while True:
        line = reader.readline()
        if line in (b"\r\n", b""):
            break
        name, _, value = line.decode().partition(":")
        headers[name.strip().lower()] = value.strip()
    body = reader.read(int(headers.get("content-length", "0")))
    return status.decode().strip(), headers, body


def send_in_two_writes(connection, data):
    """The head, then the body once the host has had time to route the head,
    as most clients write a request."""
    head, _, body = data.partition(b"\r\n\r\n")
    connection.sendall(head + b"\r\n\r\n")
    time.sleep(0.05)
    if body:
        connection.sendall(body)


def connection_is_closed(connection, reader):
    """True when the host ends the connection instead of answering a further
    request on it."""
    try:
        connection.sendall(("GET %s/status HTTP/1.1\r\nHost: x\r\n\r\n" % API).encode())
        return read_answer(reader) is None
    except (BrokenPipeError, ConnectionResetError):
        return True


PUT_CONNECT = ("PUT %s/connect HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}" % API).encode()


# Each is answered as usual, and the connection ends with the answer.
@pytest.mark.parametrize("request_bytes,status", [
    (b"GET %s/status HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}", 200),
    (b"GET %s/connect HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}", 405),
    (b"OPTIONS %s/status HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}", 405),
    (b"HEAD %s/status HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}", 200),
    (b"TRACE %s/status HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}", 405),
    (b"GET %s/status HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", 200),
    (b"DELETE %s/status HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", 405),
    # Refused before its body is read: another site's page.
    (b"POST %s/options HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n"
     b"Content-Length: 2\r\n\r\n{}", 403),
    # Read in part: a chunked body that breaks off in a bad chunk size.
    (b"POST %s/options HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\nzz\r\n{}", 400),
], ids=["get", "get-405", "options", "head", "trace", "get-chunked", "delete-chunked", "cross-site-post",
        "broken-chunks"])
def test_unread_bodies_end_the_connection(host, request_bytes, status):
    with socket.create_connection(("127.0.0.1", host.port), timeout=5) as connection:
        reader = connection.makefile("rb")
        send_in_two_writes(connection, request_bytes.replace(b"%s", API.encode()))
        answer = read_answer(reader)
        assert answer is not None and answer[0].startswith("HTTP/1.1 %d" % status), answer
        assert answer[1].get("connection") == "close", answer
        assert connection_is_closed(connection, reader)
    # The host is unharmed and answers the next request on a new connection.
    with socket.create_connection(("127.0.0.1", host.port), timeout=5) as connection:
        reader = connection.makefile("rb")
        send_in_two_writes(connection, PUT_CONNECT)
        answer = read_answer(reader)
        assert answer[0].startswith("HTTP/1.1 405"), answer


def test_bodies_that_are_read_keep_the_connection(host):
    # A zero length is no body, and a POST's body is read whole: the second
    # request on the connection is read from its first byte.
    requests_bytes = [
        ("GET %s/status HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n" % API).encode(),
        ("POST %s/options HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}" % API).encode(),
        ("POST %s/options HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n"
         % API).encode(),
        ("DELETE %s/status HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nabcd" % API).encode(),
        PUT_CONNECT,
    ]
    statuses = []
    with socket.create_connection(("127.0.0.1", host.port), timeout=5) as connection:
        reader = connection.makefile("rb")
        for data in requests_bytes:
            send_in_two_writes(connection, data)
            answer = read_answer(reader)
            assert answer is not None, statuses
            statuses.append(answer[0].split(" ")[1])
    assert statuses == ["200", "200", "200", "405", "405"]


def test_kept_alive_connections_answer_without_delay(host):
    # Each answer leaves in several writes: with Nagle's algorithm every
    # answer after the first would wait about 40 ms for the client's delayed
    # acknowledgement.
    request = ("GET %s/status HTTP/1.1\r\nHost: x\r\n\r\n" % API).encode()
    durations = []
    with socket.create_connection(("127.0.0.1", host.port), timeout=5) as connection:
        reader = connection.makefile("rb")
        for _ in range(10):
            start = time.monotonic()
            connection.sendall(request)
            answer = read_answer(reader)
            assert answer is not None and answer[0].startswith("HTTP/1.1 200"), answer
            durations.append(time.monotonic() - start)
    durations.sort()
    assert durations[5] < 0.02, durations


FORM = b"--x\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n{}\r\n--x--\r\n"


@pytest.mark.parametrize("body,status,text", [
    (b"{}", 200, b"ok"),                         # the JSON the plug-in expects, whatever the type says
    (b"", 500, b"Error in the network protocol"),
    (FORM, 500, b"Error in the network protocol"),   # a real form: not JSON, refused by the plug-in
])
def test_form_typed_bodies_reach_the_plugin_as_sent(host, body, status, text):
    request = (b"POST %s/options HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=x\r\n"
               b"Content-Length: %d\r\n\r\n" % (API.encode(), len(body))) + body
    with socket.create_connection(("127.0.0.1", host.port), timeout=5) as connection:
        reader = connection.makefile("rb")
        connection.sendall(request)
        answer = read_answer(reader)
    assert answer[0].startswith("HTTP/1.1 %d" % status) and text in answer[2], answer
