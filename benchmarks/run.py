"""Times the road of a picture through vantrel against a plain copy of the picture and against
the same road in NumPy, on synthetic whiteboard photos, and prints one table.

    .venv/bin/python benchmarks/run.py                 # 1, 12 and 48 megapixels
    .venv/bin/python benchmarks/run.py --sizes 1 --repeat 3

Each size runs in a process of its own, so the peak memory of one does not hide another's.
Before anything is timed, the NumPy road is checked to leave the same bytes as the module after
every step; a difference stops the run.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy_road  # noqa: E402
import pictures  # noqa: E402

STEPS = ["SetData", "Calculate", "CalculateColorRange", "SetColors", "RemoveNoise", "Flatten", "GetData"]
ROAD = "whole road"
FRESH = "CreateArrays..Cleanup"  # the whole road on fresh buffers
LIMIT = 2  # speck limit of RemoveNoise


# --- memory -----------------------------------------------------------------------------------


def _status(field: str) -> int:
    """A field of /proc/self/status in bytes, or 0 where there is none."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def _reset_peak() -> bool:
    """Starts a new resident-set peak (Linux: writing 5 to clear_refs resets VmHWM)."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


# --- one size, in a child process ---------------------------------------------------------------


def _plane(pointer: str, size: int) -> bytes:
    """The bytes a pointer string such as "_7f12a0_unsigned_char_p" points at."""
    address = int(pointer[1:].split("_", 1)[0], 16)
    return ctypes.string_at(address, size)


def _module_state(vantrel) -> dict:
    c = vantrel.cvar
    m = c.outWidth * c.outHeight
    state = {name: _plane(getattr(c, name), m) for name in ("outRed", "outGreen", "outBlue")}
    state["inks"] = [
        (getattr(c, ink + "InkMin"), getattr(c, ink + "InkMax"), getattr(c, ink + "InkRange"))
        for ink in ("red", "green", "blue")
    ]
    return state


def _road_state(road: numpy_road.Road) -> dict:
    state = {
        name: getattr(road, attr).tobytes()
        for name, attr in (("outRed", "out_red"), ("outGreen", "out_green"), ("outBlue", "out_blue"))
    }
    state["inks"] = [(road.ink_min[k], road.ink_max[k], road.ink_range[k]) for k in range(3)]
    return state


def _module_calls(vantrel, picture):
    return {
        "SetData": lambda: vantrel.SetData(picture),
        "Calculate": vantrel.Calculate,
        "CalculateColorRange": vantrel.CalculateColorRange,
        "SetColors": vantrel.SetColors,
        "RemoveNoise": lambda: vantrel.RemoveNoise(LIMIT),
        "Flatten": vantrel.Flatten,
        "GetData": vantrel.GetData,
    }


def _road_calls(road, picture_array):
    return {
        "SetData": lambda: road.SetData(picture_array),
        "Calculate": road.Calculate,
        "CalculateColorRange": road.CalculateColorRange,
        "SetColors": road.SetColors,
        "RemoveNoise": lambda: road.RemoveNoise(LIMIT),
        "Flatten": road.Flatten,
        "GetData": road.GetData,
    }


def _time_road(calls: dict, repeat: int) -> dict:
    """Runs the road repeat times; the median of every step and of the whole road, in seconds.
    The result of GetData is dropped at once, as a script that writes it out would."""
    times = {step: [] for step in STEPS + [ROAD]}
    for _ in range(repeat):
        start = time.perf_counter()
        for step in STEPS:
            t0 = time.perf_counter()
            calls[step]()
            times[step].append(time.perf_counter() - t0)
        times[ROAD].append(time.perf_counter() - start)
    return {step: statistics.median(values) for step, values in times.items()}


def measure(megapixels: float, repeat: int, numpy_repeat: int) -> dict:
    import vantrel

    width, height = pictures.dimensions(megapixels)
    out_width, out_height = (width - 1) // 2, (height - 1) // 2
    picture = pictures.whiteboard(width, height)
    picture_array = np.frombuffer(picture, dtype=np.uint8)

    copy_target = np.empty_like(picture_array)
    copies = []
    for _ in range(max(repeat, 5)):
        t0 = time.perf_counter()
        np.copyto(copy_target, picture_array)
        copies.append(time.perf_counter() - t0)
    del copy_target

    c = vantrel.cvar
    c.width, c.height, c.outWidth, c.outHeight = width, height, out_width, out_height
    vantrel.CreateArrays()
    road = numpy_road.Road(width, height, out_width, out_height)

    # Exactness first: after every step the NumPy road must hold the module's bytes.
    module_calls = _module_calls(vantrel, picture)
    road_calls = _road_calls(road, picture_array)
    for step in STEPS:
        ours, theirs = module_calls[step](), road_calls[step]()
        if step == "GetData":
            same = ours == theirs
        else:
            same = _module_state(vantrel) == _road_state(road)
        if not same:
            raise SystemExit(f"the NumPy road differs from the module after {step} at {megapixels} MP")

    # The module: the peak counts what the road needs beyond the picture and the buffers.
    del road, road_calls
    resident = _status("VmRSS")
    peak_known = _reset_peak()
    module_times = _time_road(module_calls, repeat)
    module_peak = _status("VmHWM") - resident if peak_known else _status("VmHWM")

    # The same road on fresh buffers, as a script runs it once per picture: the first touch of
    # newly allocated planes is part of its cost.
    fresh = []
    for _ in range(repeat):
        vantrel.Cleanup()
        t0 = time.perf_counter()
        vantrel.CreateArrays()
        for step in STEPS:
            module_calls[step]()
        vantrel.Cleanup()
        fresh.append(time.perf_counter() - t0)
    vantrel.CreateArrays()
    module_times[FRESH] = statistics.median(fresh)

    road = numpy_road.Road(width, height, out_width, out_height)
    road_calls = _road_calls(road, picture_array)
    resident = _status("VmRSS")
    _reset_peak()
    road_times = _time_road(road_calls, numpy_repeat)
    road_peak = _status("VmHWM") - resident if peak_known else _status("VmHWM")

    return {
        "megapixels": width * height / 1e6,
        "size": f"{width}x{height}",
        "copy": statistics.median(copies),
        "module": module_times,
        "numpy": road_times,
        "module_peak": module_peak,
        "numpy_peak": road_peak,
        "peak_is_growth": peak_known,
        "buffers": 3 * width * height + 1 + 3 * width * height + 3 * out_width * out_height,
    }


# --- the table ------------------------------------------------------------------------------------


def _mb(n: int) -> str:
    return f"{n / 1e6:.0f} MB"


def print_table(results: list[dict]) -> None:
    header = f"{'picture':>18} {'step':<20} {'median':>10} {'MP/s':>8} {'x copy':>8} {'NumPy':>10} {'NumPy/us':>9}"
    print(header)
    print("-" * len(header))
    for r in results:
        label = f"{r['megapixels']:.1f} MP {r['size']}"
        print(f"{label:>18} {'copy of the input':<20} {r['copy'] * 1e3:8.2f}ms {r['megapixels'] / r['copy']:8.0f}")
        for step in STEPS + [ROAD]:
            ours, theirs = r["module"][step], r["numpy"][step]
            print(
                f"{'':>18} {step:<20} {ours * 1e3:8.2f}ms {r['megapixels'] / ours:8.0f} {ours / r['copy']:8.2f}"
                f" {theirs * 1e3:8.1f}ms {theirs / ours:9.1f}"
            )
        ours = r["module"][FRESH]
        print(f"{'':>18} {FRESH:<20} {ours * 1e3:8.2f}ms {r['megapixels'] / ours:8.0f} {ours / r['copy']:8.2f}")
        growth = "growth over the picture and buffers" if r["peak_is_growth"] else "peak resident set"
        print(
            f"{'':>18} memory ({growth}): module road {_mb(r['module_peak'])}, NumPy road"
            f" {_mb(r['numpy_peak'])}; module buffers {_mb(r['buffers'])}"
        )
    if len(results) > 1:
        small, large = results[-2], results[-1]
        scale = large["module"][ROAD] / small["module"][ROAD]
        print(
            f"\nwhole road {large['megapixels']:.0f} MP / {small['megapixels']:.0f} MP: {scale:.2f}x"
            f" for {large['megapixels'] / small['megapixels']:.2f}x the pixels"
        )


def combine(runs: list[dict]) -> dict:
    """One result from several runs of a size: the median of every time and of the peaks."""
    result = dict(runs[0])
    result["copy"] = statistics.median(r["copy"] for r in runs)
    for side in ("module", "numpy"):
        result[side] = {step: statistics.median(r[side][step] for r in runs) for step in runs[0][side]}
    for peak in ("module_peak", "numpy_peak"):
        result[peak] = int(statistics.median(r[peak] for r in runs))
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1,12,48", help="megapixels, comma-separated (default 1,12,48)")
    parser.add_argument("--repeat", type=int, default=7, help="runs of the module road per size (default 7)")
    parser.add_argument("--numpy-repeat", type=int, default=3, help="runs of the NumPy road per size (default 3)")
    parser.add_argument(
        "--runs",
        type=int,
        default=1,
        help="processes per size; the table shows the median of their medians (default 1)",
    )
    parser.add_argument("--json", action="store_true", help="print the results as JSON instead of a table")
    parser.add_argument("--table", metavar="FILE", help="print the table of results saved earlier with --json")
    parser.add_argument("--child", type=float, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child is not None:
        print(json.dumps(measure(args.child, args.repeat, args.numpy_repeat)))
        return

    if args.table:
        print_table(json.loads(Path(args.table).read_text()))
        return

    results = []
    for size in (float(s) for s in args.sizes.split(",")):
        command = [
            sys.executable,
            __file__,
            "--child",
            str(size),
            "--repeat",
            str(args.repeat),
            "--numpy-repeat",
            str(args.numpy_repeat),
        ]
        runs = []
        for run in range(args.runs):
            print(f"measuring {size:g} MP, run {run + 1} of {args.runs}", file=sys.stderr, flush=True)
            child = subprocess.run(command, stdout=subprocess.PIPE, text=True, env=dict(os.environ))
            if child.returncode != 0:
                sys.exit(child.returncode)
            runs.append(json.loads(child.stdout))
        results.append(combine(runs))
    if args.json:
        print(json.dumps(results, indent=2))
    else:
        print_table(results)


if __name__ == "__main__":
    main()
