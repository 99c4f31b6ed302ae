"""Real kestrum-host processes with the plug-in loaded, for black-box tests of
the plug-in's REST API, its static files and its explorer declarations.

Each host runs on a free loopback port in its own folder, with its log
(stdout and stderr) in host.log. Stopping sends SIGTERM and every test that
started a host requires exit status 0 at the end, so a crash or a hang at
shutdown fails the test that caused it.

Environment: KESTRUM_HOST (the binary) and QUELBY_PLUGIN (the plug-in), both
set by CTest.
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

HOST_BINARY = os.environ.get("KESTRUM_HOST")
PLUGIN = os.environ.get("QUELBY_PLUGIN")
API = "/plugins/quelby-cloud/api"
APP = "/plugins/quelby-cloud/app"
STATE_PROPERTY = 5467
STAMP_METADATA = 4455


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, timeout=30, what="condition", interval=0.1):
    deadline = time.time() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.time() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


class Host:
    """One kestrum-host process. `config` holds the options besides the port
    and the storage folder, which the host keeps across restarts."""

    def __init__(self, workdir, config=None, plugins=()):
        self.workdir = str(workdir)
        os.makedirs(self.workdir, exist_ok=True)
        self.config = dict(config or {})
        self.config["Plugins"] = list(plugins)
        self.config["StorageDirectory"] = os.path.join(self.workdir, "storage")
        self.config_path = os.path.join(self.workdir, "config.json")
        self.log_path = os.path.join(self.workdir, "host.log")
        self.port = None
        self.process = None
        self.session = None

    # ---- life cycle ----

    def write_config(self, port):
        self.port = port
        self.config["HttpPort"] = port
        with open(self.config_path, "w") as f:
            json.dump(self.config, f, indent=2)

    def start(self):
        # Another process may take the chosen port between its choice and the
        # bind: the host then exits, and another port is tried.
        for _ in range(3):
            self.write_config(free_port())
            if self._try_start():
                return self
        raise AssertionError("kestrum-host did not start:\n" + self.log())

    def _try_start(self):
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        self.session = requests.Session()
        self.session.trust_env = False
        # One connection per request: on a kept-alive connection the host
        # answers about 40 ms late, and it leaves the body of a GET unread,
        # which spoils the next request (known_faults.py).
        self.session.headers["Connection"] = "close"
        self._log = open(self.log_path, "ab")
        start_offset = self._log.tell()
        self.process = subprocess.Popen([HOST_BINARY, self.config_path], cwd=self.workdir,
                                        stdout=self._log, stderr=self._log, env=env)
        deadline = time.time() + 30
        while time.time() < deadline:
            if self.process.poll() is not None:
                self._log.close()
                self.process = None
                return False
            # "has started" is written once the host announced its start to the plug-ins.
            if "has started" in self.log()[start_offset:]:
                try:
                    if self.session.get(self.base_url + "/system", timeout=2).status_code == 200:
                        return True
                except requests.RequestException:
                    pass
            time.sleep(0.05)
        raise AssertionError("kestrum-host did not answer /system:\n" + self.log())

    def stop(self):
        """SIGTERM, then the exit status ("hung" when it does not end)."""
        if self.process is None:
            return 0
        self.session.close()   # idle keep-alive connections would delay the stop
        if self.process.poll() is not None:
            code = "exited early with %d" % self.process.returncode
        else:
            self.process.send_signal(signal.SIGTERM)
            try:
                code = self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                code = "hung"
        self.process = None
        self._log.close()
        return code

    def restart(self):
        code = self.stop()
        assert code == 0, "exit status %r at SIGTERM:\n%s" % (code, self.log()[-4000:])
        return self.start()

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    # ---- admin commands (host stopped) ----

    def get_global_property(self, number):
        assert self.process is None, "the host must be stopped to read its properties"
        result = subprocess.run([HOST_BINARY, "--get-global-property", str(number), self.config_path],
                                capture_output=True, timeout=30)
        assert result.returncode == 0, result.stderr
        return result.stdout.decode("utf-8")

    def stored_state(self):
        text = self.get_global_property(STATE_PROPERTY)
        return json.loads(text) if text else None

    # ---- HTTP ----

    @property
    def base_url(self):
        return "http://127.0.0.1:%d" % self.port

    def request(self, method, path, timeout=60, **kwargs):
        try:
            return self.session.request(method, self.base_url + path, timeout=timeout, **kwargs)
        except requests.ConnectionError as e:
            state = "running" if self.process.poll() is None else "exited with %s" % self.process.returncode
            raise AssertionError("%s %s failed (host %s): %s\n%s"
                                 % (method, path, state, e, self.log()[-4000:]))

    def get(self, path, **kwargs):
        return self.request("GET", path, **kwargs)

    def post(self, path, data=b"", **kwargs):
        return self.request("POST", path, data=data, **kwargs)

    def api_ok(self, route, data=b""):
        """POSTs to an API route whose success answer is "ok"."""
        answer = self.post(API + route, data=data if isinstance(data, (bytes, str)) else json.dumps(data))
        assert (answer.status_code, answer.text) == (200, "ok"), (route, answer.status_code, answer.text)
        return answer

    def status(self):
        answer = self.get(API + "/status")
        assert answer.status_code == 200, answer.text
        assert answer.headers["Content-Type"].startswith("application/json")
        return answer.json()

    def upload(self, data):
        answer = self.post("/instances", data=data)
        assert answer.status_code == 200, answer.text
        return answer.json()["ID"]

    def instances(self):
        answer = self.get("/instances")
        assert answer.status_code == 200, answer.text
        return answer.json()

    def files_by_sop_uid(self):
        files = {}
        for instance_id in self.instances():
            tags = self.get("/instances/%s" % instance_id).json()["MainDicomTags"]
            files[tags["SOPInstanceUID"]] = self.get("/instances/%s/file" % instance_id).content
        return files


@pytest.fixture(scope="session", autouse=True)
def binaries():
    if not HOST_BINARY or not PLUGIN:
        pytest.skip("KESTRUM_HOST and QUELBY_PLUGIN are set by CTest")
    assert os.access(HOST_BINARY, os.X_OK), HOST_BINARY
    assert os.path.isfile(PLUGIN), PLUGIN


@contextlib.contextmanager
def host_group(root):
    """Factory of hosts, all stopped at the end; a non-zero exit status fails."""
    started = []
    counter = [0]

    def make(config=None, plugin=True, name=None):
        counter[0] += 1
        host = Host(os.path.join(str(root), name or "host%d" % counter[0]), config,
                    plugins=[PLUGIN] if plugin else [])
        started.append(host)
        return host.start()

    try:
        yield make
    finally:
        failures = []
        for host in reversed(started):
            code = host.stop()
            if code != 0:
                failures.append("%s: exit status %r\n%s" % (host.workdir, code, host.log()[-4000:]))
        assert not failures, "\n".join(failures)


@pytest.fixture
def hosts(tmp_path):
    with host_group(tmp_path) as make:
        yield make


@pytest.fixture(scope="module")
def module_hosts(tmp_path_factory):
    with host_group(tmp_path_factory.mktemp("hosts")) as make:
        yield make


def connect_to(destination):
    """The source's override that sends the dummy kinds' default server
    (localhost:8042) to `destination`, so no test depends on port 8042."""
    return ["localhost:8042:127.0.0.1:%d" % destination.port]
