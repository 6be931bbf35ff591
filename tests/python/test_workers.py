"""halvorn in worker processes: a Dask cluster and joblib's loky workers,
the ways raise mode reaches their tasks, and what Dask, pandas and xarray
make of a tensor."""

import functools
import logging
import operator
import os
import pathlib
import re
import sys

import dask
import dask.array as da
import distributed
import joblib
import numpy as np
import pandas as pd
import pytest
import xarray as xr

import halvorn

MISMATCH = r"^quorva add\(\): shapes \[2\] and \[3\] do not match$"
# Generous: a loaded 2-core machine starts worker processes slowly.
TIMEOUT = 120
# Worker processes of one thread each, quiet; no dashboard (it wants bokeh),
# and the scheduler's HTTP server, which starts all the same, on a free port.
CLUSTER = dict(threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.ERROR,
               death_timeout=TIMEOUT, scheduler_kwargs={"dashboard_address": ":0"})


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, **CLUSTER) as cluster:
        with distributed.Client(cluster, timeout=TIMEOUT, set_as_default=False) as client:
            client.wait_for_workers(2, timeout=TIMEOUT)
            yield client


def operands(element_type):
    make = getattr(halvorn, f"quorva_ones_{element_type}")
    return make([2]), make([3])


class RunCode(distributed.WorkerPlugin):
    """Runs the code in each worker as it joins: the README's WorkerPlugin recipe, for any code."""

    def __init__(self, code):
        self.code = code

    def setup(self, worker):
        exec(self.code, {})


RAISING = "import halvorn\nhalvorn.seterr(misuse='raise', scope='process')\n"


@halvorn.errstate(misuse="raise")
def checked_add(a, b):
    return a + b


def test_raise_mode_reaches_dask_tasks_and_no_worker_dies(client):
    a, b = operands("float64")

    @halvorn.errstate(misuse="raise")
    def local_add(x, y):  # pickled by value, as a function of __main__ is
        return x + y

    workers = client.run(os.getpid)
    # Every way the README gives: the decorator alone, then each recipe with
    # the process default put back to "exit" before it.
    for recipe in [None, lambda: client.run(halvorn.seterr, misuse="raise", scope="process"),
                   lambda: client.register_plugin(RunCode(RAISING), name="raise-on-misuse")]:
        client.run(halvorn.seterr, misuse="exit", scope="process")
        function = local_add if recipe is None else operator.add
        if recipe is not None:
            recipe()
        for _ in range(2):  # each worker, once it has seen a misuse, still works
            with pytest.raises(ValueError, match=MISMATCH):
                client.submit(function, a, b, pure=False).result(timeout=TIMEOUT)
        assert client.submit(function, a, a, pure=False).result(timeout=TIMEOUT).to_list() == [2.0, 2.0]
    assert client.run(os.getpid) == workers
    assert client.submit(halvorn.geterr, pure=False).result(timeout=TIMEOUT) == {"misuse": "raise"}


def test_a_preload_sets_raise_mode_in_workers_as_they_start():
    a, b = operands("int16")
    with distributed.LocalCluster(n_workers=1, preload=[RAISING], **CLUSTER) as cluster:
        with distributed.Client(cluster, timeout=TIMEOUT, set_as_default=False) as client:
            with pytest.raises(ValueError, match=MISMATCH):
                client.submit(operator.add, a, b, pure=False).result(timeout=TIMEOUT)


def test_tensors_round_trip_through_workers_and_are_sized(client, element_type):
    tensor = getattr(halvorn, f"quorva_array_{element_type}")(np.arange(-6, 6).reshape(3, 4))
    [future] = client.scatter([tensor])
    assert client.nbytes(summary=False)[future.key] == dask.sizeof.sizeof(tensor) == sys.getsizeof(tensor)
    assert sys.getsizeof(tensor) > tensor.nbytes == 16 * 12
    doubled = client.submit(operator.add, future, future).result(timeout=TIMEOUT)
    assert type(doubled) is type(tensor) and np.array_equal(doubled, 2 * np.asarray(tensor))


def test_joblib_loky_workers_raise_with_an_initializer_or_the_decorator():
    a, b = operands("int32")
    raising = functools.partial(halvorn.seterr, misuse="raise", scope="process")
    for parallel, function in [(joblib.Parallel(n_jobs=2, backend="loky", initializer=raising), operator.add),
                               (joblib.Parallel(n_jobs=2, backend="loky"), checked_add)]:
        assert [t.to_list() for t in parallel(joblib.delayed(function)(a, a) for _ in range(2))] == [[2, 2]] * 2
        with pytest.raises(ValueError, match=MISMATCH):
            parallel(joblib.delayed(function)(a, x) for x in [a, b])


def test_what_data_libraries_make_of_a_tensor(element_type):
    values = np.arange(-3, 3).reshape(2, 3).astype(element_type)
    tensor = getattr(halvorn, f"quorva_array_{element_type}")(values)
    assert np.array_equal(xr.DataArray(tensor).values, values) and xr.DataArray(tensor).dtype == values.dtype
    assert np.array_equal(pd.DataFrame(np.asarray(tensor)).to_numpy(), values)
    # Chunks that come back as tensors concatenate into an array of their type.
    chunks = da.from_array(values, chunks=(1, 3)).map_blocks(getattr(halvorn, f"quorva_array_{element_type}"))
    computed = chunks.compute(scheduler="synchronous")
    assert type(computed) is np.ndarray and computed.dtype == values.dtype and np.array_equal(computed, values)
    # pandas and da.from_array want iteration or indexing, which a tensor has
    # not: pinned, so that a change in either library is noticed.
    series = pd.Series(tensor)
    assert (len(series), series.dtype, series.iloc[0] is tensor) == (1, object, True)
    with pytest.raises(ValueError, match="DataFrame constructor not properly called"):
        pd.DataFrame(tensor)
    with pytest.raises(TypeError, match="object is not subscriptable"):
        da.from_array(tensor).compute(scheduler="synchronous")
    assert bool(tensor) and not hasattr(tensor, "__len__") and not hasattr(tensor, "__iter__")


def test_the_readme_serializer_sends_values_as_frames_of_their_own(client):
    # Last: it registers the serializer in this process for good.
    readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()
    (code,) = [block for block in re.findall(r"^```python\n(.*?)^```$", readme, re.S | re.M) if "dask_serialize" in block]
    tensors = [halvorn.quorva_array_float64(np.arange(1000.0) + k) for k in range(4)]
    exec(code, {})
    client.register_plugin(RunCode(code), name="tensor-serializer")
    header, frames = distributed.protocol.serialize(tensors[0])
    assert header["serializer"] == "dask" and bytes(frames[1]) == np.arange(1000.0).tobytes()
    results = client.gather(client.map(operator.add, client.scatter(tensors), client.scatter(tensors)))
    assert [r.to_list() for r in results] == [(2 * (np.arange(1000.0) + k)).tolist() for k in range(4)]
