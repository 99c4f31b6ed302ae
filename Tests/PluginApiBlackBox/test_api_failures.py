"""Every way a request to the plug-in's API can be wrong: the HTTP status the
client gets, that the plug-in keeps serving, and that nothing is saved."""

import json

import pytest

from conftest import API, wait_until

GET_ROUTES = ["/destinations", "/status"]
POST_ROUTES = ["/test-connection", "/connect", "/disconnect", "/options",
               "/clear-pending", "/replay", "/force-replay"]

VALID_PORTAL = {"id": "vexa", "Url": "https://x.vexa.example/", "api-key": "Api-Key abc"}


@pytest.fixture(scope="module")
def host(module_hosts):
    return module_hosts()


@pytest.mark.parametrize("route,allowed", [(r, "GET") for r in GET_ROUTES] + [(r, "POST") for r in POST_ROUTES])
def test_wrong_method_is_405_naming_the_allowed_one(host, route, allowed):
    for method in ("GET", "POST", "PUT", "DELETE"):
        if method == allowed:
            continue
        answer = host.request(method, API + route, data=b"{}")
        assert answer.status_code == 405, (method, route, answer.status_code, answer.text)
        assert answer.headers.get("Allow") == allowed, (method, route, answer.headers)


# The host maps the plug-in's codes: 3 and 15 to 400, 9, -1 and 1 to 500.
BAD_PARAMETER_BODIES = [
    (b"", 500),                                   # empty: not JSON
    (b"not json", 500),
    (b"{\"id\": \"vexa\"", 500),                  # truncated object
    (b"[\"id\", \"vexa\"]", 500),                  # an array
    (b"\"vexa\"", 500),                            # a JSON text
    (b"null", 500),
    (b"42", 500),
    (b"{\"id\": 5}", 500),                        # a number where a text is expected
    (b"{\"id\": \"corvad\", \"Username\": 3}", 500),
    (b"{\"id\": \"vexa\", \"Url\": [\"https://x.vexa.example/\"], \"api-key\": \"Api-Key a\"}", 500),
    (b"{\"id\": \"vexa\", \"Url\": null, \"api-key\": \"Api-Key a\"}", 500),
    (b"{\"id\": \"vexa\", \"Url\": true, \"api-key\": \"Api-Key a\"}", 500),
    (b"{}", 500),                                 # no "id"
    (b"{\"Url\": \"https://x.vexa.example/\", \"api-key\": \"Api-Key a\"}", 500),
    (b"{\"id\": \"nowhere\"}", 400),              # unknown destination
    (b"{\"id\": \"\"}", 400),
    (b"{\"id\": \"VEXA\"}", 400),
]


@pytest.mark.parametrize("route", ["/test-connection", "/connect"])
@pytest.mark.parametrize("body,status", BAD_PARAMETER_BODIES)
def test_bad_parameter_bodies(host, route, body, status):
    answer = host.post(API + route, data=body)
    assert answer.status_code == status, (route, body, answer.status_code, answer.text)
    assert "activeserver" not in answer.text.lower()


REFUSED_PARAMETERS = [
    ({"id": "vexa"}, "No URL was provided"),
    ({"id": "vexa", "api-key": "Api-Key a"}, "No URL was provided"),
    ({"id": "vexa", "Url": "https://x.vexa.example/"}, "No API key was provided"),
    ({"id": "vexa", "Url": "http://x.vexa.example/", "api-key": "Api-Key a"},
     "The URL to your instance of Vexa is not well formed"),
    ({"id": "vexa", "Url": "https://x.vexa.example/x", "api-key": "Api-Key a"},
     "The URL to your instance of Vexa is not well formed"),
    ({"id": "vexa", "Url": "https://x.vexa.example:443", "api-key": "Api-Key a"},
     "The URL to your instance of Vexa is not well formed"),
    ({"id": "vexa", "Url": "https://x.vexa.example/", "api-key": "api-key a"}, "The API key is not well formed"),
    ({"id": "vexa", "Url": "https://x.vexa.example/", "api-key": "Api-Keyabc"}, "The API key is not well formed"),
    ({"id": "kestrum-cloud"}, "No URL was provided"),
    ({"id": "kestrum-cloud", "Url": "https://cloud.kestrum.example/"}, "No username was provided"),
    ({"id": "kestrum-cloud", "Url": "https://cloud.kestrum.example/", "username": "u"}, "No password was provided"),
    ({"id": "kestrum-cloud", "Url": "https://cloud.kestrum.example", "username": "u", "password": "p"},
     "The URL to your managed Kestrum server is not well formed"),
    ({"id": "kestrum-cloud", "Url": "https://other.kestrum.example/", "username": "u", "password": "p"},
     "The URL to your managed Kestrum server is not well formed"),
]


@pytest.mark.parametrize("parameters,error", REFUSED_PARAMETERS)
def test_refused_parameters(host, parameters, error):
    # A refusal is an answer of the connection test, but a failure of connect.
    answer = host.post(API + "/test-connection", data=json.dumps(parameters))
    assert answer.status_code == 200, answer.text
    assert answer.headers["Content-Type"].startswith("application/json")
    assert answer.json() == {"success": False, "error": error}

    answer = host.post(API + "/connect", data=json.dumps(parameters))
    assert answer.status_code == 400, answer.text
    assert "Bad parameters for the remote server: " + error in host.log()
    assert "ActiveServer" not in host.status()


@pytest.mark.parametrize("body,status", [
    (b"", 500),
    (b"not json", 500),
    (b"[true]", 500),
    (b"true", 500),
    (b"\"AutomatedRouting\"", 500),
    (b"{\"AutomatedRouting\": \"true\"}", 400),
    (b"{\"AutomatedRouting\": 1}", 400),
    (b"{\"AutomatedRouting\": null}", 400),
    (b"{\"AutomatedDeletion\": \"false\"}", 400),
    (b"{\"AutomatedDeletion\": {}}", 400),
])
def test_bad_options_bodies(host, body, status):
    answer = host.post(API + "/options", data=body)
    assert answer.status_code == status, (body, answer.status_code, answer.text)


def test_non_boolean_option_names_the_field_in_the_log(host):
    assert host.post(API + "/options", data=b"{\"AutomatedDeletion\": \"yes\"}").status_code == 400
    assert "Boolean value expected in field: AutomatedDeletion" in host.log()


def test_huge_bodies_fail_cleanly(host):
    filler = "A" * (8 << 20)
    # Unknown destination, with a huge extra member.
    answer = host.post(API + "/connect", data=json.dumps({"id": "nowhere", "x": filler}))
    assert answer.status_code == 400
    # A huge value where a text is expected is still a refusal, not a crash.
    answer = host.post(API + "/test-connection",
                       data=json.dumps({"id": "vexa", "Url": "https://" + filler, "api-key": "Api-Key a"}))
    assert answer.status_code == 200
    assert answer.json() == {"success": False, "error": "The URL to your instance of Vexa is not well formed"}
    answer = host.post(API + "/options", data=b"[" + b"1," * (1 << 20) + b"1]")
    assert answer.status_code == 500
    answer = host.post(API + "/options", data=b"[" * 100000)   # deep nesting
    assert answer.status_code == 500


def test_plugin_keeps_serving_after_the_bad_requests(host):
    # Runs after the tests above on the same host.
    assert host.get(API + "/destinations").status_code == 200
    status = host.status()
    assert status["InstancesError"] == 0
    answer = host.post(API + "/test-connection", data=b"{\"id\": \"vexa\"}")
    assert answer.json() == {"success": False, "error": "No URL was provided"}


def test_nothing_is_saved_by_refused_requests(hosts):
    host = hosts()
    host.api_ok("/connect", {"id": "corvad", "Username": "someone"})
    host.api_ok("/options", {"AutomatedRouting": False, "AutomatedDeletion": False})
    host.stop()
    saved = host.get_global_property(5467)
    assert json.loads(saved)["ActiveServer"]["ModalityName"] == "dummy"

    host.start()
    wait_until(lambda: "ActiveServer" in host.status(), what="the stored server loaded")
    # Wrong methods carrying bodies that would change the state.
    assert host.request("GET", API + "/connect", data=json.dumps(VALID_PORTAL)).status_code == 405
    assert host.request("PUT", API + "/connect", data=json.dumps(VALID_PORTAL)).status_code == 405
    assert host.request("GET", API + "/disconnect").status_code == 405
    assert host.request("PUT", API + "/options", data=b"{\"AutomatedRouting\": true}").status_code == 405
    assert host.request("GET", API + "/force-replay").status_code == 405
    assert host.request("DELETE", API + "/replay").status_code == 405
    # Refused bodies.
    for body in (b"", b"[]", b"{\"id\": 1}", b"{\"id\": \"nowhere\"}", b"{\"id\": \"vexa\"}",
                 json.dumps(dict(VALID_PORTAL, Url="https://x.vexa.example/x")).encode()):
        assert host.post(API + "/connect", data=body).status_code in (400, 500), body
    # The first option is valid, the second is not: nothing may be stored.
    answer = host.post(API + "/options", data=b"{\"AutomatedRouting\": true, \"AutomatedDeletion\": \"yes\"}")
    assert answer.status_code == 400
    answer = host.post(API + "/options", data=b"{\"AutomatedDeletion\": true, \"AutomatedRouting\": 0}")
    assert answer.status_code == 400

    status = host.status()
    assert status["ActiveServer"]["Description"] == "Corvad / Halminet by Quelby (soon)"
    assert "Starting a scan of all the available instances" not in host.log()
    host.stop()
    assert host.get_global_property(5467) == saved


def test_routes_match_whole_paths_and_ignore_queries(host):
    assert host.get(API + "/status?AutomatedRouting=false").status_code == 200
    assert host.post(API + "/test-connection?id=corvad", data=b"{\"id\": \"vexa\"}").json() == \
        {"success": False, "error": "No URL was provided"}
    for path in ("/status/extra", "/statusx", "/Status", "/destinations/", "/api/status", ""):
        assert host.get(API + path).status_code == 404, path
