"""Shared helpers of the Python tests: scratch folders holding the bundled profile, and the
built programs (their paths come from CTest's environment)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

SOURCE_DIR = Path(os.environ.get("ASCENT_SOURCE_DIR", Path(__file__).resolve().parents[2]))
PROFILE = SOURCE_DIR / "data" / "s1.dat"


def program(variable):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        pytest.fail(f"{variable} must name the built program (the tests run through CTest)")
    return path


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A fresh working directory holding s1.dat, made the current one."""
    shutil.copy(PROFILE, tmp_path / "s1.dat")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run_ascent(folder, answers, *options):
    """Runs the ascent program in `folder` with the answers on standard input."""
    return subprocess.run([program("ASCENT_BINARY"), *options], input=answers.encode(), cwd=folder,
                          capture_output=True, timeout=120)


def table_lines(text):
    """The step-table lines of a main output: ten numbers a line, found by their shape alone."""
    lines = []
    for line in text.split(b"\r\n"):
        fields = line.split()
        if len(fields) != 10:
            continue
        try:
            lines.append([float(f) for f in fields])
        except ValueError:
            continue
    return lines
