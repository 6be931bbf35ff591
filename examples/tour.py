"""A tour of halvorn: every feature once, with what it prints.

Run it with ``./dev demo`` from a checkout, or ``python tour.py`` where halvorn
is installed. It ends with a short timing against NumPy when NumPy is there.
"""

import os
import subprocess
import sys
import textwrap
import time

import halvorn


def section(title):
    print()
    print(title)
    print("=" * len(title))


def show(label, value):
    """Prints a label and a value; a multi-line value starts on its own line."""
    text = value if isinstance(value, str) else repr(value)
    if "\n" in text:
        print(f"{label}:")
        print(textwrap.indent(text, "    "))
    else:
        print(f"{label}: {text}")


def type_error_of(action):
    try:
        action()
    except TypeError as error:
        # pybind11's message goes on to list the accepted signatures; its
        # first sentence is enough here.
        return "TypeError: " + str(error).splitlines()[0].split(". ")[0]
    return "no error"


def run_in_child(code):
    """Runs code in a fresh interpreter; returns its stdout, its stderr and its exit status."""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ))
    return result.stdout.strip(), result.stderr.strip(), result.returncode


def classes_and_shapes():
    section("1. Four tensor classes, one per element type")
    show("module docstring", halvorn.__doc__)
    for cls in (halvorn.TensorInt16, halvorn.TensorInt32, halvorn.TensorFloat32, halvorn.TensorFloat64):
        print(f"{cls.__name__}([2, 3]) starts zero-filled: {cls([2, 3]).to_list()}")
    t = halvorn.TensorFloat64((2, 3))
    show("any sequence of non-negative ints is a shape, e.g. a tuple; t.shape", t.shape)
    show("shape of a scalar tensor, TensorInt32([])", halvorn.TensorInt32([]).shape)
    show("a shape of floats", type_error_of(lambda: halvorn.TensorInt32([2.0])))


def constant_factories():
    section("2. Constant factories: quorva_full_*, quorva_zeros_*, quorva_ones_*")
    show("quorva_full_int32([2, 2, 2], 7)", halvorn.quorva_full_int32([2, 2, 2], 7))
    show("quorva_ones_float64([])  (no dimensions, one element)", halvorn.quorva_ones_float64([]))
    show("quorva_zeros_int16([2, 0])  (no elements)", halvorn.quorva_zeros_int16([2, 0]))
    show("quorva_full_int16([2], -32768).to_list()", halvorn.quorva_full_int16([2], -32768).to_list())
    show("quorva_full_int16([2], 40000)  (out of range, never wrapped)",
         type_error_of(lambda: halvorn.quorva_full_int16([2], 40000)))


def rendering_and_export():
    section("3. Rendering, shape and to_list")
    tenth = halvorn.quorva_full_float32([3], 0.1)
    show("quorva_full_float32([3], 0.1)  (six significant digits)", tenth)
    show("its to_list(): float32 values widened exactly", tenth.to_list())
    grid = halvorn.quorva_full_int32([2, 3], 0) + halvorn.quorva_ones_int32([2, 3])
    show("to_list() is flat, in row-major order; shape is a list", (grid.shape, grid.to_list()))
    show("repr shows at most 100 elements: quorva_ones_int16([2, 6, 10])", halvorn.quorva_ones_int16([2, 6, 10]))
    big = halvorn.quorva_zeros_float64([1000])
    show("quorva_zeros_float64([1000]): repr length, to_list length", (len(repr(big)), len(big.to_list())))


def random_factories():
    section("4. Random tensors (float32 and float64 only)")
    show("quorva_rand_float64([2, 3])  (uniform in [0, 1))", halvorn.quorva_rand_float64([2, 3]))
    n = 100_000
    uniform = halvorn.quorva_rand_float32([n]).to_list()
    normal = halvorn.quorva_randn_float64([n]).to_list()
    mean = sum(normal) / n
    deviation = (sum((x - mean) ** 2 for x in normal) / n) ** 0.5
    print(f"{n} uniform float32: min {min(uniform):.5f}, max {max(uniform):.5f}")
    print(f"{n} standard normal float64: mean {mean:+.4f}, standard deviation {deviation:.4f}")
    print("Every thread seeds its own generators from the operating system; no seed can be set,")
    print("so two calls (or two runs) give different numbers:",
          halvorn.quorva_rand_float64([1]).to_list() != halvorn.quorva_rand_float64([1]).to_list())
    # An addition: a seeded generator, value for value C++'s std::mt19937 with
    # the standard distributions.
    generator = halvorn.Generator(42)
    first = generator.randn_float64([3]).to_list()
    print("Generator(42).randn_float64([3]), the same in every run and in C++:", first)
    print("a fresh Generator(42) gives them again:", halvorn.Generator(42).randn_float64([3]).to_list() == first)


def arithmetic():
    section("5. Element-wise arithmetic: quorva_add/sub/mul/div_*, + - * and __divide__")
    a = halvorn.quorva_full_float64([2, 2], 6.0)
    b = halvorn.quorva_full_float64([2, 2], 4.0)
    show("quorva_add_float64(a, b) == (a + b)", halvorn.quorva_add_float64(a, b).to_list() == (a + b).to_list())
    show("a - b", (a - b).to_list())
    show("a * b", (a * b).to_list())
    show("quorva_div_float64(a, b)", halvorn.quorva_div_float64(a, b).to_list())
    show("a.__divide__(b)", a.__divide__(b).to_list())
    show("a / b  (float tensors only)", (a / b).to_list())
    ints = halvorn.quorva_ones_int32([2])
    show("int32 a / b  (true division; integers divide with __divide__)", type_error_of(lambda: ints / ints))
    show("a + 1  (no scalars)", type_error_of(lambda: a + 1))
    show("a + an int16 tensor  (no mixing)", type_error_of(lambda: a + halvorn.quorva_ones_int16([2, 2])))
    nan = halvorn.quorva_full_float64([1], float("nan"))
    show("a NaN divisor gives NaN", halvorn.quorva_div_float64(halvorn.quorva_ones_float64([1]), nan).to_list())

    print("Integers wrap and divide toward zero:")
    top = halvorn.quorva_full_int16([1], 32767)
    show("  int16 32767 + 1", (top + halvorn.quorva_ones_int16([1])).to_list())
    big = halvorn.quorva_full_int32([1], 65536)
    show("  int32 65536 * 65536", (big * big).to_list())
    sevens = halvorn.quorva_full_int32([2], 7) - halvorn.TensorInt32([2])
    signs = halvorn.quorva_full_int32([2], -2)
    show("  int32 7 / -2 via __divide__", sevens.__divide__(signs).to_list())
    lowest = halvorn.quorva_full_int32([1], -2147483648)
    show("  int32 -2147483648 / -1", lowest.__divide__(halvorn.quorva_full_int32([1], -1)).to_list())


def dot_products():
    section("6. Dot product: quorva_dot_*")
    v = halvorn.quorva_zeros_float64([3]) + halvorn.quorva_ones_float64([3])
    m = halvorn.quorva_full_float64([3, 2], 2.0)
    show("vector [3] . matrix [3, 2] -> [2]", halvorn.quorva_dot_float64(v, m))
    show("matrix [2, 3] . vector [3] -> [2]", halvorn.quorva_dot_float64(halvorn.quorva_ones_float64([2, 3]), v))
    show("matrix [2, 3] . matrix [3, 2] -> [2, 2]",
         halvorn.quorva_dot_float64(halvorn.quorva_ones_float64([2, 3]), m))
    show("a @ b is the same dot", (halvorn.quorva_ones_float64([2, 3]) @ m).to_list())
    show("int16 sums wrap: [200] . [[200]]",
         halvorn.quorva_dot_int16(halvorn.quorva_full_int16([1], 200), halvorn.quorva_full_int16([1, 1], 200)).to_list())
    print("Results equal the plain sequential sum in the element type, term by term.")


def process_ending_mistakes():
    section("7. Mistakes that end the whole process, unless errstate says raise")
    template = textwrap.dedent(
        """
        import halvorn as h
        a = h.quorva_ones_float64([2, 3])
        try:
            {call}
        except BaseException as error:
            print("caught", type(error).__name__)
        print("carried on")
        """
    )
    cases = {
        "add of [2, 3] and [3, 2]": "h.quorva_add_float64(a, h.quorva_ones_float64([3, 2]))",
        "a zero divisor": "h.quorva_div_float64(a, h.quorva_zeros_float64([2, 3]))",
        "dot of [2, 3] and [2, 3]": "h.quorva_dot_float64(a, a)",
        "a shape of 2**40 x 2**40 elements": "h.quorva_zeros_int16([2**40, 2**40])",
    }
    for label, call in cases.items():
        stdout, stderr, status = run_in_child(template.format(call=call))
        aftermath = "nothing after the call ran" if not stdout else f"the child printed {stdout!r}"
        print(f"{label}:\n    stderr: {stderr}\n    exit status {status}; {aftermath}")
    print("The same mistakes as exceptions, in this process, under halvorn.errstate(misuse='raise'):")
    h = halvorn
    a = h.quorva_ones_float64([2, 3])
    with h.errstate(misuse="raise"):
        for label, call in cases.items():
            try:
                eval(call, {"h": h, "a": a})
            except (ValueError, ZeroDivisionError, MemoryError) as error:
                print(f"    {type(error).__name__}: {error}")
    print(f"Outside the block the default is back: {h.geterr()}")


def memory():
    section("8. Every element costs 16 bytes")

    def resident_kib():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    # ones, not zeros: a large zero tensor is mapped lazily and occupies
    # memory only as it is touched.
    n = 1_000_000
    before = resident_kib()
    t = halvorn.quorva_ones_int16([n])
    grown = resident_kib() - before
    print(f"quorva_ones_int16([{n}]) grew the process by about {grown / 1024:.1f} MiB "
          f"({grown * 1024 / n:.1f} bytes per 2-byte element)")
    del t


def best_time(action, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def timing():
    section("9. A quick timing against NumPy (best of a few runs; ./dev bench has the full picture)")
    # halvorn runs on one thread, so NumPy's BLAS gets one too (unless the
    # caller chose otherwise); this must be set before NumPy loads it.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    try:
        import numpy as np
    except ImportError:
        print("NumPy is not installed; skipping.")
        return
    n = 1_000_000
    ha, hb = halvorn.quorva_rand_float64([n]), halvorn.quorva_rand_float64([n])
    na, nb = np.random.rand(n), np.random.rand(n)
    hm, hn = halvorn.quorva_rand_float64([256, 256]), halvorn.quorva_rand_float64([256, 256])
    nm, nn = np.random.rand(256, 256), np.random.rand(256, 256)
    cases = [
        ("add, 1e6 float64", lambda: ha + hb, lambda: na + nb),
        ("mul, 1e6 float64", lambda: ha * hb, lambda: na * nb),
        ("rand, 1e6 float64", lambda: halvorn.quorva_rand_float64([n]), lambda: np.random.rand(n)),
        ("matmul, 256x256 float64", lambda: halvorn.quorva_dot_float64(hm, hn), lambda: nm @ nn),
    ]
    print(f"{'operation':<26}{'halvorn':>12}{'NumPy':>12}{'ratio':>9}")
    for label, ours, theirs in cases:
        t_ours, t_theirs = best_time(ours, 7), best_time(theirs, 7)
        print(f"{label:<26}{t_ours * 1e3:>9.2f} ms{t_theirs * 1e3:>9.2f} ms{t_ours / t_theirs:>8.2f}x")
    print("ratio = halvorn time / NumPy time; below 1 means halvorn was faster.")
    print(f"(NumPy {np.__version__}, OPENBLAS_NUM_THREADS={os.environ['OPENBLAS_NUM_THREADS']})")


def numpy_round_trip():
    section("10. NumPy and other libraries: in by copy, out without one")
    try:
        import numpy as np
    except ImportError:
        print("NumPy is not installed; skipping.")
        return
    import pickle

    source = np.linspace(0.0, 1.0, 6).reshape(2, 3)
    t = halvorn.quorva_array_float64(source.T)  # any strides and formats; a copy
    show("quorva_array_float64(np.linspace(0, 1, 6).reshape(2, 3).T)", t)
    view = np.asarray(t)
    print(f"np.asarray(t): shape {view.shape}, strides {view.strides} (16 bytes per element), "
          f"writeable {view.flags.writeable}, same memory as np.from_dlpack(t): "
          f"{view.__array_interface__['data'][0] == np.from_dlpack(t).__array_interface__['data'][0]}")
    print("back and forth, every bit kept:", np.array_equal(np.asarray(halvorn.quorva_array_float64(view)), source.T))
    show("quorva_array_int16([[1, 2], [3, 4]])", halvorn.quorva_array_int16([[1, 2], [3, 4]]))
    show("quorva_array_int16([2.0])  (no silent truncation)", type_error_of(lambda: halvorn.quorva_array_int16([2.0])))
    print("pickle round trip equal:", pickle.loads(pickle.dumps(t)).to_list() == t.to_list())
    # Plot-ready: matplotlib, like most plotting libraries, takes the view as it is.
    x = halvorn.quorva_array_float64(np.linspace(0.0, 6.0, 7))
    y = x * x
    columns = np.column_stack([np.asarray(x), np.asarray(y)])
    print("plot-ready columns x, y = x * x (e.g. plt.plot(np.asarray(x), np.asarray(y))):")
    print(textwrap.indent(np.array2string(columns), "    "))


def main():
    classes_and_shapes()
    constant_factories()
    rendering_and_export()
    random_factories()
    arithmetic()
    dot_products()
    process_ending_mistakes()
    memory()
    timing()
    numpy_round_trip()


if __name__ == "__main__":
    main()
