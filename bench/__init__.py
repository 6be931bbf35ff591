"""halvorn against NumPy: interleaved timings, ratios and targets.

Run it through the entry script, which builds the module first and runs
python3.14 -m bench with the checkout on the path:

    ./dev bench                 # full run, a few minutes
    ./dev bench --quick         # fewer sizes and rounds, seconds
    ./dev bench --cap avx2      # the kernels capped at an instruction set
    ./dev bench --publish       # a full run per instruction set this CPU runs,
                                # each publishing its table and plot to docs/;
                                # the targets summary of every published set
                                # into docs/benchmarks.md
    ./dev bench --publish --cap avx2    # one set's part alone

Absolute times on shared machines swing by a factor of two from one run to the
next, so nothing here is judged by an absolute time. Every case times halvorn
and its peers in the same process, in alternating rounds, and reports the ratio
halvorn time / peer time taken within each round (the median over rounds).

Peers, one set per case family:
- "numpy": the NumPy call that does the same work the way halvorn does it
  (allocating its result where halvorn allocates one).
- "numpy_out": the same ufunc writing into a preallocated array.
- "limit": a NumPy call that moves exactly as many bytes as the halvorn
  operation must, as a stand-in for the memory-traffic limit: an element-wise
  halvorn operation on n elements reads two 16-byte packets and writes one per
  element (48n bytes), like np.add(x, y, out=z) on float64 arrays of 2n
  elements; a constant fill writes 16n bytes, like z.fill(v) on 2n float64;
  a tensor's values going out of their packets and back (pickling, Dask)
  read 16n and write itemsize * n, then the reverse, like np.copyto casting
  2n int64 into 2n integers of half the element's width and back.
- "peak": the exact-order peak of dot's multiply-then-add pairs.
- "numbers": making the Python numbers that to_list returns, the cheapest way.

halvorn is single-threaded, so OpenBLAS is held to one thread. OpenBLAS reads
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE once when it loads; when either is set,
the harness starts itself again without them so that NumPy runs the kernel
OpenBLAS picks for this processor, and says so in its output.

Outputs (in --out, default bench-results/; a full --publish writes one
directory per set there): bench.md (tables), bench.json (every sample),
bench.png (time per element against n). Each names the instruction set of
the kernels it measured and the CPU.

Modules:
- environment: the BLAS environment, settled before NumPy loads.
- kernels: the instruction set of halvorn's kernels, and --cap.
- settings: sizes and timing settings of full and quick runs.
- timing: calibration, alternating rounds, per-case summaries (Run.case).
- operands: element types, operands made by the module, exact comparisons.
- limits: the memory-traffic limits, the NumPy read reference, the
  exact-order peak kernel and the cost of making Python numbers.
- cases/: one module per case family (see cases/__init__.py to add one).
- targets: every target, in the order the summary shows them.
- report, plot: bench.md, the targets summary, --publish and its
  summary of every published set; bench.png.
- machine: what ran where (BLAS, processor, revision).
- cli: arguments and the run itself.
"""
