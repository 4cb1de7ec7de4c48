"""The C++ sources follow .clang-format (no line over its 100 columns)."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def cpp_sources():
    try:
        listed = subprocess.run(["git", "ls-files", "*.cpp", "*.h"], cwd=ROOT, check=True,
                                capture_output=True, text=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("not a git checkout")
    return [str(ROOT / f) for f in listed]


@pytest.mark.skipif(shutil.which("clang-format") is None, reason="clang-format not installed")
def test_cpp_sources_are_formatted():
    result = subprocess.run(["clang-format", "--dry-run", "--Werror", *cpp_sources()], cwd=ROOT,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[:4000]
