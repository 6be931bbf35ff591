"""The examples of the README and of the guides in docs/ run as shown, their
links lead somewhere, the README's reference tables match the module, and its
guard code works."""

import doctest
import pathlib
import re

import pytest

import halvorn

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
README = CHECKOUT / "README.md"
PAGES = [README, *sorted((CHECKOUT / "docs").glob("*.md"))]
# The examples each page holds at least, so that none goes missing untested.
EXAMPLES = {"README.md": 35, "dask.md": 8, "libraries.md": 20, "mistakes.md": 5, "processes.md": 9}
CLASSES = ["TensorInt16", "TensorInt32", "TensorFloat32", "TensorFloat64"]


def fenced_blocks(language):
    return re.findall(r"^```" + language + r"\n(.*?)^```$", README.read_text(), re.S | re.M)


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_the_page_passes_as_a_doctest(page):
    # As `python3.14 -m doctest README.md` runs it: every example in order, in
    # one namespace. None of them may end the process; such calls are shown as
    # plain code instead.
    result = doctest.testfile(str(page), module_relative=False, verbose=False)
    assert (result.attempted >= EXAMPLES.get(page.name, 0), result.failed) == (True, 0)


def headings(page):
    # As GitHub makes a heading's anchor, outside the fenced blocks.
    text = re.sub(r"^```.*?^```$", "", page.read_text(), flags=re.S | re.M)
    titles = re.findall(r"^#+ (.*)$", text, re.M)
    return {re.sub(r"[^\w\- ]", "", title.lower()).replace(" ", "-") for title in titles}


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_every_link_leads_to_a_file_and_heading_that_exist(page):
    for link in re.findall(r"\]\(([^)\s]+)\)", page.read_text()):
        path, _, anchor = link.partition("#")
        if link.startswith(("http://", "https://")):
            continue
        target = (page.parent / path).resolve() if path else page
        assert target.is_file() and (not anchor or anchor in headings(target)), f"{page.name}: {link}"


def test_function_table_lists_every_module_function_once():
    table_names = re.findall(r"`(quorva_[a-z]+_[a-z0-9]+)`", reference_section())
    module_names = sorted(name for name in vars(halvorn) if name.startswith("quorva_"))
    assert len(module_names) == 34 + 4  # with the quorva_array_* addition
    assert sorted(table_names) == module_names


# How the member table shows each member a class registers.
MEMBER_ROWS = {
    "__init__": "| `TensorX(shape)` |",
    "shape": "| `t.shape` |",
    "to_list": "| `t.to_list()` |",
    "__add__": "`a.__add__(b)`",
    "__sub__": "`a.__sub__(b)`",
    "__mul__": "`a.__mul__(b)`",
    "__divide__": "| `a.__divide__(b)` |",
    "__repr__": "| `repr(t)`, `str(t)` |",
    # Additions for other libraries.
    "__buffer__": "| `memoryview(t)`, `np.asarray(t)` |",
    "__release_buffer__": "| `memoryview(t)`, `np.asarray(t)` |",
    "__dlpack__": "| `t.__dlpack__(",
    "__dlpack_device__": "| `t.__dlpack_device__()` |",
    "__reduce_ex__": "| `pickle.dumps(t)` |",
    "__copy__": "| `copy.copy(t)`, `copy.deepcopy(t)` |",
    "__deepcopy__": "| `copy.copy(t)`, `copy.deepcopy(t)` |",
    "__matmul__": "| `a @ b` |",
    "__truediv__": "| `a / b` |",
    "__float__": "| `float(t)`, `int(t)`, `complex(t)` |",
    "__int__": "| `float(t)`, `int(t)`, `complex(t)` |",
    "__complex__": "| `float(t)`, `int(t)`, `complex(t)` |",
    "__index__": "| `operator.index(t)`, `seq[t]` |",
    **{name: f"| `t.{name}` |" for name in ["ndim", "size", "nbytes", "dtype"]},
    "__array__": "| `t.__array__(dtype=None, copy=None)` |",
    "__sizeof__": "| `sys.getsizeof(t)` |",
    "__dask_tokenize__": "| `dask.base.tokenize(t)` |",
    "__iter__": "| `iter(t)`, `for x in t` |",
}
# The same for the added Generator class.
GENERATOR_ROWS = {"__init__": "| `Generator(seed)` |", "__reduce_ex__": "| `pickle.dumps(g)` |", "__repr__": "| `repr(g)` |",
                  **dict.fromkeys(["__copy__", "__deepcopy__"], "| `copy.copy(g)`, `copy.deepcopy(g)` |"),
                  **{f"{op}_float{bits}": f"`g.{op}_float{bits}(shape)`" for op in ["rand", "randn"] for bits in (32, 64)}}


def reference_section():
    return README.read_text().split("## Reference", 1)[1].split("\n## ", 1)[0]


def test_member_table_covers_every_member_of_every_class():
    reference = reference_section()
    for cls_name in CLASSES:
        # pybind11 adds __doc__, __module__ and its own _pybind11_conduit_v1_;
        # copy and pickle cache __slotnames__ on a class they have looked at.
        # The guard against relabelling is described in the text, and
        # __reduce__ shares the pickling row with __reduce_ex__.
        ignored = ("__doc__", "__module__", "_pybind11_conduit_v1_", "__slotnames__", "__class__", "__reduce__")
        members = {name for name in vars(getattr(halvorn, cls_name)) if name not in ignored}
        integer = cls_name.startswith("TensorInt")
        assert members == set(MEMBER_ROWS) - ({"__truediv__"} if integer else {"__index__"}), cls_name
    assert {name for name in vars(halvorn.Generator) if name not in ignored} == set(GENERATOR_ROWS)
    for name, row in MEMBER_ROWS.items() | GENERATOR_ROWS.items():
        assert row in reference, f"{name} is missing from the member table"


@pytest.fixture(scope="module")
def guards():
    (code,) = [block for block in fenced_blocks("python") if "def checked_divide" in block]
    namespace: dict = {}
    exec(compile(code, "README guard example", "exec"), namespace)
    return namespace


def test_guard_refuses_mismatched_shapes_and_zero_divisors(guards):
    ones = halvorn.quorva_ones_float64([2])
    with pytest.raises(ValueError):
        guards["checked_divide"](ones, halvorn.quorva_ones_float64([3]))
    for zero in (0.0, -0.0):
        with pytest.raises(ZeroDivisionError):
            guards["checked_divide"](ones, halvorn.quorva_full_float64([2], zero))
    assert guards["checked_divide"](ones, halvorn.quorva_full_float64([2], 4.0)).to_list() == [0.25, 0.25]


def test_guard_accepts_exactly_the_dot_shapes_that_work(guards):
    fits = guards["dot_fits"]
    assert fits([3], [3, 2]) and fits([2, 3], [3]) and fits([2, 3], [3, 4])
    assert not fits([3], [3]) and not fits([], [3, 2]) and not fits([2, 2, 2], [2, 2])
    assert not fits([3], [4, 2]) and not fits([2, 3], [5]) and not fits([2, 3], [2, 3])
    # The accepted pairs really do work in this process.
    for a, b in (([3], [3, 2]), ([2, 3], [3]), ([2, 3], [3, 4]), ([0], [0, 4])):
        halvorn.quorva_dot_int32(halvorn.quorva_ones_int32(a), halvorn.quorva_ones_int32(b))


def test_guard_counts_sixteen_bytes_per_element(guards):
    assert guards["affordable"]([1000, 1000], 16_000_000)
    assert not guards["affordable"]([1000, 1001], 16_000_000)
    assert not guards["affordable"]([2**40, 2**40], 2**63)
