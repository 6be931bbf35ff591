// The random kernels built for AVX2 (compiled with -mavx2, run only where the CPU has it).
#define HALVORN_RANDOM_NAMESPACE random_avx2
#define HALVORN_VECTOR_BYTES 32
#include "factories/random_kernels.inc"
