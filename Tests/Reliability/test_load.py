"""Load: thousands of small instances synchronized while parallel clients
hammer the status, options, connect/disconnect and replay routes for a
bounded time. No request may go unanswered (no deadlock), the host must
survive, and the counters must add up to what the batches announced."""

import re
import threading
import time

from reliability_support import API, PLUGIN, InstanceMaker, upload_all, wait_until

INSTANCES = 2000
HAMMER_SECONDS = 15
REQUEST_TIMEOUT = 20     # an answer slower than this counts as a deadlock


class Hammer(threading.Thread):
    """Repeats one kind of request until told to stop; keeps the slowest answer."""

    def __init__(self, host, requests_cycle, stop):
        super().__init__(daemon=True)
        self.host, self.cycle, self.stop = host, requests_cycle, stop
        self.served, self.slowest, self.failures = 0, 0.0, []

    def run(self):
        session = self.host.session.__class__()
        session.trust_env = False
        session.headers["Connection"] = "close"
        index = 0
        while not self.stop.is_set():
            method, route, body = self.cycle[index % len(self.cycle)]
            index += 1
            started = time.time()
            try:
                answer = session.request(method, self.host.url(API + route), json=body, timeout=REQUEST_TIMEOUT)
            except Exception as error:   # a time-out is a deadlock, a refused connection a crash
                self.failures.append("%s %s: %r" % (method, route, error))
                return
            self.slowest = max(self.slowest, time.time() - started)
            if answer.status_code != 200:
                self.failures.append("%s %s: %d %s" % (method, route, answer.status_code, answer.text))
            self.served += 1


def batch_sizes(log, pattern):
    return [int(n) for n in re.findall(pattern + r"(\d+) DICOM instance\(s\)", log)]


def test_thousands_of_instances_under_concurrent_api_traffic(hosts):
    destination = hosts("destination", {})
    destination.start()
    source = hosts("source", {"Plugins": [PLUGIN],
                              "HttpConnectTo": ["localhost:8042:127.0.0.1:%d" % destination.port]})
    source.start()
    assert source.api_post("/connect", {"id": "corvad"}).text == "ok"
    files = list(InstanceMaker(seed=11).batch(INSTANCES).values())

    stop = threading.Event()
    hammers = [Hammer(source, cycle, stop) for cycle in [
        [("GET", "/status", None)],
        [("GET", "/status", None)],
        [("POST", "/options", {"AutomatedRouting": True, "AutomatedDeletion": False})],
        [("POST", "/disconnect", None), ("POST", "/connect", {"id": "corvad"})],
        [("POST", "/replay", None)],
    ]]
    started = time.time()
    for hammer in hammers:
        hammer.start()
    uploaded = upload_all(source, files)
    time.sleep(max(0.0, HAMMER_SECONDS - (time.time() - started)))
    stop.set()
    for hammer in hammers:
        hammer.join(REQUEST_TIMEOUT + 5)
        assert not hammer.is_alive(), "a request never came back"
    failures = [f for hammer in hammers for f in hammer.failures]
    assert not failures, failures[:5]

    # Whatever the connect/disconnect turns dropped, a replay on a connected server sends.
    assert source.api_post("/connect", {"id": "corvad"}).text == "ok"
    assert source.api_post("/replay").text == "ok"
    wanted = set(uploaded.values())
    wait_until(lambda: wanted <= destination.digests(), timeout=90, what="every instance at the destination",
               on_timeout=lambda: "status %s\n%s" % (source.status(), source.log_text()[-3000:]))
    assert len(destination.instance_ids()) == INSTANCES

    # Counters, once the plug-in is idle, match the batches announced in the log.
    # Idle: every announced batch has ended (an empty queue and still counters
    # are also what a long batch of repeated instances looks like while sent).
    def settled():
        log = source.log_text()
        ended = (len(batch_sizes(log, "Sucessfully synchronized ")) +
                 len(batch_sizes(log, "Error during synchronization of ")))
        if len(batch_sizes(log, "Starting the synchronization of ")) != ended:
            return False
        first = source.status()
        time.sleep(0.5)
        second = source.status()
        return first == second and second["InstancesPending"] == 0 and second
    status = wait_until(settled, timeout=90, what="an idle plug-in")
    log = source.log_text()
    started_sizes = batch_sizes(log, "Starting the synchronization of ")
    succeeded = batch_sizes(log, "Sucessfully synchronized ")
    failed = batch_sizes(log, "Error during synchronization of ")
    assert sum(started_sizes) == status["InstancesSuccess"] + status["InstancesError"]
    assert sum(succeeded) == status["InstancesSuccess"]
    assert sum(failed) == status["InstancesError"]
    assert status["InstancesSuccess"] >= INSTANCES
    assert source.process.poll() is None
    served = sum(hammer.served for hammer in hammers)
    print("load: %d instances, %d batches, %d API requests served in %.0f s, slowest %.2f s, "
          "success %d, error %d" % (INSTANCES, len(started_sizes), served, HAMMER_SECONDS,
                                    max(h.slowest for h in hammers), status["InstancesSuccess"],
                                    status["InstancesError"]))
