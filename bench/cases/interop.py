"""NumPy in and out: quorva_array_* imports and the zero-copy exports."""

from __future__ import annotations

import numpy as np

from ..family import PER_ELEMENT, Family
from ..limits import import_traffic
from ..operands import NUMPY_TYPE, TYPES, fn, has, same_bits, to_numpy, varied, verdict
from ..timing import side


def bench_interop(run):
    """quorva_array_* from a contiguous array against the bytes a float64
    import moves, 8n read and 16n written (np.copyto casting 2n float32 into
    2n float64, which NumPy does at memory speed; narrower types read less),
    and from nested lists against np.array(list, dtype); the zero-copy exports
    np.asarray and np.from_dlpack against the same calls on an ndarray
    (informational: both are O(1))."""
    if not all(has(f"quorva_array_{dtype}") for dtype in TYPES):
        run.notes.append("quorva_array_* is not in this build: no import or export cases")
        return
    for dtype in TYPES:
        for n in run.config.sizes:
            x = to_numpy(varied(dtype, (n,)), dtype)
            convert, values = fn("array", dtype), x.tolist()
            made = convert(x)
            check = verdict(same_bits(np.asarray(made), x) and same_bits(np.asarray(convert(values)), x),
                            "import differs from its source")
            run.case("interop", "import array", dtype, (n,), [
                side("halvorn", "f(x)", f=convert, x=x),
                import_traffic(n),
            ], check=check, peer="copyto")
            run.case("interop", "import list", dtype, (n,), [
                side("halvorn", "f(v)", f=convert, v=values),
                side("numpy", "f(v, dtype=d)", f=np.array, v=values, d=NUMPY_TYPE[dtype]),
            ], check=check, peer="array")
            for op, call in [("asarray", np.asarray), ("from_dlpack", np.from_dlpack)]:
                peer = memoryview(x) if op == "asarray" else x
                run.case("interop", op, dtype, (n,), [
                    side("halvorn", "f(t)", f=call, t=made),
                    side("numpy", "f(p)", f=call, p=peer),
                ], check=verdict(same_bits(call(made), x), "view differs"), peer=op)


FAMILY = Family(
    name="interop",
    run=bench_interop,
    title="NumPy in and out",
    text="import array: quorva_array_* from a contiguous ndarray of the type; limit: np.copyto casting 2n "
    "float32 into 2n float64, the 8n bytes read and 16n written of a float64 import. import list: from "
    "x.tolist(), against np.array(list, dtype). asarray, from_dlpack: the zero-copy views, against the same "
    "call on the ndarray (asarray through a memoryview, so both go through the buffer protocol).",
    first_heading="op",
    peers=("numpy", "limit"),
    columns=(PER_ELEMENT,),
)
