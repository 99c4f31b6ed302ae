"""The plug-in's API as the web page uses it: destination kinds, connection
tests, connecting, options and status, and what survives a restart."""

import json
import os

import pytest

from conftest import API, connect_to, free_port, wait_until

CORVAD = "Corvad / Halminet by Quelby (soon)"
START_STATUS = {"AutomatedDeletion": False, "AutomatedRouting": True, "InstancesError": 0,
                "InstancesPending": 0, "InstancesSuccess": 0, "TransferedSizeMB": "0.0"}
START_DELIVERY = {"Connected": False, "Health": "disconnected", "Activity": "idle", "RetryInstances": 0,
                  "Failed": [], "FailedCount": 0, "DeliveredInstances": 0, "DeliveredBytes": 0, "RateMBps": 0.0}


def test_destinations_in_registration_order_with_their_parameters(hosts):
    answer = hosts().get(API + "/destinations")
    assert answer.status_code == 200
    assert answer.headers["Content-Type"].startswith("application/json")
    kinds = answer.json()
    assert [k["key"] for k in kinds] == ["vexa", "kestrum-cloud", "corvad", "ai", "pharma"]
    for kind in kinds:
        assert sorted(kind) == ["description", "key", "parameters", "primary"]
        for parameter in kind["parameters"]:
            assert sorted(parameter) == ["key", "name", "placeholder", "type"]
            assert parameter["key"] != "id"
    by_key = {k["key"]: k for k in kinds}

    assert [(k["description"], k["primary"]) for k in kinds] == [
        ("Vexa Web publication portal by Quelby", True),
        ("Managed Kestrum server by Quelby", True),
        (CORVAD, True),
        ("My AI partner (without anonymization) (soon)", False),
        ("My clinical study with some pharmaceutical firm (soon)", False),
    ]

    def fields(key):
        return [(p["key"], p["name"], p["type"]) for p in by_key[key]["parameters"]]
    assert fields("vexa") == [("Url", "URL", "text"), ("api-key", "API key", "text")]
    assert fields("kestrum-cloud") == [("Url", "URL", "text"), ("username", "Username", "text"),
                                       ("password", "Password", "password")]
    for dummy in ("corvad", "ai", "pharma"):
        assert fields(dummy) == [("Username", "Username", "text")]
    assert by_key["vexa"]["parameters"][0]["placeholder"] == \
        "URL to your instance of Vexa, must start with \"https://\""
    assert by_key["vexa"]["parameters"][1]["placeholder"] == "Your API key, must start with \"Api-Key\""
    assert "https://" in by_key["kestrum-cloud"]["parameters"][0]["placeholder"]


def test_connection_tests_reach_the_server_without_touching_the_state(hosts):
    destination = hosts(plugin=False)
    closed = free_port()
    source = hosts({"HttpTimeout": 2,
                    "HttpConnectTo": connect_to(destination) +
                    ["cloud.kestrum.example:443:127.0.0.1:%d" % closed]})

    def test(parameters):
        answer = source.post(API + "/test-connection", data=json.dumps(parameters))
        assert answer.status_code == 200, answer.text
        assert answer.headers["Content-Type"].startswith("application/json")
        return answer.json()

    def last_test_error():
        return source.get(API + "/delivery").json().get("LastTestError", {}).get("Text")

    assert source.get(API + "/delivery").json() == START_DELIVERY
    assert test({"id": "corvad"}) == {"success": True}
    assert test({"id": "ai", "Username": "someone", "unknown": "ignored"}) == {"success": True}
    # Accepted parameters, unreachable server: a plain negative answer, and its cause beside.
    assert test({"id": "kestrum-cloud", "Url": "https://cloud.kestrum.example/",
                 "username": "u", "password": "p"}) == {"success": False}
    assert last_test_error() == "cannot connect to cloud.kestrum.example: connection refused or lost"
    assert test({"id": "corvad"}) == {"success": True}
    assert last_test_error() is None
    destination.stop()
    assert test({"id": "corvad"}) == {"success": False}
    assert last_test_error() == "cannot connect to localhost: connection refused or lost"

    assert source.status() == START_STATUS
    source.stop()
    assert source.get_global_property(5467) == ""


def test_connect_options_and_disconnect_survive_restarts(hosts):
    host = hosts()
    assert host.status() == START_STATUS

    host.api_ok("/connect", {"id": "corvad", "Username": "someone"})
    host.api_ok("/options", {"AutomatedRouting": False, "AutomatedDeletion": True})
    expected = dict(START_STATUS, ActiveServer={"Description": CORVAD},
                    AutomatedRouting=False, AutomatedDeletion=True)
    assert host.status() == expected
    host.stop()
    stored = host.stored_state()
    assert stored["ActiveServer"]["ModalityName"] == "dummy"
    assert (stored["AutomatedRouting"], stored["AutomatedDeletion"]) == (False, True)
    generation = stored["SynchronizationUuid"]
    assert len(generation) == 36

    host.start()
    wait_until(lambda: "ActiveServer" in host.status(), what="the stored server after the restart")
    assert host.status() == expected
    # Saving again (an empty options body changes nothing) stores the
    # generation in force after the restart: the stored one.
    host.api_ok("/options", {})
    host.stop()
    assert host.stored_state() == stored

    # Connecting again, even to the same server, starts a new generation.
    host.start()
    host.api_ok("/connect", {"id": "corvad"})
    host.stop()
    reconnected = host.stored_state()
    assert reconnected["SynchronizationUuid"] != generation
    assert reconnected["ActiveServer"] == stored["ActiveServer"]

    host.start()
    host.api_ok("/disconnect")
    assert host.status() == {k: v for k, v in expected.items() if k != "ActiveServer"}
    host.api_ok("/disconnect")   # when nothing is connected, still "ok"
    host.stop()
    disconnected = host.stored_state()
    assert "ActiveServer" not in disconnected
    assert disconnected["SynchronizationUuid"] not in (generation, reconnected["SynchronizationUuid"])
    assert (disconnected["AutomatedRouting"], disconnected["AutomatedDeletion"]) == (False, True)

    host.start()
    status = host.status()
    assert "ActiveServer" not in status
    assert (status["AutomatedRouting"], status["AutomatedDeletion"]) == (False, True)


def test_each_option_is_set_on_its_own(hosts):
    host = hosts()
    host.api_ok("/options", {"AutomatedDeletion": True})
    assert (host.status()["AutomatedRouting"], host.status()["AutomatedDeletion"]) == (True, True)
    host.api_ok("/options", {"AutomatedRouting": False, "Unknown": 3})
    assert (host.status()["AutomatedRouting"], host.status()["AutomatedDeletion"]) == (False, True)
    host.api_ok("/options", {"AutomatedDeletion": False})
    assert (host.status()["AutomatedRouting"], host.status()["AutomatedDeletion"]) == (False, False)


@pytest.mark.parametrize("ca_file,present", [
    ("/etc/ssl/certs/ca-certificates.crt", True),
    ("missing.pem", False),
    ("folder", False),
    (None, False),
])
def test_certificates_are_reported_only_when_readable(hosts, tmp_path, ca_file, present):
    config = {}
    if ca_file == "/etc/ssl/certs/ca-certificates.crt" and not os.path.isfile(ca_file):
        pytest.skip("no system CA bundle")
    if ca_file == "folder":
        os.makedirs(tmp_path / "folder")
    if ca_file is not None:
        config["HttpsCACertificates"] = ca_file if os.path.isabs(ca_file) else str(tmp_path / ca_file)
    host = hosts(config)
    status = host.status()
    if present:
        assert status["HasCertificates"] is True
    else:
        assert "HasCertificates" not in status
        if ca_file is not None:
            assert "The path does not point to a regular file: " + config["HttpsCACertificates"] in host.log()
    assert sorted(k for k in status if k != "HasCertificates") == sorted(START_STATUS)
