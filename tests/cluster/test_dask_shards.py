"""The Dask example against a cluster that each test starts on 127.0.0.1 and
stops, also when it fails. These start worker processes and take seconds each,
so they run once, from tests/run.sh (`pytest tests/cluster`), and not with
every interpreter's suite."""

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

import cloudpickle
import psutil
import pytest
from dask.distributed import Client, LocalCluster

import vornic

EXAMPLES = Path(__file__).parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import dask_shards  # noqa: E402

# The workers cannot import the example: its classes travel by value.
cloudpickle.register_pickle_by_value(dask_shards)


@pytest.fixture
def scheduler():
    """The address of a cluster of 2 worker processes, everything on
    loopback and on ports the system picks."""
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR) as cluster:
        here = psutil.Process()
        listening = [c.laddr for p in [here, *here.children(recursive=True)]
                     for c in p.net_connections("inet") if c.status == psutil.CONN_LISTEN]
        assert listening and {address.ip for address in listening} == {"127.0.0.1"}, listening
        yield cluster.scheduler_address


def test_example_agrees_with_the_map_in_process(scheduler, tmp_path):
    args = ["--scheduler", scheduler, "--entries", "3000", "--rounds", "60", "--batch", "100", "--snapshots", tmp_path]
    result = subprocess.run([sys.executable, EXAMPLES / "dask_shards.py", *args], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0 and "every answer agrees" in result.stdout, result.stdout + result.stderr
    assert "Warning: " not in result.stderr, result.stderr  # as the examples' other tests ask
    assert sorted(p.name for p in tmp_path.rglob("*.pickle")) == [
        "shard-000-of-001.pickle", "shard-000-of-002.pickle", "shard-001-of-002.pickle"]


def test_a_dead_workers_shard_is_named_and_comes_back_as_its_snapshot(scheduler, tmp_path):
    rng = random.Random(5)
    entries = {f"k{i:05}": rng.sample(dask_shards.TAGS[:30], 3) for i in range(2000)}
    with (Client(scheduler, direct_to_workers=True) as client,
          dask_shards.ShardedVornic(client, 2, timeout=20) as m):
        m.update(entries)
        m.snapshot(tmp_path)
        expected = vornic.Vornic(entries)
        for k in list(entries)[::10]:  # changed after the snapshot, on both shards
            m[k] = expected[k] = ["changed"]
        victim = 1
        pid = client.run(os.getpid, workers=[m.workers[victim]])[m.workers[victim]]
        killer = threading.Timer(0.3, os.kill, (pid, signal.SIGKILL))
        killer.start()
        start = time.monotonic()
        with pytest.raises(dask_shards.ShardLost, match=rf"^shard {victim} of 2 \(on tcp://127\.0\.0\.1:\d+\) "
                                                        r"is lost: its worker died; restore\(1\)") as lost:
            while time.monotonic() - start < 60:  # queries to both shards while the worker dies
                assert m.count(["changed"]) == expected.count(["changed"])
        killer.join()
        assert lost.value.shard == victim and lost.value.__cause__ is None

        m.restore(victim)
        with open(tmp_path / "shard-001-of-002.pickle", "rb") as f:
            snapshot = pickle.load(f)
        survivors = {k: tags for k, tags in expected.items() if m.shard_of(k) != victim}
        assert dict(m.items()) == survivors | snapshot.to_dict()
        assert m.find(["changed"]) == set(survivors) & expected.find(["changed"])
        assert m.count([dask_shards.TAGS[0]]) == snapshot.count([dask_shards.TAGS[0]]) + sum(
            dask_shards.TAGS[0] in tags for tags in survivors.values())
