#!/usr/bin/env python3
"""Figures of the gateway's events, against kestrel-recorder on loopback.

usage: bench/gateway_events.py BUILD_DIR [SECONDS]

1. Delay: one recorder raises a bit every 200 ms (--raise); the delay from the
   emulator's send (its log line) to the event stream (curl), a webhook (a
   local receiver) and MQTT (mosquitto_sub on Debian's broker) receiving the
   message's event, median of 50, split at the gateway's own time stamp of
   the event; beside it the broker's own delay (mosquitto_pub to
   mosquitto_sub) as the baseline of the MQTT figure.
2. Load: 16 recorders x 8 channels, each bit set and cleared every second;
   the gateway's CPU and memory with an event stream client, two webhooks and
   MQTT, against the same site with no bit raised and no output (baseline),
   in the same run.
"""
import datetime
import http.server
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from gateway_procs import Processes, cpu_and_memory, free_port

BUILD = os.path.abspath(sys.argv[1])
SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 30
KESTREL = f"{BUILD}/tools/kestrel"
RECORDER = f"{BUILD}/tools/kestrel-recorder"
WORK = tempfile.mkdtemp(prefix="kestrel-events-bench-")
processes = Processes(WORK)
procs = processes.procs
start = processes.start
logged = processes.logged
stop = Processes.stop


def recorder(name, args):
    start([RECORDER, "--port", "0", "--channels", "8"] + args, name)
    return int(logged(name, r"listening on 127\.0\.0\.1:(\d+)").group(1))


class Hook(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    got = {}

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        Hook.got.setdefault(self.server.server_port, []).append((time.time(), body))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


def webhook():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hook)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def lines_of(p, into, prefix=""):
    def run():
        for line in p.stdout:
            line = line.decode(errors="replace").rstrip("\n")
            if line.startswith(prefix):
                into.append((time.time(), line[len(prefix):]))
    threading.Thread(target=run, daemon=True).start()


def broker():
    port = free_port()
    with open(f"{WORK}/mosquitto.conf", "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\n")
    start(["/usr/sbin/mosquitto", "-c", f"{WORK}/mosquitto.conf"], "mosquitto")
    deadline = time.time() + 10
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return port
        except OSError:
            time.sleep(0.05)
    sys.exit("mosquitto did not start")


def gateway(name, site):
    with open(f"{WORK}/{name}.yaml", "w") as f:
        f.write(site)
    p = start([KESTREL, "gateway", "--config", f"{WORK}/{name}.yaml"], name)
    http_port = int(logged(name, r"serving http://127\.0\.0\.1:(\d+)/").group(1))
    return p, http_port


def site_text(recorders, outputs):
    s = "listen: 127.0.0.1:0\nhttp: 127.0.0.1:0\nstats: 0\nevents:\n  word1: motion\n" + outputs + "recorders:\n"
    for name, port in recorders:
        s += f"  - name: {name}\n    address: 127.0.0.1\n    port: {port}\n    channels: 8\n"
    return s


def outputs_text(hooks, mqtt_port):
    s = "webhooks:\n"
    for h in hooks:
        s += f"  - url: http://127.0.0.1:{h.server_port}/\n    kinds: [message, motion]\n    queue: 4096\n"
    return s + f"mqtt:\n  host: 127.0.0.1\n  port: {mqtt_port}\n"


def raised_times(name):
    """The emulator's send time of each message it raised, by its count."""
    day = datetime.datetime.now().astimezone()
    times = {}
    for m in re.finditer(r"^(\d\d):(\d\d):(\d\d)\.(\d{3}) message (\d+):", open(f"{WORK}/{name}.log").read(), re.M):
        t = day.replace(hour=int(m[1]), minute=int(m[2]), second=int(m[3]), microsecond=int(m[4]) * 1000)
        times[int(m[5])] = t.timestamp()
    return times


def message_count(event):
    return int.from_bytes(bytes.fromhex(event["bytes"])[0:4], "little")


def stamp(event):
    return datetime.datetime.fromisoformat(event["time"]).timestamp()


def median_ms(values):
    return f"{statistics.median(values) * 1000:.1f} ms" if values else "none"


def delays():
    mqtt_port = broker()
    hook = webhook()
    port = recorder("latency-recorder", ["--raise", "1:0:200:100"])
    gw, http_port = gateway("latency-gateway", site_text([("hall", port)], outputs_text([hook], mqtt_port)))
    sse, mqtt = [], []
    lines_of(start(["curl", "-sN", f"http://127.0.0.1:{http_port}/api/events?kind=message"], "curl",
                   subprocess.PIPE), sse, "data: ")
    lines_of(start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(mqtt_port), "-t", "kestrel/events"], "sub",
                   subprocess.PIPE), mqtt)
    # The broker's own delay, the MQTT figure's baseline.
    own = []
    lines_of(start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(mqtt_port), "-t", "bench/ping"], "ping-sub",
                   subprocess.PIPE), own)
    time.sleep(1)
    sent = []
    for i in range(50):
        sent.append(time.time())
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(mqtt_port), "-t", "bench/ping", "-m", str(i)])
        time.sleep(0.05)
    time.sleep(13)
    raised = raised_times("latency-recorder")
    first = min(raised) + 3  # after every output is in place
    results = {}
    for name, got in (("event stream", sse), ("webhook", [(t, b.decode()) for t, b in Hook.got.get(hook.server_port, [])]),
                      ("mqtt", mqtt)):
        total, path, out = [], [], []
        for t, text in got:
            e = json.loads(text)
            if e.get("kind") != "message":
                continue
            n = message_count(e)
            if n in raised and n >= first and len(total) < 50:
                total.append(t - raised[n])
                path.append(stamp(e) - raised[n])
                out.append(t - stamp(e))
        results[name] = (len(total), median_ms(total), median_ms(path), median_ms(out))
    broker_own = [t - s for (t, _), s in zip(own, sent)]
    for p in (gw,):
        stop(p)
    print("delay from the emulator's send of a message (a bit set or cleared) to the output's receipt,"
          " median of 50:")
    for name, (n, total, path, out) in results.items():
        print(f"  {name:13} {total:>9} (n={n}): emulator -> gateway's event {path}, event -> received {out}")
    print(f"  baseline: mosquitto_pub -> mosquitto_sub on the same broker: {median_ms(broker_own)}"
          f" (n={len(broker_own)}; includes starting mosquitto_pub)")
    return mqtt_port


def load(mqtt_port):
    quiet = [(f"r{i}", recorder(f"quiet-{i}", [])) for i in range(16)]
    gw, _ = gateway("baseline-gateway", site_text(quiet, ""))
    logged("baseline-gateway", r"r15: logged in")
    time.sleep(5)
    base = cpu_and_memory(gw.pid, SECONDS)
    stop(gw)
    raising = []
    for i in range(16):
        args = []
        for b in range(8):
            args += ["--raise", f"1:{b}:1000:500"]
        raising.append((f"r{i}", recorder(f"raise-{i}", args)))
    hooks = [webhook(), webhook()]
    gw, http_port = gateway("load-gateway", site_text(raising, outputs_text(hooks, mqtt_port)))
    sse = []
    lines_of(start(["curl", "-sN", f"http://127.0.0.1:{http_port}/api/events"], "load-curl", subprocess.PIPE), sse,
             "data: ")
    logged("load-gateway", r"r15: logged in")
    time.sleep(5)
    n0 = len(sse)
    loaded = cpu_and_memory(gw.pid, SECONDS)
    rate = (len(sse) - n0) / SECONDS
    stop(gw)
    dropped = re.findall(r"(\d+) event\(s\) dropped", open(f"{WORK}/load-gateway.log").read())
    print(f"gateway with 16 recorders x 8 channels, {SECONDS} s each:")
    print(f"  baseline (no bits raised, no outputs): CPU {base[0]:.1f} %, RSS {base[1]:.1f} MiB "
          f"(peak {base[2]:.1f}), {base[3]} threads")
    print(f"  raising 8 bits each every second (set and cleared: {16 * 16} messages/s), event stream client,"
          f" two webhooks, MQTT: CPU {loaded[0]:.1f} %, RSS {loaded[1]:.1f} MiB (peak {loaded[2]:.1f}),"
          f" {loaded[3]} threads; {rate:.0f} events/s on the stream; webhooks got "
          + ", ".join(str(len(Hook.got.get(h.server_port, []))) for h in hooks)
          + f" POSTs; dropped: {dropped[-1] if dropped else 0}")


try:
    print(f"machine: {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f} at start")
    port = delays()
    load(port)
    print(f"load at the end: {os.getloadavg()[0]:.2f}")
finally:
    for p in reversed(procs):
        stop(p)
    shutil.rmtree(WORK, ignore_errors=True)
