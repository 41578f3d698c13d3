"""Instructions per call under callgrind, shared by the benchmark scripts.

Wall-clock time on a shared 2-core machine drifts by tens of percent; instruction counts do not.
A benchmark script that offers `--loop MODE N` (run MODE's workload N times after a fixed warm-up)
is run twice under callgrind, with N and with 0 calls, so start-up and warm-up cancel out.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile


def available() -> bool:
    return shutil.which("valgrind") is not None


def _refs(script: str, mode: str, n: int) -> int | None:
    with tempfile.TemporaryDirectory() as tmp:
        out = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={tmp}/cg.out", sys.executable,
             script, "--loop", mode, str(n)],
            capture_output=True, text=True,
            # a fixed hash seed: dict probe sequences (and so the count) are the same on every run
            env={**os.environ, "PYTHONHASHSEED": "0"})
    m = re.search(r"refs:\s+([\d,]+)", out.stderr)
    return int(m.group(1).replace(",", "")) if m else None


def per_call(script: str, mode: str, n: int) -> float | None:
    """Instructions per call of MODE's workload in SCRIPT, or None when callgrind gave no count."""
    full, base = _refs(script, mode, n), _refs(script, mode, 0)
    if full is None or base is None:
        return None
    return (full - base) / n


def loop_requested(argv: list[str]) -> tuple[str, int] | None:
    """(mode, n) when the script was started as `script --loop MODE N`."""
    if len(argv) == 4 and argv[1] == "--loop":
        return argv[2], int(argv[3])
    return None


def target_row(script: str, name: str, mode: str, baseline_mode: str, n: int, target: int) -> dict | None:
    """A row for MODE measured against BASELINE_MODE with an upper bound on MODE's instructions per
    call, or None when callgrind gave no count."""
    measured, baseline = per_call(script, mode, n), per_call(script, baseline_mode, n)
    if measured is None or baseline is None:
        return None
    return {"name": name, "measured": measured, "baseline": baseline, "ratio": baseline / measured,
            "target": f"<= {target:,}", "ok": measured <= target, "unit": "instr/call"}


def script_main(run, loop) -> None:
    """Entry point of a benchmark script: one `--loop` workload under callgrind, or every row printed."""
    requested = loop_requested(sys.argv)
    if requested:
        loop(*requested)
    else:
        from _report import print_rows

        print_rows(run())
