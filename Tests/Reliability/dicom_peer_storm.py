"""Hostile DICOM peers, many of them: association requests and C-STORE
messages mutated at random (seeded) against one kestrum-host, best built with
ASan+UBSan so that a leak or a bad read ends the host with a failing status.
The host must keep answering and stop cleanly. Prints what the host made of
the storm.

    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUELBY_SANITIZERS=address && \\
        cmake --build build-asan -j2 --target kestrum-host
    ASAN_OPTIONS=detect_leaks=1 /usr/bin/python3 Tests/Reliability/dicom_peer_storm.py \\
        build-asan/bin/kestrum-host [--requests 3000] [--stores 400] [--seed 1]
"""

import argparse
import collections
import os
import random
import re
import socket
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "Common"), os.path.join(HERE, "..", "HostBlackBox")]

import dicom_samples  # noqa: E402
import kestrum_host  # noqa: E402
import test_dicom_server as peer  # noqa: E402

AET = "STORM"


def mutate(rnd, data, first=0):
    """Up to six changes at or after `first`: a byte replaced, a run removed or inserted."""
    data = bytearray(data)
    for _ in range(rnd.randint(1, 6)):
        if len(data) <= first:
            break
        at = rnd.randrange(first, len(data))
        kind = rnd.random()
        if kind < 0.6:
            data[at] = rnd.randrange(256)
        elif kind < 0.8:
            del data[at:at + rnd.randint(1, 16)]
        else:
            data[at:at] = bytes(rnd.randrange(256) for _ in range(rnd.randint(1, 16)))
    return bytes(data)


def exchange(port, *messages):
    """Sends each message and reads one answer after it; the host may close at any point."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
        connection.settimeout(3)
        try:
            for message in messages:
                connection.sendall(message)
                connection.recv(4096)
        except OSError:
            pass


def storm(host, rnd, requests, stores):
    request = peer.associate_request(AET)
    for _ in range(requests):
        body = mutate(rnd, request[6:], first=68)   # the items, after the fixed fields
        if rnd.random() < 0.2:
            body += peer.item(rnd.choice([0x10, 0x20, 0x21, 0x30, 0x40, 0x50, 0x51, 0x52, 0x54, 0x55, 0x58]),
                              bytes(rnd.randrange(256) for _ in range(rnd.randint(0, 12))))
        exchange(host.dicom_port, peer.pdu(0x01, body))

    dataset = peer.dataset_bytes(peer.read(dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm"))))
    for i in range(stores):
        command = peer.store_command("1.2.826.0.1.3680043.9.7433.4.%d" % i)
        command_pdu = peer.pdu(0x04, struct.pack(">IBB", len(command) + 2, 1, 3) + command)
        data_pdu = peer.pdu(0x04, struct.pack(">IBB", len(dataset) + 2, 1, 2) + dataset)
        target = rnd.random()
        if target < 0.3:
            command_pdu = mutate(rnd, command_pdu)
        elif target < 0.5:
            data_pdu = mutate(rnd, data_pdu[:12]) + data_pdu[12:]   # the PDU and PDV headers
        else:
            data_pdu = data_pdu[:12] + mutate(rnd, data_pdu[12:400]) + data_pdu[400:]   # the data set's header
        exchange(host.dicom_port, request, command_pdu + data_pdu, peer.pdu(0x05, bytes(4)))
    assert host.get("/system").status_code == 200, "the host stopped answering"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binary")
    parser.add_argument("--requests", type=int, default=3000)
    parser.add_argument("--stores", type=int, default=400)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        with kestrum_host.running_host(os.path.abspath(args.binary), workdir, {"DicomAet": AET, "DicomTimeout": 2},
                                       dicom=True) as host:
            storm(host, random.Random(args.seed), args.requests, args.stores)
            log = host.log_text()
            stored = len(host.get("/instances").json())
        # Stopped cleanly here (running_host fails otherwise): no leak, no sanitizer report.
    outcomes = collections.Counter(
        re.sub(r"\d+", "N", re.sub(r'"[^"]*"|^\S \S+ \S+ ', "", line))[:100]
        for line in log.splitlines() if "DICOM" in line or "C-STORE" in line)
    for text, count in outcomes.most_common(15):
        print("%6d  %s" % (count, text))
    print("seed %d: %d association requests, %d stores, %d instances stored, host stopped cleanly"
          % (args.seed, args.requests, args.stores, stored))


if __name__ == "__main__":
    main()
