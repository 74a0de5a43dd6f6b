"""The comparison report: divergence numbers, page order, pages, files, command line."""
import concurrent.futures
import hashlib
import importlib
import io
import json
import multiprocessing
import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import time
import types
import warnings

import matplotlib as mpl
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.colors import to_rgba

from kestrune import DataFrameMeta
from kestrune.testing.plotting.compare import Report, compare_panels, divergence_table
from kestrune.testing.plotting import compare
from kestrune.testing.plotting.compare import cli, render, sinks
from kestrune.testing.plotting.compare import files as reading
from kestrune.testing.plotting.compare import report as report_module

NAMES = ["original", "synthetic"]


def make_panel(ids, periods=8, seed=0, shift=0.0):
    """One row per id and period: a number with ties and gaps, a label with gaps."""
    rng = np.random.default_rng(seed)
    n = len(ids) * periods
    level = np.round(rng.normal(shift, 1, n), 1)
    level[rng.random(n) < 0.1] = np.nan
    state = rng.choice(["on", "off", "idle"], n).astype(object)
    state[rng.random(n) < 0.1] = np.nan
    return pd.DataFrame({"id": np.repeat(ids, periods), "t": np.tile(np.arange(periods), len(ids)),
                         "level": level, "state": state})


@pytest.fixture
def frames():
    """A reference and a shifted copy that lacks the id "c"."""
    ids = ["a", "b", "c", "d", "e"]
    original = make_panel(ids)
    synthetic = make_panel(ids, seed=1, shift=0.5)
    return {"original": original, "synthetic": synthetic[synthetic["id"] != "c"]}


def report_of(frames, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return compare_panels(frames, **dict(dict(id_index="id", time_index="t"), **kwargs))


def first_page(report):
    """The figure of the report's first page, drawn in a throwaway style context."""
    task = next(report._page_tasks("png"))
    with mpl.rc_context():
        return render.draw_page(*task[1:-1])


def test_kolmogorov_smirnov_matches_scipy():
    stats = pytest.importorskip("scipy.stats")
    ids = list(range(40))
    reference, other = make_panel(ids, periods=30), make_panel(ids, periods=30, seed=3, shift=0.3)
    other = other.iloc[::2]  # fewer rows than the reference
    other.loc[other["id"] == 7, "level"] = np.nan  # nothing to compare
    meta = DataFrameMeta("id", "t", continuous=["level"])
    table = divergence_table(reference[["id", "t", "level"]], other[["id", "t", "level"]], meta)
    expected = []
    for i in ids:
        x = reference.loc[reference["id"] == i, "level"].dropna()
        y = other.loc[other["id"] == i, "level"].dropna()
        expected.append(stats.ks_2samp(x, y).statistic if len(y) else np.nan)
    np.testing.assert_allclose(table["level"].to_numpy(), expected, rtol=0, atol=1e-12)
    assert np.isnan(table.loc[7, "level"]) and list(table.index) == ids


@pytest.mark.parametrize("reference, other, expected", [
    (["a", "a", "b"], ["a", "b", "b"], 1 / 3),
    (["x"], ["y"], 1.0),
    (["x", "y"], ["y", "x", "x", "y"], 0.0),
    (["a", None], ["a", "a"], 0.5),            # a missing label is a label of its own
    ([None, None], [None], 0.0),              # all missing: the same single label
    (["a", None, None, "b"], ["b", "b", "b", "c"], 0.75),
])
def test_total_variation_by_hand(reference, other, expected):
    meta = DataFrameMeta("id", "t", categorical=["s"])
    frame = lambda labels: pd.DataFrame({"id": "one", "t": range(len(labels)), "s": labels})  # noqa: E731
    table = divergence_table(frame(reference), frame(other), meta)
    assert table.loc["one", "s"] == float("%.12g" % expected)  # 12 digits, no float noise


def test_divergence_is_nan_where_an_id_has_no_rows(frames):
    table = divergence_table(frames["original"], frames["synthetic"], DataFrameMeta.from_frame(frames["original"], "id", "t"))
    assert table.loc["c"].isna().all() and table.drop("c").notna().all().all()
    assert ((table.drop("c") >= 0) & (table.drop("c") <= 1)).all().all()


@pytest.mark.parametrize("order, ids, expected, why", [
    ("divergence", None, None, "ranked by divergence"),  # checked against the table below
    ("id", None, ["a", "b", "c", "d", "e"], "sorted by id"),
    ("given", ["e", "a", "c"], ["e", "a", "c"], "in the given order"),
])
def test_order_of_ids_and_pages(frames, order, ids, expected, why):
    synthetic = frames["synthetic"]  # "e": no number to compare, but none of the reference's labels
    frames["synthetic"] = synthetic.assign(level=synthetic["level"].where(synthetic["id"] != "e"),
                                           state=synthetic["state"].where(synthetic["id"] != "e", "new"))
    shuffled = {name: frame.sample(frac=1, random_state=2) for name, frame in frames.items()}
    report = report_of(shuffled, order=order, ids=ids, ids_per_page=2, measures=["distribution"])
    ordered = list(report.divergence.index)
    if expected is None:
        # The id that the synthetic frame lacks comes first, then the worst (a missing number does not rank).
        worst = report.divergence.drop("c").max(axis=1)
        assert ordered[:2] == ["c", "e"] and list(worst) == sorted(worst, reverse=True)
    else:
        assert ordered == expected
    assert [page.ids for page in report.pages] == [tuple(ordered[i:i + 2]) for i in range(0, len(ordered), 2)]
    n = len(ordered)
    spans = ["ids {}-{}".format(i + 1, min(i + 2, n)) if i + 1 < n else "id {}".format(n) for i in range(0, n, 2)]
    assert [page.heading for page in report.pages] == ["{} of {}, {}".format(span, n, why) for span in spans]
    assert report.missing == ({"synthetic": ["c"]} if "c" in ordered else {})


def test_evidence_order_goes_by_q_value_then_divergence_then_id():
    from kestrune.testing.plotting.compare.inputs import Panel
    from kestrune.testing.plotting.compare.plan import order_ids
    ids = ["e", "d", "c", "b", "a", "f"]
    cells = pd.MultiIndex.from_tuples([("x", "distribution"), ("x", "dynamics")])
    divergence = pd.DataFrame([[0.1, 0.2], [0.9, np.nan], [0.3, 0.1], [0.3, 0.0], [0.5, 0.5], [0.9, 0.9]],
                              index=ids, columns=cells)
    qvalues = pd.DataFrame([[0.5, 0.01], [0.01, np.nan], [0.2, 0.3], [0.3, 0.2], [np.nan, np.nan], [0.9, 0.8]],
                           index=ids, columns=cells)
    panel = Panel(["r", "o"], None, None, ["x"], pd.Index(ids), ids, {"o": ["f"]}, "ids")
    # f lacks a frame; d and e tie on q (0.01): d has the larger divergence; b and c tie on both: by id;
    # a has no q-value at all: last.
    assert order_ids(panel, divergence, "evidence", qvalues=qvalues) == ["f", "d", "e", "b", "c", "a"]
    assert order_ids(panel, divergence, "divergence") == ["f", "d", "a", "b", "c", "e"]


def test_pages_draw_the_first_ids_and_the_overview_marks_noise(frames):
    report = report_of(frames, ids_per_page=1, pages=2)
    assert [page.ids for page in report.pages] == [(i,) for i in report.divergence.index[:2]]
    assert len(report.divergence) == len(report.pvalues) == len(report.qvalues) == 5
    assert [page.heading.split(",")[0] for page in report.pages] == ["id 1 of 5", "id 2 of 5"]
    task = report._overview_task("png")
    with mpl.rc_context():
        figure = render.draw_overview(*task[1:-1])
    title = " ".join(figure._suptitle.get_text().split())
    assert "all 5 ids, ranked by evidence; pages show the first 2 of 5 ids" in title
    # The title fits the figure; noise is white stripes over the cell's own colour.
    figure.canvas.draw()
    assert figure._suptitle.get_window_extent().x1 <= figure.bbox.x1
    hatched = [p for p in figure.axes[0].patches if p.get_hatch()]
    assert len(hatched) == int((report.qvalues >= 0.05).to_numpy().sum())
    assert all(p.get_facecolor()[3] == 0 and p.get_edgecolor()[:3] == (1, 1, 1) for p in hatched)
    assert [t.get_text() for t in figure.axes[0].get_legend().get_texts()] == [
        "within sampling noise (white stripes)"]
    groups = [t.get_text() for t in figure.axes[0].texts if t.get_fontweight() == "bold"]
    assert groups == ["level", "state"]
    # Under nearest pairing the first ids are the closest pairs, not the worst.
    many = pd.DataFrame({("x", "distribution"): np.linspace(0, 1, 60)})
    for nearest, words in ((False, "the worst 50 of 60 ids"), (True, "the first 50 of 60 ids")):
        with mpl.rc_context():
            title = render.draw_overview(many, many, NAMES, 60, "why", "id", 4, nearest)._suptitle.get_text()
        assert words in " ".join(title.split())


def renamed(frame, prefix="new "):
    return frame.assign(id=prefix + frame["id"].astype(str))


def test_nearest_pairing_pages_tables_and_files(tmp_path):
    rng = np.random.default_rng(5)
    ids = ["r%02d" % n for n in range(24)]
    reference = make_panel(ids, periods=12)
    second = reference["id"] >= "r12"  # a second group of ids: another level, spread and label
    reference.loc[second, "level"] = 40 + 5 * reference.loc[second, "level"]
    reference.loc[second, "state"] = "idle"  # two groups of ids
    made = renamed(reference[reference["id"] < "r12"], "s")  # the first group only, with noise ...
    made["level"] += rng.normal(0, 0.3, len(made))
    made.loc[made["id"] == "sr03", "level"] = reference.loc[reference["id"] == "r03", "level"].to_numpy()  # ... a copy
    made.loc[made["id"] == "sr07", "level"] *= 9  # ... and one unlike any reference id
    with pytest.warns(compare.NearCopyWarning, match=r"\d of 12 synthetic ids of frame 'synthetic' are near-copies") \
            as caught:
        report = compare_panels({"original": reference, "synthetic": made}, id_index="id", time_index="t",
                                ids_per_page=5, pages=None)
    caught = [w for w in caught if w.category is compare.NearCopyWarning]
    assert len(caught) == 1 and "'sr03' \u2248 'r03'" in str(caught[0].message)
    assert report.pairing == "nearest" and report.order == "evidence"
    pairs = report.pairs
    assert list(pairs["id"]) == list(report.divergence.index) and report.pvalues.isna().all().all()
    # Near-copies first, closest first; then the least realistic; then the rest.
    copies = int(pairs["near_copy"].sum())
    assert list(pairs["near_copy"]) == [True] * copies + [False] * (12 - copies) and pairs["id"].iloc[0] == "sr03"
    assert list(pairs["distance"].iloc[:copies]) == sorted(pairs["distance"].iloc[:copies])
    realism = pairs["realism"].to_numpy()
    # Every id made from a reference id's own series is a near-copy: all but sr07.
    assert copies == 11 and pairs["id"].iloc[-1] == "sr07" and realism[-1] > 1 >= realism[:-1].max()
    assert (pairs["id"] == "s" + pairs["reference_id"]).iloc[:-1].all()
    assert list(report.coverage.loc[~report.coverage["covered"], "reference_id"]) == ids[12:]
    assert report.population["scores"].loc["synthetic", "coverage"] == 0.5
    assert [(p.kind, p.ids[:1]) for p in report.pages] == [
        ("pairs", ("sr03",)), ("pairs", (pairs["id"].iloc[5],)), ("pairs", (pairs["id"].iloc[10],)),
        ("uncovered", ("r12",)), ("uncovered", ("r17",)), ("uncovered", ("r22",))]
    figure = first_page(report)
    titles = [ax.get_title() for ax in figure.axes if ax.get_visible() and ax.get_title()]
    numbers = [t.get_text() for ax in figure.axes for t in ax.texts if t.get_gid() == "numbers"]
    assert len(numbers) == 5 * 2 and not any("*" in n for n in numbers)  # no p-values between pairs
    assert titles[:2] == ["r03 \u2248 sr03", "{1} \u2248 {0}".format(*pairs.iloc[1][["id", "reference_id"]])]
    folder = report.save(tmp_path / "out")
    assert list(pd.read_csv(folder / "pairs.csv").columns) == ["frame", "id", "reference_id", "distance", "realism",
                                                               "near_copy"]
    assert list(pd.read_csv(folder / "coverage.csv")["covered"]) == [True] * 12 + [False] * 12
    page = (folder / "index.html").read_text()
    assert "pairs.csv" in page and "Page 4: uncovered reference ids 1-5 of 12" in page
    assert "<p>pairs: r03 \u2248 sr03, " in page and "sr03: near-copy, realism 0.00; " in page


def test_given_order_defaults_to_first_appearance_in_the_frame_as_passed(frames):
    original = frames["original"].iloc[::-1].set_index(["id", "t"])  # levels, not columns
    synthetic = frames["synthetic"][frames["synthetic"]["id"] != "a"]
    report = report_of({"original": original, "synthetic": synthetic}, order="given")
    assert list(report.divergence.index) == ["e", "d", "c", "b", "a"] and report.missing == {"synthetic": ["a", "c"]}


@pytest.mark.parametrize("lacking", [1, 0])
def test_missing_ids_warn_once_and_keep_their_colours(frames, lacking):
    if lacking == 0:  # the reference lacks "c" instead
        frames = {"original": frames["original"][frames["original"]["id"] != "c"],
                  "synthetic": make_panel(["a", "b", "c", "d", "e"], seed=1, shift=0.5)}
    with pytest.warns(UserWarning) as caught:
        report = compare_panels(frames, id_index="id", time_index="t", ids_per_page=3, order="id")
    assert len(caught) == 1 and "frame '{}' lacks 1 id: ['c']".format(NAMES[lacking]) in str(caught[0].message)
    figure = first_page(report)
    cells = [ax for ax in figure.axes if ax.get_visible() and ax.get_lines()]
    colours = [[to_rgba(line.get_color()) for line in ax.get_lines()] for ax in cells]
    assert [len(c) for c in colours] == [2, 2, 1]  # ids a, b with both frames, c with one only
    assert colours[2][0] == colours[0][1 - lacking] != colours[0][lacking]
    assert [t.get_text() for t in figure.legends[0].get_texts()] == NAMES
    assert figure.texts[0].get_text() == "ids 1-3 of 5, sorted by id (c lacks '{}')".format(NAMES[lacking])
    assert [ax.get_ylabel() for ax in figure.axes if ax.get_visible()] == ["level", "", "", "Count", "", ""]


def test_shared_cells_name_their_own_ids(frames, series):
    report = report_of(frames, ids_per_page=3, order="id", share_setting=series.ShareSetting.PLOT)
    figure = first_page(report)
    line_cells = [ax for ax in figure.axes if ax.get_visible() and ax.get_lines()]
    assert [[t.get_text() for t in ax.get_legend().get_texts()] for ax in line_cells] == [["a", "b"], ["c"]]
    colours = [to_rgba(c) for c in mpl.rcParams["axes.prop_cycle"].by_key()["color"]]
    # Each id keeps the colour of its place on the page, each frame its line style.
    assert [(to_rgba(l.get_color()), l.get_linestyle()) for ax in line_cells for l in ax.get_lines()] == [
        (colours[0], "-"), (colours[0], "--"), (colours[1], "-"), (colours[1], "--"), (colours[2], "-")]


@pytest.mark.parametrize("ids_per_page, width", [(1, 3.8), (3, 9.4), (5, 12)])
def test_page_size(frames, ids_per_page, width):
    report = report_of(frames, ids_per_page=ids_per_page)
    figure = first_page(report)
    # The notes under the heading wrap into more lines on a narrow page; the page grows with them.
    assert figure.get_size_inches()[0] == pytest.approx(width) and figure.dpi == 100
    assert 1.1 + 2.6 * 2 <= figure.get_size_inches()[1] <= 1.1 + 2.6 * 2 + 0.14 * 4


def test_ids_that_match_as_text_three_frames_and_ties(frames):
    ids = [3, 1, 2]  # first seen in another order than sorted
    reference = make_panel(ids, periods=3).assign(__rows__="x")  # a label column named like the counting column
    texts = make_panel([str(i) for i in ids], periods=3, seed=1).assign(__rows__="x", extra=0)
    copy = reference.assign(id=reference["id"].map({3: 1, 1: 2, 2: 3}), level=reference["level"] + 100)  # disjoint
    with pytest.warns(compare.IdTypeWarning, match=r"the ids of frame 'texts' \(\w+\) match the ids of 'reference' "
                                         r"\(int64\) only as text; they were converted to match") as caught:
        report = compare_panels({"reference": reference, "texts": texts, "copy": copy}, id_index="id", time_index="t",
                                columns=["level", "state", "__rows__"], ids_per_page=np.int64(3))
    assert len([w for w in caught if w.category is compare.IdTypeWarning]) == 1 and report.missing == {}
    tables = report.divergences
    assert all(list(t.index) == list(report.divergence.index) for t in tables.values())  # page order
    np.testing.assert_array_equal(report.divergence, np.fmax(tables["texts"], tables["copy"]))  # the largest
    # Every id's largest divergence ties at 1: the ids go in id order, not as first seen.
    plain = report_of({"reference": reference, "copy": copy}, order="divergence")
    assert list(plain.divergence.index) == [1, 2, 3] and list(plain.divergence.max(axis=1)) == [1.0] * 3
    figure = first_page(report)
    figure.canvas.draw()
    cells = [ax for ax in figure.axes if ax.get_visible()]  # the last row: "__rows__", one cell per id
    assert [[t.get_text() for t in ax.get_xticklabels()] for ax in cells[-3:]] == [["x"]] * 3
    assert list(cells[0].get_xticks()) == [0, 1, 2]  # integer times: whole-number ticks
    overview = render.draw_overview(*report._overview_task("png")[1:-1]).axes[0]
    assert " ".join(overview.figure._suptitle.get_text().split()).startswith(
        "Divergence of 'texts', 'copy' from 'reference': all 3 ids, ranked by evidence; pages show every id 0 = same")
    assert [t.get_text() for t in overview.get_yticklabels()] == [str(i) for i in report.divergence.index]


def test_every_page_keeps_one_label_order_and_carries_its_numbers(frames):
    synthetic = frames["synthetic"].copy()
    synthetic.loc[synthetic.index[::4], "state"] = "aaa"  # a label of the compared frame only: after the reference's
    synthetic.loc[synthetic["id"].isin(["b", "d", "e"]), "level"] += 3  # beyond noise
    report = report_of({"original": frames["original"], "synthetic": synthetic}, ids_per_page=2, pages=None)
    order, stars = ["idle", "off", "on", "aaa", "Null"], 0
    for page, task in zip(report.pages, report._page_tasks("png")):
        with mpl.rc_context():
            figure = render.draw_page(*task[1:-1])
        figure.canvas.draw()
        cells = [ax for ax in figure.axes if ax.get_visible()]  # row by row, one cell per id
        assert len(cells) == 2 * len(page.ids)
        for n, cell in enumerate(cells):
            i, column = page.ids[n % len(page.ids)], report.columns[n // len(page.ids)]
            [text] = [t.get_text() for t in cell.texts if t.get_gid() == "numbers"]
            read = re.findall(r"(\w+) (-|\d\.\d\d)(\*?)", text)
            measures = [m for c, m in report.divergence.columns if c == column]
            assert [name for name, _, _ in read] == [render.MEASURE_SHORT[m] for m in measures]
            for (_, value, star), measure in zip(read, measures):
                expected, q = report.divergence.at[i, (column, measure)], report.qvalues.at[i, (column, measure)]
                assert value == "-" if np.isnan(expected) else float(value) == round(expected, 2)
                assert (star == "*") == (q < 0.05)
                stars += star == "*"
            if column == "state":
                labels = [t.get_text() for t in cell.get_xticklabels()]
                assert labels == [label for label in order if label in labels]
                # Each of the reference's bars stands over its own label.
                rows = frames["original"][frames["original"]["id"] == i]
                bars = {labels[int(round(b.get_x() + b.get_width() / 2))]: b.get_height() for b in cell.containers[0]}
                assert bars == rows["state"].fillna("Null").value_counts().to_dict()
    assert stars > 0


@pytest.mark.parametrize("share, flat", [(None, False), ("AXES", True)])
def test_ids_of_different_scales_get_their_own_y_axis(share, flat):
    grunfeld = pd.read_csv(pathlib.Path(__file__).parents[1] / "examples" / "data" / "grunfeld.csv")
    share = share and getattr(importlib.import_module("kestrune.testing.plotting.series").ShareSetting, share)
    report = report_of([grunfeld, grunfeld.assign(invest=grunfeld["invest"] * 1.1)], id_index="firm",
                       time_index="year", columns=["invest"], share_setting=share)
    spans = []
    for task in report._page_tasks("png"):
        with mpl.rc_context():
            cells = [ax for ax in render.draw_page(*task[1:-1]).axes if ax.get_visible()]
        spans += [np.ptp(line.get_ydata()) / np.diff(ax.get_ylim())[0] for ax in cells for line in ax.get_lines()]
    assert len(spans) == 22 and (min(spans) >= 0.2) != flat


def test_session_untouched(frames, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(plt, "show", lambda *a, **k: pytest.fail("show called"))
    plt.figure()
    before_rc, before_figures = dict(mpl.rcParams), plt.get_fignums()
    report_of(frames, ids_per_page=3).save(tmp_path / "out")
    report = report_of(frames, ids_per_page=1)
    inline = report._repr_html_()  # a notebook's display: the overview and three pages
    assert inline.count("<img") == 5 and "2 more of the 5 pages drawn are not shown here" in inline
    assert "pages='all'" not in inline  # every id has its page
    assert set(report._pictures["png"]) == {"overview", "population", 1, 2, 3} and report._repr_html_() == inline
    assert dict(mpl.rcParams) == before_rc and plt.get_fignums() == before_figures
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("pages, lines", [
    (2, ["The pages draw the first 2 of 5 ids; compare_panels(..., pages='all') (--pages all on the command "
         "line) draws a page for every id."]),
    (4, ["1 more of the 4 pages drawn are not shown here", "the first 4 of 5 ids"])])
def test_notebook_says_how_to_see_every_page(frames, monkeypatch, capsys, pages, lines):
    report = report_of(frames, ids_per_page=1, pages=pages)
    monkeypatch.setattr(report, "_pictures_of", lambda fmt, keys: [b""] * len(keys))
    inline = report._repr_html_()
    assert all(line in inline for line in lines) and ("more of the" in inline) == (pages > 3)
    # A notebook without ipywidgets gets the text bar, not a complaint that they are missing.
    kernel = types.SimpleNamespace(config={"IPKernelApp": {}})
    monkeypatch.setitem(sys.modules, "IPython", types.SimpleNamespace(get_ipython=lambda: kernel))
    monkeypatch.setitem(sys.modules, "ipykernel", sys)
    monkeypatch.setitem(sys.modules, "ipywidgets", None)
    for module in ("tqdm.auto", "tqdm.autonotebook", "tqdm.notebook"):  # decide afresh on import
        monkeypatch.delitem(sys.modules, module, raising=False)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        bar = render._progress(None, 5)
    bar.close()
    assert type(bar).__module__ == "tqdm.std" and "IProgress" not in capsys.readouterr().err


def test_progress_bar_on_request(frames, tmp_path, capsys):
    report_of(frames, ids_per_page=1, progress=True).save(tmp_path / "out")
    err = capsys.readouterr().err
    assert "report: 100%" in err and "5/5" in err


def test_folder_and_pdf(frames, tmp_path):
    pypdf = pytest.importorskip("pypdf")
    report = report_of(frames, ids_per_page=2)
    folder = report.save(tmp_path / "out")
    written = ["divergence-synthetic.csv", "divergence.csv", "index.html", "overview.png", "page-001.png",
               "page-002.png", "page-003.png", "population.png", "pvalues.csv", "qvalues.csv", "verdicts.csv"]
    assert sorted(os.listdir(folder)) == [sinks.MANIFEST] + written
    records = json.loads((folder / sinks.MANIFEST).read_text())["files"]
    assert sorted(records) == written and records["page-001.png"] == {
        "size": (folder / "page-001.png").stat().st_size,
        "sha256": hashlib.sha256((folder / "page-001.png").read_bytes()).hexdigest()}
    header = ["id", "level:distribution", "level:dynamics", "state:distribution", "state:dynamics"]
    for file, expected in (("divergence.csv", report.divergence), ("pvalues.csv", report.pvalues),
                           ("qvalues.csv", report.qvalues), ("divergence-synthetic.csv",
                                                             report.divergences["synthetic"])):
        table = pd.read_csv(folder / file, index_col=0, dtype=str)
        assert [table.index.name] + list(table.columns) == header
        assert list(table.index) == list(report.divergence.index)  # page order
        np.testing.assert_array_equal(table.astype(float).to_numpy(), expected.to_numpy())  # full precision
    page = (folder / "index.html").read_text()
    places = [page.index(n) for n in ("overview.png", "page-001.png", "page-002.png", "page-003.png")]
    assert places == sorted(places)
    # Every link resolves (a file beside the page, or an anchor in it); each table row links to its page,
    # and each page's heading names its ids.
    anchors = set(re.findall(r' id="([^"]+)"', page))
    for target in re.findall(r'(?:href|src)="([^"]+)"', page):
        assert target[1:] in anchors if target.startswith("#") else (folder / target).is_file()
    for p in report.pages:
        assert "<p>ids: {}</p>".format(", ".join(p.ids)) in page
        assert all(page.count('<th><a href="#page-{}">{}</a></th>'.format(p.number, i)) == 3 for i in p.ids)
    pdf = report.save(tmp_path / "report.pdf")
    reader = pypdf.PdfReader(str(pdf))
    assert len(reader.pages) == 2 + len(report.pages)  # the overview, the population
    assert [(b.title, reader.get_destination_page_number(b)) for b in reader.outline] == [
        ("Overview", 0), ("Population", 1)] + [
        ("Page {}: {}: {}".format(p.number, p.heading, ", ".join(p.ids)), p.number + 1) for p in report.pages]
    # Reports of this package are replaced without asking, leaving nothing beside.
    (folder / "page-003.png").unlink()
    report.save(folder), report.save(pdf)
    assert sorted(os.listdir(tmp_path)) == ["out", "report.pdf"] and (folder / "page-003.png").exists()


def test_file_names_differ_and_frame_names_are_escaped(frames, tmp_path):
    named = {"<b>&'ref'": frames["original"], "b 1": frames["synthetic"], "B_1": frames["original"]}
    report = report_of(named)
    folder = report.save(tmp_path / "out")
    for name, file in (("b 1", "divergence-b_1.csv"), ("B_1", "divergence-B_1-2.csv")):  # names that differ in case
        table = pd.read_csv(folder / file, index_col="id")
        assert list(table.columns) == list(sinks.flat(report.divergence).columns)
        assert list(table.index) == list(report.divergence.index)
        np.testing.assert_allclose(table, report.divergences[name], rtol=1e-15)  # each frame's own numbers
    page = (folder / "index.html").read_text()
    assert "<b>" not in page and "&lt;b&gt;&amp;" in page
    assert "divergence-b_1.csv</a>: frame &#x27;b 1&#x27;" in page
    assert "divergence-B_1-2.csv</a>: frame &#x27;B_1&#x27;" in page


def unwritable(d):
    """A folder path that cannot be written, even by root."""
    if os.geteuid() != 0:
        (d / "ro").mkdir(mode=0o555)
        return d / "ro" / "out"
    if not os.access("/sys", os.F_OK):
        pytest.skip("no read-only folder for root")
    return pathlib.Path("/sys/kestrune-report")


def notes(d, name):
    (d / name).mkdir()
    (d / name / "notes.txt").write_text("mine")
    return d / name


@pytest.mark.parametrize("make_target, error, message", [
    (lambda d: d / "report.png", ValueError, "a .pdf file or a folder without a suffix, not '.png'"),
    (lambda d: pathlib.Path("."), ValueError, "is the current folder or holds it"),
    (lambda d: d.parent, ValueError, "is the current folder or holds it"),
    (lambda d: notes(d, "data"), FileExistsError, "exists and is not a report of this package; .* overwrite=True"),
    (lambda d: plt.figure().savefig(str(d / "r.pdf")) or d / "r.pdf", FileExistsError, "exists and is not a report"),
    (lambda d: bad_file(d, "out", "mine"), FileExistsError, "exists and is not a report"),
    (lambda d: notes(d, "r.pdf"), IsADirectoryError, "is a folder"),
    (lambda d: pathlib.Path(bad_file(d, "file", "")) / "out", NotADirectoryError, "file is a file, not a folder"),
    (unwritable, PermissionError, "cannot write in"),
])
def test_save_refuses_what_it_would_lose(frames, tmp_path, monkeypatch, make_target, error, message):
    monkeypatch.chdir(tmp_path)
    target = pathlib.Path(make_target(tmp_path))
    before = sorted(str(p) for p in tmp_path.rglob("*"))
    report = report_of(frames)
    monkeypatch.setattr(render, "render_task", lambda task: pytest.fail("drew a page"))
    with pytest.raises(error, match=message):
        report.save(target)
    assert sorted(str(p) for p in tmp_path.rglob("*")) == before
    if error is FileExistsError:
        monkeypatch.undo()
        assert report.save(target, overwrite=True).is_dir() == (target.suffix != ".pdf")
        assert not [n for n in os.listdir(tmp_path) if n.startswith(".")]


@pytest.mark.parametrize("target", ["out", "report.pdf"])
def test_a_failed_save_leaves_the_target_as_it_was_and_pictures_are_drawn_once(frames, tmp_path, monkeypatch,
                                                                              target):
    real = render.render_task
    calls = []

    def failing(task):
        calls.append(task[0])
        if len(calls) == 3 and fail:
            raise RuntimeError("drawing failed")
        return real(task)

    monkeypatch.setattr(render, "render_task", failing)
    fail, report = True, report_of(frames, ids_per_page=2)
    with pytest.raises(RuntimeError):
        report.save(tmp_path / target)
    assert os.listdir(tmp_path) == []
    fail = False
    report.save(tmp_path / target)
    assert calls == ["overview", "population", "page", "page", "page", "page"]  # the third on: not drawn before
    report.save(tmp_path / target)
    assert len(calls) == 6  # the same format again: nothing drawn
    path, calls[:] = tmp_path / target, []
    state = lambda: sorted(p.name for p in path.iterdir()) if target == "out" else path.read_bytes()  # noqa: E731
    before, fail = state(), True
    with pytest.raises(RuntimeError):
        report_of(frames, ids_per_page=2).save(path)
    assert state() == before and os.listdir(tmp_path) == [target]


# Repeated rows, values that are not numbers, rows without an id, frames that
# share no id or whose columns differ: see the table of checks on dask frames.
@pytest.mark.parametrize("change, kwargs, message", [
    (lambda f: [f["original"]], {}, "at least two frames"),
    (lambda f: [f["original"], renamed(f["synthetic"])], dict(pairing="nearest", ids=["new a"]), "give no ids"),
    (None, dict(pairing="closest"), r"pairing must be one of \['auto', 'ids', 'nearest'\]"),
    (lambda f: {"original": f["original"], "synthetic": f["synthetic"].drop(columns="state").assign(extra=1)}, {},
     r"frame 'synthetic' lacks columns \['state'\] and adds columns \['extra'\]"),
    (lambda f: {"original": f["original"].assign(level=-1e151), "synthetic": f["synthetic"]}, {},
     r"column 'level' holds -1e\+151 in frame 'original': finite values beyond \+-1e\+150 cannot be measured"),
    (lambda f: {n: x[["id", "t"]] for n, x in f.items()}, {},
     "frame 'original' has no data column besides 'id' and 't'"),
    (lambda f: {"original": f["original"], "synthetic": f["synthetic"].assign(t=np.nan)}, {},
     r"frame 'synthetic' has 32 rows without a time \('t'\); the first is row 0"),
    (None, dict(names=["one"]), "names has 1 entries for 2 frames"),
    (None, dict(names=["x", "x"]), r"names must differ; given more than once: \['x'\]"),
    (None, dict(columns=["level", "nope"]),
     r"columns \['nope'\] are not data columns; valid are \['level', 'state'\]"),
    (None, dict(ids=["a", "zz"]),
     r"ids \['zz'\] are in none of the frames; valid are \['a', 'b', 'c', 'd', 'e'\]"),
    (None, dict(order="size"), r"order must be one of \['evidence', 'divergence', 'id', 'given'\], got 'size'"),
    (None, dict(ids_per_page=0), "ids_per_page must be a whole number of at least 1, got 0"),
    (None, dict(jobs=2.0), "jobs must be a whole number of at least 1, got 2.0"),
    (None, dict(ids_per_page=True), "ids_per_page must be a whole number of at least 1, got True"),
    (None, dict(columns="level"), r"columns must be a list, not the single string 'level'; write \['level'\]"),
    (None, dict(ids="abc"), "ids must be a list, not the single string 'abc'"),
    (None, dict(columns=["level", "level"]), r"columns \['level'\] are given more than once"),
    (None, dict(executor=concurrent.futures.ThreadPoolExecutor(1)), "executor must run pages in other processes"),
    (None, dict(max_lag=8), "max_lag must be at most 7, the most times of one id less one"),
    (None, dict(measures=["dependence"]), r"measures \['dependence'\] leave no cell: .* hold only 'level'"),
])
def test_bad_input(frames, change, kwargs, message):
    with pytest.raises(ValueError, match=message):
        report_of(list(frames.values()) if change is None else change(frames), **kwargs)


def pictures(report, tmp_path, name):
    return [p.read_bytes() for p in sorted(report.save(tmp_path / name).glob("*.png"))]


def test_workers_draw_the_same_pages(frames, tmp_path):
    alone = pictures(report_of(frames, ids_per_page=2), tmp_path, "one")
    assert pictures(report_of(frames, ids_per_page=2, jobs=2), tmp_path, "two") == alone
    spawn = concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))
    with spawn:
        assert pictures(report_of(frames, ids_per_page=2, executor=spawn), tmp_path, "spawn") == alone
    distributed = pytest.importorskip("distributed")  # and on a dask cluster's workers
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  local_directory=str(tmp_path), dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        report = report_of(frames, ids_per_page=2, executor=client.get_executor())
        assert pictures(report, tmp_path, "dask") == alone


SCRIPT = textwrap.dedent("""
    import sys, warnings
    import matplotlib; matplotlib.use("Agg")
    sys.path.insert(0, {tests!r})
    from test_compare import make_panel
    from kestrune.testing.plotting.compare import compare_panels
    ids = ["k%d" % n for n in range(9)]
    frames = {{"original": make_panel(ids), "synthetic": make_panel(ids, seed=1)}}
    warnings.simplefilter("ignore")
    compare_panels(frames, id_index="id", time_index="t", ids_per_page=3).save(sys.argv[1])
""")


def test_same_pages_under_any_hash_seed(tmp_path):
    script = SCRIPT.format(tests=os.path.dirname(__file__))
    for seed in ("1", "2"):
        env = dict(os.environ, PYTHONHASHSEED=seed, MPLBACKEND="Agg")
        subprocess.run([sys.executable, "-c", script, str(tmp_path / seed)], check=True, env=env)
    first, second = (sorted((tmp_path / s).iterdir()) for s in "12")
    assert [p.name for p in first] == [p.name for p in second]
    assert all(a.read_bytes() == b.read_bytes() for a, b in zip(first, second))


def test_each_frame_is_read_in_one_pass_into_what_set_indices_makes(frames, monkeypatch):
    from kestrune.testing.plotting.compare import inputs
    calls, prepare, labels = [], inputs._prepare, inputs._as_labels
    monkeypatch.setattr(inputs, "_prepare", lambda *a: calls.append("frame") or prepare(*a))
    monkeypatch.setattr(inputs, "_as_labels", lambda c: calls.append("labels") or labels(c))
    given = {"original": frames["original"].sample(frac=1, random_state=0),  # unsorted, keys in the index
             "synthetic": frames["synthetic"].set_index(["t", "id"])}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        report = compare_panels(given, id_index="id", time_index="t", pages=1, order="given")
    assert calls == ["frame", "labels"] * 2 and report.pages[0].ids == tuple(pd.unique(given["original"]["id"])[:4])
    for prepared, frame in zip(report._panel.frames, given.values()):
        pd.testing.assert_frame_equal(prepared, report._panel.meta.set_indices(frame))


@pytest.fixture
def files(frames, tmp_path):
    paths = []
    for name, frame in frames.items():
        paths.append(tmp_path / (name + ".csv"))
        frame.to_csv(paths[-1], index=False)
    return [str(p) for p in paths]


def bad_file(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def bad_parquet(tmp_path, csv, mangle):
    """A Parquet file of the rows of ``csv`` whose bytes ``mangle`` spoils,
    and the good file."""
    pytest.importorskip("pyarrow")
    good, bad = tmp_path / "good.parquet", tmp_path / "bad.parquet"
    pd.read_csv(csv).to_parquet(good)
    bad.write_bytes(mangle(good.read_bytes()))
    return [str(bad), str(good)]


@pytest.mark.parametrize("make_args, status, message", [
    (lambda f, d: f + ["--bogus"], 2, "unrecognized arguments: --bogus"),
    (lambda f, d: f + ["--order", "size"], 2, "argument --order: invalid choice: 'size'"),
    (lambda f, d: f + ["--ids-per-page", "0"], 2, "argument --ids-per-page: must be at least 1, got 0"),
    (lambda f, d: f + ["--measures", "shape"], 2,
     "argument --measures: invalid choice: 'shape' .*'distribution', 'dynamics', 'dependence'"),
    (lambda f, d: f + ["--measures", "dynamics", "dynamics"], 2, "--measures: give each once"),
    (lambda f, d: f + ["--max-lag", "0"], 2, "argument --max-lag: must be at least 1, got 0"),
    (lambda f, d: f + ["--pairing", "closest"], 2, "argument --pairing: invalid choice: 'closest'"),
    (lambda f, d: f + ["--holdout", f[1]], 2, "give each file once"),
    (lambda f, d: f + ["--pairing", "nearest", "--ids", "a"], 2, "--pairing nearest compares every id"),
    (lambda f, d: f + ["--pages", "none"], 2, "argument --pages: must be a whole number of at least 1 or 'all'"),
    (lambda f, d: ["--measures", "dynamics"] + f, 2, r"invalid choice: .*original.csv.*--measures took every word"),
    (lambda f, d: f[:1], 2, "give at least two files"),
    (lambda f, d: [f[0], f[0]], 2, r"give each file once; given more than once: \S*original.csv \(--help lists the options\)$"),
    (lambda f, d: ["--categorical", "state"] + f, 2, r"required: FILE.*give the files first"),
    (lambda f, d: [f[0], str(d / "none.csv")], 1, "none.csv: no such file"),
    (lambda f, d: [f[0], (d / "set").mkdir() or str(d / "set")], 1,
     r"set: a folder, not a file \(a Parquet dataset in a folder is read on dask: --workers N or --scheduler"),
    (lambda f, d: [f[0], bad_file(d, "empty.csv", "")], 1, "empty.csv: the file is empty"),
    (lambda f, d: [f[0], bad_file(d, "header.csv", "id,t,level,state\n")], 1, "header.csv: the file holds no rows"),
    (lambda f, d: [f[0], bad_file(d, "other.csv", "id,t,level,color\na,1,2,red\n")], 1,
     r"other.csv lacks columns \['state'\] and adds columns \['color'\].*pass --columns level$"),
    (lambda f, d: [f[0], bad_file(d, "late.csv", "id,t,level,state\na,20,2,on\na,21,2,on\n")], 1,
     r"late.csv shares no time point with .*original.csv: 'original' runs from 0 to 7, 'late' from 20 to 21; "
     r"align the times, or pass --allow-disjoint-times"),
    (lambda f, d: [f[0], bad_file(d, "noid.csv", "key,t,level,state\na,1,2,on\n")], 1,
     r"noid.csv: no column 'id' \(--id\)"),
    (lambda f, d: [f[0], bad_file(d, "twice.csv", "id,t,level,state\na,1,2,on\na,1,3,on\n")], 1,
     r"twice.csv has more than one row for \(id, t\) \[\('a', 1\)\]"),
    (lambda f, d: f + ["--columns", "nope"], 1, r"original.csv: no column 'nope' \(--columns\); its columns are"),
    (lambda f, d: f + ["--columns", "level", "level"], 2, "--columns: give each once; given more than once: level"),
    (lambda f, d: f + ["--columns", "t"], 2, "--columns: t is the --time column"),
    (lambda f, d: f + ["--categorical", "nope"], 1, r"--categorical: .*original.csv has no data column \['nope'\]"),
    (lambda f, d: f + ["--ids", "zz"], 1, r"--ids: no file holds ids \['zz'\]"),
    (lambda f, d: f + ["--share-setting", "rows"], 2, "--share-setting: invalid choice: 'rows' .*'none', 'x_axis', 'axes', 'plot'"),
    (lambda f, d: f + ["-o", str(d / "report.png")], 2, "-o .*report.png: a report is a .pdf file or a folder without a suffix"),
    (lambda f, d: f + ["-o", bad_file(d, "notes.pdf", "mine")], 2,
     "-o .*notes.pdf: exists and is not a report of this package; .* pass --overwrite to replace it"),
    (lambda f, d: f + ["-o", str(d), "--overwrite"], 2, "-o .*: holds the input file"),
    (lambda f, d: [f[0], bad_file(d, "noid.csv", "id,t,level,state\na,1,2,on\n,2,2,on\n")], 1,
     r"noid.csv: column 'id' \(--id\) is empty in row 2"),
    (lambda f, d: [f[0], bad_file(d, "notime.csv", "id,t,level,state\na,,2,on\n")], 1,
     r"notime.csv: column 't' \(--time\) is empty in row 1"),
    (lambda f, d: [f[0], bad_file(d, "dates.csv", "id,t,level,state\na,1,2,on\na,2020-01-02,2,on\n")], 1,
     r"dates.csv: column 't' \(--time\): '2020-01-02' in row 2 is not a whole number, as the times of .*original.csv are"),
    (lambda f, d: [bad_file(d, "iso.csv", "id,t,level,state\na,2020-01-02,2,on\n"),
                   bad_file(d, "dmy.csv", "id,t,level,state\na,02/01/2020,2,on\n")], 1,
     r"dmy.csv: column 't' \(--time\): '02/01/2020' in row 1 is not a date written YYYY-MM-DD .*iso.csv"),
    (lambda f, d: [bad_file(d, "iso.csv", "id,t,level,state\na,2020-01-02T10:00Z,2,on\n"),
                   bad_file(d, "wrong.csv", "id,t,level,state\na,2020-01-02,2,on\na,2020-13-45,2,on\n")], 1,
     r"wrong.csv: column 't' \(--time\): '2020-13-45' in row 2 is not a date"),
    # Whatever the Parquet reader says of a file it cannot read fits the one line.
    (lambda f, d: bad_parquet(d, f[0], lambda good: b"id,t\n1,2\n"), 1,
     "bad.parquet: cannot read it: not a Parquet file"),
    (lambda f, d: bad_parquet(d, f[0], lambda good: good[:8] + bytes(b ^ 0x5A for b in good[8:-40])
                              + good[-40:]), 1, "bad.parquet: cannot read it: "),
])
def test_command_line_errors(files, tmp_path, capfd, make_args, status, message):
    out = tmp_path / "report.pdf"
    args = make_args(files, tmp_path)
    args += ["--id", "id", "--time", "t"] + ([] if "-o" in args else ["-o", str(out)])
    with warnings.catch_warnings():
        try:
            code = cli.main(args)
        except SystemExit as stop:
            code = stop.code
    assert code == status
    captured = capfd.readouterr()  # what the readers write to the descriptors, too
    lines = captured.err.strip().splitlines()
    assert lines[0].startswith("kestrune-compare: error: ") and len(lines) == 1
    assert re.search(message, lines[0]) and "Traceback" not in captured.err
    assert not re.search(r"\b[a-z_]+=(True|False|'|\[)|pairing=", lines[0])
    assert not out.exists() and captured.out == ""


def unprogressed(err):
    """Standard error's lines without the progress lines of a slow run."""
    return [line for line in err.splitlines() if not re.search(r": [a-z]+(?: \d+ of \d+)? \(\d+ s\)$", line)]


def test_command_line_report(files, tmp_path):
    out = tmp_path / "report"
    done = subprocess.run([sys.executable, "-m", "kestrune.testing.plotting.compare", *files, "--id", "id",
                           "--time", "t", "--ids", "e", "c", "a", "--order", "given", "--measures", "dynamics",
                           "--max-lag", "2", "--pages", "1", "--ids-per-page", "2", "-o", str(out)],
                          capture_output=True, text=True, env=dict(os.environ, MPLBACKEND="Agg"))
    assert done.returncode == 0 and done.stdout.splitlines()[-1] == str(out)
    assert unprogressed(done.stderr) == [
        "python -m kestrune.testing.plotting.compare: warning: frame 'synthetic' lacks 1 id: ['c']"]
    table = pd.read_csv(out / "divergence.csv")
    assert list(table["id"]) == ["e", "c", "a"] and list(table.columns) == ["id", "level:dynamics", "state:dynamics"]
    assert sorted(p.name for p in out.glob("page-*.png")) == ["page-001.png"]
    assert (cli.MEASURES, cli.PAGES, cli.parser().get_default("order")) == (compare.MEASURES, 25, "evidence")
    assert cli.PAIRINGS == report_module.PAIRINGS
    copy = tmp_path / "copy.csv"
    renamed(pd.read_csv(files[0])).to_csv(copy, index=False)
    done = subprocess.run([sys.executable, "-m", "kestrune.testing.plotting.compare", files[0], str(copy), "--id", "id",
                           "--time", "t", "-o", str(out)], capture_output=True, text=True,
                          env=dict(os.environ, MPLBACKEND="Agg"))
    assert done.returncode == 0 and "\n".join(unprogressed(done.stderr)).startswith(
        "python -m kestrune.testing.plotting.compare: warning: 5 of 5 synthetic ids of frame 'copy' are near-copies")
    assert len(unprogressed(done.stderr)) == 1 and (out / "pairs.csv").exists()


def read_files(tmp_path, ids, times, labels, values, **options):
    """The frames and meta the command line makes of one CSV per list entry."""
    paths = []
    for n, columns in enumerate(zip(ids, times, labels, values)):
        text = "id,t,label,value\n" + "".join(",".join(row) + "\n" for row in zip(*columns))
        paths.append(pathlib.Path(bad_file(tmp_path, "f{}.csv".format(n), text)))
    args = cli.parser().parse_args([str(p) for p in paths] + ["--id", "id", "--time", "t", "-o", "x"])
    return reading._read(paths, args.id, args.time, args.columns, args.categorical, cli.OPTIONS)


@pytest.mark.parametrize("ids, expected", [
    ([["7", "13", "9", "10"], ["7", "13.0", "9", "10"]], [[7, 13, 9, 10]] * 2),  # numbers: 13 is 13.0
    ([["007", "7", "9", "10"], ["7", "007", "9", "10"]], [["007", "7", "9", "10"], ["7", "007", "9", "10"]]),
    ([["1", "2", "3", "4"], ["1", "x3", "3", "4"]], [["1", "2", "3", "4"], ["1", "x3", "3", "4"]]),
    ([["-1.5", "2", "3", "4"], ["2", "3", "4", "0"]], [[-1.5, 2.0, 3.0, 4.0], [2.0, 3.0, 4.0, 0.0]]),
    # Keys beyond a float's 2**53 stay exact: whole numbers within 64 bits, else text as written.
    ([["9007199254740993", "9007199254740992", "-9223372036854775808", "4"], ["9007199254740993", "90071992547409920e-1",
                                                                            "3", "4"]],
     [[9007199254740993, 9007199254740992, -2 ** 63, 4], [9007199254740993, 9007199254740992, 3, 4]]),
    ([["9223372036854775808", "1", "2", "3"], ["1", "2", "3", "4"]], [["9223372036854775808", "1", "2", "3"],
                                                                      ["1", "2", "3", "4"]]),
    ([["12345678901234567.5", "0.5", "2", "3"], ["1", "2", "3", "4"]], [["12345678901234567.5", "0.5", "2", "3"],
                                                                        ["1", "2", "3", "4"]]),
])
def test_command_line_reads_every_file_alike(tmp_path, ids, expected):
    times = [["2020-01-01T00:00:00Z", "2020-01-01 01:30+01:00", "2020-02", "2021-03-04T05:06:07.5"],
             ["2020-01-01", "2020-01-01T00:30:00", "2020-02-01", "2021-03-04 05:06:07.500-0000"]]
    labels = [["02", "NA", "", "x"], ["2", "02", "null", "x"]]
    values = [["1", "", "NA", "2.5"], ["1", "2", "3", "high"]]  # numbers in one file only: labels
    frames, meta = read_files(tmp_path, ids, times, labels, values)
    assert [list(f["id"]) for f in frames] == expected
    assert all(type(i) is type(e[0]) for f, e in zip(frames, expected) for i in f["id"])
    assert cli.match_ids(frames, "id", [ids[0][0]]) == [expected[0][0]]
    stamps = [pd.Timestamp(t) for t in ("2020-01-01", "2020-01-01 00:30", "2020-02-01", "2021-03-04 05:06:07.5")]
    assert all(list(f["t"]) == stamps and f["t"].dtype == "datetime64[ns]" for f in frames)
    assert [list(f["label"].fillna("-")) for f in frames] == [["02", "NA", "-", "x"], ["2", "02", "null", "x"]]
    assert (meta.categorical, meta.continuous) == (["label", "value"], [])
    frames, meta = read_files(tmp_path, ids, [["3", "-1", "10", "2"]] * 2, labels, [values[0]] * 2)
    assert meta.continuous == ["value"] and list(frames[0]["value"].fillna(-9)) == [1.0, -9, -9, 2.5]
    assert all(f["t"].dtype == "int64" for f in frames)


def test_command_line_ids_and_share_setting(tmp_path, capsys, monkeypatch):
    rows = lambda ids: "id,date,level\n" + "".join(  # noqa: E731
        "{},2020-0{}-01,{}\n".format(i, m, m) for i in ids for m in (1, 2, 3))
    paths = [bad_file(tmp_path, "a.csv", rows(["1", "2", "10"])), bad_file(tmp_path, "b.csv", rows(["1.0", "2", "11"]))]
    seen = []
    real = Report.save
    monkeypatch.setattr(Report, "save", lambda self, *a, **k: seen.append(self._share) or real(self, *a, **k))
    assert cli.main(paths + ["--id", "id", "--time", "date", "--ids", "11", "1", "--order", "given",
                             "--share-setting", "X_Axis", "-o", str(tmp_path / "out")]) == 0
    assert list(pd.read_csv(tmp_path / "out" / "divergence.csv")["id"]) == [11, 1] and seen == ["X_AXIS"]
    err = capsys.readouterr().err  # b.csv's 11 is not in a.csv; its 1 copies a.csv's 1
    assert err.count("warning: ") == 2 and "1 id of frame 'b' has a series equal to the reference's" \
        " in every time and value (copies): [1]" in err
    extra = tmp_path / "c.csv"  # a column that --columns leaves out; the report is replaced
    pd.read_csv(paths[0]).assign(note="x").to_csv(extra, index=False)
    assert cli.main([paths[0], str(extra), "--id", "id", "--time", "date", "--columns", "level",
                     "-o", str(tmp_path / "out")]) == 0


@pytest.mark.parametrize("name, status, word, group", [("SIGTERM", 143, "terminated", False),
                                                      ("SIGINT", 130, "interrupted", True)])  # Ctrl-C: the group
def test_an_interrupted_run_leaves_nothing_behind(frames, tmp_path, name, status, word, group):
    psutil = pytest.importorskip("psutil")
    ids = ["k%02d" % n for n in range(40)]
    for n, frame in enumerate((make_panel(ids), make_panel(ids, seed=1))):
        frame.to_csv(tmp_path / "{}.csv".format(n), index=False)
    out = report_of(frames).save(tmp_path / "out")
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    run = subprocess.Popen([sys.executable, "-m", "kestrune.testing.plotting.compare", "0.csv", "1.csv", "--id", "id",
                            "--time", "t", "--ids-per-page", "1", "--jobs", "2", "-o", "out"], cwd=str(tmp_path),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
                           env=dict(os.environ, MPLBACKEND="Agg"))
    parent = psutil.Process(run.pid)
    while len(parent.children(recursive=True)) < 3 and run.poll() is None:  # the fork server, two workers
        time.sleep(0.1)
    time.sleep(0.5)
    children = parent.children(recursive=True)
    os.killpg(run.pid, getattr(signal, name)) if group else run.send_signal(getattr(signal, name))
    _, err = run.communicate(timeout=60)
    assert run.returncode == status and unprogressed(err) == [
        "python -m kestrune.testing.plotting.compare: {}; nothing was written".format(word)]
    assert psutil.wait_procs(children, timeout=10)[1] == []
    assert sorted(os.listdir(tmp_path)) == ["0.csv", "1.csv", "out"]
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


def test_command_line_parquet(frames, tmp_path, capsys):
    path = tmp_path / "original.parquet"
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        other = tmp_path / "synthetic.parquet"
        path.write_bytes(b"")
        other.write_bytes(b"")
        assert cli.main([str(path), str(other), "--id", "id", "--time", "t", "-o", str(tmp_path / "x.pdf")]) == 1
        assert "pip install 'kestrune-series[parquet]'" in capsys.readouterr().err
        return
    # Typed columns in the Parquet file, text in the CSV file: read alike.
    stamps = pd.Timestamp("2020-01-01", tz="Europe/Berlin") + pd.to_timedelta(frames["original"]["t"], unit="D")
    frames["original"].assign(t=stamps, id=frames["original"]["id"].map(ord)).to_parquet(path)
    synthetic = tmp_path / "synthetic.csv"
    frames["synthetic"].assign(t=stamps.dt.tz_convert("UTC").dt.strftime("%Y-%m-%dT%H:%MZ"),
                               id=frames["synthetic"]["id"].map(ord)).to_csv(synthetic, index=False)
    args = [str(path), str(synthetic), "--id", "id", "--time", "t", "-o", str(tmp_path / "out")]
    read, _ = reading.read_files([path, synthetic], "id", "t")
    read = list(read.values())
    assert read[0]["t"].iloc[0] == pd.Timestamp("2019-12-31 23:00") and read[0]["id"].dtype == "int64"
    assert set(read[1]["t"]) <= set(read[0]["t"]) and set(read[1]["id"]) <= set(read[0]["id"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert cli.main(args) == 0
    assert (tmp_path / "out" / "page-002.png").exists()


def test_what_nearest_pairing_writes(tmp_path, capsys, monkeypatch):
    rng = np.random.default_rng(2)
    reference = make_panel(["r{:02d}".format(i) for i in range(45)], periods=12)
    reference["level"] += np.repeat(rng.normal(0, 3, 45), 12)
    made = renamed(reference.iloc[: 12 * 30], "s")
    made["level"] += rng.normal(0, 2, len(made))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        report = compare_panels({"original": reference, "synthetic": made}, id_index="id", time_index="t",
                                pages=1)
    # Each pair's measures are measure_table's of the pair's two series.
    meta = DataFrameMeta("id", "t", categorical=["state"], continuous=["level"])
    pairs = report.pairs.set_index("id")["reference_id"]
    rows = reference.merge(pairs.rename("id").rename_axis("synthetic").reset_index(), on="id")
    values, _ = compare.measure_table(rows.assign(id=rows["synthetic"]).drop(columns="synthetic"), made, meta)
    ours = report.divergences["synthetic"].sort_index()
    pd.testing.assert_frame_equal(ours, values.sort_index()[ours.columns],
                                  check_names=False, rtol=1e-11)
    # The scores' row, in the table, in scores.csv and on the command line.
    scores = report.scores
    assert list(scores.index) == ["synthetic"] and scores.loc["synthetic", "rank"] == 1
    assert scores.loc["synthetic", "yardstick"].startswith("half B of the reference")
    folder = report.save(tmp_path / "out")
    assert report.save(folder) == folder  # its own folder: replaced
    written = pd.read_csv(folder / "scores.csv", index_col=0)
    assert list(written.index) == ["synthetic"] and written.loc["synthetic", "precision"] == scores.loc[
        "synthetic", "precision"]
    paths = [str(tmp_path / "a.csv"), str(tmp_path / "b.csv"), str(tmp_path / "h.csv")]
    reference.iloc[: 12 * 25].to_csv(paths[0], index=False)
    made.to_csv(paths[1], index=False)
    renamed(reference.iloc[12 * 25:], "h").to_csv(paths[2], index=False)
    monkeypatch.setattr(Report, "save", lambda self, path, overwrite=False: pathlib.Path(path))  # nothing drawn
    assert cli.main(paths[:2] + ["--id", "id", "--time", "t", "--holdout", paths[2], "--pages", "1",
                                 "-o", str(tmp_path / "cli")]) == 0
    out = capsys.readouterr().out.splitlines()
    rows = [line for line in out if line.startswith("1. b: precision ")]
    assert len(rows) == 1 and "; against the holdout: precision " in rows[0]
    assert out[-1] == str(tmp_path / "cli")
    for extra, status, message in [(["--pairing", "ids"], 2, "--holdout is for compared files with ids of "
                                     "their own; --pairing ids compares each id with itself"),
                                   ([], 1, "bad.csv")]:
        text = bad_file(tmp_path, "bad.csv", "id,t,level\nx,1,2\n") if extra == [] else paths[2]
        try:
            code = cli.main(paths[:2] + ["--id", "id", "--time", "t", "--holdout", text, "-o",
                                         str(tmp_path / "cli2")] + extra)
        except SystemExit as exit_:
            code = exit_.code
        err = capsys.readouterr().err
        assert code == status and message in err.splitlines()[0], err
