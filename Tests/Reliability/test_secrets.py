"""Secrets: through whole runs with the managed-cloud kind (password) and the
portal kind (API key), including a wrong credential first, every answer of
every plug-in route, the host's registration listings and the whole source
log are scanned for the credentials in every form they travel in. They may
be stored in the host's own registration storage, never shown."""

import base64
import os

import pytest

from reliability_support import (API, PLUGIN, InstanceMaker, upload_all, wait_until)
from tls_material import make_tls_material

PORTAL_NAME = "portal.vexa.example"
CLOUD_NAME = "cloud.kestrum.example"
CLOUD_USER = "reliability-user"
CLOUD_PASSWORD = "s3cret:Pw with spaces/9"
WRONG_PASSWORD = "wr0ng-s3cret-Pw"
API_KEY = "Api-Key reliability-9c2e41f7-portal-token"
WRONG_API_KEY = "Api-Key reliability-0000-wrong-token"


def secret_forms(*secrets):
    forms = set()
    for secret in secrets:
        forms.add(secret)
        if secret.startswith("Api-Key "):
            forms.add(secret.split(" ", 1)[1])
        else:
            basic = base64.b64encode(("%s:%s" % (CLOUD_USER, secret)).encode()).decode()
            forms.update([basic, "Basic " + basic])
    return forms


def stored_text(host):
    """Every file of the host's storage folder, as one text."""
    parts = []
    for folder, _, names in os.walk(os.path.join(host.workdir, "storage")):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                parts.append(f.read().decode("latin-1"))
    return "\n".join(parts)


class Scanner:
    """Every answer seen, so that a leak names the route that leaked."""

    def __init__(self, host, forms):
        self.host, self.forms, self.seen = host, forms, 0

    def check(self, label, answer):
        self.seen += 1
        text = answer.content.decode("utf-8", "replace") + " ".join(
            "%s: %s" % item for item in answer.headers.items())
        leaked = [form for form in self.forms if form in text]
        assert not leaked, "%s answered a credential" % label
        return answer

    def get(self, path):
        return self.check("GET " + path, self.host.get(path))

    def post(self, route, document=None):
        return self.check("POST " + route, self.host.api_post(route, document))

    def every_route(self):
        for route in ["/destinations", "/status"]:
            self.get(API + route)
        self.post("/options", {"AutomatedRouting": True})
        for path in ["/peers", "/peers?expand", "/dicom-web/servers", "/dicom-web/servers?expand",
                     "/plugins/quelby-cloud/app/index.html", "/system", "/plugins"]:
            self.get(path)
        peers = self.host.get("/peers").json()
        servers = self.host.get("/dicom-web/servers").json()
        for name in peers:
            self.get("/peers/" + name)
        for name in servers:
            self.get("/dicom-web/servers/" + name)
        return peers, servers


@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    return make_tls_material(str(tmp_path_factory.mktemp("tls")),
                             server_names=("localhost", PORTAL_NAME, CLOUD_NAME))


def https_destination(hosts, tls, name, extra):
    config = {"SslEnabled": True, "SslCertificate": tls.server_certificate, "SslPrivateKey": tls.server_key}
    config.update(extra)
    return hosts(name, config, tls_ca=tls.ca_certificate)


def source_host(hosts, tls, server_name, port):
    return hosts("source", {"Plugins": [PLUGIN], "HttpsCACertificates": tls.ca_certificate,
                            "HttpTimeout": 5, "DicomWeb": {"Enable": True, "Root": "/dicom-web/"},
                            "HttpConnectTo": ["%s:443:127.0.0.1:%d" % (server_name, port)]}).start()


KINDS = {
    "managed-cloud": dict(
        server=CLOUD_NAME, secrets=(CLOUD_PASSWORD, WRONG_PASSWORD),
        destination={"AuthenticationEnabled": True, "RegisteredUsers": {CLOUD_USER: CLOUD_PASSWORD}},
        parameters=lambda secret: {"id": "kestrum-cloud", "Url": "https://%s/" % CLOUD_NAME,
                                   "username": CLOUD_USER, "password": secret},
        registry="/peers"),
    "portal": dict(
        server=PORTAL_NAME, secrets=(API_KEY, WRONG_API_KEY),
        destination={"DicomWeb": {"Enable": True, "Root": "/api/dicom-web/"}},
        parameters=lambda secret: {"id": "vexa", "Url": "https://%s/" % PORTAL_NAME, "api-key": secret},
        registry="/dicom-web/servers"),
}


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_credentials_never_leave_the_host_in_answers_or_log(hosts, tls, kind):
    setup = KINDS[kind]
    destination = https_destination(hosts, tls, "destination", setup["destination"])
    if kind == "managed-cloud":
        destination.session.auth = (CLOUD_USER, CLOUD_PASSWORD)
    destination.start()
    source = source_host(hosts, tls, setup["server"], destination.port)
    right, wrong = setup["secrets"]
    scan = Scanner(source, secret_forms(right, wrong))
    maker = InstanceMaker(seed=5)

    # A wrong credential first, as a user would type it (the portal destination
    # here checks no key, so only the managed server fails the batch).
    scan.post("/test-connection", setup["parameters"](wrong))
    assert scan.post("/connect", setup["parameters"](wrong)).text == "ok"
    upload_all(source, maker.batch(2).values())
    wait_until(lambda: source.status()["InstancesPending"] == 0 and
               source.status()["InstancesSuccess"] + source.status()["InstancesError"] >= 2,
               timeout=30, what="the first batch", on_timeout=lambda: source.log_text()[-3000:])
    scan.every_route()
    if kind == "managed-cloud":
        assert source.status()["InstancesError"] >= 2   # the wrong password did reach the server

    assert scan.post("/test-connection", setup["parameters"](right)).json()["success"] is True
    assert scan.post("/connect", setup["parameters"](right)).text == "ok"
    uploaded = upload_all(source, maker.batch(3).values())
    assert scan.post("/replay").text == "ok"
    wait_until(lambda: set(uploaded.values()) <= destination.digests(), timeout=60,
               what="the instances at the destination", on_timeout=lambda: source.log_text()[-3000:])
    peers, servers = scan.every_route()
    registered = peers if setup["registry"] == "/peers" else servers
    assert registered, "the destination was not declared in the host's %s" % setup["registry"]
    # The registration storage is the one place that holds the credential (the
    # host needs it to reach the server): so the scan above had it to find.
    assert any(form in stored_text(source) for form in secret_forms(right)), "no credential was registered"
    for route in ["/force-replay", "/clear-pending"]:
        assert scan.post(route).text == "ok"
    assert scan.post("/disconnect").text == "ok"
    scan.every_route()

    log = source.log_text()
    leaked = [form for form in scan.forms if form in log]
    assert not leaked, "the source log holds a credential"
    assert "Quelby Cloud plugin: Sucessfully synchronized" in log   # the scan covered real sends
    assert scan.seen >= 40
