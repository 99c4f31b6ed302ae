"""Synchronization between two real kestrum-host processes.

The source host loads the plug-in with a stored state (global property 5467,
seeded before the start) that names the destination host as a Kestrum peer.
What is checked is what a user sees: the files that arrive at the destination,
the metadata left on the source, the source's log, and the plug-in's routes.
"""

import json
import os
import re
import sys
import time
import uuid

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "Common"))

import dicom_samples  # noqa: E402
import kestrum_host  # noqa: E402
from kestrum_host import HostGroup, HostProcess  # noqa: E402

HOST_BINARY = os.environ.get("KESTRUM_HOST")
PLUGIN = os.environ.get("QUELBY_PLUGIN")
API = "/plugins/quelby-cloud/api"
INSTANCES = 6

pytestmark = pytest.mark.skipif(not HOST_BINARY or not PLUGIN,
                                reason="KESTRUM_HOST and QUELBY_PLUGIN are set by CTest")


def wait_until(condition, what="condition"):
    # A synchronization takes longer than the launcher's default wait.
    return kestrum_host.wait_until(condition, timeout=60, what=what)


class Host(HostProcess):
    log = HostProcess.log_text   # the name these tests use

    def synchronized_count(self):
        """Instances reported as delivered in the log, over every batch."""
        return sum(int(n) for n in
                   re.findall(r"Sucessfully synchronized (\d+) DICOM instance\(s\)", self.log()))


def make_files(count):
    samples = dicom_samples.select_samples()
    assert samples, "no usable DICOM sample"
    return [dicom_samples.restamped(samples[i % len(samples)]) for i in range(count)]


def stored_state(destination, automated_deletion, synchronization_uuid):
    return json.dumps({
        "SynchronizationUuid": synchronization_uuid,
        "AutomatedRouting": True,
        "AutomatedDeletion": automated_deletion,
        "ActiveServer": {
            "ModalityName": "destination",
            "Url": destination.base_url,
            "Compress": False,
            "HttpHeaders": {},
            "PublicParameters": {"URL": destination.base_url},
            "ServerType": "Kestrum",
            "ProtocolType": "Native",
        },
    }, indent=3)


@pytest.fixture
def hosts(tmp_path):
    group = HostGroup(tmp_path, Host, binary=HOST_BINARY)

    def make(automated_deletion, dicom=False):
        destination = group.start(name="destination")
        source = group.create({"Plugins": [PLUGIN]}, name="source", dicom=dicom)
        generation = str(uuid.uuid4())
        source.set_global_property(5467, stored_state(destination, automated_deletion, generation))
        source.start()
        return source, destination, generation

    yield make
    group.close()


def upload_all(source, files):
    for data in files:
        answer = source.post("/instances", data)
        assert answer.status_code == 200, answer.text


def store_over_dicom(source, files, folder):
    """storescu, as a modality sends them; its re-encoding may change the bytes, not the instances."""
    paths = []
    for i, data in enumerate(files):
        paths.append(folder / ("%d.dcm" % i))
        paths[-1].write_bytes(data)
    result = source.storescu(paths)
    assert result.returncode == 0, result.stderr.decode()


@pytest.mark.parametrize("received_over", ["http", "dicom"])
def test_live_instances_arrive_identical_and_are_stamped(hosts, tmp_path, received_over):
    source, destination, generation = hosts(automated_deletion=False, dicom=received_over == "dicom")
    files = make_files(INSTANCES)
    if received_over == "dicom":
        store_over_dicom(source, files, tmp_path)
    else:
        upload_all(source, files)

    wait_until(lambda: len(destination.instances()) == INSTANCES, what="every instance at the destination")
    received = destination.files_by_sop_uid()
    sent = source.files_by_sop_uid()
    assert sorted(received) == sorted(sent)
    for sop_uid, data in sent.items():
        assert received[sop_uid] == data, sop_uid

    # The stored generation stays in force after the host's start.
    def all_stamped():
        return all(source.get("/instances/%s/metadata/4455" % i).text == generation
                   for i in source.instances())
    wait_until(all_stamped, what="metadata 4455 on every source instance")
    assert len(source.instances()) == INSTANCES


def test_replay_sends_nothing_new_and_force_replay_sends_everything(hosts):
    source, destination, _ = hosts(automated_deletion=False)
    upload_all(source, make_files(INSTANCES))
    wait_until(lambda: source.synchronized_count() == INSTANCES, what="live synchronization")

    answer = source.post(API + "/replay")
    if answer.status_code == 404:
        pytest.skip("the replay routes are not registered by this build")
    assert answer.text == "ok"

    # Every instance carries the current generation: the scan sends nothing.
    wait_until(lambda: "Starting a scan of all the available instances" in source.log(), what="the scan")
    time.sleep(2)
    assert source.synchronized_count() == INSTANCES

    assert source.post(API + "/force-replay").text == "ok"
    wait_until(lambda: source.synchronized_count() == 2 * INSTANCES, what="forced replay")
    time.sleep(1)
    assert source.synchronized_count() == 2 * INSTANCES
    assert len(destination.instances()) == INSTANCES


def test_automated_deletion_moves_everything(hosts):
    source, destination, _ = hosts(automated_deletion=True)
    files = make_files(INSTANCES)
    upload_all(source, files)

    wait_until(lambda: len(destination.instances()) == INSTANCES, what="every instance at the destination")
    wait_until(lambda: source.instances() == [], what="an empty source")
    received = destination.files_by_sop_uid()
    assert sorted(received.values()) == sorted(files)
