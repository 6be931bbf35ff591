"""Pickling: a round trip through pickle.dumps and pickle.loads."""

from __future__ import annotations

import pickle

import numpy as np

from ..family import PER_ELEMENT, Family
from ..limits import transfer_traffic
from ..operands import same_bits, to_numpy, varied, verdict
from ..timing import side

PROTOCOLS = (4, 5)
PICKLED_TYPES = ("int32", "float64")


def bench_pickle(run):
    """pickle.loads(pickle.dumps(t, protocol=p)) of the largest size against the
    same round trip of an ndarray holding the same values. Both pickles carry
    the values as their own bytes, in band."""
    n = max(run.config.sizes)
    for dtype in PICKLED_TYPES:
        t = varied(dtype, (n,))
        x = to_numpy(t, dtype)
        for protocol in PROTOCOLS:
            again = pickle.loads(pickle.dumps(t, protocol=protocol))
            same = type(again) is type(t) and same_bits(np.asarray(again), x)
            check = verdict(same, "the round trip differs from the tensor pickled")
            del again
            round_trip = "f(g(v, protocol=p))"
            run.case("pickle", f"round trip, protocol {protocol}", dtype, (n,), [
                side("halvorn", round_trip, f=pickle.loads, g=pickle.dumps, v=t, p=protocol),
                side("numpy", round_trip, f=pickle.loads, g=pickle.dumps, v=x, p=protocol),
                transfer_traffic(x.dtype.itemsize, n),
            ], check=check, peer="pickle round trip of the ndarray")


FAMILY = Family(
    name="pickle",
    run=bench_pickle,
    title="Pickling",
    text="round trip, protocol p: pickle.loads(pickle.dumps(t, protocol=p)) of a tensor; NumPy: the same "
    "round trip of an ndarray holding the same values. limit: the values taken out of their packets and put "
    "back (16n bytes read and itemsize n written, then the reverse), which a tensor's round trip does on top "
    "of what NumPy's does; where that alone is beyond the target's bound, the target is shown at this "
    "measured limit.",
    first_heading="op",
    peers=("numpy", "limit"),
    columns=(PER_ELEMENT,),
)
