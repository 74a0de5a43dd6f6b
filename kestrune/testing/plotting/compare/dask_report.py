"""``compare_panels`` on dask frames, under id pairing.

The frames stay on the cluster: the calling process receives tables (ids x
cells, ids x summary entries, time points x columns) and the rows of the
ids that the pages draw, never a whole frame. Everything is computed on the
current dask client (dask's default scheduler without one); no cluster is
started here.

Each compared frame is co-partitioned with the reference by id (see
:mod:`.partitions`): partition k of both frames holds every row of the same
ids. Then, per compared frame:

- **one pass of facts** per pair of aligned partitions: its ids, its time
  points, per continuous column and time point the count and sum of the
  values (whence each frame's mean over the ids at every time point, which
  the verdicts remove), per categorical column the labels, their counts per
  time point and their first row, and the ids whose series equal the
  reference's. The caller adds them up: the ids of each frame (the missing
  ids, the pairing that ``"auto"`` chooses), the label sets (the pages'
  label order, the verdicts' label numbering, the summaries' entries).
- **the measures** (:func:`.partitions.measure_table`'s partition pass,
  with each pair of columns' dependence): the q-values, Bonferroni over
  the compared frames and the id-level procedure run in the caller on the
  gathered tables, as on the pandas path.
- **the verdicts**: each partition computes its ids' statistics with the
  whole frame's means per time point and label numbering; the caller
  gathers them (ids x components) and runs the tests. The test of the
  shift shared by every id runs in two more passes that return sums per
  time point and per partition (:mod:`.shift`).
- **the population tables**: the ids' summaries per partition, gathered
  (ids x entries); label distances from the counts per time point summed
  over the partitions; the Kolmogorov-Smirnov statistics of continuous
  columns (all rows, and the ids' values at each time point) exactly, from
  value ranges: splitters from each partition's quantiles, every value
  sent to its range's task (equal values to one task), where each range
  sorts its values and returns, per time point, its counts and the largest
  and smallest gap of the two distribution functions; the caller adds the
  ranges before each one. The noise levels of the time points and of the
  summaries are the pandas path's (exact critical values, and label
  rearrangements drawn from the counts). The permutation levels of the
  pooled rows and of the band over time use the pandas path's
  rearrangements of whole ids: the caller draws them (one bit per id and
  rearrangement, packed: 25 MB for 1,000,000 ids and 199 rearrangements)
  and each task reads the bits of its rows' ids; for labels each partition
  counts the labels that every rearrangement deals to the compared frame,
  for numbers the value ranges above return, per rearrangement and time
  point, their counts and largest and smallest gaps.
- **the pages**: the rows of every id that a drawn page shows, fetched in
  one pass (:func:`.partitions.rows_of`).

Under nearest pairing the report runs in :mod:`.dask_nearest`;
:func:`nearest_pairing` gives the pairing's own tables alone: the ids'
summaries per partition, gathered; their scaling and the yardsticks in the
caller; every exact nearest-id search on the workers, a block of query ids
per task (through :data:`.pairing.SEARCH`).

Without ``ids``, ``order="given"`` sorts the ids: a shuffle loses the order
in which ids first appear. The values, the uncalibrated p-values, the
verdicts, orders and population tables are the pandas path's (to rounding
in the last digits: sums over partitions add in another order); calibrated
p-values differ by the sampling noise of other null draws where there is
more than one partition.
"""

import warnings

import numpy as np
import pandas as pd

from . import inputs, noise, render
from . import partitions as _parts
from . import verdicts as _verdicts
from .divergence import round_significant
from .pairing import NULL, _summaries, _summary_table
from .plan import sort_ids

#: Values per range of the Kolmogorov-Smirnov pass: a task's memory
#: follows it.
RANGE_VALUES = 2000000
# Quantiles each partition gives for the splitters of the value ranges.
QUANTILES = 64
# A missing label in the counts.
MISSING = "\0missing"


def read_panel(frames, meta, id_index, time_index, names, columns, ids, pairing):
    """The panel of dask ``frames`` and what the report's steps need of the
    whole frames (see :class:`DaskPanel`)."""
    dd = _parts.dask_dataframe()  # noqa: F841 (a clear error without the extra)
    names, frames = inputs._named(frames, names)
    if meta is None:
        if id_index is None or time_index is None:
            raise ValueError("give meta, or id_index and time_index to infer it from the "
                             "first frame")
        from kestrune import DataFrameMeta
        meta = DataFrameMeta.from_frame(frames[0]._meta.reset_index(), id_index, time_index)
    valid = [c for c in frames[0].columns if c in set(meta.columns)]
    columns = valid if columns is None else inputs._listed("columns", columns)
    unknown = [c for c in columns if c not in valid]
    if unknown or not columns:
        raise ValueError("columns {} are not data columns; valid are {}".format(
            inputs.shown(unknown), inputs.shown(valid)))
    return DaskPanel(names, meta, frames, columns, ids, pairing)


class DaskPanel:
    """The report's panel of dask frames: the facts of every pair of
    aligned partitions (reference, compared frame), added up."""

    def __init__(self, names, meta, frames, columns, ids, pairing):
        import dask
        self.names, self.meta, self.frames, self.columns = names, meta, frames, columns
        self.numeric = [c for c in columns if c not in set(meta.categorical)]
        self.labelled = [c for c in columns if c in set(meta.categorical)]
        given = None if ids is None else pd.Index(inputs._listed("ids", ids))
        self.pairs = [_parts.co_partitioned(_parts._projected(frames[0], meta, columns),
                                            _parts._projected(other, meta, columns), meta)
                      for other in frames[1:]]
        facts = dask.compute(*[[dask.delayed(_facts)(r, o, meta, self.numeric,
                                                     self.labelled, given)
                                for r, o in pairs] for pairs in self.pairs])
        self.facts = facts
        held = [_joined([f["ids"][0] for f in facts[0]])]
        held += [_joined([f["ids"][1] for f in found]) for found in facts]
        self.held = held
        fakes = [pd.DataFrame(index=pd.MultiIndex.from_arrays(
            [h, np.zeros(len(h), dtype=np.int64)])) for h in held]
        for name, frame in zip(names, fakes):
            if not len(frame):
                raise ValueError("frame {!r} is empty".format(name))
        self.pairing, self.why = inputs._chosen_pairing(names, fakes, pairing, given)
        every = pd.Index(sort_ids(_joined(held).unique()))
        if given is None:
            self.ids = every
        else:
            unknown = given[~given.isin(every)]
            if len(unknown) or not len(given):
                raise ValueError("ids {} are in none of the frames; valid are {}".format(
                    inputs.shown(list(unknown)), inputs.shown(list(every))))
            if given.has_duplicates:
                raise ValueError("ids {} are given more than once".format(
                    inputs.shown(list(given[given.duplicated()].unique()))))
            self.ids = given
        self.given = given
        self.first_seen = list(every)
        self.missing = {}
        for name, frame in zip(names, held):
            lacking = self.ids[~self.ids.isin(frame)]
            if len(lacking):
                self.missing[name] = sort_ids(lacking)

    def panel(self, frames):
        """The report's :class:`~.inputs.Panel` over pandas ``frames`` (the
        rows of the drawn ids)."""
        return inputs.Panel(self.names, self.meta, frames, self.columns, self.ids,
                            self.first_seen, self.missing, self.pairing, self.why)

    def labels(self, column, k=None, kept=False):
        """The labels of ``column`` in the reference (``k`` None) or in
        compared frame ``k`` (from 0), over every row or (``kept``) over
        the rows of the report's ids; and whether one is missing."""
        side, found = (0, self.facts[0]) if k is None else (1, self.facts[k])
        key = "kept" if kept else "seen"
        seen = set().union(*(f["labels"][column][key][side][0] for f in found))
        return seen, any(f["labels"][column][key][side][1] for f in found)

    def label_orders(self):
        """The order of each categorical column's labels on the pages (see
        :func:`render.label_order`)."""
        out = {}
        for column in self.labelled:
            frames = [pd.DataFrame({column: pd.Series(sorted(self.labels(column, k)[0], key=str),
                                                      dtype=object)})
                      for k in [None] + list(range(len(self.pairs)))]
            out[column] = render.label_order(frames, column)
        return out

    def identical(self, k):
        """The report's ids whose series in compared frame ``k`` equal the
        reference's."""
        found = pd.Index([i for f in self.facts[k] for i in f["identical"]])
        return sort_ids(found[found.isin(self.ids)])

    def wanted(self):
        """The ids the partitions keep: None for every id."""
        return self.given


def _joined(indexes):
    indexes = [pd.Index(i) for i in indexes]
    if not indexes:
        return pd.Index([])
    return indexes[0].append(indexes[1:]) if len(indexes) > 1 else indexes[0]


def _facts(reference, other, meta, numeric, labelled, given):
    """What the report needs of the whole frames from one pair of aligned
    partitions (see this module)."""
    from .scores import identical_ids
    frames = [_parts._prepared(p, meta, None) for p in (reference, other)]
    out = {"ids": [f.index.get_level_values(0).unique() for f in frames],
           "times": [f.index.get_level_values(1).unique() for f in frames],
           "sums": {}, "labels": {}}
    kept = [f if given is None else f[f.index.get_level_values(0).isin(given)]
            for f in frames]
    for column in numeric:
        out["sums"][column] = [f[column].astype(float).groupby(
            f.index.get_level_values(1)).agg(["sum", "count"]) for f in frames]
    for column in labelled:
        facts = {"seen": [], "kept": [], "counts": [], "first": []}
        for frame, rows in zip(frames, kept):
            values = frame[column]
            missing = values.isna().to_numpy()
            facts["seen"].append((set(values[~missing].unique()), bool(missing.any())))
            held = rows[column].isna().to_numpy()
            facts["kept"].append((set(rows[column][~held].unique()), bool(held.any())))
            filled = pd.Series(np.where(missing, MISSING, values.to_numpy(dtype=object)),
                               dtype=object)
            times = frame.index.get_level_values(1)
            facts["counts"].append(filled.groupby([np.asarray(times), filled.to_numpy()])
                                   .size())
            codes, uniques = pd.factorize(filled.to_numpy(dtype=object))
            first = np.unique(codes, return_index=True)[1]
            facts["first"].append({uniques[c]: frame.index[n]
                                   for c, n in zip(range(len(uniques)), first)})
        out["labels"][column] = facts
    held = _parts._sorted_union(*frames)
    shifts = _verdicts._Shifts(*frames, held if given is None else held[held.isin(given)])
    out["quantiles"] = {c: _quantiles(frames, c) for c in numeric}
    out["present"] = {c: _largest_present(frames, c, c in labelled)
                      for c in numeric + labelled}
    out["scale"] = {c: np.nanmax(np.abs(np.r_[_contrast(shifts, c)[0], _contrast(shifts, c)[1],
                                              0.0])) for c in numeric}
    same = identical_ids(*frames, same_id=True) if all(len(f) for f in frames) else []
    out["identical"] = same if given is None else list(pd.Index(same)[pd.Index(same).isin(given)])
    return out


def _largest_present(frames, column, every_row):
    """The largest id with a value of ``column`` among the ids that the
    reference holds, and among those that only the compared frame holds
    (None for none): where the rearrangements' units end."""
    held = frames[0].index.get_level_values(0).unique()
    out = []
    for own in (True, False):
        found = []
        for frame in frames:
            ids = frame.index.get_level_values(0)
            present = np.ones(len(frame), dtype=bool) if every_row else \
                frame[column].notna().to_numpy()
            ids = pd.Index(ids[present]).unique()
            found.append(ids[ids.isin(held) == own])
        every = _joined(found)
        out.append(max(every) if len(every) else None)
    return out


# -- Measures ----------------------------------------------------------------

def measured(dask_panel):
    """A ``measured`` function for :func:`report._measure`: the values,
    p-values and pairs' p-values of one compared frame, on the partitions."""
    def measure(reference, frame, meta, columns, ids, measures, max_lag, calibrated):
        wanted = dask_panel.wanted()
        parts = _parts.measured_parts(reference, frame, meta, columns, wanted, measures,
                                      max_lag, calibrated)
        values, pvalues = _parts._gathered(parts, wanted, calibrated)
        pairs = _pair_table(parts, wanted, calibrated)
        return tuple(t.reindex(ids) for t in (values, pvalues, pairs))
    return measure


def _pair_table(parts, wanted, calibrated):
    """The p-value of each pair of continuous columns' dependence per id,
    calibrated against its null p-values pooled over the partitions."""
    from . import calibration
    parts = [part for part in parts if len(part["ids"])]
    ids = _parts._joined([part["ids"] for part in parts])
    pairs = list(parts[0]["pairs"]) if parts else []
    columns = []
    for pair in pairs:
        p = np.concatenate([part["pairs"][pair] for part in parts])
        if calibrated:
            null = np.concatenate([part["null_pairs"][pair] for part in parts
                                   if pair in part["null_pairs"]] or [np.zeros(0)])
            p = calibration._against(p, null)
        columns.append(p)
    data = np.column_stack(columns) if columns else np.empty((len(ids), 0))
    index = pd.MultiIndex.from_tuples(pairs, names=[None, None]) if pairs \
        else pd.MultiIndex.from_arrays([[], []])
    table = pd.DataFrame(round_significant(data), index=ids, columns=index)
    return table if wanted is None else table.reindex(wanted)


# -- Verdicts ----------------------------------------------------------------

def verdict_rows(dask_panel, k, measures, cells_of):
    """The verdict rows of compared frame ``k`` (from 0), without q-values;
    ``cells_of()`` gives the cells' p-values where too few ids swap."""
    import dask
    panel, facts, pairs = dask_panel, dask_panel.facts[k], dask_panel.pairs[k]
    means = [_means([f["sums"] for f in facts], side, panel.numeric) for side in (0, 1)]
    labels = {}
    for column in panel.labelled:
        seen = [panel.labels(column, None, kept=True), panel.labels(column, k, kept=True)]
        labels[column] = (sorted(seen[0][0] | seen[1][0], key=str) if _mixed(
            seen[0][0] | seen[1][0]) else sorted(seen[0][0] | seen[1][0]),
            seen[0][1] or seen[1][1])
    times = _sorted(_joined([t for f in facts for t in f["times"]]).unique())
    scales = {c: max(f["scale"][c] for f in facts) for c in panel.numeric}
    found = dask.compute(*[dask.delayed(_verdict_part)(
        r, o, panel.meta, panel.columns, panel.numeric, panel.ids, measures, means,
        labels, times, scales) for r, o in pairs])
    components = _gathered_components([f[0] for f in found], panel.ids)
    shift_sums = [f[1] for f in found]
    states = {}
    for column in panel.numeric:
        count = sum(s[column][0] for s in shift_sums)
        total = sum(s[column][1] for s in shift_sums)
        units = sum(s[column][2] for s in shift_sums)
        from .shift import shift_state
        states[column] = shift_state((count, total), len(times), True, units, 1)
    live = {c: s for c, s in states.items() if s is not None}
    id_parts = dask.compute(*[dask.delayed(_shift_part)(
        r, o, panel.meta, panel.ids, times, live, scales) for r, o in pairs]) if live else []

    def shift_of(column):
        from .shift import shift_test
        if column not in live:
            return (np.nan,) * 4
        squares = sum(p[column][0] for p in id_parts)
        spread = sum(p[column][1] for p in id_parts)
        return shift_test(live[column], squares, spread)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        rows = _verdicts._tested(components, cells_of, shift_of)
    return [dict(row, frame=panel.names[k + 1]) for row in rows]


def _mixed(labels):
    try:
        sorted(labels)
        return False
    except TypeError:
        return True


def _sorted(index):
    """The index sorted, or as it is where its values do not compare."""
    try:
        return index.sort_values()
    except TypeError:
        return index


def _means(sums, side, numeric):
    """A frame's mean over its ids at each time point (time points x
    columns), from every partition's sums."""
    out = {}
    for column in numeric:
        table = pd.concat([s[column][side] for s in sums])
        table = table.groupby(level=0).sum()
        out[column] = table["sum"] / table["count"]
    return pd.DataFrame(out)


def _verdict_part(reference, other, meta, columns, numeric, ids, measures, means, labels,
                  times, scales):
    """One pair of partitions' per-id statistics (see
    :func:`verdicts._components`) over the report's ids it holds, and the
    sums per time point of the shared shift's contrasts."""
    frames = [_parts._prepared(p, meta, None) for p in (reference, other)]
    held = _parts._sorted_union(*frames)
    mine = ids[ids.isin(held)]
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        stats = [_verdicts._Stats(f, mine, meta, columns, m) for f, m in zip(frames, means)]
        components = _verdicts._components(stats, meta, columns, measures, labels)
    return (mine, components), _shift_sums(frames, mine, times, numeric, scales)


def _shift_rows(frames, ids, times):
    """The shared shift's rows (see :class:`verdicts._Shifts`) of one pair
    of partitions, times coded over the whole frames."""
    shifts = _verdicts._Shifts(*frames, ids)
    codes = times.get_indexer(frames[0].index.get_level_values(1)[shifts.first])
    return shifts, codes


def _contrast(shifts, column, scale=None):
    """The reference's and the compared frame's values of the shared
    shift's rows; with ``scale`` (the largest over the whole frames), the
    contrast, zero where it is the rounding of equal values (as
    :meth:`verdicts._Shifts.test` sets it)."""
    first, second = (np.asarray(f[column], dtype=float)[w]
                     for f, w in zip(shifts.frames, (shifts.first, shifts.second)))
    if scale is None:
        return first, second
    contrast = second - first
    contrast[np.abs(contrast) <= 1e-12 * scale] = 0.0
    return contrast


def _shift_sums(frames, ids, times, numeric, scales):
    from .shift import time_sums
    shifts, codes = _shift_rows(frames, ids, times)
    out = {}
    for column in numeric:
        c = _contrast(shifts, column, scales[column])
        kept = ~np.isnan(c)
        out[column] = time_sums(codes[kept], c[kept], np.ones(kept.sum(), dtype=np.int64),
                                len(times)) + (len(np.unique(shifts.ids[kept])),)
    return out


def _shift_part(reference, other, meta, ids, times, states, scales):
    from .shift import id_parts
    frames = [_parts._prepared(p, meta, None) for p in (reference, other)]
    held = _parts._sorted_union(*frames)
    shifts, codes = _shift_rows(frames, ids[ids.isin(held)], times)
    out = {}
    for column, state in states.items():
        c = _contrast(shifts, column, scales[column])
        kept = ~np.isnan(c)
        out[column] = id_parts(state, shifts.ids[kept], codes[kept], c[kept],
                               np.ones(kept.sum(), dtype=np.int64))
    return out


def _gathered_components(found, ids):
    """Every partition's components joined, their ids in the order of ``ids``."""
    found = [(mine, parts) for mine, parts in found if len(mine)]
    if not found:
        return []
    order = _joined([mine for mine, _ in found]).get_indexer(ids)
    out = []
    for n, (column, measure, _, labels, kind) in enumerate(found[0][1]):
        sides = [np.concatenate([parts[n][2][side] for _, parts in found])[order]
                 for side in (0, 1)]
        out.append((column, measure, sides, labels, kind))
    return out


# -- Population tables -------------------------------------------------------

def populations(dask_panel):
    """The population tables and their noise levels (see
    :func:`report._populations`) of a panel of dask frames."""
    import dask
    from .pairing import _table
    panel = dask_panel
    names, columns = panel.names, panel.columns
    reference_times = _sorted(_joined([f["times"][0] for f in panel.facts[0]]).unique())
    union = _joined([f["times"][1] for found in panel.facts for f in found]).unique()
    times = reference_times[reference_times.isin(union)]
    labels = {}
    for column in panel.labelled:
        found = [panel.labels(column, k) for k in [None] + list(range(len(panel.pairs)))]
        text = {str(label) for seen, _ in found for label in seen}
        labels[column] = sorted(text | ({NULL} if any(m for _, m in found) else set()))
    summaries = dask.compute(*[[dask.delayed(_summary_part)(r, o, panel.meta, columns, labels,
                                                            side)
                                for r, o in pairs]
                               for side, pairs in [(0, panel.pairs[0])] + [
                                   (1, pairs) for pairs in panel.pairs]])
    summaries = [pd.concat(list(parts)) for parts in summaries]
    pooled, over_time, levels_over = {}, {}, {}
    arranged = [_permutation_levels(panel, k, reference_times) for k in range(len(panel.pairs))]
    plain = [found[2] for found in arranged]
    for k, (name, pairs) in enumerate(zip(names[1:], panel.pairs)):
        facts = panel.facts[k]
        pooled[name] = []
        for column in columns:
            if column in panel.numeric:
                counts = [_time_counts(facts, column, side) for side in (0, 1)]
                n = [np.r_[c.reindex(times, fill_value=0).to_numpy(), c.sum()] for c in counts]
                found = plain[k].get(column)
                if found is not None:  # taken with the levels, over the reference's times
                    found = found[np.r_[reference_times.get_indexer(times), -1]]
                else:
                    found = _ks(pairs, facts, panel.meta, column, times, *n)
            else:
                found = _label_tables(facts, column, times)
            # Each time point's level from the swaps of paired ids, as the band's.
            levels_over[(name, column)] = arranged[k][3][column]
            pooled[name].append(found[-1])
            over_time[(name, column)] = found[:-1]
    over = _table(over_time, times)
    over.columns = pd.MultiIndex.from_tuples(list(over_time))
    population = {"columns": _table(pooled, pd.Index(columns)), "over_time": over,
                  "summaries": _summary_table(summaries, names)}
    levels = pd.DataFrame(levels_over, index=reference_times)
    if levels_over:
        levels.columns = pd.MultiIndex.from_tuples(list(levels_over))
    entries = summaries[0].columns
    found = arranged
    population["levels"] = {
        "columns": pd.DataFrame({name: f[0] for name, f in zip(names[1:], found)},
                                index=pd.Index(columns)),
        "band": pd.DataFrame({name: f[1] for name, f in zip(names[1:], found)},
                             index=pd.Index(columns)),
        "over_time": levels,
        "summaries": pd.DataFrame({name: [noise.ks_level(a, b) for a, b in zip(*[
            s[entries].notna().sum(axis=0).to_numpy() for s in (summaries[0], table)])]
            for name, table in zip(names[1:], summaries[1:])}, index=pd.Index(entries)),
        "ids": pd.Series([len(h) for h in panel.held], index=list(names))}
    return population


def _summary_part(reference, other, meta, columns, labels, side):
    frame = _parts._prepared((reference, other)[side], meta, None)
    return _summaries(frame, meta, columns, labels)


def _time_counts(facts, column, side):
    """The values present per time point of one side, over the partitions."""
    table = pd.concat([f["sums"][column][side]["count"] for f in facts])
    return table.groupby(level=0).sum()


def _label_tables(facts, column, times):
    """The total variation of a categorical column at each of ``times``
    and over every row (last), from the label counts of every partition."""
    counts = []
    for side in (0, 1):
        found = pd.concat([f["labels"][column]["counts"][side] for f in facts])
        counts.append(found.groupby(level=[0, 1]).sum().unstack(fill_value=0))
    labels = counts[0].columns.union(counts[1].columns, sort=False)
    counts = [c.reindex(columns=labels, fill_value=0) for c in counts]
    every = [c.sum(axis=0).to_frame().T for c in counts]

    def distance(tables):
        n = [t.sum(axis=1).to_numpy()[:, None].astype(float) for t in tables]
        with np.errstate(divide="ignore", invalid="ignore"):
            out = 0.5 * np.abs(tables[0].to_numpy() / n[0] - tables[1].to_numpy() / n[1]).sum(axis=1)
        out[(n[0][:, 0] == 0) | (n[1][:, 0] == 0)] = np.nan
        return out
    return np.r_[distance([c.reindex(times, fill_value=0) for c in counts]), distance(every)]


def _ks(pairs, facts, meta, column, times, n1, n2):
    """The Kolmogorov-Smirnov statistic of a continuous column at each of
    ``times`` and over every row (last), ``n1`` and ``n2`` the values of
    each side there: exactly, over ranges of values (see this module)."""
    import dask
    splitters = _splitters(facts, column, (n1[-1] + n2[-1]) // RANGE_VALUES)
    pieces = [dask.delayed(_split)(r, o, meta, column, times, splitters) for r, o in pairs]
    found = dask.compute(*[dask.delayed(_range_gaps)(n1, n2, *[p[b] for p in pieces])
                           for b in range(len(splitters) + 1)])
    return _combined(found, n1, n2)


def _splitters(facts, column, ranges):
    """Where ``ranges`` ranges of a column's values split (fewer where
    the partitions' quantiles are fewer)."""
    pooled = np.sort(np.concatenate([f["quantiles"][column] for f in facts] + [np.zeros(0)]))
    ranges = int(min(max(ranges, 1), max(len(pooled) - 1, 1)))
    return np.unique(pooled[np.linspace(0, len(pooled) - 1, ranges + 1)[1:-1]
                            .astype(np.int64)]) if ranges > 1 else np.zeros(0)


def _combined(found, n1, n2):
    """The statistics of the ranges' counts and gaps (:func:`_range_gaps`)."""
    c1, c2, high, low = (np.array([f[j] for f in found]) for j in range(4))
    with np.errstate(divide="ignore", invalid="ignore"):
        before = (np.cumsum(c1, axis=0) - c1) / n1 - (np.cumsum(c2, axis=0) - c2) / n2
        gap = np.fmax(np.abs(before + high), np.abs(before + low))
    gap[(c1 + c2) == 0] = -np.inf
    statistic = gap.max(axis=0)
    statistic[(n1 == 0) | (n2 == 0)] = np.nan
    return statistic


def _quantiles(frames, column):
    """Quantiles of a column's values in a pair of prepared partitions:
    where the value ranges of the Kolmogorov-Smirnov passes split."""
    values = np.concatenate([np.asarray(f[column], dtype=float) for f in frames])
    values = values[~np.isnan(values)]
    if not len(values):
        return np.zeros(0)
    return np.quantile(values, np.linspace(0, 1, QUANTILES))


def _split(reference, other, meta, column, times, splitters):
    """One pair of partitions' present values with their time point's
    number in ``times`` (-1 for none) and side, one part per value range."""
    parts = []
    for side, partition in enumerate((reference, other)):
        frame = _parts._prepared(partition, meta, None)
        values = np.asarray(frame[column], dtype=float)
        present = ~np.isnan(values)
        groups = times.get_indexer(frame.index.get_level_values(1))
        parts.append((values[present], groups[present],
                      np.full(present.sum(), side, dtype=np.int8)))
    values, groups, sides = (np.concatenate(x) for x in zip(*parts))
    where = np.searchsorted(splitters, values, side="right")
    return [(values[where == b], groups[where == b], sides[where == b])
            for b in range(len(splitters) + 1)]


def _range_gaps(n1, n2, *pieces):
    """Per group (each time point, then every row): the values of each
    side in one value range, and the largest and smallest gap
    F1 - F2 that its values add to the gap before the range."""
    values, groups, sides = (np.concatenate([p[j] for p in pieces]) for j in range(3))
    count = len(n1)
    timed = groups >= 0
    values = np.r_[values[timed], values]
    sides = np.r_[sides[timed], sides]
    groups = np.r_[groups[timed], np.full(len(groups), count - 1)]
    order = np.lexsort((values, groups))
    values, sides, groups = values[order], sides[order], groups[order]
    first = sides == 0
    c1 = np.bincount(groups[first], minlength=count)
    c2 = np.bincount(groups[~first], minlength=count)
    seen1 = np.cumsum(first) - (np.cumsum(c1) - c1)[groups]
    seen2 = np.cumsum(~first) - (np.cumsum(c2) - c2)[groups]
    high, low = np.full(count, -np.inf), np.full(count, np.inf)
    if len(values):
        with np.errstate(divide="ignore", invalid="ignore"):
            gap = seen1 / n1[groups] - seen2 / n2[groups]
        last = np.r_[(groups[1:] != groups[:-1]) | (values[1:] != values[:-1]), True]
        np.maximum.at(high, groups[last], gap[last])
        np.minimum.at(low, groups[last], gap[last])
    return c1, c2, high, low


# -- The report --------------------------------------------------------------

def compare_report(frames, meta, id_index, time_index, names, columns, ids, order,
                   ids_per_page, pages, measures, max_lag, pairing, share_setting, jobs,
                   executor, progress, holdout, own_scales):
    """:func:`~.report.compare_panels` of dask frames, its options checked
    (see this module)."""
    from . import report as _report
    from .scores import identical_message
    _report._phase(progress, "ids and time points")
    panel = read_panel(frames, meta, id_index, time_index, names, columns, ids, pairing)
    if panel.pairing == "nearest":
        from .dask_nearest import nearest_report
        return nearest_report(panel, holdout, order, ids_per_page, pages, measures, max_lag,
                              share_setting, jobs, executor, progress, own_scales)
    if holdout is not None:
        raise ValueError(
            "a holdout is for compared frames with ids of their own (nearest "
            "pairing); under id pairing each id is compared with itself")
    if panel.missing:
        warnings.warn(inputs.missing_message(panel.missing), _report.MissingIdsWarning,
                      stacklevel=3)
    for k, name in enumerate(panel.names[1:]):
        message = identical_message(name, panel.identical(k))
        if message:
            warnings.warn(message, _report.NearCopyWarning, stacklevel=3)
    divergences, largest, pvalue, qvalue = _report._measure(
        panel, [panel.frames[0]] * len(panel.pairs), False, measures, max_lag, progress,
        measured=measured(panel))
    rows = []
    _report._phase(progress, "verdicts", len(panel.pairs))
    for k in range(len(panel.pairs)):
        def cells_of(k=k):
            return _parts.measure_table(panel.frames[0], panel.frames[k + 1], panel.meta,
                                        panel.columns, panel.wanted(),
                                        measures)[1].reindex(panel.ids)
        rows += verdict_rows(panel, k, measures, cells_of)
        if hasattr(progress, "phase"):
            progress.update(1)
    verdicts = _verdicts._finished(rows)
    ordered, planned, frame_of_page = _report.plan_report(
        panel, largest, order, ids_per_page, pages, None if ids is None else list(ids),
        qvalue, None)
    _report._phase(progress, "population")
    population = populations(panel)
    _report._phase(progress, "rows of the pages")
    drawn = list(dict.fromkeys(i for page in planned for i in page.ids))
    shown = _parts.rows_of(panel.frames, panel.meta, drawn)
    return _report.Report(panel.panel(shown), divergences, largest.reindex(ordered),
                          pvalue.reindex(ordered), qvalue.reindex(ordered), planned, order,
                          share_setting.name, jobs, executor, progress, None, population,
                          verdicts, None, frame_of_page, own_scales,
                          label_orders=panel.label_orders())


# -- Permutation levels ------------------------------------------------------

def _permutation_levels(panel, k, times):
    """The null levels of the pooled divergence, of the band over time and
    of each time point (see :func:`noise.permutation_levels`) of every
    column of compared frame ``k``, from the same rearrangements of whole ids as the pandas path:
    the caller draws them (one bit per id and rearrangement) and every
    task reads the bits of its ids."""
    import dask
    facts, pairs = panel.facts[k], panel.pairs[k]
    reference = pd.Index(sort_ids(panel.held[0]))
    compared = pd.Index(sort_ids(panel.held[k + 1]))
    union = reference.append(compared[~compared.isin(reference)])
    pooled, band, plain, each = [], [], {}, {}
    for column in panel.columns:
        is_label = column in panel.labelled
        sizes, totals = _rows_per_time(facts, column, is_label, times)
        each[column] = np.full(len(times), np.nan)
        rows = int(sum(totals))
        largest = [[f["present"][column][n] for f in facts if f["present"][column][n]
                    is not None] for n in (0, 1)]
        units = 0
        if largest[1]:
            units = len(reference) + int(compared[~compared.isin(reference)].get_loc(
                max(largest[1]))) + 1
        elif largest[0]:
            units = int(reference.get_loc(max(largest[0]))) + 1
        if not rows or 2.0 ** min(units, 1000) * noise.ALPHA < 1:
            pooled.append(np.nan)
            band.append(np.nan)
            continue
        count = noise.REARRANGEMENTS if rows <= noise.LARGE else noise.FEWER
        packed = _drawn(count, units)
        labels = None
        if is_label:
            labels = list(_label_counts(facts, column).columns)
        counts = dask.compute(*[dask.delayed(_arranged)(
            r, o, panel.meta, column, union, packed, times, count, labels)
            for r, o in pairs])
        if is_label:
            second = sum(counts)
            total = np.vstack([_label_counts(facts, column, times).to_numpy(dtype=float),
                               _label_counts(facts, column).to_numpy(dtype=float).sum(axis=0)])
            distance = _label_distance(total, second)
        else:
            n2 = sum(counts).astype(np.int64)
            n = [np.r_[size, total] for size, total in zip(sizes, totals)]
            distance, plain[column] = _ks_arranged(pairs, facts, panel.meta, column, times,
                                                   union, packed, count, n, n2)
        timed = distance[:, :-1][:, (sizes[0] + sizes[1]) > 0]
        pooled.append(noise.critical(distance[:, -1]))
        band.append(noise.critical(np.fmax.reduce(
            np.column_stack([np.zeros(count), timed]), axis=1)) if timed.shape[1] else np.nan)
        for t in np.flatnonzero((sizes[0] > 0) & (sizes[1] > 0)):  # both frames hold values
            each[column][t] = noise.critical(distance[:, t])
    return pooled, band, plain, each


def _rows_per_time(facts, column, is_label, times):
    """The rows of each side with a value (every row for labels) per time
    point of ``times``, and in all."""
    if is_label:
        counts = [_label_counts(facts, column, side=side).sum(axis=1) for side in (0, 1)]
    else:
        counts = [_time_counts(facts, column, side) for side in (0, 1)]
    return ([c.reindex(times, fill_value=0).to_numpy() for c in counts],
            [int(c.sum()) for c in counts])


def _label_counts(facts, column, times=None, side=None):
    """Label counts per time point (rows) and label (columns) over both
    sides or one, over every time point with a row or over ``times``."""
    sides = (0, 1) if side is None else (side,)
    found = pd.concat([f["labels"][column]["counts"][s] for f in facts for s in sides])
    table = found.groupby(level=[0, 1]).sum().unstack(fill_value=0)
    table = table.reindex(columns=sorted(table.columns, key=str))
    return table if times is None else table.reindex(times, fill_value=0)


def _drawn(count, units):
    """The rearrangements of :class:`noise._Arrangements` under id pairing,
    one row per unit, its ``count`` bits packed."""
    state = np.random.RandomState(noise.SEED)
    bits = np.empty((units, (count + 7) // 8), dtype=np.uint8)
    step = max(1, 4000000 // max(units, 1))
    for start in range(0, count, 8 * step):
        rows = state.random_sample((min(8 * step, count - start), units)) < 0.5
        bits[:, start // 8:(start + len(rows) + 7) // 8] = np.packbits(rows.T, axis=1)
    return bits


def _bits(packed, units, first, count, most=8):
    """The choice of each row (rows of ``units``) by rearrangements
    ``first`` to ``first + most - 1`` (at most ``count``), a multiple of 8
    apart: rearrangements x rows."""
    return np.unpackbits(packed[units, first // 8:(first + most + 7) // 8], axis=1)[
        :, :min(most, count - first)].T.astype(bool)


def _side_rows(reference, other, meta, column, union, times, is_label):
    """One pair of partitions' rows with a value: their values, units,
    time points' numbers in ``times`` (-1 for none) and sides. The units
    are the ids' places in ``union``, or with a pair of indexes (ids of
    each frame, units of their own) in the first, then in the second."""
    parts = []
    for side, partition in enumerate((reference, other)):
        frame = _parts._prepared(partition, meta, None)
        values = frame[column].to_numpy()
        present = np.ones(len(values), dtype=bool) if is_label else \
            ~np.isnan(values.astype(float))
        units = union.get_indexer(frame.index.get_level_values(0)) if not isinstance(
            union, tuple) else union[side].get_indexer(frame.index.get_level_values(0)) \
            + side * len(union[0])
        parts.append((values[present], units[present],
                      times.get_indexer(frame.index.get_level_values(1))[present],
                      np.full(present.sum(), side == 1)))
    return [np.concatenate(x) for x in zip(*parts)]


def _arranged(reference, other, meta, column, union, packed, times, count, labels):
    """Per rearrangement, one pair of partitions' rows that it deals to the
    compared frame at each time point and over all (last): counts
    (rearrangements x groups), and per label for ``labels``."""
    values, units, time, flip = _side_rows(reference, other, meta, column, union, times,
                                           labels is not None)
    groups = len(times) + 1
    width = 1
    codes = np.zeros(len(values), dtype=np.int64)
    if labels is not None:
        width = len(labels)
        filled = np.where(pd.isna(values), MISSING, values.astype(object))
        codes = pd.Index(labels, dtype=object).get_indexer(filled)
    out = np.zeros((count, groups * width))
    timed = time >= 0
    cells = np.r_[time[timed], np.full(len(time), groups - 1)] * width + np.r_[codes[timed],
                                                                              codes]
    for first in range(0, count, 8):
        chosen = _bits(packed, units, first, count) ^ flip
        for n, dealt in enumerate(np.hstack([chosen[:, timed], chosen]), first):
            out[n] = np.bincount(cells, weights=dealt, minlength=groups * width)
    out = out.reshape(count, groups, width)
    return out if labels is not None else out[:, :, 0].astype(np.int64)


def _label_distance(total, second):
    """Total variation per rearrangement and group (:class:`noise._Counted`):
    ``total`` rows per time point and label, ``second`` the rows dealt to
    the compared frame (rearrangements x groups x labels)."""
    first = total[None] - second
    with np.errstate(divide="ignore", invalid="ignore"):
        return 0.5 * np.abs(first / first.sum(axis=2, keepdims=True)
                            - second / second.sum(axis=2, keepdims=True)).sum(axis=2)


def _ks_arranged(pairs, facts, meta, column, times, union, packed, count, n, n2):
    """The Kolmogorov-Smirnov statistic per rearrangement and group, over
    ranges of values as :func:`_ks` (see :class:`noise._Sorted`), and the
    statistic of the frames as they are (``n``: the values of each side
    per group)."""
    import dask
    every = n[0] + n[1]
    # Half as many values per range as for one statistic: each range holds
    # its rows' bits and the counts of several rearrangements at once.
    splitters = _splitters(facts, column, 2 * every[-1] // RANGE_VALUES)
    pieces = [dask.delayed(_split_units)(r, o, meta, column, union, times, splitters)
              for r, o in pairs]
    found = dask.compute(*[dask.delayed(_range_arranged)(n, n2, packed, count,
                                                         *[p[b] for p in pieces])
                           for b in range(len(splitters) + 1)])
    high, low, second, size = (np.array([f[j] for f in found]) for j in range(4))
    before = np.cumsum(size, axis=0) - size
    dealt = np.cumsum(second, axis=0) - second
    offset = before[:, None, :] * n2[None] - every[None, None, :] * dealt
    spread = np.fmax(np.nanmax(offset + high, axis=0), -np.nanmin(offset + low, axis=0))
    with np.errstate(divide="ignore", invalid="ignore"):
        return spread / ((every[None, :] - n2) * n2), _combined([f[4] for f in found], *n)


def _split_units(reference, other, meta, column, union, times, splitters):
    values, units, time, flip = _side_rows(reference, other, meta, column, union, times,
                                           False)
    values = values.astype(float)
    where = np.searchsorted(splitters, values, side="right")
    return [tuple(x[where == b] for x in (values, units, time, flip))
            for b in range(len(splitters) + 1)]


def _range_arranged(n, n2, packed, count, *pieces):
    """One value range's part of the rearranged statistics: per
    rearrangement and group the largest and smallest gap
    place n2 - N dealt at its ends of ties, counted from the range's start,
    the rows dealt to the compared frame, and the group's rows; and the
    range's part of the frames' own statistic (:func:`_range_gaps`)."""
    values, units, time, flip = (np.concatenate([p[j] for p in pieces]) for j in range(4))
    gaps = _range_gaps(n[0], n[1], (values, time, flip.astype(np.int8)))
    every = n[0] + n[1]
    groups = len(every)
    timed = time >= 0
    values = np.r_[values[timed], values]
    units = np.r_[units[timed], units]
    flip = np.r_[flip[timed], flip]
    group = np.r_[time[timed], np.full(len(time), groups - 1)]
    order = np.lexsort((values, group))
    values, units, flip, group = values[order], units[order], flip[order], group[order]
    size = np.bincount(group, minlength=groups)
    high = np.full((count, groups), np.nan)
    low = np.full((count, groups), np.nan)
    second = np.zeros((count, groups))
    if not len(values):
        return high, low, second, size, gaps
    start = np.cumsum(size) - size
    place = np.arange(1, len(values) + 1) - start[group]
    last = np.r_[(group[1:] != group[:-1]) | (values[1:] != values[:-1]), True]
    ends = np.flatnonzero(last)
    heads = np.flatnonzero(np.r_[True, group[ends][1:] != group[ends][:-1]])
    present = group[ends][heads]
    step = max(8, (4000000 // len(values)) // 8 * 8)
    for first in range(0, count, step):
        chosen = _bits(packed, units, first, count, step) ^ flip
        dealt = np.cumsum(chosen, axis=1, dtype=np.int64)
        dealt -= np.where(start[group] > 0, dealt[:, np.maximum(start[group] - 1, 0)], 0)
        rows = slice(first, first + len(chosen))
        gap = place[ends] * n2[rows][:, group[ends]] - every[group[ends]] * dealt[:, ends]
        gap = gap.astype(float)
        high[rows, present] = np.maximum.reduceat(gap, heads, axis=1)
        low[rows, present] = np.minimum.reduceat(gap, heads, axis=1)
        tails = np.r_[heads[1:], len(ends)] - 1
        second[rows, present] = dealt[:, ends[tails]]
    return high, low, second, size, gaps


# -- Nearest pairing ---------------------------------------------------------

#: Query points that one task of the exact nearest-id search takes.
BLOCK_QUERIES = 20000


def nearest_pairing(reference, other, meta, columns=None, name="compared"):
    """:func:`~.pairing._pair` of two dask frames: each compared id paired
    with the reference id whose summary is nearest, and the frame's scores.

    The ids' summaries are computed per partition by the code of the
    pandas path, with the label sets of the whole frames, and gathered (ids
    x entries: they fit this process up to a few million ids); their
    scaling and the yardsticks are computed here, as on the pandas path;
    every exact nearest-id search runs on the workers, a block of
    ``BLOCK_QUERIES`` query points per task against all the points. The
    result is the pandas path's.

    Returns
    -------
    Pairing
    """
    import dask
    from .pairing import SEARCH, _paired_summaries
    _parts.dask_dataframe()
    columns = list(meta.columns) if columns is None else list(columns)
    pairs = _parts.co_partitioned(_parts._projected(reference, meta, columns),
                                  _parts._projected(other, meta, columns), meta)
    labelled = [c for c in columns if c in set(meta.categorical)]
    found = dask.compute(*[dask.delayed(_pairing_facts)(r, o, meta, labelled, columns)
                           for r, o in pairs])
    labels = {c: sorted(set().union(*(f["labels"][c] for f in found))) for c in labelled}
    summaries = dask.compute(*[dask.delayed(_summary_parts)(r, o, meta, columns, labels)
                               for r, o in pairs])
    summaries = [_in_id_order(pd.concat([s[side] for s in summaries])) for side in (0, 1)]
    prints = [pd.concat([f["prints"][side] for f in found]) for side in (0, 1)]
    keys = set(zip(prints[0]["hash"], prints[0]["rows"]))
    identical = sum((h, r) in keys for h, r in zip(prints[1]["hash"], prints[1]["rows"]))
    token = SEARCH.set(_blockwise)
    try:
        return _paired_summaries(summaries, labels, columns, name, False, identical)
    finally:
        SEARCH.reset(token)


def _pairing_facts(reference, other, meta, labelled, columns):
    """One pair of partitions' labels (as text) and ids' fingerprints (of
    the data columns: a shuffle may have added a column of row numbers)."""
    from .pairing import _text
    from .scores import fingerprints
    frames = [_parts._prepared(p, meta, None) for p in (reference, other)]
    return {"labels": {c: set(_text(pd.unique(np.concatenate(
        [f[c].to_numpy(dtype=object) for f in frames])))) for c in labelled},
            "prints": [fingerprints(f[list(columns)]) for f in frames]}


def _summary_parts(reference, other, meta, columns, labels):
    return [_summaries(_parts._prepared(p, meta, None), meta, columns, labels)
            for p in (reference, other)]


def _in_id_order(table):
    """A gathered table in the order of its ids, as a prepared frame has them."""
    return table.reindex(_sorted(table.index))


def _blockwise(queries, points, k):
    """:func:`~.pairing._search` a block of queries per task, on the
    current dask client (or dask's scheduler)."""
    import dask
    from .pairing import _search
    if len(queries) <= BLOCK_QUERIES:
        return _search(queries, points, k)
    shared = dask.delayed(points)
    found = dask.compute(*[dask.delayed(_search)(queries[start:start + BLOCK_QUERIES],
                                                 shared, k)
                           for start in range(0, len(queries), BLOCK_QUERIES)])
    return (np.concatenate([f[0] for f in found]), np.concatenate([f[1] for f in found]))
