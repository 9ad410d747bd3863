#!/usr/bin/env python3
"""Figures of the gateway's ONVIF events, against kestrel-recorder on loopback.

usage: bench/gateway_onvif.py BUILD_DIR [SECONDS]

1. Delay: one recorder sets a bit every second (--raise, cleared 500 ms
   later); the delay from the emulator's send (its log line) to a pending
   PullMessages answering with the motion notification, median of 50, beside
   the event stream (GET /api/events, curl) in the same run as the baseline.
2. Load: 16 recorders x 8 channels, each bit set and cleared every second;
   the gateway's CPU and memory with a PullPoint subscription on each
   recorder being pulled, against the same site with the ONVIF front off.
"""
import datetime
import http.client
import os
import re
import shutil
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
WORK = tempfile.mkdtemp(prefix="kestrel-onvif-bench-")
ENVELOPE = ('<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Body>{}</s:Body></s:Envelope>')
EVENTS = 'xmlns="http://www.onvif.org/ver10/events/wsdl"'


processes = Processes(WORK)
spawn = processes.start
wait_log = processes.logged


def emulator(name, args):
    spawn([RECORDER, "--port", "0", "--channels", "8", *args], name)
    return int(wait_log(name, r"listening on 127\.0\.0\.1:(\d+)").group(1))


def gateway(name, recorders, onvif=True):
    site = (f"listen: 127.0.0.1:{free_port()}\nhttp: 127.0.0.1:0\nonvif: {'on' if onvif else 'off'}\n"
            "events:\n  word1: motion\nrecorders:\n")
    for r, port in recorders:
        site += f"  - name: {r}\n    address: 127.0.0.1\n    port: {port}\n    channels: 8\n"
    open(f"{WORK}/{name}.yaml", "w").write(site)
    p = spawn([KESTREL, "gateway", "--config", f"{WORK}/{name}.yaml"], name)
    return p, int(wait_log(name, r"serving http://127\.0\.0\.1:(\d+)/").group(1))


def soap(conn, path, body):
    conn.request("POST", path, ENVELOPE.format(body), {"Content-Type": "application/soap+xml"})
    return conn.getresponse().read().decode()


def puller(port, recorder, got, stop):
    """A PullPoint subscription on the recorder, pulled until stop is set;
    the receipt time of every answer that carries a motion start."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    answer = soap(conn, f"/onvif/{recorder}/events_service",
                  f"<CreatePullPointSubscription {EVENTS}><InitialTerminationTime>PT10M</InitialTerminationTime>"
                  "</CreatePullPointSubscription>")
    path = re.search(r"<wsa:Address>http://[^/]+([^<]+)</wsa:Address>", answer)[1]
    while not stop.is_set():
        answer = soap(conn, path, f"<PullMessages {EVENTS}><Timeout>PT5S</Timeout><MessageLimit>64</MessageLimit>"
                                  "</PullMessages>")
        if 'PropertyOperation="Changed"' in answer and 'Name="State" Value="true"' in answer:
            got.append(time.time())


def raised_times(name):
    """The emulator's send times of the messages that set word 1's bit 0."""
    day = datetime.datetime.now().astimezone()
    out = []
    for m in re.finditer(r"^(\d\d):(\d\d):(\d\d)\.(\d{3}) message \d+:.*words (\w{4})", open(f"{WORK}/{name}.log").read(),
                         re.M):
        if int(m[5], 16) & 1:
            out.append(day.replace(hour=int(m[1]), minute=int(m[2]), second=int(m[3]),
                                   microsecond=int(m[4]) * 1000).timestamp())
    return out


def delays_of(received, sent):
    out = []
    for t in received:
        before = [s for s in sent if s <= t + 0.002]
        if before and t - before[-1] < 0.5:
            out.append(t - before[-1])
    return out[:50]


def delay():
    port = emulator("latency-recorder", ["--raise", "1:0:1000:500"])
    gw, http_port = gateway("latency-gateway", [("hall", port)])
    wait_log("latency-gateway", r"hall: logged in")
    sse = []
    curl = spawn(["curl", "-sN", f"http://127.0.0.1:{http_port}/api/events?kind=motion"], "curl", subprocess.PIPE)

    def read_sse():
        for line in curl.stdout:
            if line.startswith(b"data: ") and b'"state":"start"' in line:
                sse.append(time.time())
    threading.Thread(target=read_sse, daemon=True).start()
    pulled, stop = [], threading.Event()
    threading.Thread(target=puller, args=(http_port, "hall", pulled, stop), daemon=True).start()
    time.sleep(56)
    stop.set()
    sent = raised_times("latency-recorder")
    onvif, stream = delays_of(pulled, sent), delays_of(sse, sent)
    med = lambda v: f"{statistics.median(v) * 1000:.1f} ms (n={len(v)})" if v else "none"
    print("delay from the emulator's send of a bit set to its receipt, median:")
    print(f"  PullMessages held by the gateway: {med(onvif)}")
    print(f"  baseline, the event stream (curl) in the same run: {med(stream)}")
    for p in (curl, gw):
        Processes.stop(p)


def load():
    recorders = []
    for i in range(16):
        args = []
        for b in range(8):
            args += ["--raise", f"1:{b}:1000:500"]
        recorders.append((f"r{i}", emulator(f"raise-{i}", args)))
    results = {}
    for onvif in (False, True):
        name = "onvif-gateway" if onvif else "baseline-gateway"
        gw, http_port = gateway(name, recorders, onvif)
        wait_log(name, r"r15: logged in")
        stop, counts = threading.Event(), []
        if onvif:
            for i in range(16):
                got = []
                counts.append(got)
                threading.Thread(target=puller, args=(http_port, f"r{i}", got, stop), daemon=True).start()
        time.sleep(15)  # logins, and the channels' picture sizes learnt
        results[onvif] = cpu_and_memory(gw.pid, SECONDS), sum(len(c) for c in counts)
        stop.set()
        Processes.stop(gw)
    print(f"gateway with 16 recorders x 8 channels, 8 bits each set and cleared every second, {SECONDS} s:")
    (cpu, rss, _, threads), _ = results[False]
    print(f"  baseline (onvif: off): CPU {cpu:.1f} %, RSS {rss:.1f} MiB, {threads} threads")
    (cpu, rss, _, threads), answers = results[True]
    print(f"  a PullPoint subscription on each recorder, pulled: CPU {cpu:.1f} %, RSS {rss:.1f} MiB, {threads} threads;"
          f" {answers} pulls answered with a motion start")


try:
    print(f"machine: {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f} at start")
    delay()
    load()
    print(f"load at the end: {os.getloadavg()[0]:.2f}")
finally:
    processes.stop_all()
    shutil.rmtree(WORK, ignore_errors=True)
