"""Where the tasks run: a local thread pool, a local or remote Dask cluster, or any executor (`make_backend`)."""
from __future__ import annotations

import concurrent.futures as cf
import os
import signal
import sys
import threading
from typing import Any, Iterable

from vardex._optional import optional_import
from vardex.data import Catchment

__all__ = ["Backend", "make_backend"]


class Backend:
    """Submits tasks to an executor; `put` prepares a catchment for shipping."""

    def __init__(self, executor: cf.Executor, slots: int, in_process: bool) -> None:
        self.executor, self._slots, self.in_process = executor, slots, in_process
        self.owned: list[Any] = []

    def slots(self) -> int:
        return self._slots

    def put(self, catchment: Catchment) -> Any:
        return catchment

    def cancel(self, futures: Iterable[cf.Future[Any]]) -> None:
        for f in futures:
            f.cancel()

    def close(self) -> None:
        for thing in reversed(self.owned):
            if isinstance(thing, cf.Executor):
                thing.shutdown(wait=True, cancel_futures=True)
            else:
                thing.close()


class _DaskBackend(Backend):
    def __init__(self, client: Any, owned: list[Any]) -> None:
        super().__init__(client.get_executor(pure=False), 1, False)
        self.client = client
        self.owned = owned

    def slots(self) -> int:
        return max(1, int(sum(self.client.nthreads().values())))

    def put(self, catchment: Catchment) -> Any:
        # Sent once, then handed to every task of this catchment by reference.
        return self.client.scatter(catchment, hash=False)

    def close(self) -> None:
        self.executor.shutdown(wait=False)
        for thing in reversed(self.owned):
            thing.close()


def cpus() -> int:
    return len(os.sched_getaffinity(0))


def _local_cluster(distributed: Any, workers: int) -> Any:
    """A local cluster whose worker processes never get Ctrl-C (each would die with its own traceback), while
    Ctrl-C here stops the batch at any moment, its start included.

    The cluster is started on a thread of its own with SIGINT blocked: the threads it starts and the processes
    they spawn inherit that mask. The calling thread keeps its mask and waits, so an interrupt reaches it; the
    cluster is then closed once its start has finished, and the interrupt goes on."""
    box: dict[str, Any] = {}

    def start() -> None:
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            box["cluster"] = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                      dashboard_address=None)
        except BaseException as exc:    # handed to the caller
            box["error"] = exc

    starter = threading.Thread(target=start, name="vardex-cluster-start", daemon=True)
    starter.start()
    try:
        while starter.is_alive():
            starter.join(0.05)
    except BaseException:
        starter.join()
        if "cluster" in box:
            box["cluster"].close()
        raise
    if "error" in box:
        raise box["error"]
    return box["cluster"]


def make_backend(executor: Any, workers: int | None) -> Backend:
    """The backend of ``executor`` (see `calibrate_many`) with ``workers`` threads or local processes."""
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError(f"workers must be a positive integer, got {workers!r}")
    if executor is None or executor == "threads":
        pool = cf.ThreadPoolExecutor(workers or cpus(), thread_name_prefix="vardex-batch")
        backend = Backend(pool, workers or cpus(), True)
        backend.owned.append(pool)
        return backend
    if workers is not None and not (isinstance(executor, str) and executor == "dask"):
        raise ValueError("workers sets the size of the thread pool or the local Dask cluster that calibrate_many "
                         "creates; it does not apply to a given executor or scheduler")
    if isinstance(executor, str):
        distributed = optional_import("distributed", "running on Dask", "'vardex_rs[dask]'")
        if executor == "dask":
            cluster = _local_cluster(distributed, workers or cpus())
            try:
                client = distributed.Client(cluster)
            except BaseException:
                cluster.close()
                raise
            return _DaskBackend(client, [cluster, client])
        client = distributed.Client(executor)
        return _DaskBackend(client, [client])
    distributed = sys.modules.get("distributed")
    if distributed is not None and isinstance(executor, distributed.Client):
        return _DaskBackend(executor, [])
    if isinstance(executor, cf.Executor):
        threads = isinstance(executor, cf.ThreadPoolExecutor)
        return Backend(executor, getattr(executor, "_max_workers", None) or cpus(), threads)
    raise TypeError("executor must be None, 'threads', 'dask', a Dask scheduler address, a dask.distributed "
                    f"Client or a concurrent.futures.Executor, got {type(executor).__name__}")
