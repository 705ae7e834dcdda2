"""binary32 values that probe narrowing to binary16 and bfloat16: every
rounding boundary with its neighbours, and the special values."""

import numpy as np


def f16_boundaries():
    """Every positive binary16 rounding boundary (the midpoints between
    neighbours, and the largest finite value's midpoint towards infinity),
    with the binary32 values just below and above each."""
    finite = np.arange(0, 0x7C00, dtype=np.uint16).view(np.float16).astype(np.float32)
    mids = (finite[:-1].astype(np.float64) + finite[1:].astype(np.float64)) / 2
    mids = np.append(mids, 65520.0).astype(np.float32)  # halfway to 65536
    below = np.nextafter(mids, np.float32(0))
    above = np.nextafter(mids, np.float32(np.inf))
    return np.concatenate([mids, below, above])


def bf16_boundaries():
    finite = (np.arange(0, 0x7F80, dtype=np.uint32) << 16).view(np.float32)
    mids = ((finite[:-1].astype(np.float64) + finite[1:].astype(np.float64)) / 2).astype(np.float32)
    top = np.array([0x7F7F8000], np.uint32).view(np.float32)  # halfway to infinity
    mids = np.concatenate([mids, top])
    below = np.nextafter(mids, np.float32(0))
    above = np.nextafter(mids, np.float32(np.inf))
    return np.concatenate([mids, below, above])


def special_float32():
    rng = np.random.default_rng(11)
    bits = np.concatenate(
        [
            rng.integers(0, 1 << 32, 4000, dtype=np.uint64).astype(np.uint32),  # anything
            np.array(
                [
                    0x00000000, 0x00000001, 0x007FFFFF, 0x00800000,  # f32 zero, subnormals, smallest normal
                    0x33000000, 0x33000001, 0x337FFFFF, 0x33800000,  # around half the smallest f16 subnormal
                    0x387FC000, 0x387FE000, 0x38800000,  # f16 subnormal/normal border
                    0x477FE000, 0x477FEFFF, 0x477FF000, 0x477FFFFF, 0x47800000,  # f16 overflow threshold
                    0x7F7F7FFF, 0x7F7F8000, 0x7F7FFFFF, 0x7F800000,  # bf16 overflow threshold, inf
                    0x7F800001, 0x7F80FFFF, 0x7FBFFFFF, 0x7FC00000, 0x7FC00001, 0x7FFFFFFF,  # NaN payloads
                    0x3F808000, 0x3F818000, 0x3F808001, 0x3F817FFF,  # bf16 ties at 1.0
                ],
                np.uint32,
            ),
        ]
    )
    bits = np.concatenate([bits, bits | 0x80000000])
    return bits.view(np.float32)
