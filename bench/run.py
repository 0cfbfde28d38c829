#!/usr/bin/env python3
"""Side-by-side benchmark of dbus-proxy-daemon, run on demand.

Starts a private dbus-daemon and an echo service on it, then measures the
same workloads, interleaved, over every path to that service:

  direct           the client talks to the bus itself (the floor)
  proxy-unix       dbus-proxy-daemon on a unix socket
  proxy-tcp        dbus-proxy-daemon on 127.0.0.1, client sets TCP_NODELAY
  proxy-tcp-stock  the same with a stock client (Nagle left on)
  peer             xdg-dbus-proxy, no filter options
  socat            a dumb byte relay: the cost of one extra hop
  peer-policy      xdg-dbus-proxy --filter --talk=org.dpdbench.Echo (churn only)
  proxy-policy     dbus-proxy-daemon on a unix socket with --filter and a
                   100-rule policy that lets the client talk to the service

GetAll rows: a container service (a client of the proxy over the unix
socket, answering org.freedesktop.DBus.Properties Get and GetAll) called by
a host load client on the bus, Get against GetAll; and the latency of one
client's sequential Ping alone, while clients connect, and while new host
connections each call GetAll on the container service (each one a caller
the proxy has not seen and must ask the bus about).

Two more rows look at the relay alone: a sequential Ping through a fresh
proxy with 0 and with 2,000 idle registered clients, and the system calls
per relayed message (strace -c over a sequential load).

and prints one table of medians over the runs. Standard library only.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NEEDED_PACKAGES = ["g++", "cmake", "make", "pkg-config", "libdbus-1-dev",
                   "libglib2.0-dev", "dbus-daemon",
                   "xdg-dbus-proxy", "socat", "strace"]
LIST_FILE = "dbus-sess-proxy.list"
CLK_TCK = os.sysconf("SC_CLK_TCK")


def log(text):
    print(text, file=sys.stderr, flush=True)


class Failure(Exception):
    pass


# ---------------------------------------------------------------- processes

class Processes:
    """Every process the driver starts, so each is ended by its pid."""

    def __init__(self):
        self.procs = []

    def start(self, name, argv, env=None, stdin=subprocess.DEVNULL,
              stdout=subprocess.DEVNULL, stderr=None):
        full_env = dict(os.environ)
        full_env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        full_env.update(env or {})
        try:
            proc = subprocess.Popen(argv, env=full_env, stdin=stdin, stdout=stdout,
                                    stderr=stderr, text=True)
        finally:
            for f in (stdout, stderr):
                if hasattr(f, "close"):
                    f.close()  # the child has its own copy
        proc.bench_name = name
        self.procs.append(proc)
        return proc

    @staticmethod
    def children(pid):
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                return [int(x) for x in f.read().split()]
        except OSError:
            return []

    def stop(self, proc, timeout=3.0):
        if proc in self.procs:
            self.procs.remove(proc)
        if proc.poll() is not None:
            return
        # socat forks one child per connection; end those by pid as well.
        kids = self.children(proc.pid) if proc.bench_name == "socat" else []
        for pid in [proc.pid] + kids:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=timeout)
        for pid in kids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def stop_all(self):
        for proc in reversed(list(self.procs)):
            try:
                self.stop(proc)
            except Exception as exc:  # keep ending the others
                log(f"could not stop {proc.bench_name} ({proc.pid}): {exc}")


def wait_for(pred, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return
        time.sleep(0.02)
    if not pred():
        raise Failure(f"timed out waiting for {what}")


def read_line(proc, timeout, what):
    """First stdout line of `proc`, bounded by `timeout`."""
    import selectors
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    try:
        if not sel.select(timeout):
            raise Failure(f"timed out waiting for {what}")
        line = proc.stdout.readline()
    finally:
        sel.close()
    if not line:
        raise Failure(f"{what}: process ended (status {proc.poll()})")
    return line.strip()


def cpu_seconds(pid):
    """CPU time of `pid`: its live threads to the nanosecond, plus the
    children it has reaped (socat's per-connection processes)."""
    total = 0.0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0]) / 1e9
        except OSError:
            pass  # the thread ended meanwhile
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is field 3 (state); cutime and cstime are fields 16 and 17.
    return total + (int(fields[13]) + int(fields[14])) / CLK_TCK


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise Failure(f"no VmRSS for {pid}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def unix_listening(path):
    with socket.socket(socket.AF_UNIX) as s:
        try:
            s.connect(path)
            return True
        except OSError:
            return False


def tcp_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


# -------------------------------------------------------------------- build

def ensure_packages():
    missing = [p for p in NEEDED_PACKAGES if subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True,
        text=True).stdout.find("install ok installed") < 0]
    if not missing:
        return
    if os.geteuid() != 0:
        raise Failure("missing packages; install them as root with:\n"
                      "    sudo apt-get install " + " ".join(missing))
    log("Installing: " + " ".join(missing))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], env=env, check=True, timeout=600)
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing,
                   env=env, check=True, timeout=1200)


def cmake_build(build_dir, options, targets=None):
    jobs = str(min(2, os.cpu_count() or 1))
    conf = subprocess.run(["cmake", "-S", ROOT, "-B", build_dir] + options,
                          capture_output=True, text=True, timeout=300)
    if conf.returncode != 0:
        raise Failure(f"cmake configure failed:\n{conf.stdout}{conf.stderr}")
    cmd = ["cmake", "--build", build_dir, "-j", jobs]
    for t in targets or []:
        cmd += ["--target", t]
    b = subprocess.run(cmd, capture_output=True, text=True, timeout=1200)
    if b.returncode != 0:
        raise Failure(f"build failed:\n{b.stdout}{b.stderr}")
    return conf.stdout + conf.stderr


def build(args):
    log(f"Building into {args.build_dir} ...")
    cmake_build(args.build_dir, ["-DDPD_BUILD_TESTS=OFF", "-DDPD_BUILD_BENCH=ON"])
    # The activation list directory is fixed at build time, so the list
    # workload gets a daemon of its own whose directory the driver owns.
    # It stays in the build tree so that reruns need no rebuild.
    list_build = args.build_dir + "-list"
    list_dir = os.path.join(os.path.abspath(list_build), "activation-list") + "/"
    cmake_build(list_build, ["-DDPD_BUILD_TESTS=OFF", "-DDPD_ACTIVATION_LIST_DIR=" + list_dir],
                ["dbus-proxy-daemon"])
    return list_build_info(list_build)


def list_build_info(list_build):
    """(daemon binary, list directory, note or None) of the list build."""
    list_dir = os.path.join(os.path.abspath(list_build), "activation-list") + "/"
    os.makedirs(list_dir, exist_ok=True)
    # A -D variable that no CMakeLists declares stays UNINITIALIZED.
    try:
        with open(os.path.join(list_build, "CMakeCache.txt")) as f:
            declared = re.search(r"^DPD_ACTIVATION_LIST_DIR:(?!UNINITIALIZED)", f.read(), re.M)
    except OSError:
        raise Failure(f"no build in {list_build}; run without --no-build first")
    note = None
    if not declared:
        note = ("this build has no DPD_ACTIVATION_LIST_DIR: the list workload "
                "runs, but the daemon reads no list, so it measures none")
    return os.path.join(list_build, "dbus-proxy-daemon"), list_dir, note


# -------------------------------------------------------------------- setup

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <!-- churn and the idle clients open many connections as one user -->
  <limit name="max_connections_per_user">100000</limit>
  <limit name="max_completed_connections">100000</limit>
  <limit name="max_incomplete_connections">10000</limit>
  <limit name="max_replies_per_connection">50000</limit>
  <!-- count.py with owned names: one peer owns many -->
  <limit name="max_names_per_connection">50000</limit>
</busconfig>
"""


class Bench:
    def __init__(self, args, procs, tmp):
        self.args = args
        self.procs = procs
        self.tmp = tmp
        self.tools = os.path.join(args.build_dir, "bench")
        self.daemon = args.daemon or os.path.join(args.build_dir, "dbus-proxy-daemon")
        self.paths = {}       # name -> (client address, relay pid or None, nodelay)
        self.bus_address = None
        self.container = None  # unique name of the service behind proxy-unix

    def tool(self, name):
        return os.path.join(self.tools, "bench_" + name)

    def logfile(self, name):
        return open(os.path.join(self.tmp, name + ".log"), "w")

    def start_bus(self):
        sock = os.path.join(self.tmp, "bus.sock")
        conf = os.path.join(self.tmp, "bus.conf")
        with open(conf, "w") as f:
            f.write(BUS_CONFIG.format(socket=sock))
        self.procs.start("dbus-daemon", ["dbus-daemon", "--nofork", "--nopidfile",
                                         "--config-file=" + conf],
                         stderr=self.logfile("bus"))
        wait_for(lambda: unix_listening(sock), 10, "the bus socket")
        self.bus_socket = sock
        self.bus_address = "unix:path=" + sock
        echo = self.procs.start("echo", [self.tool("echo_service"), "--address",
                                         self.bus_address], stdout=subprocess.PIPE,
                                stderr=self.logfile("echo"))
        if read_line(echo, 10, "the echo service") != "ready":
            raise Failure("echo service did not start")

    def start_proxy(self, name, binary=None, unix=True, extra=()):
        """Starts a dbus-proxy-daemon; returns (process, client address)."""
        binary = binary or self.daemon
        env = {"DBUS_SESSION_BUS_ADDRESS": self.bus_address}
        if unix:
            sock = os.path.join(self.tmp, name + ".sock")
            argv = [binary, "--family", "unix", "--socket", sock]
        else:
            port = free_port()
            argv = [binary, "--host", "127.0.0.1", "--bind", "127.0.0.1",
                    "--port", str(port)]
        argv += list(extra)
        proc = self.procs.start(name, argv, env=env, stdout=self.logfile(name),
                                stderr=subprocess.STDOUT)
        if unix:
            wait_for(lambda: unix_listening(sock) or proc.poll() is not None, 10,
                     name + " socket")
            address = "unix:path=" + sock
        else:
            wait_for(lambda: tcp_open(port) or proc.poll() is not None, 10,
                     name + " port")
            address = f"tcp:host=127.0.0.1,port={port}"
        if proc.poll() is not None:
            raise Failure(f"{name} exited; see {self.tmp}/{name}.log")
        return proc, address

    def start_peer(self, name="peer", extra=()):
        sock = os.path.join(self.tmp, name + ".sock")
        proc = self.procs.start(name, ["xdg-dbus-proxy", self.bus_address, sock] + list(extra),
                                stderr=self.logfile(name))
        wait_for(lambda: unix_listening(sock) or proc.poll() is not None, 10,
                 name + " socket")
        if proc.poll() is not None:
            raise Failure(f"{name} exited; see {self.tmp}/{name}.log")
        return proc, "unix:path=" + sock

    def start_paths(self, list_binary, needed):
        """Starts the relays of the paths in `needed` only, so that a daemon
        without some option can still run the rows that do not use it."""
        self.paths["direct"] = (self.bus_address, None, False)
        if "proxy-unix" in needed:
            proc, addr = self.start_proxy("proxy-unix")
            self.paths["proxy-unix"] = (addr, proc.pid, False)
        if needed & {"proxy-tcp", "proxy-tcp-stock"}:
            proc, addr = self.start_proxy("proxy-tcp", unix=False)
            self.paths["proxy-tcp"] = (addr, proc.pid, True)
            self.paths["proxy-tcp-stock"] = (addr, proc.pid, False)
        if "peer" in needed:
            proc, addr = self.start_peer()
            self.paths["peer"] = (addr, proc.pid, False)
        if "socat" in needed:
            sock = os.path.join(self.tmp, "socat.sock")
            proc = self.procs.start("socat", ["socat", f"UNIX-LISTEN:{sock},fork",
                                              f"UNIX-CONNECT:{self.bus_socket}"],
                                    stderr=self.logfile("socat"))
            wait_for(lambda: unix_listening(sock) or proc.poll() is not None, 10,
                     "socat socket")
            self.paths["socat"] = ("unix:path=" + sock, proc.pid, False)
        if "peer-policy" in needed:
            proc, addr = self.start_peer("peer-policy",
                                         ["--filter", "--talk=org.dpdbench.Echo"])
            self.paths["peer-policy"] = (addr, proc.pid, False)
        if "proxy-policy" in needed:
            policy = os.path.join(self.tmp, "policy")
            with open(policy, "w") as f:
                f.write(POLICY_100)
            proc, addr = self.start_proxy("proxy-policy",
                                          extra=["--filter", "--policy=" + policy])
            self.paths["proxy-policy"] = (addr, proc.pid, False)
        if "proxy-list" in needed:
            proc, addr = self.start_proxy("proxy-list", binary=list_binary)
            self.paths["proxy-list"] = (addr, proc.pid, False)
        if "container" in needed:
            c = self.procs.start("container", [self.tool("echo_service"), "--container",
                                               "--address", self.paths["proxy-unix"][0]],
                                 stdout=subprocess.PIPE, stderr=self.logfile("container"))
            line = read_line(c, 10, "the container service")
            if not line.startswith("ready :"):
                raise Failure("container service did not start: " + line)
            self.container = line.split()[1]
        # One tiny load per path proves each works before any timing.
        for name in self.paths:
            self.load(name, conns=1, inflight=1, payload=0, duration=0.05, warmup=0)

    # ---------------------------------------------------------- workloads

    def timeout(self, duration):
        return duration + self.args.warmup + 60

    @staticmethod
    def parse(line):
        if not line.startswith("RESULT "):
            raise Failure("unexpected output: " + line)
        return {k: float(v) for k, v in (kv.split("=") for kv in line.split()[1:])}

    def run_client(self, argv, timeout):
        r = subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                           env={k: v for k, v in os.environ.items()
                                if k != "DBUS_SESSION_BUS_ADDRESS"})
        lines = [l for l in r.stdout.splitlines() if l.startswith("RESULT ")]
        if r.returncode != 0 or not lines:
            raise Failure(f"{os.path.basename(argv[0])} failed ({r.returncode}): "
                          f"{r.stderr.strip()[-500:]}")
        return self.parse(lines[-1])

    def load_argv(self, name, conns, inflight, payload, duration, warmup):
        address, _, nodelay = self.paths[name]
        argv = [self.tool("load_client"), "--address", address, "--conns", str(conns),
                "--inflight", str(inflight), "--payload", str(payload),
                "--duration", str(duration), "--warmup", str(warmup)]
        return argv + (["--nodelay"] if nodelay else [])

    def relay_cpu(self, name):
        pid = self.paths[name][1]
        return cpu_seconds(pid) if pid else None

    def with_cpu(self, name, result, ops, cpu_before):
        if cpu_before is not None and ops:
            time.sleep(0.05)  # let socat reap the children of closed connections
            result["cpu_us_per_op"] = (self.relay_cpu(name) - cpu_before) * 1e6 / ops
        return result

    def load(self, name, conns, inflight, payload, duration=None, warmup=None):
        duration = self.args.duration if duration is None else duration
        warmup = self.args.warmup if warmup is None else warmup
        before = self.relay_cpu(name)
        r = self.run_client(self.load_argv(name, conns, inflight, payload, duration, warmup),
                            self.timeout(duration))
        return self.with_cpu(name, r, r["total_calls"], before)

    def props(self, member, conns, inflight):
        """Host load on the bus calling the container service behind
        proxy-unix; the relay CPU is proxy-unix's."""
        duration = self.args.duration
        before = self.relay_cpu("proxy-unix")
        argv = self.load_argv("direct", conns, inflight, 0, duration, self.args.warmup)
        argv += ["--dest", self.container, "--interface", "org.freedesktop.DBus.Properties",
                 "--member", member]
        r = self.run_client(argv, self.timeout(duration))
        return self.with_cpu("proxy-unix", r, r["total_calls"], before)

    def ping_latency(self, background):
        """One client's sequential Ping through proxy-unix, with `background`
        load at --connect-rate: none, clients connecting to the proxy, or
        new host connections each calling GetAll on the container service."""
        if background == "alone":
            return self.load("proxy-unix", 1, 1, 0)
        secs = self.args.duration + self.args.warmup + 0.5
        argv = [self.tool("churn_client"), "--duration", str(secs),
                "--rate", str(self.args.connect_rate)]
        if background == "clients connecting":
            argv += ["--address", self.paths["proxy-unix"][0]]
        else:
            argv += ["--address", self.bus_address, "--dest", self.container, "--getall"]
        bg = self.procs.start("churn", argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            load = self.load("proxy-unix", 1, 1, 0)
            out, err = bg.communicate(timeout=self.timeout(secs))
        finally:
            self.procs.stop(bg)
        lines = [l for l in out.splitlines() if l.startswith("RESULT ")]
        if bg.returncode != 0 or not lines:
            raise Failure(f"churn_client failed ({bg.returncode}): {err.strip()[-500:]}")
        c = self.parse(lines[-1])
        load["bg_per_s"] = c["conns_per_s"]
        load["bg_cycle_p50_us"] = c["cycle_p50_us"]
        return load

    def churn(self, name):
        address, _, nodelay = self.paths[name]
        before = self.relay_cpu(name)
        r = self.run_client([self.tool("churn_client"), "--address", address,
                             "--duration", str(self.args.duration)]
                            + (["--nodelay"] if nodelay else []),
                            self.timeout(self.args.duration))
        return self.with_cpu(name, r, r["conns"], before)

    def connect_while_loaded(self, name):
        """Sequential load while new clients keep connecting at a fixed rate."""
        address, _, nodelay = self.paths[name]
        churn_secs = self.args.duration + self.args.warmup + 0.5
        churn = self.procs.start("churn", [self.tool("churn_client"), "--address", address,
                                           "--duration", str(churn_secs),
                                           "--rate", str(self.args.connect_rate)]
                                 + (["--nodelay"] if nodelay else []),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            load = self.load(name, 4, 1, 0)
            out, err = churn.communicate(timeout=self.timeout(churn_secs))
        finally:
            self.procs.stop(churn)
        lines = [l for l in out.splitlines() if l.startswith("RESULT ")]
        if churn.returncode != 0 or not lines:
            raise Failure(f"churn_client failed ({churn.returncode}): {err.strip()[-500:]}")
        c = self.parse(lines[-1])
        load["connect_p50_us"] = c["setup_p50_us"]
        load["connects_per_s"] = c["conns_per_s"]
        return load

    def activation_list(self, lines):
        path = os.path.join(self.list_dir, LIST_FILE)
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            for i in range(lines):
                f.write(f"org.dpdbench.Svc{i}=org.dpdbench.Svc{i}.docker\n")
        os.replace(tmp, path)
        return self.load("proxy-list", 4, 32, 0)

    def idle_memory(self, kind):
        """RSS of a fresh relay with 0 and 100 idle clients."""
        name = "mem-" + kind
        proc, address = self.start_proxy(name) if kind == "proxy" else self.start_peer(name)
        holders = []
        try:
            time.sleep(0.2)
            rss0 = rss_kib(proc.pid)
            sizes = []
            # One client first, so one-time set-up is not charged per client.
            for count in (1, 99):
                h = self.procs.start("hold", [self.tool("churn_client"), "--address", address,
                                              "--hold", str(count), "--duration", "120"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
                holders.append(h)
                read_line(h, 60, f"{count} idle clients")
                time.sleep(0.3)
                sizes.append(rss_kib(proc.pid))
            return {"rss0_kib": rss0, "rss1_kib": sizes[0], "rss100_kib": sizes[1],
                    "kib_per_client": (sizes[1] - sizes[0]) / 99}
        finally:
            for h in holders:
                self.procs.stop(h)
            self.procs.stop(proc)

    def idle_clients(self, count, peer=False):
        """Sequential Ping through a fresh proxy (or peer) while `count`
        clients idle."""
        name = f"idle-{'peer-' if peer else ''}{count}"
        proc, address = self.start_peer(name) if peer else self.start_proxy(name)
        self.paths[name] = (address, proc.pid, False)
        holder = None
        try:
            if count:
                holder = self.procs.start("hold", [self.tool("churn_client"), "--address",
                                                   address, "--hold", str(count),
                                                   "--duration", "600"],
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE)
                read_line(holder, 300, f"{count} idle clients")
                time.sleep(0.3)
            return self.load(name, 1, 1, 0)
        finally:
            if holder:
                self.procs.stop(holder)
            self.procs.stop(proc)
            del self.paths[name]

    def syscalls(self, name):
        """System calls of the relay per relayed message (two per call)."""
        pid = self.paths[name][1]
        out = os.path.join(self.tmp, f"strace-{name}.txt")
        tracer = self.procs.start("strace", ["strace", "-c", "-f", "-o", out, "-p", str(pid)],
                                  stderr=self.logfile("strace"))
        try:
            time.sleep(0.5)  # attached
            r = self.run_client(self.load_argv(name, 1, 1, 0, self.args.duration, 0),
                                self.timeout(self.args.duration))
        finally:
            tracer.send_signal(signal.SIGINT)
            try:
                tracer.wait(timeout=10)
            finally:
                self.procs.stop(tracer)
        with open(out) as f:
            total = [l for l in f if l.split()[-1:] == ["total"]]
        if not total or not r["total_calls"]:
            raise Failure("no strace summary")
        calls = int(total[-1].split()[3])
        r["syscalls_per_msg"] = calls / (2 * r["total_calls"])
        return r


# ------------------------------------------------------------------- report

LOAD_PATHS = ["direct", "proxy-unix", "proxy-tcp", "proxy-tcp-stock", "peer", "socat",
              "proxy-policy"]
CONN_PATHS = ["direct", "proxy-unix", "proxy-tcp", "peer", "socat", "proxy-policy"]


def _policy_100():
    """100 rules of every kind, the one the workloads need among them."""
    rules = ["talk org.dpdbench.Echo"]
    for i in range(33):
        rules.append(f"talk org.dpdbench.Other{i}")
        rules.append(f"see org.dpdbench.prefix{i}.*")
        rules.append(f"call org.dpdbench.Call{i}=org.dpdbench.Call{i}.Run@/org/dpdbench/*")
    return "".join(r + "\n" for r in rules[:100])


POLICY_100 = _policy_100()


PING_BACKGROUNDS = ["alone", "clients connecting", "new GetAll callers"]


def needed_paths(items):
    """The relays (and the container service) the planned rows use."""
    needed = set()
    for w, p in items:
        if w in ("seq", "pipe", "echo64k", "churn", "connect-while-loaded", "syscalls"):
            needed.add(p)
        elif w == "activation-list":
            needed.add("proxy-list")
        elif w in ("props-seq", "props-pipe", "ping-latency"):
            needed |= {"proxy-unix", "container"}
    needed.discard("direct")
    return needed


def plan(args):
    """(workload, path) pairs measured in every run, in table order."""
    items = []
    for w in ("seq", "pipe", "echo64k"):
        items += [(w, p) for p in LOAD_PATHS]
    items += [("churn", p) for p in CONN_PATHS + ["peer-policy"]]
    items += [("connect-while-loaded", p) for p in CONN_PATHS]
    items += [("activation-list", n) for n in args.list_sizes]
    items += [("idle-memory", k) for k in ("proxy", "peer")]
    items += [("idle-clients", n) for n in (0, 2000)]
    items += [("idle-clients-peer", n) for n in (0, 2000)]
    items += [("syscalls", p) for p in ("proxy-unix", "peer")]
    items += [("props-seq", m) for m in ("Get", "GetAll")]
    items += [("props-pipe", m) for m in ("Get", "GetAll")]
    items += [("ping-latency", b) for b in PING_BACKGROUNDS]
    if args.only:
        wanted = args.only.split(",")
        unknown = set(wanted) - set(TITLES)
        if unknown:
            raise Failure("unknown workload(s): " + ", ".join(sorted(unknown)))
        items = [it for it in items if it[0] in wanted]
    return items


TITLES = {
    "seq": "sequential Ping, 4 conns x 1",
    "pipe": "pipelined Ping, 4 conns x 32",
    "echo64k": "Echo 64 KiB, 4 conns x 4",
    "churn": "churn: connect, Hello, Ping, close",
    "connect-while-loaded": "sequential Ping while clients connect",
    "activation-list": "pipelined Ping via activation list",
    "idle-memory": "resident memory, idle clients",
    "idle-clients": "sequential Ping, 1 conn, idle clients",
    "idle-clients-peer": "sequential Ping, 1 conn, idle clients",
    "syscalls": "system calls per relayed message",
    "props-seq": "host calls container Properties, 1 conn x 1",
    "props-pipe": "host calls container Properties, 4 conns x 32",
    "ping-latency": "sequential Ping, 1 conn, proxy-unix",
}


def med(results, key):
    vals = [r[key] for r in results if key in r]
    return statistics.median(vals) if vals else None


def fmt(v, digits=0):
    if v is None:
        return "–"
    return f"{v:,.{digits}f}"


def ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "–"


def table(args, results):
    head = ["workload", "path", "rate", "p50 µs", "p99 µs", "relay CPU µs/op",
            "rate ÷ direct", "p50 ÷ direct", "notes"]
    rows = []
    for workload, path in plan(args):
        rs = results.get((workload, path), [])
        if not rs:
            rows.append([TITLES[workload], str(path), "failed", "", "", "", "", "", ""])
            continue
        if workload == "idle-memory":
            rows.append([TITLES[workload], path,
                         fmt(med(rs, "kib_per_client"), 1) + " KiB/client", "–", "–", "–",
                         "–", "–",
                         f"RSS {fmt(med(rs, 'rss0_kib'))} KiB with 0 clients, "
                         f"{fmt(med(rs, 'rss100_kib'))} KiB with 100"])
            continue
        if workload == "syscalls":
            rows.append([TITLES[workload], path,
                         fmt(med(rs, "syscalls_per_msg"), 2) + " calls/msg", "–", "–", "–",
                         "–", "–", "strace -c -f over a sequential load (1 conn x 1)"])
            continue
        if workload in ("props-seq", "props-pipe"):
            get = results.get((workload, "Get"), [])
            note = "" if path == "Get" else (
                f"GetAll ÷ Get: rate {ratio(med(rs, 'calls_per_s'), med(get, 'calls_per_s'))}, "
                f"CPU {ratio(med(rs, 'cpu_us_per_op'), med(get, 'cpu_us_per_op'))}")
            rows.append([TITLES[workload], path, f"{fmt(med(rs, 'calls_per_s'))} calls/s",
                         fmt(med(rs, "p50_us")), fmt(med(rs, "p99_us")),
                         fmt(med(rs, "cpu_us_per_op"), 1), "–", "–", note])
            continue
        if workload == "ping-latency":
            alone = results.get((workload, "alone"), [])
            note = f"max {fmt(med(rs, 'max_us'))} µs"
            if path != "alone":
                what = ("clients/s connect, Hello, Ping, close" if path == "clients connecting"
                        else "new host conns/s connect, Hello, GetAll, close")
                note += (f"; p50 ÷ alone {ratio(med(rs, 'p50_us'), med(alone, 'p50_us'))}, "
                         f"p99 ÷ alone {ratio(med(rs, 'p99_us'), med(alone, 'p99_us'))}; "
                         f"{fmt(med(rs, 'bg_per_s'))} {what}: "
                         f"{fmt(med(rs, 'bg_cycle_p50_us'))} µs p50")
            rows.append([TITLES[workload], path, f"{fmt(med(rs, 'calls_per_s'))} calls/s",
                         fmt(med(rs, "p50_us")), fmt(med(rs, "p99_us")),
                         fmt(med(rs, "cpu_us_per_op"), 1), "–", "–", note])
            continue
        direct_key = {"activation-list": "pipe", "idle-clients": "seq",
                      "idle-clients-peer": "seq"}.get(workload, workload)
        direct = results.get((direct_key, "direct"), [])
        if workload == "churn":
            rate, unit = med(rs, "conns_per_s"), "conn/s"
            p50, p99 = med(rs, "cycle_p50_us"), med(rs, "cycle_p99_us")
            d_rate, d_p50 = med(direct, "conns_per_s"), med(direct, "cycle_p50_us")
        else:
            rate, unit = med(rs, "calls_per_s"), "calls/s"
            p50, p99 = med(rs, "p50_us"), med(rs, "p99_us")
            d_rate, d_p50 = med(direct, "calls_per_s"), med(direct, "p50_us")
        note = ""
        if workload == "echo64k":
            rate, unit, d_rate = med(rs, "mb_per_s"), "MB/s", med(direct, "mb_per_s")
        if workload == "connect-while-loaded":
            note = (f"max {fmt(med(rs, 'max_us'))} µs, p99.9 {fmt(med(rs, 'p999_us'))} µs; "
                    f"{fmt(med(rs, 'connects_per_s'))} connects/s, "
                    f"each {fmt(med(rs, 'connect_p50_us'))} µs")
        if workload == "churn":
            note = f"set-up (connect, auth, Hello) p50 {fmt(med(rs, 'setup_p50_us'))} µs"
        label = path
        if workload == "activation-list":
            label = f"proxy, {path:,} lines"
            empty = results.get(("activation-list", args.list_sizes[0]), [])
            note = (f"rate ÷ {args.list_sizes[0]} lines "
                    f"{ratio(rate, med(empty, 'calls_per_s'))}, "
                    f"CPU ÷ {ratio(med(rs, 'cpu_us_per_op'), med(empty, 'cpu_us_per_op'))}")
        if workload in ("idle-clients", "idle-clients-peer"):
            label = f"{'peer' if workload.endswith('peer') else 'proxy-unix'}, {path:,} idle"
            none = results.get((workload, 0), [])
            note = (f"p50 ÷ 0 idle {ratio(p50, med(none, 'p50_us'))}, "
                    f"CPU ÷ {ratio(med(rs, 'cpu_us_per_op'), med(none, 'cpu_us_per_op'))}")
        cpu = med(rs, "cpu_us_per_op")
        rows.append([TITLES[workload], label, f"{fmt(rate, 1 if unit == 'MB/s' else 0)} {unit}",
                     fmt(p50), fmt(p99), fmt(cpu, 1), ratio(rate, d_rate), ratio(p50, d_p50),
                     note])
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    out = []

    def line(cells):
        out.append("| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |")
    line(head)
    out.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        line(r)
    return "\n".join(out)


def targets(args, results, list_note=None):
    """The performance goals, as ratios from this run's medians."""
    def m(workload, path, key):
        return med(results.get((workload, path), []), key)

    def check(text, value, goal, higher_is_better=True):
        if value is None:
            return f"- {text}: not measured"
        ok = value >= goal if higher_is_better else value <= goal
        return f"- {text}: {value:.2f} (goal {'≥' if higher_is_better else '≤'} {goal:g}) " \
               f"{'met' if ok else 'NOT met'}"

    def div(a, b):
        return a / b if a is not None and b else None

    lines = ["Goals (proxy over the unix socket unless said; medians of this run):"]
    lines.append(check("sequential calls/s ÷ peer",
                       div(m("seq", "proxy-unix", "calls_per_s"), m("seq", "peer", "calls_per_s")),
                       1))
    lines.append(check("sequential p50 latency ÷ peer",
                       div(m("seq", "proxy-unix", "p50_us"), m("seq", "peer", "p50_us")), 1,
                       higher_is_better=False))
    lines.append(check("pipelined calls/s ÷ peer",
                       div(m("pipe", "proxy-unix", "calls_per_s"),
                           m("pipe", "peer", "calls_per_s")), 0.95))
    lines.append(check("64 KiB Echo MB/s ÷ peer",
                       div(m("echo64k", "proxy-unix", "mb_per_s"),
                           m("echo64k", "peer", "mb_per_s")), 1))
    lines.append(check("64 KiB Echo MB/s ÷ direct",
                       div(m("echo64k", "proxy-unix", "mb_per_s"),
                           m("echo64k", "direct", "mb_per_s")), 0.75))
    lines.append(check("churn connections/s ÷ peer",
                       div(m("churn", "proxy-unix", "conns_per_s"),
                           m("churn", "peer", "conns_per_s")), 1))
    lines.append(check("filtered churn connections/s ÷ peer --filter",
                       div(m("churn", "proxy-policy", "conns_per_s"),
                           m("churn", "peer-policy", "conns_per_s")), 1))
    lines.append(check("KiB of resident memory per idle client",
                       m("idle-memory", "proxy", "kib_per_client"), 13.5, higher_is_better=False))
    lines.append(check("sequential p50 latency, 2,000 idle clients ÷ none",
                       div(m("idle-clients", 2000, "p50_us"), m("idle-clients", 0, "p50_us")),
                       1.2, higher_is_better=False))
    lines.append(check("relay CPU per call, 2,000 idle clients ÷ none",
                       div(m("idle-clients", 2000, "cpu_us_per_op"),
                           m("idle-clients", 0, "cpu_us_per_op")), 1.2,
                       higher_is_better=False))
    lines.append(check("system calls per relayed message",
                       m("syscalls", "proxy-unix", "syscalls_per_msg"), 2.5,
                       higher_is_better=False))
    for w, label in (("props-seq", "sequential"), ("props-pipe", "pipelined")):
        lines.append(check(f"{label} container GetAll calls/s ÷ Get calls/s",
                           div(m(w, "GetAll", "calls_per_s"), m(w, "Get", "calls_per_s")), 0.8))
    big, empty = args.list_sizes[-1], args.list_sizes[0]
    lines.append(check(f"relay CPU per call, {big:,}-line list ÷ {empty}-line list",
                       div(m("activation-list", big, "cpu_us_per_op"),
                           m("activation-list", empty, "cpu_us_per_op")), 1.10,
                       higher_is_better=False)
                 + (" (but no list was read, see the note)" if list_note else ""))
    return "\n".join(lines)


def machine_note():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for l in f:
                if l.startswith("model name"):
                    model = l.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{os.cpu_count()} CPUs ({model}), {platform.system()} {platform.release()}, "
            f"load average {os.getloadavg()[0]:.1f} at the end")


# --------------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=5, help="runs whose median is shown (5)")
    ap.add_argument("--duration", type=float, default=1.0,
                    help="measured seconds per workload and path (1)")
    ap.add_argument("--warmup", type=float, default=0.2,
                    help="unmeasured seconds before each measurement (0.2)")
    ap.add_argument("--connect-rate", type=float, default=50,
                    help="new clients per second during connect-while-loaded (50)")
    ap.add_argument("--quick", action="store_true",
                    help="1 run of tiny durations: proves it works, figures are noise")
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"),
                    help="build tree (default build-bench; the list build goes to ...-list)")
    ap.add_argument("--no-build", action="store_true", help="use the existing build trees")
    ap.add_argument("--daemon", help="dbus-proxy-daemon binary to measure instead of the "
                    "build tree's (e.g. an older commit's); the benchmark programs still "
                    "come from the build tree")
    ap.add_argument("--only", help="comma-separated workloads to run: seq, pipe, echo64k, "
                    "churn, connect-while-loaded, activation-list, idle-memory, "
                    "idle-clients, idle-clients-peer, syscalls, props-seq, props-pipe, ping-latency")
    ap.add_argument("--json", help="also write every single measurement to this file")
    args = ap.parse_args()
    if args.quick:
        args.runs, args.duration, args.warmup = 1, 0.2, 0.05
    args.list_sizes = [0, 100, 1000, 10000]
    args.build_dir = os.path.abspath(args.build_dir)
    if args.daemon:
        args.daemon = os.path.abspath(args.daemon)

    procs = Processes()
    tmp = tempfile.mkdtemp(prefix="dpd-bench-")

    def on_signal(signum, _frame):
        raise KeyboardInterrupt(f"signal {signum}")
    # SIGINT too: a shell may have started us with it ignored.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)

    failed = []
    try:
        ensure_packages()
        if args.no_build and not any(w == "activation-list" for w, _ in plan(args)):
            list_binary, list_dir, list_note = None, None, None  # no list build needed
        elif args.no_build:
            list_binary, list_dir, list_note = list_build_info(args.build_dir + "-list")
        else:
            list_binary, list_dir, list_note = build(args)
        bench = Bench(args, procs, tmp)
        bench.list_dir = list_dir
        bench.start_bus()
        bench.start_paths(list_binary, needed_paths(plan(args)))
        if list_note:
            log("note: " + list_note)

        results = {}
        items = plan(args)
        started = time.monotonic()
        for run in range(args.runs):
            # Workloads keep their order; within each, the paths start one
            # further along every run, so no path always goes first.
            order = []
            for w in dict.fromkeys(w for w, _ in items):
                paths = [p for x, p in items if x == w]
                k = run % len(paths)
                order += [(w, p) for p in paths[k:] + paths[:k]]
            for workload, path in order:
                try:
                    if workload == "seq":
                        r = bench.load(path, 4, 1, 0)
                    elif workload == "pipe":
                        r = bench.load(path, 4, 32, 0)
                    elif workload == "echo64k":
                        r = bench.load(path, 4, 4, 65536)
                    elif workload == "churn":
                        r = bench.churn(path)
                    elif workload == "connect-while-loaded":
                        r = bench.connect_while_loaded(path)
                    elif workload == "activation-list":
                        r = bench.activation_list(path)
                    elif workload == "idle-clients":
                        r = bench.idle_clients(path)
                    elif workload == "idle-clients-peer":
                        r = bench.idle_clients(path, peer=True)
                    elif workload == "syscalls":
                        r = bench.syscalls(path)
                    elif workload == "props-seq":
                        r = bench.props(path, 1, 1)
                    elif workload == "props-pipe":
                        r = bench.props(path, 4, 32)
                    elif workload == "ping-latency":
                        r = bench.ping_latency(path)
                    else:
                        r = bench.idle_memory(path)
                except (Failure, subprocess.TimeoutExpired) as exc:
                    log(f"run {run + 1}: {workload} {path}: FAILED: {exc}")
                    failed.append((workload, path))
                    continue
                results.setdefault((workload, path), []).append(r)
                shown = {k: round(v, 1) for k, v in r.items()
                         if k in ("calls_per_s", "p50_us", "mb_per_s", "conns_per_s",
                                  "kib_per_client", "cpu_us_per_op",
                                  "syscalls_per_msg")}
                log(f"run {run + 1}/{args.runs}: {workload} {path}: {shown}")
            for name, pid in {n: p for n, (_, p, _) in bench.paths.items() if p}.items():
                if not any(pr.pid == pid and pr.poll() is None for pr in procs.procs):
                    raise Failure(f"{name} died during the run; see {tmp}/{name}.log")

        print(f"dbus-proxy-daemon benchmark, {datetime.date.today()}: {args.runs} run(s) of "
              f"{args.duration:g} s per row, medians; {machine_note()}; "
              + (f"daemon {args.daemon}; " if args.daemon else "") +
              f"took {time.monotonic() - started:.0f} s")
        print()
        print(table(args, results))
        print()
        print(targets(args, results, list_note))
        if list_note:
            print("\nnote: " + list_note)
        if args.json:
            with open(args.json, "w") as f:
                json.dump([{"workload": w, "path": p, "runs": rs}
                           for (w, p), rs in results.items()], f, indent=1)
    except KeyboardInterrupt:
        log("interrupted")
        status = 130
    except (Failure, subprocess.SubprocessError, OSError) as exc:
        log(f"error: {exc}")
        status = 1
    else:
        status = 0
        if failed:
            log(f"{len(failed)} measurement(s) failed: {failed}")
            status = 1
    finally:
        procs.stop_all()
    if status == 1:
        log(f"logs of the daemons, the bus and the peers are kept in {tmp}")
    else:
        shutil.rmtree(tmp, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
