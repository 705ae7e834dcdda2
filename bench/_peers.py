"""The libraries every benchmark compares against, set up alike: one thread
each (NumPy's BLAS included, so import this before NumPy), and None for a
peer that is not installed."""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

try:
    import ml_dtypes
except ImportError:  # bfloat16 cases need a NumPy dtype named "bfloat16"
    ml_dtypes = None

try:
    import torch

    torch.set_num_threads(1)
except ImportError:
    torch = None
