"""Plain-text output shared by the benchmark scripts run on their own."""

from __future__ import annotations

import os
from typing import Iterable


def print_rows(rows: Iterable[dict]) -> None:
    if hasattr(os, "getloadavg"):
        print(f"# load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print("name | measured | baseline | ratio | target")
    for r in rows:
        line = f"{r['name']} | {r['measured']} | {r['baseline']} | {r['ratio']} | {r['target']}"
        if not r["ok"]:
            line += "  (MISSED)"
        print(line)
        if r.get("note"):
            print(f"    note: {r['note']}")


def row(name, measured, baseline, ratio, target, ok, unit=""):
    """One table row; float figures are shown to four significant digits with their unit."""
    return {
        "name": name,
        "measured": f"{measured:.4g}{unit}" if isinstance(measured, float) else measured,
        "baseline": f"{baseline:.4g}{unit}" if isinstance(baseline, float) else baseline,
        "ratio": round(ratio, 3),
        "target": target,
        "ok": ok,
    }
