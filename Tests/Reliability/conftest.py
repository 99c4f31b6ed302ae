"""Fixtures of the reliability suites: hosts that are stopped (and whose exit
status is checked) at the end of each test."""

import pytest

from reliability_support import HOST_BINARY, PLUGIN, Host, HostGroup


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
    group = HostGroup(tmp_path, host_class=Host, binary=HOST_BINARY)
    yield lambda name, config, **options: group.create(config, name, **options)
    group.close()
