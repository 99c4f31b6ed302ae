"""Every destination end to end, on real DICOM files, through the user's path.

A source kestrum-host loads the plug-in; the destination is another
kestrum-host (or, for the portal's own upload API, a small emulator). The
destination names are reached through the source's "HttpConnectTo" rules, and
a recording proxy in front of the destination shows what travelled on the
wire. What is checked is what a user would see: the files at the destination,
the metadata 4455 left on the source, the plug-in's status and log.
"""

import base64
import subprocess
import zlib
import json
import time
import uuid

import pytest

import dicom_samples
from conftest import (CLOUD_NAME, PLUGIN, PORTAL_NAME, STATE_PROPERTY,
                      assert_received_intact, wait_until)
from portal_emulator import PortalEmulator, sop_instance_uid
from recording_proxy import RecordingProxy

API_KEY = "Api-Key e2e-4f1c9a7d-portal-token"
CLOUD_USER = "quelby-e2e"
CLOUD_PASSWORD = "c0rrect:horse battery"


def stored_uuid(source):
    return json.loads(source.get_global_property(STATE_PROPERTY, while_running=True))["SynchronizationUuid"]


def assert_all_stamped_with(source, generation):
    stamps = source.sent_stamps()
    assert stamps and set(stamps.values()) == {generation}, stamps


def wait_for_arrivals(source, destination, count):
    wait_until(lambda: len(destination.instance_ids()) >= count, timeout=90,
               what="%d instances at the destination" % count,
               on_timeout=lambda: "status %s\nsource log:\n%s" % (source.status(), source.log_text()[-3000:]))


def wait_for_counters(source, success=None, error=None):
    def reached():
        status = source.status()
        return ((success is None or status["InstancesSuccess"] >= success) and
                (error is None or status["InstancesError"] >= error) and
                status["InstancesPending"] == 0) and status
    return wait_until(reached, timeout=90, what="success %s / error %s" % (success, error),
                      on_timeout=lambda: "status %s\nsource log:\n%s" % (source.status(),
                                                                         source.log_text()[-3000:]))


def assert_all_delivered_and_stamped(source, destination, samples, received):
    """Every sample reaches the destination intact and is stamped at the source
    with the generation in force; returns the source's status once all count."""
    wait_for_arrivals(source, destination, len(samples))
    status = wait_for_counters(source, success=len(samples))
    assert_received_intact(destination.files_by_sop_uid(), samples, received)
    assert_all_stamped_with(source, stored_uuid(source))
    return status


def https_destination(hosts, tls, name, extra=None, auth=None):
    config = {"SslEnabled": True, "SslCertificate": tls.server_certificate,
              "SslPrivateKey": tls.server_key}
    config.update(extra or {})
    return hosts(name, config, tls_ca=tls.ca_certificate, auth=auth).start()


def source_host(hosts, tls, connect_to, state=None):
    config = {"Plugins": [PLUGIN], "HttpConnectTo": connect_to}
    if tls is not None:
        config["HttpsCACertificates"] = tls.ca_certificate
    source = hosts("source", config)
    if state is not None:
        source.set_global_property(STATE_PROPERTY, json.dumps(state, indent=3))
    return source.start()


@pytest.fixture
def portal(hosts, tls):
    """The portal's DICOMweb service: an HTTPS kestrum-host rooted at
    /api/dicom-web/ behind a recording TLS proxy that answers for the portal's
    name, and a source that reaches that name through the proxy."""
    destination = https_destination(hosts, tls, "portal",
                                    {"DicomWeb": {"Enable": True, "Root": "/api/dicom-web/"}})
    with RecordingProxy(destination.port, upstream_ca=tls.ca_certificate,
                        certificate=tls.server_certificate, key=tls.server_key) as proxy:
        source = source_host(hosts, tls, ["%s:443:127.0.0.1:%d" % (PORTAL_NAME, proxy.port)])
        assert source.status().get("HasCertificates") is True
        # As a user does: test the connection, then connect.
        parameters = {"id": "vexa", "Url": "https://%s/" % PORTAL_NAME, "api-key": API_KEY}
        assert source.test_connection(parameters) == {"success": True}
        source.connect(parameters)
        yield source, destination, proxy


def test_portal_over_dicomweb_receives_every_sample_and_the_api_key(portal, samples, tmp_path):
    source, destination, proxy = portal
    source.upload_all(samples.values())

    status = assert_all_delivered_and_stamped(source, destination, samples, tmp_path / "received")
    assert status["InstancesError"] == 0
    assert status["ActiveServer"]["URL"] == "https://%s/" % PORTAL_NAME

    probes = proxy.requests("GET", "/api/dicom-web/studies?limit=1")
    stores = proxy.requests("POST", "/api/dicom-web/studies")
    assert len(probes) == 1 and stores, [(e.method, e.path) for e in proxy.exchanges]
    assert len(proxy.requests()) == len(probes) + len(stores), [
        (e.method, e.path) for e in proxy.exchanges]
    for exchange in probes + stores:
        assert exchange.headers.get("authorization") == API_KEY
        assert exchange.status == 200
    for exchange in stores:
        assert exchange.headers["content-type"].startswith('multipart/related; type="application/dicom"')
    assert API_KEY.split(" ", 1)[1] not in source.log_text()


def test_automated_deletion_moves_every_sample(portal, samples, tmp_path):
    source, destination, _ = portal
    answer = source.plugin_post("/options", {"AutomatedRouting": True, "AutomatedDeletion": True})
    assert answer.text == "ok"
    source.upload_all(samples.values())

    wait_for_arrivals(source, destination, len(samples))
    wait_until(lambda: source.instance_ids() == [], timeout=60, what="an empty source",
               on_timeout=lambda: source.log_text()[-3000:])
    assert source.status()["InstancesSuccess"] == len(samples)
    assert_received_intact(destination.files_by_sop_uid(), samples, tmp_path / "received")


def test_replay_after_connecting_sends_what_was_stored_before(portal, samples, tmp_path):
    source, destination, _ = portal
    assert source.plugin_post("/disconnect").text == "ok"
    source.upload_all(samples.values())
    # Without a destination the new instances are dropped, not kept for later.
    status = wait_for_counters(source, success=0)
    assert (status["InstancesSuccess"], status["InstancesError"]) == (0, 0)
    assert "ActiveServer" not in status
    assert destination.instance_ids() == []
    # Change notifications reach the plug-in on the host's own thread: let
    # every one of the uploads arrive (and be dropped) before connecting.
    time.sleep(1.5)

    source.connect({"id": "vexa", "Url": "https://%s" % PORTAL_NAME, "api-key": API_KEY})
    # Time for several batches, had anything been kept.
    time.sleep(1.0)
    assert source.status()["InstancesSuccess"] == 0
    assert destination.instance_ids() == []
    assert source.plugin_post("/replay").text == "ok"

    assert_all_delivered_and_stamped(source, destination, samples, tmp_path / "received")


@pytest.fixture
def cloud(hosts, tls):
    """A managed Kestrum server: an HTTPS kestrum-host with authentication
    behind a recording TLS proxy answering for the cloud name."""
    destination = https_destination(hosts, tls, "cloud",
                                    {"AuthenticationEnabled": True,
                                     "RegisteredUsers": {CLOUD_USER: CLOUD_PASSWORD}},
                                    auth=(CLOUD_USER, CLOUD_PASSWORD))
    with RecordingProxy(destination.port, upstream_ca=tls.ca_certificate,
                        certificate=tls.server_certificate, key=tls.server_key) as proxy:
        source = source_host(hosts, tls, ["%s:443:127.0.0.1:%d" % (CLOUD_NAME, proxy.port)])
        yield source, destination, proxy


def connect_cloud(source, password):
    """Tests the connection as a user would, connects, and returns the test's answer."""
    parameters = {"id": "kestrum-cloud", "Url": "https://%s/" % CLOUD_NAME,
                  "username": CLOUD_USER, "password": password}
    tested = source.test_connection(parameters)
    source.connect(parameters)
    return tested


def assert_gzip_uploads(proxy, samples):
    uploads = proxy.requests("POST", "/instances")
    assert uploads
    for exchange in uploads:
        assert exchange.headers.get("content-encoding") == "gzip"
        # One gzip member, that gzip itself and zlib take, with nothing after it.
        inflater = zlib.decompressobj(31)
        assert inflater.decompress(exchange.body) in samples and inflater.eof and not inflater.unused_data
    subprocess.run(["gzip", "-t"], input=uploads[0].body, check=True)
    return uploads


def test_managed_server_receives_gzip_uploads_with_credentials(cloud, samples, tmp_path):
    source, destination, proxy = cloud
    assert connect_cloud(source, CLOUD_PASSWORD) == {"success": True}
    source.upload_all(samples.values())

    status = assert_all_delivered_and_stamped(source, destination, samples, tmp_path / "received")
    assert status["InstancesError"] == 0

    uploads = assert_gzip_uploads(proxy, set(samples.values()))
    assert len(uploads) == len(samples)
    expected_authorization = "Basic " + base64.b64encode(
        ("%s:%s" % (CLOUD_USER, CLOUD_PASSWORD)).encode()).decode()
    for exchange in proxy.exchanges:
        assert exchange.headers.get("authorization") == expected_authorization
    log = source.log_text()
    assert CLOUD_PASSWORD not in log and expected_authorization.split(" ")[1] not in log


def test_managed_server_with_wrong_credentials_counts_errors_and_stamps_nothing(cloud):
    source, destination, proxy = cloud
    assert connect_cloud(source, "wrong-" + CLOUD_PASSWORD) == {"success": False}
    files = [dicom_samples.restamped(sample) for sample in dicom_samples.select_samples()[:3]]
    source.upload_all(files)

    status = wait_for_counters(source, error=len(files))
    assert status["InstancesSuccess"] == 0
    assert status["InstancesError"] == len(files)
    assert set(source.sent_stamps().values()) == {None}
    assert destination.instance_ids() == []
    refused = proxy.requests("POST", "/instances")
    assert refused and all(e.status == 401 for e in refused)
    log = source.log_text()
    assert "Cannot send compressed DICOM" in log
    assert CLOUD_PASSWORD not in log


def test_corvad_reaches_the_local_peer_port_with_the_peer_protocol(hosts, samples, tmp_path):
    destination = hosts("peer", {}).start()
    with RecordingProxy(destination.port) as proxy:
        # The kind's fixed address, the local machine's port 8042, is sent to
        # the proxy, so the test never needs that port.
        source = source_host(hosts, None, ["localhost:8042:127.0.0.1:%d" % proxy.port])
        source.connect({"id": "corvad"})
        source.upload_all(samples.values())

        status = assert_all_delivered_and_stamped(source, destination, samples, tmp_path / "received")
        assert status["InstancesError"] == 0

        # One compressed upload and one read-back of the stored instance each.
        uploads = assert_gzip_uploads(proxy, set(samples.values()))
        assert len(uploads) == len(samples)
        for exchange in uploads:
            assert exchange.headers.get("host") == "localhost:8042"
        stored_ids = set(destination.instance_ids())
        read_backs = [e.path for e in proxy.requests("GET", "/instances/")]
        assert sorted(read_backs) == sorted("/instances/" + i for i in stored_ids)


def native_portal_state(emulator, generation):
    return {
        "SynchronizationUuid": generation,
        "AutomatedRouting": True,
        "AutomatedDeletion": False,
        "ActiveServer": {
            "ModalityName": "vexa",
            "Url": emulator.url + "/",
            "Compress": False,
            "HttpHeaders": {"Authorization": API_KEY},
            "PublicParameters": {"URL": emulator.url + "/"},
            "ServerType": "Vexa",
            "ProtocolType": "Native",
        },
    }


def test_portal_native_protocol_batches_succeed_or_fail_on_the_portal_report(hosts, samples, tmp_path):
    with PortalEmulator(API_KEY) as emulator:
        emulator.expect(samples.values())
        source = source_host(hosts, None, [], state=native_portal_state(emulator, str(uuid.uuid4())))
        source.upload_all(samples.values())

        status = wait_for_counters(source, success=len(samples))
        assert status["InstancesError"] == 0
        assert emulator.errors == []
        assert all(report == ([], []) for report in emulator.reports), emulator.reports
        received = {sop_instance_uid(part.content): part.content
                    for batch in emulator.batches for part in batch}
        assert sum(len(batch) for batch in emulator.batches) == len(samples)
        assert_received_intact(received, samples, tmp_path / "received")
        # Whether the stored generation survives the start is the plug-in's
        # choice: only require one generation, in the UUID's text form.
        generation = set(source.sent_stamps().values())
        assert len(generation) == 1
        generation = generation.pop()
        assert generation is not None and len(generation) == 36, generation
        uuid.UUID(generation)

        # A file the portal reports as badly formatted fails its batch; it is
        # tried three times in all, then put on the failed list with its reason.
        refused = dicom_samples.restamped(dicom_samples.select_samples()[0])
        refused_uid = sop_instance_uid(refused)
        emulator.expect([refused])
        emulator.refuse(refused_uid)
        source.upload(refused)

        delivery = lambda: source.get("/plugins/quelby-cloud/api/delivery").json()
        failed = wait_until(lambda: delivery()["FailedCount"] == 1 and delivery(), timeout=60,
                            what="the refused file on the failed list")
        assert failed["Failed"][0]["SOPInstanceUID"] == refused_uid
        assert failed["Failed"][0]["Reason"] == "bad file format, reported by the portal"
        assert failed["Health"] == "attention" and failed["RetryInstances"] == 0
        status = wait_for_counters(source, error=3)
        assert status["InstancesError"] == 3          # each attempt counts
        assert status["InstancesSuccess"] == len(samples)
        assert emulator.reports[-1] == (["dicom-0.dcm"], [])
        stamps = source.sent_stamps()
        assert stamps.pop(refused_uid) is None
        assert set(stamps.values()) == {generation}
        log = source.log_text()
        assert "Vexa protocol - Bad file format for SOP Instance UID: " + refused_uid in log
        assert "Some instances were not properly received by the remote Vexa server" in log
        assert API_KEY.split(" ", 1)[1] not in log

        # Once the portal takes it, "Retry failed" sends it.
        emulator.refused_sop_uids.clear()
        assert source.post("/plugins/quelby-cloud/api/retry-failed").text == "ok"
        wait_for_counters(source, success=len(samples) + 1)
        assert source.sent_stamps()[refused_uid] == generation
        assert delivery()["FailedCount"] == 0

        # A file whose bytes the portal does not recognise is reported as an
        # unexpected error: that batch fails too, and is owed a retry for as long as that lasts.
        unknown = dicom_samples.restamped(dicom_samples.select_samples()[1])
        unknown_uid = sop_instance_uid(unknown)
        source.upload(unknown)

        status = wait_for_counters(source, error=4)
        assert emulator.reports[-1] == ([], ["dicom-0.dcm"])
        assert source.sent_stamps()[unknown_uid] is None
        retrying = wait_until(lambda: delivery()["Health"] == "retrying" and delivery(), timeout=30,
                              what="a retry of the unknown file")
        assert retrying["RetryInstances"] == 1
        assert retrying["LastError"]["Text"] == "unexpected error at the portal"
        assert ("Vexa protocol - Unexpected error in DICOM file with SOP Instance UID: " + unknown_uid
                in source.log_text())
