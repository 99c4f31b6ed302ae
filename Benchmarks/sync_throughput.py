#!/usr/bin/python3
"""End-to-end synchronization throughput between two kestrum-host processes,
side by side with what a user could use instead.

The data: N distinct real DICOM files (pydicom's CT sample re-stamped with new
UIDs, its pixel data replaced by a larger image of pixel-like content so that
each file has about the requested size and stays valid DICOM).

Measured in one run, each against an empty destination:

- (a) curl posting the same bytes to a destination kestrum-host as STOW-RS
  bodies of about 5 MiB, one after the other;
- (b) DCMTK's storescu sending the same files to DCMTK's storescp on loopback
  (TCP_NODELAY=1 for both, or DCMTK stalls about 40 ms per file), timed again
  right before each DICOMweb run so that both face the same machine load;
- zlib level-6 gzip of the same files, one after the other (what compression
  alone allows for the peer protocol with compression on);
- the replay path: a source host holding every file, time from the replay
  request to the last arrival at the destination, beside the replay scan's cap
  (100 changes per 100 ms, so 1,000 instances/s times the file size);
- the live path: automated routing on, time from the first upload into the
  source to the last arrival at the destination; next to it the source's own
  ingest rate (the same uploads with nothing to send);
- the source's peak resident memory above its idle level in every sync run;
- the CPU time of the sender and of the receiver (storescu and storescp, the
  source and the destination host) in those runs: a sync whose two CPU times
  add up to its wall time runs its two sides in turn, not side by side.

    /usr/bin/python3 Benchmarks/sync_throughput.py \\
        --host-binary build-perf/bin/kestrum-host --plugin build-perf/lib/libQuelbyCloud.so \\
        --files 1000 --size-kib 512 [--workdir /dev/shm]

--workdir /dev/shm puts every store (the hosts' and storescp's) in memory, so
that the figures compare the software rather than the machine's disk.
"""

import argparse
import array
import io
import json
import math
import os
import random
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import uuid
import warnings
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "Tests", "Common"))

import pydicom  # noqa: E402

import dicom_samples  # noqa: E402
import kestrum_host  # noqa: E402  (the tests' kestrum-host launcher)

MIB = 1024 * 1024
MB = 1e6
STOW_BATCH_BYTES = 5 * MIB
SCAN_CAP_INSTANCES_PER_S = 1000.0
API = "/plugins/quelby-cloud/api"
PIXEL_PATTERNS = 8


# ---------------------------------------------------------------- test data

def pixel_pattern(rows, columns, seed):
    """A smooth 12-bit gradient with a little noise, as 16-bit little-endian bytes:
    compresses about like a real image, unlike zeros or random bytes."""
    rng = random.Random(seed)
    gradient = [(c * 3) % 1024 for c in range(columns)]
    values = array.array("H")
    for r in range(rows):
        base = (r * 7 + seed * 131) % 2048
        noise = rng.randbytes(columns)
        values.extend([(base + g + (n & 31)) & 0x0FFF for g, n in zip(gradient, noise)])
    if sys.byteorder != "little":
        values.byteswap()
    return values.tobytes()


def fixed_length_uid(rng):
    """A UID of 44 characters (2.25 and a 39-digit number), so that one can
    replace another in a file without changing any element length."""
    return "2.25.%d" % (10 ** 38 + rng.randrange(9 * 10 ** 38))


def make_files(count, size, series_size=100, seed=1):
    """`count` distinct DICOM files of about `size` bytes each, in series of
    `series_size` instances (one study per series), as a scanner sends them.
    A few templates are written by pydicom; each file is a template whose
    study, series and SOP Instance UIDs are swapped for others of the same
    length, which is much faster than writing every file with pydicom."""
    rng = random.Random(seed)
    sample = dicom_samples.sample_by_name("CT_small.dcm")
    header = len(dicom_samples.restamped(sample)) - 128 * 128 * 2
    pixels = max(16, (size - header) // 2)
    rows = max(4, int(math.sqrt(pixels)))
    columns = max(4, pixels // rows)
    templates = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for seed in range(min(PIXEL_PATTERNS, count)):
            uids = [fixed_length_uid(rng) for _ in range(3)]
            ds = pydicom.dcmread(io.BytesIO(dicom_samples.restamped(
                sample, study_uid=uids[0], series_uid=uids[1])), force=True)
            ds.SOPInstanceUID = uids[2]
            ds.file_meta.MediaStorageSOPInstanceUID = uids[2]
            ds.Rows, ds.Columns = rows, columns
            ds.PixelData = pixel_pattern(rows, columns, seed)
            out = io.BytesIO()
            ds.save_as(out, write_like_original=True)
            templates.append((out.getvalue(), [u.encode() for u in uids]))
    files = []
    for i in range(count):
        if i % series_size == 0:
            study, series = fixed_length_uid(rng).encode(), fixed_length_uid(rng).encode()
        data, (old_study, old_series, old_sop) = templates[i % len(templates)]
        data = data.replace(old_study, study).replace(old_series, series)
        files.append(data.replace(old_sop, fixed_length_uid(rng).encode()))
    return files


def write_files(files, folder):
    os.makedirs(folder, exist_ok=True)
    for i, data in enumerate(files):
        with open(os.path.join(folder, "f%06d.dcm" % i), "wb") as f:
            f.write(data)
    return folder


# ---------------------------------------------------------------- helpers

def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    """User plus system CPU time a running process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class CpuMeter:
    """CPU seconds used by two running processes (sender, receiver) between
    its creation and `stop()`."""

    def __init__(self, sender_pid, receiver_pid):
        self.pids = (sender_pid, receiver_pid)
        self.start = [cpu_seconds(p) for p in self.pids]

    def stop(self):
        return tuple(cpu_seconds(p) - s for p, s in zip(self.pids, self.start))


def memory_kib(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class MemorySampler:
    """Samples a process's resident memory every 50 ms; `peak_kib` is the highest
    of the samples and of the kernel's own high-water mark (VmHWM)."""

    def __init__(self, pid):
        self.pid = pid
        self.peak_kib = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            self.peak_kib = max(self.peak_kib, memory_kib(self.pid, "VmRSS"))
            self._stop.wait(0.05)

    def stop(self):
        self.peak_kib = max(self.peak_kib, memory_kib(self.pid, "VmHWM"))
        self._stop.set()
        self._thread.join()
        return self.peak_kib


def wait_for_count(destination, count, timeout, source=None):
    """Time of the arrival of the last instance (polled every 50 ms). A failed
    batch is never retried, so an error line in the source's log ends the wait."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        if len(destination.instances()) >= count:
            return time.time()
        if source is not None and "Error during synchronization" in source.log_text():
            break
        time.sleep(0.05)
    raise RuntimeError("only %d of %d instances arrived" % (len(destination.instances()), count))


def server_json(destination, protocol, compress):
    if protocol == "DicomWeb":
        return {"ModalityName": "bench", "Url": destination.base_url + "/dicom-web", "Compress": False,
                "HttpHeaders": {}, "PublicParameters": {}, "ServerType": "Generic", "ProtocolType": "DicomWeb"}
    return {"ModalityName": "bench", "Url": destination.base_url, "Compress": compress,
            "HttpHeaders": {}, "PublicParameters": {}, "ServerType": "Kestrum", "ProtocolType": "Native"}


def stored_state(destination, protocol, compress, routing):
    return json.dumps({"SynchronizationUuid": str(uuid.uuid4()), "AutomatedRouting": routing,
                       "AutomatedDeletion": False,
                       "ActiveServer": server_json(destination, protocol, compress)}, indent=3)


HOST_BINARY = None   # set from the command line
CONCURRENT_BATCHES = None   # set by --concurrent-batches


def Source(workdir, plugin):
    """A host that loads the plug-in, with the batches in flight of the command line."""
    source = kestrum_host.HostProcess(HOST_BINARY, workdir, config={"Plugins": [plugin]})
    set_concurrent_batches(source, CONCURRENT_BATCHES)
    return source


def set_concurrent_batches(source, count):
    """The plug-in's batches in flight at the source's next start (None: its default)."""
    if count is None:
        source.config.pop("QuelbyCloud", None)
    else:
        source.config["QuelbyCloud"] = {"ConcurrentBatches": count}


SINK_BINARY = None   # set by --receiver sink


class Sink:
    """The STOW-RS and peer receiver that confirms every instance and stores nothing
    (Benchmarks/StowSink.cpp): with it, no receiver's storage sets the pace."""

    def __init__(self):
        self.process = None
        self.base_url = None

    def start(self):
        self.process = subprocess.Popen([SINK_BINARY], stdout=subprocess.PIPE, text=True)
        port = int(self.process.stdout.readline().split()[1])
        self.base_url = "http://127.0.0.1:%d" % port
        return self

    def instances(self):
        return kestrum_host.requests.get(self.base_url + "/instances", timeout=30).json()

    def stop(self):
        self.process.kill()
        self.process.wait()


def Destination(workdir):
    """A host with its DICOMweb service on, or the sink."""
    if SINK_BINARY is not None:
        return Sink()
    return kestrum_host.HostProcess(HOST_BINARY, workdir, config={
        "Plugins": [], "DicomWeb": {"Enable": True, "Root": "/dicom-web/"}})


class Finished:
    """A started host that is stopped on leaving. Its folder stays until the
    whole run ends (the work folder is removed then): on ext4, files created
    just after many were deleted are slower to create for some seconds (the
    file system steps over the recently freed inodes), which would charge a
    run for the clean-up of the one before it."""

    def __init__(self, host):
        self.host = host

    def __enter__(self):
        return self.host

    def __exit__(self, *exc):
        self.host.stop()


PROTOCOLS = (("dicomweb", "DicomWeb", False),
             ("peer", "Native", False),
             ("peer-gzip", "Native", True))


def source_change_count(source):
    """Number of changes in a stopped source's history (the scan reads them 100 at a time)."""
    source.start()
    try:
        since = 0
        while True:
            page = source.get("/changes?limit=1000&since=%d" % since).json()
            since = int(page["Last"])
            if page["Done"]:
                return since
    finally:
        source.stop()


def upload_all(host, files):
    for data in files:
        answer = host.post("/instances", data)
        if answer.status_code != 200:
            raise RuntimeError("upload to the source: %d %s" % (answer.status_code, answer.text[:200]))


# ---------------------------------------------------------------- the runs

def run_replay(workdir, source, name, protocol, compress, count, timeout):
    """(seconds, peak RSS above idle in KiB, (source, destination) CPU seconds)
    for one replay of the preloaded source."""
    with Finished(Destination(os.path.join(workdir, "dest-replay-" + name)).start()) as destination:
        source.set_global_property(5467, stored_state(destination, protocol, compress, False))
        source.start()
        try:
            time.sleep(1.0)
            idle = memory_kib(source.process.pid, "VmRSS")
            sampler = MemorySampler(source.process.pid)
            cpu = CpuMeter(source.process.pid, destination.process.pid)
            start = time.time()
            answer = source.post(API + "/replay")
            if answer.text != "ok":
                raise RuntimeError("replay refused: %d %s" % (answer.status_code, answer.text))
            try:
                end = wait_for_count(destination, count, timeout, source)
                cpu_used = cpu.stop()
            finally:
                peak = sampler.stop()
        finally:
            source.stop()
        return end - start, peak - idle, cpu_used


def run_live(workdir, plugin, name, protocol, compress, files, timeout):
    """(seconds, peak RSS above idle in KiB, (source, destination) CPU seconds)
    from the first upload into an empty source with routing on to the last arrival."""
    with Finished(Destination(os.path.join(workdir, "dest-live-" + name)).start()) as destination:
        source = Source(os.path.join(workdir, "source-live-" + name), plugin)
        source.set_global_property(5467, stored_state(destination, protocol, compress, True))
        with Finished(source.start()):
            time.sleep(1.0)
            idle = memory_kib(source.process.pid, "VmRSS")
            sampler = MemorySampler(source.process.pid)
            try:
                cpu = CpuMeter(source.process.pid, destination.process.pid)
                start = time.time()
                upload_all(source, files)
                end = wait_for_count(destination, len(files), timeout, source)
                cpu_used = cpu.stop()
            finally:
                peak = sampler.stop()
        return end - start, peak - idle, cpu_used


def group_files(files, limit=STOW_BATCH_BYTES):
    """The files in groups that each just exceed `limit` bytes, as the plug-in's batches do."""
    groups, current, size = [], [], 0
    for data in files:
        current.append(data)
        size += len(data)
        if size > limit:
            groups.append(current)
            current, size = [], 0
    if current:
        groups.append(current)
    return groups


def stow_bodies(files, workdir):
    """The files as multipart/related bodies of about 5 MiB, written to disk for curl."""
    bodies = group_files(files)
    paths = []
    boundary = uuid.uuid4().hex
    for i, parts in enumerate(bodies):
        path = os.path.join(workdir, "stow-%d.bin" % i)
        with open(path, "wb") as f:
            for data in parts:
                # The part headers the plug-in's DICOMweb client writes, so both post the same bytes.
                f.write(b"--%s\r\nContent-Length: %d\r\nContent-Type: application/dicom\r\n\r\n"
                        % (boundary.encode(), len(data)))
                f.write(data + b"\r\n")
            f.write(b"--" + boundary.encode() + b"--")
        paths.append(path)
    return boundary, paths


def run_curl(workdir, files):
    folder = os.path.join(workdir, "stow")
    os.makedirs(folder)
    boundary, paths = stow_bodies(files, folder)
    try:
        with Finished(Destination(os.path.join(workdir, "dest-curl")).start()) as destination:
            # One curl process, one kept-alive connection, the bodies in turn.
            command = ["curl"]
            for i, path in enumerate(paths):
                command += (["--next"] if i else []) + [
                    "-sS", "--fail", "--noproxy", "*", "-o", os.devnull,
                    "-X", "POST", "-H", "Expect:", "-H",
                    'Content-Type: multipart/related; type="application/dicom"; boundary=' + boundary,
                    "-H", "Accept: application/dicom+json", "--data-binary", "@" + path,
                    destination.base_url + "/dicom-web/studies"]
            start = time.time()
            subprocess.run(command, check=True)
            elapsed = time.time() - start
            stored = len(destination.instances())
            if stored != len(files):
                raise RuntimeError("curl: %d of %d stored" % (stored, len(files)))
            return elapsed
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def run_storescu(workdir, folder, count, timeout):
    """storescu -> storescp on loopback, TCP_NODELAY=1: (seconds until storescu
    ends with every file written by storescp, (storescu, storescp) CPU seconds)."""
    received = tempfile.mkdtemp(prefix="storescp-", dir=workdir)   # kept until the run ends, see Finished
    env = dict(os.environ, TCP_NODELAY="1")
    port = free_port()
    with open(os.path.join(workdir, "storescp.log"), "wb") as log:
        scp = subprocess.Popen(["storescp", "-od", received, "-aet", "BENCHSCP", str(port)],
                               stdout=log, stderr=log, env=env)
    try:
        time.sleep(0.5)
        scp_start = cpu_seconds(scp.pid)
        children_start = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.time()
        subprocess.run(["storescu", "-aet", "BENCHSCU", "-aec", "BENCHSCP", "+sd", "-q",
                        "127.0.0.1", str(port), folder], check=True, env=env, timeout=timeout)
        elapsed = time.time() - start
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu_used = (children.ru_utime + children.ru_stime - children_start.ru_utime - children_start.ru_stime,
                    cpu_seconds(scp.pid) - scp_start)
        stored = len(os.listdir(received))
        if stored != count:
            raise RuntimeError("storescp: %d of %d stored" % (stored, count))
        return elapsed, cpu_used
    finally:
        scp.send_signal(signal.SIGTERM)
        try:
            scp.wait(timeout=10)
        except subprocess.TimeoutExpired:
            scp.kill()
            scp.wait()


def run_zlib(files):
    """(wall seconds, CPU seconds, compressed bytes) of gzip level 6 of every
    file, one after the other. The wall time is the reference for the sync
    runs: on a shared machine both suffer the same contention."""
    start, start_cpu = time.time(), time.process_time()
    compressed = 0
    for data in files:
        c = zlib.compressobj(6, zlib.DEFLATED, 31)
        compressed += len(c.compress(data)) + len(c.flush())
    return time.time() - start, time.process_time() - start_cpu, compressed


# ---------------------------------------------------------------- report

class Table:
    def __init__(self, count, total_bytes):
        self.count = count
        self.total = total_bytes
        print("| run | seconds | instances/s | MB/s | ratios | source peak RSS above idle (MiB)"
              " | CPU s, sender / receiver |")
        print("|---|---|---|---|---|---|---|")

    def row(self, name, seconds, ratios="", memory_kib=None, cpu=None):
        if seconds is None:
            print("| %s | failed: %s | | | | | |" % (name, ratios))
        else:
            print("| %s | %.2f | %.0f | %.1f | %s | %s | %s |"
                  % (name, seconds, self.count / seconds, self.total / MB / seconds, ratios,
                     "-" if memory_kib is None else "%.1f" % (memory_kib / 1024.0),
                     "-" if cpu is None else "%.2f / %.2f" % cpu))
        sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-binary", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--size-kib", type=int, default=512)
    parser.add_argument("--timeout", type=float, default=300, help="seconds allowed for one run")
    parser.add_argument("--skip", default="", help="comma-separated: curl,storescu,replay,live")
    parser.add_argument("--receiver", choices=("host", "sink"), default="host",
                        help="sink: the DICOMweb and plain peer runs (curl, replay, live) post to"
                             " Benchmarks/StowSink, which stores nothing; the gzip peer runs are skipped")
    parser.add_argument("--concurrent-batches", type=int, default=None,
                        help="the source's ConcurrentBatches (default: the plug-in's own)")
    parser.add_argument("--sink-binary", default=None, help="StowSink's path (default: next to the host binary)")
    parser.add_argument("--workdir", default=None,
                        help="where the hosts and storescp store (default: the system's temporary folder);"
                             " /dev/shm takes the disk out of the figures")
    args = parser.parse_args()
    skip = set(filter(None, args.skip.split(",")))

    global HOST_BINARY, SINK_BINARY, PROTOCOLS, CONCURRENT_BATCHES
    CONCURRENT_BATCHES = args.concurrent_batches
    HOST_BINARY = os.path.abspath(args.host_binary)
    if args.receiver == "sink":
        SINK_BINARY = os.path.abspath(args.sink_binary or
                                      os.path.join(os.path.dirname(HOST_BINARY), "StowSink"))
        PROTOCOLS = PROTOCOLS[:2]   # the sink does not inflate gzip uploads
    plugin = os.path.abspath(args.plugin)

    files = make_files(args.files, args.size_kib * 1024)
    total = sum(len(f) for f in files)
    mean_size = total / len(files)
    scan_cap = SCAN_CAP_INSTANCES_PER_S * mean_size / MB
    print("%d files, %.1f KiB each on average, %.1f MB in all (MB = 10^6 bytes); load average %.1f"
          % (len(files), mean_size / 1024, total / MB, os.getloadavg()[0]))

    zlib_s, zlib_cpu_s, zlib_bytes = run_zlib(files)
    zlib_mbs = total / MB / zlib_s

    with tempfile.TemporaryDirectory(prefix="sync-bench-", dir=args.workdir) as workdir:
        table = Table(len(files), total)
        curl_mbs = storescu_mbs = None
        if "curl" not in skip:
            seconds = run_curl(workdir, files)
            curl_mbs = total / MB / seconds
            table.row("(a) curl STOW-RS, 5 MiB bodies", seconds)
        folder = None
        if "storescu" not in skip:
            folder = write_files(files, os.path.join(workdir, "files"))
            seconds, cpu = run_storescu(workdir, folder, len(files), args.timeout)
            storescu_mbs = total / MB / seconds
            table.row("(b) storescu -> storescp, TCP_NODELAY=1", seconds, cpu=cpu)
        table.row("zlib gzip level 6 alone", zlib_s, "compressed to %.2f of the size; CPU %.2f s"
                  % (zlib_bytes / total, zlib_cpu_s))
        print("| replay scan cap (1,000 instances/s x file size) | - | 1000 | %.1f | | - | - |" % scan_cap)

        def zlib_next_to(name):
            """zlib alone timed again right before a compressed run: the load of
            this shared machine moves within minutes, so the reference is taken
            next to what it is compared with."""
            seconds, cpu, _ = run_zlib(files)
            table.row("zlib gzip level 6 alone, just before " + name, seconds, "CPU %.2f s" % cpu)
            return total / MB / seconds

        def storescu_next_to(name):
            """(b) timed again right before a DICOMweb run, for the same reason."""
            if folder is None:
                return storescu_mbs
            seconds, cpu = run_storescu(workdir, folder, len(files), args.timeout)
            table.row("(b) storescu -> storescp, just before " + name, seconds, cpu=cpu)
            return total / MB / seconds

        def ratios(mbs, name, replay, zlib_mbs=zlib_mbs, storescu_mbs=storescu_mbs):
            parts = []
            if replay:
                parts.append("scan cap %.1f MB/s" % scan_cap)
            if curl_mbs:
                parts.append("/(a) %.2f" % (mbs / curl_mbs))
                if replay:
                    parts.append("/min((a), cap) %.2f" % (mbs / min(curl_mbs, scan_cap)))
            if storescu_mbs:
                parts.append("/(b) %.2f" % (mbs / storescu_mbs))
            if name == "peer-gzip":
                parts.append("/zlib %.2f" % (mbs / zlib_mbs))
            return ", ".join(parts)

        if CONCURRENT_BATCHES is not None:
            print("source: ConcurrentBatches %d" % CONCURRENT_BATCHES)

        def next_to(name, protocol, compress):
            """The references of one sync run, each measured right before it."""
            return (zlib_next_to(name) if compress else zlib_mbs,
                    storescu_next_to(name) if protocol == "DicomWeb" else storescu_mbs)

        if "replay" not in skip:
            source = Source(os.path.join(workdir, "source"), plugin).start()
            start = time.time()
            upload_all(source, files)
            ingest = time.time() - start
            source.stop()
            table.row("source ingest alone (POST /instances, one at a time)", ingest)
            changes = source_change_count(source)
            print("| replay scan cap for this history: %d changes for %d instances | - | %.0f | %.1f | | - | - |"
                  % (changes, len(files), 1000.0 * len(files) / changes, 1000.0 * total / changes / MB))
            for name, protocol, compress in PROTOCOLS:
                references = next_to("replay " + name, protocol, compress)
                try:
                    seconds, memory, cpu = run_replay(workdir, source, name, protocol, compress,
                                                      len(files), args.timeout)
                except RuntimeError as e:
                    table.row("replay " + name, None, str(e))
                    continue
                table.row("replay " + name, seconds,
                          ratios(total / MB / seconds, name, True, *references), memory, cpu)

        if "live" not in skip:
            for name, protocol, compress in PROTOCOLS:
                references = next_to("live " + name, protocol, compress)
                try:
                    seconds, memory, cpu = run_live(workdir, plugin, name, protocol, compress,
                                                    files, args.timeout)
                except RuntimeError as e:
                    table.row("live " + name, None, str(e))
                    continue
                table.row("live " + name, seconds,
                          ratios(total / MB / seconds, name, False, *references), memory, cpu)


if __name__ == "__main__":
    main()
