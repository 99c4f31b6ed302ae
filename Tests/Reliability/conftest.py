"""Fixtures of the reliability suites: hosts that are stopped (and whose exit
status is checked) at the end of each test."""

import pytest

from reliability_support import HOST_BINARY, PLUGIN, Host


def pytest_collection_modifyitems(config, items):
    if HOST_BINARY and PLUGIN:
        return
    skip = pytest.mark.skip(reason="KESTRUM_HOST and QUELBY_PLUGIN are set by CTest")
    for item in items:
        item.add_marker(skip)


@pytest.fixture
def hosts(tmp_path):
    """Factory: hosts(name, config, **HostProcess options) -> a Host, not yet
    started. Every host still running at the end is stopped with SIGTERM and
    must exit with 0."""
    made = []

    def make(name, config, **kwargs):
        host = Host(HOST_BINARY, tmp_path / name, config, **kwargs)
        made.append(host)
        return host

    yield make
    failures = []
    for host in reversed(made):
        status = host.stop()
        if status not in (0, None):
            failures.append("%s exit status %r:\n%s" % (host.workdir, status, host.log_text()[-4000:]))
    assert not failures, "\n".join(failures)
