"""The wheel builds that pyproject.toml asks cibuildwheel for, per platform.

The public CI workflow builds and tests exactly these; this machine can only list them.
"""
import importlib.util
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = pytest.mark.skipif(importlib.util.find_spec("cibuildwheel") is None,
                                reason="cibuildwheel is not installed (it comes with the 'test' extra)")

PYTHONS = ("cp312", "cp313")
EXPECTED = {
    "linux": {f"{py}-manylinux_x86_64" for py in PYTHONS},
    "windows": {f"{py}-win_amd64" for py in PYTHONS},
    "macos": {f"{py}-macosx_{arch}" for py in PYTHONS for arch in ("x86_64", "arm64")},
}


def build_identifiers(platform):
    # A CI runner's CIBW_* settings (CIBW_ARCHS for one runner, say) would narrow the list: the
    # project's own configuration is what is checked here.
    env = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
    proc = subprocess.run([sys.executable, "-m", "cibuildwheel", "--print-build-identifiers",
                           "--platform", platform, ROOT],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


@pytest.mark.parametrize("platform", sorted(EXPECTED))
def test_build_identifiers_are_exactly_the_intended_wheels(platform):
    identifiers = build_identifiers(platform)
    assert len(identifiers) == len(set(identifiers)), identifiers
    assert set(identifiers) == EXPECTED[platform]

