#!/usr/bin/python3
"""Scaling of the synchronization: throughput and the source's peak memory for
N and 4N instances, through one client, on the replay path (a preloaded
source, from the replay request to the last arrival).

If the cost grows linearly, the seconds per instance stay the same from N to
4N; if memory stays flat, the peak above idle does not grow with N (only the
pending queue's identifiers, about 100 bytes per queued instance, may).

    /usr/bin/python3 Benchmarks/sync_scaling.py \\
        --host-binary build-perf/bin/kestrum-host --plugin build-perf/lib/libQuelbyCloud.so \\
        --files 250 --size-kib 512
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import sync_throughput as bench  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-binary", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--files", type=int, default=250, help="N; 4N is run too")
    parser.add_argument("--size-kib", type=int, default=512)
    parser.add_argument("--client", default="dicomweb", choices=[p[0] for p in bench.PROTOCOLS])
    parser.add_argument("--timeout", type=float, default=300)
    args = parser.parse_args()

    bench.HOST_BINARY = os.path.abspath(args.host_binary)
    plugin = os.path.abspath(args.plugin)
    name, protocol, compress = [p for p in bench.PROTOCOLS if p[0] == args.client][0]

    files = bench.make_files(4 * args.files, args.size_kib * 1024)
    print("client %s, files of %.1f KiB; load average %.1f"
          % (name, len(files[0]) / 1024, os.getloadavg()[0]))
    print("| instances | MB | seconds | instances/s | MB/s | ms per instance | source peak RSS above idle (MiB) |")
    print("|---|---|---|---|---|---|---|")
    rows = []
    with tempfile.TemporaryDirectory(prefix="sync-scaling-") as workdir:
        for count in (args.files, 4 * args.files):
            subset = files[:count]
            total = sum(len(f) for f in subset)
            source = bench.Source(os.path.join(workdir, "source-%d" % count), plugin).start()
            bench.upload_all(source, subset)
            source.stop()
            seconds, memory_kib, _ = bench.run_replay(workdir, source, "%s-%d" % (name, count), protocol,
                                                   compress, count, args.timeout)
            shutil.rmtree(source.workdir, ignore_errors=True)
            rows.append((count, seconds, memory_kib))
            print("| %d | %.1f | %.2f | %.0f | %.1f | %.2f | %.1f |"
                  % (count, total / bench.MB, seconds, count / seconds, total / bench.MB / seconds,
                     1000 * seconds / count, memory_kib / 1024.0))
            sys.stdout.flush()
            time.sleep(0.5)
    (n, s1, m1), (n4, s4, m4) = rows
    print("time per instance at 4N / at N: %.2f (1.00 is linear); peak memory above idle at 4N - at N: %+.1f MiB"
          % ((s4 / n4) / (s1 / n), (m4 - m1) / 1024.0))


if __name__ == "__main__":
    main()
