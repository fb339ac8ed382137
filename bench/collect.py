"""Fleet collection: throughput against the ideal, share of time writing, memory, Dask, and
the two stores side by side.

A simulator in its own process serves N meters (all four kinds) answering every request
after 20 ms; each collection runs in a fresh child process, one day, intervals and
registers, into a fresh store unless said. Prints:

- meter-days per second with 16 threads against the ideal 16 / (exchanges per meter-day
  x time per exchange), the time per exchange taken both as the latency injected and as the
  simulator's own measured service time (the latency and its own work; goal >= 0.9 of it):
  on a first night (a fresh store, which knows no meter, so no meter-day is known to be long)
  and on the next (the store knows the three-phase meters and starts them first); and the
  next night again with every exchange taking --slow-latency (goal >= 0.95); the client's
  CPU per meter-day (goal <= 1.5 ms) beside the raw stub's own per exchange, and the rate of
  the raw stub alone from 16 threads against its ideal (the floor: gRPC and the simulator);
- the share of the run the single writer spent in DuckDB (goal < 5 %), with meter-days
  that complete within a second stored together, and with one transaction each;
- peak RSS of the collecting process for 400 and for 1,600 meters (goal: < 20 % growth);
- a local Dask cluster (2 processes x 8 threads) against 16 threads (goal >= 0.9);
- PostgreSQL against DuckDB: meter-days per second at 400 meters and 16 threads (goal
  >= 0.9) and the share of the run spent writing on each (goal < 5 %). The server is one of
  its own (initdb and pg_ctl in a temporary folder, as the tests start theirs, but with fsync
  and synchronous commits on, as a real one runs); the two stores take turns for --rounds
  rounds and the medians count (the machine is shared);
- what a transaction of 256 meter-days costs on PostgreSQL: its interval rows by COPY into a
  table of incoming rows (as the store writes them) against the same rows as arrays in one
  INSERT (unnest), and the advisory locks of its meter-days' registers.

Never fails on a ratio.

    PYTHONPATH=src/python .venv/bin/python bench/collect.py [--meters 400] [--big 1600] [--latency 0.02]
        [--rounds 3] [--only-stores]
"""

from __future__ import annotations

import argparse
import datetime as dt
import time
import json
import os
import pathlib
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

# gRPC's own notices (a channel seeing its server go away) are not the benchmark's output.
os.environ.setdefault("GRPC_VERBOSITY", "NONE")

from norvo_halvex.collect.collector import GROUP_SECONDS  # noqa: E402

# The throwaway PostgreSQL server of the tests (tests/support/postgres.py).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

DAY = dt.date(2025, 6, 1)
THREADS = 16
NOW = "2025-06-02T12:00:00+00:00"


def exchanges_per_meter_day(latency: float) -> float:
    """Counted on a small fleet of every kind: the latency fault matches every call."""
    from norvo_halvex.collect import CollectOptions, collect
    from norvo_halvex.mediator.simulator import Fault, Fleet, start_simulator

    fleet = Fleet.generate(8, fault=Fault(latency=0.0001))
    fleet.freeze_time(dt.datetime.fromisoformat(NOW))
    with tempfile.TemporaryDirectory() as tmp, start_simulator(fleet) as sim:
        summary = collect(sorted(fleet.meters), CollectOptions(day=DAY), mediator=sim.address,
                          store=os.path.join(tmp, "x.duckdb"))
        calls = sum(fleet.fault_calls(s) for s in fleet.meters)
    return calls / summary.done


def start_simulator_process(meters: int, latency: float, tmp: str):
    path = os.path.join(tmp, f"fleet-{meters}.json")
    with open(path, "w") as f:
        json.dump({"generate": {"count": meters, "fault": {"latency": latency}}}, f)
    proc = subprocess.Popen(
        [sys.executable, "-m", "norvo_halvex.mediator.simulator", "--port", "0", "--fleet", path,
         "--max-workers", "64"],
        stdout=subprocess.PIPE, text=True,
    )
    line = proc.stdout.readline()
    address = next(w for w in line.split() if ":" in w and w.split(":")[-1].isdigit())
    return proc, address


def child(args) -> int:
    """One collection; prints its figures as JSON. A Dask cluster is started (and its
    workers have loaded the collection code) before the clock starts: its start-up is
    printed on its own."""
    from norvo_halvex.collect import CollectOptions, collect
    from norvo_halvex.collect.collector import start_cluster

    serials = [f"HXG{i:06d}" for i in range(args.meters)]
    cluster, cluster_start = None, 0.0
    if args.cluster:
        t0 = time.perf_counter()
        cluster = start_cluster(args.cluster, workers=args.workers)
        cluster.run(lambda: __import__("norvo_halvex.collect.worker"))
        cluster_start = time.perf_counter() - t0
    started, cpu = time.perf_counter(), time.process_time()
    try:
        options = CollectOptions(day=dt.date.fromisoformat(args.day), workers=args.workers, retries=0,
                                 group_seconds=args.group_seconds)
        summary = collect(serials, options, mediator=args.mediator, store=args.db, cluster=cluster)
    finally:
        if cluster is not None:
            cluster.close()
    elapsed, cpu = time.perf_counter() - started, time.process_time() - cpu
    print(json.dumps({"cpu": cpu,
        "elapsed": elapsed, "done": summary.done, "ok": summary.ok, "write": summary.write_seconds,
        "rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, "cluster_start": cluster_start,
    }))
    return 0


def stop_simulator(proc) -> float | None:
    """Stops a simulator process; the mean seconds it took to serve a call, as it says."""
    proc.terminate()
    out, _ = proc.communicate(timeout=60)
    match = re.search(r"served \d+ mediator calls, ([0-9.]+) ms each", out)
    return float(match.group(1)) / 1000 if match else None


def raw_call_cpu(address: str, calls: int = 300) -> float:
    """CPU seconds of this process per element read made with the generated stub alone, one
    thread: what each exchange of a collection costs its client at least."""
    import grpc

    from norvo_halvex.mediator.grpc import halvex_mediator_pb2 as pb
    from norvo_halvex.mediator.grpc import halvex_mediator_pb2_grpc as pb_grpc

    with grpc.insecure_channel(address) as channel:
        read = pb_grpc.HalvexMediatorStub(channel).ReadElement
        request = pb.ReadElementRequest(serial="HXG000000", object_id=1)
        read(request, timeout=10)
        cpu = time.process_time()
        for _ in range(calls):
            read(request, timeout=10)
        return (time.process_time() - cpu) / calls


def raw_threads_rate(address: str, threads: int = THREADS, calls: int = 100) -> float:
    """Element reads per second made with the generated stub alone from ``threads`` threads
    of one process, each reading its own meters back to back: what gRPC and the simulator
    allow on this machine with no collector at all."""
    import threading

    import grpc

    from norvo_halvex.mediator.grpc import halvex_mediator_pb2 as pb
    from norvo_halvex.mediator.grpc import halvex_mediator_pb2_grpc as pb_grpc

    with grpc.insecure_channel(address) as channel:
        read = pb_grpc.HalvexMediatorStub(channel).ReadElement
        start = threading.Barrier(threads + 1)

        def work(n: int) -> None:
            request = pb.ReadElementRequest(serial=f"HXG{n:06d}", object_id=1)
            read(request, timeout=10)
            start.wait()
            for _ in range(calls):
                read(request, timeout=10)

        workers = [threading.Thread(target=work, args=(n,)) for n in range(threads)]
        for w in workers:
            w.start()
        start.wait()
        began = time.perf_counter()
        for w in workers:
            w.join()
        return threads * calls / (time.perf_counter() - began)


def cpu_seconds(pid: int) -> float:
    """CPU time (user + system) a process used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


_runs = iter(range(1_000_000))


def run_child(meters: int, mediator: str, workers: int, tmp: str, cluster: str | None = None,
              group_seconds: float = GROUP_SECONDS, db: str | None = None, day: dt.date = DAY) -> dict:
    """One collection of ``day`` in a child process, into ``db`` (a URL or file) or a new DuckDB file."""
    db = db or os.path.join(tmp, f"run-{next(_runs)}-{meters}-{workers}-{cluster or 'threads'}.duckdb".replace(":", "_"))
    argv = [sys.executable, __file__, "--child", "--meters", str(meters), "--mediator", mediator,
            "--workers", str(workers), "--db", db, "--group-seconds", str(group_seconds), "--day", day.isoformat()]
    if cluster:
        argv += ["--cluster", cluster]
    out = subprocess.run(argv, capture_output=True, text=True, check=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def stores_side_by_side(meters: int, latency: float, rounds: int, tmp: str) -> None:
    """DuckDB and PostgreSQL taking turns on the same simulator: rates and write shares."""
    from support import postgres

    server = postgres.start(durable=True)
    proc, address = start_simulator_process(meters, latency, tmp)
    runs: dict[str, list[dict]] = {"duckdb": [], "postgresql": []}
    try:
        for n in range(rounds):
            runs["duckdb"].append(run_child(meters, address, 16, tmp))
            runs["postgresql"].append(run_child(meters, address, 16, tmp, db=server.url(schema=f"bench{n}")))
        costs = transaction_costs(server.url(schema="bench_writes"))
    finally:
        proc.terminate()
        proc.wait()
        server.stop()
    rate = {k: statistics.median(r["done"] / r["elapsed"] for r in v) for k, v in runs.items()}
    share = {k: statistics.median(100 * r["write"] / r["elapsed"] for r in v) for k, v in runs.items()}
    print(f"stores, {meters} meters, 16 threads, median of {rounds} rounds taking turns:")
    for k in runs:
        print(f"  {k:10}: {rate[k]:.1f} meter-days/s, writing {share[k]:.1f} % of the run (goal < 5 %); "
              f"rounds: {', '.join(f'{r['done'] / r['elapsed']:.1f}' for r in runs[k])}")
    print(f"  PostgreSQL / DuckDB: {rate['postgresql'] / rate['duckdb']:.2f} (goal >= 0.9)")
    print(f"  a transaction of 256 meter-days on PostgreSQL (median of {costs['n']}): {costs['store']:.1f} ms as "
          f"the store writes it; its {costs['rows']} interval rows {costs['copy']:.1f} ms by COPY into a table of "
          f"incoming rows and INSERT from there (the store's way) against {costs['unnest']:.1f} ms as arrays "
          f"(unnest) in one INSERT; "
          f"the advisory locks of its 256 meter-days {costs['locks']:.2f} ms")


def transaction_costs(url: str, n: int = 7) -> dict:
    """Timings (ms) of writing 256 fresh three-phase meter-days in one transaction."""
    from norvo_halvex.collect import open_store
    from norvo_halvex.collect.pgstore import _LOCK_METER_DAYS, _STATEMENTS, _pg, _unnest
    from norvo_halvex.collect.store import batch_params
    from norvo_halvex.collect.task import Attempt, MeterDayResult

    start = int(dt.datetime.combine(DAY, dt.time(0), tzinfo=dt.timezone.utc).timestamp())
    values = {k: "1.000" for k in ("active_import_kwh", "active_export_kwh")}

    def batch(tag: str) -> list:
        now = dt.datetime.now(dt.timezone.utc)
        return [MeterDayResult(f"B{tag}-{i:04d}", DAY, hardware="P1.ax", interval_seconds=1800,
                               intervals=[(start + 1800 * k, "1.500", "0.000", "0.250", "0.000", "1.520", "0.000", 0)
                                          for k in range(48)],
                               registers=(now, values, True),
                               attempts=[Attempt("intervals", 1, "ok", None, None, 48, now, 5),
                                         Attempt("registers", 1, "ok", None, None, 1, now, 5)])
                for i in range(256)]

    # The rows as arrays, one statement (unnest), as against the store's COPY into its table of incoming rows.
    unnest = _pg(
        "INSERT INTO intervals SELECT s, to_timestamp(t), " + ", ".join(f"CAST(v{i} AS DECIMAL(18,4))" for i in range(6))
        + ", d, st, fl, $collected_at FROM "
        + _unnest([("s", "text"), ("t", "bigint"), *((f"v{i}", "text") for i in range(6)), ("d", "int2"),
                   ("st", "int4"), ("fl", "text")]) + " ORDER BY s, t", binary=True)
    timings: dict[str, list[float]] = {"store": [], "unnest": [], "copy": [], "locks": []}
    with open_store(url) as store:
        con = store.con
        for round_ in range(n):
            results = batch(f"s{round_}")
            t0 = time.perf_counter()
            store.write_many("bench", results)
            timings["store"].append(time.perf_counter() - t0)
            for way in ("unnest", "copy"):
                params = dict(batch_params("bench", batch(f"{way}{round_}"), {}, dt.datetime.now(dt.timezone.utc)))
                intervals, registers = params["intervals"], params["registers"]
                with con.transaction():
                    t0 = time.perf_counter()
                    if way == "unnest":
                        con.execute(unnest, intervals)
                    else:
                        store._copy_intervals(intervals)
                        con.execute(_STATEMENTS["intervals"][0], {"collected_at": intervals["collected_at"]})
                    timings[way].append(time.perf_counter() - t0)
                    if way == "unnest":
                        t0 = time.perf_counter()
                        con.execute(_LOCK_METER_DAYS, {"s": registers["s"], "dy": registers["dy"],
                                                       "z": registers["z"]})
                        timings["locks"].append(time.perf_counter() - t0)
    out = {k: 1000 * statistics.median(v) for k, v in timings.items()}
    return {**out, "n": n, "rows": 256 * 48}


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--meters", type=int, default=400)
    p.add_argument("--big", type=int, default=1600)
    p.add_argument("--latency", type=float, default=0.02)
    p.add_argument("--slow-latency", type=float, default=0.2, help="the next night again at this latency (0: not)")
    p.add_argument("--day", default=DAY.isoformat(), help=argparse.SUPPRESS)
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--mediator", help=argparse.SUPPRESS)
    p.add_argument("--workers", type=int, default=16, help=argparse.SUPPRESS)
    p.add_argument("--db", help=argparse.SUPPRESS)
    p.add_argument("--cluster", help=argparse.SUPPRESS)
    p.add_argument("--group-seconds", type=float, default=GROUP_SECONDS, help=argparse.SUPPRESS)
    p.add_argument("--rounds", type=int, default=3, help="rounds of the stores side by side (default 3)")
    p.add_argument("--only-stores", action="store_true", help="the stores side by side only")
    args = p.parse_args()
    if args.child:
        return child(args)
    if args.only_stores:
        load = os.getloadavg()
        with tempfile.TemporaryDirectory(prefix="halvex-bench-") as tmp:
            stores_side_by_side(args.meters, args.latency, args.rounds, tmp)
        print_load(load)
        return 0

    load = os.getloadavg()
    per_md = exchanges_per_meter_day(args.latency)
    print(f"exchanges per meter-day (all four kinds, intervals + registers): {per_md:.2f}")
    service = {}
    with tempfile.TemporaryDirectory(prefix="halvex-bench-") as tmp:
        results = {}
        known, slow_db = os.path.join(tmp, "nights.duckdb"), os.path.join(tmp, "slow-night.duckdb")
        proc, address = start_simulator_process(args.meters, args.latency, tmp)
        try:
            # The first night (the day before) fills the store, which then knows every meter.
            results["first"] = run_child(args.meters, address, THREADS, tmp, db=known, day=DAY - dt.timedelta(days=1))
            shutil.copy(known, slow_db)
            sim_cpu = cpu_seconds(proc.pid)
            results[args.meters] = run_child(args.meters, address, THREADS, tmp, db=known)
            results[args.meters]["sim_cpu"] = cpu_seconds(proc.pid) - sim_cpu
            results["dask"] = run_child(args.meters, address, 8, tmp, cluster="local:2")
            results["single"] = run_child(args.meters, address, THREADS, tmp, group_seconds=0)
            raw_cpu = raw_call_cpu(address)
        finally:
            service[args.latency] = stop_simulator(proc)
        proc, address = start_simulator_process(args.big, args.latency, tmp)
        try:
            results[args.big] = run_child(args.big, address, THREADS, tmp)
            raw_rate = raw_threads_rate(address)  # a simulator of its own: its service time is not the ideal's
        finally:
            stop_simulator(proc)
        if args.slow_latency:
            proc, address = start_simulator_process(args.meters, args.slow_latency, tmp)
            try:
                results["slow"] = run_child(args.meters, address, THREADS, tmp, db=slow_db)
            finally:
                service[args.slow_latency] = stop_simulator(proc)

    def against_ideal(title, run, latency):
        rate = run["done"] / run["elapsed"]
        measured = service.get(latency)
        ideal, served = THREADS / (per_md * latency), THREADS / (per_md * measured) if measured else float("nan")
        goal = 0.95 if latency >= 0.2 else 0.9
        print(f"{title}: {run['done']} meter-days ({run['ok']} ok) in {run['elapsed']:.2f} s = {rate:.1f}/s; "
              f"ideal {ideal:.1f}/s at {latency * 1000:.0f} ms per exchange, ratio {rate / ideal:.2f}; "
              f"ideal {served:.1f}/s at the simulator's measured {measured * 1000 if measured else float('nan'):.2f} ms "
              f"per exchange, ratio {rate / served:.2f} (goal >= {goal})")
        return rate

    small, big, dask = results[args.meters], results[args.big], results["dask"]
    against_ideal(f"{args.meters} meters, {THREADS} threads, first night (the store knows no meter)",
                  results["first"], args.latency)
    rate = against_ideal(f"{args.meters} meters, {THREADS} threads, next night (three-phase meters first)",
                         small, args.latency)
    if args.slow_latency:
        against_ideal(f"{args.meters} meters, {THREADS} threads, next night at {args.slow_latency * 1000:.0f} ms",
                      results["slow"], args.slow_latency)
    ideal = THREADS / (per_md * args.latency)
    need = (small["cpu"] + small["sim_cpu"]) / small["done"]
    print(f"  CPU per meter-day: {1000 * small['cpu'] / small['done']:.2f} ms collecting (goal <= 1.5 ms), "
          f"{1000 * small['sim_cpu'] / small['done']:.1f} ms simulating; the ideal rate needs "
          f"{need * ideal:.2f} of the {os.cpu_count()} CPUs; the raw stub's own client CPU per exchange "
          f"{raw_cpu * 1000:.2f} ms, so {per_md * raw_cpu * 1000:.2f} ms per meter-day is the gRPC calls alone")
    print(f"  the raw stub alone, {THREADS} threads reading back to back: {raw_rate:.0f} exchanges/s against "
          f"{THREADS / args.latency:.0f}/s at {args.latency * 1000:.0f} ms each, ratio {raw_rate * args.latency / THREADS:.2f}; "
          f"at the simulator's measured {service[args.latency] * 1000 if service.get(args.latency) else float('nan'):.2f} ms, "
          f"ratio {raw_rate * service[args.latency] / THREADS if service.get(args.latency) else float('nan'):.2f} "
          "(what gRPC and the simulator allow on this machine)")
    print(f"  writing to DuckDB: {small['write']:.2f} s = {100 * small['write'] / small['elapsed']:.1f} % "
          f"of the run (goal < 5 %)")
    single = results["single"]
    print(f"  with one transaction per meter-day instead: writing {100 * single['write'] / single['elapsed']:.1f} % "
          f"of the run, {single['done'] / single['elapsed']:.1f} meter-days/s")
    first = results["first"]  # into a fresh store, as the big run
    print(f"peak RSS: {first['rss_mib']:.0f} MiB for {args.meters} meters, {big['rss_mib']:.0f} MiB for "
          f"{args.big} ({100 * (big['rss_mib'] / first['rss_mib'] - 1):+.1f} %, goal < +20 %)")
    dask_rate = dask["done"] / dask["elapsed"]
    print(f"local Dask cluster, 2 processes x 8 threads: {dask['done']} meter-days in {dask['elapsed']:.2f} s "
          f"= {dask_rate:.1f}/s; against 16 threads {dask_rate / rate:.2f} (goal >= 0.9; "
          f"the cluster's start, {dask['cluster_start']:.1f} s, not counted)")
    with tempfile.TemporaryDirectory(prefix="halvex-bench-") as tmp:
        stores_side_by_side(args.meters, args.latency, args.rounds, tmp)
    print_load(load)
    return 0


def print_load(before) -> None:
    print(f"load average (1, 5, 15 min): {', '.join(f'{x:.1f}' for x in before)} before, "
          f"{', '.join(f'{x:.1f}' for x in os.getloadavg())} after, on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    raise SystemExit(main())
