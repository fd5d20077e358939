# SPDX-License-Identifier: MIT
"""The Python example of docs/python.md as written, and the command line, against the simulated camera."""

import json
import re
import subprocess
import sys

import numpy as np
from conftest import ROOT, subprocess_env


def run(args, cwd):
    done = subprocess.run(args, cwd=cwd, env=subprocess_env(), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_docs_example_runs_as_written(tmp_path):
    page = (ROOT / "docs" / "python.md").read_text()
    section = page.split("\n## An example\n", 1)[1].split("\n## ", 1)[0]
    example = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    (tmp_path / "example.py").write_text(example)
    out = run([sys.executable, "example.py"], tmp_path)
    assert "SIM0001" in out
    assert int(re.search(r"(\d+) bytes/s", out).group(1)) > 1_000_000
    table = np.loadtxt(tmp_path / "spectrum.csv", delimiter=",", skiprows=1)
    assert (tmp_path / "spectrum.csv").read_text().startswith("pixel,counts\n")
    assert table.shape == (2048, 2) and table[:, 0].tolist() == list(range(2048))
    assert 0 < table[8:, 1].mean() < 4096


def test_command_line_capture_and_info(tmp_path):
    run([sys.executable, "-m", "vantorpi", "capture", "--lines", "100", "--out", "lines.npy"], tmp_path)
    lines = np.load(tmp_path / "lines.npy")
    assert lines.shape == (100, 2048) and lines.dtype == np.uint16
    assert lines[:, :4].copy().view("<u8")[:, 0].tolist() == list(range(100))
    info = json.loads(run([sys.executable, "-m", "vantorpi", "--serial", "SIM0001", "info"], tmp_path))
    assert (info["serial"], info["packet_length"], info["sensor"]["type"]) == ("SIM0001", 4096, "0x1000")
