"""kestrum-host hardening, seen from a client: cross-site writes refused,
credentials required on the plug-in's routes, the body size limit, and
hostile request lines answered cleanly while the host keeps serving."""

import gzip
import socket

import pytest
import requests

from reliability_support import API, PLUGIN, InstanceMaker

FOREIGN_ORIGINS = ["http://attacker.example", "https://attacker.example", "null"]


@pytest.fixture
def host(hosts):
    return hosts("host", {"Plugins": [PLUGIN]}).start()


def routing(host):
    return host.status()["AutomatedRouting"]


@pytest.mark.parametrize("origin", FOREIGN_ORIGINS + ["http://127.0.0.1:1"])
def test_cross_site_writes_are_refused_and_change_nothing(host, origin):
    instance_id = host.upload(InstanceMaker(seed=3).make()[1])["ID"]
    headers = {"Origin": origin}

    answer = host.post(API + "/options", json={"AutomatedRouting": False}, headers=headers)
    assert answer.status_code == 403
    assert routing(host) is True
    assert host.post(API + "/connect", json={"id": "corvad"}, headers=headers).status_code == 403
    assert "ActiveServer" not in host.status()
    assert host.delete("/instances/" + instance_id, headers=headers).status_code == 403
    assert host.put("/instances/%s/metadata/4455" % instance_id, data=b"x", headers=headers).status_code == 403
    assert host.get("/instances").json() == [instance_id]
    assert host.get("/instances/%s/metadata/4455" % instance_id).status_code == 404
    # Reading stays possible (a browser keeps the answer from the other site anyway).
    assert host.get(API + "/status", headers=headers).status_code == 200


def test_same_site_and_scripted_writes_pass(host):
    same = {"Origin": "http://127.0.0.1:%d" % host.port}
    assert host.post(API + "/options", json={"AutomatedRouting": False}, headers=same).text == "ok"
    assert routing(host) is False
    assert host.post(API + "/options", json={"AutomatedRouting": True}).text == "ok"   # no Origin: curl, scripts
    assert routing(host) is True


def test_plugin_routes_need_credentials(hosts):
    host = hosts("protected", {"Plugins": [PLUGIN], "AuthenticationEnabled": True,
                               "RegisteredUsers": {"alice": "wonder land"}})
    host.session.auth = ("alice", "wonder land")
    host.start()
    for method, route in [("GET", API + "/status"), ("POST", API + "/options"), ("POST", API + "/replay"),
                          ("POST", API + "/clear-pending"), ("GET", "/plugins/quelby-cloud/app/index.html")]:
        for auth in [("alice", "wrong"), None]:
            answer = requests.request(method, host.url(route), json={"AutomatedRouting": False},
                                      auth=auth, timeout=10, proxies={"http": None})
            assert answer.status_code == 401, (route, auth)
    assert routing(host) is True
    assert host.post(API + "/options", json={"AutomatedRouting": False}).text == "ok"
    assert routing(host) is False


def test_bodies_beyond_the_configured_limit_are_refused(hosts):
    host = hosts("limited", {"MaximumBodySize": 1}).start()   # MiB
    too_large = host.post("/instances", data=b"\0" * (3 << 19))
    assert too_large.status_code == 413
    # A small gzip body that decodes past the limit is refused as well.
    bomb = host.post("/instances", data=gzip.compress(b"\0" * (4 << 20)), headers={"Content-Encoding": "gzip"})
    assert bomb.status_code == 413
    # Below the limit, a body that is not DICOM is a plain bad request, and a DICOM file is stored.
    assert host.post("/instances", data=b"\0" * (1 << 19)).status_code == 400
    assert host.post("/instances", data=b"not gzip", headers={"Content-Encoding": "gzip"}).status_code == 400
    host.upload(InstanceMaker(seed=4).make()[1])
    assert len(host.get("/instances").json()) == 1


def raw_exchange(port, request):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as connection:
        connection.sendall(request)
        return connection.recv(4096).split(b"\r\n", 1)[0]


@pytest.mark.parametrize("request_line,expected", [
    (b"GET /app/../system HTTP/1.1\r\n", b" 400 "),
    (b"GET /plugins/quelby-cloud/app/%2e%2e/%2e%2e/system HTTP/1.1\r\n", b" 400 "),
    (b"GET /plugins/quelby-cloud/app/..%2f..%2fsystem HTTP/1.1\r\n", b" 4"),
    (b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\n", b" 414 "),
    (b"GET /system HTTP/1.1\r\nX-Long: " + b"a" * 9000 + b"\r\n", b" 4"),
], ids=["dot-dot", "encoded-dot-dot", "encoded-slashes", "long-uri", "long-header"])
def test_hostile_request_lines_are_refused_cleanly(host, request_line, expected):
    status = raw_exchange(host.port, request_line + b"Host: 127.0.0.1\r\nConnection: close\r\n\r\n")
    assert status.startswith(b"HTTP/1.1") and expected in status, status
    assert status[9:12] in (b"400", b"404", b"414", b"431"), status
    assert host.get("/system").status_code == 200
