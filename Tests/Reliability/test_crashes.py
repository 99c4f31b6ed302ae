"""Crashes: the source host is killed with SIGKILL at random moments while
it receives instances, sends them and saves the plug-in's options; after
each restart a replay must bring every confirmed upload to the destination
byte for byte, leave nothing corrupted at either end, and the stored state
(server, options, synchronization UUID) must read back as it was saved.

The moments come from a seeded generator: RELIABILITY_SEED reproduces a run.
"""

import json
import os
import random
import threading
import time

from reliability_support import (API, PLUGIN, STATE_PROPERTY, InstanceMaker, digest,
                                 state_text, stored_state, wait_until)

ROUNDS = 12
PER_ROUND = 40
SEED = int(os.environ.get("RELIABILITY_SEED", "20261208"))


class Uploader(threading.Thread):
    """Uploads files one by one until they run out or the host goes away."""

    def __init__(self, host, files):
        super().__init__(daemon=True)
        self.host, self.files = host, files
        self.attempted, self.confirmed = set(), set()

    def run(self):
        for data in self.files:
            self.attempted.add(digest(data))
            try:
                answer = self.host.session.post(self.host.url("/instances"), data=data, timeout=10)
            except Exception:
                return
            if answer.status_code == 200:
                self.confirmed.add(digest(data))


class OptionsWriter(threading.Thread):
    """Saves the same options again and again, so that kills land during saves."""

    def __init__(self, host, stop):
        super().__init__(daemon=True)
        self.host, self.stop = host, stop

    def run(self):
        while not self.stop.is_set():
            try:
                self.host.session.post(self.host.url(API + "/options"), timeout=10,
                                       json={"AutomatedRouting": True, "AutomatedDeletion": False})
            except Exception:
                return


def start_and_wait_for_load(source):
    # The plug-in reads its stored state when the host reports that it has
    # started, which may come after the first requests are served; an options
    # request before that would store the defaults over the saved state
    # (known_plugin_bugs.py shows it), so the test waits for the load.
    source.start()
    wait_until(lambda: "ActiveServer" in source.status(), timeout=10, what="the stored state loaded")


def test_random_kills_lose_nothing_and_keep_the_saved_state(hosts):
    rng = random.Random(SEED)
    destination = hosts("destination", {"DicomWeb": {"Enable": True, "Root": "/dicom-web/"}}).start()
    source = hosts("source", {"Plugins": [PLUGIN]})
    saved = stored_state("http://127.0.0.1:%d/dicom-web" % destination.port)
    source.set_global_property(STATE_PROPERTY, state_text(saved))
    maker = InstanceMaker(seed=SEED)
    attempted, confirmed = set(), set()
    started = time.time()

    for round_number in range(ROUNDS):
        context = "seed %d, round %d" % (SEED, round_number)
        start_and_wait_for_load(source)
        stop = threading.Event()
        uploader = Uploader(source, list(maker.batch(PER_ROUND).values()))
        writer = OptionsWriter(source, stop)
        uploader.start()
        writer.start()
        time.sleep(rng.uniform(0.01, 0.4))
        source.kill()
        stop.set()
        uploader.join(10)
        writer.join(10)
        attempted |= uploader.attempted
        confirmed |= uploader.confirmed

        # The stored state is whole after the kill, before any restart.
        assert json.loads(source.get_global_property(STATE_PROPERTY)) == saved, context

        start_and_wait_for_load(source)
        assert source.api_post("/replay").text == "ok"
        wait_until(lambda: confirmed <= destination.digests(), timeout=60,
                   what="every confirmed upload at the destination (%s)" % context,
                   on_timeout=lambda: source.log_text()[-3000:])

        # Nothing corrupted: every stored file, at either end, is one that was sent whole.
        assert source.digests() <= attempted, context
        assert destination.digests() <= attempted, context
        assert len(destination.instance_ids()) == len(destination.digests()), context
        if round_number % 3 == 2:
            assert source.stop() == 0, context   # a clean stop now and then
        else:
            source.kill()
        assert json.loads(source.get_global_property(STATE_PROPERTY)) == saved, context

    # Finally every instance at the source carries the stored generation.
    start_and_wait_for_load(source)
    assert source.api_post("/replay").text == "ok"
    generation = stored_state("")["SynchronizationUuid"]
    wait_until(lambda: all(source.stamp(i) == generation for i in source.instance_ids()),
               timeout=60, what="stamps of the stored generation")
    assert confirmed <= source.digests()
    assert len(confirmed) >= ROUNDS, "the kills came before any upload: %d" % len(confirmed)
    assert time.time() - started < 120
    print("crash rounds: %d, uploads confirmed: %d, at the destination: %d, lost: 0"
          % (ROUNDS, len(confirmed), len(destination.digests())))
