"""Fixtures that run the real kestrum-host binary.

Each host runs on a free loopback port in its own temporary folder, with a
JSON configuration written by the test, its stderr captured to a log file.
Stopping a host sends SIGTERM and requires exit status 0, so every test that
uses a host also checks a clean shutdown.

Environment: KESTRUM_HOST (the binary) and TEST_PLUGIN (the test plug-in),
both set by CTest.
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "Common"))
sys.path.insert(0, os.path.dirname(__file__))

import dicom_samples  # noqa: E402
# The tests import the launcher's pieces from here.
from kestrum_host import (HostGroup, HostProcess, clean_environment, free_port,  # noqa: E402,F401
                          run_admin, run_dcmtk, running_host)


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
    """Factory: start_host(config, **options) -> HostProcess, stopped (and its
    exit status checked) at the end of the test."""
    group = HostGroup(tmp_path, binary=host_binary)
    yield group.start
    group.close()
