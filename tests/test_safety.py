"""The report under attack: what it may replace or remove, what it reads, what it accepts.

One table of cases, run through the command line: the folder before, what happens
while the run draws or swaps, the exit status, the one line on standard error and
the folder after. The drawing itself is replaced by stamps ("old", "new"), so that
each case takes the time of reading and measuring only.
"""
import hashlib
import io
import itertools
import json
import os
import re
import signal
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

from kestrune.testing.plotting.compare import cli, sinks

ROWS = "id,t,level,state\n" + "".join("{},{},{},{}\n".format(i, t, (t * 7 + len(i)) % 5, "on" if t % 2 else "off")
                                      for i in ("x", "y", "z") for t in range(6))


def blank_pdf(width):
    from pypdf import PdfWriter
    writer, out = PdfWriter(), io.BytesIO()
    writer.add_blank_page(width, 72)
    writer.write(out)
    return out.getvalue()


WIDTHS = {"old": 100, "new": 200}


@pytest.fixture
def stamp(monkeypatch):
    """Pictures that say which run drew them; the run now draws ``stamp[0]``."""
    pytest.importorskip("pypdf")
    now = ["old"]

    def drawn(report, fmt):
        for _ in report.picture_names():
            yield now[0].encode() if fmt == "png" else blank_pdf(WIDTHS[now[0]])

    monkeypatch.setattr(sinks, "_drawn", drawn)
    return now


def look(d):
    """Every entry of ``d`` but the input files: a report as the run that drew it,
    another folder as its names, another file as its text."""
    from pypdf import PdfReader
    out = {}
    for path in sorted(d.iterdir()):
        if path.name in ("a.csv", "b.csv"):
            continue
        if path.is_dir():
            out[path.name] = ((path / "overview.png").read_bytes().decode() if sinks.is_report(path) else
                              sorted(p.name + "/" * p.is_dir() for p in path.iterdir()))
        elif sinks.is_report(path):
            width = float(PdfReader(str(path)).pages[0].mediabox.width)
            out[path.name] = {v: k for k, v in WIDTHS.items()}[width]
        else:
            out[path.name] = path.read_text()
    return out


def record(data):
    return {"size": len(data), "sha256": hashlib.sha256(data).hexdigest()}


def folder(d, name, files, manifest=None):
    """A folder of text files (a name ending in / is a folder), with a manifest."""
    (d / name).mkdir()
    for file, text in files.items():
        if file.endswith("/"):
            (d / name / file).mkdir()
            (d / name / file / "kept.txt").write_text(text)
        else:
            (d / name / file).write_text(text)
    if manifest is not None:
        (d / name / sinks.MANIFEST).write_text(json.dumps({"files": manifest}))


def old_report(name="out"):
    """The report of an earlier run at ``name``."""
    def make(d, run):
        run(["-o", str(d / name)])
    return make


def with_file(name, file, text="mine"):
    def make(d, run):
        old_report(name)(d, run)
        (d / name / file).write_text(text)
    return make


def times(a=None, b=None):
    """Input files with these times (each for the ids x and y)."""
    def make(d, run):
        for name, stamps in (("a.csv", a), ("b.csv", b)):
            if stamps:
                (d / name).write_text("id,t,level,state\n" + "".join(
                    "{},{},{},on\n".format(i, t, n) for n, (i, t) in enumerate(itertools.product("xy", stamps))))
    return make


def signal_at(stage, number):
    return stage, lambda d: os.kill(os.getpid(), number)


def at(stage, action):
    return stage, action


SAME = "same"  # the folder after is the folder before


CASES = [
    # name, before, during the swap (stage, action), options, status, line, after
    ("a report is replaced", old_report(), None, [], 0, "", {"out": "new"}),
    ("a report PDF is replaced", old_report("r.pdf"), None, ["-o", "r.pdf"], 0, "", {"r.pdf": "new"}),
    ("a file added beforehand", with_file("out", "notes.txt"), None, [], 2,
     "-o .*out: holds files the report did not write: notes.txt; .* pass --overwrite", SAME),
    ("a forged manifest lists a file and a folder",
     lambda d, run: folder(d, "out", {"notes.txt": "mine", "sub/": "mine"},
                           {"notes.txt": record(b"other"), "sub": record(b"")}), None, [], 2,
     r"holds files the report did not write: notes.txt, sub/", SAME),
    ("a manifest whose record has the file's size, not its content",
     lambda d, run: folder(d, "out", {"notes.txt": "mine"}, {"notes.txt": record(b"MINE")}), None, [], 2,
     r"holds files the report did not write: notes.txt;", SAME),
    ("a manifest that records a link to the user's file",
     lambda d, run: [(d / "mine.txt").write_text("mine"), folder(d, "out", {}, {"link": record(b"mine")}),
                     (d / "out" / "link").symlink_to(d / "mine.txt")], None, [], 2,
     r"holds files the report did not write: link;", SAME),
    ("a manifest that records the user's file, beside a folder",
     lambda d, run: folder(d, "out", {"notes.txt": "mine", "sub/": "mine"}, {"notes.txt": record(b"mine")}),
     None, [], 2, r"holds files the report did not write: sub/;", SAME),
    ("a manifest's files as a string",
     lambda d, run: folder(d, "out", {"a": "1", "b": "2", "c": "3"}, "abc"), None, [], 2,
     "exists and is not a report of this package", SAME),
    ("a manifest that only names its files",
     lambda d, run: folder(d, "out", {"a": "1"}, ["a"]), None, [], 2, "exists and is not a report", SAME),
    ("--overwrite: a folder of files is replaced",
     lambda d, run: folder(d, "out", {"notes.txt": "mine"}), None, ["--overwrite"], 0, "", {"out": "new"}),
    ("--overwrite: a folder within is never removed",
     lambda d, run: folder(d, "out", {"sub/": "mine"}), None, ["--overwrite"], 2,
     "-o .*out: holds the folder sub; a report replaces files only", SAME),
    ("a file added to the report while the run draws", old_report(),
     at("swap", lambda d: (d / "out" / "notes.txt").write_text("mine")), [], 1,
     r"error: -o .*out: notes.txt was added to it during the run; it is kept, and the new report is .*out-new$",
     {"out": [sinks.MANIFEST, "divergence-b.csv", "divergence.csv", "index.html", "notes.txt", "overview.png",
              "page-001.png", "population.png", "pvalues.csv", "qvalues.csv", "verdicts.csv"], "out-new": "new"}),
    ("a page of the report changed while the run draws", old_report(),
     at("swap", lambda d: (d / "out" / "page-001.png").write_text("edited")), [], 1,
     r"out: page-001.png in it was changed during the run; it is kept, and the new report is .*out-new$",
     {"out": [sinks.MANIFEST, "divergence-b.csv", "divergence.csv", "index.html", "overview.png",
              "page-001.png", "population.png", "pvalues.csv", "qvalues.csv", "verdicts.csv"], "out-new": "new"}),
    ("--overwrite: a file added while the run draws",
     lambda d, run: folder(d, "out", {"notes.txt": "mine"}),
     at("swap", lambda d: (d / "out" / "more.txt").write_text("more")), ["--overwrite"], 1,
     "out: more.txt was added to it during the run; it is kept", {"out": ["more.txt", "notes.txt"], "out-new": "new"}),
    ("a folder made at OUT while the run draws", None,
     at("swap", lambda d: folder(d, "out", {"notes.txt": "mine"})), [], 1,
     r"out: it was created during the run; it is kept, and the new report is .*out-new$",
     {"out": ["notes.txt"], "out-new": "new"}),
    ("an empty folder made at OUT while the run draws", None, at("swap", lambda d: (d / "out").mkdir()), [], 1,
     r"out: it was created during the run; it is kept", {"out": [], "out-new": "new"}),
    ("a PDF made at OUT while the run draws", None,
     at("swap", lambda d: (d / "r.pdf").write_text("mine")), ["-o", "r.pdf"], 1,
     r"r.pdf: it was created during the run; it is kept, and the new report is .*r-new.pdf$",
     {"r.pdf": "mine", "r-new.pdf": "new"}),
    ("a report PDF replaced while the run draws", old_report("r.pdf"),
     at("swap", lambda d: (d / "r.pdf").unlink() or (d / "r.pdf").write_text("mine")), ["-o", "r.pdf"], 1,
     r"r.pdf: it was (changed|replaced) during the run; it is kept", {"r.pdf": "mine", "r-new.pdf": "new"}),
    ("the old report removed while the run draws", old_report(),
     at("swap", lambda d: [p.unlink() for p in (d / "out").iterdir()] and (d / "out").rmdir()), [], 0, "",
     {"out": "new"}),
    ("a file put into the old report once it is aside", old_report(),
     at("placed", lambda d: next(d.glob(".out.*.old")).joinpath("late.txt").write_text("late")), [], 0,
     r"warning: .*out: the old report could not be removed \(Directory not empty\); it is left as .*out-old$",
     {"out": "new", "out-old": ["late.txt"]}),
    ("SIGINT in the swap", old_report(), signal_at("aside", signal.SIGINT), [], 130,
     r"^kestrune-compare: interrupted after writing .*out$", {"out": "new"}),
    ("SIGTERM in the swap", old_report("r.pdf"), signal_at("placed", signal.SIGTERM), ["-o", "r.pdf"], 143,
     r"^kestrune-compare: terminated after writing .*r.pdf$", {"r.pdf": "new"}),
    ("a whole-number time beyond 64 bits", times(["-9223372036854775808", "9223372036854775808"], ["1"]), None, [],
     1, r"a.csv: column 't' \(--time\): '9223372036854775808' in row 2 is beyond the 64-bit range", {}),
    ("an offset of +99:99", times(["2020-01-01T00:00+99:99"]), None, [], 1,
     r"a.csv: column 't' \(--time\): '2020-01-01T00:00\+99:99' in row 1 has an offset beyond \+-14:00$", {}),
    ("an offset of -14:01", times(["2020-01-01T00:00+14:00", "2020-01-01T00:00-1401"]), None, [], 1,
     r"'2020-01-01T00:00-1401' in row 2 has an offset beyond", {}),
    ("an offset of +01:60", times(["2020-01-01T00:00+01:60"]), None, [], 1, r"'2020-01-01T00:00\+01:60' in row 1 has an "
     r"offset beyond", {}),
    ("a date beyond pandas' range", times(["2020-01-01"], ["2262-04-11T23:47:16.854775807", "2262-04-12"]), None,
     [], 1, r"b.csv: column 't' \(--time\): '2262-04-12' in row 2 is outside the dates a timestamp holds "
     r"\(1677-09-21 00:12:43.145224193 to 2262-04-11 23:47:16.854775807\)$", {}),
    ("a date before it, by its offset", times(["1677-09-21T00:12:43.145224193", "1677-09-21T00:12:43+00:01"]),
     None, [], 1, r"a.csv: .*'1677-09-21T00:12:43\+00:01' in row 2 is outside the dates", {}),
    ("a day that no month has", times(["2020-01-01"], ["2020-02-29", "2021-02-29"]), None, [], 1,
     r"b.csv: .*'2021-02-29' in row 2 is not a date written YYYY-MM-DD .*, as the times of a.csv are$", {}),
    ("--max-lag beyond the series", None, None, ["--max-lag", "1000000000"], 1,
     r"error: --max-lag must be at most 5, the most times of one id less one .*got 1000000000$", {}),
    ("--measures that leave no cell", None, None, ["--measures", "dependence"], 1,
     r"error: --measures \['dependence'\] leave no cell: .* hold only 'level'; add 'distribution' or 'dynamics'$", {}),
    ("SIGINT as the swap starts, OUT new", None, signal_at("swap", signal.SIGINT), [], 130,
     r"interrupted after writing .*out$", {"out": "new"}),
]


def run_cli(args, capsys):
    try:
        status = cli.main(args)
    except SystemExit as error:
        status = error.code
    err = capsys.readouterr().err.strip().splitlines()
    return status, err


@pytest.mark.parametrize("name, before, during, options, status, line, after", CASES, ids=[c[0] for c in CASES])
def test_cases(tmp_path, monkeypatch, capsys, stamp, name, before, during, options, status, line, after):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.csv").write_text(ROWS)
    (tmp_path / "b.csv").write_text(ROWS.replace("on", "idle"))
    base = ["a.csv", "b.csv", "--id", "id", "--time", "t", "--pages", "1"]

    def run(options):
        got = run_cli(base + options + ([] if "-o" in options else ["-o", "out"]), capsys)
        assert got[0] == 0, got
    if before is not None:
        before(tmp_path, run)
    state, stamp[0] = look(tmp_path), "new"
    if during is not None:
        stage, action = during
        monkeypatch.setattr(sinks, "swap_hook", lambda now: action(tmp_path) if now == stage else None)
    got, err = run_cli(base + options + ([] if "-o" in options else ["-o", "out"]), capsys)
    assert got == status
    assert len(err) == (1 if line else 0) and re.search(line, err[0] if err else ""), err
    assert look(tmp_path) == (state if after == SAME else after)


@pytest.mark.parametrize("overwrite", ["no", 1, None, np.bool_(True)])
def test_overwrite_is_true_or_false(tmp_path, overwrite):
    with pytest.raises(TypeError, match="overwrite must be True or False, got"):
        sinks.check_target(tmp_path / "out", overwrite)


def test_a_lag_beyond_the_series_is_lowered_and_changes_no_cell():
    from kestrune import DataFrameMeta
    from kestrune.testing.plotting.compare import measure_table
    rng = np.random.default_rng(0)
    frames = [pd.DataFrame({"id": np.repeat(["x", "y"], 7)[:13], "t": np.tile(range(7), 2)[:13],
                            "a": rng.normal(size=13), "b": rng.normal(size=13)}) for _ in range(2)]
    meta = DataFrameMeta("id", "t", continuous=["a", "b"])
    six, huge = (measure_table(*frames, meta, max_lag=lag) for lag in (6, 10 ** 12))
    pd.testing.assert_frame_equal(six[0], huge[0]) and pd.testing.assert_frame_equal(six[1], huge[1])
    assert not six[0].isna().all().any()
    from kestrune.testing.plotting.compare import compare_panels
    compare_panels(frames, meta, max_lag=6)  # seven rows of one id: lags up to 6
    with pytest.raises(ValueError, match="max_lag must be at most 6, .* got 7"):
        compare_panels(frames, meta, max_lag=7)


def labelled(prefix, ids):
    """One label per id, its own; numbers of a spread that grows with the id."""
    return pd.DataFrame({"id": np.repeat(ids, 6), "t": np.tile(range(6), len(ids)),
                         "lab": np.repeat([prefix + str(k) for k in range(len(ids))], 6),
                         "x": np.outer(np.arange(1, len(ids) + 1), [0.1, 0.3, 0.2, 0.5, 0.4, 0.6]).ravel()})


def test_labels_the_reference_never_has_are_far_and_constant_series_have_no_autocorrelation():
    from kestrune import DataFrameMeta
    from kestrune.testing.plotting.compare import compare_panels, id_summaries, measure_table
    meta = DataFrameMeta("id", "t", categorical=["lab"], continuous=["x"])
    reference = labelled("L", ["r%d" % i for i in range(20)])
    for other, near in ((labelled("M", ["s%d" % i for i in range(20)]), 0),
                        (labelled("L", ["s%d" % i for i in range(20)]), 20)):  # the same labels: copies
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            scores = compare_panels({"r": reference, "s": other}, meta, pairing="nearest").population["scores"]
        assert scores.to_numpy().tolist() == [[near / 20, near / 20, near]]
    # 0.1 every time, and 0.3 written two ways: equal to 12 digits, no autocorrelation
    flat = pd.DataFrame({"id": np.repeat(["a", "b"], 5), "t": np.tile(range(5), 2),
                         "x": [0.1] * 5 + [0.3, 0.1 + 0.2] * 2 + [0.3]})
    only_x = DataFrameMeta("id", "t", continuous=["x"])
    assert id_summaries(flat, only_x)["x:lag1"].isna().all()
    values = measure_table(flat, flat.assign(x=np.arange(10.0)), only_x, measures=["dynamics"])[0]
    assert values.isna().all().all()


def test_thousands_of_labels_make_a_population_page_of_forty_entries(tmp_path):
    from kestrune.testing.plotting.compare import compare_panels, render
    rng = np.random.default_rng(1)
    frames = [pd.DataFrame({"id": np.repeat(np.arange(20), 150), "t": np.tile(np.arange(150), 20),
                            "code": ["c%d" % k for k in rng.integers(0, 3000, 3000)],
                            "x": rng.normal(size=3000)}) for _ in range(2)]
    frames[1]["x"] += 5  # the entries of x differ most
    report = compare_panels(frames, id_index="id", time_index="t")
    assert len(report.population["summaries"]) > 2000
    figure = render.draw_population(report.population, tuple(report.names), ("code", "x"))
    right = figure.axes[1]
    shown = [t.get_text() for t in right.get_yticklabels()]
    assert len(shown) == render.MOST_ENTRIES and {"x:mean", "x:std"} <= set(shown)
    assert re.search(r"\(the 40 of [\d,]+ entries that differ most\)$", right.get_title())
    assert figure.get_size_inches()[1] < 20


def test_values_up_to_the_largest_accepted_measure_as_small_ones():
    from kestrune import DataFrameMeta
    from kestrune.testing.plotting.compare import id_summaries, inputs, measure_table
    rng = np.random.default_rng(2)
    frames = [pd.DataFrame({"id": np.repeat(["x", "y", "z"], 8), "t": np.tile(range(8), 3),
                            "a": rng.normal(size=24), "b": rng.normal(size=24)}) for _ in range(2)]
    frames[0].loc[3, "a"] = 0.9  # the largest magnitude of all, scaled to the bound below
    meta = DataFrameMeta("id", "t", continuous=["a", "b"])
    scale = inputs.LARGEST / 0.9 / 2.6  # the mean and spread of 1e150-sized values stay finite
    big = [f.assign(a=f["a"] * scale, b=f["b"] * scale) for f in frames]
    for small, large in zip(measure_table(*frames, meta), measure_table(*big, meta)):
        pd.testing.assert_frame_equal(small, large, rtol=1e-9)
    summaries = id_summaries(big[0], meta)
    assert np.isfinite(summaries.to_numpy()).all()
    np.testing.assert_allclose(summaries["a:lag1"], id_summaries(frames[0], meta)["a:lag1"], rtol=1e-9)


def with_ids(ids, seed):
    rng = np.random.default_rng(seed)
    column = np.empty(6 * len(ids), dtype=object)
    column[:] = [i for i in ids for _ in range(6)]
    return pd.DataFrame({"id": column, "t": np.tile(range(6), len(ids)), "x": rng.normal(size=6 * len(ids))})


@pytest.mark.parametrize("ids, pairing, message", [
    ([True, False], "ids", "frame 'frame 1' has the id False: ids of True and False are mixed up with 1 and 0"),
    ([(1, 2), (3, 4)], "nearest", r"nearest pairing needs ids that are text, numbers or times; frame 'frame 1' has "
                                  r"ids of type tuple: \(1, 2\)"),
    ([(1, 2), (3, 4)], "ids", None),
    ([pd.Timestamp("2020-01-01"), pd.Timestamp("2021-01-01"), 7, "x"], "nearest", None),
])
def test_ids_that_nearest_pairing_cannot_take_are_refused(ids, pairing, message):
    from kestrune.testing.plotting.compare import compare_panels
    frames = [with_ids(ids, 0), with_ids(ids, 1)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if message is None:
            assert len(compare_panels(frames, id_index="id", time_index="t", pairing=pairing).divergence) == len(ids)
        else:
            with pytest.raises(ValueError, match=message):
                compare_panels(frames, id_index="id", time_index="t", pairing=pairing)


# A worker that dies in the middle of handing back a page: half a message in the pool's pipe.
KILLED_IN_SEND = """
import os, signal, struct, sys, threading, time
from kestrune.testing.plotting.compare import render

def killer(task, path=None):
    frame = sys._getframe(1)
    while "result_queue" not in frame.f_locals:
        frame = frame.f_back
    writer = frame.f_locals["result_queue"]._writer
    os.write(writer.fileno(), struct.pack("!i", 1000) + bytes(10))  # 10 of 1000 bytes
    open(sys.argv[1], "w").close()
    os.kill(os.getpid(), signal.SIGKILL)

class Stopped(BaseException):
    pass

def stop(number, frame):
    raise Stopped()

def terminate_once_killed():
    while not os.path.exists(sys.argv[1]):
        time.sleep(0.05)
    time.sleep(0.2)
    os.kill(os.getpid(), signal.SIGTERM)

if __name__ == "__main__":
    render.render_task = render._render_to_file = killer
    render.PATIENCE = 0.5
    signal.signal(signal.SIGTERM, stop)
    threading.Thread(target=terminate_once_killed, daemon=True).start()
    try:
        list(render.rendered([("page",)] * 4, 4, jobs=2))
    except Stopped:
        print("stopped")
"""


def test_a_run_stops_though_a_worker_died_in_the_middle_of_sending_a_page(tmp_path):
    script = tmp_path / "killed.py"
    script.write_text(KILLED_IN_SEND)
    done = subprocess.run([sys.executable, str(script), str(tmp_path / "killed")], capture_output=True, text=True,
                          timeout=90, env=dict(os.environ, MPLBACKEND="Agg"))
    assert done.stdout.strip() == "stopped", done.stderr
