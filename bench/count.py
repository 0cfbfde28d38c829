#!/usr/bin/env python3
"""Instructions and system calls per relayed message, counted rather than
timed, so the figures hold on a busy machine.

For each relay (the daemon, the daemon with --filter and a 100-rule policy,
the floor: bench_floor_relay, a minimal relay of libdbus connections hosted
in one GLib source, and xdg-dbus-proxy as the peer) one client makes N
sequential Ping calls through it to the echo service, with the relay run
under `valgrind --tool=callgrind` (instructions: total Ir of the process)
and under `strace -f -c` (system calls). Each is done for a short and a
long run, and the difference is divided by the extra messages relayed (two
per call: the call and its reply), so start-up, authentication, Hello and
exit cancel out.

  bench/count.py                 # builds build-bench/, about a minute
  bench/count.py --no-build --calls 4000 --keep /tmp/cg
  bench/count.py --no-build --payload 65536 --calls 200   # large messages
  bench/count.py --no-build --churn --calls 200           # per connection
  bench/count.py --no-build --churn --calls 100 --relays daemon --tools strace \
      --max-sys 60                                          # the suite's coarse check
  bench/count.py --no-build --owned-names 10000 --calls 1000

With --max-sys, exits 1 when a relay's system calls per message (or per
connection) exceed it, and 77 (a skipped test) when a tool is missing.

With --owned-names N the calls go, under --filter, to the unique name of a
host peer that owns one talkable name and N names under a rule that lets
clients see them (then 1 such name, for comparison): what judging a peer by
all its names costs per message. Instructions only.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the shared process and bus helpers)
from run import Failure, log, wait_for, unix_listening  # noqa: E402

BASE_CALLS = 200
BASE_CONNS = 50


def relay_argv(bench, name, sock, policy):
    if name == "floor":
        return [bench.tool("floor_relay"), "--socket", sock, "--bus", bench.bus_address]
    if name == "peer":
        return ["xdg-dbus-proxy", bench.bus_address, sock]
    argv = [bench.daemon, "--family", "unix", "--socket", sock]
    if name == "daemon --filter":
        argv += ["--filter", "--policy=" + policy]
    return argv


def measure(bench, procs, name, tool, calls, out, policy, payload=0, churn=False, dest=None):
    """Runs one relay under `tool` while one client makes `calls` calls (or,
    with `churn`, `calls` connections that each say Hello, Ping and close)."""
    sock = os.path.join(bench.tmp, "count.sock")
    if os.path.exists(sock):
        os.unlink(sock)
    if tool == "callgrind":
        wrap = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out]
    else:
        wrap = ["strace", "-f", "-c", "-o", out, "--"]
    env = {"DBUS_SESSION_BUS_ADDRESS": bench.bus_address}
    proc = procs.start(name, wrap + relay_argv(bench, name, sock, policy), env=env,
                       stderr=bench.logfile("count-" + tool))
    try:
        wait_for(lambda: unix_listening(sock) or proc.poll() is not None, 60, name + " socket")
        if proc.poll() is not None:
            raise Failure(f"{name} under {tool} exited; see {bench.tmp}")
        if churn:
            r = bench.run_client([bench.tool("churn_client"), "--address", "unix:path=" + sock,
                                  "--count", str(calls), "--duration", "600"], 900)
            if int(r["conns"]) != calls or int(r["errors"]):
                raise Failure(f"{name}: {int(r['conns'])} of {calls} connections served")
            # The last clients' departures are part of what a connection costs.
            time.sleep(2)
        else:
            r = bench.run_client([bench.tool("load_client"), "--address", "unix:path=" + sock,
                                  "--conns", "1", "--inflight", "1", "--calls", str(calls),
                                  "--payload", str(payload)] +
                                 (["--dest", dest] if dest else []), 600)
            if int(r["total_calls"]) != calls:
                raise Failure(f"{name}: {int(r['total_calls'])} of {calls} calls answered")
        # valgrind runs the relay in its own process; strace is its parent.
        target = procs.children(proc.pid)[:1] if tool == "strace" else [proc.pid]
        for pid in target:
            os.kill(pid, signal.SIGTERM)
        proc.wait(timeout=60)
    finally:
        procs.stop(proc)
    return parse_callgrind(out) if tool == "callgrind" else parse_strace(out)


def parse_callgrind(path):
    total = 0
    for line in open(path):
        if line.startswith(("summary:", "totals:")):
            total = int(line.split()[1])
    if not total:
        raise Failure("no total in " + path)
    return {"total": total}


def parse_strace(path):
    counts = {}
    for line in open(path):
        f = line.split()
        if len(f) >= 5 and f[0][0].isdigit() and f[3].isdigit():
            counts[f[-1]] = int(f[3])
    if "total" not in counts:
        raise Failure("no strace summary in " + path)
    return counts


def owned_names(bench, procs, args, policy, outdir):
    """Per-message instructions of calls to a peer owning 1 and N names."""
    rows = []
    for names in (1, args.owned_names):
        peer = procs.start("names", [bench.tool("echo_service"), "--address", bench.bus_address,
                                     "--own", "org.dpdbench.Other0", "--names", str(names),
                                     "--name-prefix", "org.dpdbench.prefix0"],
                           stdout=subprocess.PIPE, stderr=bench.logfile("names"))
        try:
            line = run.read_line(peer, 300, "the peer with names")
            if not line.startswith("ready :"):
                raise Failure("the peer with names did not start: " + line)
            dest = line.split()[1]
            got = []
            for calls in (BASE_CALLS, BASE_CALLS + args.calls):
                out = os.path.join(outdir, f"callgrind.names{names}.{calls}")
                got.append(measure(bench, procs, "daemon --filter", "callgrind", calls, out,
                                   policy, dest=dest))
                log(f"{names} names, {calls} calls: {got[-1]['total']}")
            rows.append((names, (got[1]["total"] - got[0]["total"]) / (2 * args.calls)))
        finally:
            procs.stop(peer)
    print(f"Per relayed call or reply to a peer's unique name under --filter, "
          f"{args.calls} calls more than {BASE_CALLS}:")
    print()
    print("| names the peer owns | instructions | ÷ 1 name |")
    print("|---|---|---|")
    for names, ir in rows:
        print(f"| {names:,} | {ir:,.0f} | {ir / rows[0][1]:.3f} |")


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--calls", type=int, default=2000,
                    help="extra sequential calls of the long run (2000)")
    ap.add_argument("--relays", default="floor,daemon,daemon --filter,peer",
                    help="comma-separated: floor, daemon, daemon --filter, peer")
    ap.add_argument("--payload", type=int, default=0,
                    help="bytes per call: Echo(ay) of this size instead of Ping (0)")
    ap.add_argument("--churn", action="store_true",
                    help="count per connection (connect, Hello, Ping, close) instead of "
                         "per message; --calls is then the extra connections")
    ap.add_argument("--owned-names", type=int, default=0,
                    help="count calls to a peer that owns this many names (and one)")
    ap.add_argument("--build-dir", default=os.path.join(run.ROOT, "build-bench"))
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--daemon", help="daemon binary to count instead of the build tree's")
    ap.add_argument("--keep", help="keep the callgrind and strace outputs in this directory")
    ap.add_argument("--tools", default="callgrind,strace",
                    help="comma-separated: callgrind, strace (both)")
    ap.add_argument("--max-sys", type=float,
                    help="fail when a relay's system calls per message exceed this")
    args = ap.parse_args()
    tools = [t.strip() for t in args.tools.split(",")]
    for tool in tools:
        if not shutil.which("valgrind" if tool == "callgrind" else tool):
            log(f"skipped: {tool} is not installed")
            return 77
    args.build_dir = os.path.abspath(args.build_dir)
    args.daemon = os.path.abspath(args.daemon) if args.daemon else None
    relays = [r.strip() for r in args.relays.split(",")]

    procs = run.Processes()
    tmp = tempfile.mkdtemp(prefix="dpd-count-")
    outdir = args.keep or tmp
    os.makedirs(outdir, exist_ok=True)
    status = 0
    try:
        if not args.no_build:
            log(f"Building into {args.build_dir} ...")
            run.cmake_build(args.build_dir, ["-DDPD_BUILD_TESTS=OFF", "-DDPD_BUILD_BENCH=ON"])
        bench = run.Bench(argparse.Namespace(build_dir=args.build_dir, daemon=args.daemon),
                          procs, tmp)
        bench.start_bus()
        policy = os.path.join(tmp, "policy")
        with open(policy, "w") as f:
            f.write(run.POLICY_100)
        if args.owned_names:
            owned_names(bench, procs, args, policy, outdir)
            return status
        rows = {}
        base = BASE_CONNS if args.churn else BASE_CALLS
        for name in relays:
            row = {}
            for tool in tools:
                got = []
                for calls in (base, base + args.calls):
                    out = os.path.join(outdir, f"{tool}.{name.replace(' ', '')}.{calls}")
                    got.append(measure(bench, procs, name, tool, calls, out, policy,
                                       args.payload, args.churn))
                    log(f"{name}, {tool}, {calls} calls: {got[-1].get('total')}")
                msgs = args.calls if args.churn else 2 * args.calls
                if tool == "callgrind":
                    row["ir"] = (got[1]["total"] - got[0]["total"]) / msgs
                else:
                    row["sys"] = (got[1]["total"] - got[0]["total"]) / msgs
                    row["by_call"] = {k: (v - got[0].get(k, 0)) / msgs
                                      for k, v in got[1].items() if k != "total"}
            rows[name] = row
        floor = rows.get("floor")
        if args.churn:
            print(f"Per connection (connect, Hello, Ping, close), "
                  f"{args.calls} connections more than {base}:")
        else:
            what = (f"{args.payload}-byte message, sequential Echo" if args.payload
                    else "small message, sequential Ping")
            print(f"Per relayed {what} (1 conn x 1), "
                  f"{args.calls} calls more than {base}:")
        print()
        print("| relay | instructions | ÷ floor | system calls | which |")
        print("|---|---|---|---|---|")
        for name, row in rows.items():
            ratio = (f"{row['ir'] / floor['ir']:.3f}"
                     if floor and "ir" in floor and "ir" in row else "–")
            ir = f"{row['ir']:,.0f}" if "ir" in row else "–"
            sys_calls = f"{row['sys']:.2f}" if "sys" in row else "–"
            which = ", ".join(f"{k} {v:.2f}" for k, v in
                              sorted(row.get("by_call", {}).items(), key=lambda kv: -kv[1])
                              if v >= 0.05)
            print(f"| {name} | {ir} | {ratio} | {sys_calls} | {which} |")
            if args.max_sys is not None and row.get("sys", 0) > args.max_sys:
                log(f"error: {name}: {row['sys']:.2f} system calls, more than {args.max_sys}")
                status = 1
    except KeyboardInterrupt:
        status = 130
    except (Failure, subprocess.SubprocessError, OSError) as exc:
        log(f"error: {exc}; logs in {tmp}")
        status = 1
    finally:
        procs.stop_all()
    if status == 0:
        shutil.rmtree(tmp, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
