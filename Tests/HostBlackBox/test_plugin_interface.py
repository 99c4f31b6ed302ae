"""The host's side of the plug-in interface, observed through the test
plug-in: routes, answers, properties, REST services, global properties,
configuration, logging and change notifications."""

import base64
import json
import re
import time
import urllib.parse

import pytest

import dicom_samples
from conftest import running_host

HOST_VERSION = "9.8.7-test"


@pytest.fixture(scope="module")
def host(host_binary, test_plugin, tmp_path_factory):
    config = {"Plugins": [test_plugin], "Version": HOST_VERSION, "Name": "InterfaceHost",
              "DicomWeb": {"Enable": True, "Root": "/dicom-web/"},
              "HttpsCACertificates": "/nonexistent/ca-bundle.pem",
              "UnknownKeyKeptForPlugins": {"Nested": [1, 2]}}
    with running_host(host_binary, tmp_path_factory.mktemp("interface"), config) as h:
        yield h


def plugin_rest(host, method, uri, with_plugins, body=None):
    answer = host.session.request(method, host.url("/testplugin/rest"),
                                  params={"uri": uri, "withPlugins": "1" if with_plugins else "0"},
                                  data=body, timeout=30)
    assert answer.status_code == 200, answer.text
    result = answer.json()
    return result["Code"], base64.b64decode(result["Body"])


def text_of(path):
    return path.read_text() if path.exists() else ""


def wait_for(predicate, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return predicate()


# ---- Loading and properties ----

def test_plugin_is_listed_with_its_properties(host):
    assert host.get("/system").json()["Name"] == "InterfaceHost"
    assert "kestrum-test-plugin" in host.get("/plugins").json()
    described = host.get("/plugins/kestrum-test-plugin").json()
    assert described["ID"] == "kestrum-test-plugin"
    assert described["Version"] == "1.2.3"
    assert described["Description"] == "Exercises the host's plug-in interface"
    assert described["RootUri"] == "/testplugin/echo/root"
    assert host.get("/plugins/no-such-plugin").status_code == 404


def test_plugin_receives_the_configured_host_version(host):
    assert "Test plugin: started in host version " + HOST_VERSION in host.log_text()


def test_home_page_links_to_the_plugin_root(host):
    page = host.get("/")
    assert page.status_code == 200
    links = [urllib.parse.urljoin("/", href) for href in re.findall(r'href="([^"]+)"', page.text)]
    assert "/testplugin/echo/root" in links


def test_explorer_page_carries_the_plugin_extension(host):
    page = host.get("/app/explorer.html")
    assert page.status_code == 200
    assert 'id="lookup"' in page.text or "id='lookup'" in page.text
    # The extension is either inline or in one of the page's own scripts.
    texts = [page.text]
    for source in re.findall(r"""<script[^>]+src=["']([^"']+)["']""", page.text):
        if not source.startswith(("http:", "https:", "//")):
            texts.append(host.get(urllib.parse.urljoin("/app/explorer.html", source)).text)
    assert any("window.testPluginExtensionRan = true;" in t for t in texts)


# ---- Routes ----

@pytest.mark.parametrize("method,code", [("GET", 1), ("POST", 2), ("PUT", 3), ("DELETE", 4)])
def test_route_receives_method_group_query_and_body(host, method, code):
    body = bytes(range(256)) * 3 if method in ("POST", "PUT") else None
    answer = host.session.request(method, host.url("/testplugin/echo/a/b c"),
                                  params={"x": "1", "y": "two words"}, data=body, timeout=30)
    assert answer.status_code == 200
    echo = answer.json()
    assert echo["Method"] == code
    assert echo["Groups"] == ["a/b c"]
    assert echo["Query"] == {"x": "1", "y": "two words"}
    assert base64.b64decode(echo["Body"]) == (body or b"")


def test_routes_are_tried_in_registration_order(host):
    assert host.get("/testplugin/order/specific").text == "specific"
    # Registered after the catch-all, so never reached.
    assert host.get("/testplugin/order/shadowed").text == "catch-all:shadowed"
    assert host.get("/testplugin/order/anything").text == "catch-all:anything"


def test_route_expressions_match_the_whole_path(host):
    assert host.get("/testplugin/changes").status_code == 200
    assert host.get("/testplugin/changes/more").status_code == 404
    assert host.get("/prefix/testplugin/changes").status_code == 404
    assert host.get("/testplugin/changesX").status_code == 404
    # The query string is not part of the match.
    assert host.get("/testplugin/changes?foo=bar").status_code == 200


@pytest.mark.parametrize("code,status", [
    (3, 400), (8, 400), (15, 400), (2019, 400), (29, 401), (7, 404), (17, 404),
    (34, 406), (3000, 415), (36, 503), (1, 500), (-1, 500), (2018, 500), (1000000, 500)])
def test_a_failing_callback_becomes_the_mapped_http_status(host, code, status):
    assert host.get("/testplugin/fail/%d" % code).status_code == status


def test_method_not_allowed_names_the_allowed_methods(host):
    refused = host.get("/testplugin/post-only")
    assert refused.status_code == 405
    assert "POST" in refused.headers.get("Allow", "")
    accepted = host.post("/testplugin/post-only")
    assert accepted.status_code == 200 and accepted.text == "posted"
    assert accepted.headers["Content-Type"].startswith("text/plain")


# ---- REST services ----

def test_get_without_plugins_reaches_the_built_in_api_only(host):
    code, body = plugin_rest(host, "GET", "/system", False)
    assert code == 0 and json.loads(body)["Name"] == "InterfaceHost"
    code, _ = plugin_rest(host, "GET", "/testplugin/order/specific", False)
    assert code in (7, 17)
    code, _ = plugin_rest(host, "GET", "/dicom-web/studies", False)
    assert code in (7, 17)


def test_get_with_plugins_reaches_plugin_routes_and_dicomweb(host):
    code, body = plugin_rest(host, "GET", "/testplugin/order/specific", True)
    assert code == 0 and body == b"specific"
    code, body = plugin_rest(host, "GET", "/dicom-web/servers", True)
    assert code == 0 and isinstance(json.loads(body), list)
    code, body = plugin_rest(host, "GET", "/system", True)
    assert code == 0 and json.loads(body)["Name"] == "InterfaceHost"


def test_get_of_a_missing_resource_gives_7_or_17(host):
    for with_plugins in (False, True):
        assert plugin_rest(host, "GET", "/instances/no-such-id", with_plugins)[0] in (7, 17)
        assert plugin_rest(host, "GET", "/no/such/route", with_plugins)[0] in (7, 17)
        assert plugin_rest(host, "GET", "/peers/no-such-peer", with_plugins)[0] in (7, 17)


def test_put_and_delete_services_change_the_store(host):
    instance_id = host.upload(dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm")))["ID"]
    uri = "/instances/%s/metadata/4455" % instance_id

    code, body = plugin_rest(host, "PUT", uri, False, body=b"uuid-via-plugin")
    assert code == 0
    assert body == b"" or json.loads(body) is not None
    assert host.get(uri).content == b"uuid-via-plugin"

    code, _ = plugin_rest(host, "PUT", uri, True, body=b"uuid-with-plugins")
    assert code == 0 and host.get(uri).content == b"uuid-with-plugins"

    assert plugin_rest(host, "DELETE", uri, False)[0] == 0
    assert host.get(uri).status_code == 404
    assert plugin_rest(host, "DELETE", uri, False)[0] in (7, 17)

    assert plugin_rest(host, "DELETE", "/instances/" + instance_id, True)[0] == 0
    assert host.get("/instances/" + instance_id).status_code == 404
    assert plugin_rest(host, "DELETE", "/instances/" + instance_id, True)[0] in (7, 17)


def test_put_and_delete_with_plugins_reach_plugin_routes_with_the_body(host):
    code, body = plugin_rest(host, "PUT", "/testplugin/echo/target", True, body=b"\x00payload\xff")
    assert code == 0
    echo = json.loads(body)
    assert echo["Method"] == 3 and echo["Groups"] == ["target"]
    assert base64.b64decode(echo["Body"]) == b"\x00payload\xff"
    assert plugin_rest(host, "PUT", "/testplugin/echo/target", False, body=b"x")[0] in (7, 17)
    assert plugin_rest(host, "DELETE", "/testplugin/echo/gone", True)[0] == 0
    assert plugin_rest(host, "DELETE", "/testplugin/echo/gone", False)[0] in (7, 17)


def test_peer_declaration_through_the_services(host):
    body = json.dumps({"Url": "https://cloud.example/", "HttpHeaders": {"Authorization": "Basic eHl6"}})
    assert plugin_rest(host, "GET", "/peers/via-plugin", False)[0] in (7, 17)
    assert plugin_rest(host, "PUT", "/peers/via-plugin", False, body=body)[0] == 0
    code, answer = plugin_rest(host, "GET", "/peers/via-plugin", False)
    assert code == 0 and b"cloud.example" in answer and b"eHl6" not in answer
    assert plugin_rest(host, "PUT", "/dicom-web/servers/via-plugin", True, body=body)[0] == 0
    assert "via-plugin" in host.get("/dicom-web/servers").json()
    assert plugin_rest(host, "DELETE", "/dicom-web/servers/via-plugin", True)[0] == 0
    assert plugin_rest(host, "DELETE", "/peers/via-plugin", False)[0] == 0
    assert plugin_rest(host, "GET", "/peers/via-plugin", False)[0] in (7, 17)


# ---- Global properties, configuration, unknown service, log ----

def test_global_properties_round_trip_and_default(host):
    assert host.put("/testplugin/global-property/7777", data="stored {json} \u00e9".encode()).json()["Code"] == 0
    read = host.get("/testplugin/global-property/7777", params={"default": "dflt"}).json()
    assert read == {"Code": 0, "Value": "stored {json} \u00e9"}
    never = host.get("/testplugin/global-property/7778", params={"default": "dflt"}).json()
    assert never == {"Code": 0, "Value": "dflt"}
    empty = host.get("/testplugin/global-property/7779").json()
    assert empty == {"Code": 0, "Value": ""}


def test_configuration_is_the_json_of_the_configuration_file(host):
    result = host.get("/testplugin/configuration").json()
    assert result["Code"] == 0
    configuration = json.loads(result["Text"])
    assert configuration["DicomWeb"]["Root"] == "/dicom-web/"
    assert configuration["HttpsCACertificates"] == "/nonexistent/ca-bundle.pem"
    assert configuration["HttpPort"] == host.port
    assert configuration["UnknownKeyKeptForPlugins"] == {"Nested": [1, 2]}


def test_unknown_service_gives_26(host):
    assert host.get("/testplugin/unknown-service").json()["Code"] == 26


@pytest.mark.parametrize("level,letter", [(2, "W"), (3, "E")])
def test_plugin_log_lines_reach_the_log_with_their_level(host, level, letter):
    marker = "marker-%d-%f" % (level, time.time())
    assert host.post("/testplugin/log", params={"level": level}, data=marker).json()["Code"] == 0
    lines = [line for line in host.log_text().splitlines() if marker in line]
    assert len(lines) == 1 and lines[0].startswith(letter)


# ---- Change notifications ----

def test_change_callback_gets_started_then_each_new_instance(host):
    ids = [host.upload(dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm")))["ID"]
           for _ in range(3)]

    def seen():
        changes = host.get("/testplugin/changes").json()
        new = [c["ID"] for c in changes if c["ChangeType"] == 3 and c["ResourceType"] == 3]
        return changes if all(i in new for i in ids) else None

    changes = wait_for(seen)
    assert changes, "new instances were not all notified"
    assert changes[0]["ChangeType"] == 10
    assert [c["ChangeType"] for c in changes].count(10) == 1
    new = [c["ID"] for c in changes if c["ChangeType"] == 3 and c["ResourceType"] == 3]
    assert [i for i in new if i in ids] == ids   # in order, once each


def test_started_stopping_and_finalize_order(host_binary, test_plugin, tmp_path):
    changes_file = tmp_path / "changes.txt"
    with running_host(host_binary, tmp_path / "host", {"Plugins": [test_plugin]},
                      env={"TEST_PLUGIN_CHANGES_FILE": str(changes_file)}) as h:
        ids = [h.upload(dicom_samples.restamped(dicom_samples.sample_by_name("MR_small.dcm")))["ID"]
               for _ in range(2)]
        assert wait_for(lambda: all(("3 3 " + i) in text_of(changes_file) for i in ids))
    lines = changes_file.read_text().splitlines()
    assert lines[0].split()[0] == "10"
    assert lines[-1] == "finalized 0 1"   # REST services still answer during finalization
    assert lines[-2].split()[0] == "11"
    new = [line.split()[2] for line in lines if line.startswith("3 3 ")]
    assert new == ids
    assert "Test plugin: finalized" in h.log_text()


def test_a_slow_change_callback_does_not_slow_down_storing(host_binary, test_plugin, tmp_path):
    changes_file = tmp_path / "changes.txt"
    env = {"TEST_PLUGIN_CHANGES_FILE": str(changes_file), "TEST_PLUGIN_SLOW_CHANGES_MS": "500"}
    with running_host(host_binary, tmp_path / "host", {"Plugins": [test_plugin]}, env=env) as h:
        study, series = dicom_samples.generate_uid(), dicom_samples.generate_uid()
        data = [dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm"),
                                        study_uid=study, series_uid=series) for _ in range(5)]
        started = time.time()
        ids = [h.upload(d)["ID"] for d in data]
        # Waiting for the callback would take at least 5 x 500 ms.
        assert time.time() - started < 1.5
        assert wait_for(lambda: all(("3 3 " + i) in text_of(changes_file) for i in ids), timeout=30)
    new = [line.split()[2] for line in changes_file.read_text().splitlines() if line.startswith("3 3 ")]
    assert new == ids


def test_get_service_honours_the_query_string(host):
    # The plug-in's scan reads the history as "/changes?limit=100&since=N" through the service.
    for _ in range(3):
        host.upload(dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm")))
    whole = host.get("/changes?since=0&limit=1000").json()["Changes"]
    for with_plugins in (False, True):
        code, body = plugin_rest(host, "GET", "/changes?limit=2&since=0", with_plugins)
        assert code == 0
        page = json.loads(body)
        assert page["Changes"] == whole[:2] and page["Done"] is False
        code, body = plugin_rest(host, "GET", "/changes?limit=100&since=%d" % whole[1]["Seq"], with_plugins)
        assert json.loads(body)["Changes"] == whole[2:]
    code, body = plugin_rest(host, "GET", "/dicom-web/studies?limit=1", True)
    assert code == 0 and len(json.loads(body)) == 1
