#!/usr/bin/env python3
"""Times every benchmark case of bench/*.py against NumPy and PyTorch.

Each module beside this file that defines cases() contributes a list of
(name, ours, numpy_or_None, torch_or_None) tuples of zero-argument callables;
one that also defines notes() has the lines it returns printed under its table.
For every case the three callables are timed in turns: timeit's autorange
sizes one batch of calls per callable (at least --min-time seconds), then
--repeat rounds time one batch of each, interleaved, so that a change in the
machine's load touches all three alike. The reported time is the median per
call; the ratios are ours / NumPy and ours / PyTorch (below 1 means faster).
Everything runs on one thread: PyTorch is set to one thread, and the BLAS
behind NumPy is asked for one thread before NumPy is imported.

  python3 bench/run.py                        # every case
  python3 bench/run.py --filter matmul        # cases whose name contains it
  python3 bench/run.py --markdown bench.md    # also write a Markdown table
"""

import argparse
import datetime
import importlib.util
import os
import platform
import statistics
import sys
import timeit
from pathlib import Path

from _peers import torch  # first: sets up one BLAS thread for NumPy

import numpy as np

import pelor_core


HERE = Path(__file__).resolve().parent


def load_modules(only=None):
    """The benchmark modules beside this file, in name order."""
    modules = []
    for path in sorted(HERE.glob("*.py")):
        if path.name == Path(__file__).name or path.name.startswith("_"):
            continue
        if only and path.stem not in only:
            continue
        spec = importlib.util.spec_from_file_location(f"bench_{path.stem}", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        if callable(getattr(module, "cases", None)):
            modules.append((path.stem, module))
    return modules


def batch_size(fn, min_time):
    timer = timeit.Timer(fn)
    number, elapsed = timer.autorange()
    while elapsed < min_time:
        number *= 2
        elapsed = timer.timeit(number)
    return number


def measure(fns, repeat, min_time):
    """Median seconds per call of each callable; None stays None."""
    live = [(i, fn) for i, fn in enumerate(fns) if fn is not None]
    for _, fn in live:
        fn()  # warm up: first-use costs (NumPy import, dtype lookups) are not timed
    numbers = {i: batch_size(fn, min_time) for i, fn in live}
    samples = {i: [] for i, _ in live}
    for _ in range(repeat):
        for i, fn in live:
            samples[i].append(timeit.Timer(fn).timeit(numbers[i]) / numbers[i])
        # Cases that record on the tape would otherwise grow it without bound.
        pelor_core.Tensor.clear_graph()
    return [statistics.median(samples[i]) if i in samples else None for i in range(len(fns))]


def fmt_time(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.2f} {unit}"
    return f"{seconds / 1e-9:.0f} ns"


def fmt_ratio(ours, theirs):
    return f"{ours / theirs:.2f}" if ours is not None and theirs else "-"


HEADER = ["case", "ours", "numpy", "torch", "ours/numpy", "ours/torch"]


def row_of(name, times):
    ours, np_time, torch_time = times
    return [name, fmt_time(ours), fmt_time(np_time), fmt_time(torch_time), fmt_ratio(ours, np_time),
            fmt_ratio(ours, torch_time)]


def table_printer(names, out=sys.stdout):
    """Prints the header now and returns a function that prints one row, so
    results appear as they are measured."""
    widths = [max(len(n) for n in names + [HEADER[0]])] + [max(10, len(h)) for h in HEADER[1:]]

    def line(cells):
        return f"{cells[0]:<{widths[0]}}  " + " ".join(f"{c:>{w}}" for c, w in zip(cells[1:], widths[1:]))

    print(line(HEADER), file=out)
    print("-" * len(line(HEADER)), file=out, flush=True)
    return lambda cells: print(line(cells), file=out, flush=True)


def machine_summary():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for text in f:
                if text.startswith("model name"):
                    cpu = text.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    versions = [f"Python {platform.python_version()}", f"NumPy {np.__version__}"]
    if torch is not None:
        versions.append(f"PyTorch {torch.__version__}")
    return f"{cpu}, {os.cpu_count()} logical CPUs; {', '.join(versions)}; one thread each"


def write_markdown(path, sections, settings):
    lines = [
        "# Benchmarks",
        "",
        f"{datetime.date.today().isoformat()}: {machine_summary()}.",
        f"Median of {settings.repeat} interleaved batches of at least {settings.min_time} s each; "
        "ratios below 1 mean pelor_core is faster.",
        "",
    ]
    for module, rows in sections:
        lines += [f"## {module}", "", "| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
        lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
        lines.append("")
    Path(path).write_text("\n".join(lines))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--filter", default="", help="only cases whose name contains this text")
    parser.add_argument("--module", action="append", help="only this bench module (repeatable), e.g. matmul")
    parser.add_argument("--markdown", metavar="FILE", help="also write the results as a Markdown table")
    parser.add_argument("--repeat", type=int, default=7, help="timed rounds per case (default 7)")
    parser.add_argument("--min-time", type=float, default=0.02, help="seconds per timed batch (default 0.02)")
    args = parser.parse_args(argv)

    print(machine_summary())
    sections = []
    for module_name, module in load_modules(args.module):
        cases = [c for c in module.cases() if args.filter in c[0]]
        if not cases:
            continue
        print(f"\n[{module_name}]")
        print_row = table_printer([c[0] for c in cases])
        rows = []
        for name, ours, np_fn, torch_fn in cases:
            rows.append(row_of(name, measure([ours, np_fn, torch_fn], args.repeat, args.min_time)))
            print_row(rows[-1])
        if callable(getattr(module, "notes", None)) and not args.filter:
            for text in module.notes():
                print(text, flush=True)
        sections.append((module_name, rows))
        pelor_core.Tensor.clear_graph()
    if args.markdown:
        write_markdown(args.markdown, sections, args)
        print(f"\nwrote {args.markdown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
