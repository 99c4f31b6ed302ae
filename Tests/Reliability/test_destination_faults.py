"""Destination faults: a proxy between the source and a destination
kestrum-host injects one fault at a time into the plug-in's exchanges, for
the DICOMweb client and for the peer client.

For every fault: the error counter grows by the batch, the expected lines
are in the source's log, nothing the destination did not confirm is stamped
or deleted at the source, the plug-in keeps answering; once the fault is
gone, every instance reaches the destination byte for byte by itself.
"""

import json

import pytest

from fault_proxy import FaultProxy
from reliability_support import (PLUGIN, STATE_PROPERTY, assert_all_delivered, digest,
                                 InstanceMaker, state_text, stored_state, upload_all, wait_until)

HTTP_TIMEOUT = 1      # seconds, on the source
BATCH = 3

# Lines that each fault must leave in the source's log, besides the batch's error line.
EXPECTED_LINES = {
    "dicomweb": {
        "refuse": ["Couldn't connect to server"],
        "500": ["answered HTTP status 500"],
        "not-json": ["Cannot convert HTTP answer body to JSON"],
        "drop": ["failed: transfer closed"],
        "omit": ["Cannot send to the remote server the SOP Instance UID: "],
        "slow": ["timed out"],
    },
    "peer": {
        "refuse": ["Cannot send compressed DICOM: Make sure that remote Kestrum is >= 1.6.0"],
        "500": ["Cannot send compressed DICOM: Make sure that remote Kestrum is >= 1.6.0"],
        "not-json": ["Cannot convert HTTP answer body to JSON"],
        "drop": ["Cannot send compressed DICOM: Make sure that remote Kestrum is >= 1.6.0"],
        "omit": ["Kestrum protocol - DICOM file with SOP Instance UID was not properly received: "],
        "slow": ["Cannot send compressed DICOM: Make sure that remote Kestrum is >= 1.6.0"],
    },
}
FAULTS = ["refuse", "500", "not-json", "drop", "omit", "slow"]
ERROR_LINE = "Quelby Cloud plugin: Error during synchronization of "


class Rig:
    """Source -> fault proxy -> destination, with what has been uploaded so far."""

    def __init__(self, hosts, protocol, deletion=False):
        self.protocol = protocol
        self.destination = hosts("destination", {"DicomWeb": {"Enable": True, "Root": "/dicom-web/"}}).start()
        self.proxy = FaultProxy(self.destination.port, delay=HTTP_TIMEOUT + 1.5)
        config = {"Plugins": [PLUGIN], "HttpTimeout": HTTP_TIMEOUT}
        if protocol == "peer":
            # The peer kind sends to localhost:8042; that name leads to the proxy.
            config["HttpConnectTo"] = ["localhost:8042:127.0.0.1:%d" % self.proxy.port]
        self.source = hosts("source", config)
        if protocol == "dicomweb":
            self.source.set_global_property(STATE_PROPERTY, state_text(
                stored_state("http://127.0.0.1:%d/dicom-web" % self.proxy.port, deletion=deletion)))
        self.source.start()
        if protocol == "peer":
            assert self.source.api_post("/connect", {"id": "corvad"}).text == "ok"
            if deletion:
                assert self.source.api_post("/options", {"AutomatedDeletion": True}).text == "ok"
        self.maker = InstanceMaker(seed=7)
        self.uploaded = {}      # source instance id -> sha256 of the file
        self.source.new_log()

    def close(self):
        self.proxy.close()

    def generation(self):
        return json.loads(self.source.get_global_property(STATE_PROPERTY, while_running=True))["SynchronizationUuid"]

    def upload_batch(self):
        ids = upload_all(self.source, self.maker.batch(BATCH).values())
        self.uploaded.update(ids)
        return ids

    def explain(self):
        return "status %s\nsource log:\n%s" % (self.source.status(), self.source.log_text()[-3000:])

    def wait_for_counters(self, success, error):
        def reached():
            status = self.source.status()
            return (status["InstancesSuccess"] >= success and status["InstancesError"] >= error and
                    status["InstancesPending"] == 0) and status
        return wait_until(reached, timeout=30, what="success %d, error %d" % (success, error),
                          on_timeout=self.explain)

    def replay_until_delivered(self):
        assert self.source.api_post("/replay").text == "ok"
        wanted = set(self.uploaded.values())
        wait_until(lambda: wanted <= self.destination.digests(), timeout=60,
                   what="every instance at the destination", on_timeout=self.explain)

    def assert_union_is_complete(self):
        """Every uploaded file is still at the source or already at the
        destination. The source is read first: an instance deleted after that
        read was confirmed, so it is at the destination by the second read."""
        left = {self.uploaded[i] for i in self.source.instance_ids() if i in self.uploaded}
        arrived = self.destination.digests()
        lost = set(self.uploaded.values()) - left - arrived
        assert not lost, "%d instance(s) neither at the source nor at the destination" % len(lost)


@pytest.fixture(params=["dicomweb", "peer"])
def rig(request, hosts):
    made = Rig(hosts, request.param)
    yield made
    made.close()


def test_each_fault_is_logged_and_heals_without_a_replay(rig):
    source = rig.source
    for fault in FAULTS:
        before = source.status()
        rig.proxy.set_mode(fault)
        ids = rig.upload_batch()

        status = rig.wait_for_counters(before["InstancesSuccess"], before["InstancesError"] + BATCH)
        assert status["InstancesError"] >= before["InstancesError"] + BATCH, fault
        log = source.new_log()
        # The uploads may leave in more than one batch: each failed one says so.
        assert ERROR_LINE in log, (fault, log)
        for line in EXPECTED_LINES[rig.protocol][fault]:
            assert line in log, (fault, line, log)
        if fault == "omit":
            assert rig.proxy.omitted, "the proxy hid nothing"
            assert rig.proxy.omitted[-1] in log
        # Only what the destination confirmed is stamped, nothing is deleted.
        assert set(ids) <= set(source.instance_ids()), fault
        arrived = rig.destination.digests()
        for i in ids:
            assert source.stamp(i) is None or rig.uploaded[i] in arrived, fault

        # Without any action, what failed arrives once the destination works.
        rig.proxy.set_mode("pass")
        wanted = set(rig.uploaded.values())
        wait_until(lambda: wanted <= rig.destination.digests(), timeout=60,
                   what="every instance at the destination (%s)" % fault, on_timeout=rig.explain)
        wait_until(lambda: all(source.stamp(i) is not None for i in rig.uploaded), timeout=30,
                   what="stamps after healing (%s)" % fault, on_timeout=rig.explain)
        assert {source.stamp(i) for i in rig.uploaded} == {rig.generation()}

    # And in the absence of any fault, a new batch goes through at once.
    before = source.status()
    rig.upload_batch()
    status = rig.wait_for_counters(before["InstancesSuccess"] + BATCH, before["InstancesError"])
    assert status["InstancesError"] == before["InstancesError"]
    assert_all_delivered(rig.destination, rig.uploaded.values())
    for instance_id, sha in list(rig.uploaded.items())[:BATCH * 2]:
        assert digest(source.file(instance_id)) == sha   # the source's copies are intact too
    print("faults (%s): %d survived, %d requests through the proxy, %d instances delivered, lost: 0"
          % (rig.protocol, len(FAULTS), rig.proxy.served, len(rig.uploaded)))


@pytest.mark.parametrize("protocol", ["dicomweb", "peer"])
def test_automated_deletion_never_loses_an_instance(hosts, protocol):
    rig = Rig(hosts, protocol, deletion=True)
    try:
        for fault in ["500", "drop", "omit", "slow", "pass"]:
            rig.proxy.set_mode(fault)
            before = rig.source.status()
            rig.upload_batch()
            done = before["InstancesSuccess"] + before["InstancesError"] + BATCH
            wait_until(lambda: (rig.assert_union_is_complete() or True) and
                       sum(rig.source.status()[k] for k in ("InstancesSuccess", "InstancesError")) >= done,
                       timeout=30, what="the batch under %s" % fault, on_timeout=rig.explain)
            rig.assert_union_is_complete()
            if fault not in ("pass", "omit"):
                # The failed batch's instances were not confirmed: all still at the source.
                assert len(rig.source.instance_ids()) >= BATCH, fault
        rig.proxy.set_mode("pass")
        rig.replay_until_delivered()
        wait_until(lambda: rig.source.instance_ids() == [], timeout=30, what="an empty source",
                   on_timeout=rig.explain)
        assert_all_delivered(rig.destination, rig.uploaded.values())
    finally:
        rig.close()
