// The dot-product kernel built for AVX2 (compiled with -mavx2, run only where the CPU has it).
#define HALVORN_DOT_NAMESPACE dot_avx2
#define HALVORN_VECTOR_BYTES 32
#include "core/operations/dot_kernels.inc"
