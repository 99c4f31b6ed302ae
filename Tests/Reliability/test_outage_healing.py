"""Outages heal by themselves: the source sends to a DICOMweb destination
through the fault proxy, which refuses connections, resets them mid-body,
answers 503 or hangs for a while; instances come in meanwhile (a live feed)
or a replay runs. Without any action, once the fault is gone:

- every instance reaches the destination byte for byte, within the back-off
  step in force at the end of the outage plus an attempt and the batches of
  what is owed;
- none that the destination had confirmed to the source was sent again;
- every instance of the source carries the stored generation;
- the delivery route said "retrying" (with the next attempt and the cause in
  words) during the outage and says "ok" afterwards, and the outage cost one
  attempt per back-off step, not one per instance.

Also: a source stopped (SIGTERM) or killed (SIGKILL, once the owed list is
stored) during an outage heals after its restart, and a managed server that
answers 401 gets the waiting instances as soon as the right password is
connected.

OUTAGE_SECONDS and OUTAGE_INSTANCES change the outage and the number of
instances of each case; Benchmarks/outage_matrix.py runs the same code long.
"""

import calendar
import json
import math
import os
import threading
import time
from dataclasses import dataclass, field

import pytest
import requests

from fault_proxy import FaultProxy
from reliability_support import (API, PLUGIN, STATE_PROPERTY, InstanceMaker, assert_all_delivered, digest,
                                 state_text, stored_state, upload_all, wait_until)
from test_destination_faults import Rig
from test_secrets import CLOUD_NAME, CLOUD_PASSWORD, CLOUD_USER, WRONG_PASSWORD, https_destination, source_host
from test_secrets import tls  # noqa: F401  (fixture)

OUTAGE_SECONDS = float(os.environ.get("OUTAGE_SECONDS", "4"))
OUTAGE_INSTANCES = int(os.environ.get("OUTAGE_INSTANCES", "8"))
HTTP_TIMEOUT = 2          # seconds, on the source: how long a hung attempt lasts
MAX_BACKOFF = 300
LEDGER_PROPERTY = 5468
FAULTS = ["refuse", "reset", "503", "hang"]
STARTING = "Quelby Cloud plugin: Starting the synchronization of "


def expected_cause(fault, http_timeout):
    """What the delivery route must give as the cause of each fault."""
    return {"refuse": "cannot connect to 127.0.0.1: connection refused or lost",
            "reset": "cannot connect to 127.0.0.1: connection refused or lost",
            "503": "HTTP 503 from the destination",
            "hang": "no answer within %d s" % http_timeout}[fault]


def healing_bound(outage, instances, http_timeout):
    """Longest time from the end of an outage to the last arrival. The steps
    before the one in force at the end fit in the outage and last at least
    0.8 of 1, 2, 4... s, so that step (at most 1.2 of its length) is at most
    1.5 times the outage plus 1.2 s, and never above the cap. Then an attempt
    that was already hanging, and the batches of what is owed, counted with
    room for a loaded machine."""
    step = min(1.5 * outage + 1.2, MAX_BACKOFF)
    return step + http_timeout + 2 * (http_timeout + 5 + 0.02 * instances)


CONCURRENT_BATCHES = 2            # the plug-in's default


def most_attempts(outage, hung=False):
    """n attempts need 0.8 x (2^(n-1) - 1) s of back-off; one more for an
    attempt on its way when the outage began or ended. A hung destination
    says nothing until the time-out, so a full set of overlapped batches
    may be on their way before the first failure is known."""
    return (1 + CONCURRENT_BATCHES if hung else 2) + int(math.log2(outage / 0.8 + 1))


@dataclass
class Row:
    """One case, as measured, with the checks it failed."""
    fault: str
    mode: str
    instances: int
    outage: float = 0.0           # seconds from the fault on to the fault off
    attempts: int = 0             # attempts that met the fault
    attempts_seen_by: str = "proxy"
    healed: float = None          # seconds from the fault off to the last arrival
    bound: float = 0.0
    duplicates: int = 0
    lost: int = 0
    problems: list = field(default_factory=list)

    def check(self, condition, problem):
        if not condition:
            self.problems.append(problem)

    def finish(self, strict):
        """strict: the test's way, every failed check fails. Otherwise the
        figure script's: the row is kept with its problems."""
        assert not (strict and self.problems), "%s %s: %s" % (self.fault, self.mode, "; ".join(self.problems))
        return self


class DeliveryWatch:
    """Reads the delivery route every 0.2 s in the background (while the
    source is down, nothing), so that a test can tell what it said when."""

    def __init__(self, host):
        self.host = host
        self.samples = []            # (time.time(), answer)
        self._session = requests.Session()
        self._session.trust_env = False
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self._session.close()

    def _run(self):
        while not self._stop.is_set():
            try:
                answer = self._session.get(self.host.url(API + "/delivery"), timeout=5)
                if answer.status_code == 200:
                    self.samples.append((time.time(), answer.json()))
            except requests.RequestException:
                pass
            self._stop.wait(0.2)

    def retrying_between(self, start, end):
        """The answers in [start, end] that said "retrying" with the time of the next attempt."""
        return [answer for when, answer in self.samples if start <= when <= end and
                answer.get("Health") == "retrying" and
                isinstance(answer.get("NextRetrySeconds"), (int, float)) and
                0 <= answer["NextRetrySeconds"] <= 1.2 * MAX_BACKOFF]

    def causes_between(self, start, end):
        """The texts of the errors that the answers in [start, end] date from then."""
        return {answer["LastError"]["Text"] for when, answer in self.samples
                if start <= when <= end and "LastError" in answer and
                calendar.timegm(time.strptime(answer["LastError"]["Time"], "%Y-%m-%dT%H:%M:%SZ")) >= int(start)}


def delivery(host):
    answer = host.get(API + "/delivery")
    assert answer.status_code == 200, answer.text
    return answer.json()


class OutageRig(Rig):
    """Source -> fault proxy -> destination (DICOMweb), with a time-out of
    its own on the source, measured by the proxy's record."""

    def __init__(self, hosts, http_timeout=HTTP_TIMEOUT, seed=11):
        self.protocol = "dicomweb"
        self.http_timeout = http_timeout
        self.destination = hosts("destination", {"DicomWeb": {"Enable": True, "Root": "/dicom-web/"}}).start()
        self.proxy = FaultProxy(self.destination.port)
        self.source = hosts("source", {"Plugins": [PLUGIN], "HttpTimeout": http_timeout})
        self.source.set_global_property(STATE_PROPERTY, state_text(
            stored_state("http://127.0.0.1:%d/dicom-web" % self.proxy.port)))
        self.source.start()
        self.maker = InstanceMaker(seed=seed)
        self.uploaded = {}      # source instance id -> sha256 of the file
        self.source.new_log()

    def explain(self):
        try:
            answer = json.dumps(delivery(self.source))
        except AssertionError as e:
            answer = str(e)
        last = [(e.mode, len(e.sent), len(e.confirmed)) for e in self.proxy.record()[-10:]]
        return "delivery %s\nlast exchanges (mode, sent, confirmed) %s\n%s" % (answer, last, Rig.explain(self))

    def feed(self, files, seconds):
        """Uploads the files evenly over `seconds`."""
        interval = seconds / max(1, len(files))
        start = time.time()
        for i, data in enumerate(files):
            time.sleep(max(0.0, start + i * interval - time.time()))
            self.uploaded.update(upload_all(self.source, [data]))

    def stored_owed(self):
        text = self.source.get_global_property(LEDGER_PROPERTY, while_running=True)
        return {item["ID"] for item in json.loads(text)["Owed"]} if text.strip() else set()


def check_healing(rig, row, files, recovered, strict):
    """After the fault is removed: what the module's docstring promises."""
    source, proxy = rig.source, rig.proxy
    wanted = {sop: digest(data) for sop, data in files.items()}
    row.bound = healing_bound(row.outage, row.instances, rig.http_timeout)
    try:
        wait_until(lambda: set(wanted) <= set(proxy.confirmed()), timeout=row.bound + 5,
                   what="every instance confirmed after a %s outage (%s)" % (row.fault, row.mode),
                   on_timeout=rig.explain)
    except AssertionError:
        if strict:
            raise
    confirmed = proxy.confirmed()
    again = proxy.sent_again()
    row.duplicates = len(again)
    row.lost = len(set(wanted.values()) - rig.destination.digests())
    row.check(not again, "sent again after a confirmation: %s" % ["%s (%s)" % (uid, e.mode) for uid, e in again[:3]])
    if not set(wanted) <= set(confirmed):
        row.check(False, "not healed %.0f s after the outage" % (time.time() - recovered))
        return row.finish(strict)
    row.healed = max(confirmed[sop] for sop in wanted) - recovered
    row.check(row.healed <= row.bound, "healed %.1f s after the outage, bound %.1f s" % (row.healed, row.bound))
    try:
        assert_all_delivered(rig.destination, rig.uploaded.values())
    except AssertionError as e:
        row.check(False, str(e))
    wait_until(lambda: (lambda d: d["Health"] == "ok" and "NextRetrySeconds" not in d and
                        d["RetryInstances"] == 0)(delivery(source)),
               timeout=30, what="health ok after the outage", on_timeout=rig.explain)
    generation = rig.generation()
    wait_until(lambda: all(source.stamp(i) == generation for i in source.instance_ids()),
               timeout=30, what="every source instance stamped with %s" % generation, on_timeout=rig.explain)
    return row.finish(strict)


def run_outage(rig, fault, mode, outage, count, strict=True):
    """One fault of `outage` seconds met by a live feed (instances uploaded
    during it) or a replay (instances stored before, the fault right after
    the replay started)."""
    source, proxy = rig.source, rig.proxy
    files = rig.maker.batch(count)
    row = Row(fault, mode, count)
    if mode == "replay":
        # Stored without being sent: live notifications are dropped while routing is off.
        assert source.api_post("/options", {"AutomatedRouting": False}).text == "ok"
        rig.uploaded.update(upload_all(source, files.values()))
        assert source.api_post("/options", {"AutomatedRouting": True}).text == "ok"
    source.new_log()
    with DeliveryWatch(source) as watch:
        if mode == "replay":
            assert source.api_post("/replay").text == "ok"
        proxy.set_mode(fault)
        started = time.time()
        if mode == "live":
            rig.feed(list(files.values()), 0.8 * outage)
        time.sleep(max(0.0, started + outage - time.time()))
        proxy.set_mode("pass")
        recovered = time.time()
    row.outage = recovered - started
    log = source.new_log()

    # A refused connection never reaches the proxy: the source's log counts those attempts.
    if fault == "refuse":
        row.attempts, row.attempts_seen_by = log.count(STARTING), "source log"
    else:
        row.attempts = proxy.attempts(fault, started)
    most = most_attempts(row.outage, hung=fault == "hang")
    row.check(1 <= row.attempts <= most,
              "%d attempts in a %.1f s outage, expected 1 to %d" % (row.attempts, row.outage, most))
    row.check(watch.retrying_between(started, recovered),
              "no \"retrying\" with NextRetrySeconds during the outage: %s" % watch.samples[-1:])
    causes = watch.causes_between(started, recovered)
    row.check(causes == {expected_cause(fault, rig.http_timeout)}, "causes given: %s" % sorted(causes))
    return check_healing(rig, row, files, recovered, strict)


def run_restart(rig, how, fault, outage, count, strict=True):
    """A live feed during the outage, then the source is stopped (SIGTERM)
    or killed (SIGKILL, once the stored owed list names every instance: the
    plug-in stores it at most once per pass) and started again, still during
    the outage."""
    source, proxy = rig.source, rig.proxy
    files = rig.maker.batch(count)
    row = Row(fault, "restart (%s)" % how, count, attempts_seen_by="source log")
    source.new_log()
    proxy.set_mode(fault)
    started = time.time()
    # A batch fills until the plug-in's queue stays quiet for 100 ms: a pause
    # after the first instance lets an attempt leave, and the rest come in
    # while it fails (or hangs).
    feed = list(files.values())
    rig.feed(feed[:1], 0)
    time.sleep(0.3)
    rig.feed(feed[1:], 0.3 * outage)
    if how == "SIGKILL":
        fed = set(rig.uploaded)
        wait_until(lambda: fed <= rig.stored_owed(), timeout=30, what="the owed list stored",
                   on_timeout=rig.explain)
        source.kill()
    else:
        assert source.stop() == 0, source.log_text()[-3000:]
    source.start()
    # The outage lasts until the restarted source has said "retrying" at least
    # (its first attempt may hang for the whole time-out).
    try:
        wait_until(lambda: (lambda d: d["Health"] == "retrying" and "NextRetrySeconds" in d)(delivery(source)),
                   timeout=3 * rig.http_timeout + 10, what="\"retrying\" after the restart", on_timeout=rig.explain)
    except AssertionError as e:
        row.check(False, str(e).split("\n")[0])
    time.sleep(max(0.0, started + outage - time.time()))
    proxy.set_mode("pass")
    recovered = time.time()
    row.outage = recovered - started
    row.attempts = source.new_log().count(STARTING)
    return check_healing(rig, row, files, recovered, strict)


def run_wrong_password(hosts, tls_material, outage, count, strict=True):
    """A managed server that requires a password: a wrong one is connected,
    instances come in and wait; after `outage` seconds the right one is
    connected and nothing else is done."""
    destination = https_destination(hosts, tls_material, "destination", {
        "AuthenticationEnabled": True, "RegisteredUsers": {CLOUD_USER: CLOUD_PASSWORD}})
    destination.session.auth = (CLOUD_USER, CLOUD_PASSWORD)
    destination.start()
    source = source_host(hosts, tls_material, CLOUD_NAME, destination.port)
    parameters = lambda password: {"id": "kestrum-cloud", "Url": "https://%s/" % CLOUD_NAME,  # noqa: E731
                                   "username": CLOUD_USER, "password": password}
    explain = lambda: "delivery %s\n%s" % (delivery(source), source.log_text()[-3000:])  # noqa: E731
    row = Row("401", "wrong password", count, attempts_seen_by="source log")
    files = InstanceMaker(seed=13).batch(count)

    assert source.api_post("/connect", parameters(WRONG_PASSWORD)).text == "ok"
    source.new_log()
    started = time.time()
    uploaded = upload_all(source, files.values())
    waiting = wait_until(lambda: (lambda d: d["Health"] == "retrying" and d["RetryInstances"] == count and d)(
        delivery(source)), timeout=30, what="retrying with a wrong password", on_timeout=explain)
    row.check("HTTP 401" in waiting.get("LastError", {}).get("Text", ""), "cause given: %s" % waiting)
    row.check(isinstance(waiting.get("NextRetrySeconds"), (int, float)), "no next attempt: %s" % waiting)
    time.sleep(max(0.0, started + outage - time.time()))
    row.check(destination.instances() == [], "the destination took instances with a wrong password")

    assert source.api_post("/connect", parameters(CLOUD_PASSWORD)).text == "ok"
    recovered = time.time()
    row.outage = recovered - started
    row.attempts = source.new_log().count(STARTING)
    row.check(1 <= row.attempts <= most_attempts(row.outage), "%d attempts" % row.attempts)
    # Connecting leaves no back-off: what is owed goes at once.
    row.bound = 2 * (10 + 0.05 * count)
    try:
        wait_until(lambda: len(destination.instances()) >= count, timeout=row.bound + 5,
                   what="the waiting instances", on_timeout=explain)
        row.healed = time.time() - recovered
    except AssertionError:
        if strict:
            raise
    row.lost = len(set(uploaded.values()) - destination.digests())
    if row.lost:
        row.check(False, "%d not at the destination %.0f s after connecting" % (row.lost, time.time() - recovered))
        return row.finish(strict)
    row.check(row.healed <= row.bound, "healed %.1f s after connecting" % row.healed)
    # Counted per attempt, and every attempt after the connect succeeds: a
    # success beyond the instances would be one sent again.
    status = source.status()
    row.duplicates = status["InstancesSuccess"] - count
    row.check(row.duplicates == 0, "status %s" % status)
    wait_until(lambda: delivery(source)["Health"] == "ok", timeout=30, what="health ok", on_timeout=explain)
    generation = json.loads(source.get_global_property(STATE_PROPERTY, while_running=True))["SynchronizationUuid"]
    wait_until(lambda: all(source.stamp(i) == generation for i in uploaded), timeout=30,
               what="stamps of the new generation", on_timeout=explain)
    return row.finish(strict)


@pytest.fixture
def rig(hosts):
    made = OutageRig(hosts)
    yield made
    made.close()


@pytest.mark.parametrize("fault", FAULTS)
def test_outage_heals_a_live_feed_and_a_replay(rig, fault):
    for mode in ("live", "replay"):
        row = run_outage(rig, fault, mode, OUTAGE_SECONDS, OUTAGE_INSTANCES)
        print("%s %s: %.1f s outage, %d attempts, healed %.1f s after (bound %.1f s)"
              % (fault, mode, row.outage, row.attempts, row.healed, row.bound))


# A hung attempt holds the instances that come in meanwhile in the plug-in's
# queue; the stop must not forget them.
@pytest.mark.parametrize("how, fault", [("SIGTERM", "refuse"), ("SIGTERM", "hang"), ("SIGKILL", "refuse")])
def test_a_source_restarted_during_an_outage_heals_after_its_restart(rig, how, fault):
    row = run_restart(rig, how, fault, OUTAGE_SECONDS, OUTAGE_INSTANCES)
    print("restart (%s, %s): healed %.1f s after the outage" % (how, fault, row.healed))


def test_http_401_until_the_right_password_is_connected(hosts, tls):  # noqa: F811
    row = run_wrong_password(hosts, tls, OUTAGE_SECONDS, OUTAGE_INSTANCES)
    print("401: %d attempts, healed %.1f s after connecting" % (row.attempts, row.healed))
