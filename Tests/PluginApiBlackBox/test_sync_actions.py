"""Replay, forced replay and clear-pending, judged by what reaches a second
host, what the source stamps on its instances, and the status counters."""

import os
import time

import dicom_samples
from conftest import API, STAMP_METADATA, connect_to, wait_until

INSTANCES = 24


def largest_samples(count):
    """Real files of varied sizes; the largest, so the transferred size is
    more than a rounding of zero."""
    samples = sorted(dicom_samples.select_samples(), key=lambda s: -os.path.getsize(s.path))
    assert len(samples) >= count
    return samples[:count]


def stamps(host):
    """Metadata 4455 of every instance of `host` (None where absent)."""
    values = {}
    for instance_id in host.instances():
        answer = host.get("/instances/%s/metadata/%d" % (instance_id, STAMP_METADATA))
        values[instance_id] = answer.text if answer.status_code == 200 else None
    return values


def megabytes(total_bytes):
    return "%0.1f" % (total_bytes / 1048576.0)


def test_replay_force_replay_and_clear_pending(hosts):
    destination = hosts(plugin=False)
    source = hosts({"HttpConnectTo": connect_to(destination)})

    # Stored while no server is connected: nothing is sent or stamped.
    files = [s.read_bytes() for s in largest_samples(INSTANCES)]
    for data in files:
        source.upload(data)
    total = sum(len(f) for f in files)
    assert len(source.instances()) == INSTANCES
    # The host hands changes to the plug-in on a thread of its own: those of
    # the uploads must have come (and gone, with no server) before connecting.
    time.sleep(1.5)
    source.api_ok("/connect", {"id": "corvad"})
    time.sleep(0.5)
    assert destination.instances() == []
    assert set(stamps(source).values()) == {None}

    # Replay: everything arrives as it was stored, and is stamped with one generation.
    source.api_ok("/replay")
    assert "Quelby cloud plugin: Starting a scan of all the available instances" in source.log()
    wait_until(lambda: len(destination.instances()) == INSTANCES, what="every instance at the destination")
    assert destination.files_by_sop_uid() == source.files_by_sop_uid()
    wait_until(lambda: None not in stamps(source).values(), what="every source instance stamped")
    first_generation = set(stamps(source).values())
    assert len(first_generation) == 1
    status = wait_until(lambda: (lambda s: s if s["InstancesSuccess"] == INSTANCES else None)(source.status()),
                        what="the success counter")
    assert (status["InstancesError"], status["InstancesPending"]) == (0, 0)
    assert status["TransferedSizeMB"] == megabytes(total)

    # A second replay sends only what is new: an instance stored while
    # automated routing was off.
    source.api_ok("/options", {"AutomatedRouting": False})
    late = dicom_samples.restamped(largest_samples(1)[0])
    source.upload(late)
    time.sleep(0.5)
    assert len(destination.instances()) == INSTANCES
    source.api_ok("/replay")
    wait_until(lambda: len(destination.instances()) == INSTANCES + 1, what="the late instance")
    wait_until(lambda: source.status()["InstancesSuccess"] == INSTANCES + 1, what="its success")
    time.sleep(1)
    total += len(late)
    status = source.status()
    assert (status["InstancesSuccess"], status["InstancesError"]) == (INSTANCES + 1, 0)
    assert status["TransferedSizeMB"] == megabytes(total)
    assert source.log().count("Starting a scan of all the available instances") == 2
    assert late in destination.files_by_sop_uid().values()
    source.api_ok("/options", {"AutomatedRouting": True})

    # A forced replay starts a new generation: everything is sent again.
    source.api_ok("/force-replay")
    wait_until(lambda: source.status()["InstancesSuccess"] == 2 * (INSTANCES + 1), what="the forced replay")
    time.sleep(0.5)
    status = source.status()
    assert (status["InstancesSuccess"], status["InstancesError"]) == (2 * (INSTANCES + 1), 0)
    assert status["TransferedSizeMB"] == megabytes(2 * total)
    assert len(destination.instances()) == INSTANCES + 1
    wait_until(lambda: None not in stamps(source).values() and
               len(set(stamps(source).values()) | first_generation) == 2,
               what="the new generation on every instance")
    second_generation = set(stamps(source).values())
    assert len(second_generation) == 1

    # Clear-pending answers and leaves the plug-in working: a new instance
    # is sent live.
    source.api_ok("/clear-pending")
    assert "Quelby cloud: Clearing all the pending synchronizations" in source.log()
    extra = dicom_samples.restamped(largest_samples(1)[0])
    source.upload(extra)
    wait_until(lambda: len(destination.instances()) == INSTANCES + 2, what="a live instance after clear-pending")
    wait_until(lambda: source.status()["InstancesSuccess"] == 2 * (INSTANCES + 1) + 1, what="its success")
    assert extra in destination.files_by_sop_uid().values()

    # The forced generation was not saved (the options saved before it): the
    # stored one is still the first.
    source.stop()
    assert {source.stored_state()["SynchronizationUuid"]} == first_generation
