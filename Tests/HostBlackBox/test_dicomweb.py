"""The built-in DICOMweb service: STOW-RS, QIDO-RS studies and its servers,
and the host's peers, which share the same body and redaction rules."""

import io
import json
import uuid

import pydicom
import pytest

import dicom_samples
from conftest import running_host

FAILED_SOP_SEQUENCE = "00081198"
REFERENCED_SOP_SEQUENCE = "00081199"
REFERENCED_SOP_INSTANCE_UID = "00081155"
REFERENCED_SOP_CLASS_UID = "00081150"


@pytest.fixture(scope="module")
def host(host_binary, tmp_path_factory):
    config = {"DicomWeb": {"Enable": True, "Root": "/dicom-web/"}}
    with running_host(host_binary, tmp_path_factory.mktemp("dicomweb"), config) as h:
        yield h


def fresh_instance(name="CT_small.dcm", study_uid=None):
    data = dicom_samples.restamped(dicom_samples.sample_by_name(name), study_uid=study_uid)
    return data, pydicom.dcmread(io.BytesIO(data)).SOPInstanceUID


def multipart(parts, quoted_type=True, content_length=True, boundary_first=False):
    boundary = "b-" + uuid.uuid4().hex
    body = b""
    for part in parts:
        body += b"--" + boundary.encode() + b"\r\nContent-Type: application/dicom\r\n"
        if content_length:
            body += b"Content-Length: %d\r\n" % len(part)
        body += b"\r\n" + part + b"\r\n"
    body += b"--" + boundary.encode() + b"--\r\n"
    media = '"application/dicom"' if quoted_type else "application/dicom"
    if boundary_first:
        return body, 'multipart/related; boundary="%s"; type=%s' % (boundary, media)
    return body, "multipart/related; type=%s; boundary=%s" % (media, boundary)


def stow(host, parts, root="/dicom-web/", **kwargs):
    body, content_type = multipart(parts, **kwargs)
    return host.post(root + "studies", data=body,
                     headers={"Content-Type": content_type, "Accept": "application/dicom+json"})


def referenced_uids(answer):
    return [item[REFERENCED_SOP_INSTANCE_UID]["Value"][0]
            for item in answer.get(REFERENCED_SOP_SEQUENCE, {}).get("Value", [])]


def failed_items(answer):
    return answer.get(FAILED_SOP_SEQUENCE, {}).get("Value", [])


def stored_sop_uids(host):
    return {host.get("/instances/" + i).json()["MainDicomTags"]["SOPInstanceUID"]
            for i in host.get("/instances").json()}


# ---- STOW-RS ----

@pytest.mark.parametrize("quoted_type,content_length,boundary_first",
                         [(True, True, False), (False, False, False), (True, False, False), (False, True, True)])
def test_all_good_parts_are_stored_and_answer_200(host, quoted_type, content_length, boundary_first):
    instances = [fresh_instance(), fresh_instance("MR_small.dcm"), fresh_instance("rtplan.dcm")]
    answer = stow(host, [d for d, _ in instances], quoted_type=quoted_type, content_length=content_length,
                  boundary_first=boundary_first)
    assert answer.status_code == 200, answer.text
    result = answer.json()
    assert sorted(referenced_uids(result)) == sorted(uid for _, uid in instances)
    for item in result[REFERENCED_SOP_SEQUENCE]["Value"]:
        assert item[REFERENCED_SOP_CLASS_UID]["Value"][0]
    assert failed_items(result) == []
    assert {uid for _, uid in instances} <= stored_sop_uids(host)


def test_stored_parts_are_byte_identical(host):
    data, uid = fresh_instance("MR_small.dcm")
    assert stow(host, [data]).status_code == 200
    ids = [i for i in host.get("/instances").json()
           if host.get("/instances/" + i).json()["MainDicomTags"]["SOPInstanceUID"] == uid]
    assert len(ids) == 1
    assert host.get("/instances/%s/file" % ids[0]).content == data


def test_a_bad_part_among_good_ones_answers_202(host):
    good = [fresh_instance(), fresh_instance()]
    answer = stow(host, [good[0][0], b"definitely not DICOM", good[1][0]])
    assert answer.status_code == 202, answer.text
    result = answer.json()
    assert sorted(referenced_uids(result)) == sorted(uid for _, uid in good)
    assert len(failed_items(result)) == 1
    assert {uid for _, uid in good} <= stored_sop_uids(host)


def test_no_good_part_answers_409_and_stores_nothing(host):
    before = len(host.get("/instances").json())
    answer = stow(host, [b"garbage one", b"garbage two"])
    assert answer.status_code == 409, answer.text
    assert len(failed_items(answer.json())) == 2
    assert referenced_uids(answer.json()) == []
    assert len(host.get("/instances").json()) == before


def test_resending_already_stored_instances_succeeds(host):
    instances = [fresh_instance(), fresh_instance()]
    assert stow(host, [d for d, _ in instances]).status_code == 200
    again = stow(host, [d for d, _ in instances])
    assert again.status_code == 200
    assert sorted(referenced_uids(again.json())) == sorted(uid for _, uid in instances)


def test_a_body_that_is_not_multipart_answers_400(host):
    answer = host.post("/dicom-web/studies", data=b"no boundaries in here",
                       headers={"Content-Type": 'multipart/related; type="application/dicom"; boundary=xyz'})
    assert answer.status_code == 400


def test_another_media_type_answers_415(host):
    data, _ = fresh_instance()
    answer = host.post("/dicom-web/studies", data=data, headers={"Content-Type": "application/json"})
    assert answer.status_code == 415


def test_root_without_final_slash(host_binary, tmp_path):
    config = {"DicomWeb": {"Enable": True, "Root": "/web"}}
    with running_host(host_binary, tmp_path, config) as h:
        data, uid = fresh_instance()
        answer = stow(h, [data], root="/web/")
        assert answer.status_code == 200, answer.text
        assert referenced_uids(answer.json()) == [uid]
        assert h.get("/web/studies").status_code == 200
        assert h.get("/web/servers").json() == []


# ---- QIDO-RS ----

def test_qido_lists_stored_studies_and_honours_limit(host):
    study = dicom_samples.generate_uid()
    data_a, _ = fresh_instance(study_uid=study)
    data_b, _ = fresh_instance(study_uid=study)
    other, _ = fresh_instance()
    assert stow(host, [data_a, data_b, other]).status_code == 200

    answer = host.get("/dicom-web/studies")
    assert answer.status_code == 200
    studies = [s["0020000D"]["Value"][0] for s in answer.json()]
    assert study in studies
    assert pydicom.dcmread(io.BytesIO(other)).StudyInstanceUID in studies
    assert len(studies) == len(set(studies)), "each study once"

    limited = host.get("/dicom-web/studies?limit=1").json()
    assert len(limited) == 1 and len(studies) > 1


# ---- Plug-in list ----

def test_plugins_list_names_dicom_web_only_when_enabled(host, host_binary, tmp_path):
    assert "dicom-web" in host.get("/plugins").json()
    with running_host(host_binary, tmp_path, {}) as plain:
        assert "dicom-web" not in plain.get("/plugins").json()


# ---- Peers and DICOMweb servers ----

SECRET = "c2VjcmV0LXZhbHVlLTQyNDI="


@pytest.mark.parametrize("collection", ["/peers", "/dicom-web/servers"])
def test_declarations_put_get_delete_without_echoing_header_values(host, collection):
    name = "remote-" + uuid.uuid4().hex[:8]
    body = {"Url": "https://remote.example/root", "HttpHeaders": {"Authorization": "Basic " + SECRET,
                                                                    "X-Api-Key": "key-value-987"}}
    put = host.put("%s/%s" % (collection, name), data=json.dumps(body))
    assert put.status_code == 200
    assert put.content == b"" or put.json() is not None

    assert name in host.get(collection).json()
    described = host.get("%s/%s" % (collection, name))
    assert described.status_code == 200
    assert "https://remote.example/root" in described.text
    assert "Authorization" in described.text and "X-Api-Key" in described.text
    assert SECRET not in described.text and "key-value-987" not in described.text
    assert SECRET not in host.get(collection).text

    # A second PUT replaces the declaration.
    body["Url"] = "https://other.example/"
    body["HttpHeaders"] = {}
    assert host.put("%s/%s" % (collection, name), data=json.dumps(body)).status_code == 200
    replaced = host.get("%s/%s" % (collection, name)).text
    assert "other.example" in replaced and "Authorization" not in replaced

    delete = host.delete("%s/%s" % (collection, name))
    assert delete.status_code == 200
    assert delete.content == b"" or delete.json() is not None
    assert host.get("%s/%s" % (collection, name)).status_code == 404
    assert name not in host.get(collection).json()
    assert host.delete("%s/%s" % (collection, name)).status_code == 404

    assert SECRET not in host.log_text() and "key-value-987" not in host.log_text()


@pytest.mark.parametrize("collection", ["/peers", "/dicom-web/servers"])
def test_declaration_with_a_bad_body_is_refused(host, collection):
    assert host.put(collection + "/broken", data=b"{not json").status_code == 400
    assert host.put(collection + "/broken", data=json.dumps({"HttpHeaders": {}})).status_code == 400
    assert host.get(collection + "/broken").status_code == 404
