"""Moving tensors between processes: Dask's serialization, pickle's
out-of-band buffers, and a round trip through a cluster of worker processes.

halvorn knows nothing of Dask: a tensor travels as any picklable object does,
by its __reduce_ex__, whose protocol 5 payload is a PickleBuffer over its
values, so Dask (which pickles with protocol 5 and a buffer callback) sends
them as a frame of their own, except on the scheduler's connections, which
it holds to protocol 4. Dask is imported here only, when the family runs:
every other family, and halvorn, stay without it."""

from __future__ import annotations

import contextlib
import dataclasses
import logging
import pickle

import numpy as np

from ..family import Family
from ..kernels import check_inherited, follow_inherited_cap
from ..limits import transfer_traffic
from ..operands import NUMPY_TYPE, TYPES, same_bits, to_numpy, varied, verdict
from ..timing import Run, side

# The cluster round trip: as many float64 tensors as a small job hands out,
# and fewer in --quick, where the cluster's start is most of the time anyway.
TENSORS, QUICK_TENSORS = 16, 4
# Seconds. Two worker processes start, import NumPy, halvorn and Dask, and move
# hundreds of megabytes on a machine whose other cores may be busy compiling:
# far more than Dask's defaults allow, so that a slow moment is not a failure.
CONNECT_TIMEOUT, COMM_TIMEOUT = 120, 600
# A round trip takes about a second, so the time budget of a case leaves it
# the fewest rounds, and the median of three swings by a tenth on a machine
# shared with builds: a full run gives the cluster's cases more.
CLUSTER_ROUNDS = 7


def chain(a):
    """The work each worker does on its tensor: an element-wise chain, with a
    temporary, that holds as well for an ndarray. A module-level function,
    which workers import by name from the checkout on their path."""
    return a * a + a


def dask_round_trip(client, values):
    """Scatter the values, run the chain on each where it landed, gather the
    results. Random keys (hash=False, pure=False), so that every round moves
    and computes everything again instead of finding keys the last round
    left, and nothing tokenizes the values on the way."""
    futures = client.scatter(values, hash=False, timeout=COMM_TIMEOUT)
    return client.gather(client.map(chain, futures, pure=False))


def register_tensor_serializer():
    """The recipe of docs/processes.md: Dask sends a tensor as it sends an
    ndarray, its values a frame of their own on every connection, the
    scheduler's (protocol 4) included. Run in the client and, through
    client.run, in every worker."""
    import halvorn
    from distributed.protocol import dask_deserialize, dask_serialize

    classes = (halvorn.TensorInt16, halvorn.TensorInt32, halvorn.TensorFloat32, halvorn.TensorFloat64)

    @dask_serialize.register(classes)
    def serialize_tensor(tensor):
        buffers = []
        head = pickle.dumps(tensor, protocol=5, buffer_callback=buffers.append)
        return {}, [head, *(buffer.raw() for buffer in buffers)]

    @dask_deserialize.register(classes)
    def deserialize_tensor(header, frames):
        return pickle.loads(frames[0], buffers=frames[1:])


def out_of_band(value, dumps, loads):
    buffers = []
    return loads(dumps(value, protocol=5, buffer_callback=buffers.append), buffers=buffers)


def same_round_trip(again, t, x):
    return type(again) is type(t) and same_bits(np.asarray(again), x)


def bench_serialization(run, serialize, deserialize):
    """Dask's own path, serialize then deserialize with its default
    serializers, and pickle's protocol 5 with a buffer callback, on one tensor
    of each type: against the same on an ndarray (which both hand over
    without a copy) and the bytes the tensor's values must move."""
    n = max(run.config.sizes)
    for dtype in TYPES:
        t = varied(dtype, (n,))
        x = to_numpy(t, dtype)
        limit = transfer_traffic(np.dtype(NUMPY_TYPE[dtype]).itemsize, n)
        check = verdict(same_round_trip(deserialize(*serialize(t)), t, x), "the round trip differs")
        run.case("transfer", "dask serialize+deserialize", dtype, (n,), [
            side("halvorn", "f(*g(v))", f=deserialize, g=serialize, v=t),
            side("numpy", "f(*g(v))", f=deserialize, g=serialize, v=x),
            limit,
        ], check=check, peer="the same on the ndarray", tensors=1)
        check = verdict(same_round_trip(out_of_band(t, pickle.dumps, pickle.loads), t, x), "the round trip differs")
        run.case("transfer", "pickle 5, out of band", dtype, (n,), [
            side("halvorn", "f(v, g, h)", f=out_of_band, g=pickle.dumps, h=pickle.loads, v=t),
            side("numpy", "f(v, g, h)", f=out_of_band, g=pickle.dumps, h=pickle.loads, v=x),
            limit,
        ], check=check, peer="the same on the ndarray", tensors=1)


def time_round_trip_and_gather(timed, client, tensors, arrays, serializer):
    """The round trip of the tensors, and the gather alone of results held
    on the workers, each against the same on the ndarrays."""
    n, count = tensors[0].size, len(tensors)
    expected = [chain(x) for x in arrays]

    def check(got, what):
        return verdict(all(same_round_trip(g, t, e) for g, t, e in zip(got, tensors, expected)),
                       f"the {what} differ from NumPy's")

    timed.case("transfer", f"dask round trip{serializer}", "float64", (n,), [
        side("halvorn", "f(c, v)", f=dask_round_trip, c=client, v=tensors),
        side("numpy", "f(c, v)", f=dask_round_trip, c=client, v=arrays),
    ], check=check(dask_round_trip(client, tensors), "results"), peer="the same ndarrays", tensors=count)
    # Computed once and held on the workers: each timing fetches them again.
    done = {name: client.map(chain, client.scatter(values, hash=False, timeout=COMM_TIMEOUT), pure=False)
            for name, values in (("halvorn", tensors), ("numpy", arrays))}
    timed.case("transfer", f"dask gather{serializer}", "float64", (n,), [
        side("halvorn", "c.gather(r)", c=client, r=done["halvorn"]),
        side("numpy", "c.gather(r)", c=client, r=done["numpy"]),
    ], check=check(client.gather(done["halvorn"]), "gathered results"), peer="the same ndarrays", tensors=count)


def bench_cluster(run, client):
    """The round trip of TENSORS float64 tensors through the cluster, in all
    and its gather alone, against the same ndarrays; then both again with
    the tensor serializer of docs/processes.md registered everywhere."""
    n = max(run.config.sizes)
    count = QUICK_TENSORS if run.config.quick else TENSORS
    config = run.config
    if not config.quick:
        config = dataclasses.replace(config, min_rounds=max(config.min_rounds, CLUSTER_ROUNDS))
    timed = Run(config)  # its cases join the run's at the end
    tensors = [varied("float64", (n,), offset=float(k)) for k in range(count)]
    arrays = [to_numpy(t, "float64") for t in tensors]
    time_round_trip_and_gather(timed, client, tensors, arrays, "")
    # Last: a serializer, once registered, stays for the process's life.
    register_tensor_serializer()
    client.run(register_tensor_serializer)
    time_round_trip_and_gather(timed, client, tensors, arrays, ", tensor serializer")
    run.cases.extend(timed.cases)


def bench_transfer(run):
    """The serialization cases, then the cluster's, on one cluster started for
    the run and closed after it."""
    try:
        from distributed.protocol import deserialize, serialize
    except ImportError:
        run.notes.append("distributed is not installed: no transfer cases")
        return
    bench_serialization(run, serialize, deserialize)
    with local_cluster() as (_, client):
        bench_cluster(run, client)


@contextlib.contextmanager
def local_cluster():
    """A LocalCluster of 2 worker processes of 1 thread, and a client of it,
    with timeouts that a busy machine keeps. silence_logs holds Dask's
    loggers, here and in the workers, to what stops the run. No dashboard (it
    wants bokeh), and the scheduler's HTTP server, which starts all the same,
    on a free port rather than on 8787, where another cluster on the machine
    would make Dask warn."""
    import dask
    from distributed import Client, LocalCluster

    timeouts = {"distributed.comm.timeouts.connect": f"{CONNECT_TIMEOUT}s",
                "distributed.comm.timeouts.tcp": f"{COMM_TIMEOUT}s"}
    with dask.config.set(timeouts), LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
            scheduler_kwargs={"dashboard_address": ":0"}, silence_logs=logging.CRITICAL) as cluster, \
            Client(cluster, timeout=CONNECT_TIMEOUT) as client:
        # The workers are fresh interpreters: they take the run's kernel cap.
        for worker, kernels in client.run(follow_inherited_cap).items():
            check_inherited(kernels, f"the Dask worker at {worker}")
        yield cluster, client


def per_element_moved(case):
    return f"{case['sides']['halvorn']['median_ns'] / max(case['n'] * case['tensors'], 1):.3g}"


def tensors_cell(case):
    return str(case["tensors"])


FAMILY = Family(
    name="transfer",
    run=bench_transfer,
    title="Moving tensors between processes",
    text="dask serialize+deserialize: distributed.protocol.deserialize(*serialize(t)) with Dask's default "
    "serializers (a tensor goes by pickle, its values as an out-of-band frame). pickle 5, out of band: "
    "pickle.loads(pickle.dumps(t, protocol=5, buffer_callback=b.append), buffers=b). NumPy: the same on an "
    "ndarray of the same values, which hands its own memory over and takes it back without a copy. limit: "
    "the bytes the tensor's values must move, out of the packets (16n read, itemsize n written) and back in "
    "(itemsize n read, 16n written), as np.copyto casting 2n int64 into 2n integers of half the element's "
    "width and back into 2n int64. dask round trip: client.scatter of the tensors to a LocalCluster of 2 "
    "worker processes of 1 thread, client.map of a * a + a on each, client.gather; dask gather: the gather "
    "alone, of results held on the workers. NumPy: the same with the ndarrays. The gather goes through the "
    "scheduler, whose connections pickle with protocol 4, so there a tensor's values travel inside the pickle "
    "itself, copied once more on each side; the scatter keeps them out of band. tensor serializer: both again "
    "with the Dask serializer of docs/processes.md registered in the client and the workers, which sends a tensor's "
    "values as a frame of their own on every connection, as Dask sends an ndarray's. ns/elem: halvorn's time "
    "per element of all the tensors.",
    first_heading="op",
    peers=("numpy", "limit"),
    columns=(("ns/elem", per_element_moved), ("tensors", tensors_cell)),
)
