"""Shared pieces of the reliability suites: kestrum-host processes (built on
the shared launcher in Tests/Common), distinct small DICOM instances,
and checks of what reached a destination.

Environment, set by CTest: KESTRUM_HOST (the host binary) and QUELBY_PLUGIN
(the plug-in).
"""

import hashlib
import json
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TESTS, "Common"))
sys.path.insert(0, os.path.join(TESTS, "HostBlackBox"))

import dicom_samples  # noqa: E402
from kestrum_host import HostGroup, HostProcess, wait_until  # noqa: E402,F401

HOST_BINARY = os.environ.get("KESTRUM_HOST")
PLUGIN = os.environ.get("QUELBY_PLUGIN")
API = "/plugins/quelby-cloud/api"
STATE_PROPERTY = 5467
SENT_METADATA = 4455


def digest(data):
    return hashlib.sha256(data).hexdigest()


class Host(HostProcess):
    """A kestrum-host process with what these suites need on top."""

    def __init__(self, *args, **kwargs):
        # A kept-alive connection waits for delayed acknowledgements; fresh ones do not.
        kwargs.setdefault("keep_alive", False)
        super().__init__(*args, **kwargs)
        self.log_offset = 0

    def kill(self):
        """SIGKILL: no stop notification reaches the plug-in, nothing is flushed."""
        self.process.kill()
        self.process.wait()
        self._forget_process()
        self.session.close()

    def instance_ids(self):
        return self.instances()

    def file(self, instance_id):
        answer = self.get("/instances/%s/file" % instance_id)
        return answer.content if answer.status_code == 200 else None

    def digests(self):
        """sha256 of every stored file (files that vanish meanwhile are left out)."""
        found = set()
        for instance_id in self.instance_ids():
            data = self.file(instance_id)
            if data is not None:
                found.add(digest(data))
        return found

    def stamp(self, instance_id):
        answer = self.get("/instances/%s/metadata/%d" % (instance_id, SENT_METADATA))
        return answer.text if answer.status_code == 200 else None

    def new_log(self):
        """The log written since the previous call."""
        text = self.log_text()
        fresh, self.log_offset = text[self.log_offset:], len(text)
        return fresh

    def api_post(self, route, document=None):
        if document is None:
            return self.post(API + route)
        return self.post(API + route, json=document)

    def status(self):
        answer = self.get(API + "/status")
        assert answer.status_code == 200, answer.text
        return answer.json()


def stored_state(server_url, deletion=False, routing=True, generation="6f1b2c3d-0000-4000-8000-00000000d1c0"):
    """A persisted plug-in state naming a generic DICOMweb server."""
    return {"SynchronizationUuid": generation, "AutomatedRouting": routing,
            "AutomatedDeletion": deletion,
            "ActiveServer": {"ModalityName": "dest", "Url": server_url, "Compress": False,
                             "HttpHeaders": {}, "PublicParameters": {}, "ServerType": "Generic",
                             "ProtocolType": "DicomWeb"}}


def small_sample():
    """The smallest bundled sample that carries file meta information, so
    that restamped copies are complete Part-10 files."""
    candidates = sorted(dicom_samples.select_samples(), key=lambda s: os.path.getsize(s.path))
    for sample in candidates:
        with open(sample.path, "rb") as f:
            head = f.read(132)
        if head[128:132] == b"DICM":
            return sample
    raise LookupError("no Part-10 sample")


class InstanceMaker:
    """Distinct instances from one small sample: pydicom restamps once, then
    each copy changes only the UID text (same length), which is quick enough
    for thousands of instances."""

    def __init__(self, seed=0):
        self.sample = small_sample()
        template = dicom_samples.restamped(self.sample)
        import pydicom, io, warnings  # noqa: E401
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ds = pydicom.dcmread(io.BytesIO(template), force=True)
        self.template_sop = str(ds.SOPInstanceUID)
        self.random = random.Random(seed)
        self.counter = 0
        self.template = template
        # Same UID length as the template's, so no length field changes.
        self.prefix = "1.2.826.0.1.3680043.10.999."
        assert len(self.template_sop) > len(self.prefix) + 4, self.template_sop

    def make(self):
        """(SOP Instance UID, file bytes) of a new instance."""
        self.counter += 1
        width = len(self.template_sop) - len(self.prefix)
        suffix = "%d%0*d" % (self.random.randint(1, 9), width - 1, self.counter)
        sop = self.prefix + suffix[-width:]
        assert len(sop) == len(self.template_sop)
        data = self.template.replace(self.template_sop.encode(), sop.encode())
        return sop, data

    def batch(self, count):
        return dict(self.make() for _ in range(count))


def upload_all(host, files):
    """Uploads each file; returns {instance id: sha256}."""
    ids = {}
    for data in files:
        ids[host.upload(data)["ID"]] = digest(data)
    return ids


def assert_all_delivered(destination, uploaded_digests):
    """Every uploaded file is at the destination byte for byte, and nothing else."""
    received = destination.digests()
    missing = set(uploaded_digests) - received
    assert not missing, "%d of %d files missing or altered at the destination" % (
        len(missing), len(uploaded_digests))
    assert len(destination.instance_ids()) == len(set(uploaded_digests))


def state_text(state):
    return json.dumps(state, indent=3)
