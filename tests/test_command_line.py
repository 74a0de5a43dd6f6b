"""The command line as a user meets it: the README's command, the summary on
standard output, progress on standard error, the exit status, the options'
effects, and the checks that keep misaligned files from passing in silence."""
import io
import os
import pathlib
import re
import shlex
import subprocess
import sys
import types
import warnings

import numpy as np
import pandas as pd
import pytest

from kestrune.testing.plotting.compare import compare_panels
from kestrune.testing.plotting.compare import cli, progress as progress_module, summary
from kestrune.testing.plotting.compare.scores import score_lines
from kestrune.testing.plotting.compare.verdicts import verdict_lines

ROOT = pathlib.Path(__file__).resolve().parents[1]
# Python's spelling of an option, which no command-line message may use.
PYTHON_SPELLING = re.compile(r"\b[a-z_]+=(True|False|'|\[)|pairing=")


def panel(ids, periods=12, seed=0, shift=0.0, lag=0.0):
    """One number per id and period, an AR(1) of coefficient ``lag``."""
    rng = np.random.default_rng(seed)
    values = rng.normal(shift, 1, (len(ids), periods))
    for t in range(1, periods):
        values[:, t] += lag * values[:, t - 1]
    return pd.DataFrame({"id": np.repeat(ids, periods), "t": np.tile(np.arange(periods), len(ids)),
                         "level": values.ravel().round(3)})


def written(tmp_path, **frames):
    paths = []
    for name, frame in frames.items():
        paths.append(str(tmp_path / (name + ".csv")))
        frame.to_csv(paths[-1], index=False)
    return paths


def run(capsys, args, status=0):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert cli.main(args) == status
    return capsys.readouterr()


def test_the_readme_gives_the_command_for_ones_own_files_early_and_it_runs(tmp_path, capsys, monkeypatch):
    head = (ROOT / "README.md").read_text(encoding="utf-8").splitlines()[:60]
    commands = [line for line in head if "-m kestrune.testing.plotting.compare" in line]
    assert commands and "make demo" in "\n".join(head) and "make test" in "\n".join(head)
    assert any(re.search(r"\(docs/report-[a-z-]+\.png\)", line) for line in head)
    words = shlex.split(commands[0])
    assert words[:3] == [".venv/bin/python", "-m", "kestrune.testing.plotting.compare"]
    out = words.index("-o") + 1
    words[out] = str(tmp_path / pathlib.Path(words[out]).name)
    monkeypatch.chdir(ROOT)
    lines = run(capsys, words[3:]).out.splitlines()
    assert lines[0].startswith("pairing: by id, chosen by auto: 'panel_synthetic' holds 4 of the 4 ids")
    assert lines[-2].startswith("beyond noise (q < 0.05): none of ") and lines[-1] == words[out]
    assert pathlib.Path(words[out]).is_file()


@pytest.fixture(scope="module")
def reports():
    """A report by id with a difference beyond noise, and one by nearest pairing."""
    ids = ["a", "b", "c", "d"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        shifted = compare_panels([panel(ids), panel(ids, seed=1, shift=3.0)], id_index="id", time_index="t")
        nearest = compare_panels([panel(ids), panel(["x" + i for i in ids], seed=1)],
                                 id_index="id", time_index="t")
    return {"shifted": shifted, "nearest": nearest}


def test_summary_lines(reports):
    shifted, nearest = reports["shifted"], reports["nearest"]
    q = shifted.qvalues.to_numpy(dtype=float)
    beyond = q < 0.05
    assert 0 < beyond.sum() < np.isfinite(q).sum()  # some cells stand out, not all
    lines = shifted.summary_lines()
    assert lines[0] == ("pairing: by id, chosen by auto: 'frame 2' holds 4 of the 4 ids of 'frame 1' "
                        "(100 %, at least half)")
    assert lines[1:-1] == verdict_lines(shifted.verdicts)
    found = re.fullmatch(r"beyond noise \(q < 0\.05\): (\d+) of (\d+) cells, in (\d+) of 4 ids \((.*)\)", lines[-1])
    assert [int(n) for n in found.groups()[:3]] == [beyond.sum(), np.isfinite(q).sum(), beyond.any(axis=1).sum()]
    kinds = [kind.split(" ") for kind in found.group(4).split(", ")]
    assert {k: int(n) for k, n in kinds} == {"{}:{}".format(*c): n for c, n in zip(
        shifted.qvalues.columns, beyond.sum(axis=0)) if n}
    assert [int(n) for _, n in kinds] == sorted((int(n) for _, n in kinds), reverse=True)
    with pytest.warns(UserWarning, match="lacks 1 id"):
        lacking = compare_panels([panel(list("abcd")), panel(list("abc"))], id_index="id", time_index="t")
    assert lacking.pairing_reason == ("chosen by auto: 'frame 2' holds 3 of the 4 ids of 'frame 1' "
                                      "(75 %, at least half)")
    lines = nearest.summary_lines()
    scores = nearest.population["scores"].iloc[0]
    assert lines[0] == ("pairing: each compared id with the reference id it resembles most (nearest), chosen by "
                        "auto: 'frame 2' holds 0 of the 4 ids of 'frame 1' (0 %, under half)")
    assert lines[1:-1] == verdict_lines(nearest.verdicts) + score_lines(nearest.scores)
    assert lines[-1] == ("no p-values under nearest pairing; precision {:.2f} ({} of 4 compared ids inside the "
                        "reference's population), coverage {:.2f} ({} of 4 reference ids), near-copies {}".format(
                            scores["precision"], (nearest.pairs["realism"] <= 1).sum(), scores["coverage"],
                            nearest.coverage["covered"].sum(), int(scores["near_copies"])))
    assert not any(line.startswith("beyond noise") for line in lines)
    assert "chosen by auto: 'frame 2' holds 0 of the 4 ids" in repr(nearest)


def test_cells_beyond_noise_are_counted_by_column_and_measure():
    columns = pd.MultiIndex.from_tuples([("x", "distribution"), ("x", "dynamics"), ("y", "dynamics")])
    q = pd.DataFrame([[0.01, 0.2, 0.04], [np.nan, 0.001, 0.03], [0.5, np.nan, 0.049]], columns=columns)
    stub = types.SimpleNamespace(pairing="ids", qvalues=q)
    assert summary.evidence_lines(stub) == [
        "beyond noise (q < 0.05): 5 of 7 cells, in 3 of 3 ids (y:dynamics 3, x:distribution 1, x:dynamics 1)"]
    assert summary.evidence_lines(types.SimpleNamespace(pairing="ids", qvalues=q + 0.05)) == [
        "beyond noise (q < 0.05): none of 7 cells; every difference is within sampling noise"]


@pytest.mark.parametrize("terminal", [False, True])
def test_progress_by_phase(tmp_path, capsys, monkeypatch, terminal):
    monkeypatch.setattr(progress_module, "EVERY", 0.0)  # a plain line at every step
    if terminal:
        class Terminal(io.StringIO):
            def isatty(self):
                return True
        monkeypatch.setattr(sys, "stderr", Terminal())
    paths = written(tmp_path, one=panel(list("abcd")), two=panel(list("wxyz")))
    assert cli.main(paths + ["--id", "id", "--time", "t", "--ids-per-page", "1", "-o", str(tmp_path / "out")]) == 0
    err = sys.stderr.getvalue() if terminal else capsys.readouterr().err
    phases = ["reading", "pairing", "measures", "pages"]
    if terminal:  # a bar per phase, redrawn in place
        assert [p for p in phases if re.search(p + r".*\r", err)] == phases
        assert not re.search(r"^kestrune-compare: (reading|pages)", err, re.M)
        return
    steps = [re.fullmatch(r"kestrune-compare: ([a-z]+)(?: (\d+) of (\d+))? \(\d+ s\)", line).groups()
             for line in err.splitlines() if "warning" not in line]
    assert [s[0] for s in steps if s[1] in (None, "0")] == phases
    pages = len([f for f in os.listdir(tmp_path / "out") if f.startswith("page-")])
    assert pages >= 4 and [s[1:] for s in steps if s[0] == "pages"][1:] == [
        (str(n), str(pages)) for n in range(1, pages + 1)]
    monkeypatch.setattr(progress_module, "EVERY", 1e9)  # a short run is quiet
    assert cli.main(paths + ["--id", "id", "--time", "t", "-o", str(tmp_path / "out")]) == 0
    assert all("warning" in line for line in capsys.readouterr().err.splitlines())


def test_plain_lines_come_at_the_interval(monkeypatch):
    clock = iter(range(0, 1000, 4))  # every reading of the clock: 4 s later
    monkeypatch.setattr(progress_module, "clock", lambda: next(clock))
    stream = io.StringIO()
    shown = progress_module.Progress("p", stream=stream, terminal=False)
    shown.phase("pages", 12)
    for _ in range(12):
        shown.update()
    assert stream.getvalue().splitlines() == ["p: pages 2 of 12 (12 s)", "p: pages 5 of 12 (24 s)",
                                              "p: pages 8 of 12 (36 s)", "p: pages 11 of 12 (48 s)"]


def test_each_option_changes_what_it_should(tmp_path, capsys):
    ids = list("abcdef")
    paths = written(tmp_path, one=panel(ids, lag=0.9), two=panel(ids, seed=2, lag=0.9))
    base = paths + ["--id", "id", "--time", "t", "--ids-per-page", "1", "--measures", "dynamics"]

    def table(*options, out="out"):
        run(capsys, base + list(options) + ["-o", str(tmp_path / out)])
        return pd.read_csv(tmp_path / out / "divergence.csv", index_col=0), sorted(os.listdir(tmp_path / out))

    one, files = table("--pages", "2")
    assert [f for f in files if f.startswith("page-")] == ["page-001.png", "page-002.png"]
    three, files = table("--max-lag", "3", "--pages", "all")
    three = three.reindex(one.index)
    assert (three["level:dynamics"] >= one["level:dynamics"]).all() and (three != one).any().any()
    assert len([f for f in files if f.startswith("page-")]) == 6
    _, files = table("--pairing", "nearest", "--pages", "1")
    assert "pairs.csv" in files and "coverage.csv" in files
    mine = tmp_path / "mine"
    mine.mkdir()
    (mine / "notes.txt").write_text("mine")
    with pytest.raises(SystemExit):
        cli.main(base + ["-o", str(mine)])
    assert os.listdir(mine) == ["notes.txt"]
    _, files = table("--overwrite", "--pages", "1", out="mine")
    assert "notes.txt" not in files and "divergence.csv" in files
    late = written(tmp_path, late=panel(ids, lag=0.9).assign(t=lambda f: f["t"] + 100))
    base[1] = late[0]  # refused without the option: see the table of errors
    _, files = table("--allow-disjoint-times", "--pages", "1", out="late")
    assert "divergence.csv" in files


@pytest.mark.parametrize("seed, shift, status", [(1, 3.0, 3), (0, 0.0, 0)])
def test_fail_on_difference(tmp_path, capsys, seed, shift, status):
    ids = list("abcd")
    paths = written(tmp_path, one=panel(ids), two=panel(ids, seed=seed, shift=shift))
    args = paths + ["--id", "id", "--time", "t", "--pages", "1", "-o", str(tmp_path / "out")]
    assert run(capsys, args).out.splitlines()[-1] == str(tmp_path / "out")  # by default 0 whatever is found
    out = run(capsys, args + ["--fail-on-difference"], status=status).out
    assert out.splitlines()[-1] == str(tmp_path / "out")


VENV_315 = ROOT / ".venv-3.15" / "bin" / "python"


@pytest.mark.skipif(not VENV_315.exists(), reason="no .venv-3.15 (make test PYTHON=build/pythons/bin/python3.15)")
def test_the_newest_interpreter_opens_files_outside_the_checkout():
    folder = pathlib.Path.home() / ".kestrune-test-{}".format(os.getpid())  # the home folder, outside the checkout
    folder.mkdir()
    try:
        (folder / "data.csv").write_text("x\n1\n2\n")
        (folder / "script.py").write_text(
            "import pandas, sys\nprint(sys.version_info[:2], int(pandas.read_csv('data.csv')['x'].sum()))\n")
        plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime of this machine
        done = subprocess.run([str(VENV_315), str(folder / "script.py")], cwd=str(folder), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, timeout=300, env=plain)
        assert (done.returncode, done.stdout.strip()) == (0, "(3, 15) 3"), done.stderr
    finally:
        for path in folder.iterdir():
            path.unlink()
        folder.rmdir()


class Captured(Exception):
    """Raised by a stand-in for compare_panels, carrying what it was given."""


def rows(ids, times, values):
    return pd.DataFrame({"id": ids, "t": times, "x": values})


# Each case: files as (suffix, frame of text or typed values); what the first
# file alone would have decided wrongly is said beside it.
@pytest.mark.parametrize("files, ids_dtype, numbers", [
    ([(".csv", rows(["1", "2"], ["1", "2"], ["1.5", "2"])),  # ints alone; 2.5 makes them floats
      (".csv", rows(["2", "2.5"], ["1", "2"], ["3", "high"]))], "float64", []),  # x: numbers alone
    ([(".csv", rows(["7", "9"], ["2020-01", "2020-02"], ["1", "NA"])),
      (".csv", rows(["7", "9"], ["2020-01-01", "2020-02-01T00:00Z"], ["2", ""])),
      (".csv", rows(["007", "9"], ["2020-01-01", "2020-02-01"], ["1", "2"]))], "object", ["x"]),  # 007: text
    ([(".parquet", rows([1, 2], pd.to_datetime(["2020-01-01", "2020-02-01"]).tz_localize("UTC"), [1.0, None])),
      (".csv", rows(["1", "2"], ["2020-01-01", "2020-02-01"], ["3", "4"]))], "int64", ["x"]),
])
def test_read_files_reads_as_the_command_line_does(tmp_path, monkeypatch, files, ids_dtype, numbers):
    from kestrune.testing.plotting.compare import read_files, report
    if any(suffix == ".parquet" for suffix, _ in files):
        pytest.importorskip("pyarrow")
    paths = []
    for n, (suffix, frame) in enumerate(files):
        paths.append(tmp_path / "f{}{}".format(n, suffix))
        frame.to_parquet(paths[-1]) if suffix == ".parquet" else frame.to_csv(paths[-1], index=False)

    def captured(frames, meta, **options):
        raise Captured(frames, meta)
    monkeypatch.setattr(report, "compare_panels", captured)
    with pytest.raises(Captured) as caught:
        cli.run(cli.parser().parse_args([str(p) for p in paths] + ["--id", "id", "--time", "t", "-o", "x"]))
    frames, meta = read_files(paths, "id", "t")
    assert list(frames) == list(caught.value.args[0]) and repr(meta) == repr(caught.value.args[1])
    for ours, theirs in zip(frames.values(), caught.value.args[0].values()):
        pd.testing.assert_frame_equal(ours, theirs)
    assert {str(f["id"].dtype) for f in frames.values()} == {ids_dtype} and meta.continuous == numbers
    with pytest.raises(ValueError, match="engine must be 'pandas' or 'dask'"):
        read_files(paths, "id", "t", engine="spark")
