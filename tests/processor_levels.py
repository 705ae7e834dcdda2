"""The instruction-set levels of the build's architecture and those this
processor can run, read from /proc/cpuinfo (independently of the module's own
processor check)."""

import platform

# What each x86-64 level needs, as Linux names the processor's features in
# /proc/cpuinfo (it lists only those the kernel enabled the state for).
X86_LEVELS = {
    "avx2": {"avx2", "fma", "f16c", "bmi2"},
    "avx512": {"avx2", "fma", "f16c", "bmi2", "avx512f", "avx512dq", "avx512bw", "avx512vl"},
    "avx512_bf16": {"avx2", "fma", "f16c", "bmi2", "avx512f", "avx512dq", "avx512bw", "avx512vl", "avx512_bf16"},
}

X86 = platform.machine() in ("x86_64", "AMD64")


def levels_of_this_architecture():
    return ["baseline", *X86_LEVELS] if X86 else ["baseline"]


def levels_of_this_processor():
    levels = ["baseline"]
    if not X86:
        return levels
    with open("/proc/cpuinfo") as info:
        flags = next((line.split(":", 1)[1].split() for line in info if line.startswith("flags")), [])
    return levels + [level for level, needs in X86_LEVELS.items() if needs <= set(flags)]
