#!/usr/bin/python3
"""The outage matrix at full length: the cases of
Tests/Reliability/test_outage_healing.py (whose code runs here, checks
included) with long outages and many instances.

For each fault of the fault proxy (refuse, reset, 503, hang), on a fresh
source -> proxy -> destination rig: a live feed (the instances uploaded
evenly over the first 80 % of the outage) and a replay (the instances stored
before, the fault on right after the replay started). Then a source stopped
with SIGTERM (during a refusal, and during a hang with instances coming in)
or killed with SIGKILL (once the stored owed list names every instance),
and restarted during the outage; and a managed server answering 401 until
the right password is connected (the "outage" then lasts until that
connect).

One row per case: fault, mode, outage seconds, instances, attempts made
during the outage (counted by the proxy; by the source's log when the proxy
never sees them: refused connections, the restart and 401 cases), seconds
from the end of the outage to the last arrival (and the test's bound),
instances sent again after the destination confirmed them, instances lost,
and the checks of the test that failed.

    /usr/bin/python3 Benchmarks/outage_matrix.py \\
        --host-binary build-outage/bin/kestrum-host --plugin build-outage/lib/libQuelbyCloud.so \\
        [--outage 60] [--instances 1000] [--http-timeout 10] [--workdir DIR]
"""

import argparse
import contextlib
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RELIABILITY = os.path.join(HERE, "..", "Tests", "Reliability")


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host-binary", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--outage", type=float, default=60.0, help="seconds of each fault")
    parser.add_argument("--instances", type=int, default=1000, help="instances of each case")
    parser.add_argument("--http-timeout", type=int, default=10,
                        help="the source's HttpTimeout: how long a hung attempt lasts (a full batch must fit)")
    parser.add_argument("--workdir", help="where the hosts run (a temporary folder by default)")
    parser.add_argument("--only", nargs="*", help="cases to run: faults, restart, 401")
    return parser.parse_args()


def main():
    args = parse_arguments()
    # The test's modules read these when imported.
    os.environ["KESTRUM_HOST"] = os.path.abspath(args.host_binary)
    os.environ["QUELBY_PLUGIN"] = os.path.abspath(args.plugin)
    sys.path.insert(0, RELIABILITY)
    import test_outage_healing as matrix
    from reliability_support import Host, HostGroup
    from tls_material import make_tls_material
    from test_secrets import CLOUD_NAME, PORTAL_NAME

    root = args.workdir or tempfile.mkdtemp(prefix="outage-matrix-")
    wanted = set(args.only or matrix.FAULTS + ["restart", "401"])
    rows = []

    @contextlib.contextmanager
    def host_group(name):
        group = HostGroup(os.path.join(root, name), host_class=Host, binary=os.environ["KESTRUM_HOST"])
        try:
            yield lambda host_name, config, **options: group.create(config, host_name, **options)
        finally:
            try:
                group.close()
            except AssertionError as e:   # a host that did not stop cleanly spoils the last case
                if rows:
                    rows[-1].problems.append("stop: %s" % str(e)[:200])
                print("stop of the %s hosts: %s" % (name, str(e)[:300]), flush=True)

    def run_case(fault, mode, body):
        started = time.time()
        try:
            row = body()
        except Exception as e:     # a case that could not be measured is a row too
            row = matrix.Row(fault, mode, args.instances, problems=["%s: %s" % (type(e).__name__, str(e)[:300])])
        rows.append(row)
        print_row(row, time.time() - started)

    print("outage %.0f s, %d instances per case, source HttpTimeout %d s, hosts in %s"
          % (args.outage, args.instances, args.http_timeout, root), flush=True)
    print(HEADER, flush=True)

    for fault in matrix.FAULTS:
        if fault not in wanted:
            continue
        with host_group(fault) as hosts:
            rig = matrix.OutageRig(hosts, http_timeout=args.http_timeout)
            try:
                for mode in ("live", "replay"):
                    run_case(fault, mode, lambda: matrix.run_outage(
                        rig, fault, mode, args.outage, args.instances, strict=False))
            finally:
                rig.close()

    if "restart" in wanted:
        for how, fault in [("SIGTERM", "refuse"), ("SIGTERM", "hang"), ("SIGKILL", "refuse")]:
            with host_group("restart-%s-%s" % (how, fault)) as hosts:
                rig = matrix.OutageRig(hosts, http_timeout=args.http_timeout)
                try:
                    run_case(fault, "restart (%s)" % how, lambda: matrix.run_restart(
                        rig, how, fault, args.outage, args.instances, strict=False))
                finally:
                    rig.close()

    if "401" in wanted:
        tls_folder = os.path.join(root, "tls")
        os.makedirs(tls_folder, exist_ok=True)
        tls = make_tls_material(tls_folder, server_names=("localhost", PORTAL_NAME, CLOUD_NAME))
        with host_group("401") as hosts:
            run_case("401", "wrong password", lambda: matrix.run_wrong_password(
                hosts, tls, args.outage, args.instances, strict=False))

    print("\n| Fault | Mode | Outage (s) | Instances | Attempts during the outage | "
          "End of outage to last arrival (s) | Bound (s) | Sent again | Lost | Failed checks |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print("| %s | %s | %.1f | %d | %d (%s) | %s | %.0f | %d | %d | %s |" % (
            row.fault, row.mode, row.outage, row.instances, row.attempts, row.attempts_seen_by,
            "-" if row.healed is None else "%.1f" % row.healed, row.bound, row.duplicates, row.lost,
            "; ".join(row.problems) or "none"))
    return 1 if any(row.problems for row in rows) else 0


HEADER = "%-7s %-20s %8s %9s %9s %9s %7s %5s %5s %7s  %s" % (
    "fault", "mode", "outage", "instances", "attempts", "healed", "bound", "again", "lost", "case s", "problems")


def print_row(row, seconds):
    print("%-7s %-20s %8.1f %9d %9s %9s %7.0f %5d %5d %7.0f  %s" % (
        row.fault, row.mode, row.outage, row.instances,
        "%d%s" % (row.attempts, "" if row.attempts_seen_by == "proxy" else "*"),
        "-" if row.healed is None else "%.1f" % row.healed, row.bound, row.duplicates, row.lost, seconds,
        "; ".join(row.problems)), flush=True)


if __name__ == "__main__":
    sys.exit(main())
