"""Concurrent clients, bad input and a hard kill: the host answers clearly,
keeps running and never indexes an incomplete file."""

import concurrent.futures
import gzip
import io
import signal
import threading
import time

import pydicom
import pytest
import requests

import dicom_samples
from conftest import HostProcess, running_host


@pytest.fixture(scope="module")
def host(host_binary, test_plugin, tmp_path_factory):
    config = {"Plugins": [test_plugin], "DicomWeb": {"Enable": True, "Root": "/dicom-web/"}}
    with running_host(host_binary, tmp_path_factory.mktemp("robust"), config) as h:
        yield h


def test_concurrent_uploads_and_plugin_calls_all_succeed(host):
    sample = dicom_samples.sample_by_name("CT_small.dcm")
    files = [dicom_samples.restamped(sample) for _ in range(24)]

    def upload(data):
        with requests.Session() as s:
            s.trust_env = False
            answer = s.post(host.url("/instances"), data=data, timeout=60)
            assert answer.status_code == 200, answer.text
            # A plug-in route that calls back into the host, at the same time.
            echo = s.get(host.url("/testplugin/rest"), params={"uri": "/instances/" + answer.json()["ID"],
                                                                "withPlugins": "1"}, timeout=60)
            assert echo.status_code == 200 and echo.json()["Code"] == 0
            return answer.json()["ID"]

    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        ids = list(pool.map(upload, files))

    assert len(set(ids)) == len(files)
    listed = set(host.get("/instances").json())
    assert set(ids) <= listed
    changes = host.get("/changes?since=0&limit=100000").json()["Changes"]
    new = [c["ID"] for c in changes if c["ChangeType"] == "NewInstance"]
    assert sorted(i for i in new if i in set(ids)) == sorted(ids)   # each exactly once
    for instance_id, data in zip(ids[:5], files[:5]):
        assert host.get("/instances/%s/file" % instance_id).content == data


@pytest.mark.parametrize("headers,body", [
    ({"Content-Encoding": "gzip"}, gzip.compress(b"gzip of something that is not DICOM")),
    ({"Content-Encoding": "gzip"}, gzip.compress(b"\0" * 128 + b"DICM")[:20]),   # truncated stream
    ({"Content-Encoding": "gzip"}, b"not gzip at all"),   # once answered 413, as if too large
    # A trailer that claims more than the stream holds: neither decoder may believe it.
    ({"Content-Encoding": "gzip"}, gzip.compress(b"\0" * 128 + b"DICM" + b"x" * 1000)[:-4] + b"\x00\x00\x01\x00"),
], ids=["gzip-of-garbage", "truncated-gzip", "not-gzip", "lying-size"])
def test_bad_gzip_uploads_answer_400(host, headers, body):
    before = len(host.get("/instances").json())
    assert host.post("/instances", data=body, headers=headers).status_code == 400
    assert len(host.get("/instances").json()) == before


@pytest.mark.parametrize("path", [
    "/changes?since=abc",
    "/changes?limit=abc",
    "/dicom-web/studies?limit=abc",
])
def test_bad_query_arguments_answer_400_not_a_crash(host, path):
    assert host.get(path).status_code == 400
    assert host.get("/system").status_code == 200


def test_truncated_multipart_and_dicom_parts(host):
    good = dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm"))
    uid = pydicom.dcmread(io.BytesIO(good)).SOPInstanceUID
    boundary = "trunc"
    content_type = 'multipart/related; type="application/dicom"; boundary=' + boundary
    # No closing boundary.
    body = b"--trunc\r\nContent-Type: application/dicom\r\n\r\n" + good + b"\r\n"
    answer = host.post("/dicom-web/studies", data=body, headers={"Content-Type": content_type})
    assert answer.status_code in (200, 400)
    # A part that is a DICOM file cut in half fails; the whole one next to it is stored.
    body = (b"--trunc\r\nContent-Type: application/dicom\r\n\r\n" + good[:len(good) // 2] + b"\r\n"
            + b"--trunc\r\nContent-Type: application/dicom\r\n\r\n" + good + b"\r\n--trunc--\r\n")
    answer = host.post("/dicom-web/studies", data=body, headers={"Content-Type": content_type})
    assert answer.status_code == 202, answer.text
    stored = [item["00081155"]["Value"][0] for item in answer.json()["00081199"]["Value"]]
    assert stored == [uid]
    # A lying part Content-Length.
    body = (b"--trunc\r\nContent-Type: application/dicom\r\nContent-Length: 99999999\r\n\r\n"
            + good + b"\r\n--trunc--\r\n")
    answer = host.post("/dicom-web/studies", data=body, headers={"Content-Type": content_type})
    assert answer.status_code in (200, 400, 409)
    if answer.status_code == 200:
        # The boundary was trusted over the length: then the part must be whole.
        assert [item["00081155"]["Value"][0] for item in answer.json()["00081199"]["Value"]] == [uid]
    assert host.get("/system").status_code == 200


@pytest.mark.parametrize("name", ["MR_small.dcm", "CT_small.dcm", "JPEG-lossy.dcm", "SC_rgb_jpeg_dcmtk.dcm",
                                  "ExplVR_BigEnd.dcm", "image_dfl.dcm"])
def test_a_file_cut_short_is_refused_and_the_whole_one_indexed(host, name):
    # Native and encapsulated pixel data, trailing padding (CT), big endian and deflated data sets.
    good = dicom_samples.restamped(dicom_samples.sample_by_name(name))
    before = len(host.get("/instances").json())
    # (A deflated file may end with padding after its deflate stream, which a cut by
    # one byte removes harmlessly: that one is only cut in half.)
    for cut in (len(good) // 2,) + (() if name == "image_dfl.dcm" else (len(good) - 1, len(good) - 9)):
        assert host.post("/instances", data=good[:cut]).status_code == 400, cut
    assert len(host.get("/instances").json()) == before
    assert host.post("/instances", data=good).status_code == 200
    dataset = pydicom.dcmread(io.BytesIO(good))
    found = host.get("/dicom-web/instances?SOPInstanceUID=%s&includefield=all" % dataset.SOPInstanceUID).json()
    assert len(found) == 1
    for tag in ("00100020", "0020000D", "0020000E", "00080060", "00200013", "00080020"):
        element = dataset.get(int(tag, 16))
        if element is not None and element.value not in (None, ""):
            assert str(found[0][tag]["Value"][0]).strip() == str(element.value).strip(), tag


def test_pixel_data_look_alikes_cannot_stall_the_parse(host):
    # A whole header, then 200,000 items each holding what looks like the start of
    # encapsulated pixel data: checking each look-alike to the end was quadratic.
    head = dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm"))
    head = head[:head.rindex(b"\xe0\x7f\x10\x00")]
    look_alike = b"\xe0\x7f\x10\x00OB\0\0\xff\xff\xff\xff"
    body = head + look_alike + (b"\xfe\xff\x00\xe0\x0c\0\0\0" + look_alike) * 200000
    assert host.post("/instances", data=body, timeout=30).status_code == 400


def test_a_hard_kill_never_leaves_an_index_entry_without_its_file(host_binary, tmp_path):
    storage = str(tmp_path / "storage")
    sample = dicom_samples.sample_by_name("waveform_ecg.dcm")    # one of the larger files
    files = [dicom_samples.restamped(sample) for _ in range(20)]
    host = HostProcess(host_binary, tmp_path / "first", {"StorageDirectory": storage}).start()

    stop = threading.Event()

    def keep_uploading():
        with requests.Session() as s:
            s.trust_env = False
            for data in files:
                if stop.is_set():
                    return
                try:
                    s.post(host.url("/instances"), data=data, timeout=10)
                except requests.RequestException:
                    return

    uploaders = [threading.Thread(target=keep_uploading) for _ in range(3)]
    for t in uploaders:
        t.start()
    time.sleep(0.4)
    host.process.send_signal(signal.SIGKILL)
    host.process.wait()
    stop.set()
    for t in uploaders:
        t.join()

    with running_host(host_binary, tmp_path / "second", {"StorageDirectory": storage}) as again:
        ids = again.get("/instances").json()
        for instance_id in ids:
            described = again.get("/instances/" + instance_id).json()
            content = again.get("/instances/%s/file" % instance_id).content
            assert len(content) == described["FileSize"]
            ds = pydicom.dcmread(io.BytesIO(content))
            assert ds.SOPInstanceUID == described["MainDicomTags"]["SOPInstanceUID"]
            assert content in files   # complete, byte for byte
        # What was not stored can be stored now.
        for data in files:
            assert again.post("/instances", data=data).status_code == 200
        assert len(again.get("/instances").json()) == len(files)
