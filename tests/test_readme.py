"""Every ```python block of README.md runs as printed and passes mypy --strict.

A block runs in a fresh interpreter with the environment that the README tells the reader to set:
the `export NAME=value` lines of the shell blocks before it in the same section, and for a
`pip install ./path` of a project in this repository, that project made importable with its entry
points (no network: its package directory and a .dist-info with entry_points.txt on the path).
A block whose first line is "# readme-test: not run" is only type-checked.
"""

from __future__ import annotations

import os
import re
import shlex
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import quellon_runtime

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.S | re.M)
NOT_RUN = "# readme-test: not run"


def blocks() -> list[tuple[str, str, str]]:
    """(section, language, text) of every fenced block, in order."""
    found, text = [], README.read_text(encoding="utf-8")
    for m in FENCE.finditer(text):
        headings = re.findall(r"^## (.+)$", text[:m.start()], re.M)
        found.append((headings[-1] if headings else "", m.group(1), m.group(2)))
    return found


PYTHON_BLOCKS = [(i, section) for i, (section, lang, _) in enumerate(blocks()) if lang == "python"]


def install_local(line: list[str], site: Path) -> list[str]:
    """Make the local projects of a `pip install ./path ...` line importable; their import roots."""
    roots = []
    for arg in line[2:]:
        project = ROOT / arg
        if arg.startswith("-") or not (project / "pyproject.toml").is_file():
            continue
        meta = tomllib.loads((project / "pyproject.toml").read_text(encoding="utf-8"))
        where = meta.get("tool", {}).get("setuptools", {}).get("packages", {}).get("find", {}).get("where", ["."])
        roots += [str(project / w) for w in where]
        name, version = meta["project"]["name"], meta["project"]["version"]
        info = site / f"{name.replace('-', '_')}-{version}.dist-info"
        info.mkdir(parents=True, exist_ok=True)
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")
        groups = meta["project"].get("entry-points", {})
        (info / "entry_points.txt").write_text("".join(
            f"[{group}]\n" + "".join(f"{k} = {v}\n" for k, v in eps.items()) for group, eps in groups.items()))
    return roots


def reader_environment(index: int, site: Path) -> dict[str, str]:
    section = blocks()[index][0]
    env = {k: v for k, v in os.environ.items() if not k.startswith("QL_")}
    paths = [str(Path(quellon_runtime.__file__).parent.parent), str(site)]
    for sec, lang, text in blocks()[:index]:
        if sec != section or lang not in ("bash", "sh", "shell"):
            continue
        for raw in text.splitlines():
            words = shlex.split(raw, comments=True)
            if words[:1] == ["export"]:
                env.update(w.split("=", 1) for w in words[1:] if "=" in w)
            elif words[:2] == ["pip", "install"]:
                paths += install_local(words, site)
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


@pytest.mark.parametrize("index", [i for i, _ in PYTHON_BLOCKS], ids=[f"{s} #{i}" for i, s in PYTHON_BLOCKS])
def test_readme_python_block_runs_and_type_checks(index, tmp_path):
    code = blocks()[index][2]
    script = tmp_path / f"readme_block_{index}.py"
    script.write_text(code, encoding="utf-8")
    if not code.startswith(NOT_RUN):
        run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=reader_environment(index, tmp_path / "site"),
                             capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stdout + run.stderr
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"))
    check = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent", "--no-error-summary",
                            "--cache-dir", str(ROOT / ".mypy_cache"), str(script)],
                           cwd=ROOT, env=env, capture_output=True, text=True, timeout=900)
    assert check.returncode == 0, check.stdout + check.stderr
