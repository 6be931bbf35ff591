// The dot-product kernel built for the SSE4.1 baseline.
#define HALVORN_DOT_NAMESPACE dot_sse41
#define HALVORN_VECTOR_BYTES 16
#include "core/operations/dot_kernels.inc"
