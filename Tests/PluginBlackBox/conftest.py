"""Fixtures for running the plug-in's transfer clients against a real
kestrum-host: the host on a free loopback port in its own folder, and the
client driver (quelby-client-driver) that runs one client in a process.

Environment, set by CTest: KESTRUM_HOST (the host binary) and CLIENT_DRIVER.
"""

import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "Common"))

import dicom_samples  # noqa: E402
from kestrum_host import HostGroup, HostProcess, clean_environment  # noqa: E402


class Host(HostProcess):
    stored_files = HostProcess.files_by_sop_uid   # the name this suite's tests use


class DriverRun:
    def __init__(self, completed):
        self.status = completed.returncode
        self.stdout = completed.stdout.decode("utf-8", "replace")
        self.stderr = completed.stderr.decode("utf-8", "replace")
        self.requests = [line.split(" ", 2)[1:] for line in self.stdout.splitlines()
                         if line.startswith("request ")]
        self.errors = [line[2:] for line in self.stderr.splitlines() if line.startswith("E ")]

    @property
    def result(self):
        for line in self.stdout.splitlines():
            if line.startswith("result "):
                return line == "result true"
        raise AssertionError("the driver gave no result (status %s):\n%s\n%s"
                             % (self.status, self.stdout, self.stderr))

    def __repr__(self):
        return "status %s\n%s\n%s" % (self.status, self.stdout, self.stderr)


@pytest.fixture(scope="session")
def driver():
    path = os.environ.get("CLIENT_DRIVER")
    if not path:
        pytest.skip("CLIENT_DRIVER is not set (CTest sets it)")

    def run(kind, url, *args):
        completed = subprocess.run([path, kind, url] + [str(a) for a in args], capture_output=True,
                                   timeout=120, env=clean_environment())
        return DriverRun(completed)

    return run


@pytest.fixture
def start_host(tmp_path):
    binary = os.environ.get("KESTRUM_HOST")
    if not binary:
        pytest.skip("KESTRUM_HOST is not set (CTest sets it)")
    group = HostGroup(tmp_path, Host, binary=binary)
    yield lambda config, auth=None: group.start(config, auth=auth)
    group.close()


@pytest.fixture
def instances(tmp_path):
    """Factory: n fresh instances made from real bundled DICOM files, as
    (SOP Instance UID, path, bytes) with the file written under tmp_path."""
    names = ["CT_small.dcm", "MR_small.dcm", "rtplan.dcm", "JPEG2000.dcm", "US1_J2KR.dcm"]
    counter = [0]

    def make(n):
        import io
        import pydicom
        made = []
        for i in range(n):
            counter[0] += 1
            try:
                sample = dicom_samples.sample_by_name(names[i % len(names)])
            except LookupError:
                sample = dicom_samples.select_samples()[i]
            data = dicom_samples.restamped(sample)
            uid = str(pydicom.dcmread(io.BytesIO(data), stop_before_pixels=True).SOPInstanceUID)
            path = tmp_path / ("instance%d.dcm" % counter[0])
            path.write_bytes(data)
            made.append((uid, str(path), data))
        return made

    return make
