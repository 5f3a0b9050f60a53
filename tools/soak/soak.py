#!/usr/bin/env python3
"""Soak run of the dev server with the plug-in under a steady mixed load.

    tools/soak/soak.py --minutes 10 --build build/release --out build/soak

Starts the built dev server with QuellmoorBridge in a fresh server root, a
webhook receiver of its own on 127.0.0.1 and RCON on 127.0.0.1 (ports chosen
by the OS), and for the given time:

- players join and leave (a few at a time, one changes every 20 s; three
  listeners with long names stay and make every `listplayers` reply span
  several RCON packets);
- a player chats every 150 ms with umlauts, emoji and CJK; every tenth line
  is tribe chat or a command (filtered: it must never reach the receiver);
- one RCON client stays logged in and sends a quellmoorsay line every 3 s;
  every 10 s a fresh client connects, logs in, reads `listplayers` (a long
  reply) and closes;
- the plug-in is unloaded and loaded again every minute (at :45);
- the receiver is down for 30 s every 2 minutes (from 1:30 to 2:00, ...).

Every second it writes one CSV row (resident memory, descriptors, threads,
live engine-heap blocks, the game loop's tick lateness, and chat lines
forwarded, received and failed) to soak.csv, at the end a PNG plot
(soak.png, gnuplot) and verdict lines; the exit code is 1 when a verdict
fails.

How chat lines are judged: every line carries a tag; the driver knows when
it said it and whether the receiver was up. Each forwarded line has exactly
one outcome: its body arrives at the receiver, or the plug-in logs
"POST /plugin/chat fehlgeschlagen". Lines said within 2 s of a switch of the
receiver may go either way (they were in flight); all others must have the
outcome of their phase. The receiver stops gracefully (a request it has
started is answered), so no line has both outcomes. Chat pauses for 1.5 s
before each reload, because an unload drops the completions of the
plug-in's requests in flight (by design) and a line then has no outcome.
"""

import argparse
import base64
import collections
import http.server
import json
import os
import queue
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "examples", "service"))
import rcon  # noqa: E402  (the one RCON client in Python: examples/service/rcon.py)

CHAT_INTERVAL = 0.150
SAY_INTERVAL = 3.0
LONG_REPLY_INTERVAL = 10.0
PLAYER_CHANGE_INTERVAL = 20.0
RELOAD_PERIOD = 60.0
RELOAD_OFFSET = 45.0
OUTAGE_PERIOD = 120.0
OUTAGE_START = 90.0  # within each period
OUTAGE_LENGTH = 30.0
SWITCH_MARGIN = 2.0
RELOAD_QUIET = 1.5
PASSWORD = "soak-password"
TOKEN = "soak-token"
TEXTS = [
    "Grüße aus Quellmoor",
    "Wer kommt mit zur Höhle? 🐉",
    "Schöne Äxte, übrigens",
    "你好，世界",
    "Kaffee ☕ und Kuchen 🍰",
    "Straße gesperrt, Brücke fällt",
]


def outage_at(t):
    """True while the receiver is down, t seconds after the start."""
    return (t % OUTAGE_PERIOD) >= OUTAGE_START and (t % OUTAGE_PERIOD) < OUTAGE_START + OUTAGE_LENGTH


def near_switch(t):
    phase = t % OUTAGE_PERIOD
    edges = [OUTAGE_START, OUTAGE_START + OUTAGE_LENGTH, 0.0, OUTAGE_PERIOD]
    return any(abs(phase - e) < SWITCH_MARGIN for e in edges)


# ----------------------------------------------------------------- receiver


class Receiver:
    """The webhook service: counts chat bodies by tag; can be stopped and
    started again on the same port."""

    def __init__(self):
        self.lock = threading.Lock()
        self.received = collections.Counter()  # tag -> bodies
        self.chat_bodies = 0
        self.heartbeats = 0
        self.bad = []  # requests that broke the contract
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        self.port = probe.getsockname()[1]
        probe.close()
        self.server = None
        self.thread = None

    def _handler(self):
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            # One request per connection: a stop then waits only for the
            # requests being answered, never for an idle kept-alive one.
            protocol_version = "HTTP/1.0"
            timeout = 10

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length)
                with outer.lock:
                    if self.headers.get("Authorization") != "Bearer " + TOKEN:
                        outer.bad.append("token: " + self.path)
                    if self.path == "/plugin/chat":
                        outer.chat_bodies += 1
                        try:
                            message = json.loads(body.decode("utf-8"))["message"]
                            outer.received[message.rsplit("#", 1)[-1]] += 1
                        except (ValueError, KeyError):
                            outer.bad.append("body: " + body[:80].decode("utf-8", "replace"))
                    elif self.path == "/plugin/heartbeat":
                        outer.heartbeats += 1
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        return Handler

    def start(self):
        deadline = time.monotonic() + 10
        while True:
            try:
                self.server = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), self._handler())
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.server.daemon_threads = False
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.1})
        self.thread.start()

    def stop(self):
        if self.server is None:
            return
        self.server.shutdown()
        self.server.server_close()  # waits for requests being answered
        self.thread.join()
        self.server = None

    def snapshot(self):
        with self.lock:
            return self.chat_bodies, collections.Counter(self.received)


# --------------------------------------------------------------------- RCON


class Rcon(rcon.RconClient):
    """The reference service's RCON client (examples/service/rcon.py), logged
    in on 127.0.0.1, with a way to read a reply that spans several packets."""

    def __init__(self, port):
        super().__init__("127.0.0.1", port, PASSWORD, timeout=10)

    def exec_all(self, command):
        """The reply's packets (joined) and how many there were: an empty
        RESPONSE packet sent after the command comes back after its reply."""
        command_id = self._send(rcon.EXEC, command)
        marker_id = self._send(rcon.RESPONSE, "")
        parts = []
        while True:
            packet_id, _, body = self._read()
            if packet_id == marker_id:
                return "".join(parts), len(parts)
            if packet_id == command_id:
                parts.append(body)


# --------------------------------------------------------------- the server


class Server:
    def __init__(self, binary, root, tick_ms):
        self.proc = subprocess.Popen(
            [binary, "--root", root, "--rcon-port", "0", "--rcon-password", PASSWORD,
             "--tick-ms", str(tick_ms), "--quit-on-eof"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            bufsize=0)
        self.lines = queue.Queue(maxsize=1000)  # lines a waiter asked for
        self.lock = threading.Lock()
        self.failed_chat = 0
        self.failed_heartbeat = 0
        self.stats = queue.Queue()
        self.rcon_port = None
        self.ready = threading.Event()
        self.tail = collections.deque(maxlen=200)  # last lines, for a post-mortem
        self.heap_at_stop = None
        self.out_lines = 0
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.out_lines += 1
            if line.startswith("CHAT "):
                continue
            self.tail.append(line)
            if "POST /plugin/chat fehlgeschlagen" in line:
                with self.lock:
                    self.failed_chat += 1
            elif "POST /plugin/heartbeat fehlgeschlagen" in line:
                with self.lock:
                    self.failed_heartbeat += 1
            elif line.startswith("OK stats "):
                self.stats.put(dict(kv.split("=", 1) for kv in line.split()[2:]))
            elif "RCON listening on 127.0.0.1:" in line:
                self.rcon_port = int(line.rsplit(":", 1)[1])
            elif "Dev server ready" in line:
                self.ready.set()
            elif "engine heap:" in line:
                self.heap_at_stop = line
            elif line.startswith("OK plugins.") or line.startswith("ERROR"):
                try:
                    self.lines.put_nowait(line)
                except queue.Full:
                    pass

    def send(self, command):
        self.proc.stdin.write((command + "\n").encode("utf-8"))

    def wait_line(self, prefix, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError("no line starting with %r" % prefix)
            line = self.lines.get(timeout=left)
            if line.startswith(prefix):
                return line

    def proc_status(self):
        fields = {}
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
        fds = len(os.listdir("/proc/%d/fd" % self.proc.pid))
        return int(fields["VmRSS"].split()[0]), fds, int(fields["Threads"])


# ------------------------------------------------------------------ the load


class Load:
    def __init__(self, server, start):
        self.server = server
        self.start = start
        self.rng = random.Random(18)
        self.players = []
        self.serial = 0
        self.tag = 0
        self.said = {}  # tag -> (t, phase) for forwarded lines
        self.filtered = set()
        self.forwarded = 0
        self.say_ok = 0
        self.say_other = []
        self.long_replies = 0
        self.long_reply_packets = 0
        self.reloads = 0
        self.errors = []
        self.paused_until = 0.0

    def now(self):
        return time.monotonic() - self.start

    def join(self):
        self.serial += 1
        name = "Spieler%03d" % self.serial
        character = "Thorgar_%d" % self.serial if self.serial % 2 else ""
        self.server.send("join %s %s" % (name, character))
        self.players.append(name)

    def setup(self):
        for i in range(3):
            # Long names make `listplayers` answer with several packets.
            self.server.send("join Zuhörer%d_%s" % (i, "ä" * 1000))
        for _ in range(4):
            self.join()

    def change_player(self):
        gone = self.players.pop(0)
        self.server.send("leave " + gone)
        self.join()

    def chat(self):
        if self.now() < self.paused_until or not self.players:
            return
        self.tag += 1
        t = self.now()
        player = self.rng.choice(self.players)
        text = "%s #m%d" % (self.rng.choice(TEXTS), self.tag)
        tag = "m%d" % self.tag
        kind = self.tag % 10
        if kind == 3:
            self.server.send("chat %s --mode 1 %s" % (player, text))
            self.filtered.add(tag)
        elif kind == 7:
            self.server.send("chat %s --command /%s" % (player, text))
            self.filtered.add(tag)
        else:
            self.server.send("chat %s %s" % (player, text))
            self.said[tag] = (t, "down" if outage_at(t) else "up")
            self.forwarded += 1

    def say(self, rcon):
        payload = {"sender": "Admin", "message": "Durchsage %d 📢 für alle" % int(self.now())}
        encoded = base64.b64encode(json.dumps(payload, ensure_ascii=False).encode("utf-8"))
        reply, _ = rcon.exec_all("quellmoorsay " + encoded.decode("ascii"))
        if reply == "OK":
            self.say_ok += 1
        else:
            self.say_other.append(reply)

    def long_reply(self, port):
        client = Rcon(port)
        try:
            reply, packets = client.exec_all("listplayers")
            if "Zuhörer2_" not in reply:
                self.errors.append("listplayers reply incomplete (%d bytes)" % len(reply))
            self.long_replies += 1
            self.long_reply_packets += packets
        finally:
            client.close()

    def reload(self):
        self.server.send("plugins.unload QuellmoorBridge")
        self.server.wait_line("OK plugins.unload")
        self.server.send("plugins.load QuellmoorBridge")
        self.server.wait_line("OK plugins.load")
        self.reloads += 1


# --------------------------------------------------------------------- plot


def plot(csv_path, png_path, minutes):
    outages = []
    t = OUTAGE_START
    while t < minutes * 60:
        outages.append((t, min(t + OUTAGE_LENGTH, minutes * 60)))
        t += OUTAGE_PERIOD
    shades = "\n".join(
        'set object %d rect from %g, graph 0 to %g, graph 1 fc rgb "#f4d6d6" fs solid 0.6 noborder behind'
        % (i + 1, a / 60, b / 60)
        for i, (a, b) in enumerate(outages))
    script = """
set terminal pngcairo size 1400,1100 font "sans,10"
set output '%(png)s'
set datafile separator ','
set key top left
set grid
set xlabel 'minutes (shaded: webhook receiver down)'
%(shades)s
set multiplot layout 4,1 title 'QuellmoorBridge dev server soak, %(minutes)d min'
set ylabel 'resident MiB'
set yrange [0:*]
plot '%(csv)s' using ($1/60):($2/1024) skip 1 with lines lw 2 title 'resident memory'
set ylabel 'count'
plot '%(csv)s' using ($1/60):3 skip 1 with lines lw 2 title 'descriptors', \\
     '' using ($1/60):4 skip 1 with lines lw 2 title 'threads', \\
     '' using ($1/60):5 skip 1 with lines lw 2 title 'live engine-heap blocks'
set ylabel 'ms'
set logscale y
set yrange [0.01:*]
plot '%(csv)s' using ($1/60):($6/1000.0 < 0.01 ? 0.01 : $6/1000.0) skip 1 with lines title 'tick lateness (max per second)'
unset logscale y
set yrange [0:*]
set ylabel 'chat lines'
plot '%(csv)s' using ($1/60):7 skip 1 with lines lw 2 title 'forwarded', \\
     '' using ($1/60):8 skip 1 with lines lw 2 title 'received', \\
     '' using ($1/60):9 skip 1 with lines lw 2 title 'failed (logged)'
unset multiplot
""" % {"png": png_path, "csv": csv_path, "shades": shades, "minutes": minutes}
    subprocess.run(["gnuplot"], input=script.encode("utf-8"), check=True)


# --------------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--out", default="build/soak")
    parser.add_argument("--tick-ms", type=int, default=100)
    args = parser.parse_args()

    binary = os.path.join(args.build, "devserver", "devserver")
    plugin = os.path.join(args.build, "src", "QuellmoorBridge.so")
    for path in (binary, plugin):
        if not os.path.exists(path):
            sys.exit("soak: %s is missing (build the release preset first)" % path)
    os.makedirs(args.out, exist_ok=True)
    csv_path = os.path.join(args.out, "soak.csv")
    png_path = os.path.join(args.out, "soak.png")
    summary_path = os.path.join(args.out, "soak-summary.txt")

    receiver = Receiver()
    root = tempfile.mkdtemp(prefix="qb-soak-")
    plugin_dir = os.path.join(root, "ArkApi", "Plugins", "QuellmoorBridge")
    os.makedirs(plugin_dir)
    shutil.copy(plugin, os.path.join(plugin_dir, "QuellmoorBridge.so"))
    with open(os.path.join(plugin_dir, "config.json"), "w") as f:
        json.dump({"webhookBaseUrl": "http://127.0.0.1:%d" % receiver.port, "token": TOKEN,
                   "map": "Soak_WP", "serverVersion": "soak"}, f)

    receiver.start()
    receiver_up = True
    server = Server(binary, root, args.tick_ms)
    if not server.ready.wait(30) or server.rcon_port is None:
        server.proc.kill()
        receiver.stop()
        sys.exit("soak: the dev server did not start:\n" + "\n".join(server.tail))

    duration = args.minutes * 60
    start = time.monotonic()
    load = Load(server, start)
    load.setup()
    admin = Rcon(server.rcon_port)
    rows = []
    csv = open(csv_path, "w")
    csv.write("t_s,rss_kib,fds,threads,live_blocks,tick_late_max_us,"
              "chat_forwarded,chat_received,chat_failed,receiver_up\n")
    next_chat = next_say = next_long = next_change = next_sample = 0.0
    next_sample = 1.0
    next_change = PLAYER_CHANGE_INTERVAL
    next_reload = RELOAD_OFFSET
    next_chat = 0.2
    failure = None
    try:
        while True:
            t = load.now()
            if t >= duration:
                break
            want_up = not outage_at(t)
            if want_up != receiver_up:
                if want_up:
                    receiver.start()
                else:
                    receiver.stop()
                receiver_up = want_up
            if t >= next_reload - RELOAD_QUIET and load.paused_until < next_reload + 0.01:
                load.paused_until = next_reload + 0.01
            if t >= next_reload:
                load.reload()
                next_reload += RELOAD_PERIOD
                load.paused_until = 0.0
            if t >= next_chat:
                load.chat()
                next_chat += CHAT_INTERVAL
            if t >= next_say:
                load.say(admin)
                next_say += SAY_INTERVAL
            if t >= next_long:
                load.long_reply(server.rcon_port)
                next_long += LONG_REPLY_INTERVAL
            if t >= next_change:
                load.change_player()
                next_change += PLAYER_CHANGE_INTERVAL
            if t >= next_sample:
                server.send("stats")
                stats = server.stats.get(timeout=10)
                rss, fds, threads = server.proc_status()
                received, _ = receiver.snapshot()
                with server.lock:
                    failed = server.failed_chat
                row = (round(t), rss, fds, threads, int(stats["live_blocks"]),
                       int(stats["tick_late_max_us"]), load.forwarded, received, failed,
                       1 if receiver_up else 0)
                rows.append(row)
                csv.write(",".join(str(v) for v in row) + "\n")
                csv.flush()
                next_sample += 1.0
            wait = min(next_chat, next_say, next_long, next_change, next_sample,
                       next_reload - RELOAD_QUIET) - load.now()
            if wait > 0:
                time.sleep(min(wait, 0.05))
    except Exception as e:  # the verdicts say what broke; the server still stops
        failure = "the load stopped at %.0f s: %r" % (load.now(), e)
    finally:
        csv.close()

    # Let the last lines' outcomes arrive, then stop the server.
    if not receiver_up:
        receiver.start()
        receiver_up = True
    settle = time.monotonic() + 15
    while time.monotonic() < settle:
        received, _ = receiver.snapshot()
        with server.lock:
            failed = server.failed_chat
        if received + failed >= load.forwarded:
            break
        time.sleep(0.2)
    try:
        admin.close()
    except OSError:
        pass
    stop_sent = time.monotonic()
    server.proc.send_signal(signal.SIGTERM)
    try:
        code = server.proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        server.proc.kill()
        code = None
    stop_took = time.monotonic() - stop_sent
    server.reader.join(timeout=5)
    receiver.stop()
    shutil.rmtree(root, ignore_errors=True)

    # ------------------------------------------------------------ verdicts
    verdicts = []

    def verdict(ok, text):
        verdicts.append((ok, text))

    if failure:
        verdict(False, failure)
    baseline_rows = [r for r in rows if r[0] >= 60]
    if baseline_rows:
        base = baseline_rows[0]
        peak_rss = max(r[1] for r in baseline_rows)
        growth = (peak_rss - base[1]) * 100.0 / base[1]
        verdict(growth <= 5.0,
                "memory: %.1f MiB at 1:00, peak after it %.1f MiB, at the end %.1f MiB: growth %.1f%% "
                "(at most 5%%)" % (base[1] / 1024, peak_rss / 1024, rows[-1][1] / 1024, growth))
        fd_max = max(r[2] for r in baseline_rows)
        fd_min = min(r[2] for r in baseline_rows)
        verdict(fd_max - base[2] <= 4 and rows[-1][2] <= base[2] + 2,
                "descriptors: %d at 1:00, %d-%d after it, %d at the end (flat: at most +4, end at most +2)"
                % (base[2], fd_min, fd_max, rows[-1][2]))
        th_max = max(r[3] for r in baseline_rows)
        th_min = min(r[3] for r in baseline_rows)
        verdict(th_max == th_min == base[3],
                "threads: %d at 1:00, %d-%d after it (flat)" % (base[3], th_min, th_max))
    else:
        verdict(False, "memory, descriptors, threads: the run was shorter than one minute")
    verdict(code == 0 and stop_took < 2.0,
            "stop: exit code %s %.2f s after SIGTERM" % (code, stop_took))
    verdict(server.heap_at_stop is not None and "engine heap: 0 live blocks" in server.heap_at_stop,
            "engine heap at stop: %s" % (server.heap_at_stop or "no line").split("engine heap: ")[-1])

    received_total, by_tag = receiver.snapshot()
    with server.lock:
        failed_total = server.failed_chat
    up_lost = [tag for tag, (t, phase) in load.said.items()
               if phase == "up" and not near_switch(t) and by_tag[tag] == 0]
    down_received = [tag for tag, (t, phase) in load.said.items()
                     if phase == "down" and not near_switch(t) and by_tag[tag] > 0]
    duplicates = [tag for tag, n in by_tag.items() if n > 1]
    strays = [tag for tag in by_tag if tag not in load.said]
    up_count = sum(1 for t, p in load.said.values() if p == "up")
    down_count = load.forwarded - up_count
    at_switch = sum(1 for t, p in load.said.values() if near_switch(t))
    verdict(not up_lost and not duplicates and not strays,
            "receiver up: %d chat lines said, every one received once (lost %d, duplicates %d, "
            "filtered or unknown lines received %d)"
            % (up_count, len(up_lost), len(duplicates), len(strays)))
    verdict(not down_received and failed_total == load.forwarded - received_total,
            "receiver down: %d chat lines said, none received (%d were); every line not received "
            "logged as failed: %d forwarded = %d received + %d failed (%d said within %g s of a "
            "switch, either outcome)"
            % (down_count, len(down_received), load.forwarded, received_total, failed_total,
               at_switch, SWITCH_MARGIN))
    verdict(not receiver.bad, "requests to the receiver as the contract says (%d broke it)"
            % len(receiver.bad))
    verdict(not load.say_other and not load.errors,
            "RCON: %d say lines answered OK (%d otherwise), %d long replies in %d packets%s"
            % (load.say_ok, len(load.say_other), load.long_replies, load.long_reply_packets,
               "; " + "; ".join(load.errors[:3]) if load.errors else ""))
    late = sorted(r[5] for r in rows)
    info = []
    if late:
        info.append("tick lateness (max per second, tick %d ms): median %.2f ms, p99 %.2f ms, max %.2f ms"
                    % (args.tick_ms, late[len(late) // 2] / 1000, late[int(len(late) * 0.99)] / 1000,
                       late[-1] / 1000))
    info.append("load: %d chat lines (%d filtered), %d reloads, %d heartbeats received, %d failed; "
                "%d output lines read" % (load.tag, len(load.filtered), load.reloads,
                                          receiver.heartbeats, server.failed_heartbeat,
                                          server.out_lines))

    try:
        plot(csv_path, png_path, args.minutes)
        info.append("plot: " + png_path)
    except (OSError, subprocess.CalledProcessError) as e:
        verdict(False, "plot: gnuplot failed: %s" % e)

    lines = ["soak: %g minutes, CSV %s" % (args.minutes, csv_path)]
    lines += ["%s %s" % ("PASS" if ok else "FAIL", text) for ok, text in verdicts]
    lines += ["info " + text for text in info]
    passed = all(ok for ok, _ in verdicts)
    lines.append("soak: %s" % ("passed" if passed else "FAILED"))
    if not passed:
        lines.append("last lines of the dev server:")
        lines += ["  " + l for l in list(server.tail)[-20:]]
    with open(summary_path, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
