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
