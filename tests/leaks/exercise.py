"""The workload that the valgrind leak check runs under memcheck.

It creates, combines, renders, exports and drops tensors of every element type
and every shape class (no dimensions, zero extents, vectors, matrices, higher
ranks, renderings cut at 100 elements, results large enough for streaming
stores), goes through the refused-argument paths and misuse raised as
exceptions, and uses the random
generators from threads that end. It checks its own results, so a run that
computes nonsense fails even when nothing leaks.
"""

import threading

import halvorn

TYPES = ["int16", "int32", "float32", "float64"]
FLOATS = ["float32", "float64"]
SHAPES = [[], [0], [1], [5], [0, 3], [3, 0], [2, 3], [2, 0, 4], [2, 3, 4], [1, 1, 1, 2], [101], [3, 50]]


def module(kind, element_type):
    return getattr(halvorn, f"quorva_{kind}_{element_type}")


def count(shape):
    total = 1
    for extent in shape:
        total *= extent
    return total


def elementwise(element_type):
    one = 1 if element_type.startswith("int") else 1.0
    for shape in SHAPES:
        a = module("full", element_type)(shape, 6)
        b = module("ones", element_type)(shape)
        z = module("zeros", element_type)(shape)
        c = getattr(halvorn, "Tensor" + element_type.capitalize())(shape)
        results = [a + b, a - b, a * b, a.__divide__(b), module("add", element_type)(a, z),
                   module("sub", element_type)(a, c), module("mul", element_type)(b, b)]
        if element_type in FLOATS:
            results.append(module("div", element_type)(a, b))
        expected = [7, 5, 6, 6, 6, 6, 1, 6]
        for result, value in zip(results, expected):
            assert result.to_list() == [value * one] * count(shape), (element_type, shape)
            assert result.shape == shape
            assert repr(result).startswith("tensor([")
            str(result)


def dot(element_type):
    one = 1 if element_type.startswith("int") else 1.0
    for rows, inner, columns in [(0, 3, 4), (2, 0, 3), (1, 1, 1), (3, 7, 5), (9, 20, 70), (2, 600, 3)]:
        a = module("full", element_type)([rows, inner], 1)
        b = module("full", element_type)([inner, columns], 1)
        v = module("ones", element_type)([inner])
        assert module("dot", element_type)(a, b).to_list() == [inner * one] * (rows * columns)
        assert module("dot", element_type)(a, v).to_list() == [inner * one] * rows
        assert module("dot", element_type)(v, b).to_list() == [inner * one] * columns


def large(element_type):
    # 8 MiB and more of packets: written with streaming stores.
    a = module("full", element_type)([600_000], 3)
    b = module("ones", element_type)([600_000])
    assert (a + b).shape == [600_000]
    assert (a * b).__divide__(b).to_list()[-1] == 3


def refused(element_type):
    cls = getattr(halvorn, "Tensor" + element_type.capitalize())
    other = halvorn.TensorInt16([1]) if element_type != "int16" else halvorn.TensorInt32([1])
    good = cls([2])
    empty = cls.__new__(cls)

    def raising():
        yield 2
        raise ValueError("midway")

    for call in [
        lambda: module("zeros", element_type)("22"),
        lambda: module("zeros", element_type)([2.0]),
        lambda: module("zeros", element_type)([-1]),
        lambda: module("zeros", element_type)(raising()),
        lambda: module("full", element_type)([2], None),
        lambda: module("add", element_type)(good, other),
        lambda: module("add", element_type)(good, empty),
        lambda: good + 1,
        lambda: good / other,  # another class: refused, whatever the type
        lambda: module("zeros", element_type)(shape=[2]),
        lambda: empty.to_list(),
    ]:
        try:
            call()
        except (TypeError, ValueError):
            pass
        else:
            raise AssertionError("a refused argument was accepted")
    cls.__init__(empty, [3])
    assert empty.to_list() == [0, 0, 0]


def misused(element_type):
    # Raised instead of ending the process: whatever the call had made by then
    # (a quotient part-way through, a dot's working storage) must go with it.
    zero = module("zeros", element_type)([3000])
    ones = module("ones", element_type)([3000])
    divisors = module("array", element_type)([1] * 2999 + [0])
    matrix = module("ones", element_type)([2, 3])
    with halvorn.errstate(misuse="raise"):
        for call, error in [
            (lambda: ones.__divide__(divisors), ZeroDivisionError),
            (lambda: ones + matrix, ValueError),
            (lambda: module("dot", element_type)(matrix, matrix), ValueError),
            (lambda: module("zeros", element_type)([2**32, 2**32]), MemoryError),
            (lambda: module("full", element_type)([2**60], 1), MemoryError),
            (lambda: getattr(halvorn, "Tensor" + element_type.capitalize())([2**62, 4]), MemoryError),
        ]:
            try:
                call()
            except error:
                pass
            else:
                raise AssertionError("a misuse was not raised")
    assert (ones + zero).to_list() == ones.to_list()


def random_in_threads():
    def draw():
        for element_type in FLOATS:
            for kind in ["rand", "randn"]:
                for shape in [[0], [], [7], [3, 3]]:
                    values = module(kind, element_type)(shape).to_list()
                    assert len(values) == count(shape)

    threads = [threading.Thread(target=draw) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    draw()


def interop(element_type):
    # Views, capsules (consumed or not), pickles and imports, good and refused:
    # whatever they hold must go back when they go.
    import array
    import pickle

    convert = module("array", element_type)
    tensor = convert([[1, 2, 3], [4, 5, 6]])
    assert memoryview(tensor).tolist() == [[1, 2, 3], [4, 5, 6]]
    tensor.__dlpack__()
    tensor.__dlpack__(max_version=(1, 0), copy=True)
    assert convert(tensor).to_list() == convert(memoryview(tensor)).to_list() == tensor.to_list()
    assert convert(array.array("b", [1, -1])).to_list() == [1, -1]
    for protocol in range(6):
        assert pickle.loads(pickle.dumps(tensor, protocol)).to_list() == tensor.to_list()
    # Out of band, the values travel in a block of their own, past the size
    # from which blocks are kept for reuse.
    buffers = []
    big = module("ones", element_type)([20000])
    data = pickle.dumps(big, 5, buffer_callback=buffers.append)
    assert pickle.loads(data, buffers=buffers).to_list() == big.to_list() and big.__sizeof__() > big.nbytes
    offers = lambda given: type("Offers", (), {"__array__": lambda self: given})()  # noqa: E731
    assert convert(offers(tensor)).to_list() == tensor.to_list() and float(convert(7)) == int(convert(7)) == 7
    bad_imports = ([[1], [2, 3]], [None], [2**70], "text", offers([1]), offers(offers(tensor)), offers(1 / 2j))
    calls = [lambda bad=bad: convert(bad) for bad in bad_imports]
    calls += [lambda f=f: f(tensor) for f in (float, int, complex)]  # rank 2: refused
    calls.append(lambda: convert(type("", (), {"__array__": lambda self: 1 / 0})()))
    for call in calls:
        try:
            call()
        except (TypeError, ValueError, OverflowError):
            pass


def main():
    for _ in range(2):
        for element_type in TYPES:
            elementwise(element_type)
            dot(element_type)
            refused(element_type)
            misused(element_type)
            interop(element_type)
        random_in_threads()
    for element_type in TYPES:
        large(element_type)
    print("exercise: every check held")


if __name__ == "__main__":
    main()
