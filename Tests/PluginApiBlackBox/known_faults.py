"""Checks of faults found and not fixed yet. Not collected by the registered
run (the file name does not start with test_); run them by naming the file:

    KESTRUM_HOST=... QUELBY_PLUGIN=... python3 -m pytest known_faults.py
"""

import socket
import time

import pytest

from conftest import API


@pytest.fixture(scope="module")
def host(module_hosts):
    return module_hosts()


def exchange(host, requests_bytes):
    """Sends requests one after the other on one connection, each after the
    previous answer, and each as its head then its body (as most clients
    write them); returns the status line of each answer."""
    statuses = []
    with socket.create_connection(("127.0.0.1", host.port), timeout=5) as s:
        reader = s.makefile("rb")
        for data in requests_bytes:
            head, _, body = data.partition(b"\r\n\r\n")
            s.sendall(head + b"\r\n\r\n")
            time.sleep(0.05)
            s.sendall(body)
            status = reader.readline().decode().strip()
            statuses.append(status)
            length = 0
            while True:
                line = reader.readline()
                if line in (b"\r\n", b""):
                    break
                name, _, value = line.decode().partition(":")
                if name.lower() == "content-length":
                    length = int(value)
            reader.read(length)
    return statuses


def test_get_with_a_body_keeps_the_connection_usable(host):
    # The host leaves the body of a GET unread when it arrives after the
    # head: the next request on the same keep-alive connection then starts
    # with those bytes and is refused (400).
    get = ("GET %s/status HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}" % API).encode()
    put = ("PUT %s/connect HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}" % API).encode()
    statuses = exchange(host, [get, put])
    assert statuses[0].startswith("HTTP/1.1 200")
    assert statuses[1].startswith("HTTP/1.1 405"), statuses


def test_kept_alive_connections_answer_without_delay(host):
    # Observed: every answer after the first on a kept-alive connection comes
    # about 40 ms late (the answer is written in pieces without TCP_NODELAY,
    # and waits for the client's delayed acknowledgement).
    request = ("GET %s/status HTTP/1.1\r\nHost: x\r\n\r\n" % API).encode()
    with socket.create_connection(("127.0.0.1", host.port), timeout=5) as s:
        reader = s.makefile("rb")
        durations = []
        for _ in range(10):
            start = time.monotonic()
            s.sendall(request)
            length = 0
            reader.readline()
            while True:
                line = reader.readline()
                if line in (b"\r\n", b""):
                    break
                name, _, value = line.decode().partition(":")
                if name.lower() == "content-length":
                    length = int(value)
            reader.read(length)
            durations.append(time.monotonic() - start)
    durations.sort()
    assert durations[5] < 0.02, durations
