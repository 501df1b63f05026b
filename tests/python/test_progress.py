"""The progress line as a user sees it on standard error.

Each case runs the module in a fresh interpreter whose stderr is a pipe: no terminal, so the
line is fitted to 80 columns. Cases skip while the function they need is not wired in yet.
"""

import re
import subprocess
import sys

import pytest

NOT_YET = "is not available yet !"


def run(code):
    """Runs code in a fresh interpreter; returns (stdout, stderr) as text."""
    done = subprocess.run(
        [sys.executable, "-c", "import vexa_stats\n" + code], capture_output=True, timeout=300
    )
    # Decoded by hand: text mode would turn the display's carriage returns into newlines.
    out, err = done.stdout.decode(), done.stderr.decode()
    if NOT_YET in err:
        pytest.skip(err.strip().splitlines()[-1])
    assert done.returncode == 0, err
    return out, err


def final_line(err):
    """The display's last line: after the last carriage return, ended by the newline."""
    assert err.endswith("\n"), repr(err)
    line = err[err.rfind("\r") + 1 : -1]
    # An unpadded final line clears whatever a longer earlier line left behind it.
    return line.removesuffix("\x1b[K")


def test_enumeration_ends_on_its_walk_count():
    # 150 cubic walks of four points: OEIS A001412 (a(3) = 150).
    out, err = run(
        "print(len(vexa_stats.sample_solutions(4, method='enumerate', lattice='cubic',"
        " pbar=True)))"
    )
    assert out == "150\n"
    assert re.fullmatch(r"150it \[00:0\d, \d+\.\d\dit/s\]", final_line(err)), repr(err)


@pytest.mark.parametrize("method", ["pivot", "dimerize"])
def test_sampler_ends_full(method):
    out, err = run(
        f"print(len(vexa_stats.sample_solutions(8, sample_size=20, method={method!r},"
        " lattice='fcc', pbar=True)))"
    )
    assert out == "20\n"
    line = final_line(err)
    assert re.fullmatch(r"100%\|█+\| 20/20 \[00:0\d<00:00, \d+\.\d\dit/s\]", line), repr(line)
    assert len(line) == 80
    # The first drawing shows the empty bar before any sample: 80 - 5 - 23 = 52 spaces.
    assert "\r  0%|" + " " * 52 + "| 0/20 [00:00<?, ?it/s]" in err


@pytest.mark.parametrize("method", ["pivot", "dimerize"])
def test_empty_sample_opens_and_closes_at_zero(method):
    out, err = run(
        f"print(vexa_stats.sample_solutions(5, sample_size=0, method={method!r}, pbar=True))"
    )
    assert out == "[]\n"
    # 80 columns: "  0%|" and "| 0/0 [00:00<?, ?it/s]" leave a bar of 53 spaces.
    assert final_line(err) == "  0%|" + " " * 53 + "| 0/0 [00:00<?, ?it/s]"


@pytest.mark.parametrize("method", ["pivot", "dimerize", "enumerate"])
def test_nothing_written_without_pbar(method):
    out, err = run(
        f"print(len(vexa_stats.sample_solutions(4, sample_size=3, method={method!r},"
        " lattice='cubic')))"
    )
    assert out == ("150\n" if method == "enumerate" else "3\n")
    assert err == ""


def test_failed_run_leaves_its_last_line():
    # The cost fails on the third structure: three samples were counted, the line is closed
    # with a newline and the failure reaches the caller.
    out, err = run(
        """
calls = 0
def cost(seq, coordinates):
    global calls
    calls += 1
    if calls == 3:
        raise RuntimeError("third")
    return 0.0
model = [[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [7.6, 0.0, 0.0], [11.4, 0.0, 0.0]]
try:
    vexa_stats.correlation("AAAA", [model], cost, sample_size=10, method="dimerize",
                           lattice="cubic", pbar=True)
except BaseException as error:
    if "is not available yet !" in str(error):
        raise
    print(type(error).__name__, calls)
"""
    )
    assert out == "PanicException 3\n"
    line = final_line(err)
    assert re.fullmatch(r" 30%\|█+[ ▏▎▍▌▋▊▉█]? *\| 3/10 \[.*\]", line), repr(line)
