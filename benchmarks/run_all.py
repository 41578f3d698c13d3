"""Runs every benchmark and prints one table: figure, baseline, ratio, target, verdict.

Each benchmark module offers `run() -> list[dict]` with the keys name, measured, baseline, ratio,
target and ok (and optionally unit); baselines are measured in the same process, side by side.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

SUITES = [
    ("pipeline", "bench_pipeline", {}),
    ("throttle", "bench_throttle", {}),
    ("challenges", "bench_challenges", {}),
    ("callers", "bench_callers", {}),
    ("redis", "bench_redis", {}),
    ("serve", "bench_serve", {}),
    ("soak", "soak", {"scale": 0.1}),
]


def _fmt(v: object) -> str:
    if isinstance(v, float):
        return f"{v:.3g}" if abs(v) < 1000 else f"{v:,.0f}"
    return "" if v is None else str(v)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--only", nargs="*", help="suite names to run (default: all)")
    parser.add_argument("--full-soak", action="store_true", help="run the soak at full scale")
    args = parser.parse_args()
    rows: list[tuple[str, dict]] = []
    failures = 0
    for suite, module, kwargs in SUITES:
        if args.only and suite not in args.only:
            continue
        if suite == "soak" and args.full_soak:
            kwargs = {}
        t0 = time.perf_counter()
        try:
            mod = importlib.import_module(module)
            result = mod.run(**kwargs)
        except Exception as exc:  # a broken suite is reported, the others still run
            rows.append((suite, {"name": f"(suite failed: {type(exc).__name__}: {exc})", "ok": False}))
            failures += 1
            continue
        for r in result:
            rows.append((suite, r))
        print(f"[{suite}: {len(result)} figures in {time.perf_counter() - t0:.1f} s]", file=sys.stderr)

    headers = ["suite", "figure", "measured", "baseline", "ratio", "target", "verdict"]
    table = [
        [
            suite,
            r.get("name", ""),
            _fmt(r.get("measured")) + (f" {r['unit']}" if r.get("unit") and r.get("measured") is not None else ""),
            _fmt(r.get("baseline")),
            (f"{r['ratio']:.2f}x" if isinstance(r.get("ratio"), (int, float)) else _fmt(r.get("ratio"))),
            _fmt(r.get("target")),
            "ok" if r.get("ok") else "MISSED",
        ]
        for suite, r in rows
    ]
    widths = [max(len(h), *(len(row[i]) for row in table)) if table else len(h) for i, h in enumerate(headers)]
    sep = "+" + "+".join("-" * (w + 2) for w in widths) + "+"
    print(sep)
    print("| " + " | ".join(h.ljust(w) for h, w in zip(headers, widths)) + " |")
    print(sep)
    for row in table:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(row, widths)) + " |")
    print(sep)
    missed = sum(1 for _, r in rows if not r.get("ok"))
    print(f"{len(rows) - missed} of {len(rows)} targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
