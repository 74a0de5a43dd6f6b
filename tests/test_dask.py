"""Tables of a million ids in bounded memory, and the report's tables on dask
frames: the same numbers as the pandas path."""
import sys
import tracemalloc
import warnings

import numpy as np
import pandas as pd
import pytest

from kestrune import DataFrameMeta
from kestrune.testing.plotting.compare import benjamini_hochberg, measure_table
from kestrune.testing.plotting.compare import divergence, measures
from kestrune.testing.plotting.compare.divergence import round_significant
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


def frames(ids, layout, parts, seed, dates=False):
    """The pandas frames of a panel with gaps and missing values, and the
    same as dask frames of ``parts`` partitions: by row (ids split across
    partitions, shuffled on the id) or indexed by id with known divisions."""
    pair = [panel(ids, 12, seed, 0.5), panel(ids[len(ids) // 10:], 12, seed + 1, 0.2)]
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


@pytest.mark.parametrize("kind, layout, parts, calibrated, given, dates, scheduler, options", [
    # More partitions than some buckets fill: empty partitions.
    ("int", "rows", 24, False, False, False, "synchronous", {}),
    ("text", "rows", 4, False, True, True, "cluster",
     {"columns": ["s", "a"], "measures": ["dynamics", "distribution"], "max_lag": 3}),
    ("int", "sorted", 3, False, False, True, "cluster", {}),
    ("text", "sorted", 2, False, True, False, "synchronous", {"measures": ["dependence"]}),
    # One partition draws the pandas path's null panels.
    ("int", "rows", 1, True, False, False, "cluster", {}),
])
def test_measure_table_on_dask_is_the_pandas_table(kind, layout, parts, calibrated, given,
                                                   dates, scheduler, options, request,
                                                   monkeypatch):
    ids = np.arange(40) * 7
    if kind == "text":
        ids = np.array(["x{:03d}".format(i) for i in ids], dtype=object)
    (reference, other), (dask_reference, dask_other) = frames(ids, layout, parts, 3, dates)
    chosen = list(ids[::3][::-1]) + ["absent" if kind == "text" else -1] if given else None
    expected = measure_table(reference, other, META, ids=chosen, calibrated=calibrated,
                             **options)
    if scheduler == "cluster":
        request.getfixturevalue("cluster")
        found = measure_table(dask_reference, dask_other, META, ids=chosen,
                              calibrated=calibrated, **options)
    else:
        # A few ids measured at once: partitions in several steps.
        from kestrune.testing.plotting.compare import partitions
        monkeypatch.setattr(partitions, "CHUNK_IDS", 3)
        with dask.config.set(scheduler=scheduler):
            found = measure_table(dask_reference, dask_other, META, ids=chosen,
                                  calibrated=calibrated, **options)
    for table, want in zip(found, expected):
        pd.testing.assert_frame_equal(table, want, check_exact=False, rtol=1e-9, atol=1e-12,
                                      check_index_type=False)


def test_calibration_pools_the_pandas_null_panels(monkeypatch):
    # Ids split across partitions and chunks: an id's null draws are its
    # own, so the continuous cells' calibrated p-values are the pandas path's.
    from kestrune.testing.plotting.compare import partitions
    (reference, other), (dask_reference, dask_other) = frames(np.arange(60), "sorted", 3, 5)
    _, expected = measure_table(reference, other, META)
    monkeypatch.setattr(partitions, "CHUNK_IDS", 7)
    with dask.config.set(scheduler="synchronous"):
        _, found = measure_table(dask_reference, dask_other, META)
    numeric = [cell for cell in expected.columns if cell[0] != "s"]
    pd.testing.assert_frame_equal(found[numeric], expected[numeric], check_exact=False,
                                  rtol=1e-9, atol=1e-12, check_index_type=False)
    # A label column's chains are shrunk per partition: close, defined alike.
    labels = [cell for cell in expected.columns if cell[0] == "s"]
    found, expected = found[labels].to_numpy(), expected[labels].to_numpy()
    assert (np.isnan(found) == np.isnan(expected)).all()
    assert np.nanmax(np.abs(found - expected)) < 0.1


def test_dask_refusals_and_the_missing_extra(monkeypatch):
    (reference, _), (_, dask_other) = frames(np.arange(10), "rows", 2, 1)
    with pytest.raises(ValueError, match="mix pandas and dask frames"):
        measure_table(reference, dask_other, META)
    with pytest.raises(ValueError, match=r"columns \['z'\] are not columns"):
        measure_table(dask_other, dask_other, META, columns=["a", "z"])
    for module in ("dask", "dask.dataframe", "distributed"):
        monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=r"pip install 'kestrune-series\[dask\]'"):
        measure_table(dask_other, dask_other, META)


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
    with pytest.raises(ValueError, match="no Parquet file"):
        partitions.read_dataset([tmp_path / "nothing-*.pq"], "store", "date")


def test_compare_panels_and_the_cluster_refuse_what_they_cannot_do():
    from kestrune.testing.plotting.compare import compare_panels
    from kestrune.testing.plotting.compare.cluster import cluster
    (reference, _), (dask_reference, dask_other) = frames(np.arange(10), "rows", 2, 1)
    for given, options, message in (
            ({"a": reference, "b": dask_other}, {}, "mix pandas and dask"),
            ([dask_reference, dask_other], {"holdout": reference}, "a holdout is for"),
            ([dask_reference, dask_other], {"holdout": reference, "pairing": "nearest"},
             "the frames and the holdout mix")):
        with pytest.raises(ValueError, match=message), dask.config.set(scheduler="sync"):
            compare_panels(given, META, **options)
    with pytest.raises(ValueError, match="not neither"):
        with cluster():
            pass


def uncalibrated(monkeypatch):
    """Both paths' p-values without the calibration, which draws other
    null panels per partition."""
    from kestrune.testing.plotting.compare import partitions, report
    for module, name in ((report, "_measured"), (partitions, "measured_parts")):
        original = getattr(module, name)

        def plain(*args, original=original, **options):
            options.pop("calibrated", None)
            return original(*args[:7], calibrated=False, **options) if len(args) > 7 \
                else original(*args, calibrated=False, **options)
        monkeypatch.setattr(module, name, plain)


def assert_same_report(found, want, calibrated):
    # In the report's order, which calibrated q-values change.
    tables = [(found.divergence.reindex(want.divergence.index), want.divergence),
              (found.verdicts, want.verdicts)]
    tables += [(found.population[k], want.population[k])
               for k in ("columns", "over_time", "summaries")]
    tables += [(found.population["levels"][k], want.population["levels"][k])
               for k in ("columns", "band", "over_time", "summaries")]
    if not calibrated:
        tables += [(found.pvalues, want.pvalues), (found.qvalues, want.qvalues)]
        assert found.pages == want.pages
    else:
        # Other draws of the same null model: close, the same cells defined.
        # Once the null draws are seeded per id, p- and q-values and pages
        # are the pandas path's: compare them as above instead.
        p = [t.pvalues.reindex(want.pvalues.index).to_numpy() for t in (found, want)]
        assert (np.isnan(p[0]) == np.isnan(p[1])).all()
        assert np.nanmax(np.abs(p[0] - p[1])) < 0.1
        tables[1] = tuple(t.drop(columns=["p", "q"]) for t in tables[1])
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
    ("text", "rows", 5, False, "synchronous", {"ids": "some", "order": "given", "pages": 2}),
    ("text", "sorted", 3, False, "cluster",
     {"columns": ["s", "a", "b"], "ids_per_page": 3, "order": "given"}),
    ("int", "sorted", 2, True, "cluster", {"measures": ["distribution", "dependence"]}),
    # Compared ids of their own: each paired with its nearest reference id.
    ("int", "rows", 4, False, "synchronous", {"pairing": "nearest", "order": "divergence"}),
    ("text", "sorted", 3, False, "cluster", {"pairing": "auto", "several": True,
                                             "holdout": True}),
])
def test_compare_panels_on_dask_is_the_pandas_report(kind, layout, parts, calibrated,
                                                     scheduler, options, request,
                                                     monkeypatch):
    from kestrune.testing.plotting.compare import compare_panels, dask_report
    ids = np.arange(40) * 7
    if kind == "text":
        ids = np.array(["x{:03d}".format(i) for i in ids], dtype=object)
    (reference, other), dask_frames = frames(ids, layout, parts, 4, dates=kind == "int")
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
    # Value ranges of a few values: the Kolmogorov-Smirnov pass in several ranges.
    monkeypatch.setattr(dask_report, "RANGE_VALUES", 100)
    with warnings.catch_warnings(record=True) as expected:
        warnings.simplefilter("always")
        want = compare_panels(pair, META, **options, **held.get(0, {}))
    with warnings.catch_warnings(record=True) as told:
        warnings.simplefilter("always")
        if scheduler == "cluster":
            request.getfixturevalue("cluster")
            found = compare_panels(dask_frames, META, **options, **held.get(1, {}))
        else:
            with dask.config.set(scheduler=scheduler):
                found = compare_panels(dask_frames, META, **options, **held.get(1, {}))
    assert_same_report(found, want, calibrated)
    if "pairing" in options:  # the near-copy
        ours = [[str(w.message) for w in caught if w.category.__module__.startswith("kestrune")]
                for caught in (told, expected)]
        assert ours[0] == ours[1] != []
    # The pages draw the rows of their ids, every label in the whole frames' order
    # (calibrated q-values order all but the first page alike).
    for first, page in list(zip(found._page_tasks("png"), want._page_tasks("png")))[
            :1 if calibrated else None]:
        for got, rows in zip(first[3], page[3]):
            pd.testing.assert_frame_equal(got, rows, check_index_type=False)
        assert first[2] == page[2]


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
    pair = [panel(np.arange(30), 10, 5, 0.3), panel(np.arange(30), 10, 6, 0.3)]
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
    from contextlib import contextmanager
    from kestrune.testing.plotting.compare import cli, cluster as clusters, report
    base = [str(datasets / "ref"), str(datasets / "syn" / "*.parquet"), "--id", "id", "--time",
            "t", "--categorical", "s", "--pages", "1"]
    saved = []
    # The report as saved, without drawing it.
    monkeypatch.setattr(report.Report, "save", lambda self, path, overwrite: saved.append(self))
    address = ""
    if status != 2 and "pip" not in str(outcome):
        client = request.getfixturevalue("cluster")
        address = client.scheduler.address

        @contextmanager
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
        with pytest.raises(SystemExit) if status == 2 else contextlib_null():
            assert cli.main(base + flags + ["-o", str(tmp_path / "dask")]) == status
    err = capsys.readouterr().err
    if status:
        assert outcome in err.replace("\n", " ") if "[" not in outcome else \
            "pip install 'kestrune-series[dask]'" in err
        return
    from kestrune.testing.plotting.compare import compare_panels, read_files
    held = [datasets / "syn" / "part0.parquet"] if "--holdout" in flags else []
    frames, meta = read_files([datasets / "ref.parquet", datasets / "syn.parquet"] + held, "id",
                              "t", categorical=["s"])
    options = {"pairing": "nearest", "holdout": frames.pop(list(frames)[-1])} if held else {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = compare_panels(frames, meta, pages=1, **options)
    found = saved[0]
    # Tables by id: the calibration's draws differ beyond one partition.
    pd.testing.assert_frame_equal(found.divergence.sort_index(), want.divergence.sort_index())
    pd.testing.assert_frame_equal(found.verdicts.drop(columns=["p", "q"]),
                                  want.verdicts.drop(columns=["p", "q"]))


def contextlib_null():
    import contextlib
    return contextlib.suppress()


@pytest.mark.parametrize("kind, layout, scheduler", [("int", "rows", "synchronous"),
                                                    ("text", "sorted", "cluster")])
def test_nearest_pairing_on_dask_is_the_pandas_pairing(kind, layout, scheduler, request,
                                                       monkeypatch):
    from kestrune.testing.plotting.compare import dask_report, pairing
    ids = np.arange(40) * 7
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
    if scheduler == "cluster":
        request.getfixturevalue("cluster")
        found = dask_report.nearest_pairing(*dask_frames, META, name="syn")
    else:
        with dask.config.set(scheduler=scheduler):
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
