#!/usr/bin/python3
"""The path a hospital runs, modality -> host -> destination, side by side in
one run with what DCMTK does alone on the same files.

The files are those of sync_throughput.py (N distinct DICOM files of about
the requested size: pydicom's CT sample with pixel-like content), written to
one folder that DCMTK's storescu sends on one association (`+sd -q`,
TCP_NODELAY=1 for every DCMTK tool, or each message waits about 40 ms for a
delayed acknowledgement). Measured, each into an empty receiver on the same
file system (--workdir):

- storescu -> storescp: the reference, timed again right before each other
  run so that every ratio compares two runs under the same machine load;
- storescu -> kestrum-host alone: the host's ingest over DICOM, until
  storescu ends (every instance answered, so stored and indexed);
- storescu -> a source kestrum-host whose plug-in routes live to a
  destination kestrum-host, over DICOMweb and over the peer protocol: from
  the start of storescu to the last instance listed at the destination
  (polled every 50 ms); with --receiver sink, both paths end at
  Benchmarks/StowSink instead, which confirms and stores nothing: a
  destination that does not share this machine's cores, as in use.

The CPU columns are the sender's (storescu) and the receivers' (storescp,
the host; source + destination for the whole path, each in parentheses).

On a small virtual machine one ratio moves by 0.1 or more from run to run;
--repeat N runs the whole sequence N times and ends with each row's ratios,
their median and how many reach 0.8.

    /usr/bin/python3 Benchmarks/dicom_path.py --host-binary build-perf/bin/kestrum-host \\
        --plugin build-perf/lib/libQuelbyCloud.so [--files 1000 --size-kib 512] [--workdir /dev/shm --fresh-stores] \\
        [--compare-binary OTHER/kestrum-host [--compare-plugin OTHER/libQuelbyCloud.so]] [--background] \\
        [--receiver sink] [--repeat 10]
"""

import argparse
import contextlib
import itertools
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "Tests", "Common"))

import kestrum_host  # noqa: E402
import sync_throughput as bench  # noqa: E402  (the files, storescu -> storescp, the plug-in's state)

MB = 1e6
PATHS = (("DICOMweb", "DicomWeb"), ("peer", "Native"))


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def storescu_into(host, folder, timeout):
    """(seconds, storescu's CPU seconds) of storescu sending the folder to a host."""
    cpu = children_cpu()
    start = time.time()
    result = kestrum_host.run_dcmtk("storescu", ["-aet", "BENCHSCU", "-aec", "KESTRUM", "+sd", "-q"],
                                    host.dicom_port, [folder], timeout)
    elapsed = time.time() - start
    if result.returncode != 0:
        raise RuntimeError("storescu: " + result.stderr.decode(errors="replace")[-2000:])
    return elapsed, children_cpu() - cpu


def run_ingest(workdir, name, folder, count, timeout):
    """storescu -> kestrum-host alone: (seconds, (storescu, host) CPU seconds)."""
    host = kestrum_host.HostProcess(bench.HOST_BINARY, os.path.join(workdir, name), dicom=True).start()
    with bench.Finished(host):
        cpu = bench.cpu_seconds(host.process.pid)
        seconds, sender_cpu = storescu_into(host, folder, timeout)
        host_cpu = bench.cpu_seconds(host.process.pid) - cpu
        stored = len(host.instances())
    if stored != count:
        raise RuntimeError("kestrum-host stored %d of %d" % (stored, count))
    return seconds, (sender_cpu, host_cpu)


def run_path(workdir, plugin, name, protocol, folder, count, timeout, section):
    """storescu -> source -> destination: (seconds to the last arrival, (storescu,
    source + destination, source, destination) CPU seconds). `section`: the source's
    "QuelbyCloud" settings."""
    destination = bench.Destination(os.path.join(workdir, "dest-" + name)).start()
    with bench.Finished(destination):
        source = kestrum_host.HostProcess(bench.HOST_BINARY, os.path.join(workdir, "source-" + name),
                                          config={"Plugins": [plugin], "QuelbyCloud": section}, dicom=True)
        source.set_global_property(5467, bench.stored_state(destination, protocol, False, True))
        with bench.Finished(source.start()):
            time.sleep(1.0)   # the plug-in settles
            pids = (source.process.pid, destination.process.pid)
            before = [bench.cpu_seconds(p) for p in pids]
            start = time.time()
            _, sender_cpu = storescu_into(source, folder, timeout)
            end = bench.wait_for_count(destination, count, timeout, source)
            source_cpu, destination_cpu = (bench.cpu_seconds(p) - b for p, b in zip(pids, before))
    return end - start, (sender_cpu, source_cpu + destination_cpu, source_cpu, destination_cpu)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-binary", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--size-kib", type=int, default=512)
    parser.add_argument("--timeout", type=float, default=300, help="seconds allowed for one run")
    parser.add_argument("--workdir", default=None, help="where every receiver stores (default: the temporary folder)")
    parser.add_argument("--fresh-stores", action="store_true",
                        help="remove each run's stores when it ends; on tmpfs every store left behind makes the "
                             "later runs write into memory this virtual machine has not used before, and they slow "
                             "down run after run (storescp from 1.28 s to 2.36 s over six runs)")
    parser.add_argument("--compare-binary", default=None,
                        help="another build of kestrum-host (an earlier commit): its ingest and paths run too, each "
                             "right after the same run of --host-binary, with its own storescp just before")
    parser.add_argument("--compare-plugin", default=None,
                        help="the plug-in that the compared build's paths load (default: --plugin)")
    parser.add_argument("--background", action="store_true",
                        help="each path also with the source's \"DeliveryPriority\": \"Background\", right after "
                             "the same path at normal priority, with its own storescp just before")
    parser.add_argument("--receiver", choices=("host", "sink"), default="host",
                        help="sink: both paths end at Benchmarks/StowSink (next to the host binary), which "
                             "stores nothing")
    parser.add_argument("--repeat", type=int, default=1,
                        help="run the whole sequence that many times, then summarize each row's ratios")
    args = parser.parse_args()
    plugin = os.path.abspath(args.plugin)
    receiver = "kestrum-host"
    if args.receiver == "sink":
        bench.SINK_BINARY = os.path.join(os.path.dirname(os.path.abspath(args.host_binary)), "StowSink")
        receiver = "sink"
    priorities = [("", {})] + ([(", background", {"DeliveryPriority": "Background"})] if args.background else [])
    hosts = [("", "", os.path.abspath(args.host_binary), plugin)]   # (label, folder suffix, binary, plug-in)
    if args.compare_binary:
        hosts.append((", compared build", "-compared", os.path.abspath(args.compare_binary),
                      os.path.abspath(args.compare_plugin or args.plugin)))

    files = bench.make_files(args.files, args.size_kib * 1024)
    total = sum(len(f) for f in files)
    print("%d files, %.1f KiB each on average, %.1f MB in all; load average %.1f"
          % (len(files), total / len(files) / 1024, total / MB, os.getloadavg()[0]))

    with tempfile.TemporaryDirectory(prefix="dicom-path-", dir=args.workdir) as workdir:
        folder = bench.write_files(files, os.path.join(workdir, "files"))
        print("| run | seconds | instances/s | MB/s | rate / storescp's just before | CPU s, storescu / receivers |")
        print("|---|---|---|---|---|---|")
        ratios = {}   # row -> its ratio in each round, in the order of the rows

        def row(name, seconds, cpu, reference=None):
            if reference is not None:
                ratios.setdefault(name, []).append(reference / seconds)
            split = " (%.2f + %.2f)" % cpu[2:] if len(cpu) > 2 else ""
            print("| %s | %.2f | %.0f | %.1f | %s | %.2f / %.2f%s |"
                  % (name, seconds, len(files) / seconds, total / MB / seconds,
                     "" if reference is None else "**%.2f**" % (reference / seconds), cpu[0], cpu[1], split),
                  flush=True)

        @contextlib.contextmanager
        def stores():
            """Where one run stores: the shared folder, or one of its own removed afterwards."""
            if not args.fresh_stores:
                yield workdir
                return
            own = tempfile.mkdtemp(dir=workdir)
            try:
                yield own
            finally:
                shutil.rmtree(own, ignore_errors=True)

        def storescp():
            with stores() as where:
                seconds, cpu = bench.run_storescu(where, folder, len(files), args.timeout)
            row("storescu -> storescp", seconds, cpu)
            return seconds

        for _ in range(args.repeat):
            for label, suffix, binary, _ in hosts:
                bench.HOST_BINARY = binary
                reference = storescp()
                with stores() as where:
                    seconds, cpu = run_ingest(where, "ingest" + suffix, folder, len(files), args.timeout)
                row("storescu -> kestrum-host (ingest%s)" % label, seconds, cpu, reference)
            for name, protocol in PATHS:
                for (label, suffix, binary, plugin), (priority, section) in itertools.product(hosts, priorities):
                    bench.HOST_BINARY = binary
                    label += priority
                    reference = storescp()
                    try:
                        with stores() as where:
                            seconds, cpu = run_path(where, plugin, name.lower() + suffix, protocol, folder,
                                                    len(files), args.timeout, section)
                    except RuntimeError as e:
                        print("| storescu -> kestrum-host -> %s destination%s | failed: %s | | | | |"
                              % (name, label, e))
                        continue
                    row("storescu -> kestrum-host -> %s (%s%s)" % (receiver, name, label), seconds, cpu, reference)

        if args.repeat > 1:
            print("\n| run | rate / storescp's, each round | median | at or above 0.8 |")
            print("|---|---|---|---|")
            for name, values in ratios.items():
                print("| %s | %s | **%.2f** | %d of %d |"
                      % (name, ", ".join("%.2f" % v for v in values), statistics.median(values),
                         sum(v >= 0.8 for v in values), len(values)))

if __name__ == "__main__":
    main()
