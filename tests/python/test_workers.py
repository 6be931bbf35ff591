"""halvorn in Dask's and loky's worker processes, and what Dask, pandas and xarray make of a tensor."""

import functools
import logging
import multiprocessing
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


RAISING = "import halvorn\nhalvorn.seterr(misuse='raise', scope='process')\n"


@pytest.fixture(scope="module")
def client():
    # Each worker runs RAISING as a preload when it starts: docs/processes.md's third Dask recipe.
    with distributed.LocalCluster(n_workers=2, preload=[RAISING], **CLUSTER) as cluster:
        with distributed.Client(cluster, timeout=TIMEOUT, set_as_default=False) as client:
            client.wait_for_workers(2, timeout=TIMEOUT)
            yield client


def same_array(got, expected):
    return type(got) is np.ndarray and got.dtype == expected.dtype and np.array_equal(got, expected)


def operands(element_type):
    make = getattr(halvorn, f"quorva_ones_{element_type}")
    return make([2]), make([3])


class RunCode(distributed.WorkerPlugin):
    def __init__(self, code):
        self.code = code

    def setup(self, worker):
        exec(self.code, {})


def test_raise_mode_reaches_dask_tasks_and_no_worker_dies(client):
    a, b = operands("float64")

    @halvorn.errstate(misuse="raise")
    def local_add(x, y):  # pickled by value, as a function of __main__ is
        return x + y

    assert client.submit(halvorn.geterr, pure=False).result(timeout=TIMEOUT) == {"misuse": "raise"}  # preloaded
    workers = client.run(os.getpid)
    # The other ways docs/processes.md gives: the decorator alone, then each recipe
    # with the process default put back to "exit" before it.
    for recipe in [None, lambda: client.run(halvorn.seterr, misuse="raise", scope="process"),
                   lambda: client.register_plugin(RunCode(RAISING), name="raise-on-misuse")]:
        client.run(halvorn.seterr, misuse="exit", scope="process")
        function = local_add if recipe is None else operator.add
        if recipe is not None:
            recipe()
        with pytest.raises(ValueError, match=MISMATCH):
            client.submit(function, a, b, pure=False).result(timeout=TIMEOUT)
        assert client.submit(function, a, a, pure=False).result(timeout=TIMEOUT).to_list() == [2.0, 2.0]
    assert client.run(os.getpid) == workers  # none died


def test_tensors_round_trip_through_workers_and_are_sized(client, element_type):
    tensor = getattr(halvorn, f"quorva_array_{element_type}")(np.arange(-6, 6).reshape(3, 4))
    [future] = client.scatter([tensor])
    assert client.nbytes(summary=False)[future.key] == dask.sizeof.sizeof(tensor) == sys.getsizeof(tensor)
    doubled = client.submit(operator.add, future, future).result(timeout=TIMEOUT)
    assert type(doubled) is type(tensor) and same_array(np.asarray(doubled), 2 * np.asarray(tensor))


def test_joblib_loky_and_multiprocessing_workers_raise_with_an_initializer():
    a, b = operands("int32")
    raising = functools.partial(halvorn.seterr, misuse="raise", scope="process")
    parallel = joblib.Parallel(n_jobs=2, backend="loky", initializer=raising)
    assert [t.to_list() for t in parallel(joblib.delayed(operator.add)(a, a) for _ in range(2))] == [[2, 2]] * 2
    with pytest.raises(ValueError, match=MISMATCH):
        parallel(joblib.delayed(operator.add)(a, x) for x in [a, b])
    # Python 3.14's default start method, forkserver, starts a pool's workers
    # from "exit" whatever this process's default: the initializer sets it.
    previous = halvorn.seterr(misuse="raise", scope="process")
    try:
        with multiprocessing.Pool(1) as pool:
            assert pool.apply(halvorn.geterr) == {"misuse": "exit"}
        with multiprocessing.Pool(1, initializer=raising) as pool:
            with pytest.raises(ValueError, match=MISMATCH):
                pool.apply(operator.add, (a, b))
    finally:
        halvorn.seterr(**previous, scope="process")


def test_what_data_libraries_make_of_a_tensor(element_type):
    values = np.arange(-3, 3).reshape(2, 3).astype(element_type)
    tensor = getattr(halvorn, f"quorva_array_{element_type}")(values)
    row = getattr(halvorn, f"quorva_array_{element_type}")(values[0])
    # To xarray a tensor is an array of its shape, as an ndarray is, not a
    # value to broadcast over the coordinates.
    named = dict(dims=("x", "y"), coords={"x": [10, 20]})
    assert same_array(xr.DataArray(tensor).values, values) and same_array(xr.DataArray(tensor, **named).values, values)
    with pytest.raises(ValueError, match="^different number of dimensions on data and dims: 1 vs 2$"):
        xr.DataArray(row, **named)
    # Chunks that come back as tensors concatenate into an array of their type.
    chunks = da.from_array(values, chunks=(1, 3)).map_blocks(getattr(halvorn, f"quorva_array_{element_type}"))
    assert same_array(chunks.compute(scheduler="synchronous"), values)
    # pandas makes a frame through __array__, on the read-only view as it does
    # for np.asarray(t), and a Series by iterating, so of Python numbers; a
    # frame to edit is made on a copy. da.from_array wants indexing, which a
    # tensor has not. Pinned, so that a change in either library is noticed.
    frame, series = pd.DataFrame(tensor), pd.Series(row)
    assert same_array(frame.to_numpy(), values) and series.tolist() == row.to_list()
    for readonly in [frame, pd.DataFrame(np.asarray(tensor))]:
        with pytest.raises(ValueError, match="read-only"):
            readonly.iloc[0, 0] = 9
    edited = pd.DataFrame(np.array(tensor))
    edited.iloc[0, 0] = 9
    assert edited.iloc[0, 0] == 9 and tensor.to_list()[0] == values[0, 0]
    with pytest.raises(TypeError, match="object is not subscriptable"):
        da.from_array(tensor).compute(scheduler="synchronous")


def test_the_documented_serializer_sends_values_as_frames_of_their_own(client):
    # Last: it registers the serializer in this process for good.
    guide = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "processes.md").read_text()
    (code,) = [block for block in re.findall(r"^```python\n(.*?)^```$", guide, re.S | re.M) if "dask_serialize" in block]
    exec(code, {})
    client.register_plugin(RunCode(code), name="tensor-serializer")
    tensor = halvorn.quorva_array_float64(np.arange(1000.0))
    header, frames = distributed.protocol.serialize(tensor)
    assert header["serializer"] == "dask" and bytes(frames[1]) == np.arange(1000.0).tobytes()
    [future] = client.scatter([tensor])
    assert client.submit(operator.add, future, future).result(timeout=TIMEOUT).to_list() == list(np.arange(0, 2000.0, 2))
