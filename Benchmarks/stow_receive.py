#!/usr/bin/python3
"""STOW-RS receive throughput of kestrum-host, next to the raw loopback upload
rate of the very same bytes to a null sink that reads and discards them.

The bodies are multipart/related STOW-RS requests of about 5 MiB built from
pydicom's bundled files, re-stamped with new UIDs so that every part is a new
instance (an instance already stored would be cheaper for the host).

    /usr/bin/python3 Benchmarks/stow_receive.py --host-binary build/bin/kestrum-host
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
sys.path.insert(0, os.path.join(HERE, "..", "Tests", "Common"))

import dicom_samples  # noqa: E402

MIB = 1024 * 1024


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- Bodies ----

def build_bodies(count, body_bytes):
    """`count` STOW-RS bodies of about `body_bytes` each: list of (body, content type, parts)."""
    # Larger files make bodies of fewer parts, closer to what a modality sends.
    sources = sorted(dicom_samples.select_samples(), key=lambda s: -os.path.getsize(s.path))[:12]
    bodies, next_source = [], 0
    for _ in range(count):
        boundary = "stow-" + uuid.uuid4().hex
        chunks, size, parts = [], 0, 0
        while size < body_bytes:
            data = dicom_samples.restamped(sources[next_source % len(sources)])
            next_source += 1
            chunk = (b"--%s\r\nContent-Type: application/dicom\r\nContent-Length: %d\r\n\r\n"
                     % (boundary.encode(), len(data))) + data + b"\r\n"
            chunks.append(chunk)
            size += len(chunk)
            parts += 1
        chunks.append(b"--%s--\r\n" % boundary.encode())
        content_type = 'multipart/related; type="application/dicom"; boundary=%s' % boundary
        bodies.append((b"".join(chunks), content_type, parts))
    return bodies


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
    elapsed = 0.0
    for body, content_type, parts in bodies:
        started = time.perf_counter()
        connection.request("POST", path, body=body,
                           headers={"Content-Type": content_type, "Accept": "application/dicom+json"})
        answer = connection.getresponse()
        content = answer.read()
        elapsed += time.perf_counter() - started
        check(answer.status, content, parts)
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
    config = {"HttpPort": port, "StorageDirectory": os.path.join(folder, "storage"),
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


def main():
    default_binary = os.environ.get("KESTRUM_HOST",
                                    os.path.join(HERE, "..", "build", "bin", "kestrum-host"))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-binary", default=default_binary)
    parser.add_argument("--bodies", type=int, default=12, help="measured bodies (one more warms up)")
    parser.add_argument("--body-mib", type=float, default=5.0)
    args = parser.parse_args()

    print("Building %d bodies of %.1f MiB..." % (args.bodies + 1, args.body_mib), flush=True)
    bodies = build_bodies(args.bodies + 1, int(args.body_mib * MIB))
    warm_up, measured = bodies[:1], bodies[1:]
    total = sum(len(b) for b, _, _ in measured)
    parts = sum(p for _, _, p in measured)

    sink_port = free_port()
    ready = multiprocessing.Event()
    sink = multiprocessing.Process(target=run_sink, args=(sink_port, ready), daemon=True)
    sink.start()
    ready.wait(10)
    post_all(sink_port, "/", warm_up, check_sink)
    sink_seconds = post_all(sink_port, "/", measured, check_sink)
    sink.terminate()

    with tempfile.TemporaryDirectory() as folder:
        process, port = start_host(os.path.abspath(args.host_binary), folder)
        try:
            post_all(port, "/dicom-web/studies", warm_up, check_host)
            host_seconds = post_all(port, "/dicom-web/studies", measured, check_host)
        finally:
            process.send_signal(signal.SIGTERM)
            status = process.wait(timeout=60)
        if status != 0:
            raise SystemExit("kestrum-host exit status %d" % status)

    sink_rate = total / sink_seconds / 1e6
    host_rate = total / host_seconds / 1e6
    print("bodies: %d x %.1f MiB, %d DICOM instances, %.1f MB in total"
          % (len(measured), args.body_mib, parts, total / 1e6))
    print("null sink (loopback upload): %8.1f MB/s" % sink_rate)
    print("kestrum-host STOW-RS:        %8.1f MB/s  (%.1f instances/s)" % (host_rate, parts / host_seconds))
    print("ratio host / null sink:      %8.3f" % (host_rate / sink_rate))


if __name__ == "__main__":
    main()
