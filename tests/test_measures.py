"""The report's measures: values against plain per-id loops, undefined cells,
p-values calibrated for autocorrelated series, q-values."""
import collections
import importlib.util
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from kestrune import DataFrameMeta
from kestrune.testing.plotting.compare import (MEASURES, benjamini_hochberg, divergence_table,
                                               measure_table)

stats = pytest.importorskip("scipy.stats")

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "examples" / "data"


def panel(ids, periods, seed, phi=0.0):
    """Three number columns (rounded: ties) and a label column, with gaps:
    missing values and labels, dropped rows, a constant series, short ids."""
    rng = np.random.default_rng(seed)
    n = len(ids) * periods
    x = rng.normal(size=(len(ids), periods))
    labels = rng.integers(0, 3, (len(ids), periods))
    kept = rng.random((len(ids), periods)) < 0.6  # sticky labels
    for t in range(1, periods):
        x[:, t] += phi * x[:, t - 1]
        labels[:, t] = np.where(kept[:, t], labels[:, t - 1], labels[:, t])
    frame = pd.DataFrame({
        "id": np.repeat(ids, periods), "t": np.tile(np.arange(periods), len(ids)),
        "a": np.round(x.ravel(), 1), "b": np.round(x.ravel() + rng.normal(0, 1, n), 1),
        "c": rng.integers(0, 4, n).astype(float),
        "s": np.array(["on", "off", "idle"], dtype=object)[labels.ravel()]})
    for column in "abcs":
        frame.loc[rng.random(n) < 0.1, column] = np.nan
    frame.loc[frame["id"] == ids[0], "a"] = 2.0            # constant
    frame = frame[~((frame["id"] == ids[1]) & (frame["t"] > 1))]  # two rows only
    return frame.drop(index=frame.index[rng.random(len(frame)) < 0.1])


META = DataFrameMeta("id", "t", categorical=["s"], continuous=["a", "b", "c"])


@pytest.fixture(autouse=True)
def fewer_null_panels(monkeypatch):
    """Fewer simulated null ids than the report's: these tests check rates at 5 %."""
    from kestrune.testing.plotting.compare import calibration
    monkeypatch.setattr(calibration, "SIMULATED", 1500)


@pytest.fixture(scope="module")
def pair():
    ids = list(range(60))
    reference = panel(ids, 20, seed=1, phi=0.6)
    # id 2 only on even periods: more pairs at lag 2 than a series of as many values has
    reference = reference[~((reference["id"] == 2) & (reference["t"] % 2 == 1))]
    other = panel(ids, 16, seed=2)
    return reference, other[other["id"] != 5]  # the other frame lacks id 5


def autocorrelation(x, lag):
    """The estimator of the docs, on a series reindexed by period (absent
    periods missing): the mean product of the pairs present over the
    variance, times max(values - lag, pairs) / pairs."""
    x = np.asarray(x, dtype=float)
    values = x[~np.isnan(x)]
    if len(values) < 3 or values.min() == values.max():
        return np.nan
    d = x - values.mean()
    products = d[:-lag] * d[lag:]
    pairs = (~np.isnan(products)).sum()
    if not pairs:
        return np.nan
    r = np.nansum(products) / np.nansum(d ** 2) * max(len(values) - lag, pairs) / pairs
    return min(max(r, -1.0), 1.0)


@pytest.mark.parametrize("kwargs, expected", [
    ({}, [("s", "distribution"), ("s", "dynamics")] + [(c, m) for c in "abc" for m in MEASURES]),
    ({"columns": ["b", "s", "a"], "measures": ["dependence", "distribution"]},
     [("b", "dependence"), ("b", "distribution"), ("s", "distribution"), ("a", "dependence"), ("a", "distribution")]),
    ({"columns": ["a", "s"]}, [("a", "distribution"), ("a", "dynamics"), ("s", "distribution"), ("s", "dynamics")]),
    # refused, with what is wrong
    ({"measures": "dynamics"}, "not the single string 'dynamics'"),
    ({"measures": []}, "measures is empty; valid are 'distribution', 'dynamics', 'dependence'"),
    ({"measures": ["trend"]}, r"\['trend'\] are not measures"),
    ({"measures": ["dynamics", "dynamics"]}, "given more than once"),
    ({"max_lag": 0}, "got 0"),
    ({"max_lag": True}, "got True"),
    ({"max_lag": 1.0}, "got 1.0"),
    ({"measures": ["dependence"], "columns": ["a", "s"]}, r"measures \['dependence'\] leave no cell: .*only 'a'"),
])
def test_only_defined_cells_in_order_or_refused(pair, kwargs, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            measure_table(*pair, META, **kwargs)
        return
    values, pvalues = measure_table(*pair, META, ids=[3, 4], **kwargs)
    assert list(values.columns) == expected == list(pvalues.columns) and list(values.index) == [3, 4]


def test_benjamini_hochberg():
    p = np.array([[0.01, np.nan, 0.04], [0.03, 0.2, 0.001]])
    # by hand: sorted 0.001 0.01 0.03 0.04 0.2 times 5/rank, then the running minimum from the top
    expected = np.array([[0.025, np.nan, 0.05], [0.05, 0.2, 0.005]])
    np.testing.assert_allclose(benjamini_hochberg(p), expected, rtol=1e-12)
    frame = pd.DataFrame(p, index=["x", "y"], columns=pd.MultiIndex.from_tuples([("a", "m"), ("a", "n"), ("b", "m")]))
    q = benjamini_hochberg(frame)
    assert q.index.equals(frame.index) and q.columns.equals(frame.columns)
    assert np.isnan(benjamini_hochberg([np.nan])).all() and benjamini_hochberg([0.9, 0.8]).tolist() == [0.9, 0.9]
    multitest = pytest.importorskip("statsmodels.stats.multitest")
    flat = np.random.default_rng(0).random(200) ** 3
    np.testing.assert_allclose(benjamini_hochberg(flat), multitest.multipletests(flat, method="fdr_bh")[1], rtol=1e-11)


def benchmark():
    """benchmarks/compare.py, whose processes and shares of small p-values the
    calibration tests share at a smaller size."""
    spec = importlib.util.spec_from_file_location("compare_benchmark", str(ROOT / "benchmarks" / "compare.py"))
    module, path = importlib.util.module_from_spec(spec), list(sys.path)
    try:
        spec.loader.exec_module(module)
    finally:
        sys.path[:] = path  # the script adds the examples to the path
    return module


BENCH = benchmark()
IDS = 400


# The benchmark's null processes, and one that differs in persistence only ("a/b": a against b).
PROCESSES = dict(BENCH.NULLS, **{"AR(1) phi=0.8": lambda rng, shape: {"x": BENCH.ar1(rng, shape, 0.8)}})


# The panel of two kinds of ids varies more than binomially from panel to panel in its
# dependence cells (the pair's prior is fitted to the panel): 0.022 to 0.072 over ten seeds,
# 0.0875 at seed 24; it takes seeds of its own.
@pytest.mark.parametrize("process, periods, seed", [(p, n, n + 100 * ("halves" in p)) for n in (24, 36)
                                                    for p in BENCH.NULLS]
                         + [(p, 12, 12) for p in BENCH.NULLS if "chain" in p]
                         + [("i.i.d. normal/AR(1) phi=0.8", 24, 11)])
def test_false_positives_under_the_same_process(process, periods, seed):
    """Both frames independent draws of one process; or, where they differ in
    persistence only, the distribution's (each frame's persistence sets its own size)."""
    first, _, second = process.partition("/")
    rng, first, second = np.random.default_rng(seed), PROCESSES[first], PROCESSES[second or first]
    shares = BENCH.shares_below(first(rng, (IDS, periods)), second(rng, (IDS, periods)))
    shares = {k: v for k, v in shares.items() if first == second or k.endswith("distribution")}
    assert max(shares.values()) <= 0.05 + 3 * np.sqrt(0.05 * 0.95 / IDS), shares


def label_rows(labels, periods=None):
    """``_Rows`` of label series (ids x rows) on the given periods (default 0, 1, ...)."""
    from kestrune.testing.plotting.compare import measures
    ids, length = labels.shape
    periods = np.tile(np.arange(length) if periods is None else periods, ids)
    table = pd.DataFrame({"id": np.repeat(np.arange(ids), length), "t": periods,
                          "s": labels.ravel().astype(object)})
    meta = DataFrameMeta("id", "t", categorical=["s"], continuous=[])
    return measures._Rows(meta.set_indices(table), pd.Index(range(ids)), periods)


def plain_chain(frames):
    """The null chain of the docstring, id by id: the chance of a change shrunk by a beta
    prior, the shares by a Dirichlet prior about the panel's, both weights by moments."""
    series = [[list(group) for _, group in pd.Series(rows.values("s")).groupby(rows.codes)]
              for rows in frames]
    moves = np.array([sum(len(f[i]) - 1 for f in series) for i in range(len(series[0]))])
    changes = np.array([sum(np.sum(np.array(f[i][1:]) != np.array(f[i][:-1])) for f in series)
                        for i in range(len(series[0]))])
    mean = changes.sum() / moves.sum()
    beyond = np.average((changes / moves - mean) ** 2, weights=moves) - mean * (1 - mean) * np.mean(1 / moves)
    prior = np.clip(mean * (1 - mean) / beyond - 1, 1, 1e6) if beyond > 0 else 1e6
    change = (changes + prior * mean) / (moves + prior)
    every = pd.Series(np.concatenate([np.concatenate(f) for f in series]))
    panel = every.value_counts(normalize=True)
    own = [pd.Series(a + b).value_counts(normalize=True).reindex(panel.index, fill_value=0)
           for a, b in zip(*series)]
    n = np.array([len(a) + len(b) for a, b in zip(*series)])
    rough = np.clip(1 - change / (1 - (panel ** 2).sum()), 0, 0.99)
    draws = np.maximum(n * (1 - rough) / (1 + rough), 1)
    # E |own - panel|^2 = (1 - sum panel^2) (1/d + (1 - 1/d) / (w + 1)), summed over ids
    scatter = sum(((o - panel) ** 2).sum() for o in own) / (1 - (panel ** 2).sum())
    if scatter > (1 / draws).sum():
        w = max((1 - 1 / draws).sum() / (scatter - (1 / draws).sum()) - 1, 0)
        weight = w / (w + draws)
    else:  # no spread beyond sampling: the panel's alone
        weight = np.ones(len(draws))
    s = np.array([(((1 - k) * o + k * panel) ** 2).sum() for k, o in zip(weight, own)])
    return np.clip(1 - change / (1 - s), 0, 0.99), weight


@pytest.mark.parametrize("stay, split, rho, panel", [
    (0.9, False, (0.82, 0.88), (0.99, 1.0)),  # one process: the panel's labels and chance
    (0.8, True, (0.6, 0.8), (0.0, 0.6)),      # two sets of labels: mostly the id's own
])
def test_null_chain_shrinks_to_the_panel_as_far_as_ids_agree(stay, split, rho, panel):
    """rho of the chain (stay - 1/3) / (2/3): 0.85 and 0.7."""
    from kestrune.testing.plotting.compare import calibration, measures
    rng, frames = np.random.default_rng(3), []
    for _ in range(2):
        labels = BENCH.chain(rng, (600, 24), stay)
        if split:
            labels[1::2] = np.char.upper(labels[1::2].astype(str))
        frames.append(label_rows(labels))
    got_rho, got_panel = calibration._chain(frames, measures._labels(frames, "s"))
    assert rho[0] < got_rho.mean() < rho[1] and panel[0] <= got_panel.mean() <= panel[1]
    want_rho, want_panel = plain_chain(frames)
    np.testing.assert_allclose(got_rho, want_rho, rtol=1e-9)
    np.testing.assert_allclose(got_panel, want_panel, rtol=1e-9)
    # A fresh label from the panel is any of the panel's: each half draws the other's alike.
    with np.errstate(divide="ignore", invalid="ignore"):
        model = measures._computed(frames, {"s"}, ["s"], ("distribution",), 1)[4]
        null = calibration._simulated(frames[0], 0, frames, model, {"s"}, ["s"], 1)
    codes = model[1]["s"][0][0]
    upper = np.isin(null.values("s"), codes[np.char.isupper(frames[0].values("s").astype(str))])
    foreign = [upper[null.codes % 2 == 0].mean(), 1 - upper[null.codes % 2 == 1].mean()]
    assert 0.6 < foreign[0] / foreign[1] < 1.6 if split else foreign[0] == 0, foreign


def test_null_chains_draw_the_panels_labels_and_keep_them_over_gaps():
    """Runs of a label only the compared frame holds (3 % of the panel), every third
    period absent: most ids never show it, their null chains draw it as often as the
    panel holds it, and keep a label over a gap of two periods with probability rho^2."""
    from kestrune.testing.plotting.compare import calibration, measures
    rng, ids, frames = np.random.default_rng(4), 2000, []
    periods = np.arange(12) + np.arange(12) // 2  # 0, 1, 3, 4, 6, ...: gaps of two
    for shares in ([0.5, 0.5, 0.0], [0.47, 0.47, 0.06]):
        frames.append(label_rows(np.repeat(rng.choice(list("abc"), size=(ids, 3), p=shares), 4, axis=1),
                                 periods))
    with np.errstate(divide="ignore", invalid="ignore"):
        model = measures._computed(frames, {"s"}, ["s"], ("distribution",), 1)[4]
        null = calibration._simulated(frames[0], 0, frames, model, {"s"}, ["s"], 2)
    seen = np.zeros(ids, dtype=bool)
    seen[frames[1].codes[frames[1].values("s") == "c"]] = True
    codes, _ = model[1]["s"]
    drawn = null.values("s") == codes[1][frames[1].values("s") == "c"][0]
    assert 0.015 < drawn.mean() < 0.05
    assert drawn[~seen[null.codes % ids]].mean() > 0.01
    rho = calibration._chain(frames, model[1]["s"])[0][null.codes % ids][1:]
    same, gap = null.codes[1:] == null.codes[:-1], np.diff(null.period)
    kept = null.values("s")[1:] == null.values("s")[:-1]
    # a change over two periods is one in either: 1 - rho^2 against 1 - rho over one
    ratio = [(1 - kept[same & (gap == g)].mean()) / (1 - rho[same & (gap == g)] ** g).mean()
             for g in (1, 2)]
    assert abs(ratio[1] / ratio[0] - 1) < 0.25, ratio


@pytest.mark.parametrize("name, cell, target, reference, other",
                         list(BENCH.planted(np.random.default_rng(7), (300, 36))),
                         ids=lambda v: v if isinstance(v, str) and " " in v else "")
def test_power_at_36_periods(name, cell, target, reference, other):
    shares = BENCH.shares_below(reference, other)
    assert shares[cell] >= target - 3 * np.sqrt(target * (1 - target) / 300), shares


def test_scrambled_demo_panel_is_told_apart_and_a_copy_is_not():
    labels = ["weather", "promo"]
    original = pd.read_csv(DATA / "panel_original.csv", parse_dates=["date"], dtype={c: object for c in labels},
                           keep_default_na=False, na_values=[""])
    meta = DataFrameMeta.from_frame(original, "store", "date")
    original = original.sort_values(["store", "date"], ignore_index=True)
    # Each store's rows in a random order, on the store's own dates.
    order = np.lexsort((np.random.default_rng(20240601).random(len(original)), original["store"]))
    scrambled = original.iloc[order].assign(date=original["date"].to_numpy())
    values, pvalues = measure_table(original, scrambled, meta)
    q = benjamini_hochberg(pvalues)
    assert (values.xs("distribution", axis=1, level=1) == 0).all().all()
    cells = [(c, "dynamics") for c in meta.continuous]
    assert len(cells) * len(values) == 8
    assert np.median(values[cells]) >= 0.25 and (q[cells] < 0.05).sum().sum() >= 6
    values, pvalues = measure_table(original, original.sample(frac=1, random_state=0), meta)
    assert (values == 0).all().all() and not (benjamini_hochberg(pvalues) < 0.05).any().any()


def rows(a, b, s, ids="x"):
    return pd.DataFrame({"id": ids, "t": range(len(a)), "a": a, "b": b, "s": s})


DEFINED = [("s", "distribution"), ("s", "dynamics")]


@pytest.mark.parametrize("reference, other, nan_cells, told", [
    # one row, nothing to move or correlate
    (rows([1.0], [2.0], ["p"]), rows([1.0], [2.0], ["p"]),
     [("s", "dynamics"), ("a", "dynamics"), ("a", "dependence"), ("b", "dynamics"), ("b", "dependence")], []),
    # no value at all in the reference; missing labels against labels; four rows: too short to tell
    (rows([np.nan] * 4, [np.nan] * 4, [None] * 4), rows([1.0, 2, 3, 4], [1.0, 2, 3, 4], ["p"] * 4),
     [(c, m) for c in "ab" for m in ("distribution", "dynamics", "dependence")], []),
    # an infinite value: no autocorrelation, but ranks
    (rows([1, np.inf, 2, 3, 4], [1.0, 2, 3, 4, 5], list("ppqqp")), rows([1.0, 2, 3, 4, 5], [1, -np.inf, 2, 3, 4], list("pqpqp")),
     [("a", "dynamics"), ("b", "dynamics")], DEFINED + [(c, m) for c in "ab" for m in ("distribution", "dependence")]),
    # nullable and category dtypes; four values of a: too short, and too coarse to correlate
    (rows(pd.array([1, 2, None, 4, 5], dtype="Int64"), [5.0, 4, 3, 2, 1], pd.Categorical(list("ppqqp"))),
     rows([1, 2, 3, 5, 4], [5, 3, 4, 2, 1], list("pqpqp")), [], DEFINED + [("b", "distribution"), ("b", "dynamics")]),
    # every other value missing: no pair at lag 1, but at lag 2
    (rows([1, np.nan, 2, np.nan, 3, np.nan], [1.0, 2, 3, 4, 5, 6], list("pqpqpq")),
     rows([1.0, 2, 3, 5, 4, 6], [5.0, 3, 4, 2, 1, 0], list("pqpqpq")), [], DEFINED + [("b", "distribution"), ("b", "dynamics")]),
    # ids that match nowhere
    (rows([1.0, 2, 3], [1.0, 2, 3], list("pqp")), rows([1.0, 2, 3], [1.0, 2, 3], list("pqp"), ids="y"),
     "all", []),
])
def test_odd_frames_give_nan_not_errors(reference, other, nan_cells, told, recwarn):
    values, pvalues = measure_table(reference, other, DataFrameMeta("id", "t", ["s"], ["a", "b"]), max_lag=2)
    assert not recwarn.list
    undefined = values.isna()
    if nan_cells == "all":
        assert undefined.all().all() and pvalues.isna().all().all()
    else:
        assert sorted(undefined.columns[undefined.iloc[0]]) == sorted(nan_cells)
        assert sorted(pvalues.columns[pvalues.iloc[0].notna()]) == sorted(told)
    assert (pvalues[told] > 0.05).all().all()


# ---- p-values against a per-id computation of the documented formulas ----

special = pytest.importorskip("scipy.special")


def persistence(x):
    """Lag-1 autocorrelation less its bias, clipped; NaN under 3 pairs (x on the period grid)."""
    r = autocorrelation(x, 1)
    pairs = (~np.isnan(np.asarray(x[:-1], float) * np.asarray(x[1:], float))).sum()
    values = np.count_nonzero(~np.isnan(np.asarray(x, float)))
    return np.nan if pairs < 3 or np.isnan(r) else min(max(r + (1 + 4 * r) / values, 0.0), 0.95)


def shared(own, other):
    return own if not np.isnan(own) else (other if not np.isnan(other) else 0.95)


def estimates(x, y, partners):
    """Of one id (x, y reindexed by period; y None where absent): per column the reference's
    lag-1 autocorrelation less its bias and its pairs, and both frames' persistences; per pair
    per frame its Spearman correlation, Fisher's z and z's standard deviation (None: too coarse)."""
    frames = [x, y if y is not None else x.iloc[:0]]
    out = {}
    for c in partners:
        r = autocorrelation(x[c], 1)
        pairs = (~np.isnan(x[c].to_numpy()[:-1] * x[c].to_numpy()[1:])).sum()
        out[c] = r + (1 + 4 * r) / x[c].notna().sum(), pairs, [persistence(f[c]) for f in frames]
    for i, c in enumerate(partners):
        for o in partners[i + 1:]:
            out[c, o] = []
            for f, s in enumerate(frames):
                both = s[[c, o]].dropna()
                n = len(both)
                if n < 3 or min(both[c].nunique(), both[o].nunique()) < 5:
                    out[c, o].append(None)
                    continue
                rho = stats.spearmanr(both[c], both[o]).correlation
                product = shared(*out[c][2][f::1 - 2 * f]) * shared(*out[o][2][f::1 - 2 * f])
                eff = n * (1 - product) / (1 + product)
                nearest = 1 - 6.0 / (n * (n ** 2 - 1.0))
                out[c, o].append((rho, np.arctanh(np.clip(rho, -nearest, nearest)),
                                  np.sqrt(1.06 / (eff - 3)) if eff > 3 else np.inf))
    return out


def em_prior(rows, grid, law):
    """The grid prior of the docs: estimates rounded to 0.01, scales to 0.05 on a log scale,
    500 rounds of EM from the uniform weights over the rounded rows."""
    rows = collections.Counter((round(e * 100) / 100, np.exp(round(np.log(s) / 0.05) * 0.05))
                               for e, s in rows if np.isfinite(e) and np.isfinite(s) and s > 0)
    weights = np.full(len(grid), 1 / len(grid))
    if sum(rows.values()) >= 50:
        keys = np.array(list(rows))
        mean, sd = law(keys[:, 1])
        like = stats.norm.pdf(keys[:, :1], mean, sd) * np.sqrt(2 * np.pi)
        counts = np.array(list(rows.values()), float)
        for _ in range(500):
            weights = weights * ((counts / (like @ weights)) @ like) / counts.sum()
    return weights


def predictive_p(weights, grid, law, estimate, scale, other, other_scale):
    """Two-sided p-value of ``other`` under the mixture over the posterior of one id."""
    if np.isfinite(estimate):
        mean, sd = law(np.array([scale]))
        found = weights * stats.norm.pdf(estimate, mean[0], sd[0])
        weights = found / found.sum() if found.sum() > 0 else weights  # none explains it: the prior
    mean, sd = law(np.array([other_scale]))
    below = weights @ stats.norm.cdf(other, mean[0], sd[0])
    return min(1.0, 2 * min(below, weights @ stats.norm.sf(other, mean[0], sd[0])))


def plain_id(x, y, max_lag, priors, partners=("a", "b", "c")):
    """One id's values and uncalibrated p-values by the documented formulas, from its rows
    on the period grid (absent periods NaN, a missing label "\\0"): {cell: (value, p)},
    and the p-value of each pair of columns under the key (first, second). ``priors``: the
    reference panel's, per column and per pair, on the grids of the measures module."""
    from kestrune.testing.plotting.compare import measures
    out = {}
    mine, theirs = estimates(x, y, partners), estimates(y, x, partners)
    rho = {c: mine[c][2] for c in partners}
    for c in partners:
        a, b = x[c].dropna(), y[c].dropna()
        r = [shared(*rho[c]), shared(*rho[c][::-1])]
        d = stats.ks_2samp(a, b).statistic if len(a) and len(b) else np.nan
        runs = [1 + (v.to_numpy()[1:] != v.to_numpy()[:-1]).sum() for v in (a, b)]  # caps the effective size
        e = [min(len(v) * (1 - q) / (1 + q), cap) for v, q, cap in zip((a, b), r, runs)]
        n = np.sqrt(e[0] * e[1] / (e[0] + e[1])) if len(a) and len(b) else np.nan
        out[c, "distribution"] = d, 1.0 if d == 0 else special.kolmogorov((n + 0.12 + 0.11 / n) * d)
        gaps, ps = [], []
        for k in range(1, max_lag + 1):
            rk = [autocorrelation(s[c], k) for s in (x, y)]
            if np.isnan(rk).any():
                continue
            m = [(~np.isnan(s[c].to_numpy()[:-k] * s[c].to_numpy()[k:])).sum() for s in (x, y)]
            if k == 1:  # the compared frame's against the reference's posterior predictive
                p = predictive_p(priors[c], measures.PERSISTENCE_GRID, measures._persistence_law,
                                 mine[c][0], mine[c][1], theirs[c][0], theirs[c][1])
            else:
                v = sum(((1 + q ** 2) * (1 - q ** (2 * k)) / (1 - q ** 2) - 2 * k * q ** (2 * k)) / mk
                        for q, mk in zip(r, m))
                p = 2 * stats.norm.sf(abs(rk[0] - rk[1]) / np.sqrt(v))
            gaps.append(abs(rk[0] - rk[1]) / 2)
            ps.append(1.0 if rk[0] == rk[1] else p)
        out[c, "dynamics"] = (max(gaps), 1 - (1 - min(ps)) ** len(ps)) if gaps else (np.nan, np.nan)
        if min(len(a), len(b)) < 5:  # too short to tell
            out[c, "distribution"], out[c, "dynamics"] = ((out[c, m][0], np.nan) for m in ("distribution", "dynamics"))
    for c in partners:
        gaps = []
        for o in [o for o in partners if o != c]:
            rs = []
            for s in (x, y):
                both = s[[c, o]].dropna()
                if len(both) < 3 or min(both[c].nunique(), both[o].nunique()) < 2:
                    break
                rs.append(stats.spearmanr(both[c], both[o]).correlation)
            gaps += [abs(rs[0] - rs[1]) / 2] if len(rs) == 2 else []
            key = tuple(sorted((c, o)))
            if None in mine[key]:  # too few or too coarse (under 5 distinct values)
                out[key] = np.nan
                continue
            _, z, sd = zip(*mine[key])
            p = predictive_p(priors[key], measures.CORRELATION_GRID, measures._correlation_law,
                             z[0], sd[0], z[1], sd[1])
            out[key] = 1.0 if rs[0] == rs[1] or np.isinf(sd).any() else p
        out[c, "dependence"] = max(gaps) if gaps else np.nan, None
    out["s", "distribution"], out["s", "dynamics"] = plain_labels(x["s"], y["s"])
    return out


def label_persistence(x):
    """(stay - s) / (1 - s) less its bias, s the unbiased sum of squared shares; NaN
    under 3 moves or 2 changes (x: labels on the period grid, absent periods NaN)."""
    moves = [(a, b) for a, b in zip(x[:-1], x[1:]) if isinstance(a, str) and isinstance(b, str)]
    stays, counts, n = sum(a == b for a, b in moves), x.dropna().value_counts(), x.notna().sum()
    if len(moves) < 3 or len(moves) - stays < 2:
        return np.nan
    s = (counts * (counts - 1)).sum() / (n * (n - 1))
    rho = (stays / len(moves) - s) / (1 - s)
    return min(max(rho + (1 + rho) / n, 0.0), 0.95)


def plain_labels(x, y):
    """(value, p) of a label column: the total variation distance of the shares and the
    chi-square of them at effective sizes; the distance of the next label's shares after
    each label weighted by the reference's moves, and the smaller p-value of Cochran-
    Mantel-Haenszel on keeping the label and Anderson-Goodman (0.5 added) times 2."""
    counts = pd.concat([x.value_counts(), y.value_counts()], axis=1).fillna(0).to_numpy().T
    shares, pooled = counts / counts.sum(axis=1)[:, None], counts.sum(axis=0) / counts.sum()
    rho = [label_persistence(x), label_persistence(y)]
    size = [s.notna().sum() * (1 - r) / (1 + r) for s, r in zip((x, y), (shared(*rho), shared(*rho[::-1])))]
    chi = ((shares[0] - shares[1]) ** 2 / (pooled * (1 / size[0] + 1 / size[1]))).sum()
    distance = 0.5 * np.abs(shares[0] - shares[1]).sum()
    distribution = distance, 1.0 if distance == 0 else stats.chi2.sf(chi, counts.shape[1] - 1)
    nexts = [collections.defaultdict(collections.Counter) for _ in "xy"]
    for s, found in zip((x, y), nexts):
        for a, b in zip(s[:-1], s[1:]):
            if isinstance(a, str) and isinstance(b, str):
                found[a][b] += 1
    chi, df, excess, spread, value = 0.0, 0, 0.0, 0.0, 0.0
    moves = sum(sum(c.values()) for c in nexts[0].values())
    for a in list(nexts[0]):
        c, seen = [nexts[0][a], nexts[1][a]], sorted(set(nexts[0][a]) | set(nexts[1][a]))
        n = [sum(c[0].values()), sum(c[1].values())]
        value += n[0] / moves * (0.5 * sum(abs(c[0][b] / n[0] - c[1][b] / n[1]) for b in seen) if n[1] else 1.0)
        if not n[1]:
            continue
        for b in seen:
            smoothed = [(c[f][b] + 0.5) / (n[f] + 0.5 * len(seen)) for f in (0, 1)]
            chi += (smoothed[0] - smoothed[1]) ** 2 / ((c[0][b] + c[1][b]) / sum(n) * (1 / n[0] + 1 / n[1]))
        df += len(seen) - 1
        kept = c[0][a] + c[1][a]
        excess += c[0][a] - n[0] * kept / sum(n)
        spread += n[0] * n[1] * kept * (sum(n) - kept) / (sum(n) ** 2 * (sum(n) - 1))
    anderson = stats.chi2.sf(chi, df) if df else 1.0
    mantel = stats.chi2.sf(excess ** 2 / spread, 1) if spread > 0 else 1.0
    rows = min(x.notna().sum(), y.notna().sum())
    dynamics = (value, 1.0 if value == 0 else min(2 * min(anderson, mantel), 1.0)) \
        if moves and rows >= 3 else (np.nan, np.nan)
    if rows < 5:  # too short to tell
        return (distribution[0], np.nan), (dynamics[0], np.nan)
    return distribution, dynamics


def every_other_missing(frame):
    frame = frame.copy()
    frame.loc[frame["t"] % 2 == 1, "a"] = np.nan
    return frame


@pytest.mark.parametrize("max_lag, change", [(1, lambda f: f), (3, lambda f: f), (1, every_other_missing)])
def test_values_and_pvalues_match_a_loop_over_ids(pair, max_lag, change):
    from kestrune.testing.plotting.compare import measures
    from kestrune.testing.plotting.compare.measures import _measured
    reference, other = pair[0], change(pair[1])
    ids = pd.Index(range(60))
    values, pvalues = measure_table(reference, other, META, max_lag=np.int64(max_lag), calibrated=False)
    prepared = [META.set_indices(f) for f in (reference, other)]
    pairs = _measured(*prepared, META, ["a", "b", "c"], ids, max_lag=max_lag, calibrated=False)[2]
    assert list(values.index) == list(ids)
    grids = [{i: g.assign(s=g["s"].fillna("\0")).set_index("t").reindex(range(g["t"].min(), g["t"].max() + 1))
              for i, g in f.groupby("id")} for f in (reference, other)]
    # The reference panel's priors, from every id's estimates.
    known = {i: estimates(grids[0][i], grids[1].get(i), "abc") for i in grids[0]}
    priors = {c: em_prior([known[i][c][:2] for i in known], measures.PERSISTENCE_GRID, measures._persistence_law)
              for c in "abc"}
    for c, o in ("ab", "ac", "bc"):
        priors[c, o] = em_prior([k[c, o][0][1:] for k in known.values() if k[c, o][0]],
                                measures.CORRELATION_GRID, measures._correlation_law)
    for i in set(ids) & set(grids[1]):
        for key, want in plain_id(grids[0][i], grids[1][i], max_lag, priors).items():
            got = pairs.loc[i, key] if key[1] in "abc" else (values.loc[i, key], pvalues.loc[i, key])
            for got, want in [(got, want)] if key[1] in "abc" else zip(got, want):
                if want is not None:
                    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12, err_msg=str((i, key)))
    # distribution: exactly the divergence table's numbers
    table = divergence_table(reference, other, META)
    for column in table.columns:
        np.testing.assert_array_equal(values[column, "distribution"], table[column])
    for c in "ab":  # a column's dependence: Sidak over its pairs that have a p-value
        mine = pairs[[pair for pair in pairs.columns if c in pair]].to_numpy()
        tests = (~np.isnan(mine)).sum(axis=1)
        expected = np.where(tests > 0, 1 - (1 - np.nanmin(np.where(np.isnan(mine), 2, mine), axis=1)) ** tests, np.nan)
        np.testing.assert_allclose(pvalues[c, "dependence"], expected, rtol=1e-9)
    # undefined beyond the loop's: the id the other frame lacks; c too coarse (four values)
    assert values.loc[5].isna().all() and pvalues.loc[5].isna().all()
    assert pvalues["c", "dependence"].isna().all() and values["c", "dependence"].notna().any()


def bh_rejects(p, alpha):
    """Benjamini-Hochberg at alpha, plainly: the largest k with p_(k) <= k alpha / m."""
    p = np.asarray(p, float)
    found = np.zeros(len(p), dtype=bool)
    defined = np.flatnonzero(~np.isnan(p))
    ranked = defined[np.argsort(p[defined], kind="stable")]
    passing = [k for k in range(1, len(ranked) + 1) if p[ranked[k - 1]] <= k * alpha / len(ranked)]
    if passing:
        found[ranked[:max(passing)]] = True
    return found


def test_id_level_qvalues_are_the_two_stage_procedure():
    from kestrune.testing.plotting.compare.measures import id_level_qvalues
    rng = np.random.default_rng(3)
    cells = pd.MultiIndex.from_tuples([("x", "distribution"), ("x", "dependence"), ("y", "dependence"),
                                       ("z", "dependence"), ("s", "dynamics")])
    pairs_index = pd.MultiIndex.from_tuples([("x", "y"), ("x", "z"), ("y", "z")])
    ids = 80
    p = rng.random((ids, 5)) ** 3
    pairs = rng.random((ids, 3)) ** 3
    p[:10] *= 1e-4
    pairs[[4, 20, 21]] = [1e-6, 0.5, np.nan]
    p[5:8, 0] = np.nan
    pairs[30] = np.nan
    frame, pair_frame = pd.DataFrame(p, columns=cells), pd.DataFrame(pairs, columns=pairs_index)
    q = id_level_qvalues(frame, pair_frame).to_numpy()
    # Plainly: each id's tests are its non-dependence cells and every pair once.
    tests = np.column_stack([p[:, [0, 4]], pairs])
    simes = np.array([np.nanmin(np.sort(t[~np.isnan(t)]) * np.sum(~np.isnan(t)) / np.arange(1, np.sum(~np.isnan(t)) + 1))
                      for t in tests])
    # every q-value is the smallest level at which its cell is found: found at q, not just below
    levels = np.unique(q[~np.isnan(q) & (q < 1)])
    for alpha in np.r_[0.001, 0.05, levels, levels * (1 - 1e-6)] * (1 + 1e-9):
        found_ids = bh_rejects(simes, alpha)
        level = alpha * found_ids.sum() / len(simes)
        expected = np.zeros(p.shape, dtype=bool)
        for i in np.flatnonzero(found_ids):
            hit = bh_rejects(tests[i], level)
            expected[i, [0, 4]] = hit[:2]
            expected[i, 1] = hit[2] or hit[3]          # x: pairs (x, y) and (x, z)
            expected[i, 2] = hit[2] or hit[4]          # y: (x, y), (y, z)
            expected[i, 3] = hit[3] or hit[4]          # z: (x, z), (y, z)
        np.testing.assert_array_equal(q <= alpha, expected, err_msg=str(alpha))
    assert np.isnan(q[5:8, 0]).all() and np.isnan(q[30, 1:4]).all() and not np.isnan(q[30, 0])
    # Without the pairs every dependence cell is a test of its own.
    alone = id_level_qvalues(frame).to_numpy()
    assert (alone[:, 1:4] >= 0).all() and not np.allclose(alone, q, equal_nan=True)


def plain_against(p, null):
    """The docstring's calibrated p-value: (1 + null p-values <= p) / (M + 1); below the
    25th smallest null p-value p0, at most s (p / p0) ** b, s the share at p0 and b Hill's
    (unbiased) estimate from the 24 smaller ones, (24 - 1) / sum log(p0 / p_i), in [0.1, 1.5]."""
    null = np.sort(null[~np.isnan(null)])
    share = np.array([(1 + np.sum(null <= v)) / (len(null) + 1) for v in p])
    b = np.clip(23 / np.log(null[24] / null[:24]).sum(), 0.1, 1.5)
    tail = 26 / (len(null) + 1) * (p / null[24]) ** b
    return np.where(p < null[24], np.minimum(tail, share), share)


@pytest.mark.parametrize("power", [3.0, 2.0, 1.0, 0.5, 0.2])
def test_calibration_counts_null_pvalues_and_extrapolates_the_tail(power):
    from kestrune.testing.plotting.compare import calibration
    null = np.r_[np.random.default_rng(5).random(1000) ** power, np.nan]
    p = np.r_[np.sort(null)[[0, 10, 23, 24, 25, 500]] * [1, 1, 1, 0.999, 1, 1], 1.0, 1e-8, 1e-300]
    got = calibration._against(np.r_[np.nan, p], null)
    assert np.isnan(got[0])
    np.testing.assert_allclose(got[1:], plain_against(p, null), rtol=1e-12)
    assert calibration.panels(1) == 1500 and calibration.panels(10 ** 6) == 2


def six_columns(seed, ids=60, periods=24):
    rng = np.random.default_rng(seed)
    common = rng.normal(size=(ids, periods))
    data = {c: (0.7 * common + rng.normal(size=(ids, periods))).ravel() for c in "uvwxyz"}
    return pd.DataFrame(dict(id=np.repeat(np.arange(ids), periods), t=np.tile(np.arange(periods), ids), **data))


def test_six_columns_each_pair_once_and_several_frames():
    """A column's dependence: Sidak over its five pairs; the report combines several frames
    (Bonferroni), counts each pair once and orders by the documented keys."""
    from kestrune.testing.plotting.compare import compare_panels
    from kestrune.testing.plotting.compare.measures import _measured, id_level_qvalues
    meta = DataFrameMeta("id", "t", categorical=[], continuous=list("uvwxyz"))
    frames = [six_columns(s) for s in (1, 2, 3)]
    frames[2].loc[frames[2]["id"] < 10, "u"] += 3.0
    prepared = [meta.set_indices(f) for f in frames]
    found = [_measured(prepared[0], f, meta, list("uvwxyz"), pd.Index(range(60))) for f in prepared[1:]]
    _, p, pairs = found[0]
    assert pairs.shape[1] == 15
    raw = _measured(prepared[0], prepared[1], meta, list("uvwxyz"), pd.Index(range(60)), calibrated=False)
    for cells, pair_p in ((p, pairs), raw[1:]):
        for c in "uvwxyz":
            mine = pair_p[[pair for pair in pair_p.columns if c in pair]].to_numpy()
            expected = 1 - (1 - np.nanmin(mine, axis=1)) ** (~np.isnan(mine)).sum(axis=1)
            np.testing.assert_allclose(cells[c, "dependence"], expected, rtol=1e-9)
    report = compare_panels(frames, meta, names=["r", "a", "b"], pages=1)
    combined = np.minimum(1, np.fmin(found[0][1].to_numpy(), found[1][1].to_numpy()) * 2)
    np.testing.assert_allclose(report.pvalues.sort_index().to_numpy(), combined, rtol=1e-9)
    pair_p = pd.DataFrame(np.minimum(1, np.fmin(found[0][2].to_numpy(), found[1][2].to_numpy()) * 2),
                          columns=pairs.columns, index=p.index)
    q = id_level_qvalues(pd.DataFrame(combined, index=p.index, columns=p.columns), pair_p)
    np.testing.assert_allclose(report.qvalues.sort_index().to_numpy(), q.to_numpy(), rtol=1e-9)
    smallest = report.qvalues.min(axis=1).fillna(2.0)
    largest = report.divergence.max(axis=1)
    keys = sorted(report.qvalues.index, key=lambda i: (smallest[i], -largest[i], i))
    assert list(report.qvalues.index) == keys
    assert len(set(report.qvalues.index[:10]) & set(range(10))) >= 8  # the shifted ids first


HALF = [v if t % 2 == 0 else np.nan for t, v in enumerate(np.arange(12.0))]


@pytest.mark.parametrize("reference, other, cell", [
    # every other value missing in both frames: no lag-1 pair, no persistence
    (rows(HALF, HALF, ["p"] * 12), rows(np.array(HALF) + 20, HALF, ["p"] * 12), ("a", "distribution")),
    # a label kept for 25 periods, changed once: as steady as can be, in both frames
    (rows(np.arange(30.0), np.arange(30.0), ["p"] * 25 + ["q"] * 5),
     rows(np.arange(30.0), np.arange(30.0), ["q"] * 25 + ["p"] * 5), ("s", "distribution")),
])
def test_undefined_persistence_is_the_steadiest(reference, other, cell):
    """A series that does not show how it moves counts as the steadiest (few effective
    values), never as independent values."""
    _, p = measure_table(reference, other, DataFrameMeta("id", "t", ["s"], ["a", "b"]), calibrated=False)
    assert p.loc["x", cell] > 0.3


@pytest.mark.parametrize("times, periods", [
    (pd.to_datetime(["2020-01-01", "2020-02-01", "2020-04-01"]), [0, 1, 3]),      # months, one absent
    (pd.to_datetime(["2020-01-31", "2020-02-29", "2020-04-30"]), [0, 1, 3]),      # month ends
    (pd.to_datetime(["2020-01-03", "2020-01-06", "2020-01-07"]), [0, 3, 4]),      # days, a weekend absent
    ([0, 2, 6], [0, 1, 3]),
    ([0, 2, 5], None),                                      # a step not a multiple of the smallest: rows
    ([0.0, 1.5, 2.0], None),
    (pd.to_datetime(["2020-01-01", "2020-01-15", "2020-02-01"]), None),
])
def test_lags_count_periods_on_a_regular_time_index(times, periods):
    from kestrune.testing.plotting.compare.measures import _periods
    meta = DataFrameMeta("id", "t", categorical=[], continuous=["x"])
    frame = meta.set_indices(pd.DataFrame({"id": [1, 1, 1], "t": times, "x": [1.0, 2, 3]}))
    found = _periods(frame, frame.iloc[:0])[0]
    assert (found is None) if periods is None else found.tolist() == periods


def test_null_scores_are_a_stationary_ar1_over_periods():
    """The null model's scores: unit variance, coefficient phi per period (phi ** 2 over a
    gap of two), innovations of two columns mixed to their correlation."""
    from kestrune.testing.plotting.compare import calibration
    ids, periods = 4000, 6
    codes = np.repeat(np.arange(ids), periods)
    position = np.tile(np.arange(periods), ids)
    gaps = np.tile([0, 1, 2, 1, 1, 1], ids)
    mixing = calibration._mixing(["x", "y"], {("x", "y"): np.full(ids, 0.5)}, ids)
    phi = np.tile([0.9, 0.0], (ids, 1))
    noise = np.random.default_rng(0).standard_normal((len(codes), 2))
    scores = calibration._scores(phi, mixing, codes, gaps, position, noise).reshape(ids, periods, 2)
    x, y = scores[..., 0], scores[..., 1]
    assert np.allclose(x.var(axis=0), 1, atol=0.08) and np.allclose(y.var(axis=0), 1, atol=0.08)
    assert abs(np.corrcoef(x[:, 1], x[:, 2])[0, 1] - 0.81) < 0.03     # a gap of two periods
    assert abs(np.corrcoef(x[:, 3], x[:, 4])[0, 1] - 0.9) < 0.03
    assert abs(np.corrcoef(y[:, 0], y[:, 1])[0, 1]) < 0.05
    assert abs(np.corrcoef(x[:, 0], y[:, 0])[0, 1] - 2 * np.sin(np.pi * 0.5 / 6)) < 0.05


def test_null_values_are_quantiles_of_the_ids_values():
    """The null's value at u: the u quantile of the id's values in both frames (missing
    left out), interpolated where the frames share no number, else one of the values."""
    from kestrune.testing.plotting.compare import calibration, measures
    values = [np.array([0.5, 2.0, np.nan, 1.0, 3.0, 3.0, 1.0]), np.array([7.0, 4.0, 1.0, 2.0, np.nan])]
    codes = [np.array([0, 0, 0, 1, 1, 1, 2]), np.array([0, 0, 1, 1, 2])]  # id 1 shares 1.0, id 3 has none
    frames = [measures._Rows.of_arrays(c, 4, None, {}) for c in codes]
    u = np.linspace(0.0, 0.99, 12)
    for i in range(4):
        got = calibration._drawn(frames, values, 4, u, np.full(len(u), i))
        own = [v[(c == i) & ~np.isnan(v)] for c, v in zip(codes, values)]
        both = np.sort(np.concatenate(own))
        if not len(both):
            assert np.isnan(got).all()
        elif set(own[0]) & set(own[1]):
            np.testing.assert_array_equal(got, both[(u * len(both)).astype(int)])
        else:
            np.testing.assert_allclose(got, np.quantile(both, u), rtol=1e-12)


@pytest.mark.parametrize("length, phi", [(12, 0.0), (12, 0.9), (26, 0.51), (160, 0.51)])
def test_law_of_the_lag1_autocorrelation_against_a_plain_simulation(length, phi):
    """Mean and spread of r1 + (1 + 4 r1)/n in stationary AR(1) series (26 values: interpolated;
    160: beyond the simulated lengths)."""
    from kestrune.testing.plotting.compare import measures
    k = np.argmin(np.abs(measures.PERSISTENCE_GRID - phi))
    x = BENCH.ar1(np.random.default_rng(9), (4000, length), measures.PERSISTENCE_GRID[k])
    d = x - x.mean(axis=1, keepdims=True)
    r = (d[:, 1:] * d[:, :-1]).sum(axis=1) / (d ** 2).sum(axis=1)
    c = r + (1 + 4 * r) / length
    mean, sd = measures._persistence_law(np.array([length - 1]))
    assert abs(mean[0, k] - c.mean()) < 4 * c.std() / np.sqrt(len(c)) and abs(sd[0, k] / c.std() - 1) < 0.06


@pytest.mark.parametrize("phis, within", [((0.5, 0.5), 0.05), ((0.2, 0.9), 0.1)])
def test_persistence_prior_fits_the_panel(phis, within):
    """One process: posteriors nearly at its coefficient, far tighter than an id's own estimate
    (sd 0.16 at 36 values); two in alternation: each id's posterior near its own group's."""
    from kestrune.testing.plotting.compare import measures
    rng, ids = np.random.default_rng(11), 1000
    x = BENCH.halves({"x": BENCH.ar1(rng, (ids, 36), phis[0])}, {"x": BENCH.ar1(rng, (ids, 36), phis[1])})["x"]
    table = pd.DataFrame({"id": np.repeat(np.arange(ids), 36), "t": np.tile(np.arange(36), ids), "x": x.ravel()})
    rows = measures._Rows(DataFrameMeta("id", "t", continuous=["x"]).set_indices(table), pd.Index(range(ids)))
    posterior = measures._Series(rows, rows.values("x"), 1).posterior()
    mean = posterior.mean()
    spread = np.sqrt(posterior.weights @ posterior.grid ** 2 - mean ** 2)
    for group, phi in enumerate(phis):
        found = mean[group::2]
        assert abs(np.median(found) - phi) < within and np.quantile(np.abs(found - phi), 0.9) < 2 * within
    assert np.median(spread) < (0.06 if phis[0] == phis[1] else 0.12)


def test_scrambled_ids_found_over_ids_at_36_periods():
    """Two AR(1) columns (0.5, innovations correlated 0.8), 100 of 400 ids in a shuffled time
    order: the share found at q < 0.05 over ids (0.16 to 0.44 over six seeds, 0.41 at this one;
    0.03 to 0.16 without the reference panel's prior, 0.09 at this seed), and few false ids."""
    from kestrune.testing.plotting.compare.measures import _measured, id_level_qvalues
    rng, ids, periods = np.random.default_rng(12), 400, 36
    reference, other = BENCH.coupled(rng, (ids, periods), 0.5, 0.8), BENCH.coupled(rng, (ids, periods), 0.5, 0.8)
    order = np.argsort(rng.random((100, periods)), axis=1)
    for c in other:
        other[c][:100] = np.take_along_axis(other[c][:100], order, axis=1)
    meta = DataFrameMeta("id", "t", continuous=["x", "y"])
    frames = [meta.set_indices(pd.DataFrame({"id": np.repeat(np.arange(ids), periods), "t": np.tile(np.arange(periods), ids),
                                             **{c: v.ravel() for c, v in f.items()}})) for f in (reference, other)]
    _, p, pairs = _measured(*frames, meta, ["x", "y"], pd.Index(range(ids)))
    found = (id_level_qvalues(p, pairs) < 0.05).any(axis=1).to_numpy()
    assert found[:100].mean() >= 0.15 and found[100:].sum() <= 5, (found[:100].mean(), found[100:].sum())


def test_pair_prior_leaves_out_coarse_ids():
    """Half the ids have a column of 3 distinct values, strongly correlated with the other:
    too coarse to test, so none of the prior of the pair's z lies near their correlation."""
    from kestrune.testing.plotting.compare import measures
    rng, ids, periods = np.random.default_rng(13), 200, 24
    x = rng.normal(size=(ids, periods))
    y = rng.normal(size=(ids, periods))
    y[::2] = np.digitize(x[::2], [-0.5, 0.5])  # three levels of x itself
    table = pd.DataFrame({"id": np.repeat(np.arange(ids), periods), "t": np.tile(np.arange(periods), ids),
                          "x": x.ravel(), "y": y.ravel()})
    meta = DataFrameMeta("id", "t", continuous=["x", "y"])
    frames = [measures._Rows(meta.set_indices(table), pd.Index(range(ids)))] * 2
    with np.errstate(divide="ignore", invalid="ignore"):
        priors = measures._computed(frames, set(), ["x", "y"], measures.MEASURES, 1)[4][3]
    assert priors["x", "y"][np.abs(measures.CORRELATION_GRID) > 0.6].sum() < 0.01


@pytest.mark.parametrize("sizes, shuffled", [((24,) * 50, False), ((24,) * 50, True),
                                             ((3, 9000, 0, 2, 1, 1), True)])
def test_sorting_within_groups_is_a_sort_of_group_and_value(sizes, shuffled, monkeypatch):
    """Ids sorted one by one (padded table) or, with one id far the largest,
    by one sort; ties and infinities in every group; ranks against scipy."""
    from kestrune.testing.plotting.compare import grouped
    rng = np.random.default_rng(7)
    groups = np.repeat(np.arange(len(sizes)), sizes)
    values = np.round(rng.normal(size=len(groups)), 1)
    values[::11] = np.inf
    if shuffled:
        groups = groups[rng.permutation(len(groups))]
    monkeypatch.setattr(grouped, "FLOOR", 0)  # small inputs take the path of large ones
    order = grouped.order_within(groups, values, len(sizes))
    assert np.array_equal(groups[order], np.sort(groups))
    assert np.array_equal(values[order], values[np.lexsort((values, groups))])
    ranks, distinct = grouped.sorted_ranks(groups[order], values[order], len(sizes))
    for g in range(len(sizes)):
        mine = groups[order] == g
        assert np.array_equal(ranks[mine], stats.rankdata(values[order][mine]))
        assert distinct[g] == len(np.unique(values[order][mine]))
