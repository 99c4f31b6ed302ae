#!/usr/bin/python3
"""STOW-RS receive throughput of kestrum-host, side by side in one run with
DCMTK's storescu -> storescp on the same files and the raw loopback upload
rate of the same bodies to a null sink that reads and discards them.

The files are those of sync_throughput.py: N distinct DICOM files of about the
requested size (pydicom's CT sample with pixel-like content), sent to the host
as multipart/related STOW-RS bodies of about 5 MiB (the plug-in's batch size),
posted one after the other on one keep-alive connection from memory. storescu
reads the same files from disk. Both receivers store on the same file system
(--workdir). Every host answer is checked (200, one reference per part), and
storescp's folder is counted.

    /usr/bin/python3 Benchmarks/stow_receive.py --host-binary build-perf/bin/kestrum-host \\
        [--compare-binary OTHER/kestrum-host] [--files 1000 --size-kib 512] [--workdir /dev/shm]

--compare-binary runs a second host build in the same run (another HTTP server, say).
"""

import argparse
import http.client
import json
import multiprocessing
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "Tests", "Common"))

import sync_throughput  # noqa: E402  (its test data and its storescu -> storescp run)

MIB = 1024 * 1024
MB = 1e6
BODY_BYTES = 5 * MIB


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- Bodies ----

def build_bodies(files):
    """The files as STOW-RS bodies of about 5 MiB: list of (body, content type, parts)."""
    result = []
    for parts in sync_throughput.group_files(files, BODY_BYTES):
        boundary = "stow-" + uuid.uuid4().hex
        chunks = [(b"--%s\r\nContent-Type: application/dicom\r\nContent-Length: %d\r\n\r\n"
                   % (boundary.encode(), len(data))) + data + b"\r\n" for data in parts]
        chunks.append(b"--%s--\r\n" % boundary.encode())
        content_type = 'multipart/related; type="application/dicom"; boundary=%s' % boundary
        result.append((b"".join(chunks), content_type, len(parts)))
    return result


# ---- Null sink ----

def run_sink(port, ready):
    """An HTTP/1.1 server that reads each request body and throws it away."""
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(4)
    ready.set()
    while True:
        connection, _ = server.accept()
        with connection:
            stream = connection.makefile("rb", buffering=MIB)
            while True:
                headers = b""
                while not headers.endswith(b"\r\n\r\n"):
                    line = stream.readline()
                    if not line:
                        break
                    headers += line
                if not headers:
                    break
                length = 0
                for line in headers.split(b"\r\n"):
                    if line.lower().startswith(b"content-length:"):
                        length = int(line.split(b":")[1])
                while length > 0:
                    length -= len(stream.read(min(length, MIB)))
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")


# ---- Posting ----

def post_all(port, path, bodies, check):
    """Posts every body on one keep-alive connection; returns the seconds spent."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    started = time.perf_counter()
    for body, content_type, parts in bodies:
        connection.request("POST", path, body=body,
                           headers={"Content-Type": content_type, "Accept": "application/dicom+json"})
        answer = connection.getresponse()
        check(answer.status, answer.read(), parts)
    elapsed = time.perf_counter() - started
    connection.close()
    return elapsed


def check_sink(status, content, parts):
    if status != 200:
        raise SystemExit("null sink answered %d" % status)


def check_host(status, content, parts):
    if status != 200:
        raise SystemExit("kestrum-host answered %d: %s" % (status, content[:500]))
    stored = json.loads(content).get("00081199", {}).get("Value", [])
    if len(stored) != parts:
        raise SystemExit("kestrum-host stored %d of %d parts" % (len(stored), parts))


def start_host(binary, folder):
    port = free_port()
    config = {"HttpPort": port, "DicomPort": 0, "StorageDirectory": os.path.join(folder, "storage"),
              "DicomWeb": {"Enable": True, "Root": "/dicom-web/"}}
    config_path = os.path.join(folder, "config.json")
    with open(config_path, "w") as f:
        json.dump(config, f)
    log = open(os.path.join(folder, "host.log"), "wb")
    process = subprocess.Popen([binary, config_path], cwd=folder, stdout=log, stderr=log)
    deadline = time.time() + 30
    while time.time() < deadline:
        if process.poll() is not None:
            raise SystemExit("kestrum-host exited at start; see " + log.name)
        try:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
            c.request("GET", "/system")
            if c.getresponse().status == 200:
                return process, port
        except OSError:
            time.sleep(0.05)
    process.kill()
    raise SystemExit("kestrum-host did not start")


def run_host(binary, workdir, bodies):
    """(seconds, CPU seconds of the host) to store every body into an empty host.
    Its store stays until the run ends (see sync_throughput.Finished)."""
    folder = tempfile.mkdtemp(prefix="stow-host-", dir=workdir)
    process, port = start_host(os.path.abspath(binary), folder)
    try:
        cpu = sync_throughput.cpu_seconds(process.pid)
        seconds = post_all(port, "/dicom-web/studies", bodies, check_host)
        cpu = sync_throughput.cpu_seconds(process.pid) - cpu
    finally:
        process.send_signal(signal.SIGTERM)
        status = process.wait(timeout=60)
    if status != 0:
        raise SystemExit("kestrum-host exit status %d" % status)
    return seconds, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-binary", required=True)
    parser.add_argument("--compare-binary", help="a second kestrum-host build, measured in the same run")
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--size-kib", type=int, default=512)
    parser.add_argument("--workdir", default=None, help="where every receiver stores (default: the temporary folder)")
    args = parser.parse_args()

    files = sync_throughput.make_files(args.files, args.size_kib * 1024)
    bodies = build_bodies(files)
    total = sum(len(f) for f in files)
    print("%d files, %.1f KiB each on average, %.1f MB in all, in %d STOW-RS bodies; load average %.1f"
          % (len(files), total / len(files) / 1024, total / MB, len(bodies), os.getloadavg()[0]))

    sink_port = free_port()
    ready = multiprocessing.Event()
    sink = multiprocessing.Process(target=run_sink, args=(sink_port, ready), daemon=True)
    sink.start()
    ready.wait(10)
    sink_seconds = post_all(sink_port, "/", bodies, check_sink)
    sink.terminate()

    with tempfile.TemporaryDirectory(prefix="stow-bench-", dir=args.workdir) as workdir:
        folder = sync_throughput.write_files(files, os.path.join(workdir, "files"))
        print("| receiver | seconds | instances/s | MB/s | rate / storescp's just before | receiver CPU s |")
        print("|---|---|---|---|---|---|")

        def row(name, seconds, cpu, reference):
            print("| %s | %.2f | %.0f | %.1f | %s | %s |"
                  % (name, seconds, len(files) / seconds, total / MB / seconds,
                     "-" if reference is None else "%.2f" % (reference / seconds),
                     "-" if cpu is None else "%.2f" % cpu), flush=True)

        row("null sink (loopback upload of the bodies)", sink_seconds, None, None)
        builds = [("kestrum-host STOW-RS", args.host_binary)]
        if args.compare_binary:
            builds.append(("kestrum-host STOW-RS, " + args.compare_binary, args.compare_binary))
        # storescp is timed again right before each host, so that each ratio
        # compares two receivers under the same load of this shared machine.
        for name, binary in builds:
            storescu_seconds, (_, storescp_cpu) = sync_throughput.run_storescu(workdir, folder, len(files), 300)
            row("storescu -> storescp, TCP_NODELAY=1", storescu_seconds, storescp_cpu, None)
            seconds, cpu = run_host(binary, workdir, bodies)
            row(name, seconds, cpu, storescu_seconds)


if __name__ == "__main__":
    main()
