"""halvorn.dask on a cluster of worker processes, against what a user would
do without it: halvorn on the whole operands in the client, or Dask's own
operations, which do not give halvorn's bits.

Every operand is made on the workers and persisted there, as a user's data
already sits on a cluster; each timing computes its result to the caller.
Dask keeps what a client still holds and names results by their tokens, so
a timing that finds the keys of the last one would compute nothing: each
timing ends once the scheduler has forgotten everything it added, which
costs a message or two beside a computation of hundreds of milliseconds.

The module is not named dask.py, so that nothing in this package can take
the place of the dask package; Dask is imported only when the family runs."""

from __future__ import annotations

import collections
import dataclasses
import time

import numpy as np

import halvorn

from ..family import Family
from ..operands import same_bits, verdict
from ..timing import PEER_HEADINGS, Run, side, shape_text
from .transfer import CLUSTER_ROUNDS, COMM_TIMEOUT, local_cluster, register_tensor_serializer

CHUNKS = 16  # row chunks of X, chunks of the element-wise operands, tensors scattered
# Rows of X (8 columns), square matrices and their chunk, element-wise size.
GRAM_ROWS, QUICK_GRAM_ROWS = 4_000_000, 400_000
SQUARE, QUICK_SQUARE = (2048, 512), (1024, 256)
ELEMENTS, QUICK_ELEMENTS = 1 << 24, 1 << 20
SCATTERED, QUICK_SCATTERED = 1 << 20, 1 << 16


def settled(scheduler, held):
    """Waits until the scheduler (which a LocalCluster runs in this process)
    holds no more than the held keys: the persisted operands. len() of its
    task table reads it safely from this thread."""
    deadline = time.monotonic() + COMM_TIMEOUT
    while len(scheduler.tasks) > held:
        if time.monotonic() > deadline:
            raise TimeoutError(f"the scheduler still holds {len(scheduler.tasks) - held} keys of a timing")
        time.sleep(0.0005)


def steady(scheduler, quiet=0.1):
    """Waits until the count of the scheduler's keys has not changed for the
    quiet seconds."""
    deadline = time.monotonic() + COMM_TIMEOUT
    count, since = len(scheduler.tasks), time.monotonic()
    while time.monotonic() - since < quiet and time.monotonic() < deadline:
        time.sleep(0.01)
        if len(scheduler.tasks) != count:
            count, since = len(scheduler.tasks), time.monotonic()


def computed(scheduler, held, make):
    """make().compute(), the graph built in the timing as a user builds it,
    then the wait until the cluster has forgotten it."""
    result = make().compute()
    settled(scheduler, held)
    return result


def scattered(client, scheduler, held, values):
    """client.scatter of the values with hash=True (the default): the client
    tokenizes each value to name its key, a tensor by its __dask_tokenize__,
    an ndarray by Dask's hash of its bytes. The same values give the same
    keys each time, so the futures are released and the timing ends once the
    scheduler has forgotten them: every scatter sends its values to keys the
    cluster does not hold, as a first one does."""
    futures = client.scatter(values, timeout=COMM_TIMEOUT)
    keys = [future.key for future in futures]
    for future in futures:
        future.release()
    settled(scheduler, held)
    return keys


def same_tensor_bits(got, tensor):
    return type(got) is type(tensor) and same_bits(np.asarray(got), np.asarray(tensor))


def placement(client, collection):
    """How many of the persisted chunks each worker holds, e.g. "8/8"."""
    counts = collections.Counter(workers[0] for workers in client.who_has(collection).values())
    return "/".join(str(counts.get(worker, 0)) for worker in sorted(client.scheduler_info()["workers"]))


class Cluster:
    """The client, the in-process scheduler, and the persisting of operands:
    each case starts with nothing on the cluster but its own operands."""

    def __init__(self, client, scheduler):
        self.client, self.scheduler = client, scheduler

    def persist(self, *arrays):
        """Each array persisted with the first half of its row chunks on one
        worker and the rest on the other, made there: left to itself, Dask
        has placed 13 of 16 chunks on one worker, which would hold the work
        of either side to one process, differently from run to run."""
        import dask.array as da
        from distributed import wait

        settled(self.scheduler, 0)
        workers = sorted(self.client.scheduler_info()["workers"])
        placed = []
        for array in arrays:
            cut = sum(array.chunks[0][:len(array.chunks[0]) // 2])
            halves = [self.client.persist(part, workers=[worker])
                      for part, worker in zip((array[:cut], array[cut:]), workers)]
            # Persisted again as one array: its chunks are the halves' own
            # values under keys of its own, held where the halves' are.
            placed.append(self.client.persist(da.concatenate(halves)))
        wait(placed, timeout=COMM_TIMEOUT)
        # The halves' keys stay as long as the array's, which they feed; the
        # count of keys held is taken once nothing else is on its way out.
        steady(self.scheduler)
        return placed


def bench_gram(timed, cluster, hd, da, rows):
    """X^T X of an X of [rows, 8] in CHUNKS row chunks: halvorn.dask.dot,
    halvorn in one process on the whole X in the client, and Dask's X.T @ X."""
    client, scheduler = cluster.client, cluster.scheduler
    state = da.random.RandomState(7)
    shape, chunks = (rows, 8), (rows // CHUNKS, 8)
    # Magnitudes from 1e-6 to 1e6, so that every sum depends on its order.
    (X,) = cluster.persist(state.standard_normal(shape, chunks=chunks) * 10.0 ** state.randint(-6, 7, shape, chunks=chunks))
    held = len(scheduler.tasks)
    x = X.compute()
    settled(scheduler, held)
    one = np.array(halvorn.quorva_dot_float64(halvorn.quorva_array_float64(x.T), halvorn.quorva_array_float64(x)))
    got = computed(scheduler, held, lambda: hd.dot(X.T, X))
    theirs = computed(scheduler, held, lambda: X.T @ X)
    timed.case("dask", "dot X^T X", "float64", shape, [
        side("halvorn", "f(s, h, lambda: d(X.T, X))", f=computed, s=scheduler, h=held, d=hd.dot, X=X),
        side("one_process", "f(g(x.T), g(x))", f=halvorn.quorva_dot_float64, g=halvorn.quorva_array_float64, x=x),
        side("dask", "f(s, h, lambda: X.T @ X)", f=computed, s=scheduler, h=held, X=X),
    ], check=verdict(same_bits(got, one), "halvorn.dask.dot differs from halvorn in one process"),
        peer="halvorn on the whole X in the client; Dask's X.T @ X", chunks=chunk_text(X),
        placement=placement(client, X), dask_same_bits=same_bits(theirs, one))


def bench_square(timed, cluster, hd, da, size, chunk):
    """[size, size] . [size, size] in square chunks: halvorn.dask.dot and
    Dask's a @ b."""
    client, scheduler = cluster.client, cluster.scheduler
    state = da.random.RandomState(11)
    a, b = cluster.persist(*(state.standard_normal((size, size), chunks=chunk) for _ in range(2)))
    held = len(scheduler.tasks)
    left, right = a.compute(), b.compute()
    settled(scheduler, held)
    one = np.array(halvorn.quorva_dot_float64(halvorn.quorva_array_float64(left), halvorn.quorva_array_float64(right)))
    got = computed(scheduler, held, lambda: hd.dot(a, b))
    timed.case("dask", "dot", "float64", (size, size), [
        side("halvorn", "f(s, h, lambda: d(a, b))", f=computed, s=scheduler, h=held, d=hd.dot, a=a, b=b),
        side("dask", "f(s, h, lambda: a @ b)", f=computed, s=scheduler, h=held, a=a, b=b),
    ], check=verdict(same_bits(got, one), "halvorn.dask.dot differs from halvorn in one process"),
        peer="Dask's a @ b", chunks=chunk_text(a), placement=placement(client, a))


def elementwise_operands(da, dtype, n):
    state = da.random.RandomState(13)
    chunks = n // CHUNKS
    if dtype == "int32":
        # The whole range, so that sums and products wrap.
        return [state.randint(-2**31, 2**31, n, chunks=chunks, dtype=np.int32) for _ in range(2)]
    return [state.standard_normal(n, chunks=chunks) for _ in range(2)]


def bench_elementwise(timed, cluster, hd, da, n):
    """add and mul of two 1-D arrays of n elements in CHUNKS chunks:
    halvorn.dask against Dask's a + b and a * b."""
    client, scheduler = cluster.client, cluster.scheduler
    for dtype in ("float64", "int32"):
        a, b = cluster.persist(*elementwise_operands(da, dtype, n))
        held = len(scheduler.tasks)
        left, right = a.compute(), b.compute()
        settled(scheduler, held)
        make = getattr(halvorn, f"quorva_array_{dtype}")
        for op, theirs in (("add", "a + b"), ("mul", "a * b")):
            ours = getattr(hd, op)
            one = np.array(getattr(halvorn, f"quorva_{op}_{dtype}")(make(left), make(right)))
            got = computed(scheduler, held, lambda: ours(a, b))
            timed.case("dask", op, dtype, (n,), [
                side("halvorn", "f(s, h, lambda: g(a, b))", f=computed, s=scheduler, h=held, g=ours, a=a, b=b),
                side("dask", f"f(s, h, lambda: {theirs})", f=computed, s=scheduler, h=held, a=a, b=b),
            ], check=verdict(same_bits(got, one), f"halvorn.dask.{op} differs from halvorn in one process"),
                peer=f"Dask's {theirs}", chunks=chunk_text(a), placement=placement(client, a))
        del a, b


def bench_scatter(timed, cluster, n):
    """client.scatter of CHUNKS float64 tensors of n elements, against the
    same values as ndarrays."""
    client, scheduler = cluster.client, cluster.scheduler
    settled(scheduler, 0)
    tensors = [halvorn.quorva_add_float64(halvorn.quorva_rand_float64([n]), halvorn.quorva_full_float64([n], float(k)))
               for k in range(CHUNKS)]
    arrays = [np.array(t) for t in tensors]
    futures = client.scatter(tensors, timeout=COMM_TIMEOUT)
    back = client.gather(futures)
    ok = all(same_tensor_bits(g, t) for g, t in zip(back, tensors))
    del futures, back
    settled(scheduler, 0)
    timed.case("dask", "scatter", "float64", (n,), [
        side("halvorn", "f(c, s, 0, v)", f=scattered, c=client, s=scheduler, v=tensors),
        side("numpy", "f(c, s, 0, v)", f=scattered, c=client, s=scheduler, v=arrays),
    ], check=verdict(ok, "the scattered tensors come back different"), peer="the same ndarrays",
        chunks=f"{CHUNKS} tensors", placement="")


def chunk_text(array):
    """The chunks of an operand: their count and the shape of the first."""
    return f"{array.npartitions} × {shape_text(tuple(axis[0] for axis in array.chunks))}"


def bench_cluster(run, cluster, hd, da):
    config = run.config
    if not config.quick:
        config = dataclasses.replace(config, min_rounds=max(config.min_rounds, CLUSTER_ROUNDS))
    timed = Run(config)  # its cases join the run's at the end
    quick = config.quick
    bench_gram(timed, cluster, hd, da, QUICK_GRAM_ROWS if quick else GRAM_ROWS)
    bench_square(timed, cluster, hd, da, *(QUICK_SQUARE if quick else SQUARE))
    bench_elementwise(timed, cluster, hd, da, QUICK_ELEMENTS if quick else ELEMENTS)
    bench_scatter(timed, cluster, QUICK_SCATTERED if quick else SCATTERED)
    run.cases.extend(timed.cases)


def serializer_registered():
    """Whether the transfer family, run before in this process, left its
    tensor serializer registered here."""
    from distributed.protocol.serialize import dask_serialize

    try:
        dask_serialize.dispatch(halvorn.TensorFloat64)
    except TypeError:
        return False
    return True


def bench_dask(run):
    """Every case on one cluster started for the family and closed after it,
    with transfer's settings: two worker processes of one thread."""
    try:
        import dask.array as da
        import distributed  # noqa: F401  (the cluster's)

        import halvorn.dask as hd
    except ImportError:
        run.notes.append("distributed is not installed: no dask cases")
        return
    with local_cluster() as (local, client):
        if serializer_registered():
            # A serializer registered in the client must be known where the
            # tensors land.
            client.run(register_tensor_serializer)
            run.notes.append("the dask cases ran after transfer's, with its tensor serializer registered")
        bench_cluster(run, Cluster(client, local.scheduler), hd, da)


def ratio_spread(case):
    """The lowest and highest of the per-round ratios of halvorn to each peer."""
    own = case["sides"]["halvorn"]["samples_ns"]
    cells = []
    for name, peer in case["sides"].items():
        if name != "halvorn":
            ratios = [h / p for h, p in zip(own, peer["samples_ns"])]
            cells.append(f"{PEER_HEADINGS[name]} {min(ratios):.2f}–{max(ratios):.2f}")
    return "; ".join(cells)


FAMILY = Family(
    name="dask",
    run=bench_dask,
    title="halvorn.dask on a cluster",
    text="A LocalCluster of 2 worker processes of 1 thread (transfer's settings), started once for the family; "
    "every operand is made by Dask on the workers and persisted there (client.persist, wait), the first half "
    "of its row chunks on one worker and the rest on the other (so chunk k of a and b share a worker), and each timing "
    "builds its graph and computes it to the caller, then waits until the scheduler has forgotten every key it "
    "added, so that no timing finds a result the last one left. dot X^T X: halvorn.dask.dot(X.T, X).compute() "
    "on an X of float64 in 16 row chunks (values of magnitudes 1e-6 to 1e6). one process: what a user does "
    "with halvorn alone, the whole X (gathered once, before the timings) imported and multiplied in the "
    "client, quorva_dot_float64(quorva_array_float64(x.T), quorva_array_float64(x)), the bytes that "
    "halvorn.dask must give. Dask: (X.T @ X).compute(), Dask's own product, which sums each chunk apart and "
    "then adds the chunks' sums, so its bits are not one process's (the last column says whether they "
    "happened to be). dot: halvorn.dask.dot(a, b).compute() of two float64 matrices in square chunks against "
    "Dask's (a @ b).compute() (NumPy's OpenBLAS on each pair of blocks, one thread per worker). add, mul: "
    "halvorn.dask.add(a, b).compute() and mul, float64 and int32 of 16 chunks, against Dask's "
    "(a + b).compute() and (a * b).compute(). scatter: client.scatter of 16 float64 tensors with hash=True (the default), so the client "
    "tokenizes each one (a tensor by its __dask_tokenize__, an ndarray by Dask's hash of its bytes), and "
    "the values go through the scheduler to the workers; NumPy: the same values as ndarrays. The futures "
    "are released and the timing waits for the scheduler to forget them, so every scatter sends its values "
    "to keys the cluster does not hold. halvorn.dask's results are checked bit for bit against halvorn in "
    "one process, the scatter's by gathering the tensors back. ratio per round: the lowest and highest "
    "ratio of the rounds, beside the median in the peer's column. chunks per worker: how many chunks of "
    "the (first) operand each worker holds.",
    first_heading="op",
    peers=("one_process", "dask", "numpy"),
    columns=(("ratio per round, min–max", ratio_spread), ("chunks", lambda c: c["chunks"]),
             ("chunks per worker", lambda c: c["placement"]),
             ("Dask's bits = one process", lambda c: {True: "yes", False: "no"}.get(c.get("dask_same_bits"), ""))),
)
