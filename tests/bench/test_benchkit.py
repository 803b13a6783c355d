"""The one bench report: readable times, ratios ours / peer with targets
that meet or miss, a missing peer skipped with a line, the rows recorded
for `make bench`'s summary table, and bench files that all use it."""

import ast
import glob
import json
import os
import pathlib
import sys

import pytest

from conftest import ROOT

sys.path.insert(0, os.path.join(ROOT, "bench"))
import benchkit  # noqa: E402
import run_all  # noqa: E402

PEERS = {"pydantic", "msgspec", "attr", "attrs", "traitlets"}


@pytest.mark.parametrize("seconds, text", [
    (5.3203e-4, "532 us"), (2.7e-9, "2.70 ns"), (45.12e-9, "45.1 ns"), (1.5, "1.50 s"),
    (0.0123, "12.3 ms"), (999.4e-6, "999 us"), (1e-6, "1.00 us"),
])
def test_durations_read_in_their_unit(seconds, text):
    assert benchkit.duration(seconds) == text


def test_targets():
    assert benchkit.at_most("p", 3).verdict(3.0) == "meets"
    assert benchkit.at_most("p", 3).verdict(3.01) == "misses"
    assert benchkit.below("p", 1).verdict(1.0) == "misses"
    assert benchkit.below("p", 1).verdict(None) == "not measured"
    assert str(benchkit.at_most("pydantic", 1 / 3)) == "<= 0.333 of pydantic"


def test_a_row_prints_and_records(tmp_path, monkeypatch, capsys):
    results = tmp_path / "rows.jsonl"
    monkeypatch.setenv(benchkit.RESULTS, str(results))
    report = benchkit.Report("title", name="demo")
    report.row("apply", 2e-6, {"loop": 4e-6, "msgspec": None},
               [benchkit.below("loop", 1), benchkit.at_most("msgspec", 1)])
    report.skip("threads", "this interpreter has the global lock")
    out = capsys.readouterr().out.splitlines()
    assert out[2] == "  apply: ours 2.00 us"
    assert out[3].split() == ["vs", "loop", "4.00", "us", "0.50x", "target", "<", "1:", "meets"]
    assert "msgspec" in out[4] and "skipped (not installed)" in out[4] and "not measured" in out[4]
    assert out[5] == "  threads: skipped (this interpreter has the global lock)"
    rows = [json.loads(line) for line in results.read_text().splitlines()]
    assert rows[0] == {"bench": "demo", "label": "apply", "ours": 2e-6,
                       "ratios": {"loop": 0.5, "msgspec": None},
                       "targets": [["< 1 of loop", "meets"], ["<= 1 of msgspec", "not measured"]]}
    assert rows[1] == {"bench": "demo", "label": "threads",
                       "skipped": "this interpreter has the global lock"}
    with pytest.raises(ValueError, match="does not time"):
        report.row("apply", 1e-6, {"loop": 1e-6}, [benchkit.below("pydantic", 1)])


def test_the_summary_counts_every_target(capsys):
    rows = [
        {"bench": "a", "label": "x", "ours": 1e-3, "ratios": {"p": 0.5, "q": None},
         "targets": [["< 1 of p", "meets"], ["<= 1 of q", "not measured"]]},
        {"bench": "a", "label": "y", "ours": 2e-3, "ratios": {"p": 2.0},
         "targets": [["< 1 of p", "misses"]]},
        {"bench": "b", "label": "z", "skipped": "no threads"},
    ]
    run_all.summary(rows, ["bench_c.py (exit 1)"])
    out = capsys.readouterr().out
    assert "meets 1/2" in out and "misses 1/1" in out and "skipped: no threads" in out
    assert "p 0.50, q -" in out
    assert "targets: 1 met, 1 missed, 1 not measured" in out
    assert "a: y: < 1 of p: misses" in out and "failed: bench_c.py (exit 1)" in out
    assert "one bench alone: tools/toolchain.sh run python3.14 bench/bench_" in out


def test_a_peer_can_be_hidden(monkeypatch):
    monkeypatch.setenv(benchkit.WITHOUT, "json, nosuch")
    assert benchkit.optional("json") is None and benchkit.optional("nosuch") is None
    assert benchkit.optional("csv") is not None


@pytest.mark.parametrize("path", sorted(glob.glob(os.path.join(ROOT, "bench", "bench_*.py"))),
                         ids=os.path.basename)
def test_every_bench_reports_through_benchkit(path):
    tree = ast.parse(pathlib.Path(path).read_text())
    imported = set()
    for node in tree.body:
        if isinstance(node, ast.Import):
            imported.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            imported.add(node.module.split(".")[0])
    # A peer imported at the top would stop the bench where it is missing.
    assert not imported & PEERS
    assert "benchkit" in imported and "timeit" not in imported
    source = ast.unparse(tree)
    assert "Report(" in source and "print(" not in source
