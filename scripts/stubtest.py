"""Run mypy's stubtest over every native module of the installed quellon_runtime.

    python scripts/stubtest.py      (with the environment whose package is to be checked)

The modules are the package's extension modules (private ones, a leading underscore, excluded);
scripts/stubtest-allowlist.txt lists what stubtest cannot check. Exit status is stubtest's.
"""

from __future__ import annotations

import importlib.machinery
import subprocess
import sys
from pathlib import Path

import quellon_runtime


def native_modules() -> list[str]:
    root = Path(quellon_runtime.__file__).parent
    found = []
    for path in root.rglob("*"):
        rel = path.relative_to(root)
        if path.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)) and not any(
            part.startswith(("_", ".")) for part in rel.parts
        ):
            found.append(".".join(("quellon_runtime", *rel.parent.parts, path.name.split(".")[0])))
    return sorted(found)


def main() -> int:
    modules = native_modules()
    if not modules:
        print("stubtest.py: no native modules found next to", quellon_runtime.__file__, file=sys.stderr)
        return 1
    allowlist = Path(__file__).with_name("stubtest-allowlist.txt")
    cmd = [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist), *modules]
    return subprocess.call(cmd)


if __name__ == "__main__":
    sys.exit(main())
