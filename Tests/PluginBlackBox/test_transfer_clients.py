"""The plug-in's transfer clients against a running kestrum-host: what they
send arrives byte for byte, and a refused upload stops the batch."""

import base64
import email.parser
import email.policy
import gzip

import requests


def as_arguments(instances):
    return ["%s=%s" % (uid, path) for uid, path, _ in instances]


def basic(user, password):
    return "Authorization=Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


# ---- The STOW-RS body, read by an independent MIME parser ----

def test_stow_body_parts_are_the_files_given(driver, instances, tmp_path):
    # Real files, plus one whose bytes look like multipart framing.
    files = instances(2)
    tricky = tmp_path / "tricky.bin"
    tricky_bytes = b"\r\n--not-the-boundary\r\n\r\n" + bytes(range(256)) + b"\r\n"
    tricky.write_bytes(tricky_bytes)
    files.append(("1.2.3.4", str(tricky), tricky_bytes))

    dump = tmp_path / "body.bin"
    run = driver("dicomweb", "http://127.0.0.1:9/dicom-web/", "--dump-body", dump, *as_arguments(files))
    assert run.requests == [["POST", "http://127.0.0.1:9/dicom-web/studies"]], run
    assert run.result is False   # the dump refuses the request, like a transport failure
    content_type = [line.split(": ", 1)[1] for line in run.stdout.splitlines()
                    if line.startswith("header Content-Type: ")]
    assert len(content_type) == 1, run

    body = dump.read_bytes()
    message = email.parser.BytesParser(policy=email.policy.default).parsebytes(
        b"MIME-Version: 1.0\r\nContent-Type: " + content_type[0].encode() + b"\r\n\r\n" + body)

    assert message.get_content_type() == "multipart/related"
    assert message.get_param("type") == "application/dicom"
    assert not message.defects, message.defects
    parts = list(message.iter_parts())
    assert len(parts) == len(files)
    for part, (_, _, data) in zip(parts, files):
        assert part.get_content_type() == "application/dicom"
        assert int(part["Content-Length"]) == len(data)
        assert part.get_payload(decode=True) == data

    # The parser forgives bare LF line ends; the framing itself must use CRLF.
    delimiter = b"--" + message.get_boundary().encode()
    assert body.startswith(delimiter + b"\r\n"), "no preamble"
    assert body.endswith(b"\r\n" + delimiter + b"--"), "nothing follows the closing delimiter"
    assert body.count(delimiter) == len(files) + 1
    assert body.count(b"\r\n" + delimiter) == len(files)


# ---- DICOMweb client ----

def test_dicomweb_batch_is_stored_byte_identical(driver, start_host, instances):
    host = start_host({"DicomWeb": {"Enable": True, "Root": "/dicom-web/"}})
    batch = instances(5)

    assert driver("dicomweb", host.base_url + "/dicom-web", "--test-connection").result is True
    run = driver("dicomweb", host.base_url + "/dicom-web/", *as_arguments(batch))

    assert run.result is True, run
    assert run.status == 0
    assert run.requests == [["POST", host.base_url + "/dicom-web/studies"]]
    stored = host.stored_files()
    assert sorted(stored) == sorted(uid for uid, _, _ in batch)
    for uid, _, data in batch:
        assert stored[uid] == data


def test_dicomweb_batch_to_a_host_without_dicomweb_fails_without_exception(driver, start_host, instances):
    host = start_host({})
    run = driver("dicomweb", host.base_url + "/dicom-web", *as_arguments(instances(2)))
    assert run.status == 1, run
    assert run.result is False
    assert host.stored_files() == {}


# ---- Peer client ----

def test_peer_upload_uncompressed_is_read_back_identical(driver, start_host, instances):
    host = start_host({})
    batch = instances(3)

    run = driver("peer", host.base_url + "/", "--no-compress", *as_arguments(batch))

    assert run.result is True, run
    # One upload and one read-back per instance (several at once, in any order).
    assert sorted(method for method, _ in run.requests) == ["GET"] * 3 + ["POST"] * 3
    stored = host.stored_files()
    assert {uid: data for uid, _, data in batch} == stored


def test_peer_upload_compressed_is_read_back_identical(driver, start_host, instances):
    host = start_host({})
    batch = instances(3)

    probe = requests.post(host.base_url + "/instances", data=gzip.compress(batch[0][2]),
                          headers={"Content-Encoding": "gzip"}, timeout=30)
    assert probe.status_code == 200, "kestrum-host refused a gzip-encoded upload: %s" % probe.text
    host_id = probe.json()["ID"]
    requests.delete(host.base_url + "/instances/" + host_id, timeout=30)

    run = driver("peer", host.base_url, *as_arguments(batch))

    assert run.result is True, run
    assert {uid: data for uid, _, data in batch} == host.stored_files()


def test_peer_refused_uploads_fail_the_batch(driver, start_host, instances):
    users = {"alice": "s3cret:x"}
    host = start_host({"AuthenticationEnabled": True, "RegisteredUsers": users}, auth=("alice", "s3cret:x"))
    batch = instances(3)

    for compress in ([], ["--no-compress"]):
        run = driver("peer", host.base_url, "--header", basic("alice", "wrong"), *compress, *as_arguments(batch))
        assert run.status == 1, run
        assert run.result is False
        # Up to four files leave together: each one was refused, none read back.
        assert run.requests == [["POST", host.base_url + "/instances"]] * len(batch), run
        expected = ["Cannot send compressed DICOM: Make sure that remote Kestrum is >= 1.6.0"] if compress == [] else []
        assert run.errors == expected * len(batch), run
        assert "s3cret" not in run.stderr and "wrong" not in run.stderr
    assert host.stored_files() == {}

    # The same batch with the right credentials goes through the header.
    run = driver("peer", host.base_url, "--header", basic("alice", "s3cret:x"), "--no-compress", *as_arguments(batch))
    assert run.result is True, run
    assert {uid: data for uid, _, data in batch} == host.stored_files()


def test_peer_connection_test(driver, start_host):
    host = start_host({"AuthenticationEnabled": True, "RegisteredUsers": {"bob": "pw"}}, auth=("bob", "pw"))
    assert driver("peer", host.base_url, "--header", basic("bob", "pw"), "--test-connection").result is True
    assert driver("peer", host.base_url, "--header", basic("bob", "no"), "--test-connection").result is False
    assert driver("peer", "http://127.0.0.1:9", "--test-connection").result is False
