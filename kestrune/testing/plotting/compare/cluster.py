"""The dask cluster of a run: one at a given scheduler address, or a local
one that is started for the run and stopped after it.

:func:`cluster` is not used by :func:`measure_table` itself, which computes
on the current dask client (:func:`current_client`) and never starts a
cluster.
"""

import contextlib

from .partitions import dask_dataframe


@contextlib.contextmanager
def cluster(scheduler=None, workers=None, worker_memory=None):
    """A dask client for the duration of a ``with`` block.

    Parameters
    ----------
    scheduler : str, optional
        The address of a running scheduler (``tcp://host:8786``); the
        client connects to it and leaves the cluster running.
    workers : int, optional
        Without ``scheduler``: the worker processes of a local cluster that
        is started here (one thread each) and stopped when the block ends.
    worker_memory : str or int, optional
        The memory limit of each local worker (``"2GiB"``, or bytes); dask
        spills to disk and then pauses a worker beyond it.

    Yields
    ------
    distributed.Client
        The current client while the block runs.

    Raises
    ------
    ImportError
        Without the ``dask`` extra.
    ValueError
        For both ``scheduler`` and ``workers``, or neither; when no
        scheduler answers at ``scheduler``.
    """
    if (scheduler is None) == (workers is None):
        raise ValueError("give a scheduler address or a number of local workers, "
                         "not {}".format("both" if scheduler is not None else "neither"))
    dask_dataframe()
    import distributed
    if scheduler is not None:
        try:
            client = distributed.Client(scheduler)
        except (OSError, TimeoutError) as error:  # no scheduler there, or none answers
            raise ValueError("--scheduler {}: cannot connect: {}".format(scheduler, error)) from None
        with client:
            yield client
        return
    options = {} if worker_memory is None else {"memory_limit": worker_memory}
    with distributed.LocalCluster(n_workers=int(workers), threads_per_worker=1,
                                  processes=True, dashboard_address=None,
                                  **options) as local:
        with distributed.Client(local) as client:
            yield client


def current_client():
    """The dask client that ``dask.compute`` would use now, or None (no
    client, or another scheduler set in dask's configuration)."""
    try:
        import dask
        import distributed
        client = distributed.default_client()
    except (ImportError, ValueError):  # no dask, or no client
        return None
    return client if dask.base.get_scheduler() == client.get else None
