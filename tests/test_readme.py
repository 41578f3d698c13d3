"""Every ```python block of README.md runs as printed, with the environment the README tells the
reader to set, and passes mypy --strict. A block starting "# readme-test: not run" is only checked."""

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
TEXT = (ROOT / "README.md").read_text(encoding="utf-8")
# (section, language, code) of every fenced block, in order.
BLOCKS = [(([""] + re.findall(r"^## (.+)$", TEXT[:m.start()], re.M))[-1], m[1], m[2])
          for m in re.finditer(r"^```(\w*)\n(.*?)^```", TEXT, re.S | re.M)]


def install_local(project: Path, site: Path) -> list[str]:
    """What `pip install ./project` gives, without a network: import roots and its entry points."""
    meta = tomllib.loads((project / "pyproject.toml").read_text(encoding="utf-8"))
    name, version = meta["project"]["name"], meta["project"]["version"]
    info = site / f"{name.replace('-', '_')}-{version}.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")
    (info / "entry_points.txt").write_text("".join(f"[{group}]\n" + "".join(f"{k} = {v}\n" for k, v in eps.items())
                                                   for group, eps in meta["project"].get("entry-points", {}).items()))
    where = meta.get("tool", {}).get("setuptools", {}).get("packages", {}).get("find", {}).get("where", ["."])
    return [str(project / w) for w in where]


def reader_environment(index: int, site: Path) -> dict[str, str]:
    """The environment without QL_ settings, plus the exports and local installs of the shell blocks
    before the block in its section."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("QL_")}
    paths = [str(Path(quellon_runtime.__file__).parent.parent), str(site)]
    for section, lang, code in BLOCKS[:index]:
        if section != BLOCKS[index][0] or lang not in ("bash", "sh", "shell"):
            continue
        for words in map(lambda line: shlex.split(line, comments=True), code.splitlines()):
            if words[:1] == ["export"]:
                env.update(w.split("=", 1) for w in words[1:] if "=" in w)
            elif words[:2] == ["pip", "install"]:
                for arg in words[2:]:
                    if (ROOT / arg / "pyproject.toml").is_file():
                        paths += install_local(ROOT / arg, site)
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


PYTHON = [i for i, (_, lang, _) in enumerate(BLOCKS) if lang == "python"]


@pytest.mark.parametrize("index", PYTHON, ids=[f"{BLOCKS[i][0]} #{i}" for i in PYTHON])
def test_readme_python_block_runs_and_type_checks(index, tmp_path):
    script = tmp_path / f"readme_block_{index}.py"
    script.write_text(BLOCKS[index][2], encoding="utf-8")
    if not BLOCKS[index][2].startswith("# readme-test: not run"):
        run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                             env=reader_environment(index, tmp_path / "site"), timeout=300)
        assert run.returncode == 0, run.stdout + run.stderr
    pytest.importorskip("mypy")
    check = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent", "--no-error-summary",
                            "--cache-dir", str(ROOT / ".mypy_cache"), str(script)], cwd=ROOT, capture_output=True,
                           text=True, env=dict(os.environ, MYPYPATH=str(ROOT / "src")), timeout=900)
    assert check.returncode == 0, check.stdout + check.stderr
