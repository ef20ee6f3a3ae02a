"""ascent across machines: the single-machine studies split into chunks for a Dask cluster.

    from dask.distributed import Client
    import ascent.distributed

    client = Client("tcp://scheduler:8786")        # or Client(LocalCluster(...))
    study = ascent.distributed.sweep(client, tt="10:90:0.1", alpha="0:30:0.1")

Each function takes the arguments of its namesake in `ascent` and returns exactly what that
returns: the grid is cut into chunks of consecutive points, each chunk is flown by a worker, and
the rows are gathered back in grid order. The vehicle and the booster profile travel to the
workers as values (the profile as its text), so the workers need the `ascent` package but no
files. Every flight is the C++ core's and bit-reproducible, so where a chunk runs changes nothing.
"""

import math

import numpy as np

import ascent
from ascent import SWEEP_COLUMNS, _ascent

__all__ = ["sweep", "monte_carlo"]


def _fly_chunk(pieces, transfer, iterate, vehicle, profile, threads):
    return ascent._sweep_pieces(pieces, transfer, iterate, vehicle, profile, threads)


def _chunk_bounds(n, chunk_size):
    return [(b, min(b + chunk_size, n)) for b in range(0, n, chunk_size)]


def _default_chunk(client, n):
    # About four chunks a worker: enough to balance uneven flights, few enough that the cost
    # of a task (milliseconds) stays small against its flights (about one per millisecond).
    workers = max(1, len(client.scheduler_info().get("workers", {})))
    return max(1, math.ceil(n / (4 * workers)))


def sweep(client, tt="10:90:1", alpha="0:30:1", transfer=True, iterate=False, vehicle=None, profile=None,
          chunk_size=None, threads_per_chunk=1, as_frame=None):
    """ascent.sweep on a Dask cluster: the same rows, in the same order.

    client: a dask.distributed Client; chunk_size: grid points per task (default about four
    tasks per worker); threads_per_chunk: threads each task flies on (one per worker thread
    is the usual choice). The other arguments are those of ascent.sweep.
    """
    if iterate and tt == "10:90:1":
        tt = "40"
    tt_v = ascent._grid("--tt", tt)
    alpha_v = ascent._grid("--alpha", alpha)
    ascent._check_plan(tt_v, alpha_v, iterate)
    v = ascent._vehicle(vehicle)
    p = ascent._profile(profile, v)
    # The check ascent-sweep makes before a grid, made here: a profile that cannot carry any
    # flight fails at once, not in every task.
    _ascent.probe_profile(alpha_v[0], v._v, p)

    n = len(tt_v) * len(alpha_v)
    size = int(chunk_size) if chunk_size is not None else _default_chunk(client, n)
    if size < 1:
        raise ValueError(f"chunk_size: {chunk_size} is not a number of grid points")
    threads = ascent._jobs(threads_per_chunk)
    # The vehicle and profile go to every worker once, not with every task.
    v_remote, p_remote = client.scatter([v, p], broadcast=True)
    futures = [
        client.submit(_fly_chunk, ascent._pieces(tt_v, alpha_v, b, e), bool(transfer), bool(iterate),
                      v_remote, p_remote, threads, pure=False)
        for b, e in _chunk_bounds(n, size)
    ]
    parts = client.gather(futures)  # in the order submitted: grid order
    columns = {name: np.concatenate([part[name] for part in parts]) for name in SWEEP_COLUMNS}
    return ascent._frame(columns, as_frame)


def _mc_shard(tt, alpha, transfer, iterate, vehicle, profile, dispersions, seed, runs, shard, shards, threads):
    return _ascent.mc_rows(tt, alpha, transfer, iterate, vehicle._v, profile, dispersions.text, dispersions.name,
                           seed, runs, shard, shards, threads)


def monte_carlo(client, runs=1000, tt=36.0, alpha=18.0, transfer=True, iterate=False, dispersions=None, seed=1,
                vehicle=None, profile=None, shards=None, threads_per_shard=1, as_frame=None):
    """ascent.monte_carlo on a Dask cluster: the same runs, rows and summary.

    The study is cut into `shards` (default about four a worker) as ascent-mc --shard K/N cuts it:
    shard K flies the runs r with (r - 1) mod N = K - 1, each drawn from (seed, r) alone. The rows
    are put back in run order and summarised here, as `ascent-mc --merge` does.
    """
    tt, alpha, v, p, d, seed, runs = ascent._mc_setup(tt, alpha, iterate, vehicle, profile, dispersions, seed, runs)
    n = int(shards) if shards is not None else max(1, min(runs, 4 * max(1, len(client.scheduler_info().get("workers", {})))))
    if n < 1:
        raise ValueError(f"shards: {shards} is not a number of shards")
    threads = ascent._jobs(threads_per_shard)
    v_remote, p_remote, d_remote = client.scatter([v, p, d], broadcast=True)
    futures = [client.submit(_mc_shard, tt, alpha, bool(transfer), bool(iterate), v_remote, p_remote, d_remote,
                             seed, runs, k, n, threads, pure=False) for k in range(1, n + 1)]
    parts = client.gather(futures)
    header = parts[0][0]
    # Run r is row (r - 1) // n of shard (r - 1) mod n + 1.
    rows = [parts[(r - 1) % n][1][(r - 1) // n] for r in range(1, runs + 1)]
    line = _ascent.mc_study_line(tt, alpha, bool(transfer), bool(iterate), v._v, p, d.text, d.name, seed, runs)
    return ascent._mc_finish(header, rows, as_frame, v, line)
