#!/usr/bin/python3
"""Synchronization over an emulated WAN link, side by side with what else could
use the same link.

Every path below goes through its own emulated link (Benchmarks/wan_link.py in
a process of its own, started fresh for the path, same settings): a one-way
delay of half the round trip in each direction and a rate cap per direction
shared by all the path's connections. Data: N distinct real DICOM files made
as in sync_throughput.py. Measured in one run, for each round trip given:

- the link alone: one bulk TCP transfer of the same total bytes through the
  link to a sink (first connect to last byte received);
- curl posting the same bytes as STOW-RS bodies of about 5 MiB to a
  destination kestrum-host, one curl process posting them one after the other
  (one connection, as long as the destination keeps it open), then 4 curl
  processes each posting a quarter of them (4 bodies in flight);
- DCMTK's storescu sending the files to storescp, TCP_NODELAY=1 for both;
- the plug-in's replay: a source kestrum-host holding every file whose
  destination is the link in front of a destination kestrum-host (DICOMweb),
  time from POST /plugins/quelby-cloud/api/replay to the last arrival (the
  destination polled directly, every 50 ms);
- with --peer, the same replay over the peer protocol, plain and gzip.

The "connections" column counts the TCP connections the link forwarded for
that path.

    /usr/bin/python3 Benchmarks/wan_throughput.py \\
        --host-binary build-wan/bin/kestrum-host --plugin build-wan/lib/libQuelbyCloud.so \\
        --files 300 --size-kib 512 --rtt-ms 40 80 --mbps 200 --workdir /dev/shm
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import sync_throughput as sync  # noqa: E402  (test data, hosts, meters)
import wan_link  # noqa: E402

MB = sync.MB


class Path:
    """The settings of every link of a run."""

    def __init__(self, rtt_ms, mbps, window_kib, handshake):
        self.delay_ms = rtt_ms / 2.0
        self.mbps = mbps
        self.window_kib = window_kib
        self.handshake = handshake

    def link(self, upstream_port):
        return wan_link.LinkProcess(upstream_port, self.delay_ms, self.mbps, self.window_kib, self.handshake)


class Result:
    def __init__(self, seconds, counters, note=""):
        self.seconds = seconds
        self.counters = counters
        self.note = note


def run_link_alone(path, files):
    sink = wan_link.BulkSink()
    try:
        with path.link(sink.port) as link:
            seconds, received = wan_link.bulk_transfer(link.port, files, 1, sink)
            counters = link.close()
    finally:
        sink.close()
    total = sum(len(f) for f in files)
    if received != total:
        raise RuntimeError("link alone: %d of %d bytes" % (received, total))
    return Result(seconds, counters)


def measured_round_trip(path):
    """(median round trip, connect + first answer) in seconds, through a link of
    these settings to an echo server: what the link really adds."""
    echo = wan_link.EchoServer()
    try:
        with path.link(echo.port) as link:
            first, times = wan_link.round_trips(link.port, 20)
    finally:
        echo.close()
    return statistics.median(times), first


def curl_command(boundary, paths, url):
    """One curl process posting `paths` one after the other: curl keeps one
    connection across --next transfers for as long as the server does."""
    command = ["curl"]
    for i, body in enumerate(paths):
        if i:
            command.append("--next")
        command += ["-sS", "--fail", "--noproxy", "*", "-o", os.devnull, "-X", "POST", "-H", "Expect:",
                    "-H", 'Content-Type: multipart/related; type="application/dicom"; boundary=' + boundary,
                    "-H", "Accept: application/dicom+json", "--data-binary", "@" + body, url]
    return command


def run_curl(path, workdir, boundary, bodies, count, in_flight, timeout):
    with sync.Finished(sync.Destination(os.path.join(workdir, "dest-curl-%d" % in_flight)).start()) as destination:
        with path.link(destination.port) as link:
            url = "http://127.0.0.1:%d/dicom-web/studies" % link.port
            start = time.time()
            processes = [subprocess.Popen(curl_command(boundary, bodies[i::in_flight], url))
                         for i in range(min(in_flight, len(bodies)))]
            try:
                codes = [p.wait(timeout=timeout) for p in processes]
            finally:
                for p in processes:
                    if p.poll() is None:
                        p.kill()
                        p.wait()
            seconds = time.time() - start
            counters = link.close()
        if any(codes):
            raise RuntimeError("curl exited with %s" % codes)
        stored = len(destination.instances())
        if stored != count:
            raise RuntimeError("curl: %d of %d stored" % (stored, count))
        return Result(seconds, counters)


def run_storescu(path, workdir, folder, count, timeout):
    """storescu -> link -> storescp, TCP_NODELAY=1 for both (or DCMTK stalls
    about 40 ms per file on delayed acknowledgements)."""
    received = os.path.join(workdir, "storescp")
    os.makedirs(received)
    env = dict(os.environ, TCP_NODELAY="1")
    port = sync.free_port()
    with open(os.path.join(workdir, "storescp.log"), "wb") as log:
        scp = subprocess.Popen(["storescp", "-od", received, "-aet", "BENCHSCP", str(port)],
                               stdout=log, stderr=log, env=env)
    try:
        time.sleep(0.5)
        with path.link(port) as link:
            start = time.time()
            subprocess.run(["storescu", "-aet", "BENCHSCU", "-aec", "BENCHSCP", "+sd", "-q",
                            "127.0.0.1", str(link.port), folder], check=True, env=env, timeout=timeout)
            seconds = time.time() - start
            counters = link.close()
        stored = len(os.listdir(received))
        if stored != count:
            raise RuntimeError("storescp: %d of %d stored" % (stored, count))
        return Result(seconds, counters)
    finally:
        scp.send_signal(signal.SIGTERM)
        try:
            scp.wait(timeout=10)
        except subprocess.TimeoutExpired:
            scp.kill()
            scp.wait()
        shutil.rmtree(received, ignore_errors=True)


def run_replay(path, workdir, source, name, protocol, compress, count, timeout):
    """The preloaded source replays to a destination behind the link; the
    destination is polled directly, not through the link."""
    # A fresh folder for each run: every round trip's replay starts from an empty destination.
    folder = tempfile.mkdtemp(prefix="dest-replay-", dir=workdir)
    with sync.Finished(sync.Destination(folder).start()) as destination:
        with path.link(destination.port) as link:
            through_link = types.SimpleNamespace(base_url="http://127.0.0.1:%d" % link.port)
            source.set_global_property(5467, sync.stored_state(through_link, protocol, compress, False))
            source.start()
            try:
                time.sleep(1.0)
                cpu = sync.CpuMeter(source.process.pid, destination.process.pid)
                start = time.time()
                answer = source.post(sync.API + "/replay")
                if answer.text != "ok":
                    raise RuntimeError("replay refused: %d %s" % (answer.status_code, answer.text))
                end = sync.wait_for_count(destination, count, timeout, source)
                cpu_used = cpu.stop()
            finally:
                source.stop()
            counters = link.close()
        return Result(end - start, counters, "CPU s source / destination %.2f / %.2f" % cpu_used)


class Table:
    def __init__(self, total_bytes, mbps):
        self.total = total_bytes
        self.cap = mbps * 1e6 / 8 / MB
        print("| run | seconds | MB/s | of the cap | connections | link CPU s | ratios |")
        print("|---|---|---|---|---|---|---|")

    def row(self, name, result, ratios=()):
        if isinstance(result, Exception):
            print("| %s | failed: %s | | | | | |" % (name, result), flush=True)
            return None
        mbs = self.total / MB / result.seconds
        notes = list(ratios) + ([result.note] if result.note else [])
        for counter in ("reset", "refused_upstream"):
            if result.counters.get(counter):
                notes.append("%d connections %s" % (result.counters[counter], counter.replace("_", " ")))
        print("| %s | %.2f | %.1f | %.2f | %d | %.2f | %s |"
              % (name, result.seconds, mbs, mbs / self.cap, result.counters["connections"],
                 result.counters["cpu_seconds"], "; ".join(notes)), flush=True)
        return mbs


def attempt(function, *args):
    try:
        return function(*args)
    except (RuntimeError, subprocess.SubprocessError, OSError) as e:
        return e


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-binary", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--size-kib", type=int, default=512)
    parser.add_argument("--rtt-ms", type=float, nargs="+", default=[40.0],
                        help="round trip(s) of the link; one table each")
    parser.add_argument("--mbps", type=float, default=200.0, help="the link's rate per direction")
    parser.add_argument("--window-kib", type=int, default=wan_link.DEFAULT_WINDOW_KIB,
                        help="bytes in flight per connection and direction")
    parser.add_argument("--no-handshake", action="store_true",
                        help="new connections cost no round trip on the link")
    parser.add_argument("--concurrent-batches", type=int, nargs="+", default=[None],
                        help="the replay once per value of the source's ConcurrentBatches (default: the plug-in's own)")
    parser.add_argument("--peer", action="store_true", help="also the peer protocol's replay, plain and gzip")
    parser.add_argument("--skip", default="", help="comma-separated: link,curl,curl4,storescu,replay")
    parser.add_argument("--timeout", type=float, default=600, help="seconds allowed for one run")
    parser.add_argument("--workdir", default=None,
                        help="where the hosts and storescp store (default: the system's temporary folder);"
                             " /dev/shm takes the disk out of the figures")
    args = parser.parse_args()
    skip = set(filter(None, args.skip.split(",")))

    sync.HOST_BINARY = os.path.abspath(args.host_binary)
    plugin = os.path.abspath(args.plugin)

    files = sync.make_files(args.files, args.size_kib * 1024)
    total = sum(len(f) for f in files)
    print("%d files, %.1f KiB each on average, %.1f MB in all (MB = 10^6 bytes); link %.0f Mbit/s"
          " (%.1f MB/s) per direction, window %d KiB%s"
          % (len(files), total / len(files) / 1024, total / MB, args.mbps, args.mbps / 8,
             args.window_kib, "" if not args.no_handshake else ", no handshake round trip"))

    with tempfile.TemporaryDirectory(prefix="wan-bench-", dir=args.workdir) as workdir:
        stow = os.path.join(workdir, "stow")
        os.makedirs(stow)
        boundary, bodies = sync.stow_bodies(files, stow)
        folder = sync.write_files(files, os.path.join(workdir, "files"))
        source = None
        if "replay" not in skip:
            source = sync.Source(os.path.join(workdir, "source"), plugin).start()
            sync.upload_all(source, files)
            source.stop()

        for rtt in args.rtt_ms:
            path = Path(rtt, args.mbps, args.window_kib, not args.no_handshake)
            print()
            round_trip, first = measured_round_trip(path)
            print("Round trip %.0f ms (%.1f ms each way), %.0f Mbit/s; measured through the link: round trip"
                  " %.1f ms (median of 20), connect and first answer %.1f ms; load average %.2f at the start"
                  % (rtt, path.delay_ms, args.mbps, round_trip * 1e3, first * 1e3, os.getloadavg()[0]))
            print()
            table = Table(total, args.mbps)
            link_mbs = storescu_mbs = curl_mbs = curl4_mbs = None
            if "link" not in skip:
                link_mbs = table.row("link alone, one bulk transfer", attempt(run_link_alone, path, files))

            def to_link(mbs):
                return ["/link %.2f" % (mbs / link_mbs)] if link_mbs and mbs else []

            if "curl" not in skip:
                result = attempt(run_curl, path, workdir, boundary, bodies, len(files), 1, args.timeout)
                curl_mbs = table.row("curl STOW-RS 5 MiB bodies, 1 in flight", result,
                                     to_link(None if isinstance(result, Exception) else total / MB / result.seconds))
            if "curl4" not in skip:
                result = attempt(run_curl, path, workdir, boundary, bodies, len(files), 4, args.timeout)
                curl4_mbs = table.row("curl STOW-RS 5 MiB bodies, 4 in flight", result,
                                      to_link(None if isinstance(result, Exception) else total / MB / result.seconds))
            if "storescu" not in skip:
                result = attempt(run_storescu, path, workdir, folder, len(files), args.timeout)
                storescu_mbs = table.row("storescu -> storescp, TCP_NODELAY=1", result,
                                         to_link(None if isinstance(result, Exception) else total / MB / result.seconds))
            if source is not None:
                protocols = sync.PROTOCOLS if args.peer else sync.PROTOCOLS[:1]
                for (name, protocol, compress), batches in [(p, n) for p in protocols
                                                            for n in args.concurrent_batches]:
                    sync.set_concurrent_batches(source, batches)
                    if batches is not None:
                        name += ", %d batches in flight" % batches
                    result = attempt(run_replay, path, workdir, source, name, protocol, compress,
                                     len(files), args.timeout)
                    ratios = []
                    if not isinstance(result, Exception):
                        mbs = total / MB / result.seconds
                        ratios = to_link(mbs)
                        for label, reference in (("storescu", storescu_mbs), ("curl 1", curl_mbs),
                                                 ("curl 4", curl4_mbs)):
                            if reference:
                                ratios.append("/%s %.2f" % (label, mbs / reference))
                    table.row("plug-in replay " + name, result, ratios)
            print()
            print("load average %.2f at the end" % os.getloadavg()[0])


if __name__ == "__main__":
    main()
