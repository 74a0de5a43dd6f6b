"""The per-column verdicts: contrasts against a plain per-id loop, the swap
p-value against every arrangement, honest and planted panels, the fallback
for few ids, and what the report, its folder and the command line show."""
import html
import itertools
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from kestrune import DataFrameMeta
from kestrune.testing.plotting.compare import benjamini_hochberg, compare_panels, measure_table, verdict_table
from kestrune.testing.plotting.compare import noise, shift, verdicts

stats = pytest.importorskip("scipy.stats")
special = pytest.importorskip("scipy.special")

META = DataFrameMeta("id", "t", categorical=["s"], continuous=["x", "y"])


def ar(rng, shape, phi):
    x = rng.normal(size=shape)
    for t in range(1, shape[1]):
        x[:, t] = phi * x[:, t - 1] + np.sqrt(1 - phi ** 2) * x[:, t]
    return x


def panel(ids, periods, seed, phi=0.6, rho=0.6, stay=0.6, scramble=False, unlink=False, factor=0.5, shift=0.0,
          shifted=1.0):
    """Two AR(phi) columns with correlated innovations on id levels shared by
    every draw, a time factor of each draw's own, and a sticky label; the
    numbers of the first ``shifted`` share of the ids moved by ``shift``."""
    rng = np.random.default_rng(seed)
    levels = np.random.default_rng(0).normal(size=(ids, 2))
    x = ar(np.random.default_rng(seed + 1000), (ids, periods), phi)
    other = ar(rng, (ids, periods), phi) if unlink else x
    y = rho * other + np.sqrt(1 - rho ** 2) * ar(rng, (ids, periods), phi)
    factor = factor * rng.normal(size=periods) + shift * (np.arange(ids) < shifted * ids)[:, None]
    labels = np.zeros((ids, periods), dtype=int)
    labels[:, 0] = rng.integers(0, 3, ids)
    for t in range(1, periods):
        labels[:, t] = np.where(rng.random(ids) < stay, labels[:, t - 1], rng.integers(0, 3, ids))
    frame = pd.DataFrame({"id": np.repeat(np.arange(ids), periods), "t": np.tile(np.arange(periods), ids),
                          "x": (x + levels[:, :1] + factor).ravel(), "y": (y + levels[:, 1:] + factor).ravel(),
                          "s": np.array(["a", "b", "c"])[labels.ravel()]})
    if scramble:
        order = np.argsort(frame["id"].to_numpy() + rng.random(len(frame)), kind="stable")
        for column in ("x", "y", "s"):
            frame[column] = frame[column].to_numpy()[order]
    return frame


def plain_contrasts(reference, other, column, measure):
    """Per-id contrasts by a loop over ids with numpy and scipy."""
    out = []
    for frame in (reference, other):
        centred = frame.copy()
        for c in ("x", "y"):
            centred[c] = frame[c] - frame.groupby("t")[c].transform("mean")
        rows = []
        for _, g in centred.sort_values(["id", "t"]).groupby("id"):
            v = g[column].to_numpy()
            kept = v[~pd.isna(v)] if column != "s" else v
            if measure == "distribution" and column != "s":
                rows.append([kept.mean(), kept.std(ddof=1)])
            elif measure == "dynamics" and column != "s":
                d = v - kept.mean()
                pairs = d[:-1] * d[1:]
                rows.append([np.nansum(pairs) / np.nansum(d * d) if len(kept) >= 3 else np.nan])
            elif measure == "dependence":
                both = g[["x", "y"]].dropna()
                rows.append([np.arctanh(stats.spearmanr(both["x"], both["y"])[0]) if len(both) >= 3 else np.nan])
            elif measure == "distribution":
                rows.append([np.mean(v == label) for label in "ab"])
            else:
                rows.append([np.mean(v[1:][v[:-1] == label] == label) for label in "abc"])
        out.append(np.array(rows))
    ref, oth = out
    c = oth - ref
    if measure == "distribution" and column != "s":
        d = (oth[:, 0] - ref[:, 0]) / np.sqrt((ref[:, 1] ** 2 + oth[:, 1] ** 2) / 2)
        c = np.column_stack([d, d ** 3, np.log(oth[:, 1] / ref[:, 1])])
    # Ids without a contrast tell nothing; a part missing counts as none.
    return np.nan_to_num(c[~np.isnan(c).all(axis=1)])


def plain_t(c):
    total = c.sum(axis=0)
    return total @ np.linalg.pinv(c.T @ c) @ total


def gaps(frame, seed):
    """Missing numbers here and there, and an id with two rows only."""
    rng = np.random.default_rng(seed)
    frame = frame.copy()
    frame.loc[rng.random(len(frame)) < 0.1, "x"] = np.nan
    return frame[(frame["id"] != 3) | (frame["t"] < 2)]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # the loop's labels never left
@pytest.mark.parametrize("ids, method", [(40, "swaps"), (60, "normal")])
def test_statistic_effect_and_interval_match_a_plain_loop(ids, method):
    honest = panel(ids, 10, seed=1), gaps(panel(ids, 10, seed=2), ids)
    table = verdict_table(*honest, META).set_index(["column", "measure"])
    for (column, measure), row in table.iterrows():
        c = plain_contrasts(*honest, column, measure)
        assert row["statistic"] == pytest.approx(plain_t(c), rel=1e-8)
        assert row["ids"] == len(c) >= ids - 5 and row["method"].startswith(verdicts.METHODS[method])
        joined = measure == "distribution" and column != "s"  # with the shared shift, by Bonferroni
        assert (verdicts.METHODS["shared"] in row["method"]) == joined
        p = stats.chi2.sf(plain_t(c), c.shape[1]) if method == "normal" else verdicts.swap_p(c)
        if joined:  # the smaller p-value of the two tests, doubled
            diff = (honest[1].set_index(["id", "t"])[column] - honest[0].set_index(["id", "t"])[column]).dropna()
            levels = [diff.index.get_level_values(k).to_numpy() for k in (0, 1)]
            p = min(1, 2 * min(p, shift.shared_shift(*levels, diff.to_numpy())[3]))
        assert row["p"] == pytest.approx(p, rel=1e-8)
        if row["contrast"] == "shift shared by every id":
            assert row["effect"] == pytest.approx(diff.groupby(level="t").mean().mean(), rel=1e-8)
            assert row["low"] < row["effect"] < row["high"]
            continue
        lead = c[:, np.argmax(np.abs(c.sum(0)) / np.sqrt((c ** 2).sum(0)))]
        low, high = stats.t.interval(0.95, len(lead) - 1, lead.mean(), stats.sem(lead))
        assert (row["effect"], row["low"], row["high"]) == pytest.approx((lead.mean(), low, high), rel=1e-8)
    assert list(table.index) == [(c, m) for c in META.columns for m in ("distribution", "dynamics", "dependence")
                                 if not (c == "s" and m == "dependence")]
    assert table["q"].tolist() == list(benjamini_hochberg(table["p"].to_numpy()))


@pytest.mark.parametrize("ids, components", [(5, 1), (8, 2), (16, 3)])
def test_swap_p_value_counts_every_arrangement(ids, components):
    c = np.random.default_rng(ids).normal(0.3, 1, size=(ids, components))
    observed = plain_t(c)
    signs = np.array(list(itertools.product([1, -1], repeat=ids)))
    totals = signs @ c  # the sum of the outer products is the same under every swap
    every = np.sum(totals @ np.linalg.pinv(c.T @ c) * totals, axis=1)
    exact = np.mean(every >= observed - 1e-9)
    tolerance = 0 if ids <= verdicts.EXACT else 4 * np.sqrt(exact * (1 - exact) / verdicts.SWAPS)
    assert abs(verdicts.swap_p(c) - exact) <= tolerance + 1e-12
    # The same, whatever order the ids come in (random swaps included).
    assert verdicts.swap_p(c[::-1]) == verdicts.swap_p(c)


PLANTED = [  # (change of the compared frame, verdicts beyond noise (q < 0.01), others that may be)
    ({}, set(), set()),
    ({"scramble": True}, {("x", "dynamics"), ("y", "dynamics"), ("s", "dynamics")}, None),
    ({"unlink": True}, {("x", "dependence"), ("y", "dependence")}, set()),
    # A short series that keeps its past has a smaller spread within the id.
    ({"phi": 0.0}, {("x", "dynamics"), ("y", "dynamics")}, {("x", "distribution"), ("y", "distribution")}),
    ({"stay": 0.0}, {("s", "dynamics")}, set()),
    # Without a time factor: honest, every id moved alike, a fifth of the ids moved far.
    ({"factor": 0.0}, set(), set()),
    # (In y the ids' noise happens to trend over the 12 time points, which a time factor could as well.)
    ({"factor": 0.0, "shift": 0.5}, {("x", "distribution")}, {("y", "distribution")}),
    ({"factor": 0.0, "shift": 2.0, "shifted": 0.2}, {("x", "distribution")}, {("y", "distribution")}),
]


@pytest.mark.parametrize("pairing", ["ids", "nearest"])
@pytest.mark.parametrize("change, expected, also", PLANTED)
def test_honest_and_planted_panels(change, expected, also, pairing):
    ids = 60 if pairing == "ids" else 120
    reference = panel(ids, 12, seed=3, factor=change.get("factor", 0.5))
    other = panel(ids, 12, seed=4, **change)
    if pairing == "nearest":
        other = other.assign(id=other["id"] + 1000)
    table = verdict_table(reference, other, META, pairing=pairing)
    found = set(map(tuple, table.loc[table["q"] < 0.01, ["column", "measure"]].to_numpy()))
    assert expected <= found
    if also is not None:  # a time order scrambled also moves spreads and links
        noise = set(map(tuple, table.loc[table["q"] < 0.05, ["column", "measure"]].to_numpy()))
        assert noise - expected <= also


@pytest.mark.parametrize("factor, periods", [(0.0, 12), (1.0, 8), (1.0, 24)])
def test_shared_shift_holds_its_level_under_time_factors(factor, periods):
    rng = np.random.default_rng(periods)
    ids, times = np.repeat(np.arange(50), periods), np.tile(np.arange(periods), 50)
    p = [shift.shared_shift(ids, times, (ar(rng, (50, periods), 0.6) - ar(rng, (50, periods), 0.6)
                                         + factor * ar(rng, (1, periods), 0.6)).ravel())[3] for _ in range(300)]
    assert np.mean(np.array(p) < 0.05) <= 0.08  # 0.12 without the allowance for autocorrelation at 8 periods


def test_rounding_is_no_difference():
    reference = panel(20, 10, seed=1)
    other = reference.assign(x=reference["x"] * (1 + 1e-14), y=reference["y"] + 1e-13)
    assert (verdict_table(reference, other, META)["p"] == 1).all()


@pytest.mark.parametrize("ids, missing", [(200, 0.0), (200, 0.3), (30, 0.3)])
def test_two_sample_test_holds_its_level_with_missing_entries(ids, missing):
    rng = np.random.default_rng(ids)
    found = []
    for _ in range(300 if ids > 50 else 40):
        x, y = (np.where(rng.random((ids, 3)) < missing, np.nan, rng.normal(size=(ids, 3))) for _ in "xy")
        statistic, p, _ = verdicts.two_sample(x, y, permutations=99)
        found.append(p)
        if not missing:  # Hotelling's T^2 on the pooled covariance
            gap = x.mean(0) - y.mean(0)
            pooled = np.vstack([x, y])
            assert statistic == pytest.approx(gap @ np.linalg.inv(np.cov(pooled.T) * 2 / ids) @ gap, rel=1e-9)
    # Filling the missing entries with a mean shrinks the spread: 0.14 of honest samples below 0.05.
    assert np.mean(np.array(found) < 0.05) <= (0.08 if ids > 50 else 0.15)


def test_nearest_pairing_sees_ids_spread_apart():
    reference, other = panel(80, 12, seed=3), panel(80, 12, seed=4)
    other["x"] += np.repeat(np.random.default_rng(1).normal(0, 3, 80), 12)  # levels further apart
    table = verdict_table(reference, other.assign(id=other["id"] + 1000), META, pairing="nearest")
    assert set(map(tuple, table.loc[table["q"] < 0.01, ["column", "measure"]].to_numpy())) == {("x", "distribution")}


def test_fewer_than_six_ids_combine_the_cells_p_values():
    reference, other = panel(4, 20, seed=5), panel(4, 20, seed=6, phi=0.0)
    table = verdict_table(reference, other, META).set_index(["column", "measure"])
    _, cells = measure_table(reference, other, META)
    for key, row in table.iterrows():
        p = cells[key].dropna()
        assert row["method"] == verdicts.METHODS["fisher"] and row["ids"] == 4
        assert np.isnan(row["low"]) and np.isnan(row["high"])  # no t interval of four contrasts
        assert row["p"] == pytest.approx(stats.combine_pvalues(p, method="fisher")[1], rel=1e-9)
    lines = verdicts.verdict_lines(table.reset_index().assign(frame="f", p=0.001, q=np.r_[0.2, [0.01] * (len(table) - 1)]))
    # The q-value decides, not p.
    assert "[too few ids]" in lines[2] and "within noise (few ids: Fisher's combination)" in lines[2]
    assert all("beyond noise (few ids: Fisher's combination)" in line for line in lines[3:])


def test_report_folder_and_command_line_show_the_verdicts(tmp_path):
    paths = []
    for name, frame in (("original", panel(12, 16, seed=7)), ("synthetic", panel(12, 16, seed=8, phi=0.0))):
        paths.append(str(tmp_path / (name + ".csv")))
        frame.to_csv(paths[-1], index=False)
    out = tmp_path / "report"
    done = subprocess.run([sys.executable, "-m", "kestrune.testing.plotting.compare", *paths, "--id", "id",
                           "--time", "t", "--pages", "1", "-o", str(out)],
                          capture_output=True, text=True, env=dict(os.environ, MPLBACKEND="Agg"))
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and lines[-1] == str(out)
    report = compare_panels({"original": pd.read_csv(paths[0]), "synthetic": pd.read_csv(paths[1])},
                            id_index="id", time_index="t", pages=1)
    saved = pd.read_csv(out / "verdicts.csv")
    pd.testing.assert_frame_equal(saved, report.verdicts, check_dtype=False, check_exact=False)
    shown = verdicts.verdict_lines(report.verdicts)
    assert lines[:-1] == report.summary_lines()  # the pairing, the verdicts, the cells
    assert lines[1:1 + len(shown)] == shown == repr(report).splitlines()[1:]
    beyond = [line for line in shown if "beyond noise" in line]
    found = report.verdicts.loc[report.verdicts["q"] < 0.05, ["column", "measure"]]
    assert {tuple(line.split()[1:3]) for line in beyond} == set(map(tuple, found.to_numpy())) >= {
        ("x", "dynamics"), ("y", "dynamics")}
    page = (out / "index.html").read_text()
    assert "verdicts.csv" in page and html.escape(shown[2]) in page and html.escape(shown[2]) in report._repr_html_()


def test_nearest_pairs_that_differ_on_a_verdict_rank_first():
    reference = panel(40, 16, seed=9, phi=0.9)
    other = panel(40, 16, seed=10, phi=0.9)
    scrambled = panel(40, 16, seed=10, phi=0.9, scramble=True)
    other[other["id"] < 8] = scrambled[scrambled["id"] < 8]
    other["id"] += 1000
    table = verdict_table(reference, other, META, pairing="nearest")
    assert set(table.loc[table["q"] < 0.05, "measure"]) == {"dynamics"}
    pairs = pd.DataFrame({"id": np.arange(40) + 1000, "reference_id": np.arange(40)})
    scores = verdicts.pair_scores(META.set_indices(reference), META.set_indices(other), META, META.columns,
                                  ("distribution", "dynamics", "dependence"), pairs, table)
    top = scores.sort_values(ascending=False).index[:10]
    assert len(set(top) & set(range(1000, 1008))) >= 5  # 2 by chance


def test_the_overview_band_hatches_the_verdicts_within_noise():
    import matplotlib as mpl
    from kestrune.testing.plotting.compare import render
    report = compare_panels({"a": panel(12, 16, seed=7), "b": panel(12, 16, seed=8, phi=0.0),
                             "c": panel(12, 16, seed=9)}, id_index="id", time_index="t", pages=1)
    with mpl.rc_context():
        figure = render.draw_overview(*report._overview_task("png")[1:-1])
    band, = [ax for ax in figure.axes if ax.get_title(loc="left").startswith("Verdicts")]
    assert [t.get_text() for t in band.get_yticklabels()] == ["b", "c"]
    assert len([p for p in band.patches if p.get_hatch()]) == (report.verdicts["q"] >= 0.05).sum() > 0
    assert len(band.texts) == len(report.verdicts) == 16


def exact_ks_p(x, y):
    try:
        return stats.ks_2samp(x, y, method="exact").pvalue
    except TypeError:  # scipy before 1.7's successor names it mode
        return stats.ks_2samp(x, y, mode="exact").pvalue


@pytest.mark.parametrize("m, n", [(4, 4), (5, 7), (10, 12), (3, 30), (2, 2), (2, 5)])
def test_population_levels_are_exact_ks_critical_values(m, n):
    rng = np.random.default_rng(m * n)
    level = noise.ks_level(m, n)
    for shift in np.linspace(0, 3, 40):  # statistics on both sides of the level
        x, y = rng.normal(size=m), rng.normal(shift, size=n)
        assert (exact_ks_p(x, y) <= 0.05) == (stats.ks_2samp(x, y).statistic >= level - 1e-12)
    # Too few to tell where even D = 1 (the samples apart, either way round) is likelier than 5 %.
    assert np.isnan(level) == (2 / special.comb(m + n, m) > 0.05)


@pytest.mark.parametrize("paired", [True, False])
def test_pooled_level_against_every_rearrangement_of_a_few_ids(paired):
    rng = np.random.default_rng(4)
    ids, periods = 6, 5
    values = np.round(rng.normal(size=2 * ids * periods), 1)  # ties
    frame = np.repeat([0, 1], ids * periods)
    unit = np.tile(np.repeat(np.arange(ids), periods), 2) + (0 if paired else frame * ids)
    rows = noise.Rows(values, frame, unit, np.zeros(len(values), int), paired)
    if paired:  # each id's two series swapped or not
        arrangements = [np.where(np.repeat(swap, periods)[np.tile(np.arange(ids * periods), 2)].astype(bool),
                                 1 - frame, frame) for swap in itertools.product([0, 1], repeat=ids)]
    else:  # the twelve ids dealt out anew, six to each frame
        arrangements = [np.isin(unit, chosen).astype(int) for chosen in itertools.combinations(range(2 * ids), ids)]
    every = [stats.ks_2samp(values[a == 0], values[a == 1]).statistic for a in arrangements]
    ks = noise._Sorted(values)
    assert ks(np.array(arrangements) == 1) == pytest.approx(every, abs=1e-12)
    drawn = ks(rows.arrangements(999)[:])  # random rearrangements, each as likely as the others
    assert abs(drawn.mean() - np.mean(every)) < 4 * np.std(every) / np.sqrt(999)
    level, band, each = noise.permutation_levels(rows, False, times=1)
    beyond = np.mean(np.array(every) >= level - 1e-12)
    below = np.max([e for e in every if e < level - 1e-12])  # the next smaller value is reached too often
    assert 0.02 <= beyond <= 0.07 and np.mean(np.array(every) >= below - 1e-12) > 0.04 and level == band
    assert np.array_equal(each, [level] if paired else [np.nan], equal_nan=True)  # paired: the one time point's


def test_labels_dealt_as_counts_match_permutations():
    codes = np.random.default_rng(1).choice(4, size=60, p=[0.5, 0.3, 0.15, 0.05])
    state = np.random.RandomState(1)
    permuted = noise._Counted(codes)(np.array([state.permutation(np.arange(60) < 35) for _ in range(4000)]))
    dealt = noise._dealt_labels(codes, 35, 4000, np.random.RandomState(2))
    assert stats.ks_2samp(permuted, dealt).pvalue > 0.01
    assert list(noise._dealt_labels(np.zeros(13, int), 5, 3, state)) == [0, 0, 0]  # one label, an absent one
    assert set(np.round(noise._dealt_labels(np.r_[0, 2, 2, 2], 1, 50, state), 12)) == {1.0, round(1 / 3, 12)}


def test_population_levels_of_the_report_and_too_few_ids():
    few = compare_panels({"a": panel(4, 12, seed=1), "b": panel(4, 12, seed=2)}, id_index="id",
                         time_index="t", pages=1).population["levels"]
    assert few["columns"]["b"].isna().all() and list(few["ids"]) == [4, 4]  # 16 swaps: none reaches 5 %
    assert few["over_time"].isna().all().all() and (few["summaries"]["b"] == 1.0).all()
    other = gaps(panel(30, 12, seed=2), 2)
    for pairing, renamed in (("ids", other), ("nearest", other.assign(id="n" + other["id"].astype(str)))):
        levels = compare_panels({"a": panel(30, 12, seed=1), "b": renamed}, id_index="id", time_index="t",
                                pages=1, pairing=pairing).population["levels"]
        over = levels["over_time"][("b", "x")]
        if pairing == "nearest":  # unpaired ids: the exact level at each time point's numbers of values
            assert list(over) == [noise.ks_level(30, n) for n in other.dropna().groupby("t").size()]
        else:  # swaps of paired ids, as the band's: each time point's level at or below the band
            assert over.notna().all() and (over < 0.5).all()
        # The band over time lies above every single time point's level; the rows
        # of one id move together, so the pooled level lies above that of
        # independent rows (0.16 at 360 rows each).
        largest = levels["over_time"]["b"].max()
        assert (levels["band"]["b"][largest.index] >= largest).all()
        assert (levels["columns"]["b"] > 1.36 * np.sqrt(2 / 360)).all()


@pytest.mark.parametrize("paired", [True, False])
def test_levels_from_a_sample_of_ids_scale_to_every_id(paired, monkeypatch):
    # Persistent series and labels: the rows of an id depend on each other,
    # and the levels of a quarter of the ids, scaled, are the levels of all.
    rng = np.random.default_rng(5)
    ids, periods = 2000, 12
    x = rng.normal(size=(2 * ids, periods))
    for t in range(1, periods):
        x[:, t] += 0.8 * x[:, t - 1]
    names = np.arange(2 * ids) % ids + (0 if paired else np.repeat([0, ids], ids))
    frames = [pd.DataFrame({"x": x[k * ids:(k + 1) * ids].ravel(),
                            "s": np.where(x[k * ids:(k + 1) * ids].ravel() > 1, "a", "b")},
                           index=pd.MultiIndex.from_product([names[k * ids:(k + 1) * ids],
                                                             range(periods)]))
              for k in (0, 1)]
    times = pd.Index(range(periods))
    whole = noise.arranged_levels(*frames, ["x", "s"], {"s"}, paired, times)
    monkeypatch.setattr(noise, "SAMPLED", 500)
    sampled = noise.arranged_levels(*frames, ["x", "s"], {"s"}, paired, times)
    for found, expected in zip(sampled[:2], whole[:2]):
        assert np.allclose(found, expected, rtol=0.15)
    assert np.allclose(sampled[2]["x"], whole[2]["x"], rtol=0.15 if paired else 1e-12)
