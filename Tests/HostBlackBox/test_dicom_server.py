"""The DICOM server: DCMTK's echoscu and storescu as modalities, peers that
misbehave (written by hand below, as no toolkit sends silence or halves),
and the limits that keep one peer from holding the others."""

import concurrent.futures
import io
import json
import socket
import struct
import subprocess
import time

import pydicom
import pytest
from pydicom import uid
from pydicom.filebase import DicomBytesIO
from pydicom.filewriter import write_dataset

import dicom_samples
from conftest import clean_environment, free_port, run_dcmtk, running_host

TIMEOUT = 2   # the hosts' "DicomTimeout", short so that silences end quickly
AET = "KESTRUM-TEST"
CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"

# storescu's proposal, a sample, and the transfer syntax the host must store it in.
TRANSFER_SYNTAXES = [
    (["-xi"], "MR_small.dcm", uid.ImplicitVRLittleEndian),
    (["-xd"], "image_dfl.dcm", uid.DeflatedExplicitVRLittleEndian),
    (["-xy"], "SC_rgb_jpeg_dcmtk.dcm", uid.JPEGBaseline8Bit),
    (["-xx"], "JPEG-lossy.dcm", uid.JPEGExtended12Bit),
    (["-xs"], "SC_rgb_jpeg_gdcm.dcm", uid.JPEGLosslessSV1),
    (["-xv"], "GDCMJ2K_TextGBR.dcm", uid.JPEG2000Lossless),
    (["-xw"], "SC_rgb_gdcm_KY.dcm", uid.JPEG2000),
]


@pytest.fixture(scope="module")
def host(host_binary, tmp_path_factory):
    config = {"DicomAet": AET, "DicomCheckCalledAet": True, "DicomTimeout": TIMEOUT, "MaximumBodySize": 1}
    with running_host(host_binary, tmp_path_factory.mktemp("dicom"), config, dicom=True) as h:
        yield h


def read(data):
    return pydicom.dcmread(io.BytesIO(data), force=True)


def write_restamped(folder, count):
    paths = []
    for i in range(count):
        path = folder / ("restamped-%d.dcm" % i)
        path.write_bytes(dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm")))
        paths.append(path)
    return paths


# ---- A peer written by hand ----

def pdu(kind, payload):
    return struct.pack(">BBI", kind, 0, len(payload)) + payload


def item(kind, payload):
    return struct.pack(">BBH", kind, 0, len(payload)) + payload


def associate_request(called):
    context = item(0x30, CT_IMAGE_STORAGE.encode()) + item(0x40, uid.ExplicitVRLittleEndian.encode())
    user = item(0x51, struct.pack(">I", 16384)) + item(0x52, b"1.2.826.0.1.3680043.9.7433.1")
    return pdu(0x01, struct.pack(">HH", 1, 0) + called.ljust(16).encode() + b"RAWPEER".ljust(16) + bytes(32) +
               item(0x10, b"1.2.840.10008.3.1.1.1") + item(0x20, bytes([1, 0, 0, 0]) + context) + item(0x50, user))


def element(number, value):
    value = value.encode() if isinstance(value, str) else struct.pack("<H", value)
    value += b"\0" * (len(value) % 2)
    return struct.pack("<HHI", 0, number, len(value)) + value


def store_command(sop_instance_uid):
    body = (element(0x0002, CT_IMAGE_STORAGE) + element(0x0100, 0x0001) + element(0x0110, 1) +
            element(0x0700, 0) + element(0x0800, 0) + element(0x1000, sop_instance_uid))
    return struct.pack("<HHII", 0, 0, 4, len(body)) + body


def dataset_bytes(dataset):
    out = DicomBytesIO()
    out.is_little_endian, out.is_implicit_VR = True, False
    write_dataset(out, dataset)
    return out.getvalue()


class RawPeer:
    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=10)

    def send(self, data):
        self.socket.sendall(data)

    def receive(self, count):
        data = b""
        while len(data) < count:
            chunk = self.socket.recv(count - len(data))
            assert chunk, "the host closed the connection"
            data += chunk
        return data

    def read_pdu(self):
        head = self.receive(6)
        return head[0], self.receive(struct.unpack(">I", head[2:])[0])

    def associate(self):
        self.send(associate_request(AET))
        assert self.read_pdu()[0] == 0x02, "no A-ASSOCIATE-AC"
        return self

    def send_store(self, sop_instance_uid, dataset, whole=True):
        # PDV: length, context 1, control bits (1 = command, 2 = last fragment).
        self.send(pdu(0x04, struct.pack(">IBB", len(store_command(sop_instance_uid)) + 2, 1, 3) +
                      store_command(sop_instance_uid)))
        self.send(pdu(0x04, struct.pack(">IBB", len(dataset) + 2, 1, 2 if whole else 0) + dataset))

    def store_status(self):
        kind, body = self.read_pdu()
        assert kind == 0x04, "not a P-DATA-TF: 0x%02x" % kind
        command, offset = body[6:], 0
        while offset < len(command):
            group, number, length = struct.unpack_from("<HHI", command, offset)
            if (group, number) == (0, 0x0900):
                return struct.unpack_from("<H", command, offset + 8)[0]
            offset += 8 + length
        raise AssertionError("no status in the C-STORE response")

    def wait_for_close(self):
        """The host ends the connection: an A-ABORT, the end of the stream, or
        a reset when it closed with the peer's bytes unread."""
        self.socket.settimeout(TIMEOUT + 5)
        try:
            kind = self.socket.recv(1)
        except ConnectionResetError:
            return
        assert kind in (b"", b"\x07"), kind

    def close(self):
        self.socket.close()


# ---- Modalities ----

def test_modalities_store_in_every_usual_transfer_syntax_over_concurrent_associations(host, tmp_path):
    assert host.echoscu().returncode == 0
    several = write_restamped(tmp_path, 5)
    runs = [([], several)] + [(options, [dicom_samples.sample_by_name(name).path])
                              for options, name, _ in TRANSFER_SYNTAXES]
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(runs)) as pool:
        results = list(pool.map(lambda run: host.storescu(run[1], *run[0]), runs))
    for (options, _), result in zip(runs, results):
        assert result.returncode == 0, (options, result.stderr.decode())

    stored = host.files_by_sop_uid()
    for path in several:
        kept = read(stored[read(path.read_bytes()).SOPInstanceUID])
        assert kept.file_meta.TransferSyntaxUID == uid.ExplicitVRLittleEndian
    for options, name, transfer_syntax in TRANSFER_SYNTAXES:
        sent = read(dicom_samples.sample_by_name(name).read_bytes())
        kept = read(stored[sent.SOPInstanceUID])
        assert kept.file_meta.TransferSyntaxUID == transfer_syntax, name
        assert kept.file_meta.SourceApplicationEntityTitle == "STORESCU", name
        assert kept.PixelData == sent.PixelData, name   # compressed frames kept as they came
    # The same identifiers and the same index as an HTTP upload.
    again = host.upload(several[0].read_bytes())
    assert again["Status"] == "AlreadyStored"
    changes = host.get("/changes?since=0&limit=1000").json()["Changes"]
    assert again["ID"] in [c["ID"] for c in changes if c["ChangeType"] == "NewInstance"]


def test_a_wrong_called_title_is_refused(host):
    result = run_dcmtk("echoscu", ["-aec", "SOMEONE"], host.dicom_port)
    assert result.returncode != 0
    assert b"Association Rejected" in result.stdout + result.stderr
    assert 'calls "SOMEONE", not "%s"' % AET in host.log_text()


def test_instances_that_cannot_be_stored_get_a_failure_status(host, tmp_path):
    # Larger than "MaximumBodySize" (1 MiB): refused, and the association goes on.
    big = read(dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm")))
    big.Rows = big.Columns = 1024
    big.PixelData = bytes(2 * 1024 * 1024)
    big.save_as(str(tmp_path / "big.dcm"))
    before = set(host.instances())
    result = host.storescu([tmp_path / "big.dcm"] + write_restamped(tmp_path, 1), "-v", "--no-halt")
    assert b"Received Store Response (Refused: OutOfResources)" in result.stdout + result.stderr
    assert len(set(host.instances()) - before) == 1

    # Not usable DICOM, from a peer that storescu would not be.
    no_sop_instance = pydicom.Dataset()
    no_sop_instance.SOPClassUID = CT_IMAGE_STORAGE
    no_sop_instance.PatientID = "NO-SOP-INSTANCE"
    before = set(host.instances())
    peer = RawPeer(host.dicom_port).associate()
    peer.send_store("1.2.826.0.1.3680043.9.7433.2.1", dataset_bytes(no_sop_instance))
    assert peer.store_status() == 0xC000
    peer.send(pdu(0x05, bytes(4)))   # A-RELEASE-RQ
    assert peer.read_pdu()[0] == 0x06
    peer.close()
    assert set(host.instances()) == before
    assert "refused: The DICOM file has no SOP Instance UID" in host.log_text()


# ---- Peers that misbehave ----

def silent_connection(peer):
    return "no whole association request within %d s" % TIMEOUT


def garbage(peer):
    peer.send(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    return "not an association request (its first byte is 0x47)"


def truncated_request(peer):
    peer.send(associate_request(AET)[:40])
    peer.socket.shutdown(socket.SHUT_WR)
    return "closed by the peer before a whole association request"


def malformed_request(peer):
    body = associate_request(AET)[6:]
    peer.send(pdu(0x01, body[:130]))   # ends inside its presentation context
    return "a malformed association request"


def silent_association(peer):
    peer.associate()
    return "no command within %d s" % TIMEOUT


def truncated_instance(peer):
    dataset = dataset_bytes(read(dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm"))))
    half = len(dataset) // 4 * 2   # fragments have even lengths
    peer.associate().send_store("1.2.826.0.1.3680043.9.7433.2.2", dataset[:half], whole=False)
    peer.socket.shutdown(socket.SHUT_WR)
    return "the data set did not arrive whole, nothing stored"


@pytest.mark.parametrize("misbehave", [silent_connection, garbage, truncated_request, malformed_request,
                                       silent_association, truncated_instance], ids=lambda f: f.__name__)
def test_a_misbehaving_peer_is_closed_with_its_cause_logged_while_others_are_served(host, tmp_path, misbehave):
    before = set(host.instances())
    peer = RawPeer(host.dicom_port)
    try:
        cause = misbehave(peer)
        good = write_restamped(tmp_path, 1)
        assert host.storescu(good).returncode == 0   # served meanwhile
        peer.wait_for_close()
    finally:
        peer.close()
    assert cause in host.log_text()
    stored = set(host.instances()) - before
    assert len(stored) == 1   # the good instance alone: nothing half written
    assert host.get("/instances/%s" % stored.pop()).json()["MainDicomTags"]["SOPInstanceUID"] == \
        read(good[0].read_bytes()).SOPInstanceUID


# ---- Limits ----

def test_beyond_its_limit_the_server_refuses_and_a_stop_waits_for_no_peer(host_binary, tmp_path):
    config = {"DicomMaxAssociations": 1, "DicomTimeout": 60}
    with running_host(host_binary, tmp_path, config, dicom=True) as busy:
        peer = RawPeer(busy.dicom_port).associate()
        dataset = dataset_bytes(read(dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm"))))
        peer.send_store("1.2.826.0.1.3680043.9.7433.2.3", dataset[:1000], whole=False)
        refused = busy.echoscu()
        assert refused.returncode != 0 and b"Association Rejected" in refused.stdout + refused.stderr
        assert "1 associations are already served" in busy.log_text()
        silent = socket.create_connection(("127.0.0.1", busy.dicom_port))
        assert busy.instances() == []
        started = time.time()
        assert busy.stop() == 0
        assert time.time() - started < 5, "the stop waited for a peer"
        silent.close()
        peer.close()


def test_a_dicom_port_in_use_stops_the_start(host_binary, tmp_path):
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", 0))
        taken.listen(1)
        config = {"HttpPort": free_port(), "DicomPort": taken.getsockname()[1],
                  "StorageDirectory": str(tmp_path / "storage")}
        (tmp_path / "config.json").write_text(json.dumps(config))
        result = subprocess.run([host_binary, str(tmp_path / "config.json")], capture_output=True, timeout=30,
                                cwd=str(tmp_path), env=clean_environment())
    assert result.returncode == 1
    assert b"The TCP port %d of the DICOM server is privileged or already in use" % config["DicomPort"] \
        in result.stderr
