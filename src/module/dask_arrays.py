# halvorn.dask: halvorn's element-wise operations and dot product on Dask
# arrays, with exactly the bytes that halvorn gives on the whole operands in
# one process, whatever the chunking, the scheduler or the number of workers.
#
# This file is compiled into the module and run once per import as the module
# halvorn.dask, with `_halvorn` (the module), the native checks
# `_require_same_shape` and `_dot_result_shape`, and the native work of the
# tasks (`_import`, `_operations`, `_operate`, `_dot`, `_dot_continued`, by
# operation and element type word) already in its namespace. The tasks' native work runs
# with the interpreter lock released, so that a worker's other threads (its
# event loop, which serves data to other workers, and its other tasks) run
# beside it; there, misuse is always raised. Dask and NumPy are imported only when one of
# its functions is called: `import halvorn` never imports them.
#
# Misuse that the shapes show (operands that do not fit) is found here, when
# the graph is built, in the caller's process and under the caller's setting,
# exactly as halvorn's own call would find it. Inside a task only a zero
# divisor or storage that cannot be had can be found; a task raises those as
# halvorn's exceptions, whatever the worker's setting, so that a mistake never
# ends a worker and the caller's compute() raises it.
import itertools
import sys
import types
import typing

__all__ = ["add", "sub", "mul", "div", "dot"]

_WORDS = ("int16", "int32", "float32", "float64")

# Entered in every task: one errstate may be active on many threads at once.
_raising = _halvorn.errstate(misuse="raise")


def _dask_array_module() -> typing.Any:
    try:
        import dask.array
    except ImportError as missing:
        raise ImportError(f"halvorn.dask works on Dask arrays, and Dask cannot be imported ({missing}); "
                          "install it with: pip install 'halvorn[dask]'") from missing
    return dask.array


def _as_dask_array(operand: typing.Any) -> typing.Any:
    da = _dask_array_module()

    if isinstance(operand, da.Array):
        array = operand
    else:
        import numpy as np

        array = np.asarray(operand)
        array = da.from_array(array, chunks=array.shape)
    if any(extent != extent for axis in array.chunks for extent in axis):
        raise ValueError(f"halvorn.dask needs the chunk sizes of its operands; this one has unknown ones "
                         f"(shape {array.shape}): call compute_chunk_sizes() on it first")
    return array


def _element_type(function: str, a: typing.Any, b: typing.Any) -> str:
    # As halvorn's own functions take two tensors of one type, and nothing else.
    word = str(a.dtype)
    if a.dtype != b.dtype or word not in _WORDS:
        raise TypeError(f"halvorn.dask.{function}() takes two arrays of one dtype, int16, int32, float32 or "
                        f"float64; these are {a.dtype} and {b.dtype}")
    return word


def _refined(*chunkings: tuple[int, ...]) -> tuple[int, ...]:
    # The chunks of one axis that every chunking's boundaries cut: each chunk
    # of either operand is a run of whole refined chunks, so no chunk grows.
    edges = sorted({0}.union(*(itertools.accumulate(chunks) for chunks in chunkings)))
    refined = tuple(end - start for start, end in zip(edges, edges[1:]))
    return refined or chunkings[0]


def _imported(word: str, block: typing.Any, after: typing.Any = None) -> typing.Any:
    # `after`: running sums that must exist first (see _IMPORTS_AHEAD), unused.
    with _raising:
        return _import[word](block)


def _exported(tensor: typing.Any) -> typing.Any:
    import numpy as np

    # A writable array of its own, as NumPy's operations return.
    return np.array(tensor)


def _index_text(index: typing.Iterable[int]) -> str:
    return "[" + ", ".join(str(int(i)) for i in index) + "]"


def _elementwise_block(a: typing.Any, b: typing.Any, operation: str, word: str,
                       block_info: typing.Any = None) -> typing.Any:
    import numpy as np

    with _raising:
        try:
            if all(type(x) is np.ndarray and x.dtype == _NATIVE[word] and x.flags.c_contiguous for x in (a, b)):
                # Values in and out through packets a tile at a time, with the
                # same kernels: no tensor of the whole block is built.
                out = np.empty(a.shape, a.dtype)
                _operate[word](operation, a, b, out)
                return out
            result = _operations[operation][word](_imported(word, a), _imported(word, b))
        except ZeroDivisionError:
            # halvorn names the first zero divisor of the block; the caller's
            # array is the whole one, so its index is the block's start plus that.
            divisors = np.asarray(b)
            position = int(np.flatnonzero(divisors.reshape(-1) == 0)[0])
            local = np.unravel_index(position, divisors.shape)
            start = [start for start, _ in block_info[1]["array-location"]] if block_info else [0] * len(local)
            raise ZeroDivisionError("quorva div(): cannot divide by zero: the divisor at index "
                                    f"{_index_text(s + i for s, i in zip(start, local))} is zero") from None
        return _exported(result)


# The element types in this machine's byte order, as the native work takes them.
_NATIVE = {word: f"={code}" for word, code in zip(_WORDS, "hifd")}


def _elementwise(operation: str, a: typing.Any, b: typing.Any) -> typing.Any:
    a, b = _as_dask_array(a), _as_dask_array(b)
    da = _dask_array_module()
    from dask.base import tokenize

    word = _element_type(operation, a, b)
    _require_same_shape(operation, list(a.shape), list(b.shape))
    chunks = tuple(_refined(x, y) for x, y in zip(a.chunks, b.chunks))
    a, b = a.rechunk(chunks), b.rechunk(chunks)
    return da.map_blocks(_elementwise_block, a, b, operation, word, dtype=a.dtype,
                         name=f"halvorn-{operation}-{tokenize(a, b)}",
                         meta=_empty(a.ndim, a.dtype))


def _empty(ndim: int, dtype: typing.Any) -> typing.Any:
    import numpy as np

    return np.empty((0,) * ndim, dtype=dtype)


def add(a: typing.Any, b: typing.Any) -> typing.Any:
    """a + b element by element, as quorva_add_<type>: two Dask arrays (or
    anything numpy.asarray takes) of one shape and one dtype (int16, int32,
    float32 or float64), no broadcasting. Returns a Dask array of that shape
    and dtype; integers wrap."""
    return _elementwise("add", a, b)


def sub(a: typing.Any, b: typing.Any) -> typing.Any:
    """a - b element by element, as quorva_sub_<type>; see add()."""
    return _elementwise("sub", a, b)


def mul(a: typing.Any, b: typing.Any) -> typing.Any:
    """a * b element by element, as quorva_mul_<type>; see add()."""
    return _elementwise("mul", a, b)


def div(a: typing.Any, b: typing.Any) -> typing.Any:
    """a / b element by element, as quorva_div_<type> for floats and
    __divide__ for integers (truncating; the minimum divided by -1 wraps to
    itself); see add(). A zero divisor raises ZeroDivisionError from
    compute(), naming its index in b."""
    return _elementwise("div", a, b)


# How many chunks of terms ahead of a block's running sums its operand chunks
# are turned into packets. Further ahead, a worker holds every chunk's packets
# at once (twice the operands' bytes for float64, eight times for int16), and
# each new packet block is faulted in afresh; this near, the blocks of the
# chunks done are taken again.
_IMPORTS_AHEAD = 4


def _dot_step(word: str, sums: typing.Any, left: typing.Any, right: typing.Any, last: bool) -> typing.Any:
    with _raising:
        if sums is None:
            partial = _dot[word](left, right)
        else:
            partial = _dot_continued[word](sums, left, right)
        return _exported(partial) if last else partial


def dot(a: typing.Any, b: typing.Any) -> typing.Any:
    """The dot product of quorva_dot_<type>: a vector times a matrix, a matrix
    times a vector, or two matrices, given as Dask arrays (or anything
    numpy.asarray takes) of one dtype. Returns a Dask array of the result.

    Each result element is one sum over the contracted axis in term order,
    as in one process: a block's partial sums go from one chunk of terms to
    the next, so the bits are the same for every chunking, and no task ever
    holds more than its own chunks and its block's sums."""
    a, b = _as_dask_array(a), _as_dask_array(b)
    da = _dask_array_module()
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph

    word = _element_type("dot", a, b)
    _dot_result_shape(list(a.shape), list(b.shape))
    terms = _refined(a.chunks[-1], b.chunks[0])
    a = a.rechunk(a.chunks[:-1] + (terms,))
    b = b.rechunk((terms,) + b.chunks[1:])

    token = tokenize(a, b)
    name = f"halvorn-dot-{token}"
    imports_a, imports_b, partials = (f"halvorn-dot-{part}-{token}" for part in ("left", "right", "sums"))
    # Block indices of the result's rows and columns; a vector operand has one
    # of them only.
    rows = range(len(a.chunks[0])) if a.ndim == 2 else [None]
    columns = range(len(b.chunks[1])) if b.ndim == 2 else [None]

    def block(*index: int | None) -> tuple[int, ...]:
        return tuple(i for i in index if i is not None)

    def sums(i: int | None, j: int | None, k: int) -> tuple[typing.Any, ...]:
        return (name, *block(i, j)) if k == len(terms) - 1 else (partials, *block(i, j), k)

    graph: dict[typing.Any, typing.Any] = {}
    # Each operand block is imported once, in a task of its own, so that the
    # imports run in parallel beside the sums, which go block after block;
    # but no further ahead of the first sums that need them than
    # _IMPORTS_AHEAD chunks of terms.
    first_row, first_column = rows[0], columns[0]
    for k in range(len(terms)):
        ahead = k - _IMPORTS_AHEAD
        for i in rows:
            after = sums(i, first_column, ahead) if ahead >= 0 else None
            graph[(imports_a, *block(i, k))] = (_imported, word, (a.name, *block(i, k)), after)
        for j in columns:
            after = sums(first_row, j, ahead) if ahead >= 0 else None
            graph[(imports_b, *block(k, j))] = (_imported, word, (b.name, *block(k, j)), after)
    for i, j in itertools.product(rows, columns):
        for k in range(len(terms)):
            graph[sums(i, j, k)] = (_dot_step, word, sums(i, j, k - 1) if k else None, (imports_a, *block(i, k)),
                                    (imports_b, *block(k, j)), k == len(terms) - 1)

    chunks = tuple(axis for axis, kept in ((a.chunks[0], a.ndim == 2), (b.chunks[-1], b.ndim == 2)) if kept)
    layers = HighLevelGraph.from_collections(name, graph, dependencies=[a, b])
    return da.Array(layers, name, chunks, meta=_empty(len(chunks), a.dtype))


def _attach(parent: types.ModuleType) -> None:
    # `halvorn.dask` as an attribute, which `import halvorn.dask` gives a
    # module only when it loads it (this one is in sys.modules already), kept
    # out of the module's namespace, whose names are the specified ones and
    # the additions that its type stub declares.
    this = sys.modules[__name__]

    class Module(types.ModuleType):
        @property
        def dask(self) -> types.ModuleType:
            return this

    Module.__qualname__ = Module.__name__ = type(parent).__name__
    Module.__module__ = type(parent).__module__
    parent.__class__ = Module
