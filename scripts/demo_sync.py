#!/usr/bin/python3
"""Live demo: two kestrum-host servers, the plug-in syncing one into the other.

The destination listens on port 8042 (the default server of the "corvad"
destination kind), without a DICOM server; the source, with the plug-in, on
port 8043 by default, and receives the files over DICOM on port 4242 from
DCMTK's storescu, as from a modality (--http-upload: POST /instances instead).
Press Ctrl-C to stop both hosts.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import warnings

import pydicom
import requests

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "Tests", "Common"))
import dicom_samples  # noqa: E402
import kestrum_host  # noqa: E402  (storescu's run)

HOST_BINARY = os.path.join(ROOT, "build", "bin", "kestrum-host")
PLUGIN = os.path.join(ROOT, "build", "lib", "libQuelbyCloud.so")
API = "/plugins/quelby-cloud/api"


def start_host(name, port, dicom_port, workdir, plugins):
    folder = os.path.join(workdir, name)
    os.makedirs(folder, exist_ok=True)
    config = {
        "Name": name,
        "HttpPort": port,
        "DicomPort": dicom_port,
        "StorageDirectory": os.path.join(folder, "storage"),
        "Plugins": plugins,
    }
    config_path = os.path.join(folder, "config.json")
    with open(config_path, "w") as f:
        json.dump(config, f, indent=2)
    log = open(os.path.join(folder, "host.log"), "w")
    process = subprocess.Popen([HOST_BINARY, config_path], stdout=log, stderr=subprocess.STDOUT)
    url = "http://127.0.0.1:%d" % port
    for _ in range(100):
        if process.poll() is not None:
            raise SystemExit("%s host stopped at start-up, see %s" % (name, log.name))
        try:
            requests.get(url + "/system", timeout=1).raise_for_status()
            return process, url, log.name
        except requests.RequestException:
            time.sleep(0.1)
    raise SystemExit("%s host did not answer on port %d, see %s" % (name, port, log.name))


def stop(processes):
    for process in processes:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
    for process in processes:
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()


def port_is_free(port):
    import socket
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def send_over_dicom(samples, port):
    """The files to the source's DICOM port with DCMTK's storescu, as a modality sends them. storescu
    proposes a compressed transfer syntax only when asked, one per run: the files go by theirs."""
    by_syntax = {}
    for sample in samples:
        by_syntax.setdefault(STORESCU_PROPOSALS.get(transfer_syntax(sample.path), ""), []).append(sample.path)
    print("\nSending %d DICOM files to the source's DICOM port with storescu (%d associations)..."
          % (len(samples), len(by_syntax)))
    for proposal, paths in sorted(by_syntax.items()):
        options = ["-R", "-aet", "DEMO", "-aec", "KESTRUM"] + ([proposal] if proposal else [])
        result = kestrum_host.run_dcmtk("storescu", options, port, paths)
        if result.returncode != 0:
            raise SystemExit("storescu failed:\n" + result.stderr.decode(errors="replace"))


def transfer_syntax(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        meta = getattr(pydicom.dcmread(path, force=True, stop_before_pixels=True), "file_meta", None)
    return str(meta.get("TransferSyntaxUID", "")) if meta is not None else ""


# storescu's option that proposes each compressed transfer syntax of the samples.
STORESCU_PROPOSALS = {
    "1.2.840.10008.1.2.1.99": "-xd",
    "1.2.840.10008.1.2.4.50": "-xy",
    "1.2.840.10008.1.2.4.51": "-xx",
    "1.2.840.10008.1.2.4.57": "-xs",
    "1.2.840.10008.1.2.4.70": "-xs",
    "1.2.840.10008.1.2.4.90": "-xv",
    "1.2.840.10008.1.2.4.91": "-xw",
    "1.2.840.10008.1.2.5": "-xr",
}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source-port", type=int, default=8043)
    parser.add_argument("--source-dicom-port", type=int, default=4242)
    parser.add_argument("--http-upload", action="store_true",
                        help="upload the files with POST /instances instead of sending them over DICOM")
    parser.add_argument("--no-wait", action="store_true", help="stop the hosts at the end instead of waiting for Ctrl-C")
    args = parser.parse_args()

    for port in (8042, args.source_port, args.source_dicom_port):
        if not port_is_free(port):
            raise SystemExit("Port %d is already in use: stop what listens there and retry" % port)

    workdir = os.path.join(ROOT, "build", "demo")
    shutil.rmtree(workdir, ignore_errors=True)
    processes = []
    try:
        destination, destination_url, destination_log = start_host("destination", 8042, 0, workdir, [])
        processes.append(destination)
        source, source_url, source_log = start_host("source", args.source_port, args.source_dicom_port,
                                                    workdir, [PLUGIN])
        processes.append(source)
        print("Destination host: %s (log %s)" % (destination_url, destination_log))
        print("Source host with the plug-in: %s, DICOM port %d, title KESTRUM (log %s)"
              % (source_url, args.source_dicom_port, source_log))

        samples = dicom_samples.select_samples()
        if args.http_upload:
            print("\nUploading %d DICOM files to the source..." % len(samples))
            for sample in samples:
                requests.post(source_url + "/instances", data=sample.read_bytes(), timeout=30).raise_for_status()
        else:
            send_over_dicom(samples, args.source_dicom_port)
        # What the source stored is what must arrive (storescu may re-encode what it sends).
        expected = {}
        for instance_id in requests.get(source_url + "/instances", timeout=30).json():
            expected[instance_id] = requests.get(source_url + "/instances/%s/file" % instance_id, timeout=30).content
        if len(expected) != len(samples):
            raise SystemExit("The source holds %d of the %d files sent" % (len(expected), len(samples)))

        print("Connecting the source to the destination (kind \"corvad\")...")
        parameters = {"id": "corvad"}
        test = requests.post(source_url + API + "/test-connection", data=json.dumps(parameters), timeout=30).json()
        print("  test connection: %s" % ("success" if test.get("success") else "failed"))
        requests.post(source_url + API + "/connect", data=json.dumps(parameters), timeout=30).raise_for_status()
        requests.post(source_url + API + "/replay", timeout=30).raise_for_status()

        deadline = time.time() + 120
        arrived = []
        while time.time() < deadline:
            arrived = requests.get(destination_url + "/instances", timeout=10).json()
            status = requests.get(source_url + API + "/status", timeout=10).json()
            print("  arrived %3d / %d   pending %s   sent %s   errors %s   %s MB" % (
                len(arrived), len(expected), status["InstancesPending"], status["InstancesSuccess"],
                status["InstancesError"], status["TransferedSizeMB"]))
            if len(arrived) >= len(expected):
                break
            time.sleep(0.5)

        identical = 0
        for instance_id, content in expected.items():
            answer = requests.get(destination_url + "/instances/%s/file" % instance_id, timeout=30)
            if answer.status_code == 200 and answer.content == content:
                identical += 1
        print("\nThe destination holds %d of %d instances, byte-identical." % (identical, len(expected)))
        if identical != len(expected):
            raise SystemExit("Some instances did not arrive: see the logs above")

        print("\nThe plug-in's web page: %s/plugins/quelby-cloud/app/index.html" % source_url)
        if not args.no_wait:
            print("Press Ctrl-C to stop both hosts.")
            while True:
                time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        stop(processes)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    main()
