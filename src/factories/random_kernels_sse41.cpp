// The random kernels built for the SSE4.1 baseline.
#define HALVORN_RANDOM_NAMESPACE random_sse41
#define HALVORN_VECTOR_BYTES 16
#include "factories/random_kernels.inc"
