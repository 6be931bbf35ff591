"""halvorn.dask: every chunking and scheduler gives the bytes of one process; misuse is found as the graph is built."""

import logging
import os

import dask.array as da
import distributed
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import halvorn
import halvorn.dask as hd
from conftest import ELEMENT_TYPES, assert_process_ends

OPERATIONS = ["add", "sub", "mul", "div", "dot"]
LIMITS = {word: np.iinfo(word) for word in ["int16", "int32"]}


def one_process(operation, word, a, b):
    make = getattr(halvorn, f"quorva_array_{word}")
    left, right = make(np.asarray(a)), make(np.asarray(b))
    if operation == "div":
        return np.array(type(left).__divide__(left, right))
    return np.array(getattr(halvorn, f"quorva_{operation}_{word}")(left, right))


def values(rng, word, shape, divisor=False):
    if word in LIMITS:
        drawn = rng.integers(LIMITS[word].min, LIMITS[word].max, shape, endpoint=True, dtype=word)
        if divisor:
            drawn[drawn == 0] = -1
        return drawn
    # Magnitudes from 1e-6 to 1e6, so that every sum depends on its order.
    drawn = (rng.standard_normal(shape) * 10.0 ** rng.integers(-6, 7, shape)).astype(word)
    return np.where(drawn == 0, 1, drawn).astype(word) if divisor else drawn


def chunking(extent, draw):
    cuts = sorted(draw(st.sets(st.integers(1, extent - 1), max_size=4))) if extent > 1 else []
    return tuple(np.diff([0, *cuts, extent]).tolist()) or (extent,)


def chunked(array, draw):
    return da.from_array(array, chunks=tuple(chunking(extent, draw) for extent in array.shape))


def operands(operation, word, draw, rng):
    if operation == "dot":
        rows, inner, columns = draw(st.integers(0, 9)), draw(st.integers(0, 40)), draw(st.integers(0, 9))
        shapes = draw(st.sampled_from([((inner,), (inner, columns)), ((rows, inner), (inner,)),
                                       ((rows, inner), (inner, columns))]))
    else:
        shape = tuple(draw(st.lists(st.integers(0, 12), max_size=3)))
        shapes = (shape, shape)
    a, b = values(rng, word, shapes[0]), values(rng, word, shapes[1], divisor=operation == "div")
    if operation == "div" and word in LIMITS and a.size:
        # The minimum divided by -1 wraps to itself, as halvorn's own division does.
        a.reshape(-1)[0], b.reshape(-1)[0] = LIMITS[word].min, -1
    return a, b


@pytest.mark.parametrize("operation", OPERATIONS)
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_every_chunking_gives_the_bytes_of_one_process(element_type, operation, data):
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32)))
    a, b = operands(operation, element_type, data.draw, rng)
    result = getattr(hd, operation)(chunked(a, data.draw), chunked(b, data.draw)).compute(scheduler="threads")
    expected = one_process(operation, element_type, a, b)
    assert type(result) is np.ndarray and result.flags.writeable and result.dtype == expected.dtype
    assert result.shape == expected.shape and result.tobytes() == expected.tobytes()


@pytest.mark.parametrize(("a", "b", "named"), [
    (np.ones(3), np.ones(3, dtype="float32"), "float64 and float32"),
    (np.ones(3, dtype="int64"), np.ones(3, dtype="int64"), "int64 and int64"),
    (np.ones(3, dtype="uint16"), [1, 2, 3], "uint16 and int64"),
])
@pytest.mark.parametrize("operation", OPERATIONS)
def test_other_dtypes_are_refused(operation, a, b, named):
    with pytest.raises(TypeError, match=f"^halvorn.dask.{operation}\\(\\) takes two arrays of one dtype, "
                                        f"int16, int32, float32 or float64; these are {named}$"):
        getattr(hd, operation)(a, b)


MISFITS = {"add": ([2, 3], [3, 2]), "sub": ([2], [3]), "mul": ([4], [2, 2]), "div": ([], [1]),
           "dot": ([3], [3])}


@pytest.mark.parametrize("operation", OPERATIONS)
def test_misuse_raises_as_the_graph_is_built_in_raise_mode(element_type, operation):
    a, b = (np.ones(shape, dtype=element_type) for shape in MISFITS[operation])
    with halvorn.errstate(misuse="raise"), pytest.raises(ValueError) as own:
        one_process(operation, element_type, a, b)
    with halvorn.errstate(misuse="raise"), pytest.raises(ValueError) as found:
        getattr(hd, operation)(da.from_array(a), b)
    assert str(found.value) == str(own.value)


@pytest.mark.not_under_sanitizers("the child imports NumPy, whose import leaks bytes of CPython's own")
@pytest.mark.parametrize("operation", ["add", "dot"])
def test_misuse_ends_the_process_as_the_graph_is_built(operation):
    assert_process_ends(f"""
        import numpy as np, halvorn.dask
        halvorn.dask.{operation}(*(np.ones(shape) for shape in {MISFITS[operation]}))
        print("built")
        """, f"quorva {operation}() : Shape doesn't match!\n".encode())


# Worker processes of one thread each, quiet, with no dashboard, in "exit" mode:
# a task raises halvorn's exceptions whatever the worker's setting.
CLUSTER = dict(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
               silence_logs=logging.ERROR, scheduler_kwargs={"dashboard_address": ":0"})


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(**CLUSTER) as cluster, distributed.Client(cluster, set_as_default=False) as client:
        client.wait_for_workers(2, timeout=120)
        yield client


def dot_operands(word):
    rng = np.random.default_rng(5)
    return values(rng, word, (30, 200)), values(rng, word, (200, 7))


@pytest.mark.not_under_sanitizers("the engines end their worker processes, holding interpreter frames")
@pytest.mark.parametrize("word", ELEMENT_TYPES)
def test_processes_and_a_cluster_give_the_bytes_of_one_process(client, word):
    a, b = dot_operands(word)
    expected = one_process("dot", word, a, b).tobytes()
    for terms in [(200,), (1, 99, 100), (13,) * 15 + (5,)]:
        product = hd.dot(da.from_array(a, chunks=(7, terms)), da.from_array(b, chunks=(50, 3)))
        assert product.compute(scheduler="processes").tobytes() == expected
        assert client.compute(product).result().tobytes() == expected


# In "exit" mode, on the caller's own threads as on the workers.
@pytest.mark.parametrize("on_cluster", [False, pytest.param(True, marks=pytest.mark.not_under_sanitizers(
    "the engines end their worker processes, holding interpreter frames"))])
def test_a_zero_divisor_raises_in_the_caller_and_no_worker_ends(request, on_cluster):
    b = np.ones((4, 6))
    b[2, 5] = -0.0
    with halvorn.errstate(misuse="raise"), pytest.raises(ZeroDivisionError) as own:
        one_process("div", "float64", np.ones((4, 6)), b)
    # Whole rows are contiguous blocks, which go through packets a tile at a time.
    quotient = hd.div(np.ones((4, 6)), da.from_array(b, chunks=(2, 6 if on_cluster else 3)))
    if not on_cluster:
        with pytest.raises(ZeroDivisionError) as found:
            hd.div(np.ones((4, 6)), da.from_array(b, chunks=(2, 6))).compute(scheduler="threads")
        assert str(found.value) == str(own.value)
        with pytest.raises(ZeroDivisionError) as found:
            quotient.compute(scheduler="threads")
    else:
        client = request.getfixturevalue("client")
        kept = client.persist(da.arange(10.0, chunks=5) * 2)
        pids = client.run(os.getpid)
        with pytest.raises(ZeroDivisionError) as found:
            client.compute(quotient).result()
        assert client.run(os.getpid) == pids
        assert client.compute(kept).result().tolist() == list(np.arange(10.0) * 2)
    assert str(found.value) == str(own.value) == "quorva div(): cannot divide by zero: the divisor at index [2, 5] is zero"


@pytest.mark.not_under_sanitizers("the engines end their worker processes, holding interpreter frames")
def test_a_contracted_axis_larger_than_a_worker_memory_limit(tmp_path):
    # Each worker may hold 300 MB; the operands' packets on the contracted
    # axis are 384 MB, and only the 2 x 2 sums travel between their chunks.
    x = da.random.default_rng(3).standard_normal((6_000_000, 2), chunks=(250_000, 2))
    with distributed.LocalCluster(**{**CLUSTER, "memory_limit": "300MB", "local_directory": tmp_path}) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        got = client.compute(hd.dot(x.T, x)).result()
    whole = x.compute()
    assert got.tobytes() == one_process("dot", "float64", whole.T, whole).tobytes()
