"""Tables of a million ids in bounded memory, and the report's tables on dask
frames: the same numbers as the pandas path."""
import contextlib
import re
import sys
import tracemalloc
import warnings

import numpy as np
import pandas as pd
import pytest

from kestrune import DataFrameMeta
from kestrune.testing.plotting.compare import benjamini_hochberg, compare_panels, measure_table
from kestrune.testing.plotting.compare import divergence, measures
from kestrune.testing.plotting.compare.divergence import round_significant
from kestrune.testing.plotting.compare.inputs import IdSpellingWarning, TimeOverlapWarning
from kestrune.testing.plotting.compare.measures import id_level_qvalues
from test_measures import panel


def plain_bh(p):
    """Benjamini-Hochberg over the non-NaN entries, the whole array at once."""
    flat = p.ravel()
    chosen = np.flatnonzero(~np.isnan(flat))
    order = np.argsort(flat[chosen])
    ranked = flat[chosen][order] * len(chosen) / np.arange(1, len(chosen) + 1)
    q = np.full(flat.shape, np.nan)
    q[chosen[order]] = np.minimum(np.minimum.accumulate(ranked[::-1])[::-1], 1.0)
    return q.reshape(p.shape)


def peak(function, *args):
    """The result of ``function(*args)`` and the most memory it held at once."""
    tracemalloc.start()
    try:
        result = function(*args)
        return result, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("name, most", [("bh", 3.3), ("bh-fortran", 3.3), ("rounding", 1.2),
                                         ("id-level", 1.5)])
def test_qvalues_and_rounding_hold_few_tables(name, most, monkeypatch):
    # Many small steps, so that the peak counts tables of the input's size.
    step = 4096
    for module in (divergence, measures):
        monkeypatch.setattr(module, "ROUNDING_STEP", step)
    rng = np.random.default_rng(0)
    p = rng.random((64 * step // 15, 15)) ** 2
    p[rng.random(p.shape) < 0.1] = np.nan
    p[:100] = 0.25  # ties across the steps
    if name == "bh-fortran":
        p = np.asfortranarray(p)
    if name.startswith("bh"):
        q, held = peak(benjamini_hochberg, p)
        np.testing.assert_allclose(q, plain_bh(p), rtol=1e-11)
    elif name == "rounding":
        x = p * 10.0 ** rng.integers(-40, 40, p.shape)
        q, held = peak(round_significant, x)
        sample = rng.choice(x.size, 2000)
        np.testing.assert_array_equal([float("%.12g" % v) for v in x.ravel()[sample]],
                                      q.ravel()[sample])
    else:
        cells = pd.MultiIndex.from_product([list("abcde"), ["distribution", "dynamics", "x"]])
        frame = pd.DataFrame(p, columns=cells)
        q, held = peak(id_level_qvalues, frame)
        step //= 15
        pieces = [id_level_qvalues(frame.iloc[:3 * step]), id_level_qvalues(frame.iloc[3 * step:])]
        # Over the first rows alone: the same within-id stage, another id level.
        assert np.isnan(q.to_numpy()).sum() == sum(np.isnan(t.to_numpy()).sum() for t in pieces)
        q = q.to_numpy()
        assert ((q >= 0) & (q <= 1) | np.isnan(q)).all()
    assert held <= most * p.nbytes, held / p.nbytes


@pytest.mark.parametrize("status, failures, outcome, calls", [
    ("finished", 2, "result", 3),  # a result turned away twice, then fetched
    ("finished", 9, KeyError, 5),  # turned away every time: given up
    ("error", 1, ValueError, 1),  # the task's own error, at once
])
def test_a_finished_tasks_result_is_fetched_again(status, failures, outcome, calls, monkeypatch):
    from kestrune.testing.plotting.compare import partitions

    class Future:
        calls = 0

        def result(self):
            self.calls += 1
            if self.calls <= failures:
                raise KeyError("data") if status == "finished" else ValueError("task")
            return "result"
    monkeypatch.setattr("time.sleep", lambda seconds: None)
    future = Future()
    future.status = status
    if outcome == "result":
        assert partitions._fetched(future) == "result"
    else:
        with pytest.raises(outcome):
            partitions._fetched(future)
    assert future.calls == calls


def test_rearranged_statistics_of_more_rows_than_int32_products_hold():
    # The noise levels of large panels: N times a count of rows passes 2 ** 31.
    from scipy import stats
    from kestrune.testing.plotting.compare import noise
    rng = np.random.default_rng(0)
    values = rng.normal(size=60000)
    labels = np.array([rng.random(60000) < 0.5, np.arange(60000) % 2 == 0])
    values[labels[1]] += 0.05
    np.testing.assert_allclose(noise._Sorted(values)(labels), [
        stats.ks_2samp(values[~chosen], values[chosen]).statistic for chosen in labels])


dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
META = DataFrameMeta("id", "t", categorical=["s"], continuous=["a", "b", "c"])


@pytest.fixture(scope="module")
def cluster():
    # Worker processes: in-process workers of distributed 2022.2 cannot read Parquet.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=True,
                                  dashboard_address=None) as local:
        with distributed.Client(local) as client:
            yield client


def on(scheduler, request):
    """Where dask computes: on the module's cluster, or a scheduler of this process."""
    if scheduler == "cluster":
        request.getfixturevalue("cluster")
        return contextlib.suppress()
    return dask.config.set(scheduler=scheduler)


def frames(ids, layout, parts, seed, dates=False, sparse=False):
    """The pandas frames of a panel with gaps and missing values, and the
    same as dask frames of ``parts`` partitions: by row (ids split across
    partitions, shuffled on the id) or indexed by id with known divisions.
    With ``sparse``, column c holds values for the first three ids only."""
    pair = [panel(ids, 12, seed, 0.5), panel(ids[len(ids) // 10:], 12, seed + 1, 0.2)]
    # Labels first seen in the reference's later ids, one of them in every
    # id of the compared frame: no partition numbers the labels as the
    # whole panel does (the reference's rows first, by id, then time).
    late = pair[0]["id"].isin(ids[len(ids) // 2:])
    pair[0].loc[late & (pair[0]["t"] % 5 == 2), "s"] = "rare"
    pair[0].loc[late & (pair[0]["t"] % 5 == 3), "s"] = "new"
    pair[1].loc[pair[1]["t"] % 5 == 2, "s"] = "new"
    for frame in pair if sparse else []:
        frame.loc[~frame["id"].isin(ids[:3]), "c"] = np.nan
    if dates:
        pair = [dated(frame) for frame in pair]
    if layout == "rows":
        pair = [f.sample(frac=1.0, random_state=seed) for f in pair]
    return pair, [as_dask(f, layout, parts) for f in pair]


def dated(frame):
    return frame.assign(t=pd.Timestamp("2020-01-31") + pd.to_timedelta(frame["t"] * 30, "D"))


def as_dask(frame, layout, parts):
    if layout == "sorted":
        return dd.from_pandas(frame.set_index("id"), npartitions=parts, sort=True)
    # Rows in a random order: every partition holds part of most ids.
    return dd.from_pandas(frame.reset_index(drop=True), npartitions=parts)


def own_ids(reference, other, layout, parts, several):
    """Compared frames (two with ``several``) and a holdout whose ids are
    their own, the first's text (of another kind than numbers of the
    reference) with a near-copy of a reference id; pandas frames in id order
    and dask frames."""
    ids = reference["id"].unique()

    def renamed(frame, n):
        return frame.assign(id=frame["id"].map(
            lambda i: i + n if isinstance(i, (int, np.integer)) and n > 1 else "{}-{}".format(
                i, n)))
    copy = reference[reference["id"] == ids[5]].assign(id="copy")
    compared = [pd.concat([renamed(other, 1), copy])]
    more = [panel(ids[:25], 12, 9, 0.4), panel(ids[:20], 12, 11, 0.3)]
    if reference["t"].dtype.kind == "M":
        more = [dated(frame) for frame in more]
    compared += [renamed(more[0], 3)] if several else []
    holdout = renamed(more[1], 5)
    pandas = [f.sort_values(["id", "t"]) for f in compared + [holdout]]
    return pandas, [as_dask(f.sample(frac=1.0, random_state=2), layout, parts) for f in pandas]


@pytest.mark.parametrize("kind, layout, parts, calibrated, given, dates, options", [
    # More partitions than some buckets fill: empty partitions. Chunks of
    # ids with dropped rows: the largest lag is the whole panel's.
    ("int", "rows", 24, False, False, False, {"max_lag": 11}),
    ("text", "rows", 4, False, True, True,
     {"columns": ["s", "a"], "measures": ["dynamics", "distribution"], "max_lag": 3}),
    ("int", "sorted", 3, False, False, True, {}),
    ("text", "sorted", 2, False, True, False, {"measures": ["dependence"]}),
    # Every id draws the pandas path's null panels, whatever partition and
    # chunk it is in: the calibrated p-values are the pandas path's.
    ("int", "sorted", 3, True, False, False, {}),
    ("text", "rows", 2, True, True, False, {"measures": ["dynamics"]}),
])
def test_measure_table_on_dask_is_the_pandas_table(kind, layout, parts, calibrated, given,
                                                   dates, options, monkeypatch):
    from kestrune.testing.plotting.compare import partitions
    ids = np.arange(20) * 7
    if kind == "text":
        ids = np.array(["x{:03d}".format(i) for i in ids], dtype=object)
    (reference, other), (dask_reference, dask_other) = frames(ids, layout, parts, 3, dates)
    chosen = list(ids[::3][::-1]) + ["absent" if kind == "text" else -1] if given else None
    expected = measure_table(reference, other, META, ids=chosen, calibrated=calibrated,
                             **options)
    if parts > 1:  # a few ids measured at once: partitions in several steps
        monkeypatch.setattr(partitions, "CHUNK_IDS", 3)
    with dask.config.set(scheduler="synchronous"):
        found = measure_table(dask_reference, dask_other, META, ids=chosen,
                              calibrated=calibrated, **options)
    for table, want in zip(found, expected):
        pd.testing.assert_frame_equal(table, want, check_exact=False, rtol=1e-9, atol=1e-12,
                                      check_index_type=False)


def test_what_dask_frames_cannot_do_is_refused_and_the_missing_extra_named(monkeypatch):
    from kestrune.testing.plotting.compare.cluster import cluster
    (reference, _), (dask_reference, dask_other) = frames(np.arange(10), "rows", 2, 1)
    for call, message in (
            (lambda: measure_table(reference, dask_other, META), "mix pandas and dask frames"),
            (lambda: compare_panels({"a": reference, "b": dask_other}, META), "mix pandas and"),
            (lambda: measure_table(dask_other, dask_other, META, columns=["a", "z"]),
             r"columns \['z'\] are not columns"),
            (lambda: compare_panels([dask_reference, dask_other], META, holdout=reference,
                                    pairing="nearest"), "the frames and the holdout mix"),
            (lambda: compare_panels([dask_reference, dask_other], META, holdout=reference),
             "a holdout is for")):
        with pytest.raises(ValueError, match=message), dask.config.set(scheduler="sync"):
            call()
    with pytest.raises(ValueError, match="not neither"):
        with cluster():
            pass
    for module in ("dask", "dask.dataframe", "distributed"):
        monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=r"pip install 'kestrune-series\[dask\]'"):
        measure_table(dask_other, dask_other, META)


def _set(frame, column, rows, values, dtype=None):
    """``frame`` with ``values`` at positions ``rows`` of ``column``."""
    frame = frame.copy()
    if dtype is not None:
        frame[column] = frame[column].astype(dtype)
    frame.iloc[rows, frame.columns.get_loc(column)] = values
    return frame


def _spelled(pair):
    """Ids a to l; the compared frame's last four as 00I to 00L."""
    reference, other = (f.assign(id=f["id"].map(lambda i: chr(97 + i))) for f in pair)
    return [reference, other.assign(id=other["id"].map(lambda i: "00" + i.upper() if i > "h" else i))]


def _dates(pair, step):
    """Month starts in the reference, every ``step`` days from a month end
    in the compared frame."""
    reference, other = pair
    return [reference.assign(t=pd.to_datetime(reference["t"].map(
        lambda m: "2020-{:02d}-01".format(m + 1)))),
        other.assign(t=pd.Timestamp("2020-01-31") + pd.to_timedelta(other["t"] * step, unit="D"))]


# (case, layout, the frames changed, options, the pandas path's error, or its warning
# and a regex of it). Ids 0 to 11 and times 0 to 5 in both frames; the compared
# frame's rows 40 and 50 lie in its last partitions, whether split by row or by id.
CHECKS = [
    ("repeated rows", "rows", lambda p: [p[0], pd.concat([p[1], p[1].iloc[::4], p[1].iloc[[9]]])], {},
     r"more than one row for \(id, t\) \[\(0, 0\), .* \(8 more\)\]"),
    ("text in numbers", "rows", lambda p: [p[0], _set(p[1], "a", np.r_[50, 3:15, 40],
                                              ["x9"] + ["x{}".format(n % 12) for n in range(12)]
                                              + ["x9"], object)], {},
     r"holds numbers in 'frame 1' but not in frame 'frame 2': \['x0', .* \(2 more\)\]"),
    ("no numbers", "sorted", lambda p: [p[0].assign(a=None), p[1]], {},
     "continuous but not numeric in frame 'frame 1': object"),
    ("true and false", "sorted", lambda p: [p[0], p[1].assign(a=p[1]["a"] > 0)], {},
     "column 'a' is continuous but holds True/False in frame 'frame 2'; declare it categorical"),
    ("too large", "sorted", lambda p: [p[0], _set(p[1], "a", [50, 3], [-1e300, 1e200])], {},
     r"holds 1e\+200 in frame 'frame 2': finite values beyond \+-1e\+150 cannot be measured"),
    ("no id", "rows", lambda p: [p[0], _set(p[1], "id", [50, 40], np.nan, float)], {},
     r"frame 'frame 2' has 2 rows without an id \('id'\); the first is row 40 \(counting from 0\)"),
    ("no time", "sorted", lambda p: [p[0], _set(p[1], "t", [50], np.nan, float)], {},
     "1 row without a time .* the first is row 50"),
    ("no time, measured", "rows", lambda p: [p[0], _set(p[1], "t", [50], np.nan, float)],
     {"measure": True}, "frame 'other' has 1 row without a time"),
    ("times of two kinds", "rows", lambda p: [p[0], _set(p[1], "t", [40], "x", object)], {},
     "times .* kinds that do not compare: int such as 0, str such as 'x'"),
    ("disjoint times", "sorted", lambda p: [p[0], p[1].assign(t=p[1]["t"] + 100)], {},
     r"frame 'frame 2' shares no time point with frame 'frame 1': 'frame 1' runs from 0 to 5, "
     r"'frame 2' from 100 to 105; align the times, or pass allow_disjoint_times=True"),
    ("dates that never meet", "rows", lambda p: _dates(p, 7), {},
     "'frame 1' runs from 2020-01-01 to 2020-06-01, 'frame 2' from 2020-01-31 to 2020-03-06"),
    ("disjoint allowed", "rows", lambda p: [p[0], p[1].assign(t=p[1]["t"] + 100)],
     {"allow_disjoint_times": True}, "leave no cell"),
    ("half the times shared", "rows", lambda p: [p[0], p[1].assign(t=p[1]["t"] + 3)], {},
     "leave no cell"),
    ("little overlap", "sorted", lambda p: [p[0], p[1].assign(t=p[1]["t"] + 4)], {},
     (TimeOverlapWarning, r"frame 'frame 2' shares 2 of the 6 time points of frame 'frame 1' "
                          r"\('frame 1' runs from 0 to 5, 'frame 2' from 4 to 9\)")),
    ("ids spelled apart", "rows", _spelled, {},
     (IdSpellingWarning, r"^4 ids of frame 'frame 2' match ids of frame 'frame 1' only once leading "
                         r"zeros, case and surrounding spaces are set aside \('00I' \u2248 'i', "
                         r"'00J' \u2248 'j', '00K' \u2248 'k', \.\.\.\); write the ids alike")),
    ("no shared id", "rows", lambda p: [p[0], p[1].assign(id=p[1]["id"] + 100)], {"pairing": "ids"},
     r"frame 'frame 2' shares no id with frame 'frame 1': frame 'frame 1' has int64 ids such as "
     r"\[0, 1, 2, \.\.\.\], frame 'frame 2' has int64 ids such as \[100, 101, 102, \.\.\.\]"),
    ("column added", "sorted", lambda p: [p[0], p[1].assign(z=1.0)], {"columns": None},
     r"frame 'frame 2' adds columns \['z'\] .*; to compare the columns they share, pass "
     r"columns=\['s', 'a', 'b', 'c'\]$"),
    ("unknown column", "rows", lambda p: p, {"columns": ["a", "zz"]}, r"columns \['zz'\] are not data"),
    ("empty", "rows", lambda p: [p[0], p[1].iloc[:0]], {}, "frame 'frame 2' is empty"),
]


@pytest.mark.parametrize("case, layout, change, options, expected", CHECKS,
                         ids=[c[0] for c in CHECKS])
def test_dask_frames_are_checked_as_pandas_frames(case, layout, change, options, expected):
    # The same error or warning on both paths, from the passes that run anyway.
    pair = change([panel(np.arange(12), 6, seed, 0.3).reset_index(drop=True)
                   for seed in (1, 2)])
    if layout == "sorted":  # indexed by id, known divisions: no shuffle
        pair = [f.set_index("id") for f in pair]
    # Where the panel passes its checks, a choice of measures that leaves no
    # cell stops either path right after them.
    options = {k: v for k, v in dict({"measures": ["dependence"], "columns": ["s", "a"]},
                                     **options).items() if v is not None}
    measure, outcomes = options.pop("measure", False), []
    # Object columns as they are (newer dask makes them strings).
    with dask.config.set({"dataframe.convert-string": False}):
        dask_pair = [dd.from_pandas(f, npartitions=3) for f in pair]
    for given in (pair, dask_pair):
        with warnings.catch_warnings(record=True) as caught, \
                dask.config.set(scheduler="synchronous"):
            warnings.simplefilter("always")
            try:
                if measure:
                    measure_table(*given, META)
                else:
                    compare_panels(given, META, **options)
            except ValueError as error:
                caught.append(warnings.WarningMessage(error, ValueError, "", 0))
        outcomes.append([(w.category, str(w.message)) for w in caught if w.category in (
            ValueError, TimeOverlapWarning, IdSpellingWarning)])
    assert outcomes[0] == outcomes[1]
    warned = [] if isinstance(expected, str) else [expected[0]]
    assert [category for category, _ in outcomes[0][:-1]] == warned, outcomes[0]
    assert re.search(expected if isinstance(expected, str) else "leave no cell",
                     outcomes[0][-1][1]), outcomes[0]
    assert isinstance(expected, str) or re.search(expected[1], outcomes[0][0][1])


def test_read_dataset_reads_as_the_command_line(tmp_path):
    from kestrune.testing.plotting.compare import partitions, read_files
    rng = np.random.default_rng(0)
    files = []
    for name, ids in (("ref", ["7", "12", "30"]), ("syn", ["7", "12.0", "40"])):
        # Ids as text that read as whole numbers only over both datasets;
        # "txt" reads as numbers in every file but the last partition.
        frame = pd.DataFrame({
            "store": np.repeat(ids, 6), "date": np.tile(pd.date_range("2020-01-01", periods=6,
                                                                      freq="MS"), 3),
            "sales": rng.normal(size=18), "code": rng.integers(0, 3, 18),
            "kind": rng.choice(["a", "b", None], 18),
            "txt": list(rng.integers(0, 9, 18).astype(str)[:-1]) + [
                "x" if name == "syn" else "1"]})
        frame.to_parquet(tmp_path / (name + ".parquet"), index=False)
        (tmp_path / name).mkdir()
        for k in range(3):
            frame.iloc[6 * k:6 * k + 6].to_parquet(
                tmp_path / name / "part{}.parquet".format(k), index=False)
        files.append(tmp_path / (name + ".parquet"))
    expected, meta = read_files(files, "store", "date", categorical=["code"])
    found, found_meta = read_files([tmp_path / "ref", str(tmp_path / "syn" / "*.parquet")], "store",
                                   "date", categorical=["code"], engine="dask")
    assert (found_meta.categorical, found_meta.continuous) == (meta.categorical,
                                                               meta.continuous)
    assert meta.categorical == ["code", "kind", "txt"]
    for frame, want in zip(found.values(), expected.values()):
        pd.testing.assert_frame_equal(frame.compute().reset_index(drop=True), want)
    # Files of increasing ranges of whole-number ids (a file's ids in any
    # order): indexed by the id, the files' divisions.
    want = expected["ref"].assign(store=np.repeat([30, 12, 7], 6))
    (tmp_path / "ints").mkdir()
    for k in range(3):
        want.iloc[6 * k:6 * k + 6].to_parquet(tmp_path / "ints" / "{}.pq".format(2 - k))
    want.iloc[np.r_[12:18, 6:12, 0:6]].to_parquet(tmp_path / "ints.pq")
    with dask.config.set({"dataframe.convert-string": False}):  # labels as objects
        found, _ = read_files([tmp_path / "ints"], "store", "date", engine="dask")
        assert found["ints"].divisions == (7, 12, 30, 30)
        pd.testing.assert_frame_equal(found["ints"].compute().reset_index(),
                                      read_files([tmp_path / "ints.pq"], "store", "date")[0][
                                          "ints"])
    with pytest.raises(ValueError, match="no Parquet file"):
        partitions.read_dataset([tmp_path / "nothing-*.pq"], "store", "date")


def uncalibrated(monkeypatch):
    """Both paths' p-values without the calibration (the quicker test; the
    verdicts' too, where few ids swap)."""
    from kestrune.testing.plotting.compare import partitions, report, verdicts
    for module, name in ((report, "_measured"), (partitions, "measure_steps"),
                         (verdicts, "_measures")):
        original = getattr(module, name)

        def plain(*args, original=original, **options):
            options.pop("calibrated", None)
            return original(*args[:7], calibrated=False, **options) if len(args) > 7 \
                else original(*args, calibrated=False, **options)
        monkeypatch.setattr(module, name, plain)


def assert_same_report(found, want):
    tables = [(found.divergence, want.divergence), (found.verdicts, want.verdicts),
              (found.pvalues, want.pvalues), (found.qvalues, want.qvalues)]
    tables += [(found.population[k], want.population[k])
               for k in ("columns", "over_time", "summaries")]
    tables += [(found.population["levels"][k], want.population["levels"][k])
               for k in ("columns", "band", "over_time", "summaries")]
    assert found.pages == want.pages
    for got, expected in tables:
        pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-9, atol=1e-12,
                                      check_index_type=False)
    assert found.missing == want.missing
    assert found.population["levels"]["ids"].equals(want.population["levels"]["ids"])
    if want.pairs is not None:
        assert (repr(found), found.summary_lines()) == (repr(want), want.summary_lines())
        for got, expected in ((found.pairs, want.pairs), (found.coverage, want.coverage),
                              (found.scores, want.scores),
                              (found.population["scores"], want.population["scores"])):
            pd.testing.assert_frame_equal(got, expected, check_index_type=False)


@pytest.mark.parametrize("kind, layout, parts, calibrated, scheduler, options", [
    ("text", "rows", 3, False, "synchronous", {"ids": "some", "order": "given", "pages": 2}),
    ("text", "sorted", 3, False, "synchronous",
     {"columns": ["s", "a", "b"], "ids_per_page": 3, "order": "given"}),
    ("int", "sorted", 2, True, "synchronous", {"measures": ["distribution", "dependence"]}),
    # Compared ids of their own: each paired with its nearest reference id.
    ("int", "rows", 4, False, "synchronous", {"pairing": "nearest", "order": "divergence"}),
    ("text", "sorted", 3, False, "cluster", {"pairing": "auto", "several": True,
                                             "holdout": True}),
])
def test_compare_panels_on_dask_is_the_pandas_report(kind, layout, parts, calibrated,
                                                     scheduler, options, request,
                                                     monkeypatch):
    from kestrune.testing.plotting.compare import dask_report, noise, render
    # 60 ids: beyond the swaps' limit, the verdicts from their contrasts' sums.
    ids = np.arange(20 if kind == "text" else 60) * 7
    if kind == "text":
        ids = np.array(["x{:03d}".format(i) for i in ids], dtype=object)
    # Column c too sparse for rearrangements: its statistics from value ranges alone.
    (reference, other), dask_frames = frames(ids, layout, parts, 4, kind == "int", sparse=True)
    # Rows by id: the pandas path's first appearance is then the sorted order.
    pair = [f.sort_values(["id", "t"]) for f in (reference, other)]
    if options.get("ids") == "some":
        options = dict(options, ids=list(ids[::4][::-1]))
    held = {}
    if "pairing" in options:
        options = dict(options)
        compared, dask_compared = own_ids(pair[0], other, layout, parts,
                                          options.pop("several", False))
        pair, dask_frames = pair[:1] + compared[:-1], dask_frames[:1] + dask_compared[:-1]
        if options.pop("holdout", False):
            held = {0: {"holdout": compared[-1]}, 1: {"holdout": dask_compared[-1]}}
    if not calibrated:
        uncalibrated(monkeypatch)
    # Value ranges of a few values: the Kolmogorov-Smirnov pass in several ranges;
    # fewer rearrangements behind the noise levels (the same on both paths).
    monkeypatch.setattr(dask_report, "RANGE_VALUES", 100)
    monkeypatch.setattr(noise, "REARRANGEMENTS", 99)
    if kind == "text" and "pairing" not in options or kind == "int" and "pairing" in options:
        monkeypatch.setattr(noise, "SAMPLED", 12)  # levels from a sample of 12 ids
    with warnings.catch_warnings(record=True) as expected:
        warnings.simplefilter("always")
        want = compare_panels(pair, META, **options, **held.get(0, {}))
    with warnings.catch_warnings(record=True) as told:
        warnings.simplefilter("always")
        with on(scheduler, request):
            found = compare_panels(dask_frames, META, **options, **held.get(1, {}))
    assert_same_report(found, want)
    if "pairing" in options:  # the near-copy
        ours = [[str(w.message) for w in caught if w.category.__module__.startswith("kestrune")]
                for caught in (told, expected)]
        assert ours[0] == ours[1] != []
    # The pages draw the rows of their ids, every label in the whole frames' order.
    for first, page in zip(found._page_tasks("png"), want._page_tasks("png")):
        for got, rows in zip(first[3], page[3]):
            pd.testing.assert_frame_equal(got, rows, check_index_type=False)
        assert first[2] == page[2]
    if scheduler == "cluster":  # drawn by the cluster's workers, as in this process
        used = []
        monkeypatch.setattr(render, "cluster_executor", lambda plain=render.cluster_executor: (
            used.append(plain()), used[-1])[1])
        first = [found.pages[0].number]
        assert list(found._pictures_of("png", first)) == list(want._pictures_of("png", first))
        assert len(used) == 1 and used[0] is not None


@pytest.mark.parametrize("layout", ["rows", "sorted"])
def test_rows_of_the_drawn_ids_in_one_pass(layout):
    from kestrune.testing.plotting.compare.partitions import rows_of
    pair, dask_pair = frames(np.arange(30), layout, 5, 2)
    chosen = [29, 3, 4, 17]
    with dask.config.set(scheduler="synchronous"):
        found = rows_of(dask_pair, META, chosen)
    for got, frame in zip(found, pair):
        want = META.set_indices(frame[frame["id"].isin(chosen)])
        pd.testing.assert_frame_equal(got, want)


@pytest.fixture(scope="module")
def datasets(tmp_path_factory):
    """A reference and a compared panel as Parquet datasets of three files
    (ids split across them), and as one file each."""
    folder = tmp_path_factory.mktemp("datasets")
    pair = [panel(np.arange(16), 8, 5, 0.3), panel(np.arange(16), 8, 6, 0.3)]
    for name, frame in zip(("ref", "syn"), pair):
        frame = frame.sample(frac=1.0, random_state=1)
        frame["s"] = frame["s"].astype(object).where(frame["s"].notna(), None)
        frame.to_parquet(folder / (name + ".parquet"), index=False)
        (folder / name).mkdir()
        for k, rows in enumerate(np.array_split(np.arange(len(frame)), 3)):
            frame.iloc[rows].to_parquet(folder / name / "part{}.parquet".format(k), index=False)
    return folder


@pytest.mark.parametrize("flags, status, outcome", [
    (["--scheduler", "{address}"], 0, "same tables"),
    (["--workers", "2", "--worker-memory", "2GiB"], 1, "a local cluster of 2 workers of 2GiB"),
    (["--scheduler", "tcp://x:1", "--workers", "2"], 2, "give one of them"),
    (["--worker-memory", "2GiB"], 2, "give --workers"),
    (["--workers", "1", "--worker-memory", "lots"], 2, "'lots' is not a size"),
    (["--scheduler", "{address}", "--pairing", "nearest", "--holdout",
      "{folder}/syn/part0.parquet"],
     0, "same tables"),
    (["--workers", "1", "--holdout", "{folder}/ref.parquet"], 1, "a holdout is for"),
    (["--workers", "1", "--ids", "3", "x"], 1, "'x' is not an id"),
    (["--workers", "1"], 1, r"pip install 'kestrune-series[dask]'"),
])
def test_command_line_on_dask(flags, status, outcome, datasets, tmp_path, capsys, monkeypatch,
                              request):
    from kestrune.testing.plotting.compare import cli, cluster as clusters, report
    base = [str(datasets / "ref"), str(datasets / "syn" / "*.parquet"), "--id", "id", "--time",
            "t", "--categorical", "s", "--pages", "1", "--measures", "distribution"]
    saved = []
    # The report as saved, without drawing it.
    monkeypatch.setattr(report.Report, "save", lambda self, path, overwrite: saved.append(self))
    address = ""
    if status != 2 and "pip" not in str(outcome):
        client = request.getfixturevalue("cluster")
        address = client.scheduler.address

        @contextlib.contextmanager
        def fake(scheduler=None, workers=None, worker_memory=None):
            if worker_memory:
                raise ValueError("a local cluster of {} workers of {}".format(
                    workers, worker_memory))
            yield client
        if "--workers" in flags:  # the local cluster asked for: the module's stands in
            monkeypatch.setattr(clusters, "cluster", fake)
    if "pip" in str(outcome):
        for module in ("dask", "dask.dataframe", "distributed"):
            monkeypatch.setitem(sys.modules, module, None)
    flags = [f.format(address=address, folder=datasets) for f in flags]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(SystemExit) if status == 2 else contextlib.suppress():
            assert cli.main(base + flags + ["-o", str(tmp_path / "dask")]) == status
    err = capsys.readouterr().err
    if status:
        assert outcome in err.replace("\n", " ") if "[" not in outcome else \
            "pip install 'kestrune-series[dask]'" in err
        return
    from kestrune.testing.plotting.compare import read_files
    held = [datasets / "syn" / "part0.parquet"] if "--holdout" in flags else []
    frames, meta = read_files([datasets / "ref.parquet", datasets / "syn.parquet"] + held, "id",
                              "t", categorical=["s"])
    options = {"pairing": "nearest", "holdout": frames.pop(list(frames)[-1])} if held else {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = compare_panels(frames, meta, pages=1, measures=["distribution"], **options)
    found = saved[0]
    # Tables by id: the ids come first seen in the files, sorted on dask.
    pd.testing.assert_frame_equal(found.divergence.sort_index(), want.divergence.sort_index())
    pd.testing.assert_frame_equal(found.verdicts, want.verdicts)


@pytest.mark.parametrize("kind, layout, scheduler", [("int", "rows", "synchronous"),
                                                    ("text", "sorted", "cluster")])
def test_nearest_pairing_on_dask_is_the_pandas_pairing(kind, layout, scheduler, request,
                                                       monkeypatch):
    from kestrune.testing.plotting.compare import dask_report, pairing
    ids = np.arange(20) * 7
    if kind == "text":
        ids = np.array(["x{:03d}".format(i) for i in ids], dtype=object)
    (reference, other), dask_frames = frames(ids, layout, 3, 8)
    # An id whose series equals a reference id's: the share identical counts it.
    copy = reference[reference["id"] == ids[0]]
    other = pd.concat([other, copy.assign(id=ids[0] + 1 if kind == "int" else "copy")])
    dask_frames[1] = as_dask(other, layout, 3)
    want = pairing._pair(META.set_indices(reference), META.set_indices(other), META,
                         list(META.columns), "syn")
    # Blocks of a few query points: every search in several tasks.
    monkeypatch.setattr(dask_report, "BLOCK_QUERIES", 7)
    with on(scheduler, request):
        found = dask_report.nearest_pairing(*dask_frames, META, name="syn")
    for got, expected in zip(found, want):
        if isinstance(expected, pd.DataFrame):
            pd.testing.assert_frame_equal(got, expected, check_index_type=False)
        elif isinstance(expected, list):
            for a, b in zip(got, expected):
                pd.testing.assert_frame_equal(a, b, check_index_type=False)
        elif isinstance(expected, dict):
            assert got.keys() == expected.keys()
            for key in expected:
                assert got[key] == pytest.approx(expected[key], rel=1e-9, nan_ok=True) \
                    if isinstance(expected[key], float) else got[key] == expected[key], key
        else:
            assert got == pytest.approx(expected, nan_ok=True)
