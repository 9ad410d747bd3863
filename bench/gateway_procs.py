"""What the gateway's Python benchmarks share: the programs they start, each
with its log in a scratch folder, waits on those logs, and a process's CPU
and memory over a time."""
import os
import re
import socket
import subprocess
import sys
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Processes:
    def __init__(self, work):
        self.work = work
        self.procs = []

    def start(self, args, name, stdout=subprocess.DEVNULL):
        p = subprocess.Popen(args, stdout=stdout, stderr=open(f"{self.work}/{name}.log", "w"))
        self.procs.append(p)
        return p

    def logged(self, name, pattern, timeout=15):
        deadline = time.time() + timeout
        while time.time() < deadline:
            m = re.search(pattern, open(f"{self.work}/{name}.log").read())
            if m:
                return m
            time.sleep(0.05)
        sys.exit(f"{name}: no '{pattern}' within {timeout} s:\n" + open(f"{self.work}/{name}.log").read()[-2000:])

    @staticmethod
    def stop(p):
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()

    def stop_all(self):
        for p in reversed(self.procs):
            self.stop(p)


def cpu_and_memory(pid, seconds):
    """CPU (% of one core) over seconds, then RSS and its peak (MiB) and threads."""
    tick = os.sysconf("SC_CLK_TCK")

    def cpu():
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / tick

    c0, t0 = cpu(), time.time()
    time.sleep(seconds)
    c1, t1 = cpu(), time.time()
    status = open(f"/proc/{pid}/status").read()
    rss = int(re.search(r"VmRSS:\s+(\d+)", status)[1]) / 1024
    hwm = int(re.search(r"VmHWM:\s+(\d+)", status)[1]) / 1024
    threads = int(re.search(r"Threads:\s+(\d+)", status)[1])
    return 100 * (c1 - c0) / (t1 - t0), rss, hwm, threads
