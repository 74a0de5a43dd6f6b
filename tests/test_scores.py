"""Scores of generators with ids of their own beside their yardstick: units of
sampling noise, expected coverage, the copy test, planted copies, collapse and
shifts, the holdout."""
from scipy.special import comb

import numpy as np
import pandas as pd
import pytest

from kestrune import DataFrameMeta
from kestrune.testing.plotting.compare import compare_panels, pairing, scores

stats = pytest.importorskip("scipy.stats")

META = DataFrameMeta("id", "t", categorical=["state"], continuous=["level"])
COLUMNS = ["level", "state"]


def params(n, rng):
    """Per id the parameters of its process: level, trend, noise, persistence,
    share of "on"."""
    return pd.DataFrame({"level": rng.normal(0, 1, n), "trend": rng.normal(0, 0.05, n),
                         "noise": rng.gamma(4, 0.1, n), "phi": rng.uniform(0, 0.8, n),
                         "on": rng.uniform(0.1, 0.9, n)})


def panel(prefix, par, rng, periods=12):
    """One series per row of ``par``, of ids ``prefix0``, ``prefix1``..."""
    n = len(par)
    shocks = rng.normal(0, 1, (n, periods)) * par["noise"].to_numpy()[:, None]
    ar = np.zeros((n, periods))
    for t in range(periods):
        ar[:, t] = shocks[:, t] + (par["phi"].to_numpy() * ar[:, t - 1] if t else 0)
    level = par["level"].to_numpy()[:, None] + par["trend"].to_numpy()[:, None] * np.arange(periods) + ar
    state = np.where(rng.random((n, periods)) < par["on"].to_numpy()[:, None], "on", "off")
    return pd.DataFrame({"id": np.repeat(["{}{:04d}".format(prefix, i) for i in range(n)], periods),
                         "t": np.tile(np.arange(periods), n), "level": level.ravel(),
                         "state": state.ravel().astype(object)})


def pair(reference, compared, holdout=None):
    return pairing._pair(*(None if f is None else META.set_indices(f) for f in (reference, compared)),
                         META, COLUMNS, "synthetic",
                         None if holdout is None else META.set_indices(holdout))


@pytest.fixture(scope="module")
def real():
    rng = np.random.default_rng(11)
    return rng, panel("r", params(200, rng), rng), panel("h", params(200, rng), rng)


def test_distances_are_in_units_of_sampling_noise():
    # Two series of each id's own process: about one unit apart per entry.
    rng = np.random.default_rng(3)
    par = params(300, rng)
    first, second = panel("a", par, rng, 24), panel("a", par, rng, 24)
    tables = [pairing._summaries(META.set_indices(f), META, COLUMNS, {"state": ["off", "on"]})
              for f in (first, second)]
    a, b = pairing._scaled(*tables, pairing._noise(tables[0], COLUMNS, {"state": ["off", "on"]}))
    per_entry = ((a - b) ** 2).mean(axis=0)  # rows, then mean, std, lag1, two shares, changes
    assert a.shape[1] == 7 and per_entry[0] == 0 and (0.7 < per_entry[1:]).all() and (per_entry < 1.5).all(), \
        per_entry


@pytest.mark.parametrize("n, m, k", [(10, 5, 3), (6, 1, 5), (40, 200, 5), (3, 3, 3)])
def test_expected_coverage_against_its_closed_form_and_a_brute_force_count(n, m, k):
    expected = 1 - comb(n - 1, k, exact=True) / comb(n + m - 1, k, exact=True) if n > k else np.nan
    np.testing.assert_allclose(scores.expected_coverage(n, m, k), expected, rtol=1e-12)
    if (n, m) == (10, 5):  # honest draws: the share of covered reference ids, 300 times
        rng = np.random.default_rng(0)
        covered = [scores._Scored(rng.normal(size=(n, 3)), rng.normal(size=(m, 3)), k).scores(
            np.ones(m, bool))[1] for _ in range(300)]
        assert abs(np.mean(covered) - expected) < 0.03


@pytest.mark.parametrize("yardstick, distance, expected", [
    ([1, 2, 2, 3], [2, 2.5, 3, 9], [4 / 5, 4 / 5, 1, 1]),              # a plain count, ties included
    ([0, 1, 2], [0, 0.5, 1.5], [2 / 4, 2 / 4, 3 / 4]),                 # too few to fit: the floor
])
def test_copy_pvalues_against_a_plain_count(yardstick, distance, expected):
    p, floor, power = scores.copy_pvalues(distance, yardstick)
    np.testing.assert_allclose(p, expected)
    assert floor == 1 / (1 + len(yardstick)) and np.isnan(power)


def test_closer_than_holdout_against_a_binomial():
    share, expected, p = scores.closer_than_holdout(np.array([1.0, 2, 3, 4]), np.array([2.0, 2, 1, 5]), 30, 10)
    assert (share, expected) == (2.5 / 4, 0.75) and p == pytest.approx(stats.binom.sf(2, 4, 0.75))


def test_copy_pvalues_follow_the_lowest_tail_below_the_least_distance():
    # Distances to the nearest of many uniform points in 3 dimensions: a
    # lower tail of power 3.
    rng = np.random.default_rng(1)
    y = np.concatenate([[0.0], np.sort(rng.random(400) ** (1 / 3))])
    d = np.array([0.0, y[1] / 2, y[1] / 10, y[1] * (1 - 1e-9), y[1], y[200]])
    p, floor, power = scores.copy_pvalues(d, y)
    low = y[1:41]  # the lowest 10 % of the positive distances: the Hill estimate of the power
    logs = np.log(low[-1] / low[:-1]).sum()
    assert power == pytest.approx(stats.chi2.ppf(0.05, 78) / 2 / logs) and 2 < power < 39 / logs
    count = (1 + (y[None, :] <= d[:, None]).sum(axis=1)) * floor
    np.testing.assert_allclose(p[[0, 4, 5]], [floor, count[4], count[5]])  # one 0 in y
    # Anchored at the 40th least distance, capped at the least one's count
    # (just below the least distance, the power law would give more).
    np.testing.assert_allclose(p[1:4], floor * (1 + np.minimum(1, 40 * (d[1:4] / low[-1]) ** power)))
    assert p[2] < p[1] < p[3] == 2 * floor < floor * (1 + 40 * (d[3] / low[-1]) ** power)


@pytest.mark.parametrize("draws", [19, 99, 499])
def test_the_interval_holds_an_exchangeable_score_with_a_chance_of_at_least_95_percent(draws):
    # The observed score at each of its draws + 1 equally likely ranks.
    drawn = np.arange(draws, dtype=float)[:, None]
    ranks = np.arange(draws + 1) - 0.5
    low, high = zip(*(scores.interval(np.array([r]), drawn) for r in ranks))
    below, above = (ranks < np.ravel(low)).sum(), (ranks > np.ravel(high)).sum()
    # At least 95 %, the narrowest such interval, as many ranks out on either side.
    assert below == above and 0.95 * (draws + 1) <= draws + 1 - 2 * below < 0.95 * (draws + 1) + 2


def test_an_honest_generator_is_within_noise_of_its_yardstick(real):
    _, reference, holdout = real
    rng = np.random.default_rng(21)
    honest = panel("s", params(200, rng), rng)
    for held, n in ((holdout, 200), (None, 100)):  # against the reference, or against half of it
        row = pair(reference, honest, held).scores
        assert row["verdict"] == "no difference beyond noise at these sizes", row
        assert row["near_copies"] <= 2 and row["identical"] == 0
        assert row["coverage:expected"] == pytest.approx(1 - comb(n - 1, 5) / comb(n + 199, 5), rel=1e-12)
        assert row["coverage:low"] <= row["coverage:expected"] + 0.02
        assert row["departure"] == max(abs(row[s + ":departure"]) for s in scores.SCORES)
    assert 0.3 < row["yardstick_ids"] / 200 <= 0.5 and "half B" in row["yardstick"]


def test_copies_collapse_and_a_shift_are_found(real):
    _, reference, holdout = real
    rng = np.random.default_rng(22)
    par = params(200, rng)
    # Half memorised: the reference's own series with 1 % noise.
    memorised = reference[reference["id"] < "r0100"].assign(id=lambda f: "m" + f["id"])
    memorised["level"] += rng.normal(0, 0.01, len(memorised))
    half = pair(reference, pd.concat([memorised, panel("s", par[:100], rng)]), holdout)
    copies = half.pairs.set_index("id")["near_copy"]
    assert copies.filter(like="m").mean() >= 0.9 and copies.filter(like="s").mean() <= 0.05
    assert half.scores["closer_than_holdout"] > 0.7 and half.scores["closer_p"] < 1e-6
    # The copy test measures against the holdout: real ids far from the
    # reference make every honest id look closer to it than real ids are.
    assert pair(reference, panel("s", par[100:], rng), holdout.assign(level=holdout["level"] + 10)).near_copies == 100
    # Every id made from a tenth of the reference ids' processes.
    source = params(200, np.random.default_rng(11))  # the reference's own parameters
    collapsed = pair(reference, panel("c", source.iloc[rng.integers(0, 20, 200)], rng), holdout)
    assert collapsed.scores["collapse:p"] < 0.05 and collapsed.scores["collapse:departure"] > 2
    # Every level shifted by one spread between ids.
    shifted = pair(reference, panel("s", par.assign(level=par["level"] + 1), rng), holdout)
    assert min(shifted.scores["precision:p"], shifted.scores["coverage:p"]) < 0.01
    ranked = scores.score_table([half.scores, shifted.scores, collapsed.scores,
                                 pair(reference, panel("s", par, rng), holdout).scores])
    assert ranked.index[0] == "synthetic" and list(ranked["rank"]) == [1, 2, 3, 4]
    assert ranked["departure"].iloc[0] < 3 < ranked["departure"].iloc[1]


def test_a_holdout_is_refused_under_id_pairing_and_checked_like_the_reference(real):
    _, reference, holdout = real
    frames = {"original": reference, "synthetic": reference.assign(level=reference["level"] + 1)}
    with pytest.raises(ValueError, match="a holdout is for compared frames with ids of their own"):
        compare_panels(frames, META, holdout=holdout)
    frames["synthetic"] = holdout.assign(id="s" + holdout["id"])
    with pytest.raises(ValueError, match=r"frame 'holdout' lacks columns \['level'\]"):
        compare_panels(frames, META, holdout=holdout.drop(columns="level"))
    with pytest.raises(ValueError, match="frame 'holdout'"):
        compare_panels(frames, META, holdout=pd.concat([holdout, holdout.iloc[:1]]))


def test_several_generators_are_paired_each_on_its_own_and_ranked(real):
    _, reference, holdout = real
    rng = np.random.default_rng(23)
    reference, holdout = reference[reference["id"] < "r0080"], holdout[holdout["id"] < "h0060"]
    source = params(80, np.random.default_rng(11))
    memorised = reference[reference["id"] < "r0040"].assign(id=lambda f: f["id"].str.replace("r", "s"))
    frames = {"original": reference,
              "honest": panel("s", params(80, rng), rng),
              "collapsed": panel("s", source.iloc[rng.integers(0, 4, 80)], rng),
              "copying": pd.concat([memorised, panel("s", params(80, rng), rng).iloc[12 * 40:]])}
    with pytest.warns(pairing.NearCopyWarning) as caught:
        report = compare_panels(frames, META, holdout=holdout, ids_per_page=20)
    copying = [str(w.message) for w in caught if "frame 'copying'" in str(w.message)]
    assert len(copying) == 1 and 40 <= int(copying[0].split(" of ")[0]) <= 45, copying
    assert report.pairing == "nearest" and report.scores.index[0] == "honest"
    assert set(report.scores.index[1:]) == {"collapsed", "copying"}
    assert list(report.population["summaries"].columns) == ["honest", "collapsed", "copying"]
    pairs = report.pairs.set_index("id")
    assert pairs.loc["copying: s0003", "reference_id"] == "r0003" and pairs.loc["copying: s0003", "near_copy"]
    assert (pairs.index.str.split(":").str[0] == pairs["frame"]).all() and len(pairs) == 240
    headings = [page.heading.split("\n")[0] for page in report.pages]  # the notes on each pair follow
    assert headings[1] == "pairs 21-40 of 80, honest: near-copies, then the least realistic first"
    bare = (~report.coverage.query("frame == 'honest'")["covered"]).sum()
    assert headings[4] == "uncovered reference ids 1-{} of {}, no id of 'honest' resembles them".format(
        min(20, bare), bare)
    assert [h for h in headings if "copying" in h][0].endswith("first; near-copies: 20 of 20 on this page")
    for page, task in zip(report.pages, report._page_tasks("png")):
        name = page.heading.split(", ")[1].split(":")[0] if page.kind == "pairs" else page.heading.split("'")[1]
        assert task[2].names == ("original", name), page.heading
        if page.kind == "pairs":  # the cells of one frame's pairs: "r0003 ≈ copying: s0003"
            assert all(" \u2248 {}: ".format(name) in i for i in task[3][1].index.get_level_values(0))


@pytest.mark.parametrize("grid", [False, True])  # on a grid, distances tie with the radii
def test_the_yardstick_table_against_a_plain_permutation_loop(grid):
    rng = np.random.default_rng(4)
    draw = (lambda size: rng.integers(0, 4, size).astype(float)) if grid else (lambda size: rng.normal(size=size))
    reference, compared, other = draw((30, 3)), draw((12, 3)) + 0.3 * (not grid), draw((15, 3))
    table = scores.yardstick(reference, compared, other, 5, permutations=99, seed=8)
    pool = np.vstack([compared, other])
    across = np.sqrt(((pool[:, None] - reference[None]) ** 2).sum(axis=-1))
    within = np.sqrt(((reference[:, None] - reference[None]) ** 2).sum(axis=-1))
    np.fill_diagonal(within, np.inf)
    radius = np.sort(within, axis=1)[:, 4]
    nearest, distance = across.argmin(axis=1), across.min(axis=1)
    realism = np.where(distance == 0, 0.0, distance / radius[nearest])

    def plain(chosen):
        hits = np.bincount(nearest[chosen], minlength=30)
        return np.array([np.mean(realism[chosen] <= 1), np.mean((across[chosen] <= radius).any(axis=0)),
                         np.median(realism[chosen]), np.median(distance[chosen]), (hits ** 2).sum() / len(chosen)])

    rng = np.random.default_rng(8)
    drawn, gaps = [], []
    for _ in range(99):
        order = rng.permutation(27)
        drawn.append(plain(order[:12]))
        gaps.append(drawn[-1] - plain(order[12:]))
    drawn, gaps = np.array(drawn), np.array(gaps)
    value, against = plain(np.arange(12)), plain(np.arange(12, 27))
    beyond = (np.abs(gaps - gaps.mean(axis=0)) >= np.abs(value - against - gaps.mean(axis=0)) - 1e-12).sum(axis=0)
    every = np.sort(np.vstack([value, drawn]), axis=0)  # the observed frame is one of 100 draws
    expected = pd.DataFrame({"value": value, "yardstick": against, "low": every[2], "high": every[97],
                             "departure": np.where(drawn.std(axis=0) > 0, (value - drawn.mean(axis=0)) / np.fmax(
                                 drawn.std(axis=0, ddof=1), 1e-300), 0.0),  # no spread: 0
                             "p": (1 + beyond) / 100}, index=pd.Index(scores.SCORES, name="score"))
    pd.testing.assert_frame_equal(table, expected, rtol=1e-9)


@pytest.mark.parametrize("n, how, yardstick", [
    (19, "a copy test needs at least 20 reference ids", "too few ids for a yardstick"),
    (20, "q < 0.05 against 20", "too few ids for a yardstick"),
    (39, "q < 0.05 against 39", "too few ids for a yardstick"), (40, "q < 0.05 against 40", "half B")])
def test_a_copy_test_needs_twenty_reference_ids_and_a_yardstick_forty(n, how, yardstick):
    # Below twenty, copies are the ids closer to a reference id than any two reference ids are.
    rng = np.random.default_rng(n)
    reference = panel("r", params(n, rng), rng)
    copy = reference[reference["id"] == "r0003"].assign(id="copy")
    copy["level"] += rng.normal(0, 0.001, len(copy))
    result = pair(reference, pd.concat([copy, panel("s", params(10, rng), rng)]))
    assert result.scores["copy_test"].startswith(how) and result.scores["yardstick"].startswith(yardstick)
    assert ("yardstick_ids" in result.scores) == (n == 40)
    flags = result.pairs.set_index("id")["near_copy"]
    assert flags["copy"] and flags.drop("copy").sum() <= 1
