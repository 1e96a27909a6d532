"""The demo is the first thing a user runs: it must keep working end to end."""

import pathlib
import subprocess
import sys

from helpers import SUBPROCESS_TIMEOUT_S

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_runs_and_checks_itself_without_a_terminal():
    # Piped output: plain lines instead of redraws. The demo verifies what it
    # shows and exits non-zero on any wrong result.
    done = subprocess.run(
        [sys.executable, str(DEMO)],
        capture_output=True,
        text=True,
        timeout=SUBPROCESS_TIMEOUT_S,
        check=False,
    )
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    assert "all checks passed" in done.stdout
    assert "\x1b[" not in done.stdout
