"""Shared test set-up: hypothesis profiles and a heap probe.

"ci" (the default) is derandomised and bounded so every run checks the same
examples in a predictable time. "long" explores much further; select it with
PELOR_HYPOTHESIS_PROFILE=long or pytest's --hypothesis-profile=long.
"""

import ctypes
import gc
import os

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci",
    derandomize=True,
    max_examples=60,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "long",
    max_examples=2000,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
# The hypothesis plugin loads --hypothesis-profile after this file, so the
# command-line option still wins over this default.
settings.load_profile(os.environ.get("PELOR_HYPOTHESIS_PROFILE", "ci"))


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")
    ]


def _mallinfo():
    """glibc's mallinfo2, after checking that it sees this process's
    allocations: under a replacement allocator (AddressSanitizer) it does
    not, and the probes cannot work."""
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        pytest.skip("the C library has no mallinfo2")
    libc.mallinfo2.restype = _MallInfo2
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]

    def in_use():
        m = libc.mallinfo2()
        return m.uordblks + m.hblkhd

    for _ in range(3):
        before = in_use()
        blocks = [libc.malloc(4096) for _ in range(64)]
        seen = in_use() - before
        for block in blocks:
            libc.free(block)
        if seen >= 64 * 4096:
            return libc.mallinfo2
    pytest.skip("mallinfo2 does not see this process's allocations (replaced allocator)")


@pytest.fixture
def _quiet_collector():
    # A collection in the middle of a measurement frees unrelated memory.
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    yield
    if was_enabled:
        gc.enable()


@pytest.fixture
def heap_bytes(_quiet_collector):
    """Bytes the C heap has handed out right now, mmapped blocks included
    (large buffers such as tensor storages are mmapped)."""
    info = _mallinfo()

    def measure():
        m = info()
        return m.uordblks + m.hblkhd

    return measure


@pytest.fixture
def heap_growth(_quiet_collector):
    """Bytes of C heap that calling `fn` `count` times leaves allocated.

    The tape is C++ state that Python cannot see; a node appended to it is
    visible as heap that stays allocated (glibc's mallinfo2). Python objects
    live in their own mmap arenas and barely register here.
    """
    info = _mallinfo()

    def measure(fn, count=20000):
        fn()  # warm up caches (NumPy's, the interpreter's) before measuring
        before = info().uordblks
        for _ in range(count):
            fn()
        return info().uordblks - before

    return measure


def pytest_collection_modifyitems(items):
    # Tests marked heavy take minutes under emulation. Collected first, they
    # start early on whichever parallel worker takes them, so the workers end
    # together instead of one running such a test alone at the end.
    items.sort(key=lambda item: item.get_closest_marker("heavy") is None)
