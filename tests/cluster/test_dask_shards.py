"""The Dask example against clusters that the tests start on 127.0.0.1 and
stop, also when they fail. These start worker processes and take seconds each,
so they run once, from tests/run.sh (`pytest tests/cluster`), and not with
every interpreter's suite. Most share one cluster; a test that kills a worker
there waits for its replacement."""

import contextlib
import json
import logging
import os
import pickle
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import dask
import psutil
import pytest
from dask.distributed import Client, LocalCluster

import vornic

EXAMPLES = Path(__file__).parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import shards  # noqa: E402
from shards import SchedulerLost, ShardedVornic, ShardLost, ShardStalled  # noqa: E402

TAGS = [f"t{i:02}" for i in range(40)]


def listening(processes):
    return {c.laddr for p in processes for c in p.net_connections("inet") if c.status == psutil.CONN_LISTEN}


@contextlib.contextmanager
def local_cluster(worker_ttl=None):
    """2 worker processes, everything on loopback, on ports the system picks."""
    with (dask.config.set({"distributed.scheduler.worker-ttl": worker_ttl}),
          LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                       dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR) as cluster):
        here = psutil.Process()
        addresses = listening([here, *here.children(recursive=True)])
        assert addresses and {a.ip for a in addresses} == {"127.0.0.1"}, addresses
        yield cluster


@pytest.fixture(scope="module")
def cluster():
    with local_cluster() as cluster:
        yield cluster


@pytest.fixture
def client(cluster):
    with Client(cluster.scheduler_address, direct_to_workers=True) as client:
        client.wait_for_workers(2, timeout=120)  # a killed worker's replacement included
        yield client


def actors_left(client):
    return sum(client.run(lambda dask_worker: len(dask_worker.state.actors)).values())


def worker_pid(client, address):
    return client.run(os.getpid, workers=[address])[address]


@contextlib.contextmanager
def stopped(pid):
    """The process stopped as a stalled machine is, and let go on afterwards."""
    os.kill(pid, signal.SIGSTOP)
    try:
        yield
    finally:
        os.kill(pid, signal.SIGCONT)


def read_snapshot(path):
    with open(path, "rb") as f:
        header, contents = shards.read_header(f, path), {}
        while len(contents) < header["entries"]:
            contents |= {k: set(tags) for k, tags in pickle.load(f).items()}
    return contents


def eventually(check, seconds=10):
    deadline = time.monotonic() + seconds
    while not check() and time.monotonic() < deadline:
        time.sleep(0.1)
    return check()


def entries(n, seed=5):
    rng = random.Random(seed)
    return {f"k{i:07}": rng.sample(TAGS, rng.randint(2, 5)) for i in range(n)}


def test_example_agrees_with_the_map_in_process_and_leaves_no_actor(client, tmp_path):
    before = actors_left(client)
    args = ["--scheduler", client.scheduler.address, "--entries", "2000", "--rounds", "40", "--batch", "100",
            "--snapshots", tmp_path]
    result = subprocess.run([sys.executable, EXAMPLES / "dask_shards.py", *args], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0 and "every answer agrees" in result.stdout, result.stdout + result.stderr
    assert "Warning: " not in result.stderr, result.stderr  # as the examples' other tests ask
    assert sorted(p.name for p in tmp_path.rglob("*.pickle")) == [
        "shard-000-of-001.pickle", "shard-000-of-002.pickle", "shard-001-of-002.pickle"]

    # Closing ends the actors while the client lives on.
    with ShardedVornic(client, 2) as m:
        m.update(entries(1000))
        m.snapshot(tmp_path)
    with ShardedVornic.from_snapshots(client, tmp_path) as restarted:
        assert len(restarted) == 1000
        restarted.restore(0)
    assert eventually(lambda: actors_left(client) == before)


def test_a_dead_workers_shard_is_named_at_once_and_comes_back_as_its_snapshot(client, tmp_path):
    data = entries(2000)
    with ShardedVornic(client, 2, timeout=20) as m:
        m.update(data)
        m.snapshot(tmp_path)
        expected = vornic.Vornic(data)
        for k in list(data)[::10]:  # changed after the snapshot, on both shards
            m[k] = expected[k] = ["changed"]
        victim = 1
        killer = threading.Timer(0.3, os.kill, (worker_pid(client, m.workers[victim]), signal.SIGKILL))
        killer.start()
        start = time.monotonic()
        with pytest.raises(ShardLost, match=rf"^shard {victim} of 2 \(on tcp://127\.0\.0\.1:\d+\) "
                                            r"is lost: its worker died; restore\(1\)") as lost:
            while time.monotonic() - start < 60:  # queries to both shards while the worker dies
                assert m.count(["changed"]) == expected.count(["changed"])
        killer.join()
        assert lost.value.shard == victim and lost.value.__cause__ is None
        assert time.monotonic() - start < 5, "reported long after the worker died"

        m.restore(victim)
        snapshot = read_snapshot(tmp_path / "shard-001-of-002.pickle")
        survivors = {k: tags for k, tags in expected.items() if m.shard_of(k) != victim}
        assert dict(m.items()) == survivors | snapshot
        assert m.find(["changed"]) == set(survivors) & expected.find(["changed"])


def test_a_stalled_worker_is_named_fenced_and_left_for_one_that_answers(client, tmp_path):
    before, data = actors_left(client), entries(2000)
    with ShardedVornic(client, 2, timeout=1.5) as m:
        m.update(data)
        m.snapshot(tmp_path)
        k0, k1 = (next(k for k in data if m.shard_of(k) == i) for i in (0, 1))
        stalled = m.workers[1]
        pid = worker_pid(client, stalled)

        # Stalled, then going on: the write's outcome is fixed at the next call.
        with stopped(pid):
            start = time.monotonic()
            with pytest.raises(ShardStalled, match=r"^shard 1 of 2 \(on tcp://[\d.:]+\) did not answer within "
                                                   r"1.5 s, .* may or may not have landed.* restore\(1\)"):
                m[k1] = ["late"]
            assert time.monotonic() - start < 3
            assert m[k0] == set(data[k0])  # the other shard answers meanwhile
        settled = m[k1]
        assert settled in ({"late"}, set(data[k1]))
        with pytest.raises(shards.Fenced):  # as a call sent before the stall would be, arriving now
            m._actors[1].call(0, "__setitem__", k1, ["late"]).result(timeout=10)
        time.sleep(0.5)
        assert m[k1] == settled

        # Stalled past the write: restore moves the shard, and the write never lands.
        with stopped(pid):
            with pytest.raises(ShardStalled):
                m[k1] = ["lost"]
            m.restore(1)
            assert m.workers[1] != stalled
        time.sleep(0.5)
        assert m[k1] == set(data[k1]) and len(m) == len(data)
        assert eventually(lambda: actors_left(client) == before + 2)


def test_a_lost_scheduler_is_named_and_the_snapshots_bring_the_map_back(tmp_path):
    """On a cluster of its own: the scheduler in a process that the test kills."""
    bindir = Path(sys.executable).parent
    scheduler_file = tmp_path / "scheduler.json"
    spawned = []

    def spawn(*args):
        spawned.append(subprocess.Popen([bindir / "dask", *args, "--host", "127.0.0.1"], start_new_session=True,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        return spawned[-1]

    try:
        scheduler = spawn("scheduler", "--port", "0", "--dashboard-address", "127.0.0.1:0",
                          "--scheduler-file", scheduler_file)
        assert eventually(lambda: scheduler_file.exists() and scheduler_file.read_text().endswith("}"), 60)
        address = json.loads(scheduler_file.read_text())["address"]
        for _ in range(2):
            spawn("worker", address, "--nthreads", "1", "--no-nanny", "--dashboard-address", "127.0.0.1:0")
        with Client(address, direct_to_workers=True, timeout=30) as client:
            client.wait_for_workers(2, timeout=60)
            assert {a.ip for a in listening(psutil.Process(p.pid) for p in spawned)} == {"127.0.0.1"}
            data = entries(1000)
            m = ShardedVornic(client, 2, timeout=5)
            m.update(data)
            m.snapshot(tmp_path / "snapshots")
            os.killpg(scheduler.pid, signal.SIGKILL)
            start = time.monotonic()
            with pytest.raises(SchedulerLost, match=rf"^the scheduler at {address} is lost .* every shard .*"
                                                    r"from_snapshots"):
                while time.monotonic() - start < 30:
                    m.count([TAGS[0]])
            assert time.monotonic() - start < 5
            with pytest.raises(SchedulerLost):
                m.restore(0)
            m.close()
    finally:
        for process in spawned:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=30)


def test_a_change_to_every_shard_says_what_landed(client):
    data = entries(3000)
    with ShardedVornic(client, 3, timeout=1.5) as m:
        assert m.workers[0] == m.workers[2] != m.workers[1]
        m.update(data)
        tag = TAGS[0]
        with stopped(worker_pid(client, m.workers[1])):
            with pytest.raises(ShardStalled, match=r"erase_where applied on shard\(s\) \[0, 2\] .* not on \[1\]") as e:
                m.erase_where([tag])
            removed = e.value.applied
            assert sorted(removed) == [0, 2] and list(e.value.failed) == [1]
            for i in (0, 2):
                assert sorted(removed[i]) == sorted(k for k, t in data.items() if tag in t and m.shard_of(k) == i)

            with pytest.raises(ShardStalled, match=r"update applied on shard\(s\) \[0, 2\]") as e:
                m.update({k: ["new"] for k in data})
            assert e.value.applied == {0: None, 2: None}
            for i in (0, 2):
                assert all(m[k] == {"new"} for k in [k for k in data if m.shard_of(k) == i][:20])


def test_bad_input_and_snapshot_sets_as_one_map(client, tmp_path):
    before = actors_left(client)
    with ShardedVornic(client, 2) as m:
        for call in (lambda x: x["\ud800"], lambda x: x.__setitem__("\ud800", ["t"]), lambda x: x.update(5)):
            for target in (vornic.Vornic(), m):
                with pytest.raises(TypeError):
                    call(target)
        with pytest.raises(FileNotFoundError, match=r"no snapshot to restore: call snapshot\(DIR\) first"):
            m.restore(0)
        m.update(entries(100))
        m.snapshot(tmp_path)
    with ShardedVornic(client, 1) as one:
        one.update(entries(50))
        one.snapshot(tmp_path)
    with ShardedVornic.from_snapshots(client, tmp_path) as newest:
        assert len(newest) == 50
    with ShardedVornic.from_snapshots(client, tmp_path, shards=2) as asked:
        assert len(asked) == 100
        (tmp_path / "shard-000-of-002.pickle").write_bytes(pickle.dumps({"k": ["t"]}))
        with pytest.raises(ValueError, match=r"shard-000-of-002\.pickle holds no shard snapshot"):
            asked.restore(0)
        assert len(asked) == 100  # the shard as it was
    assert eventually(lambda: actors_left(client) == before)


# On a cluster of its own: a shard of a million entries, under a short worker TTL.
@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A shard of a million entries, loaded, snapshotted and restored with a
    call timeout of 1 s: each step takes longer than that, and a single step
    without a break would hold its worker's interpreter past the scheduler's
    patience."""
    directory = tmp_path_factory.mktemp("big")
    data = entries(1_000_000)
    # The scheduler restarts a worker after 5 s without a heartbeat: the
    # shortest TTL it allows (10 heartbeat intervals).
    with (local_cluster(worker_ttl="1s") as cluster,
          Client(cluster.scheduler_address, direct_to_workers=True) as client,
          ShardedVornic(client, 1, timeout=1, per_million=100) as m):
        steps = {}
        for step, call in [("update", lambda: m.update(data)), ("snapshot", lambda: m.snapshot(directory)),
                           ("restore", lambda: m.restore(0)), ("count", lambda: len(m))]:
            start = time.monotonic()
            try:
                call()
            except Exception as e:  # noqa: BLE001 (reported by the tests)
                steps[step] = e
            else:
                steps[step] = time.monotonic() - start
        yield steps, m, client


def test_time_limits_follow_the_shards_size(big):
    steps, m, _ = big
    assert all(isinstance(t, float) for t in steps.values()), steps
    assert steps["snapshot"] > m.timeout and steps["restore"] > m.timeout  # the limit grew


def test_loads_and_restores_let_the_workers_heartbeats_through(big):
    steps, m, client = big
    restarted = [e for _, e in client.get_events("scheduler") if e.get("action") == "worker-ttl-timed-out"]
    assert not restarted and len(m) == 1_000_000, (restarted, steps)
