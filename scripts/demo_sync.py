#!/usr/bin/python3
"""Live demo: two kestrum-host servers, the plug-in syncing one into the other.

The destination listens on port 8042 (the default server of the "corvad"
destination kind); the source, with the plug-in, on port 8043 by default.
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

import requests

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "Tests", "Common"))
import dicom_samples  # noqa: E402

HOST_BINARY = os.path.join(ROOT, "build", "bin", "kestrum-host")
PLUGIN = os.path.join(ROOT, "build", "lib", "libQuelbyCloud.so")
API = "/plugins/quelby-cloud/api"


def start_host(name, port, workdir, plugins):
    folder = os.path.join(workdir, name)
    os.makedirs(folder, exist_ok=True)
    config = {
        "Name": name,
        "HttpPort": port,
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source-port", type=int, default=8043)
    parser.add_argument("--no-wait", action="store_true", help="stop the hosts at the end instead of waiting for Ctrl-C")
    args = parser.parse_args()

    for port in (8042, args.source_port):
        if not port_is_free(port):
            raise SystemExit("Port %d is already in use: stop what listens there and retry" % port)

    workdir = os.path.join(ROOT, "build", "demo")
    shutil.rmtree(workdir, ignore_errors=True)
    processes = []
    try:
        destination, destination_url, destination_log = start_host("destination", 8042, workdir, [])
        processes.append(destination)
        source, source_url, source_log = start_host("source", args.source_port, workdir, [PLUGIN])
        processes.append(source)
        print("Destination host: %s (log %s)" % (destination_url, destination_log))
        print("Source host with the plug-in: %s (log %s)" % (source_url, source_log))

        samples = dicom_samples.select_samples()
        print("\nUploading %d DICOM files to the source..." % len(samples))
        expected = {}
        for sample in samples:
            content = sample.read_bytes()
            answer = requests.post(source_url + "/instances", data=content, timeout=30)
            answer.raise_for_status()
            expected[answer.json()["ID"]] = content

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
