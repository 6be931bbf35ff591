"""halvorn.Generator: seeded draws, value for value what std::mt19937 and the
standard distributions give in C++, and a state that copies, pickles and forks."""

import concurrent.futures
import copy
import json
import math
import os
import pickle
import pickletools
import subprocess
import sys

import halvorn
import halvorn_testing as testing
import numpy as np
import pytest

METHODS = ["rand_float32", "rand_float64", "randn_float32", "randn_float64"]
# Per input line (a seed, method and count pairs, "end"), one output line: each
# call's values in %a, the calls ended by ";". float32 values widen exactly.
REFERENCE = r"""
#include <cstdio>
#include <iostream>
#include <random>
#include <string>
int main() {
  unsigned long seed, count;
  for (std::string method; std::cin >> seed; std::printf("\n")) {
    std::mt19937 engine(static_cast<std::mt19937::result_type>(seed));
    std::uniform_real_distribution<float> uf(0, 1);  std::uniform_real_distribution<double> ud(0, 1);
    std::normal_distribution<float> nf(0, 1);         std::normal_distribution<double> nd(0, 1);
    for (; std::cin >> method && method != "end" && std::cin >> count; std::printf(";")) {
      for (; count > 0; --count) {
        std::printf("%a ", method == "rand_float32"    ? uf(engine)
                           : method == "rand_float64"  ? ud(engine)
                           : method == "randn_float32" ? nf(engine) : nd(engine));
      }
    }
  }
}
"""
DRAW = """import halvorn, halvorn_testing, json, sys
seed, scenarios, path = json.loads(sys.argv[1])
assert halvorn_testing.cap_kernels(path) == path
print(json.dumps([[getattr(g, m)(s).to_list() for m, s in calls]
                  for g, calls in ((halvorn.Generator(seed), calls) for calls in scenarios)]))"""
# Every instruction set this machine runs, each capped through the companion.
PATHS = testing.instruction_sets()
# Counts on both sides of the kernels' blocks (256 values), of a normal
# block's 512, and of the engine's 624 words.
SIZES = [1, 2, 3, 255, 256, 257, 511, 512, 513, 623, 624, 625, 1249]
SCENARIOS = [[(method, [n]) for n in SIZES] for method in METHODS] + [[
    ("randn_float32", [3]), ("rand_float64", [1]), ("randn_float64", [5]), ("randn_float32", []),
    ("rand_float32", [2, 3, 4]), ("randn_float64", [0]), ("randn_float64", [1]),
    ("randn_float32", [513]), ("rand_float64", [257]), ("randn_float64", [2, 2])]]
# The sanitizer run preloads its runtime; the compiler and the reference need none.
PLAIN = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    source = tmp_path_factory.mktemp("reference") / "reference.cpp"
    source.write_text(REFERENCE)
    subprocess.run(["c++", "-O2", "-o", source.with_suffix(""), source], check=True, env=PLAIN)
    return source.with_suffix("")


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("seed", [0, 1, 5489, 2**31, 2**32 - 1])
def test_draws_match_std_mt19937_and_the_standard_distributions(reference, path, seed):
    calls = "".join(f"{seed} {' '.join(f'{m} {math.prod(s)}' for m, s in c)} end\n" for c in SCENARIOS)
    expected = subprocess.run([reference], input=calls, capture_output=True, text=True, check=True, env=PLAIN)
    drawn = subprocess.run([sys.executable, "-c", DRAW, json.dumps([seed, SCENARIOS, path])],
                           capture_output=True, text=True, env=os.environ)
    assert drawn.returncode == 0, drawn.stderr
    assert [[[v.hex() for v in call] for call in scenario] for scenario in json.loads(drawn.stdout)] == [
        [[float.fromhex(v).hex() for v in call.split()] for call in line.split(";")[:-1]]
        for line in expected.stdout.splitlines()]


COPIES = {f"pickle-{p}": lambda g, p=p: pickle.loads(pickle.dumps(g, p)) for p in range(6)}
COPIES |= {"copy": copy.copy, "deepcopy": copy.deepcopy}


class Labelled(halvorn.Generator):
    pass


class Slotted(halvorn.Generator):
    __slots__ = ("label",)


@pytest.mark.parametrize("cls", [halvorn.Generator, Labelled, Slotted], ids=lambda cls: cls.__name__)
@pytest.mark.parametrize("make_copy", COPIES.values(), ids=COPIES.keys())
def test_a_copy_goes_on_from_the_same_point_on_its_own(make_copy, cls):
    generator = cls(2**32 - 1)
    if cls is not halvorn.Generator:  # a subclass's attributes go with it: shallow for copy
        generator.label = ["seeded"]
    for method in METHODS:  # odd counts: both normal distributions hold a value
        getattr(generator, method)([627])
    twin = make_copy(generator)
    assert type(twin) is cls and repr(twin) == f"<{cls.__module__}.{cls.__qualname__} seed=4294967295>"
    if cls is not halvorn.Generator:
        assert twin.label == ["seeded"] and (twin.label is generator.label) == (make_copy is copy.copy)
    ahead = [getattr(twin, method)([5]).to_list() for method in METHODS]
    assert [getattr(generator, method)([5]).to_list() for method in METHODS] == ahead


def test_a_pickle_names_only_the_reconstructor():
    data = pickle.dumps(halvorn.Generator(3), 0)
    assert [arg for op, arg, _ in pickletools.genops(data) if "GLOBAL" in op.name] == [
        "halvorn _restore_generator"]


# A pickle's arguments damaged one way each, and seeds out of range or of another type.
REFUSED = {
    "no-arguments": (lambda a: [], TypeError),
    "words-short": (lambda a: [a[0], a[1][:-1], *a[2:]], TypeError),
    "words-zero": (lambda a: [a[0], [2**31 - 1] + [0] * 623, *a[2:]], ValueError),
    "index-past-624": (lambda a: [*a[:2], 625, *a[3:]], ValueError),
    "cached-nan": (lambda a: [*a[:3], math.nan, None], ValueError),
    "cached-infinite": (lambda a: [*a[:4], -math.inf], ValueError),
    "cached-not-float32": (lambda a: [*a[:3], 0.1, None], ValueError),
    "cached-beyond-float32": (lambda a: [*a[:3], 1e300, None], ValueError),
    "cached-text": (lambda a: [*a[:4], "0.5"], TypeError),
    "seed-True": (lambda a: [True, *a[1:]], TypeError),
    "index-True": (lambda a: [*a[:2], True, *a[3:]], TypeError),
    "index-negative": (lambda a: [*a[:2], -1, *a[3:]], ValueError),
    "class-not-a-subclass": (lambda a: [*a, halvorn.TensorFloat64], TypeError),
    **{f"seed-{seed!r}": (seed, error) for seed, error in [
        (-1, ValueError), (2**32, ValueError), (2**100, ValueError), (1.0, TypeError), ("1", TypeError),
        (None, TypeError), (True, TypeError)]},
}


@pytest.mark.parametrize("damage, error", REFUSED.values(), ids=REFUSED.keys())
def test_a_damaged_state_or_a_bad_seed_is_refused(damage, error):
    restore, arguments = halvorn.Generator(3).__reduce__()
    with pytest.raises(error):
        restore(*damage(list(arguments))) if callable(damage) else halvorn.Generator(damage)


@pytest.mark.parametrize("seed", [np.int64(5), np.uint32(5), type("Seed", (), {"__index__": lambda self: 5})()],
                         ids=lambda seed: type(seed).__name__)
def test_any_integer_that_operator_index_reads_is_a_seed(seed):
    restore, arguments = halvorn.Generator(5).__reduce__()
    for generator in (halvorn.Generator(seed), halvorn.Generator(seed=seed), restore(seed, *arguments[1:])):
        assert generator.rand_float64([3]).to_list() == halvorn.Generator(5).rand_float64([3]).to_list()


def test_relabelling_and_unbuilt_instances_are_refused():
    built, tensor = halvorn.Generator(1), halvorn.TensorFloat32([1])
    unbuilt = halvorn.Generator.__new__(halvorn.Generator)
    Sub, conduit = type("Sub", (halvorn.Generator,), {}), type("Conduit", (), {})()
    conduit._pybind11_conduit_v1_ = built._pybind11_conduit_v1_
    assert repr(unbuilt) == "<halvorn.Generator object, not initialised>"
    for call in [lambda: unbuilt.rand_float32([1]), lambda: copy.copy(unbuilt), lambda: pickle.dumps(unbuilt),
                 lambda: halvorn.Generator.rand_float64(tensor, [1]),
                 lambda: halvorn.Generator.randn_float32(conduit, [1]),
                 lambda: setattr(built, "__class__", Sub), lambda: object.__dict__["__class__"].__set__(tensor, Sub),
                 lambda: type("Both", (halvorn.Generator, halvorn.TensorFloat32), {}),
                 lambda: setattr(halvorn.Generator, "rand_float32", None)]:
        with pytest.raises(TypeError):
            call()
    halvorn.Generator.__init__(unbuilt, 1)
    built.__init__(2)  # ignored: the generator is built
    assert repr(Sub(1)) == f"<{__name__}.Sub seed=1>"
    draws = [generator.randn_float64([3]).to_list() for generator in (built, unbuilt, Sub(1))]
    assert draws[0] == draws[1] == draws[2]


def test_a_refused_call_leaves_the_generator_where_it_was():
    generator, twin = halvorn.Generator(5), halvorn.Generator(5)
    with halvorn.errstate(misuse="raise"):
        for shape, error in [([2**62], MemoryError), (["x"], TypeError), ([2**64], TypeError)]:
            with pytest.raises(error):
                generator.randn_float32(shape)
    assert generator.randn_float32([3]).to_list() == twin.randn_float32([3]).to_list()


# A fork needs a process with one thread, which a pytest-xdist worker is not.
@pytest.mark.alone
def test_a_forked_child_goes_on_with_its_parents_state():
    generator = halvorn.Generator(77)
    generator.randn_float64([3])
    reader, writer = os.pipe()
    if (pid := os.fork()) == 0:
        try:
            os.write(writer, json.dumps(generator.randn_float64([4]).to_list()).encode())
        finally:
            os._exit(0)
    os.close(writer)
    with os.fdopen(reader) as pipe:
        assert json.load(pipe) == generator.randn_float64([4]).to_list()
    assert os.waitpid(pid, 0)[1] == 0


def test_each_call_from_either_of_two_threads_takes_one_whole_stretch():
    shared, replay = halvorn.Generator(9), halvorn.Generator(9)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        stretches = list(pool.map(lambda _: tuple(shared.randn_float64([7]).to_list()), range(400)))
    assert sorted(stretches) == sorted(tuple(replay.randn_float64([7]).to_list()) for _ in range(400))
