// The dot-product kernel built for AVX-512 F/BW (compiled with -mavx512f -mavx512bw, run only
// where the CPU has them).
#define HALVORN_DOT_NAMESPACE dot_avx512
#define HALVORN_VECTOR_BYTES 64
#include "core/operations/dot_kernels.inc"
