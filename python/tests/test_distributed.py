"""A study on a Dask cluster of two worker processes equals the same study on one machine."""

import numpy as np
import pytest

import ascent

distributed = pytest.importorskip("dask.distributed")
import ascent.distributed  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def assert_same(a, b):
    assert list(a) == list(b)
    for name in a:
        assert a[name].dtype == b[name].dtype, name
        assert np.array_equal(a[name], b[name], equal_nan=a[name].dtype.kind == "f"), name


def test_distributed_sweep_equals_the_local_one(workdir, client):
    grid = dict(tt="34:38:1", alpha="17:19:0.5")  # 25 points
    local = ascent.sweep(**grid, jobs=1, as_frame=False)
    # Chunks that start and end inside a turn time's row, and one task per point.
    for chunk_size in (7, 1):
        remote = ascent.distributed.sweep(client, **grid, chunk_size=chunk_size, as_frame=False)
        assert_same(remote, local)
    # The workers never read a file: the profile and vehicle travel as values.
    assert len(client.scheduler_info()["workers"]) == 2


def test_distributed_sweep_flies_the_given_vehicle_and_frames_alike(workdir, client):
    pandas = pytest.importorskip("pandas")
    v = ascent.Vehicle().with_values({"core.exhaust_speed": 4450.0, "fairing.mass": 9000.0})
    local = ascent.sweep(tt=36, alpha="17:19:1", vehicle=v)
    remote = ascent.distributed.sweep(client, tt=36, alpha="17:19:1", vehicle=v, chunk_size=2)
    assert isinstance(remote, pandas.DataFrame)
    pandas.testing.assert_frame_equal(remote, local)
    assert not remote["SC_M"].equals(ascent.sweep(tt=36, alpha="17:19:1")["SC_M"])


def test_distributed_faults_arrive_with_their_code(workdir, client):
    with pytest.raises(ValueError):
        ascent.distributed.sweep(client, tt="36", alpha="18", chunk_size=0)
    (workdir / "s1.dat").unlink()
    with pytest.raises(ascent.AscentError) as e:
        ascent.distributed.sweep(client, tt=36, alpha=18)
    assert e.value.code == 2
