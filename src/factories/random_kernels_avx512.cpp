// The random kernels built for AVX-512 F/BW (compiled with -mavx512f -mavx512bw, run only where the CPU has them).
#define HALVORN_RANDOM_NAMESPACE random_avx512
#define HALVORN_VECTOR_BYTES 64
#include "factories/random_kernels.inc"
