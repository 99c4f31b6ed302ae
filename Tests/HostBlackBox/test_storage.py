"""Storing, reading back, annotating and deleting instances."""

import gzip
import io

import pydicom
import pytest
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

import dicom_samples
from conftest import running_host


@pytest.fixture(scope="module")
def host(host_binary, tmp_path_factory):
    with running_host(host_binary, tmp_path_factory.mktemp("storage"), {}) as h:
        yield h


@pytest.fixture(scope="module")
def stored(host, samples):
    """Every sample uploaded once: list of (sample, upload answer)."""
    return [(s, host.upload(s.read_bytes())) for s in samples]


def instance_count(host):
    answer = host.get("/instances")
    assert answer.status_code == 200
    return len(answer.json())


def dataset_without_sop_instance_uid():
    ds = Dataset()
    ds.PatientID = "NO-SOP"
    ds.StudyInstanceUID = generate_uid()
    ds.SeriesInstanceUID = generate_uid()
    ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.preamble = b"\0" * 128
    out = io.BytesIO()
    ds.save_as(out, write_like_original=True)   # as is: no SOP Instance UID anywhere
    return out.getvalue()


def test_every_sample_is_stored_and_read_back_byte_identical(host, stored):
    ids = set()
    for sample, answer in stored:
        assert answer["Status"] == "Success", sample.path
        instance_id = answer["ID"]
        ids.add(instance_id)

        file_answer = host.get("/instances/%s/file" % instance_id)
        assert file_answer.status_code == 200
        assert file_answer.headers["Content-Type"].startswith("application/dicom")
        assert file_answer.content == sample.read_bytes(), sample.path

        described = host.get("/instances/" + instance_id).json()
        assert described["ID"] == instance_id
        assert described["Type"] == "Instance"
        assert described["FileSize"] == len(sample.read_bytes())
        assert described["MainDicomTags"]["SOPInstanceUID"] == sample.sop_instance_uid
        assert described["ParentSeries"] == answer["ParentSeries"]

    # One instance per distinct set of identifiers, all listed.
    assert len(ids) == len(stored)
    assert ids <= set(host.get("/instances").json())


def test_reupload_answers_already_stored_with_the_same_id(host, stored):
    for sample, first in stored[:10]:
        again = host.upload(sample.read_bytes())
        assert again["Status"] == "AlreadyStored"
        assert again["ID"] == first["ID"]
    assert instance_count(host) == len(stored)


def test_gzip_encoded_upload_stores_the_decompressed_file(host, stored):
    data = dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm"))
    answer = host.upload(gzip.compress(data), headers={"Content-Encoding": "gzip"})
    assert answer["Status"] == "Success"
    assert host.get("/instances/%s/file" % answer["ID"]).content == data
    stamped = pydicom.dcmread(io.BytesIO(data))
    assert host.get("/instances/" + answer["ID"]).json()["MainDicomTags"]["SOPInstanceUID"] == stamped.SOPInstanceUID


@pytest.mark.parametrize("body", [
    b"this is not a DICOM file at all",
    b"\0" * 128 + b"DICM" + b"\xff" * 64,     # a preamble and magic, then garbage
    b"",
], ids=["text", "truncated-after-magic", "empty"])
def test_non_dicom_bodies_answer_400_and_store_nothing(host, stored, body):
    before = instance_count(host)
    last_change = host.get("/changes?since=0&limit=100000").json()["Last"]
    answer = host.post("/instances", data=body)
    assert answer.status_code == 400
    assert instance_count(host) == before
    assert host.get("/changes?since=0&limit=100000").json()["Last"] == last_change


def test_dicom_without_sop_instance_uid_answers_400(host, stored):
    before = instance_count(host)
    answer = host.post("/instances", data=dataset_without_sop_instance_uid())
    assert answer.status_code == 400
    assert instance_count(host) == before


def test_metadata_put_get_list_and_delete(host, stored):
    instance_id = stored[0][1]["ID"]
    base = "/instances/%s/metadata" % instance_id

    put = host.put(base + "/4455", data=b"generation-1")
    assert put.status_code == 200
    assert put.content == b"" or put.json() is not None   # empty or JSON
    assert host.get(base + "/4455").content == b"generation-1"
    assert "4455" in [str(k) for k in host.get(base).json()]

    # Replaced, raw bytes kept as given.
    assert host.put(base + "/4455", data=b"generation-2 \x01").status_code == 200
    assert host.get(base + "/4455").content == b"generation-2 \x01"

    # Another key does not disturb the first one.
    assert host.put(base + "/2000", data=b"other").status_code == 200
    assert host.get(base + "/4455").content == b"generation-2 \x01"

    delete = host.delete(base + "/4455")
    assert delete.status_code == 200
    assert delete.content == b"" or delete.json() is not None
    assert host.get(base + "/4455").status_code == 404
    assert "4455" not in [str(k) for k in host.get(base).json()]
    assert host.get(base + "/2000").content == b"other"


def test_metadata_of_a_missing_instance_is_404(host):
    assert host.get("/instances/no-such-instance/metadata/4455").status_code == 404
    assert host.put("/instances/no-such-instance/metadata/4455", data=b"x").status_code == 404


def test_metadata_keys_below_1024_are_refused(host, stored):
    instance_id = stored[1][1]["ID"]
    answer = host.put("/instances/%s/metadata/12" % instance_id, data=b"x")
    assert 400 <= answer.status_code < 500


def test_deleted_instance_is_gone_everywhere(host, stored):
    data = dicom_samples.restamped(dicom_samples.sample_by_name("MR_small.dcm"))
    instance_id = host.upload(data)["ID"]
    assert host.put("/instances/%s/metadata/4455" % instance_id, data=b"x").status_code == 200

    delete = host.delete("/instances/" + instance_id)
    assert delete.status_code == 200
    assert delete.content == b"" or delete.json() is not None
    assert host.get("/instances/" + instance_id).status_code == 404
    assert host.get("/instances/%s/file" % instance_id).status_code == 404
    assert host.get("/instances/%s/metadata/4455" % instance_id).status_code == 404
    assert instance_id not in host.get("/instances").json()
    assert host.delete("/instances/" + instance_id).status_code == 404

    # Deleting made room: the same file is new again, not "AlreadyStored".
    again = host.upload(data)
    assert again["Status"] == "Success" and again["ID"] == instance_id


def test_unknown_resources_are_404(host):
    assert host.get("/instances/no-such-instance").status_code == 404
    assert host.get("/no-such-route").status_code == 404


def test_chunked_upload_without_content_length(host):
    data = dicom_samples.restamped(dicom_samples.sample_by_name("MR_small.dcm"))

    def pieces():
        for start in range(0, len(data), 1000):
            yield data[start:start + 1000]

    answer = host.post("/instances", data=pieces())   # sent with Transfer-Encoding: chunked
    assert answer.status_code == 200, answer.text
    assert host.get("/instances/%s/file" % answer.json()["ID"]).content == data
