#!/usr/bin/env python3
"""The C++ driver's workloads from Python: tambtree against lmdb, plyvel
(LevelDB) and sqlite3, each engine in a process of its own, with the ratios
ours/theirs and, given the C++ driver (--cxx), the module's time over the
library's on the same workload.

    PYTHONPATH=build-bench/python /usr/bin/python3 bench/python/bench.py \\
        --cxx=build-bench/bench/tambtree-bench

Records, orders and values are the C++ driver's (bench/README.md): 16-byte
keys, 100-byte values from a seeded block, seeded permutations, a durable
commit every --batch records.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from array import array
from typing import Callable, Dict, Iterable, List, Optional, Tuple

WORKLOADS = ["fillseq", "fillrandom", "fillbulk", "readrandom", "readmissing", "readseq",
             "readreverse", "synccommit"]
# The C++ driver numbers its workloads' orders in this sequence (compact,
# which draws none, left out).
CXX_ORDER = ["fillseq", "fillrandom", "fillbulk", "readrandom", "readmissing", "readseq",
             "readreverse", "overwrite", "deleterandom", "synccommit", "synccommit2pc"]
ENGINES = ["tambtree", "lmdb", "plyvel", "sqlite3", "dict"]
MASK = (1 << 64) - 1
POOL = 1 << 20
VALUE_SIZE = 100
SYNC_COMMITS = 1000

Pairs = List[Tuple[bytes, bytes]]


# --- records, as the C++ driver makes them -------------------------------------

def splitmix(state: int) -> Tuple[int, int]:
    """One step of SplitMix64: the new state and the output."""
    state = (state + 0x9E3779B97F4A7C15) & MASK
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return state, z ^ (z >> 31)


def value_pool(seed: int) -> bytes:
    out = bytearray(POOL + VALUE_SIZE)
    state = seed
    for i in range(len(out)):
        state, z = splitmix(state)
        out[i] = z & 0xFF
    return bytes(out)


def value(pool: bytes, n: int, generation: int) -> bytes:
    _, z = splitmix((n * 0x100000001B3 + generation) & MASK)
    at = z % POOL
    return pool[at:at + VALUE_SIZE]


def make_key(n: int, missing: bool = False) -> bytes:
    return n.to_bytes(8, "big") + (b"\0" * 7) + (b"\1" if missing else b"\0")


def permutation(n: int, seed: int) -> array:
    order = array("I", range(n))
    state = seed
    for i in range(n, 1, -1):
        state, z = splitmix(state)
        j = z % i
        order[i - 1], order[j] = order[j], order[i - 1]
    return order


def workload_order(workload: str, n: int, seed: int) -> array:
    order = permutation(n, seed * 1000 + CXX_ORDER.index(workload) + 1)
    if workload == "fillseq":
        order = array("I", sorted(order))
    if workload == "synccommit":
        order = order[:min(n, SYNC_COMMITS)]
    return order


# --- engines -------------------------------------------------------------------


def count_hits(get: Callable[[bytes], Optional[bytes]], keys: List[bytes]) -> int:
    """Looks every key up as a client keeping the value would; counts hits."""
    hits = 0
    for key in keys:
        if get(key) is not None:
            hits += 1
    return hits


def count_pairs(pairs: Iterable[Tuple[bytes, bytes]]) -> int:
    """Walks a scan to its end, unpacking each pair as a client would."""
    count = 0
    for key, val in pairs:
        count += 1
    return count

class Engine:
    """One store behind the workloads; each engine writes its own tight loops."""

    name = ""

    def create(self, directory: str) -> None:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def fill(self, pairs: Pairs, batch: int) -> None:
        """Stores the pairs, a durable commit every `batch`."""
        raise NotImplementedError

    def lookups(self, keys: List[bytes]) -> int:
        """How many keys are stored; each hit's value is taken."""
        raise NotImplementedError

    def scan(self, reverse: bool) -> int:
        """Reads every key and value in order (or backward); returns the count."""
        raise NotImplementedError

    def reopen(self) -> None:
        """Before each round of reads, untimed: every engine reads from a store it
        has just opened (mapped anew), as the C++ driver's ByteTree reads do."""


class TamEngine(Engine):
    name = "tambtree"

    def create(self, directory: str) -> None:
        import tambtree
        self.path = os.path.join(directory, "data.tbt")
        self.tree = tambtree.Tree(self.path)

    def reopen(self) -> None:
        import tambtree
        self.tree.close()
        self.tree = tambtree.Tree(self.path, mode="open")

    def close(self) -> None:
        self.tree.close()

    def fill(self, pairs: Pairs, batch: int) -> None:
        tree = self.tree
        for at in range(0, len(pairs), batch):
            for key, val in pairs[at:at + batch]:
                tree[key] = val
            tree.commit()

    def lookups(self, keys: List[bytes]) -> int:
        return count_hits(self.tree.get, keys)

    def scan(self, reverse: bool) -> int:
        return count_pairs(self.tree.items(reverse=reverse))


class LmdbEngine(Engine):
    name = "lmdb"

    def __init__(self, records: int) -> None:
        self.map_size = (1 << 30) + 1024 * records

    def create(self, directory: str) -> None:
        import lmdb
        self.directory = directory
        self.env = lmdb.open(directory, map_size=self.map_size)

    def reopen(self) -> None:
        self.env.close()
        self.create(self.directory)

    def close(self) -> None:
        self.env.close()

    def fill(self, pairs: Pairs, batch: int) -> None:
        for at in range(0, len(pairs), batch):
            with self.env.begin(write=True) as txn:
                put = txn.put
                for key, val in pairs[at:at + batch]:
                    put(key, val)

    def lookups(self, keys: List[bytes]) -> int:
        hits = 0
        with self.env.begin() as txn:
            get = txn.get
            for key in keys:
                if get(key) is not None:
                    hits += 1
        return hits

    def scan(self, reverse: bool) -> int:
        count = 0
        with self.env.begin() as txn:
            cursor = txn.cursor()
            if reverse:
                cursor.last()
            for key, val in (cursor.iterprev() if reverse else cursor):
                count += 1
        return count


class PlyvelEngine(Engine):
    name = "plyvel"

    def create(self, directory: str) -> None:
        import plyvel
        self.directory = directory
        self.db = plyvel.DB(directory, create_if_missing=True)

    def reopen(self) -> None:
        self.db.close()
        self.create(self.directory)

    def close(self) -> None:
        self.db.close()

    def fill(self, pairs: Pairs, batch: int) -> None:
        for at in range(0, len(pairs), batch):
            with self.db.write_batch(sync=True) as wb:
                put = wb.put
                for key, val in pairs[at:at + batch]:
                    put(key, val)

    def lookups(self, keys: List[bytes]) -> int:
        return count_hits(self.db.get, keys)

    def scan(self, reverse: bool) -> int:
        return count_pairs(self.db.iterator(reverse=reverse))


class SqliteEngine(Engine):
    name = "sqlite3"

    def create(self, directory: str) -> None:
        self.directory = directory
        self.connect()
        self.db.execute("CREATE TABLE kv(k BLOB PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID")

    def connect(self) -> None:
        self.db = sqlite3.connect(os.path.join(self.directory, "data.db"), isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=FULL")

    def reopen(self) -> None:
        self.db.close()
        self.connect()

    def close(self) -> None:
        self.db.close()

    def fill(self, pairs: Pairs, batch: int) -> None:
        execute = self.db.execute
        for at in range(0, len(pairs), batch):
            execute("BEGIN")
            for pair in pairs[at:at + batch]:
                execute("INSERT INTO kv(k, v) VALUES(?, ?)", pair)
            execute("COMMIT")

    def lookups(self, keys: List[bytes]) -> int:
        execute = self.db.execute
        hits = 0
        execute("BEGIN")
        for key in keys:
            if execute("SELECT v FROM kv WHERE k = ?", (key,)).fetchone() is not None:
                hits += 1
        execute("COMMIT")
        return hits

    def scan(self, reverse: bool) -> int:
        order = "DESC" if reverse else ""
        count = 0
        for key, val in self.db.execute(f"SELECT k, v FROM kv ORDER BY k {order}"):
            count += 1
        return count


class DictEngine(Engine):
    """Python's own cost: the same loops over a dict (scans over a sorted list)."""

    name = "dict"

    def create(self, directory: str) -> None:
        self.data: Dict[bytes, bytes] = {}
        self.ordered: Optional[Pairs] = None

    def close(self) -> None:
        self.data = {}

    def fill(self, pairs: Pairs, batch: int) -> None:
        data = self.data
        self.ordered = None
        for at in range(0, len(pairs), batch):
            for key, val in pairs[at:at + batch]:
                data[key] = val

    def lookups(self, keys: List[bytes]) -> int:
        get = self.data.get
        hits = 0
        for key in keys:
            if get(key) is not None:
                hits += 1
        return hits

    def scan(self, reverse: bool) -> int:
        if self.ordered is None:  # sorted once: the scans' floor is the loop
            self.ordered = sorted(self.data.items())
        count = 0
        for key, val in (reversed(self.ordered) if reverse else self.ordered):
            count += 1
        return count


def new_engine(name: str, records: int) -> Engine:
    if name == "lmdb":
        return LmdbEngine(records)
    return {"tambtree": TamEngine, "plyvel": PlyvelEngine, "sqlite3": SqliteEngine,
            "dict": DictEngine}[name]()


# --- the runs ------------------------------------------------------------------

class Run:
    """Workloads on one engine, each starting from the store it needs."""

    def __init__(self, engine: Engine, args: argparse.Namespace) -> None:
        self.engine, self.args = engine, args
        with open(os.path.join(args.data, "values"), "rb") as f:
            self.pool = f.read()
        self.directory = os.path.join(args.dir, engine.name)
        self.open = False

    def order(self, workload: str) -> array:
        order = array("I")
        with open(os.path.join(self.args.data, workload), "rb") as f:
            order.frombytes(f.read())
        return order

    def pairs(self, workload: str, generation: int = 0, missing: bool = False) -> Pairs:
        pool = self.pool
        return [(make_key(n, missing), value(pool, n, generation)) for n in self.order(workload)]

    def fresh_store(self) -> None:
        self.close()
        os.makedirs(self.directory)
        self.engine.create(self.directory)
        self.open = True

    def close(self) -> None:
        if self.open:
            self.engine.close()
            self.open = False
        shutil.rmtree(self.directory, ignore_errors=True)

    def load(self) -> None:
        """A store of every record, untimed, in one transaction."""
        self.fresh_store()
        pairs = self.pairs("fillrandom")
        self.engine.fill(pairs, len(pairs))

    def write(self, workload: str) -> float:
        """Ops/s of a fill (into a new store) or of the durable single commits."""
        if workload == "synccommit":
            pairs = self.pairs("synccommit", generation=2, missing=True)
            batch = 1
        else:
            self.fresh_store()
            pairs = self.pairs(workload)
            batch = len(pairs) if workload == "fillbulk" else self.args.batch
        start = time.perf_counter()
        self.engine.fill(pairs, batch)
        return len(pairs) / (time.perf_counter() - start)

    def read(self, workload: str, keys: List[bytes]) -> float:
        """Ops/s of one round of a read workload, on a store that holds every record."""
        self.engine.reopen()
        start = time.perf_counter()
        if workload in ("readrandom", "readmissing"):
            hits = self.engine.lookups(keys)
            expected = 0 if workload == "readmissing" else len(keys)
        else:
            hits = self.engine.scan(workload == "readreverse")
            expected = self.args.n
        seconds = time.perf_counter() - start
        if hits != expected:
            raise RuntimeError(f"{self.engine.name} {workload}: {hits} hits, not {expected}")
        return self.args.n / seconds


def run_writes(args: argparse.Namespace) -> None:
    """In a child process: the write workloads on --child, as JSON ops/s."""
    run = Run(new_engine(args.child, args.n), args)
    results = {}
    for workload in args.workloads:
        if workload == "synccommit" and not run.open:
            run.load()
        results[workload] = run.write(workload)
        print(f"  {args.child:9} {workload:12} {results[workload]:14.0f} ops/s", file=sys.stderr)
    run.close()
    print(json.dumps(results))


def run_reads(args: argparse.Namespace, reads: List[str],
              results: Dict[str, Dict[str, float]]) -> Dict[str, float]:
    """The read workloads, every engine's store loaded at once and the engines
    taking turns within each round, so that the load of the moment falls on
    all of them alike; the C++ driver runs once a round. Best of the rounds."""
    runs = [Run(new_engine(name, args.n), args) for name in args.engines]
    keys = {w: [make_key(n, w == "readmissing") for n in Run(runs[0].engine, args).order(w)]
            for w in reads if w in ("readrandom", "readmissing")}
    cxx: Dict[str, float] = {}
    try:
        for run in runs:
            run.load()
        for _ in range(args.rounds):
            if args.cxx:
                for workload, ops in run_cxx(args, reads).items():
                    cxx[workload] = max(cxx.get(workload, 0.0), ops)
            for workload in reads:
                for run in runs:
                    ops = run.read(workload, keys.get(workload, []))
                    best = results[run.engine.name]
                    best[workload] = max(best.get(workload, 0.0), ops)
    finally:
        for run in runs:
            run.close()
    return cxx


def write_data(args: argparse.Namespace) -> None:
    with open(os.path.join(args.data, "values"), "wb") as f:
        f.write(value_pool(args.seed))
    ordered = [w for w in args.workloads if w not in ("readseq", "readreverse")]
    for workload in set(ordered) | {"fillrandom"}:
        with open(os.path.join(args.data, workload), "wb") as f:
            f.write(workload_order(workload, args.n, args.seed).tobytes())


def run_child(name: str, args: argparse.Namespace, writes: List[str]) -> Dict[str, float]:
    command = [sys.executable, os.path.abspath(__file__), f"--child={name}",
               f"--data={args.data}", f"--dir={args.dir}", f"--n={args.n}",
               f"--batch={args.batch}", f"--seed={args.seed}", "--workloads=" + ",".join(writes)]
    done = subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def run_cxx(args: argparse.Namespace, workloads: List[str]) -> Dict[str, float]:
    """Ops/s of one run of the C++ driver: ByteTree's for reads (the module's
    tree is one), the derived tree's for writes (the driver writes through it
    only)."""
    command = [args.cxx, f"--n={args.n}", f"--batch={args.batch}", f"--seed={args.seed}",
               "--engines=tambtree", "--sweep=none", "--csv",
               "--workloads=" + ",".join(workloads)]
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                          check=True)
    rows: Dict[str, float] = {}
    for row in csv.DictReader(io.StringIO(done.stdout)):
        if row["engine"] == "bytetree" or row["workload"] not in rows:
            rows[row["workload"]] = float(row["ops_per_sec"])
    return rows


def report(args: argparse.Namespace, results: Dict[str, Dict[str, float]],
           cxx: Dict[str, float]) -> None:
    names = [e for e in args.engines if results[e]]
    theirs = [e for e in names if e not in ("tambtree", "dict")]
    head = f"{'workload (ops/s)':18}" + "".join(f"{e:>12}" for e in names)
    head += "".join(f"{'ours/' + e:>15}" for e in theirs)
    if cxx:
        head += f"{'C++ ops/s':>13}{'py/C++ time':>13}"
    print(head)
    for w in args.workloads:
        ops = {e: results[e].get(w, 0.0) for e in names}
        line = f"{w:18}" + "".join(f"{ops[e]:12.0f}" for e in names)
        ours = ops.get("tambtree", 0.0)
        for e in theirs:
            line += f"{(ours / ops[e] if ops[e] else 0):14.2f}x"
        if cxx:
            line += f"{cxx.get(w, 0.0):13.0f}"
            line += f"{(cxx[w] / ours if ours and w in cxx else 0):12.2f}x"
        print(line)


def parse(argv: List[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=1_000_000, help="records (default 1,000,000)")
    p.add_argument("--batch", type=int, default=1000, help="records per commit (default 1000)")
    p.add_argument("--engines", default=",".join(ENGINES), help="of " + ",".join(ENGINES))
    p.add_argument("--workloads", default=",".join(WORKLOADS), help="of " + ",".join(WORKLOADS))
    p.add_argument("--rounds", type=int, default=3,
                   help="reads: the best of this many rounds, ours and the C++ driver's "
                        "(default 3)")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--dir", help="where the stores live (default a new directory under /tmp)")
    p.add_argument("--cxx", help="the C++ driver tambtree-bench, for the py/C++ column")
    p.add_argument("--child", help=argparse.SUPPRESS)
    p.add_argument("--data", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    args.engines = args.engines.split(",")
    args.workloads = [w for w in WORKLOADS if w in args.workloads.split(",")]
    return args


def main(argv: List[str]) -> None:
    args = parse(argv)
    if args.child:
        run_writes(args)
        return
    made = args.dir is None
    args.dir = args.dir or tempfile.mkdtemp(prefix="tambtree-pybench-")
    args.data = tempfile.mkdtemp(prefix="tambtree-pybench-data-")
    writes = [w for w in args.workloads if not w.startswith("read")]
    reads = [w for w in args.workloads if w.startswith("read")]
    try:
        if "tambtree" in args.engines:
            import tambtree  # from PYTHONPATH: say which build is measured
            print(f"bench.py: tambtree from {os.path.dirname(tambtree.__file__)}")
        print(f"bench.py: N={args.n} B={args.batch}, keys 16 B, values 100 B, reads the best of "
              f"{args.rounds} rounds, in {args.dir}", flush=True)
        write_data(args)
        results: Dict[str, Dict[str, float]] = {name: {} for name in args.engines}
        for name in args.engines:
            if writes:
                results[name].update(run_child(name, args, writes))
        cxx = run_cxx(args, writes) if args.cxx and writes else {}
        if reads:
            cxx.update(run_reads(args, reads, results) if args.cxx or reads else {})
        report(args, results, cxx)
    finally:
        shutil.rmtree(args.data, ignore_errors=True)
        if made:
            shutil.rmtree(args.dir, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
