"""Runs the real kestrum-host binary for the black-box suites.

A host runs in its own folder with a JSON configuration written there and
stdout and stderr appended to host.log. It counts as started once it has
logged "has started" (the plug-ins' start announcement is then queued, ahead of
every later change, though perhaps not yet delivered) and answers GET /system
with 200. Stopping sends SIGTERM and reports the exit status; `HostGroup` and
`running_host` fail the test on anything but 0, so a crash or a hang at
shutdown fails the test that caused it.
"""

import contextlib
import json
import os
import signal
import socket
import subprocess
import time

import requests

START_TIMEOUT = 30
STOP_TIMEOUT = 30
# Another process may take a port between its choice and the host's bind:
# the host then exits, and another port is tried.
START_TRIES = 3


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


def wait_until(condition, timeout=30, what="condition", interval=0.1, on_timeout=None):
    """The first true value of condition(), tried until `timeout` seconds.
    on_timeout() may return text that explains a timeout."""
    deadline = time.time() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.time() > deadline:
            detail = ("\n" + on_timeout()) if on_timeout else ""
            raise AssertionError("timed out waiting for " + what + detail)
        time.sleep(interval)


def run_dcmtk(tool, options, port, files=(), timeout=60):
    """One run of a DCMTK network tool (storescu, echoscu...) against a DICOM
    port of this machine, its output captured. TCP_NODELAY=1: without it
    DCMTK waits about 40 ms for each acknowledgement."""
    command = [tool] + [str(o) for o in options] + ["127.0.0.1", str(port)] + [str(f) for f in files]
    return subprocess.run(command, capture_output=True, timeout=timeout,
                          env=clean_environment({"TCP_NODELAY": "1"}))


def run_admin(binary, *args, env=None, timeout=30):
    """One command-line run of the host (--version, --get-global-property...)."""
    return subprocess.run([binary] + [str(a) for a in args], capture_output=True,
                          timeout=timeout, env=clean_environment(env))


class HostProcess:
    """One kestrum-host. `config` may set HttpPort: that port is then always
    used; otherwise each start takes a free one. StorageDirectory defaults to
    the host's folder, so a restart finds what was stored.

    dicom=True gives the host a DICOM server on a free port (each start takes
    one, as for HTTP); otherwise "DicomPort" is 0 unless `config` sets it, so
    that hosts started at once never meet on the default port.

    raw_config: the configuration file's text as given (comments, relative
    paths...), written instead of `config`, which must then hold its port.
    keep_alive=False sends "Connection: close" on every request."""

    def __init__(self, binary, workdir, config=None, env=None, tls_ca=None, auth=None,
                 raw_config=None, keep_alive=True, dicom=False):
        self.binary = binary
        self.workdir = str(workdir)
        os.makedirs(self.workdir, exist_ok=True)
        self.config = dict(config or {})
        self.config.setdefault("StorageDirectory", os.path.join(self.workdir, "storage"))
        self.raw_config = raw_config
        self.port_given = "HttpPort" in self.config
        self.port = self.config["HttpPort"] if self.port_given else free_port()
        self.config["HttpPort"] = self.port
        self.dicom = dicom
        self.config.setdefault("DicomPort", 0)
        self.dicom_port = self.config["DicomPort"]
        self.scheme = "https" if self.config.get("SslEnabled") else "http"
        self.config_path = os.path.join(self.workdir, "config.json")
        self.log_path = os.path.join(self.workdir, "host.log")
        self.env = clean_environment(env)
        self.tls_ca = tls_ca
        self.auth = auth
        self.keep_alive = keep_alive
        self.session = self._new_session()
        self.process = None
        self.returncode = None

    # ---- life cycle ----

    def write_config(self):
        with open(self.config_path, "w") as f:
            if self.raw_config is not None:
                f.write(self.raw_config)
            else:
                json.dump(self.config, f, indent=2)

    def start(self):
        tries = 1 if self.port_given else START_TRIES
        for _ in range(tries):
            if not self.port_given:
                self.port = self.config["HttpPort"] = free_port()
            if self.dicom:
                self.dicom_port = self.config["DicomPort"] = free_port()
            self.write_config()
            if self._try_start():
                return self
        raise AssertionError("kestrum-host exited with %s at start:\n%s" % (self.returncode, self.log_text()))

    def _try_start(self):
        """True once the host is up, False when it exited while starting."""
        # A fresh session per start, keeping credentials a test set on the previous one.
        credentials = self.session.auth
        self.session.close()
        self.session = self._new_session()
        self.session.auth = credentials
        self._log = open(self.log_path, "ab")
        start_offset = self._log.tell()
        self.process = subprocess.Popen([self.binary, self.config_path], cwd=self.workdir,
                                        stdout=self._log, stderr=self._log, env=self.env)
        deadline = time.time() + START_TIMEOUT
        while time.time() < deadline:
            if self.process.poll() is not None:
                self.returncode = self.process.returncode
                self._forget_process()
                return False
            if "has started" in self.log_text()[start_offset:]:
                try:
                    if self.session.get(self.url("/system"), timeout=2).status_code == 200:
                        return True
                except requests.RequestException:
                    pass
            time.sleep(0.05)
        self.process.kill()
        self.process.wait()
        self._forget_process()
        raise AssertionError("kestrum-host did not answer /system:\n" + self.log_text())

    def stop(self, sig=signal.SIGTERM):
        """Stops the host with `sig` and returns its exit status ("hung" when
        it does not end). A host already stopped returns 0: its status was
        given by the stop that ended it."""
        if self.process is None:
            return 0
        # Idle keep-alive connections would only delay the stop.
        self.session.close()
        if self.process.poll() is not None:
            # Died or stopped by itself while the test ran: report it as such.
            self.returncode = "exited early with %d" % self.process.returncode
        else:
            self.process.send_signal(sig)
            try:
                self.returncode = self.process.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                self.returncode = "hung"
        self._forget_process()
        return self.returncode

    def restart(self):
        assert_stops_cleanly(self)
        return self.start()

    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def _forget_process(self):
        self.process = None
        self._log.close()

    def _new_session(self):
        session = requests.Session()
        session.trust_env = False
        if self.tls_ca:
            session.verify = self.tls_ca
        if self.auth:
            session.auth = self.auth
        if not self.keep_alive:
            session.headers["Connection"] = "close"
        return session

    # ---- admin commands (host stopped) ----

    def get_global_property(self, number, while_running=False):
        """while_running=True reads it from a running host too."""
        if self.process is None:
            self.write_config()
        else:
            assert while_running, "the host must be stopped to read its properties"
        result = run_admin(self.binary, "--get-global-property", number, self.config_path)
        assert result.returncode == 0, result.stderr
        return result.stdout.decode("utf-8")

    def set_global_property(self, number, text):
        assert self.process is None, "the host must be stopped to change its properties"
        path = os.path.join(self.workdir, "property-%d.txt" % number)
        with open(path, "w") as f:
            f.write(text)
        self.write_config()
        result = run_admin(self.binary, "--set-global-property", number, path, self.config_path)
        assert result.returncode == 0, result.stderr

    # ---- HTTP ----

    @property
    def base_url(self):
        # The test certificates name localhost, not the address.
        host = "localhost" if self.scheme == "https" else "127.0.0.1"
        return "%s://%s:%d" % (self.scheme, host, self.port)

    def url(self, path):
        return self.base_url + path

    def request(self, method, path, timeout=60, **kwargs):
        try:
            return self.session.request(method, self.url(path), timeout=timeout, **kwargs)
        except requests.ConnectionError as e:
            if self.process is None:
                state = "stopped"
            elif self.process.poll() is None:
                state = "running"
            else:
                state = "exited with %s" % self.process.returncode
            raise AssertionError("%s %s failed (host %s): %s\n%s"
                                 % (method, path, state, e, self.log_text()[-4000:]))

    def get(self, path, **kwargs):
        return self.request("GET", path, **kwargs)

    def post(self, path, data=b"", **kwargs):
        return self.request("POST", path, data=data, **kwargs)

    def put(self, path, **kwargs):
        return self.request("PUT", path, **kwargs)

    def delete(self, path, **kwargs):
        return self.request("DELETE", path, **kwargs)

    def upload(self, data, **kwargs):
        """POST /instances; the host's JSON answer."""
        answer = self.post("/instances", data=data, **kwargs)
        assert answer.status_code == 200, answer.text
        return answer.json()

    def instances(self):
        answer = self.get("/instances")
        assert answer.status_code == 200, answer.text
        return answer.json()

    # ---- DICOM ----

    def storescu(self, files, *options, timeout=60):
        """storescu of `files` to this host's DICOM port, calling its title;
        -R proposes only the contexts the files need."""
        aet = self.config.get("DicomAet", "KESTRUM")
        return run_dcmtk("storescu", ["-R", "-aec", aet] + list(options), self.dicom_port, files, timeout)

    def echoscu(self, *options, timeout=60):
        aet = self.config.get("DicomAet", "KESTRUM")
        return run_dcmtk("echoscu", ["-aec", aet] + list(options), self.dicom_port, timeout=timeout)

    def files_by_sop_uid(self):
        """SOP Instance UID -> stored file bytes, for every instance."""
        files = {}
        for instance_id in self.instances():
            tags = self.get("/instances/%s" % instance_id).json()["MainDicomTags"]
            files[tags["SOPInstanceUID"]] = self.get("/instances/%s/file" % instance_id).content
        return files


def assert_stops_cleanly(host):
    status = host.stop()
    assert status == 0, "kestrum-host exit status %r on SIGTERM:\n%s" % (status, host.log_text()[-4000:])


@contextlib.contextmanager
def running_host(binary, workdir, config=None, **options):
    """A started host, stopped on exit; a non-zero exit status fails."""
    host = HostProcess(binary, workdir, config, **options).start()
    try:
        yield host
    finally:
        assert_stops_cleanly(host)


class HostGroup:
    """The hosts of one test (or module), each in its own folder under
    `root`. close() stops them all, the last made first, and fails if any
    exit status is not 0. `host_class` and `defaults` make each host."""

    def __init__(self, root, host_class=HostProcess, **defaults):
        self.root = str(root)
        self.host_class = host_class
        self.defaults = defaults
        self.hosts = []

    def create(self, config=None, name=None, **options):
        """A host configured but not started (to seed its properties first)."""
        workdir = os.path.join(self.root, name or "host%d" % (len(self.hosts) + 1))
        host = self.host_class(workdir=workdir, config=config, **dict(self.defaults, **options))
        self.hosts.append(host)
        return host

    def start(self, config=None, name=None, **options):
        return self.create(config, name, **options).start()

    def close(self):
        failures = []
        for host in reversed(self.hosts):
            status = host.stop()
            if status != 0:
                failures.append("%s: exit status %r\n%s" % (host.workdir, status, host.log_text()[-4000:]))
        assert not failures, "\n".join(failures)
