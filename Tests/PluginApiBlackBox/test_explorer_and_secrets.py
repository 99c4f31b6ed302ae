"""The active server declared in the host's explorer (as a peer, or as a
DICOMweb server of the host), and credentials that never show in an answer
or in the log.

The remote names used here are redirected to a closed loopback port, so a
send or a connection test fails at once and nothing leaves the machine."""

import base64
import json

import pytest

import dicom_samples
from conftest import API, APP, free_port, wait_until

USERNAME = "alice-operator"
PASSWORD = "pw-Zq81!x7Lm"
BASIC = base64.b64encode((USERNAME + ":" + PASSWORD).encode()).decode()
API_KEY = "Api-Key tok-9f3kQ2vL0p"
API_KEY_TOKEN = API_KEY.split(" ", 1)[1]
SECRETS = [PASSWORD, BASIC, API_KEY_TOKEN]

MANAGED = {"id": "kestrum-cloud", "Url": "https://cloud.kestrum.example/",
           "username": USERNAME, "password": PASSWORD}
PORTAL = {"id": "vexa", "Url": "https://x.vexa.example/", "api-key": API_KEY}

PEER_WARNING = "Quelby Cloud plugin: Kestrum peer modality \"kestrum-cloud\" was already defined, overwriting it"
SERVER_WARNING = "Quelby Cloud plugin: DICOMweb modality \"vexa\" was already defined, overwriting it"
CANNOT_ADD = "Quelby Cloud plugin: Cannot add the modality for use in Kestrum Explorer"
CANNOT_REMOVE = "Quelby Cloud plugin: Cannot unregister the modality out of Kestrum Explorer"


def remote_config(extra=None):
    closed = free_port()
    config = {"HttpTimeout": 2,
              "HttpConnectTo": ["cloud.kestrum.example:443:127.0.0.1:%d" % closed,
                                "x.vexa.example:443:127.0.0.1:%d" % closed]}
    config.update(extra or {})
    return config


class AnswerLog:
    """Every answer body a test received, to look for credentials at the end."""

    def __init__(self, host):
        self.host = host
        self.texts = []

    def request(self, method, path, **kwargs):
        answer = self.host.request(method, path, **kwargs)
        self.texts.append("%s %s -> %d %s %s" % (method, path, answer.status_code,
                                                  dict(answer.headers), answer.text))
        return answer

    def every_route(self, parameters):
        for route in ("/destinations", "/status", "/delivery"):
            self.request("GET", API + route)
        self.request("POST", API + "/test-connection", data=json.dumps(parameters))
        for route in ("/options", "/replay", "/clear-pending", "/retry-failed"):
            self.request("POST", API + route, data=b"{}")
        for route in ("/connect", "/test-connection", "/options", "/retry-failed"):
            self.request("GET", API + route)   # 405
        self.request("POST", API + "/connect", data=json.dumps(dict(parameters, Url="https://nowhere/")))
        self.request("GET", APP + "/index.html")
        self.request("GET", "/peers")
        self.request("GET", "/plugins")

    def assert_no_secret(self):
        for text in self.texts + [self.host.log()]:
            for secret in SECRETS:
                assert secret not in text, (secret, text[:2000])


def upload_one(host):
    return host.upload(dicom_samples.restamped(dicom_samples.select_samples()[0]))


def test_managed_server_is_declared_as_a_peer(hosts):
    host = hosts(remote_config())
    answers = AnswerLog(host)
    assert answers.request("GET", "/peers/kestrum-cloud").status_code == 404

    assert answers.request("POST", API + "/connect", data=json.dumps(MANAGED)).text == "ok"
    peer = answers.request("GET", "/peers/kestrum-cloud")
    assert peer.status_code == 200
    assert peer.json() == {"Url": "https://cloud.kestrum.example", "HttpHeaders": ["Authorization"]}
    assert "kestrum-cloud" in answers.request("GET", "/peers").json()
    status = answers.request("GET", API + "/status").json()
    assert status["ActiveServer"] == {"Description": "Managed Kestrum server by Quelby",
                                      "URL": "https://cloud.kestrum.example/"}
    # Connecting again replaces the declaration without the "already defined" warning.
    assert answers.request("POST", API + "/connect", data=json.dumps(MANAGED)).text == "ok"
    assert answers.request("GET", "/peers/kestrum-cloud").status_code == 200
    assert PEER_WARNING not in host.log()

    # A send that fails, and a connection test that fails, log without credentials.
    upload_one(host)
    wait_until(lambda: host.status()["InstancesError"] == 1, what="the failed send")
    answer = answers.request("POST", API + "/test-connection", data=json.dumps(MANAGED))
    assert answer.json() == {"success": False}
    answers.every_route(MANAGED)

    host.restart()
    answers = AnswerLog(host)
    wait_until(lambda: PEER_WARNING in host.log(), what="the peer declared again after the restart")
    assert host.log().count(PEER_WARNING) == 1
    assert answers.request("GET", "/peers/kestrum-cloud").json()["Url"] == "https://cloud.kestrum.example"

    assert answers.request("POST", API + "/disconnect").text == "ok"
    assert answers.request("GET", "/peers/kestrum-cloud").status_code == 404
    assert "ActiveServer" not in answers.request("GET", API + "/status").json()
    assert CANNOT_REMOVE not in host.log()
    answers.every_route(MANAGED)
    answers.assert_no_secret()

    # The credentials were there to leak: the state keeps them for the sends.
    host.api_ok("/connect", MANAGED)
    host.stop()
    assert host.stored_state()["ActiveServer"]["HttpHeaders"] == {"Authorization": "Basic " + BASIC}


@pytest.mark.parametrize("root,servers", [(None, "/dicom-web/servers"), ("/web/", "/web/servers")])
def test_portal_is_declared_as_a_dicomweb_server(hosts, root, servers):
    dicomweb = {"Enable": True}
    if root is not None:
        dicomweb["Root"] = root
    host = hosts(remote_config({"DicomWeb": dicomweb}))
    answers = AnswerLog(host)
    assert answers.request("GET", servers + "/vexa").status_code == 404

    assert answers.request("POST", API + "/connect", data=json.dumps(PORTAL)).text == "ok"
    server = answers.request("GET", servers + "/vexa")
    assert server.status_code == 200
    assert server.json() == {"Url": "https://x.vexa.example/api/dicom-web", "HttpHeaders": ["Authorization"]}
    assert CANNOT_ADD not in host.log()
    assert answers.request("GET", API + "/status").json()["ActiveServer"] == {
        "Description": "Vexa Web publication portal by Quelby", "URL": "https://x.vexa.example/"}

    upload_one(host)
    wait_until(lambda: host.status()["InstancesError"] == 1, what="the failed send")
    answers.every_route(PORTAL)

    host.restart()
    wait_until(lambda: SERVER_WARNING in host.log(), what="the server declared again after the restart")
    assert answers.request("GET", servers + "/vexa").status_code == 200

    assert answers.request("POST", API + "/disconnect").text == "ok"
    assert answers.request("GET", servers + "/vexa").status_code == 404
    assert CANNOT_REMOVE not in host.log()
    answers.assert_no_secret()
    host.api_ok("/connect", PORTAL)
    host.stop()
    assert host.stored_state()["ActiveServer"]["HttpHeaders"] == {"Authorization": API_KEY}


def test_portal_without_dicomweb_service_still_connects(hosts):
    host = hosts(remote_config())
    answers = AnswerLog(host)
    assert answers.request("POST", API + "/connect", data=json.dumps(PORTAL)).text == "ok"
    assert CANNOT_ADD in host.log()
    assert answers.request("GET", API + "/status").json()["ActiveServer"]["URL"] == "https://x.vexa.example/"
    assert answers.request("GET", "/dicom-web/servers/vexa").status_code == 404
    # Nothing was declared as a peer instead.
    assert answers.request("GET", "/peers").json() == []

    host.restart()
    wait_until(lambda: host.log().count(CANNOT_ADD) == 2, what="the failed declaration at the restart")
    assert "ActiveServer" in host.status()

    assert answers.request("POST", API + "/disconnect").text == "ok"
    assert CANNOT_REMOVE in host.log()
    assert "ActiveServer" not in host.status()
    answers.every_route(PORTAL)
    answers.assert_no_secret()
