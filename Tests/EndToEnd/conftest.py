"""Shared pieces of the end-to-end tests: real kestrum-host processes (the
source loads the plug-in), a test CA whose server certificate carries the
destination names the plug-in accepts, and independent checks of what the
destination received.

Environment, set by CTest: KESTRUM_HOST (the host binary) and QUELBY_PLUGIN
(the plug-in).
"""

import io
import os
import subprocess
import sys
import warnings

import pydicom
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TESTS, "Common"))
sys.path.insert(0, os.path.join(TESTS, "HostBlackBox"))
sys.path.insert(0, HERE)

import dicom_samples  # noqa: E402
from kestrum_host import HostGroup, HostProcess, wait_until  # noqa: E402,F401
from tls_material import make_tls_material  # noqa: E402

HOST_BINARY = os.environ.get("KESTRUM_HOST")
PLUGIN = os.environ.get("QUELBY_PLUGIN")
API = "/plugins/quelby-cloud/api"
STATE_PROPERTY = 5467
SENT_METADATA = 4455

PORTAL_NAME = "demo.vexa.example"
CLOUD_NAME = "cloud.kestrum.example"


def pytest_collection_modifyitems(config, items):
    if HOST_BINARY and PLUGIN:
        return
    skip = pytest.mark.skip(reason="KESTRUM_HOST and QUELBY_PLUGIN are set by CTest")
    for item in items:
        item.add_marker(skip)


class Host(HostProcess):
    """A kestrum-host process with the few extra operations these tests need."""

    def instance_ids(self):
        return self.instances()

    def sop_uid(self, instance_id):
        return self.get("/instances/%s" % instance_id).json()["MainDicomTags"]["SOPInstanceUID"]

    def sent_stamps(self):
        """SOP Instance UID -> metadata 4455 (None when absent), for every instance."""
        stamps = {}
        for instance_id in self.instance_ids():
            answer = self.get("/instances/%s/metadata/%d" % (instance_id, SENT_METADATA))
            stamps[self.sop_uid(instance_id)] = answer.text if answer.status_code == 200 else None
        return stamps

    def upload_all(self, files):
        for data in files:
            self.upload(data)

    # The plug-in's own API, driven as the web application drives it.
    def plugin_post(self, route, document=None):
        answer = self.post(API + route, json=document) if document is not None else self.post(API + route)
        return answer

    def test_connection(self, parameters):
        answer = self.plugin_post("/test-connection", parameters)
        assert answer.status_code == 200, answer.text
        return answer.json()

    def connect(self, parameters):
        answer = self.plugin_post("/connect", parameters)
        assert answer.status_code == 200 and answer.text == "ok", answer.text
        return answer

    def status(self):
        answer = self.get(API + "/status")
        assert answer.status_code == 200, answer.text
        return answer.json()


@pytest.fixture(scope="session")
def samples():
    selected = dicom_samples.select_samples()
    assert len(selected) >= 20, "too few usable bundled DICOM files"
    return {sample.sop_instance_uid: sample.read_bytes() for sample in selected}


@pytest.fixture(scope="session")
def tls(tmp_path_factory):
    """A test CA and one server certificate valid for the portal's and the
    managed server's names (and localhost, for the test's own requests)."""
    return make_tls_material(str(tmp_path_factory.mktemp("tls")),
                             server_names=("localhost", PORTAL_NAME, CLOUD_NAME))


@pytest.fixture
def hosts(tmp_path):
    """Factory: hosts(name, config, **HostProcess options) -> a Host, not yet
    started. Every host started is stopped at the end and must exit with 0."""
    group = HostGroup(tmp_path, host_class=Host, binary=HOST_BINARY)
    yield lambda name, config, **options: group.create(config, name, **options)
    group.close()


def assert_received_intact(received, expected, workdir):
    """`received` and `expected` map SOP Instance UIDs to file bytes. Every
    expected file must have arrived byte for byte, and each received file must
    be readable on its own: pydicom finds the same SOP Instance UID in it and
    DCMTK's dcmdump parses it."""
    assert sorted(received) == sorted(expected)
    for sop_uid, data in expected.items():
        assert received[sop_uid] == data, "file of %s differs" % sop_uid
    os.makedirs(str(workdir), exist_ok=True)
    paths = {}
    for index, (sop_uid, data) in enumerate(sorted(received.items())):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            dataset = pydicom.dcmread(io.BytesIO(data), force=True, stop_before_pixels=True)
        assert str(dataset.SOPInstanceUID) == sop_uid
        paths[sop_uid] = os.path.join(str(workdir), "received-%d.dcm" % index)
        with open(paths[sop_uid], "wb") as f:
            f.write(data)
    # One dcmdump for all files (it fails when any file fails); name the culprits only then.
    if dcmdump(list(paths.values())).returncode != 0:
        unreadable = {uid: dcmdump([path]).stderr.decode() for uid, path in paths.items()
                      if dcmdump([path]).returncode != 0}
        raise AssertionError("dcmdump cannot read: %s" % unreadable)


def dcmdump(paths):
    return subprocess.run(["dcmdump", "-q"] + paths, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
