"""Synthetic ids paired with reference ids: summaries, nearest ids, realism,
coverage, near-copies, the choice of pairing and the population tables."""
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from kestrune import DataFrameMeta
from kestrune.testing.plotting.compare import compare_panels, pairing, scores
from kestrune.testing.plotting.compare.measures import benjamini_hochberg

stats = pytest.importorskip("scipy.stats")

META = DataFrameMeta("id", "t", categorical=["state"], continuous=["level"])
DEMO = Path(__file__).resolve().parents[1] / "examples" / "data" / "panel_original.csv"


def make_panel(ids, periods=10, seed=0, level=0.0, spread=1.0):
    """Per id a level, a spread, a trend and a share of labels."""
    rng = np.random.default_rng(seed)
    n = len(ids)
    t = np.arange(periods)
    base = level + rng.normal(0, 1, n)[:, None] + rng.normal(0, 0.1, n)[:, None] * t
    values = base + rng.gamma(2, spread / 4, n)[:, None] * rng.normal(0, 1, (n, periods))
    state = np.where(rng.random((n, periods)) < rng.random(n)[:, None], "on", "off")
    return pd.DataFrame({"id": np.repeat(ids, periods), "t": np.tile(t, n),
                         "level": values.ravel(), "state": state.ravel().astype(object)})


def prepared(frame):
    return META.set_indices(frame)


def plain_summaries(frame):
    """The summaries the slow way: one id at a time."""
    labels = sorted(frame["state"].fillna("Null").unique())
    rows = {}
    for key, rows_of in frame.sort_values(["id", "t"]).groupby("id"):
        x = rows_of["level"].to_numpy(dtype=float)
        held = x[~np.isnan(x)]
        gap = x - (held.mean() if len(held) else np.nan)
        pairs = ~np.isnan(gap[1:] * gap[:-1])
        square = np.nansum(gap ** 2)
        state = rows_of["state"].fillna("Null").to_numpy()
        row = {"rows": len(x),
               "level:mean": held.mean() if len(held) else np.nan,
               "level:std": held.std(ddof=1) if len(held) > 1 else np.nan,
               "level:lag1": (np.nansum(gap[1:] * gap[:-1]) / square
                              if pairs.any() and square > 0 else np.nan)}
        row.update({"state:share=" + label: np.mean(state == label) for label in labels})
        row["state:changes"] = np.mean(state[1:] != state[:-1]) if len(x) > 1 else np.nan
        rows[key] = row
    return pd.DataFrame.from_dict(rows, orient="index")


def distance_matrix(queries, points):
    return np.sqrt(((queries[:, None, :] - points[None, :, :]) ** 2).sum(axis=-1))


def brute_nearest(queries, points, k, skip_self=False):
    """k nearest points by a full distance matrix; ties by position."""
    distance = pairing._round(distance_matrix(queries, points))
    if skip_self:
        np.fill_diagonal(distance, np.inf)
    index = np.argsort(distance, axis=1, kind="stable")[:, :k]
    return index, np.take_along_axis(distance, index, axis=1)


def test_summaries_match_a_plain_computation():
    frame = make_panel(list("abcdefgh"), periods=12, seed=4)
    rng = np.random.default_rng(5)
    frame = frame[rng.random(len(frame)) > 0.15].copy()        # gaps in time
    frame.loc[rng.random(len(frame)) < 0.15, "level"] = np.nan
    frame.loc[rng.random(len(frame)) < 0.1, "state"] = np.nan
    frame.loc[frame["id"] == "b", "level"] = 3.0                 # constant
    frame.loc[frame["id"] == "c", "level"] = np.nan              # nothing held
    frame.loc[frame["id"] == "d", "state"] = np.nan              # only missing labels
    frame.loc[frame["id"] == "e", "level"] = [1.0, np.nan] * 5 + [2.0] * (
        (frame["id"] == "e").sum() - 10)                         # few pairs
    frame = pd.concat([frame, pd.DataFrame({"id": ["z"], "t": [0], "level": [1.5],
                                            "state": ["on"]})])  # one row
    table = pairing.id_summaries(frame.sample(frac=1, random_state=0), META)
    expected = plain_summaries(frame)
    assert list(table.columns) == list(expected.columns)
    assert list(table.index) == sorted(expected.index) and table.index.name == "id"
    np.testing.assert_allclose(table.to_numpy(float), expected.loc[table.index].to_numpy(float),
                               rtol=1e-11, atol=1e-12)
    assert np.isnan(table.loc["b", "level:lag1"]) and table.loc["b", "level:std"] == 0


@pytest.mark.parametrize("kind", ["grid", "random"])
@pytest.mark.parametrize("k", [1, 3, 5])
def test_nearest_ids_and_radii_match_a_full_distance_matrix(kind, k, monkeypatch):
    rng = np.random.default_rng(len(kind) + k)
    if kind == "grid":  # duplicates, and queries between them: equal distances
        points = rng.integers(0, 3, (300, 3)).astype(float)
        queries = rng.integers(0, 5, (250, 3)) / 2
    else:
        points = rng.normal(size=(300, 6)) * [1, 10, 0.1, 1, 1, 100]
        queries = rng.normal(size=(250, 6))
    monkeypatch.setattr(pairing, "CHUNK", 300 * 7)  # several chunks
    index, distance = pairing._neighbours(queries, points, k)
    expected_index, expected_distance = brute_nearest(queries, points, k)
    np.testing.assert_array_equal(index, expected_index)
    np.testing.assert_array_equal(pairing._round(distance), expected_distance)

    distinct = [pairing._Distinct(p) for p in (queries, points)]
    nearest, distance = pairing._nearest(*distinct)
    np.testing.assert_array_equal(nearest, expected_index[:, 0])
    np.testing.assert_array_equal(distance, expected_distance[:, 0])
    radius, closest = pairing._radii(distinct[1], k)
    _, within = brute_nearest(points, points, k, skip_self=True)
    np.testing.assert_array_equal(radius, within[:, k - 1])
    np.testing.assert_array_equal(closest, within[:, 0])


def group(ids, seed, level=0.0, noise=1.0, on=0.5, periods=24):
    """Ids alike but for their level: one kind of entity."""
    rng = np.random.default_rng(seed)
    n = len(ids)
    values = level + rng.normal(0, 1, (n, 1)) + rng.normal(0, noise, (n, periods))
    state = np.where(rng.random((n, periods)) < on, "on", "off").astype(object)
    return pd.DataFrame({"id": np.repeat(ids, periods), "t": np.tile(np.arange(periods), n),
                         "level": values.ravel(), "state": state.ravel()})


@pytest.mark.parametrize("seed", [0, 1])
def test_a_generator_of_one_kind_covers_half_of_two(seed):
    # The second kind lies ten spreads away in level, and differs in noise
    # and labels: well apart in three entries of the scaled summaries.
    first = group(["a{:03d}".format(i) for i in range(200)], seed)
    second = group(["b{:03d}".format(i) for i in range(200)], seed + 1, 10, 3, 0.9)
    synthetic = group(["s{:03d}".format(i) for i in range(200)], seed + 2)
    result = pairing._pair(prepared(pd.concat([second, first])), prepared(synthetic), META,
                           ["level", "state"], "synthetic")
    covered = result.coverage.set_index("reference_id")["covered"]
    assert list(covered.index) == sorted(covered.index)
    assert not covered[covered.index.str.startswith("b")].any()
    assert 0.45 <= result.coverage_share <= 0.5 and result.precision >= 0.85
    assert result.pairs["reference_id"].str.startswith("a").all()
    assert list(result.pairs["id"]) == sorted(synthetic["id"].unique())


def by_matrices(result, frames, meta, columns, labels, k):
    """The pairing's numbers from full distance matrices of the scaled summaries (radii: the
    k-th nearest other reference id); the distances and the reference ids' to each other."""
    tables = [pairing._summaries(meta.set_indices(f), meta, columns, labels) for f in frames]
    ref_points, oth_points = pairing._scaled(*tables, pairing._noise(tables[0], columns, labels))
    across = pairing._round(distance_matrix(oth_points, ref_points))
    within = pairing._round(distance_matrix(ref_points, ref_points))
    np.fill_diagonal(within, np.inf)
    radius = np.sort(within, axis=1)[:, k - 1]
    nearest = across.argmin(axis=1)
    distance = across[np.arange(len(across)), nearest]
    np.testing.assert_allclose(result.pairs["distance"], distance, rtol=1e-11)
    np.testing.assert_allclose(result.pairs["realism"], distance / radius[nearest], rtol=1e-11)
    np.testing.assert_array_equal(result.coverage["covered"], across.min(axis=0) <= radius)
    assert result.precision == pytest.approx(np.mean(distance / radius[nearest] <= 1))
    return distance, within


def test_realism_coverage_and_near_copies_by_their_definitions():
    reference = make_panel(["r{:03d}".format(i) for i in range(120)], seed=7)
    twin = reference["id"] == "r011"  # equal summaries: ties go to r010
    reference.loc[twin, ["level", "state"]] = reference.loc[reference["id"] == "r010",
                                                            ["level", "state"]].to_numpy()
    synthetic = make_panel(["s{:03d}".format(i) for i in range(80)], seed=8, spread=3)
    copied = reference[reference["id"].isin(["r005", "r011"])].copy()
    copied["id"] = copied["id"].map({"r005": "copy", "r011": "twin"})
    close = reference[reference["id"] == "r006"].assign(id="close")
    close["level"] *= 1 + 1e-9
    far = reference[reference["id"] == "r007"].assign(id="far")
    far["level"] += 1000
    far.iloc[3, far.columns.get_loc("level")] = np.inf
    synthetic = pd.concat([synthetic, copied, close, far])
    result = pairing._pair(prepared(reference), prepared(synthetic), META,
                           ["level", "state"], "synthetic")
    pairs = result.pairs.set_index("id")

    distance, within = by_matrices(result, (reference, synthetic), META, ["level", "state"],
                                   {"state": ["off", "on"]}, 5)
    pvalue, _, _ = scores.copy_pvalues(distance, within.min(axis=1))
    np.testing.assert_array_equal(result.pairs["near_copy"], benjamini_hochberg(pvalue) < 0.05)
    assert result.near_copies == result.pairs["near_copy"].sum()
    assert result.scores["identical"] == pytest.approx(2 / 84)  # copy and twin; not close

    assert pairs.loc["copy", "reference_id"] == "r005" and pairs.loc["copy", "distance"] == 0
    assert pairs.loc["twin", "reference_id"] == "r010" and pairs.loc["close", "reference_id"] == "r006"
    # Two reference ids alike: real ids meet at distance 0 too, so no p-value
    # falls below 2/121, which BH over 84 ids cannot find.
    assert not result.pairs["near_copy"].any() and pvalue[result.pairs["id"] == "copy"] == 2 / 121
    assert pairs.loc["far", "realism"] > 1 and not pairs.loc["far", "near_copy"]


@pytest.mark.parametrize("reference", [["r"], ["r", "q", "p"]])
def test_without_spread_among_the_reference_ids_nothing_is_measured(reference):
    alike = pd.concat([make_panel(["r"], seed=3).assign(id=i) for i in reference])
    result = pairing._pair(prepared(alike), prepared(make_panel(["a", "b"], seed=4)), META,
                           ["level", "state"], "synthetic")
    assert list(result.pairs["reference_id"]) == [min(reference)] * 2
    assert result.pairs[["distance", "realism"]].isna().all().all() and result.near_copies == 0
    assert np.isnan(result.precision) and np.isnan(result.coverage_share)


def test_the_demo_panel_renamed_names_every_store_and_a_copy_is_named_by_id():
    sys.path.insert(0, str(DEMO.parents[2] / "examples"))
    try:
        import demo
    finally:
        sys.path.remove(str(DEMO.parents[2] / "examples"))
    original = demo.load_panel("original")
    meta = DataFrameMeta.from_frame(original, demo.ID, demo.TIME)
    with pytest.warns(pairing.NearCopyWarning) as caught:
        report = compare_panels({"original": original, "renamed": demo.renamed(original)}, meta)
    pairs = report.pairs
    assert (pairs["id"] == "synthetic " + pairs["reference_id"]).all() and pairs["near_copy"].all()
    message = str(caught[0].message)
    assert len(caught) == 1 and message.startswith("4 of 4 synthetic ids of frame 'renamed'")
    assert "a copy test needs at least 20 reference ids" in message
    assert all("'synthetic {0}' ≈ '{0}'".format(store) in message for store in original.index.unique(0))
    assert report.scores.loc["renamed", "yardstick"].startswith("too few ids for a yardstick")
    with pytest.warns(pairing.NearCopyWarning, match=r"1 id of frame 'copy' has a series equal to the "
                      r"reference's in every time and value \(copies\): \['north'\]"):
        copied = original.copy()
        copied.loc[copied.index.get_level_values(0) != "north", "sales"] += 1
        compare_panels({"original": original, "copy": copied}, meta)


@pytest.mark.parametrize("kept, expected", [(8, "ids"), (4, "ids"), (3, "nearest"), (0, "nearest")])
def test_auto_pairs_by_ids_when_half_of_the_reference_ids_are_held(kept, expected):
    ids = ["a", "b", "c", "d", "e", "f", "g", "h"]
    reference = make_panel(ids)
    other = make_panel(ids[:kept] + ["x{}".format(i) for i in range(20)], seed=1)
    assert pairing._choose_pairing(prepared(reference), prepared(other)) == expected


def test_the_warning_names_the_first_ten_near_copies():
    pairs = pd.DataFrame({"frame": "gen", "id": np.arange(14), "reference_id": np.arange(14) + 100,
                          "near_copy": [True] * 12 + [False] * 2})
    message = pairing.near_copy_message(pairs)
    assert message.startswith("12 of 14 synthetic ids of frame 'gen'")
    assert "9 ≈ 109, ... (2 more)]" in message and "10 ≈" not in message
    assert pairing.near_copy_message(pairs.assign(near_copy=False)) is None


def plain_divergence(x, y):
    if not len(y):
        return np.nan
    if not pd.api.types.is_numeric_dtype(x):  # total variation of the labels
        p, q = (v.fillna("Null").value_counts(normalize=True) for v in (x, y))
        return 0.5 * p.sub(q, fill_value=0).abs().sum()
    return stats.ks_2samp(x.dropna(), y.dropna()).statistic


def test_population_tables_match_scipy():
    reference = make_panel(["r{}".format(i) for i in range(30)], periods=6)
    later = make_panel(["s{}".format(i) for i in range(25)], periods=6, seed=1, level=0.5)
    later["t"] += 3  # shares the times 3 to 5 only
    same = make_panel(["u{}".format(i) for i in range(20)], periods=4, seed=2)
    same.loc[::3, "state"] = np.nan
    others = {"later": later, "same": same}
    population = pairing._population([prepared(f) for f in (reference, later, same)],
                                     ["original", "later", "same"], META, ["level", "state"])
    expected = pd.DataFrame({name: [plain_divergence(reference[c], frame[c]) for c in ("level", "state")]
                             for name, frame in others.items()}, index=["level", "state"])
    pd.testing.assert_frame_equal(population["columns"], expected, rtol=1e-11)
    over_time = population["over_time"]
    assert list(over_time.index) == [0, 1, 2, 3, 4, 5]  # not 6 to 8, which only 'later' holds
    assert over_time["later"].iloc[:3].isna().all().all() and over_time["same"].iloc[4:].isna().all().all()
    for (name, column), values in over_time.items():
        frame = others[name]
        np.testing.assert_allclose(values, [plain_divergence(
            reference.loc[reference["t"] == t, column], frame.loc[frame["t"] == t, column])
            for t in values.index], rtol=1e-11)
    summaries = [pairing.id_summaries(f, META) for f in (reference, same)]
    entries = ["rows", "level:mean", "level:std", "level:lag1", "state:changes"]
    np.testing.assert_allclose(population["summaries"].loc[entries, "same"], [
        plain_divergence(*(table[entry] for table in summaries)) for entry in entries], rtol=1e-11)
    assert "state:share=Null" in population["summaries"].index


NUMBERS = DataFrameMeta("id", "t", continuous=["level"])


def series(values):
    """One row per (id, t) from {id: values}."""
    return pd.DataFrame([(i, t, v) for i, vs in values.items() for t, v in enumerate(vs)],
                        columns=["id", "t", "level"])


@pytest.mark.parametrize("compared, nearest, copies", [
    ({"m": [1.5, 2.5]}, "b", [True]), ({"m": [1.5, 2.5 + 1e-13]}, "b", [True]),
    ({"m": [1.5, 2.5 - 1e-13]}, "b", [True]), ({"m": [1.5, 2.5 + 1e-6]}, "c", [True]),
    # "copy" (of a) is as far from c and d as their radius (k = 3), which
    # covers them; "edge" is as far from a as b is: no closer than any two
    # reference ids, so no near-copy.
    ({"copy": [0.0, 1.0], "edge": [-1.0, 0.0]}, "a", [True, False])])
def test_distances_equal_in_the_printed_digits_tie(compared, nearest, copies):
    # Four ids a unit apart in level; distances that tie go by id.
    reference = series({i: [n, n + 1.0] for n, i in enumerate("abcd")})
    result = pairing._pair(*(NUMBERS.set_indices(f) for f in (reference, series(compared))), NUMBERS,
                           ["level"], "x")
    assert (result.pairs["reference_id"] == nearest).all() and result.pairs["near_copy"].tolist() == copies
    assert result.coverage["covered"].all()


def test_k_is_one_less_than_four_reference_ids():
    rng = np.random.default_rng(9)
    reference = series({i: rng.normal(n, 1, 6) for n, i in enumerate("abcd")})
    other = series({i: rng.normal(1.5, 1, 6) for i in "xyz"})
    result = pairing._pair(reference.pipe(NUMBERS.set_indices), other.pipe(NUMBERS.set_indices),
                           NUMBERS, ["level"], "x")
    by_matrices(result, (reference, other), NUMBERS, ["level"], {}, 3)
