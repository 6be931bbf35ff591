"""python3.14 -m bench, with the checkout on sys.path (./dev bench does that)."""

import sys

from .environment import settle_blas_environment

if __name__ == "__main__":
    settle_blas_environment(sys.argv[1:])

    from .cli import main  # NumPy loads here, after the BLAS environment is settled

    sys.exit(main(sys.argv[1:]))
