"""Fixtures that run the real kestrum-host binary.

Each host runs on a free loopback port in its own temporary folder, with a
JSON configuration written by the test, its stderr captured to a log file.
Stopping a host sends SIGTERM and requires exit status 0, so every test that
uses a host also checks a clean shutdown.

Environment: KESTRUM_HOST (the binary) and TEST_PLUGIN (the test plug-in),
both set by CTest.
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
sys.path.insert(0, os.path.dirname(__file__))

import dicom_samples  # noqa: E402

START_TIMEOUT = 30
STOP_TIMEOUT = 30


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def clean_environment(extra=None):
    """The test's environment without proxy settings (libcurl in the host
    would honour them) plus `extra`."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(extra or {})
    return env


class HostProcess:
    """One running kestrum-host."""

    def __init__(self, binary, workdir, config, env=None, tls_ca=None, auth=None, raw_config=None):
        self.binary = binary
        self.raw_config = raw_config
        self.workdir = str(workdir)
        os.makedirs(self.workdir, exist_ok=True)
        self.config = dict(config)
        self.config.setdefault("HttpPort", free_port())
        self.config.setdefault("StorageDirectory", os.path.join(self.workdir, "storage"))
        self.port = self.config["HttpPort"]
        self.scheme = "https" if self.config.get("SslEnabled") else "http"
        self.config_path = os.path.join(self.workdir, "config.json")
        self.log_path = os.path.join(self.workdir, "host.log")
        self.env = clean_environment(env)
        self.session = requests.Session()
        self.session.trust_env = False
        if tls_ca:
            self.session.verify = tls_ca
        if auth:
            self.session.auth = auth
        self.process = None
        self.returncode = None

    @property
    def base_url(self):
        host = "localhost" if self.scheme == "https" else "127.0.0.1"
        return "%s://%s:%d" % (self.scheme, host, self.port)

    def url(self, path):
        return self.base_url + path

    def get(self, path, **kwargs):
        return self.session.get(self.url(path), timeout=30, **kwargs)

    def post(self, path, **kwargs):
        return self.session.post(self.url(path), timeout=60, **kwargs)

    def put(self, path, **kwargs):
        return self.session.put(self.url(path), timeout=30, **kwargs)

    def delete(self, path, **kwargs):
        return self.session.delete(self.url(path), timeout=30, **kwargs)

    def write_config(self):
        with open(self.config_path, "w") as f:
            if self.raw_config is not None:
                f.write(self.raw_config)   # as given: comments, relative paths...
            else:
                json.dump(self.config, f, indent=2)

    def start(self):
        self.write_config()
        self._log = open(self.log_path, "ab")
        self.process = subprocess.Popen([self.binary, self.config_path], cwd=self.workdir,
                                        stdout=self._log, stderr=self._log, env=self.env)
        deadline = time.time() + START_TIMEOUT
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("kestrum-host exited with %d at start:\n%s"
                                     % (self.process.returncode, self.log_text()))
            try:
                if self.session.get(self.url("/system"), timeout=2).status_code == 200:
                    return self
            except requests.RequestException:
                pass
            time.sleep(0.05)
        self.process.kill()
        self.process.wait()
        raise AssertionError("kestrum-host did not answer /system:\n" + self.log_text())

    def stop(self, sig=signal.SIGTERM):
        """Stops the host with `sig` and returns its exit status."""
        if self.process is None:
            return self.returncode
        if self.process.poll() is not None:
            # Died or stopped by itself while the test ran: report it as such.
            self.returncode = "exited early with %d" % self.process.returncode
            self.process = None
            self._log.close()
            return self.returncode
        # Idle keep-alive connections would only delay the stop.
        self.session.close()
        self.process.send_signal(sig)
        try:
            self.returncode = self.process.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            self.returncode = "hung"
        self.process = None
        self._log.close()
        self.session.close()
        return self.returncode

    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def upload(self, data, **kwargs):
        answer = self.post("/instances", data=data, **kwargs)
        assert answer.status_code == 200, answer.text
        return answer.json()


@contextlib.contextmanager
def running_host(binary, workdir, config, **kwargs):
    """A started host, stopped with SIGTERM on exit; a non-zero exit status
    fails the test that used it."""
    host = HostProcess(binary, workdir, config, **kwargs).start()
    try:
        yield host
    finally:
        status = host.stop()
        assert status == 0, "kestrum-host exit status %r on SIGTERM:\n%s" % (status, host.log_text()[-4000:])


def run_admin(binary, *args, env=None, timeout=30):
    return subprocess.run([binary] + [str(a) for a in args], capture_output=True,
                          timeout=timeout, env=clean_environment(env))


# ---- Fixtures ----

@pytest.fixture(scope="session")
def host_binary():
    path = os.environ.get("KESTRUM_HOST")
    if not path:
        pytest.skip("KESTRUM_HOST is not set (CTest sets it)")
    assert os.access(path, os.X_OK), "KESTRUM_HOST is not an executable: " + path
    return path


@pytest.fixture(scope="session")
def test_plugin():
    path = os.environ.get("TEST_PLUGIN")
    if not path:
        pytest.skip("TEST_PLUGIN is not set (CTest sets it)")
    assert os.path.isfile(path), "TEST_PLUGIN does not exist: " + path
    return path


@pytest.fixture(scope="session")
def samples():
    selected = dicom_samples.select_samples()
    assert len(selected) >= 20, "too few usable bundled DICOM files"
    return selected


@pytest.fixture(scope="session")
def tls(tmp_path_factory):
    """A test CA and a server certificate for localhost, 127.0.0.1 and name.test."""
    from tls_material import make_tls_material
    return make_tls_material(str(tmp_path_factory.mktemp("tls")))


@pytest.fixture
def start_host(host_binary, tmp_path):
    """Factory: start_host(config, **kwargs) -> HostProcess, stopped (and its
    exit status checked) at the end of the test."""
    stack = contextlib.ExitStack()
    counter = [0]

    def start(config, **kwargs):
        counter[0] += 1
        workdir = tmp_path / ("host%d" % counter[0])
        return stack.enter_context(running_host(host_binary, workdir, config, **kwargs))

    with stack:
        yield start
