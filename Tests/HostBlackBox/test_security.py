"""Basic authentication on every route, and HTTPS with a certificate made by
a test CA."""

import requests
import pytest

import dicom_samples
from conftest import free_port


USERS = {"alice": "wonderland-42"}


@pytest.fixture
def protected_host(start_host, test_plugin):
    return start_host({"AuthenticationEnabled": True, "RegisteredUsers": USERS,
                       "Plugins": [test_plugin]},
                      auth=("alice", USERS["alice"]))


def anonymous(host, method, path, **kwargs):
    with requests.Session() as s:
        s.trust_env = False
        return s.request(method, host.url(path), timeout=30, **kwargs)


@pytest.mark.parametrize("method,path", [
    ("GET", "/system"),
    ("GET", "/instances"),
    ("GET", "/changes"),
    ("GET", "/testplugin/order/specific"),     # plug-in routes are protected too
    ("POST", "/testplugin/post-only"),
])
def test_requests_without_credentials_get_401_with_a_challenge(protected_host, method, path):
    answer = anonymous(protected_host, method, path)
    assert answer.status_code == 401
    assert answer.headers.get("WWW-Authenticate", "").lower().startswith("basic")


def test_wrong_password_or_user_is_refused(protected_host):
    assert anonymous(protected_host, "GET", "/system", auth=("alice", "wrong")).status_code == 401
    assert anonymous(protected_host, "GET", "/system", auth=("mallory", USERS["alice"])).status_code == 401


def test_right_credentials_reach_built_in_and_plugin_routes(protected_host):
    assert protected_host.get("/system").status_code == 200
    answer = protected_host.get("/testplugin/order/specific")
    assert answer.status_code == 200 and answer.text == "specific"


def test_unauthenticated_upload_stores_nothing(protected_host):
    data = dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm"))
    assert anonymous(protected_host, "POST", "/instances", data=data).status_code == 401
    assert protected_host.get("/instances").json() == []
    assert protected_host.upload(data)["Status"] == "Success"


def test_password_does_not_reach_the_log(protected_host):
    anonymous(protected_host, "GET", "/system", auth=("alice", "wrong-secret-777"))
    protected_host.get("/system")
    log = protected_host.log_text()
    assert USERS["alice"] not in log and "wrong-secret-777" not in log


@pytest.mark.parametrize("combined", [False, True], ids=["separate-key", "key-in-certificate-file"])
def test_https_with_a_certificate_from_the_test_ca(start_host, tls, combined):
    config = {"SslEnabled": True,
              "SslCertificate": tls.combined if combined else tls.server_certificate}
    if not combined:
        config["SslPrivateKey"] = tls.server_key
    host = start_host(config, tls_ca=tls.ca_certificate)

    answer = host.get("/system")
    assert answer.status_code == 200 and answer.json()["Name"]
    data = dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm"))
    stored = host.upload(data)
    assert host.get("/instances/%s/file" % stored["ID"]).content == data

    # Without the test CA the certificate is not trusted; plain HTTP is not served.
    with requests.Session() as s:
        s.trust_env = False
        with pytest.raises(requests.exceptions.SSLError):
            s.get(host.url("/system"), timeout=10, verify=True)
        try:
            plain = s.get("http://127.0.0.1:%d/system" % host.port, timeout=10)
            assert plain.status_code != 200, "served over plain HTTP"
        except requests.RequestException:
            pass


def test_https_with_a_missing_certificate_does_not_start(host_binary, tmp_path):
    from conftest import HostProcess
    host = HostProcess(host_binary, tmp_path, {"SslEnabled": True,
                                               "SslCertificate": str(tmp_path / "absent.pem"),
                                               "HttpPort": free_port()})
    with pytest.raises(AssertionError, match="exited"):
        host.start()


def test_plugin_calls_into_the_host_need_no_credentials(protected_host):
    answer = protected_host.get("/testplugin/rest", params={"uri": "/testplugin/order/specific",
                                                            "withPlugins": "1"})
    assert answer.status_code == 200
    assert answer.json()["Code"] == 0
    assert answer.json()["Body"] == "c3BlY2lmaWM="   # base64 of "specific"


@pytest.mark.parametrize("remote_access", [False, True])
def test_remote_access_decides_the_listening_address(start_host, remote_access):
    host = start_host({"RemoteAccessAllowed": remote_access})
    # 127.0.0.2 is another loopback address: reached only when listening on all interfaces.
    with requests.Session() as s:
        s.trust_env = False
        try:
            reached = s.get("http://127.0.0.2:%d/system" % host.port, timeout=5).status_code == 200
        except requests.ConnectionError:
            reached = False
    assert reached == remote_access
