#!/usr/bin/python3
"""End-to-end synchronization throughput between two kestrum-host processes.

A source host holding N real DICOM files (pydicom's bundled samples with new
UIDs, padded to the requested size with a private element) loads the
plug-in; a destination host receives. For each protocol the source is
restarted with a stored state naming an empty destination, automated
routing off, and the time is taken from the replay request to the arrival of
the last instance. Next to it, curl posts the same files as 5 MiB STOW-RS
batches to an empty destination, and the replay scan's own cap (100 changes
per 100 ms, so 1,000 instances/s times the file size) is printed.

    /usr/bin/python3 Benchmarks/sync_throughput.py \\
        --host-binary build/bin/kestrum-host --plugin build/lib/libQuelbyCloud.so
"""

import argparse
import io
import json
import os
import subprocess
import sys
import tempfile
import time
import uuid
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "Tests", "Common"))
sys.path.insert(0, os.path.join(HERE, "..", "Tests", "SyncBlackBox"))

import pydicom  # noqa: E402
from pydicom.uid import generate_uid  # noqa: E402

import dicom_samples  # noqa: E402
import test_sync  # noqa: E402  (the two-host helpers of the black-box test)

MIB = 1024 * 1024
STOW_BATCH_BYTES = 5 * MIB
SCAN_CAP_INSTANCES_PER_S = 1000.0


def make_files(count, size):
    """`count` distinct DICOM files of about `size` bytes each."""
    sample = dicom_samples.sample_by_name("CT_small.dcm")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        template = pydicom.dcmread(sample.path, force=True)
    files = []
    for _ in range(count):
        ds = template.copy()
        ds.StudyInstanceUID = generate_uid()
        ds.SeriesInstanceUID = generate_uid()
        ds.SOPInstanceUID = generate_uid()
        ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
        out = io.BytesIO()
        ds.save_as(out, write_like_original=True)
        padding = max(0, size - len(out.getvalue()) - 64)
        ds.add_new((0x0011, 0x0010), "LO", "QUELBY BENCH")
        ds.add_new((0x0011, 0x1001), "OB", b"\0" * (padding + padding % 2))
        out = io.BytesIO()
        ds.save_as(out, write_like_original=True)
        files.append(out.getvalue())
    return files


def memory_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def wait_for_count(destination, count, timeout, source):
    """Time of the last arrival. A failed batch is never retried, so it ends the wait."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        if len(destination.instances()) >= count:
            return time.time()
        if "Error during synchronization" in source.log():
            break
        time.sleep(0.05)
    raise RuntimeError("only %d of %d instances arrived" % (len(destination.instances()), count))


def server_json(destination, protocol, compress):
    if protocol == "DicomWeb":
        return {"ModalityName": "bench", "Url": destination.base_url + "/dicom-web", "Compress": False,
                "HttpHeaders": {}, "PublicParameters": {}, "ServerType": "Generic", "ProtocolType": "DicomWeb"}
    return {"ModalityName": "bench", "Url": destination.base_url, "Compress": compress,
            "HttpHeaders": {}, "PublicParameters": {}, "ServerType": "Kestrum", "ProtocolType": "Native"}


class Destination(test_sync.Host):
    """A destination host with its DICOMweb service on."""

    def write_config(self, port):
        self.port = port
        with open(self.config_path, "w") as f:
            json.dump({"HttpPort": port, "StorageDirectory": os.path.join(self.workdir, "storage"),
                       "Plugins": [], "DicomWeb": {"Enable": True, "Root": "/dicom-web/"}}, f)


def run_sync(workdir, source, name, protocol, compress, count, timeout):
    destination = Destination(os.path.join(workdir, "dest-" + name)).start()
    try:
        state = {"SynchronizationUuid": str(uuid.uuid4()), "AutomatedRouting": False,
                 "AutomatedDeletion": False, "ActiveServer": server_json(destination, protocol, compress)}
        source.set_global_property(5467, json.dumps(state, indent=3))
        source.start()
        try:
            time.sleep(1.0)
            idle = memory_kib(source.process.pid, "VmRSS")
            start = time.time()
            answer = source.post("/plugins/quelby-cloud/api/replay")
            if answer.text != "ok":
                raise RuntimeError("replay refused: %d %s" % (answer.status_code, answer.text))
            end = wait_for_count(destination, count, timeout, source)
            peak = memory_kib(source.process.pid, "VmHWM")
        finally:
            source.stop()
        return end - start, idle, peak
    finally:
        destination.stop()


def stow_bodies(files, workdir):
    """The files as multipart/related bodies of about 5 MiB, written to disk for curl."""
    bodies, current, size = [], [], 0
    for data in files:
        current.append(data)
        size += len(data)
        if size > STOW_BATCH_BYTES:
            bodies.append(current)
            current, size = [], 0
    if current:
        bodies.append(current)
    paths = []
    boundary = uuid.uuid4().hex
    for i, parts in enumerate(bodies):
        path = os.path.join(workdir, "stow-%d.bin" % i)
        with open(path, "wb") as f:
            for data in parts:
                f.write(b"--" + boundary.encode() + b"\r\nContent-Type: application/dicom\r\n\r\n")
                f.write(data + b"\r\n")
            f.write(b"--" + boundary.encode() + b"--")
        paths.append(path)
    return boundary, paths


def run_curl(workdir, files):
    boundary, paths = stow_bodies(files, workdir)
    destination = Destination(os.path.join(workdir, "dest-curl")).start()
    try:
        start = time.time()
        for path in paths:
            subprocess.run(["curl", "-sS", "--fail", "--noproxy", "*", "-o", os.devnull,
                            "-X", "POST", "-H", "Expect:", "-H",
                            'Content-Type: multipart/related; type="application/dicom"; boundary=' + boundary,
                            "-H", "Accept: application/dicom+json", "--data-binary", "@" + path,
                            destination.base_url + "/dicom-web/studies"], check=True)
        elapsed = time.time() - start
        if len(destination.instances()) != len(files):
            raise RuntimeError("curl: %d of %d stored" % (len(destination.instances()), len(files)))
        return elapsed
    finally:
        destination.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-binary", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--size-kib", type=int, default=512)
    parser.add_argument("--timeout", type=float, default=600)
    args = parser.parse_args()

    test_sync.HOST_BINARY = os.path.abspath(args.host_binary)
    plugin = os.path.abspath(args.plugin)

    files = make_files(args.files, args.size_kib * 1024)
    total_mb = sum(len(f) for f in files) / MIB
    mean_size = sum(len(f) for f in files) / len(files)
    scan_cap = SCAN_CAP_INSTANCES_PER_S * mean_size / MIB

    with tempfile.TemporaryDirectory(prefix="sync-bench-") as workdir:
        curl_s = run_curl(workdir, files)
        curl_mbs = total_mb / curl_s
        reference = min(curl_mbs, scan_cap)

        source = test_sync.Host(os.path.join(workdir, "source"), plugins=[plugin]).start()
        for data in files:
            answer = source.post("/instances", data)
            if answer.status_code != 200:
                raise RuntimeError("upload to the source: %d" % answer.status_code)
        source.stop()

        print("%d files, %.1f KiB each, %.1f MB in all" % (len(files), mean_size / 1024, total_mb))
        print("| mode | seconds | instances/s | MB/s | ratio to min(curl, scan cap) | source peak RSS above idle (MiB) |")
        print("|---|---|---|---|---|---|")
        print("| curl STOW-RS, 5 MiB batches | %.2f | %.0f | %.1f | - | - |"
              % (curl_s, len(files) / curl_s, curl_mbs))
        print("| scan cap (1,000 instances/s x file size) | - | 1000 | %.1f | - | - |" % scan_cap)
        for name, protocol, compress in (("dicomweb", "DicomWeb", False),
                                         ("peer", "Native", False),
                                         ("peer-gzip", "Native", True)):
            try:
                seconds, idle, peak = run_sync(workdir, source, name, protocol, compress,
                                                       len(files), args.timeout)
            except RuntimeError as e:
                print("| %s | failed: %s | | | | |" % (name, e))
                continue
            mbs = total_mb / seconds
            print("| %s | %.2f | %.0f | %.1f | %.2f | %.1f |"
                  % (name, seconds, len(files) / seconds, mbs, mbs / reference, (peak - idle) / 1024.0))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
