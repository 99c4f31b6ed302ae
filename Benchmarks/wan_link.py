#!/usr/bin/python3
"""An emulated WAN link on loopback: a TCP proxy that forwards every connection
it accepts to one upstream port, with a one-way delay and a rate cap in each
direction.

What it emulates:

- the delay: what is read from one side is cut into pieces of up to 64 KiB,
  and each piece reaches the other side `delay` after it has left the link's
  sending end, so a round trip costs 2 x delay. Reading goes on while earlier
  pieces are on their way: the link carries up to rate x delay bytes at once,
  like a real pipe, not one piece at a time. Pieces are handed over within
  about half a millisecond of their time (the event loop's timers are
  millisecond-grained; the link learns how late they fire and aims early);
- the rate: one token bucket per direction, shared by every connection through
  the link, so that four connections share the cap as four flows share a
  path. A piece occupies the link for its size over the rate, after the pieces
  read before it; an idle link gives no burst;
- connection set-up: a new connection's first bytes leave one round trip after
  it was accepted, as they would after a TCP handshake (--no-handshake turns
  this off);
- a receive window per connection and direction: at most `window` bytes that
  were read and not yet acknowledged (delivered, plus one delay for the
  acknowledgement's way back), so that a slow receiver holds its sender back
  and a single connection cannot carry more than window / round trip.

What it does not emulate: TCP's slow start and congestion control over the
path (the kernel's TCP on each loopback leg never sees the delay, so every
connection starts at the full rate, where a real one would need a few round
trips to open its window), loss and retransmission, jitter, reordering,
packet-sized units (the unit is a piece of up to 64 KiB: at 200 Mbit/s the
first bytes of a piece arrive up to 2.6 ms late, its last byte on time), and
TLS. Each side's own TCP behaviour (Nagle, delayed acknowledgements) plays
against the proxy on loopback, not against the emulated delay.

As a command (prints "port N" once listening, and a JSON line of counters
when stopped by SIGTERM or SIGINT):

    /usr/bin/python3 Benchmarks/wan_link.py --upstream-port 8042 --delay-ms 20 --mbps 200

Its own overhead and accuracy (zero delay and no cap against plain loopback,
then the cap, the delay, and a delayed capped pipe):

    /usr/bin/python3 Benchmarks/wan_link.py --self-test
"""

import argparse
import asyncio
import collections
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

# The unit the link schedules: a read is cut into pieces of this size, each
# with its own time, as a real link would let the first bytes arrive first.
PIECE = 64 * 1024
# Socket buffers of the proxy's own sockets: bounds the queue in front of the
# link (the sender's own send buffer still holds what it wrote, as it would).
SOCKET_BUFFER = 256 * 1024
# How far ahead of the link a connection may take its turn; beyond it, its
# reading pauses. Enough for the link not to idle when this process is woken
# late on a busy machine; it only moves some of the queue in front of the link
# from the kernel's buffers into the proxy.
LEAD = 0.040
# The event loop rounds its timeouts up to the millisecond and wakes some
# tenths of a millisecond late: each wait is the nearest whole number of
# milliseconds before the piece's time, less the lateness seen so far (a
# moving average, at most MAX_LATENESS), so that pieces arrive early as often
# as late, within about half a millisecond.
HALF_MILLISECOND = 0.0005
MAX_LATENESS = 0.001
DEFAULT_WINDOW_KIB = 4096
MB = 1e6


class TokenBucket:
    """The rate cap of one direction, shared by all connections: a token
    bucket without burst, kept as the time at which the direction's link is
    next free. A piece occupies it for its size over the rate, after the pieces
    read before it from any connection (first come, first served)."""

    def __init__(self, bytes_per_second):
        self.rate = bytes_per_second
        self.free_at = 0.0

    def take(self, size, now):
        """The time at which `size` bytes read at `now` have left the link's
        sending end."""
        if not self.rate:
            return now
        self.free_at = max(self.free_at, now) + size / self.rate
        return self.free_at


class Side(asyncio.Protocol):
    """One of a connection's two sockets: what it reads goes to `incoming`,
    `outgoing` writes to it."""

    def __init__(self, connection):
        self.connection = connection
        self.transport = None
        self.incoming = None
        self.outgoing = None

    def connection_made(self, transport):
        self.transport = transport
        tune(transport.get_extra_info("socket"))
        self.connection.side_made(self)

    def data_received(self, data):
        self.incoming.received(data)

    def eof_received(self):
        self.incoming.received(b"")
        return True   # half-closed: the other direction goes on

    def pause_writing(self):
        self.outgoing.output_paused = True

    def resume_writing(self):
        self.outgoing.output_paused = False
        self.outgoing.arm()

    def connection_lost(self, exc):
        self.connection.lost(self, exc)


class Pipe:
    """One direction of one connection. Each piece read is given the time at
    which it reaches the other side (when it has left the link's sending end,
    plus the delay) and queued; reading goes on meanwhile. A timer hands the
    pieces over at their times."""

    def __init__(self, connection, source, target, bucket, not_before, counter):
        self.connection = connection
        self.link = connection.link
        self.loop = connection.link.loop
        self.counter = counter
        self.source = source
        self.target = target
        self.bucket = bucket
        self.not_before = not_before
        self.queue = collections.deque()      # (arrival time, bytes); b"" is the end of stream
        self.early = []                       # read before the handshake was over
        self.last_arrival = 0.0
        self.in_flight = 0
        self.pauses = set()
        self.output_paused = False
        self.ended = False                    # end of stream read
        self.finished = False                 # end of stream handed over
        self.timer = None
        self.rate_timer = None

    # ---- reading

    def received(self, data):
        if self.ended:
            return
        self.ended = not data
        now = self.loop.time()
        if now < self.not_before or self.early:
            # Nothing leaves before the handshake is over.
            if not self.early:
                self.loop.call_at(self.not_before, self._handshake_over)
            self.early.append(data)
            self.pause("handshake")
            return
        self._schedule(data, now)

    def _handshake_over(self):
        early, self.early = self.early, []
        for data in early:
            self._schedule(data, self.not_before)
        self.resume("handshake")

    def _schedule(self, data, now):
        delay = self.link.delay
        view = memoryview(data)
        for start in range(0, max(len(data), 1), PIECE):
            piece = view[start:start + PIECE]
            # The end of stream travels too, but costs no tokens.
            left = self.bucket.take(len(piece), now) if data else now
            arrival = max(left + delay, self.last_arrival)
            self.last_arrival = arrival
            self.in_flight += len(piece)
            self.queue.append((arrival, piece))
        self.arm()
        if not data:
            return
        if left - LEAD > now:
            self.pause("rate")
            if self.rate_timer is not None:
                self.rate_timer.cancel()
            self.rate_timer = self.loop.call_at(left - LEAD, self._rate_resume)
        if self.in_flight >= self.link.window:
            self.pause("window")

    def _rate_resume(self):
        self.rate_timer = None
        self.resume("rate")

    def pause(self, reason):
        if not self.pauses and not self.ended:
            self.source.transport.pause_reading()
        self.pauses.add(reason)

    def resume(self, reason):
        self.pauses.discard(reason)
        # After the end of stream the transport no longer reads: resuming
        # would only report the end again.
        if not self.pauses and not self.ended and self.source.transport is not None:
            self.source.transport.resume_reading()

    # ---- handing over

    def arm(self):
        """Sets the timer for the first queued piece, or hands it over if due."""
        if self.timer is not None or not self.queue or self.output_paused or self.target.transport is None:
            return
        wait = round((self.queue[0][0] - self.link.lateness - self.loop.time()) * 1000.0)
        if wait > 0:
            self.timer = self.loop.call_later(wait / 1000.0 - 1e-6, self._due, True)
        else:
            self._due(False)

    def _due(self, slept):
        self.timer = None
        if self.finished or self.target.transport is None or self.target.transport.is_closing():
            return
        now = self.loop.time()
        if slept and self.queue:
            late = now - self.queue[0][0]
            self.link.lateness = min(max(self.link.lateness + 0.1 * late, 0.0), MAX_LATENESS)
        due = now + self.link.lateness + HALF_MILLISECOND
        written = 0
        while self.queue and self.queue[0][0] <= due and not self.output_paused:
            _, piece = self.queue.popleft()
            if not piece:
                self.finished = True
                if self.target.transport.can_write_eof():
                    self.target.transport.write_eof()
                self.connection.pipe_finished()
                break
            # pause_writing may come from inside write(): the loop then stops.
            self.target.transport.write(piece)
            written += len(piece)
        if written:
            self.link.counters[self.counter] += written
            if self.link.delay > 0:
                self.loop.call_later(self.link.delay, self._acknowledged, written)
            else:
                self._acknowledged(written)
        if not self.finished:
            self.arm()

    def _acknowledged(self, size):
        self.in_flight -= size
        if self.in_flight < self.link.window:
            self.resume("window")

    def cancel(self):
        for timer in (self.timer, self.rate_timer):
            if timer is not None:
                timer.cancel()
        self.timer = self.rate_timer = None
        self.finished = True


class Connection:
    """A client's connection and its own to the upstream port."""

    def __init__(self, link):
        self.link = link
        self.client = Side(self)
        self.upstream = Side(self)
        self.up = self.down = None
        self.closed = False

    def side_made(self, side):
        if side is self.client:
            loop = self.link.loop
            accepted = loop.time()
            # The client's first bytes leave after the handshake's round trip;
            # a server that speaks first could do so once the client's last
            # handshake packet has reached it.
            handshake = 2 * self.link.delay if self.link.handshake else 0.0
            self.up = Pipe(self, self.client, self.upstream, self.link.buckets["up"], accepted + handshake, "up")
            self.down = Pipe(self, self.upstream, self.client, self.link.buckets["down"],
                             accepted + 1.5 * handshake, "down")
            self.client.incoming = self.upstream.outgoing = self.up
            self.upstream.incoming = self.client.outgoing = self.down
            self.link.opened(self)
            self.task = loop.create_task(self._connect_upstream())
        elif self.closed:
            side.transport.abort()
        else:
            self.up.arm()

    async def _connect_upstream(self):
        loop = self.link.loop
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            tune(sock)
            sock.setblocking(False)
            await loop.sock_connect(sock, self.link.upstream)
            await loop.create_connection(lambda: self.upstream, sock=sock)
        except OSError:
            sock.close()
            self.link.counters["refused_upstream"] += 1
            self.abort()

    def pipe_finished(self):
        if self.up.finished and self.down.finished:
            self.close()

    def lost(self, side, exc):
        if self.closed:
            return
        if exc is not None or not (self.up.finished and self.down.finished):
            # A reset, or a side that went away before the end: the other
            # side is reset too.
            if exc is not None:
                self.link.counters["reset"] += 1
            self.abort()

    def close(self):
        """Both directions ended: each socket closes once its queue is written."""
        if not self.closed:
            self.closed = True
            for side in (self.client, self.upstream):
                if side.transport is not None:
                    side.transport.close()
            self.link.closed(self)

    def abort(self):
        if not self.closed:
            self.closed = True
            for pipe in (self.up, self.down):
                if pipe is not None:
                    pipe.cancel()
            for side in (self.client, self.upstream):
                if side.transport is not None:
                    side.transport.abort()
            self.link.closed(self)


def tune(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SOCKET_BUFFER)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


class Link:
    """The proxy in a running event loop: `await start()`, then `port`."""

    def __init__(self, upstream_port, delay_ms=0.0, mbps=None, window_kib=DEFAULT_WINDOW_KIB,
                 handshake=True, upstream_host="127.0.0.1"):
        self.upstream = (upstream_host, upstream_port)
        self.delay = delay_ms / 1000.0
        rate = mbps * 1e6 / 8 if mbps else None
        self.buckets = {"up": TokenBucket(rate), "down": TokenBucket(rate)}
        self.window = window_kib * 1024
        self.handshake = handshake
        self.counters = {"connections": 0, "refused_upstream": 0, "reset": 0, "up": 0, "down": 0}
        self.connections = set()
        self.lateness = 0.0
        self.loop = None
        self.server = None
        self.port = None

    async def start(self, port=0, host="127.0.0.1"):
        self.loop = asyncio.get_running_loop()
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        tune(listener)   # accepted sockets inherit the buffer size
        listener.bind((host, port))
        self.server = await self.loop.create_server(lambda: Connection(self).client, sock=listener, backlog=512)
        self.port = listener.getsockname()[1]
        return self

    async def close(self):
        self.server.close()
        for connection in list(self.connections):
            connection.abort()
        await asyncio.sleep(0)

    def opened(self, connection):
        self.counters["connections"] += 1
        self.connections.add(connection)

    def closed(self, connection):
        self.connections.discard(connection)


# ---------------------------------------------------------------- the link as a process

class LinkProcess:
    """The link in a process of its own, so that it shares no interpreter lock
    with whatever measures through it. `port` once started; `close()` returns
    its counters and the CPU seconds it used once listening."""

    def __init__(self, upstream_port, delay_ms=0.0, mbps=None, window_kib=DEFAULT_WINDOW_KIB, handshake=True):
        command = [sys.executable, os.path.abspath(__file__), "--upstream-port", str(upstream_port),
                   "--delay-ms", str(delay_ms), "--window-kib", str(window_kib)]
        if mbps:
            command += ["--mbps", str(mbps)]
        if not handshake:
            command.append("--no-handshake")
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().split()
        if len(line) != 2 or line[0] != "port":
            self.process.kill()
            self.process.wait()
            raise RuntimeError("the link did not start")
        self.port = int(line[1])
        self.counters = None
        self.cpu_at_start = self.cpu_seconds()

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        if self.counters is None:
            cpu = self.cpu_seconds()
            self.process.send_signal(signal.SIGTERM)
            out, _ = self.process.communicate(timeout=30)
            self.counters = json.loads(out.strip().splitlines()[-1])
            self.counters["cpu_seconds"] = cpu - self.cpu_at_start
        return self.counters

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.close()


async def serve_until_signal(args):
    link = await Link(args.upstream_port, args.delay_ms, args.mbps, args.window_kib,
                      not args.no_handshake).start(args.port, args.listen)
    print("port %d" % link.port, flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    await link.close()
    print(json.dumps(link.counters), flush=True)


# ---------------------------------------------------------------- a sink and a bulk sender

class BulkSink:
    """A TCP server in a thread that reads every connection to its end and
    notes when its last byte arrived."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.received = []     # (bytes, time of the last byte) per finished connection
        self.done = threading.Condition(self.lock)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._drain, args=(connection,), daemon=True).start()

    def _drain(self, connection):
        buffer = bytearray(1 << 20)
        total, last = 0, None
        with connection:
            while True:
                n = connection.recv_into(buffer)
                if not n:
                    break
                total += n
                last = time.monotonic()
        with self.lock:
            self.received.append((total, last))
            self.done.notify_all()

    def wait(self, count, timeout=600):
        """The (bytes, last-byte times) of the first `count` finished connections."""
        with self.lock:
            if not self.done.wait_for(lambda: len(self.received) >= count, timeout):
                raise RuntimeError("the sink saw %d of %d connections end" % (len(self.received), count))
            got, self.received = self.received[:count], self.received[count:]
        return sum(b for b, _ in got), max(t for _, t in got)

    def close(self):
        self.listener.close()


def bulk_transfer(port, buffers, connections=1, sink=None):
    """Seconds from the first connect to the sink's last byte for `buffers`
    sent through `port`, spread over `connections` connections, and the bytes
    the sink got."""
    groups = [buffers[i::connections] for i in range(connections)]
    errors = []

    def send(group):
        try:
            with socket.create_connection(("127.0.0.1", port)) as s:
                for b in group:
                    s.sendall(b)
                s.shutdown(socket.SHUT_WR)
                s.recv(1)    # until the far side closes
        except OSError as e:
            errors.append(e)

    start = time.monotonic()
    threads = [threading.Thread(target=send, args=(g,)) for g in groups]
    for t in threads:
        t.start()
    received, last = sink.wait(connections)
    for t in threads:
        t.join()
    if errors:
        raise RuntimeError("bulk transfer: %s" % errors[0])
    return last - start, received


class EchoServer:
    """Answers every byte with the same byte, for round-trip times."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._echo, args=(connection,), daemon=True).start()

    @staticmethod
    def _echo(connection):
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with connection:
            while True:
                data = connection.recv(65536)
                if not data:
                    return
                connection.sendall(data)

    def close(self):
        self.listener.close()


def round_trips(port, count):
    """(seconds to connect and get the first echo, [round-trip seconds of the next ones])."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.sendall(b"x")
        s.recv(1)
        first = time.monotonic() - start
        times = []
        for _ in range(count):
            t = time.monotonic()
            s.sendall(b"x")
            s.recv(1)
            times.append(time.monotonic() - t)
    return first, times


# ---------------------------------------------------------------- self-test

def self_test(total_mib):
    buffers = [os.urandom(1 << 20)] * total_mib
    total = total_mib * (1 << 20)
    sink, echo = BulkSink(), EchoServer()
    print("load average %.2f at the start" % os.getloadavg()[0])
    print("| path | connections | seconds | MB/s | Mbit/s | ratio | link CPU s per GB |")
    print("|---|---|---|---|---|---|---|")

    def row(name, connections, seconds, received, reference=None, cpu=None):
        if received != total:
            raise RuntimeError("%s: %d of %d bytes" % (name, received, total))
        rate = total / MB / seconds
        print("| %s | %d | %.2f | %.1f | %.0f | %s | %s |"
              % (name, connections, seconds, rate, rate * 8, "%.2f" % (rate / reference) if reference else "",
                 "%.2f" % (cpu / (total / 1e9)) if cpu is not None else ""), flush=True)
        return rate

    for connections in (1, 4):
        seconds, received = bulk_transfer(sink.port, buffers, connections, sink)
        direct = row("loopback, no link", connections, seconds, received)
        with LinkProcess(sink.port) as link:
            cpu = link.cpu_seconds()
            seconds, received = bulk_transfer(link.port, buffers, connections, sink)
            cpu = link.cpu_seconds() - cpu
        row("link, no delay, no cap", connections, seconds, received, direct, cpu)

    # 100 MiB in pieces of 256 KiB, so that 200 connections get two each.
    capped = [os.urandom(256 * 1024)] * 400
    capped_total = 100 << 20
    for delay_ms, connections in ((0, 1), (0, 4), (20, 1), (40, 1), (40, 4), (20, 200)):
        with LinkProcess(sink.port, delay_ms, 200) as link:
            seconds, received = bulk_transfer(link.port, capped, connections, sink)
            counters = link.close()
        if received != capped_total:
            raise RuntimeError("%d of %d bytes" % (received, capped_total))
        rate = capped_total / MB / seconds
        # What a perfect link would take: the bytes at the cap, plus the
        # handshake's round trip and the last byte's way across.
        ideal = capped_total / (200e6 / 8) + 3 * delay_ms / 1000.0
        print("| link, %d ms one way, 200 Mbit/s cap | %d | %.2f | %.1f | %.0f | %.2f of the cap,"
              " %.2f of a perfect link's %.2f s; %d connections forwarded, %d reset | |"
              % (delay_ms, connections, seconds, rate, rate * 8, rate * 8 / 200, ideal / seconds, ideal,
                 counters["connections"], counters["reset"]), flush=True)

    print()
    print("| path | connect + first echo | round trip, median | min | max |")
    print("|---|---|---|---|---|")
    first, times = round_trips(echo.port, 50)
    print("| loopback, no link | %.2f ms | %.3f ms | %.3f ms | %.3f ms |"
          % (first * 1e3, statistics.median(times) * 1e3, min(times) * 1e3, max(times) * 1e3))
    for delay_ms in (20, 40):
        with LinkProcess(echo.port, delay_ms, 200) as link:
            first, times = round_trips(link.port, 50)
        print("| link, %d ms one way | %.2f ms | %.2f ms | %.2f ms | %.2f ms |"
              % (delay_ms, first * 1e3, statistics.median(times) * 1e3, min(times) * 1e3, max(times) * 1e3))
    print("load average %.2f at the end" % os.getloadavg()[0])
    sink.close()
    echo.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--upstream-port", type=int)
    parser.add_argument("--port", type=int, default=0, help="port to listen on (0: any free one)")
    parser.add_argument("--listen", default="127.0.0.1")
    parser.add_argument("--delay-ms", type=float, default=0.0, help="one-way delay (the round trip is twice it)")
    parser.add_argument("--mbps", type=float, default=None, help="rate cap per direction in Mbit/s (none: no cap)")
    parser.add_argument("--window-kib", type=int, default=DEFAULT_WINDOW_KIB,
                        help="bytes in flight per connection and direction")
    parser.add_argument("--no-handshake", action="store_true",
                        help="a new connection's first bytes leave at once rather than one round trip later")
    parser.add_argument("--self-test", action="store_true", help="measure the link's overhead and accuracy")
    parser.add_argument("--self-test-mib", type=int, default=1024, help="bytes per overhead transfer")
    args = parser.parse_args()
    if args.self_test:
        self_test(args.self_test_mib)
        return
    if args.upstream_port is None:
        parser.error("--upstream-port is required")
    asyncio.run(serve_until_signal(args))


if __name__ == "__main__":
    main()
