"""Many API requests at once while the plug-in is sending: every request is
answered in time, the answers stay consistent, and the host survives."""

import json
import os
import socket
import threading
import time

import requests

import dicom_samples
from conftest import API, connect_to, wait_until

INSTANCES = 300
THREADS = 8
DURATION = 3.0
REQUEST_TIMEOUT = 15


def small_files(count):
    samples = sorted(dicom_samples.select_samples(), key=lambda s: os.path.getsize(s.path))[:10]
    return [dicom_samples.restamped(samples[i % len(samples)]) for i in range(count)]


class Worker(threading.Thread):
    """Sends its requests in a loop until the deadline; records failures."""

    def __init__(self, host, deadline, steps):
        super().__init__(daemon=True)
        self.base = host.base_url
        self.deadline = deadline
        self.steps = steps
        self.failures = []
        self.counters = []   # (success, error) of every status read, in order
        self.count = 0

    def call(self, method, route, body=None):
        try:
            answer = requests.request(method, self.base + API + route, data=body, timeout=REQUEST_TIMEOUT,
                                      headers={"Connection": "close"})
        except requests.RequestException as e:
            self.failures.append("%s %s: %s" % (method, route, e))
            return None
        self.count += 1
        if answer.status_code != 200:
            self.failures.append("%s %s: %d %s" % (method, route, answer.status_code, answer.text[:200]))
            return None
        return answer

    def run(self):
        while time.time() < self.deadline:
            for step in self.steps:
                step(self)


def read_status(worker):
    answer = worker.call("GET", "/status")
    if answer is None:
        return
    try:
        status = answer.json()
        worker.counters.append((int(status["InstancesSuccess"]), int(status["InstancesError"])))
        float(status["TransferedSizeMB"])
        assert isinstance(status["AutomatedRouting"], bool)
    except (ValueError, KeyError, AssertionError) as e:
        worker.failures.append("status answer %r: %s" % (answer.text[:300], e))


def set_options(worker):
    for routing in (False, True):
        answer = worker.call("POST", "/options", json.dumps({"AutomatedRouting": routing,
                                                            "AutomatedDeletion": False}))
        if answer is not None and answer.text != "ok":
            worker.failures.append("options answered %r" % answer.text)


def connect_and_disconnect(worker):
    for route, body in (("/connect", json.dumps({"id": "corvad"})), ("/disconnect", None)):
        answer = worker.call("POST", route, body)
        if answer is not None and answer.text != "ok":
            worker.failures.append("%s answered %r" % (route, answer.text))


def list_and_test(worker):
    answer = worker.call("GET", "/destinations")
    if answer is not None and len(answer.json()) != 5:
        worker.failures.append("destinations: %r" % answer.text[:300])
    answer = worker.call("POST", "/test-connection", json.dumps({"id": "corvad"}))
    if answer is not None and answer.json() != {"success": True}:
        worker.failures.append("test-connection: %r" % answer.text)


def replays(worker):
    for route in ("/replay", "/force-replay", "/clear-pending"):
        worker.call("POST", route)
        time.sleep(0.2)


def test_parallel_requests_during_a_sync(hosts):
    destination = hosts(plugin=False)
    source = hosts({"HttpConnectTo": connect_to(destination)})
    for data in small_files(INSTANCES):
        source.upload(data)
    source.api_ok("/connect", {"id": "corvad"})
    source.api_ok("/replay")

    deadline = time.time() + DURATION
    plan = [[read_status], [read_status], [read_status, list_and_test], [set_options],
            [set_options, read_status], [connect_and_disconnect], [connect_and_disconnect, read_status],
            [replays, read_status]]
    assert len(plan) == THREADS
    workers = [Worker(source, deadline, steps) for steps in plan]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(DURATION + 3 * REQUEST_TIMEOUT)
        assert not worker.is_alive(), "a request hangs: deadlock?\n" + source.log()[-3000:]

    failures = [f for w in workers for f in w.failures]
    assert not failures, failures[:20]
    assert sum(w.count for w in workers) > 100
    for worker in workers:
        for before, after in zip(worker.counters, worker.counters[1:]):
            assert after[0] >= before[0] and after[1] >= before[1], worker.counters
    assert any(w.counters for w in workers)

    # Still serving, and able to finish the job: every instance arrives.
    source.api_ok("/connect", {"id": "corvad"})
    source.api_ok("/options", {"AutomatedRouting": True, "AutomatedDeletion": False})
    source.api_ok("/replay")
    wait_until(lambda: len(destination.instances()) == INSTANCES, timeout=60,
               what="every instance at the destination")
    assert source.process.poll() is None


class SilentServer:
    """Accepts connections on a loopback port and never answers."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.listen(16)
        self.port = self.socket.getsockname()[1]
        self.connections = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            self.connections.append(connection)

    def close(self):
        self.socket.close()
        for connection in self.connections:
            connection.close()


def test_a_silent_server_delays_only_its_own_connection_test(hosts):
    silent = SilentServer()
    try:
        source = hosts({"HttpTimeout": 3, "HttpConnectTo": ["localhost:8042:127.0.0.1:%d" % silent.port]})
        result = {}

        def slow_test():
            start = time.time()
            answer = requests.post(source.base_url + API + "/test-connection", data=json.dumps({"id": "corvad"}),
                                   timeout=30, headers={"Connection": "close"})
            result["answer"] = (answer.status_code, answer.json())
            result["seconds"] = time.time() - start

        tester = threading.Thread(target=slow_test, daemon=True)
        tester.start()
        wait_until(lambda: silent.connections, timeout=10, what="the connection test to reach the server")
        # While it waits, the state's and the registry's users answer at once.
        for route, body in (("/status", None), ("/destinations", None),
                            ("/options", {"AutomatedRouting": True}), ("/connect", {"id": "corvad"}),
                            ("/disconnect", None), ("/replay", None)):
            start = time.time()
            if body is None and route in ("/status", "/destinations"):
                answer = source.get(API + route, timeout=10)
            else:
                answer = source.post(API + route, data=json.dumps(body) if body else b"", timeout=10)
            assert answer.status_code == 200, (route, answer.text)
            assert time.time() - start < 1.0, route
        assert tester.is_alive(), "the connection test did not wait for the silent server"
        tester.join(20)
        assert result["answer"] == (200, {"success": False})
        assert 2.0 < result["seconds"] < 10

        # Stopping the host while a batch waits for the silent server: the
        # stop waits for the batch, then ends cleanly.
        source.api_ok("/connect", {"id": "corvad"})
        seen = len(silent.connections)
        source.upload(small_files(1)[0])
        wait_until(lambda: len(silent.connections) > seen, timeout=10, what="the batch to reach the server")
        start = time.time()
        assert source.stop() == 0, source.log()[-3000:]
        assert time.time() - start < 15
    finally:
        silent.close()
