"""Fixtures for running the plug-in's transfer clients against a real
kestrum-host: the host on a free loopback port in its own folder, and the
client driver (quelby-client-driver) that runs one client in a process.

Environment, set by CTest: KESTRUM_HOST (the host binary) and CLIENT_DRIVER.
"""

import contextlib
import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest
import requests

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "Common"))

import dicom_samples  # noqa: E402


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def clean_environment():
    # libcurl in the driver would honour proxy settings.
    return {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}


class Host:
    def __init__(self, binary, workdir, config, auth=None):
        self.workdir = str(workdir)
        os.makedirs(self.workdir, exist_ok=True)
        self.port = free_port()
        self.config = dict(config, HttpPort=self.port,
                           StorageDirectory=os.path.join(self.workdir, "storage"))
        self.session = requests.Session()
        self.session.trust_env = False
        self.session.auth = auth
        config_path = os.path.join(self.workdir, "config.json")
        with open(config_path, "w") as f:
            json.dump(self.config, f)
        self.log_path = os.path.join(self.workdir, "host.log")
        self._log = open(self.log_path, "ab")
        self.process = subprocess.Popen([binary, config_path], cwd=self.workdir, stdout=self._log,
                                        stderr=self._log, env=clean_environment())
        try:
            self._wait_until_up()
        except BaseException:
            self.process.kill()
            self.process.wait()
            self._log.close()
            raise

    @property
    def base_url(self):
        return "http://127.0.0.1:%d" % self.port

    def get(self, path, **kwargs):
        kwargs.setdefault("timeout", 30)
        return self.session.get(self.base_url + path, **kwargs)

    def _wait_until_up(self):
        deadline = time.time() + 30
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("kestrum-host exited at start:\n" + self.log_text())
            try:
                self.get("/system", timeout=2)
                return
            except requests.RequestException:
                time.sleep(0.05)
        raise AssertionError("kestrum-host did not answer:\n" + self.log_text())

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            status = "hung"
        self._log.close()
        self.session.close()
        return status

    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stored_files(self):
        """SOP Instance UID -> stored file bytes, for every instance of the host."""
        result = {}
        for identifier in self.get("/instances").json():
            uid = self.get("/instances/" + identifier).json()["MainDicomTags"]["SOPInstanceUID"]
            result[uid] = self.get("/instances/%s/file" % identifier).content
        return result


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
    hosts = []

    def start(config, auth=None):
        host = Host(binary, tmp_path / ("host%d" % len(hosts)), config, auth=auth)
        hosts.append(host)
        return host

    yield start
    for host in hosts:
        status = host.stop()
        assert status == 0, "kestrum-host exit status %r:\n%s" % (status, host.log_text()[-4000:])


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
