"""``compare_panels`` on dask frames, under id pairing.

The frames stay on the cluster: the calling process receives tables (ids x
cells, ids x summary entries, time points x columns) and the rows of the
ids that the pages draw, never a whole frame. Everything is computed on the
current dask client (dask's default scheduler without one); no cluster is
started here.

Each compared frame is co-partitioned with the reference by id (see
:mod:`.partitions`): partition k of both frames holds every row of the same
ids. Each step of the report is a generator of passes over these aligned
partitions (:func:`.partitions.run`): the passes that the steps make at the
same turn are one computation, in which each pair of partitions is read,
aligned and prepared once (:func:`.partitions.prepared_pairs`) and handed
to every task of that turn. After the facts, the measures (the priors'
estimates, then the tables), the verdicts (the per-id statistics, then the
shared shift) and the population tables take two passes together. Per
compared frame:

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
  whole frame's means per time point and label numbering, and their
  contrasts; it sends back, per verdict, their number, sum and sum of
  outer products (:func:`verdicts.summed`), and the contrasts themselves
  only where it holds few enough ids for the swaps. The caller adds them
  up and runs the tests (the swaps on the contrasts in id order where the
  panel has so few ids). The test of the shift shared by every id takes
  sums per time point from the same pass and sums per partition from the
  next (:mod:`.shift`).
- **the population tables**: the ids' summaries per partition, gathered
  (ids x entries, 8 bytes each: the largest table the caller receives); label distances from the counts per time point summed
  over the partitions; the Kolmogorov-Smirnov statistics of continuous
  columns (all rows, and the ids' values at each time point) exactly, from
  value ranges: splitters from each partition's quantiles, every value
  sent to its range's task (equal values to one task), where each range
  sorts its values and returns, per time point, its counts and the largest
  and smallest gap of the two distribution functions; the caller adds the
  ranges before each one. The noise levels of the summaries are the
  exact critical values at their sizes. The permutation levels (the
  pooled rows, the band over time, each time point) are the pandas path's
  (:func:`noise.arranged_levels`): the caller chooses the ids they
  rearrange (every id up to :data:`noise.SAMPLED`, else a sample keyed by
  the ids' values), and one task gathers those ids' rows (at most 10,000
  ids) and computes them, scaled to the whole frames. The statistics and
  the levels come from one computation.
- **the pages**: the rows of every id that a drawn page shows, fetched in
  one pass (:func:`.partitions.rows_of`).

Under nearest pairing the report runs in :mod:`.dask_nearest`;
:func:`nearest_pairing` gives the pairing's own tables alone: the ids'
summaries per partition, gathered; their scaling and the yardsticks in the
caller; every exact nearest-id search on the workers, a block of query ids
per task (through :data:`.pairing.SEARCH`).

Without ``ids``, ``order="given"`` sorts the ids: a shuffle loses the order
in which ids first appear. The values, the p-values (calibrated or not),
the verdicts, orders and population tables are the pandas path's (to
rounding in the last digits: sums over partitions add in another order).
"""

import warnings

import numpy as np
import pandas as pd

from . import dask_checks as _checks
from . import inputs, noise, render
from . import partitions as _parts
from . import verdicts as _verdicts
from .divergence import kolmogorov_smirnov, round_significant
from .pairing import NULL, _summaries, summary_entries
from .plan import sort_ids

#: Values per range of the Kolmogorov-Smirnov pass: a task's memory
#: follows it.
RANGE_VALUES = 2000000
# Quantiles each partition gives for the splitters of the value ranges.
QUANTILES = 64
# A missing label in the counts.
MISSING = "\0missing"


def read_panel(frames, meta, id_index, time_index, names, columns, ids, pairing,
               allow_disjoint_times=False):
    """The panel of dask ``frames`` and what the report's steps need of the
    whole frames (see :class:`DaskPanel`), checked as the pandas path checks
    (see :mod:`.dask_checks`)."""
    dd = _parts.dask_dataframe()  # noqa: F841 (a clear error without the extra)
    names, frames = inputs._named(frames, names)
    if meta is None:
        if id_index is None or time_index is None:
            raise ValueError("give meta, or id_index and time_index to infer it from the "
                             "first frame")
        from kestrune import DataFrameMeta
        meta = DataFrameMeta.from_frame(frames[0]._meta.reset_index(), id_index, time_index)
    columns = _checks.check_columns(names, frames, meta, inputs._listed("columns", columns))
    return DaskPanel(names, meta, frames, columns, ids, pairing, allow_disjoint_times)


class DaskPanel:
    """The report's panel of dask frames: the facts of every pair of
    aligned partitions (reference, compared frame), added up."""

    def __init__(self, names, meta, frames, columns, ids, pairing, allow_disjoint_times=False):
        import dask
        self.names, self.meta, self.frames, self.columns = names, meta, frames, columns
        self.numeric = [c for c in columns if c not in set(meta.categorical)]
        self.labelled = [c for c in columns if c in set(meta.categorical)]
        given = None if ids is None else pd.Index(inputs._listed("ids", ids))
        self.pairs = [_parts.prepared_pairs(_parts.co_partitioned(
            _parts._projected(frames[0], meta, columns), _parts._projected(other, meta, columns),
            meta), meta) for other in frames[1:]]
        facts = dask.compute(*[[dask.delayed(_facts)(r, o, meta, self.numeric,
                                                     self.labelled, given)
                                for r, o in pairs] for pairs in self.pairs])
        self.facts = facts
        held = [_joined([f["ids"][0] for f in facts[0]])]
        held += [_joined([f["ids"][1] for f in found]) for found in facts]
        self.held = held
        fakes = [_checks.id_frame(h) for h in held]
        for name, frame in zip(names, fakes):
            if not len(frame):
                raise ValueError("frame {!r} is empty".format(name))
        sides = [[f["checks"][0] for f in facts[0]]]
        sides += [[f["checks"][1] for f in found] for found in facts]
        _checks.check_rows(names, meta, sides, fakes, frames)
        _checks.check_times(names, meta, [
            _sorted(_joined([f["times"][0] for f in facts[0]]).unique())] + [
            _sorted(_joined([f["times"][1] for f in found]).unique()) for found in facts],
            allow_disjoint_times)
        _checks.check_shared_ids(names, fakes, pairing)
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
           "checks": _checks.pair_checks(frames, numeric), "sums": {}, "labels": {}}
    if not _checks.passed(out["checks"]):
        return out  # refused by the caller
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
    out["keys"] = _parts.facts_of(frames, given)
    out["scale"] = {c: np.nanmax(np.abs(np.r_[_contrast(shifts, c)[0], _contrast(shifts, c)[1],
                                              0.0])) for c in numeric}
    same = identical_ids(*frames, same_id=True) if all(len(f) for f in frames) else []
    out["identical"] = same if given is None else list(pd.Index(same)[pd.Index(same).isin(given)])
    return out


# -- Measures ----------------------------------------------------------------

def measure_steps(dask_panel, k, measures, max_lag):
    """The measures' passes of compared frame ``k`` (from 0) over the
    panel's aligned partitions (see :func:`.partitions.measure_steps`)."""
    panel = dask_panel
    return _parts.measure_steps(panel.frames[0], panel.frames[k + 1], panel.meta,
                                panel.columns, panel.wanted(), measures, max_lag, True,
                                pairs=panel.pairs[k],
                                facts=[f["keys"] for f in panel.facts[k]])


def measured(dask_panel, found):
    """A ``measured`` function for :func:`report._measure`: the values,
    p-values and pairs' p-values of each compared frame in turn, from the
    partitions' tables ``found`` (one list per compared frame, dropped as
    each is gathered). Its ``pvalues`` keeps each frame's p-values."""
    found = list(found)

    def measure(reference, frame, meta, columns, ids, measures, max_lag, calibrated):
        wanted = dask_panel.wanted()
        parts = found.pop(0)
        values, pvalues = _parts._gathered(parts, wanted, calibrated)
        pairs = _pair_table(parts, wanted, calibrated)
        del parts
        ids = pd.Index(ids)
        # One table at a time; none copied when already in order.
        tables = [values, pvalues, pairs]
        del values, pvalues, pairs
        for j in range(len(tables)):
            if not tables[j].index.equals(ids):
                tables[j] = tables[j].reindex(ids)
        measure.pvalues.append(tables[1])
        return tuple(tables)
    measure.pvalues = []
    return measure


def _pair_table(parts, wanted, calibrated):
    """The p-value of each pair of continuous columns' dependence per id,
    calibrated against its null p-values pooled over the partitions."""
    from . import calibration
    every, parts = parts, [part for part in parts if len(part["ids"])]
    ids = _parts._joined([part["ids"] for part in parts])
    pairs = list(parts[0]["pairs"]) if parts else []
    columns = [every.pairs[pair] for pair in pairs] \
        if isinstance(every, _parts._Calibrated) else []  # calibrated on the workers
    for pair in pairs[len(columns):]:
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

def verdict_steps(dask_panel, k, measures):
    """The verdicts' passes of compared frame ``k`` (from 0) (see
    :func:`.partitions.run`): returns ``rows_of(cells_of)``, which gives
    the verdict rows without q-values; ``cells_of()`` gives the cells'
    p-values where too few ids swap."""
    panel, facts, pairs = dask_panel, dask_panel.facts[k], dask_panel.pairs[k]
    import dask
    means = [_means([f["sums"] for f in facts], side, panel.numeric) for side in (0, 1)]
    labels = {}
    for column in panel.labelled:
        seen = [panel.labels(column, None, kept=True), panel.labels(column, k, kept=True)]
        labels[column] = (sorted(seen[0][0] | seen[1][0], key=str) if _mixed(
            seen[0][0] | seen[1][0]) else sorted(seen[0][0] | seen[1][0]),
            seen[0][1] or seen[1][1])
    times = _sorted(_joined([t for f in facts for t in f["times"]]).unique())
    scales = {c: max(f["scale"][c] for f in facts) for c in panel.numeric}
    found = yield [dask.delayed(_verdict_part)(
        r, o, panel.meta, panel.columns, panel.numeric, panel.given, measures, means,
        labels, times, scales) for r, o in pairs]
    components = _gathered_components([f[0] for f in found], panel.ids)
    shift_sums = [f[1] for f in found]
    del found
    # The tests of the per-id statistics now, so that they are dropped
    # before the next pass's tables arrive; the shared shift is joined to
    # its rows after that pass (where too few ids swap, the cells'
    # p-values are needed: the statistics are kept and tested at the end).
    kinds = [(column, measure, kind) for column, measure, _, kind, _, _ in components]

    def tested(cells_of, shift_of):
        rows = []
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            for column, measure, labels, kind, contrasts, sums in components:
                row = _verdicts.verdict_row(column, measure, labels, kind, contrasts, sums,
                                            cells_of, shift_of)
                if row is not None:
                    rows.append(row)
        return rows
    try:
        early = tested(_later, lambda column: (np.nan,) * 4)
        components = None
    except _Later:
        early = None
    states = {}
    for column in panel.numeric:
        count = sum(s[column][0] for s in shift_sums)
        total = sum(s[column][1] for s in shift_sums)
        units = sum(s[column][2] for s in shift_sums)
        from .shift import shift_state
        states[column] = shift_state((count, total), len(times), True, units, 1)
    live = {c: s for c, s in states.items() if s is not None}
    id_parts = (yield [dask.delayed(_shift_part)(
        r, o, panel.meta, panel.given, times, live, scales) for r, o in pairs]) if live else []

    def shift_of(column):
        from .shift import shift_test
        if column not in live:
            return (np.nan,) * 4
        squares = sum(p[column][0] for p in id_parts)
        spread = sum(p[column][1] for p in id_parts)
        return shift_test(live[column], squares, spread)

    def rows_of(cells_of):
        if early is None:
            rows = tested(cells_of, shift_of)
        else:
            rows = early
            location = {(c, m) for c, m, kind in kinds if kind == "location"}
            for row in rows:
                if (row["column"], row["measure"]) in location:
                    _verdicts._joined(row, shift_of(row["column"]))
        return [dict(row, frame=panel.names[k + 1]) for row in rows]
    return rows_of


class _Later(Exception):
    """The cells' p-values are asked for before they are computed."""


def _later():
    raise _Later


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
    mine = _mine(frames, ids)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        stats = [_verdicts._Stats(f, mine, meta, columns, m) for f, m in zip(frames, means)]
        components = _verdicts._components(stats, meta, columns, measures, labels)
        # What the tests need of these ids: the sums of their contrasts, and
        # the contrasts themselves where few enough for the swaps.
        reduced = []
        for column, measure, parts, shown, kind in components:
            contrasts, defined = _verdicts.cleaned(parts, kind)
            reduced.append((column, measure, shown, kind, _verdicts.summed(contrasts),
                            (mine[defined], contrasts)
                            if len(contrasts) <= _verdicts.NORMAL_LIMIT else None))
    return (mine, reduced), _shift_sums(frames, mine, times, numeric, scales)


def _mine(frames, given):
    """The report's ids that a pair of prepared partitions holds: each of
    its ids, or those of the ``given`` ids (None for every id; the tasks
    are not sent every id of the panel)."""
    held = _parts._sorted_union(*frames)
    return held if given is None else given[given.isin(held)]


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
    shifts, codes = _shift_rows(frames, _mine(frames, ids), times)
    out = {}
    for column, state in states.items():
        c = _contrast(shifts, column, scales[column])
        kept = ~np.isnan(c)
        out[column] = id_parts(state, shifts.ids[kept], codes[kept], c[kept],
                               np.ones(kept.sum(), dtype=np.int64))
    return out


def _gathered_components(found, ids):
    """Every partition's sums of each verdict's contrasts added up:
    (column, measure, labels, kind, contrasts, sums) per verdict, the
    contrasts (in the order of ``ids``) where the ids are few enough for
    the swaps, else None and the sums alone (see
    :func:`verdicts.verdict_row`)."""
    found = [parts for mine, parts in found if len(mine)]
    if not found:
        return []
    out = []
    for n, (column, measure, labels, kind, _, _) in enumerate(found[0]):
        sums = [parts[n][4] for parts in found]
        total = (sum(s[0] for s in sums), sum(s[1] for s in sums), sum(s[2] for s in sums))
        contrasts = None
        if total[0] <= _verdicts.NORMAL_LIMIT:
            held = [parts[n][5] for parts in found]
            order = np.argsort(ids.get_indexer(_joined([h[0] for h in held])), kind="stable")
            width = len(total[1])
            contrasts = np.concatenate([h[1] for h in held] + [np.zeros((0, width))])[order]
        out.append((column, measure, labels, kind, contrasts, total))
    return out


# -- Population tables -------------------------------------------------------

def population_steps(dask_panel):
    """The population tables and their noise levels (see
    :func:`report._populations`) of a panel of dask frames, as one pass
    (see :func:`.partitions.run`)."""
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
    summaries = _summary_tasks(panel, columns, labels)
    tasks, finish = _population_tasks(panel, times, reference_times)
    summaries, found = yield [summaries, tasks]
    arranged, statistics = finish(found)
    pooled, over_time, levels_over = {}, {}, {}
    for k, (name, pairs) in enumerate(zip(names[1:], panel.pairs)):
        facts = panel.facts[k]
        pooled[name] = []
        for column in columns:
            found = statistics[k][column] if column in panel.numeric else \
                _label_tables(facts, column, times)
            # Each time point's level from the swaps of paired ids, as the band's.
            levels_over[(name, column)] = arranged[k][2][column]
            pooled[name].append(found[-1])
            over_time[(name, column)] = found[:-1]
    over = _table(over_time, times)
    over.columns = pd.MultiIndex.from_tuples(list(over_time))
    entries = pd.Index(summary_entries(columns, labels))
    population = {"columns": _table(pooled, pd.Index(columns)), "over_time": over,
                  "summaries": _table({name: np.array([found[0][k] for found in summaries])
                                       for k, name in enumerate(names[1:])}, entries)}
    levels = pd.DataFrame(levels_over, index=reference_times)
    if levels_over:
        levels.columns = pd.MultiIndex.from_tuples(list(levels_over))
    found = arranged
    population["levels"] = {
        "columns": pd.DataFrame({name: f[0] for name, f in zip(names[1:], found)},
                                index=pd.Index(columns)),
        "band": pd.DataFrame({name: f[1] for name, f in zip(names[1:], found)},
                             index=pd.Index(columns)),
        "over_time": levels,
        "summaries": pd.DataFrame({name: [noise.ks_level(held[0], held[k + 1])
                                          for _, held in summaries]
                                   for k, name in enumerate(names[1:])}, index=entries),
        "ids": pd.Series([len(h) for h in panel.held], index=list(names))}
    return population


def _summary_tasks(panel, columns, labels):
    """For each entry of the ids' summary table, a task of its statistic
    against each compared frame and its number of values in each frame.

    Each partition's table is split into its entries' columns, and one
    task per entry gathers that entry's values of every partition: the
    statistic is the whole panel's, and no more than one entry's values
    meet in one place (a million ids' table of every entry would not fit
    this process)."""
    import dask
    sides = [(0, panel.pairs[0])] + [(1, pairs) for pairs in panel.pairs]
    tables = [[dask.delayed(_summary_part)(r, o, panel.meta, columns, labels, side)
               for r, o in pairs] for side, pairs in sides]
    return [dask.delayed(_entry_statistics)(
        [[dask.delayed(_entry_values)(table, entry) for table in parts] for parts in tables])
        for entry in summary_entries(columns, labels)]


def _summary_part(reference, other, meta, columns, labels, side):
    frame = _parts._prepared((reference, other)[side], meta, None)
    return _summaries(frame, meta, columns, labels)


def _entry_values(table, entry):
    return table[entry].to_numpy(dtype=float)


def _entry_statistics(sides):
    """The statistic of one entry between the reference (the first of
    ``sides``, each a list of arrays) and each other side, and the number
    of values each side holds."""
    values = [np.concatenate(parts) if parts else np.zeros(0) for parts in sides]
    statistics = [kolmogorov_smirnov(np.zeros(len(values[0]), dtype=np.int64), values[0],
                                     np.zeros(len(other), dtype=np.int64), other, 1)[0]
                  for other in values[1:]]
    return statistics, [int(np.count_nonzero(~np.isnan(v))) for v in values]


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


def _population_tasks(panel, times, reference_times):
    """The tasks and the function that reads their results: for every
    compared frame, the permutation levels
    of each column (:func:`noise.arranged_levels` on the rows of the ids it
    samples, gathered on a worker: ``(pooled, band, levels per time point)``)
    and the Kolmogorov-Smirnov statistics of each continuous column at each
    of ``times`` and over every row (last), exactly, over ranges of values
    (see this module)."""
    import dask
    meta, tasks, found = panel.meta, [], []
    for k, pairs in enumerate(panel.pairs):
        reference = pd.Index(sort_ids(panel.held[0]))
        compared = pd.Index(sort_ids(panel.held[k + 1]))
        union = reference.append(compared[~compared.isin(reference)])
        sample = noise.sampled_ids(union)
        rows = [dask.delayed(_sample_rows)(r, o, meta, sample) for r, o in pairs]
        tasks.append(dask.delayed(_sample_levels)(
            rows, meta, panel.columns, reference_times,
            (len(reference), len(compared), len(union)), (noise.REARRANGEMENTS, noise.FEWER)))
        facts, ranges = panel.facts[k], {}
        n = {}
        for column in panel.numeric:
            counts = [_time_counts(facts, column, side) for side in (0, 1)]
            n[column] = [np.r_[c.reindex(times, fill_value=0).to_numpy(), c.sum()]
                         for c in counts]
            ranges[column] = _splitters(facts, column,
                                        (n[column][0][-1] + n[column][1][-1]) // RANGE_VALUES)
        pieces = [dask.delayed(_split)(r, o, meta, ranges, times) for r, o in pairs]
        found.append((n, {column: [dask.delayed(_range_gaps)(
            *n[column], *[p[column][b] for p in pieces])
            for b in range(len(ranges[column]) + 1)] for column in panel.numeric}))

    def finish(results):
        levels, gaps = results
        statistics = [{column: _combined(gaps[k][column], *n[column]) for column in n}
                      for k, (n, _) in enumerate(found)]
        return levels, statistics
    return [tasks, [ranges for _, ranges in found]], finish


def _sample_rows(reference, other, meta, sample):
    """The rows of the sampled ids in one pair of partitions, prepared."""
    return tuple(_parts._prepared(p, meta, sample) for p in (reference, other))


def _sample_levels(rows, meta, columns, times, sizes, counts):
    """The permutation levels of the sampled rows of every pair of
    partitions (see :func:`noise.arranged_levels`)."""
    frames = [pd.concat([r[side] for r in rows]).sort_index() for side in (0, 1)]
    return noise.arranged_levels(frames[0], frames[1], columns, set(meta.categorical), True,
                                 times, sizes, counts)


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


def _split(reference, other, meta, splitters, times):
    """One pair of partitions' present values of each continuous column
    (the keys of ``splitters``) with their time point's number in
    ``times`` (-1 for none) and side, one part per value range."""
    frames = [_parts._prepared(partition, meta, None) for partition in (reference, other)]
    groups = [times.get_indexer(frame.index.get_level_values(1)) for frame in frames]
    out = {}
    for column, split in splitters.items():
        parts = []
        for side, (frame, group) in enumerate(zip(frames, groups)):
            values = np.asarray(frame[column], dtype=float)
            present = ~np.isnan(values)
            parts.append((values[present], group[present],
                          np.full(present.sum(), side, dtype=np.int8)))
        values, group, sides = (np.concatenate(x) for x in zip(*parts))
        where = np.searchsorted(split, values, side="right")
        out[column] = [(values[where == b], group[where == b], sides[where == b])
                       for b in range(len(split) + 1)]
    return out


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
                   executor, progress, holdout, own_scales, allow_disjoint_times=False):
    """:func:`~.report.compare_panels` of dask frames, its options checked
    (see this module)."""
    from . import report as _report
    from .scores import identical_message
    _report._phase(progress, "ids and time points")
    panel = read_panel(frames, meta, id_index, time_index, names, columns, ids, pairing,
                       allow_disjoint_times)
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
    # Every step's passes over the partitions at once: the measures (the
    # priors' estimates, then the tables), the verdicts (the per-id
    # statistics, then the shared shift) and the population tables.
    count = len(panel.pairs)
    _report._phase(progress, "measures, verdicts and population")
    found = _parts.run(*[measure_steps(panel, k, measures, max_lag) for k in range(count)],
                       *[verdict_steps(panel, k, measures) for k in range(count)],
                       population_steps(panel))
    found = found if isinstance(found, list) else [found]
    verdicts_of, population = found[count:2 * count], found[-1]
    tables = measured(panel, found[:count])
    del found
    divergences, largest, pvalue, qvalue = _report._measure(
        panel, [panel.frames[0]] * count, False, measures, max_lag, None, measured=tables)
    rows, cells = [], tables.pvalues
    del tables
    for k, rows_of in enumerate(verdicts_of):
        rows += rows_of(lambda k=k: cells[k].reindex(panel.ids))
    cells = None  # the tables dropped
    verdicts = _verdicts._finished(rows)
    ordered, planned, frame_of_page = _report.plan_report(
        panel, largest, order, ids_per_page, pages, None if ids is None else list(ids),
        qvalue, None)
    _report._phase(progress, "rows of the pages")
    drawn = list(dict.fromkeys(i for page in planned for i in page.ids))
    shown = _parts.rows_of(panel.frames, panel.meta, drawn)
    # In page order, one table at a time (each ids x cells); a compared
    # frame's divergences and the largest over the frames are one table
    # when there is one compared frame.
    ordered = pd.Index(ordered, name=largest.index.name)
    shared = [name for name, table in divergences.items() if table is largest]
    for name in divergences:
        divergences[name] = divergences[name].reindex(ordered)
    largest = divergences[shared[0]] if shared else largest.reindex(ordered)
    pvalue = pvalue.reindex(ordered)
    qvalue = qvalue.reindex(ordered)
    return _report.Report(panel.panel(shown), divergences, largest, pvalue, qvalue, planned,
                          order,
                          share_setting.name, jobs, executor, progress, None, population,
                          verdicts, None, frame_of_page, own_scales,
                          label_orders=panel.label_orders(), on_cluster=True)


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
