#!/usr/bin/python3
"""Latency of one new instance, from its upload into the source host to its
arrival at the destination, with automated routing on.

Each of the `--uploads` instances is uploaded alone (the next one only after
the previous one arrived and a pause), so each travels in a batch of its own:
the batch waits up to 100 ms for company before it is sent. The arrival is
seen by polling the destination for the instance (resource identifiers are
derived from the UIDs, so the source's identifier is the destination's) every
`--poll-ms` milliseconds. Next to it, the same uploads are timed without any
sending (what the upload itself costs), so that what the synchronization adds
can be read off.

    /usr/bin/python3 Benchmarks/sync_latency.py \\
        --host-binary build-perf/bin/kestrum-host --plugin build-perf/lib/libQuelbyCloud.so
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import sync_throughput as bench  # noqa: E402


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def summary(name, values_s):
    ms = [v * 1000 for v in values_s]
    print("| %s | %d | %.1f | %.1f | %.1f | %.1f |"
          % (name, len(ms), statistics.median(ms), percentile(ms, 0.95), min(ms), max(ms)))
    sys.stdout.flush()


def measure(source, destination, files, poll_s, timeout, pause_s):
    latencies, uploads = [], []
    for data in files:
        start = time.time()
        answer = source.post("/instances", data)
        uploaded = time.time()
        if answer.status_code != 200:
            raise RuntimeError("upload to the source: %d" % answer.status_code)
        if destination is not None:
            path = "/instances/" + answer.json()["ID"]
            deadline = start + timeout
            while destination.get(path).status_code != 200:
                if time.time() > deadline:
                    raise RuntimeError("instance did not arrive within %.0f s" % timeout)
                time.sleep(poll_s)
            latencies.append(time.time() - start)
        uploads.append(uploaded - start)
        time.sleep(pause_s)
    return latencies, uploads


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-binary", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--uploads", type=int, default=50)
    parser.add_argument("--size-kib", type=int, default=512)
    parser.add_argument("--poll-ms", type=float, default=2.0)
    parser.add_argument("--pause-ms", type=float, default=200.0, help="between two uploads")
    parser.add_argument("--timeout", type=float, default=30)
    args = parser.parse_args()

    bench.HOST_BINARY = os.path.abspath(args.host_binary)
    plugin = os.path.abspath(args.plugin)
    files = bench.make_files(2 * args.uploads, args.size_kib * 1024)
    print("%d single uploads of %.1f KiB each; load average %.1f"
          % (args.uploads, len(files[0]) / 1024, os.getloadavg()[0]))
    print("| path | uploads | median (ms) | 95th percentile (ms) | min (ms) | max (ms) |")
    print("|---|---|---|---|---|---|")

    with tempfile.TemporaryDirectory(prefix="sync-latency-") as workdir:
        source = bench.Source(os.path.join(workdir, "source-alone"), plugin)
        with bench.Finished(source.start()):
            _, uploads = measure(source, None, files[:args.uploads], 0, 0, args.pause_ms / 1000)
        summary("upload alone (no destination)", uploads)

        for name, protocol, compress in bench.PROTOCOLS:
            with bench.Finished(bench.Destination(os.path.join(workdir, "dest-" + name)).start()) as destination:
                source = bench.Source(os.path.join(workdir, "source-" + name), plugin)
                source.set_global_property(5467, bench.stored_state(destination, protocol, compress, True))
                with bench.Finished(source.start()):
                    time.sleep(1.0)
                    latencies, _ = measure(source, destination, files[args.uploads:], args.poll_ms / 1000,
                                           args.timeout, args.pause_ms / 1000)
                summary("upload to arrival, " + name, latencies)


if __name__ == "__main__":
    main()
