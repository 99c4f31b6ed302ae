"""Real kestrum-host processes with the plug-in loaded, for black-box tests of
the plug-in's REST API, its static files and its explorer declarations.

Each host runs on a free loopback port in its own folder, with its log
(stdout and stderr) in host.log. Stopping sends SIGTERM and every test that
started a host requires exit status 0 at the end, so a crash or a hang at
shutdown fails the test that caused it.

Environment: KESTRUM_HOST (the binary) and QUELBY_PLUGIN (the plug-in), both
set by CTest.
"""

import json
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "Common"))

from kestrum_host import HostGroup, HostProcess, free_port, wait_until  # noqa: E402,F401

HOST_BINARY = os.environ.get("KESTRUM_HOST")
PLUGIN = os.environ.get("QUELBY_PLUGIN")
API = "/plugins/quelby-cloud/api"
APP = "/plugins/quelby-cloud/app"
STATE_PROPERTY = 5467
STAMP_METADATA = 4455


class Host(HostProcess):
    """A host with the plug-in's API helpers."""

    log = HostProcess.log_text   # the name this suite's tests use

    def stored_state(self):
        text = self.get_global_property(STATE_PROPERTY)
        return json.loads(text) if text else None

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


@pytest.fixture(scope="session", autouse=True)
def binaries():
    if not HOST_BINARY or not PLUGIN:
        pytest.skip("KESTRUM_HOST and QUELBY_PLUGIN are set by CTest")
    assert os.access(HOST_BINARY, os.X_OK), HOST_BINARY
    assert os.path.isfile(PLUGIN), PLUGIN


def host_group(root):
    """Factory of hosts, all stopped at the end; a non-zero exit status fails."""
    # One connection per request, so that each test stands alone; kept-alive
    # connections are tested in test_keep_alive.py.
    group = HostGroup(root, Host, binary=HOST_BINARY, keep_alive=False)

    def make(config=None, plugin=True, name=None):
        return group.start(dict(config or {}, Plugins=[PLUGIN] if plugin else []), name)

    yield make
    group.close()


@pytest.fixture
def hosts(tmp_path):
    yield from host_group(tmp_path)


@pytest.fixture(scope="module")
def module_hosts(tmp_path_factory):
    yield from host_group(tmp_path_factory.mktemp("hosts"))


def connect_to(destination):
    """The source's override that sends the dummy kinds' default server
    (localhost:8042) to `destination`, so no test depends on port 8042."""
    return ["localhost:8042:127.0.0.1:%d" % destination.port]
