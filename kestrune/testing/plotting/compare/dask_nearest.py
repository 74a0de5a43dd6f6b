"""``compare_panels`` on dask frames under nearest pairing.

Each compared frame's ids are paired with the reference ids whose summaries
are nearest, and each pair is measured: the compared id's rows against its
reference id's rows. The frames stay on the cluster; the calling process
keeps tables (ids x cells, ids x summary entries, ids x statistics of the
verdicts), the pairs and the drawn pages' rows. Each compared frame is
co-partitioned with the reference by id as under id pairing
(:class:`.dask_report.DaskPanel`, whose facts of every pair of aligned
partitions serve here too: label sets, sums and counts per time point,
label counts, first rows of each label), though the two frames' ids are
different units. With several compared frames, a compared id is
``"<frame>: <id>"`` in every table, as on the pandas path; the dask frames
keep their own ids and the caller renames what comes back.

- **summaries**: one pass over the partitions gives every id's summary
  (with the labels of every frame, the holdout's among them) and its
  fingerprint. The caller gathers them (ids x entries), takes each
  compared frame's entries (its labels and the reference's), scales them,
  takes the yardsticks and pairs the ids; every exact nearest-id search
  runs on the workers (:func:`.dask_report._blockwise`). A holdout is
  brought together by id first (shuffled with the reference's ids and
  times only).
- **measures**: the pairs table (compared id, reference id) is sent once to
  every partition of the reference, which emits the rows of each of its
  reference ids once per compared id paired with it, under that id: the
  *paired reference*, a dask frame of the compared frame's ids. It is
  co-partitioned with the compared frame and measured by the id-pairing
  code (:func:`.partitions.measured_parts`, without calibration: the
  p-values are NaN under nearest pairing).
- **verdicts**: each partition computes its ids' statistics, each frame
  with its own means per time point (from the summed facts) and the label
  numbering of both whole frames, and its part of the shared shift's sums
  over ids; the caller gathers the statistics (ids x components, in the
  pandas path's id order, which the permutations of the two-sample test
  read) and runs the tests; the pairs' scores that rank them come from the
  same statistics.
- **population tables**: as under id pairing (value ranges for the
  Kolmogorov-Smirnov statistics, label counts per time point), with the
  noise levels of two samples of ids: the caller draws the pandas path's
  permutations of whole ids (one bit per id and rearrangement, packed)
  and every task reads its ids' bits; the levels per time point are exact
  critical values (numbers) or deals of the label counts per time point.
- **pages**: the rows of the drawn pairs' ids and uncovered reference ids,
  fetched in one pass (:func:`.partitions.rows_of`).

Without ``ids`` and with ``order="given"`` the compared ids are in id order
(a shuffle loses their first appearance).
"""

import warnings

import numpy as np
import pandas as pd
from scipy import special

from . import dask_arranged as _arr
from . import dask_report as _dr
from . import inputs, noise
from . import partitions as _parts
from . import verdicts as _verdicts
from .pairing import (NULL, SEARCH, NearCopyWarning, _paired_summaries, _summaries,
                      _summary_table, _table, near_copy_message)
from .plan import plan_report
from .shift import id_parts, shift_state, shift_test


def nearest_report(panel, holdout, order, ids_per_page, pages, measures, max_lag,
                   share_setting, jobs, executor, progress, own_scales):
    """:func:`~.report.compare_panels` of the dask panel ``panel`` (a
    :class:`.dask_report.DaskPanel`) under nearest pairing."""
    from . import report as _report
    from .scores import score_table
    if holdout is not None:
        _parts.engine_of(list(panel.frames) + [holdout], "frames and the holdout")
    _report._phase(progress, "pairing")
    near = _Summaries(panel, holdout)
    paired = [near.paired(k) for k in range(len(panel.pairs))]
    for one in paired:
        message = near_copy_message(one.pairs, one.scores["copy_test"])
        if message:
            warnings.warn(message, NearCopyWarning, stacklevel=4)
    ids = pd.Index([i for k in range(len(panel.pairs)) for i in near.ids[k + 1]])
    report_panel = inputs.Panel(panel.names, panel.meta, list(panel.frames), panel.columns,
                                ids, list(ids), {}, "nearest", panel.why)
    references = [_paired_reference(panel.frames[0], panel.meta, panel.columns,
                                    near.own_pairs(k, one.pairs))
                  for k, one in enumerate(paired)]
    divergences, largest, pvalue, qvalue = _report._measure(
        report_panel, references, True, measures, max_lag, progress,
        measured=_measured(panel, near))
    _report._phase(progress, "verdicts", len(panel.pairs))
    rows, components = [], []
    for k in range(len(panel.pairs)):
        found, parts = _verdict_rows(panel, near, k, measures)
        rows += found
        components.append(parts)
        if hasattr(progress, "phase"):
            progress.update(1)
    verdicts = _verdicts._finished(rows)
    evidence = qvalue
    if order == "evidence":
        scores = pd.concat([_verdicts._scored(
            parts, [near.ids[0], near.ids[k + 1]], one.pairs,
            verdicts[verdicts["frame"] == panel.names[k + 1]])
            for k, (parts, one) in enumerate(zip(components, paired))])
        evidence = (-scores).reindex(largest.index).to_frame()
    ordered, planned, frame_of_page = plan_report(
        report_panel, largest, order, ids_per_page, pages, None, evidence, paired)
    _report._phase(progress, "population")
    population = _population(panel, near, paired)
    _report._phase(progress, "rows of the pages")
    shown = _shown_rows(panel, near, paired, planned, frame_of_page)
    return _report.Report(
        report_panel._replace(frames=shown), divergences, largest.reindex(ordered),
        pvalue.reindex(ordered), qvalue.reindex(ordered), planned, order,
        share_setting.name, jobs, executor, progress, paired, population, verdicts,
        score_table([one.scores for one in paired]), frame_of_page, own_scales,
        label_orders=panel.label_orders(), on_cluster=True)


# -- Summaries and pairs -----------------------------------------------------

class _Summaries:
    """Every id's summary and fingerprint, gathered from one pass: the
    reference's (0), each compared frame's (from 1, ids renamed where
    there are several) and the holdout's (last), each in id order.

    Where the frames' ids are of different kinds (numbers, text), the
    aligned partitions hold them as text (see :func:`.partitions.co_partitioned`);
    the tables give each frame's ids their own type back, as the pandas
    path keeps them."""

    def __init__(self, panel, holdout):
        import dask
        self.panel = panel
        meta, columns = panel.meta, panel.columns
        self.kinds = [_parts._id_kind(_id_dtype(f, meta)) for f in list(panel.frames) + (
            [] if holdout is None else [holdout])]
        texts = [_texts(panel, None)] + [_texts(panel, k) for k in range(len(panel.pairs))]
        held = []
        if holdout is not None:
            held = _parts.co_partitioned(_parts._projected(panel.frames[0], meta, []),
                                         _parts._projected(holdout, meta, columns), meta)
            seen = dask.compute(*[dask.delayed(_partition_labels)(o, meta, panel.labelled)
                                  for _, o in held])
            texts.append({c: set().union(*(s[c] for s in seen)) for c in panel.labelled})
        self.texts = texts
        labels = {c: sorted(set().union(*(t[c] for t in texts))) for c in panel.labelled}
        sides = [(0, panel.pairs[0])] + [(1, pairs) for pairs in panel.pairs] + \
            ([(1, held)] if held else [])
        found = dask.compute(*[[dask.delayed(_summary_part)(r, o, meta, columns, labels, side)
                                for r, o in pairs] for side, pairs in sides])
        self.with_holdout = bool(held)
        self.tables, self.prints, self.own, self.ids = [], [], [], []
        for n, parts in enumerate(found):
            table = pd.concat([p[0] for p in parts])
            prints = pd.concat([p[1] for p in parts])
            own = self.typed(n, table.index)
            named = self.named(n - 1, own) if 0 < n <= len(panel.pairs) else own
            table.index = pd.Index(named, name=table.index.name)
            order = pd.Index(named).get_indexer(_dr._sorted(pd.Index(named)))
            self.tables.append(table.iloc[order])
            self.prints.append(prints.iloc[order])
            self.own.append(own[order])
            self.ids.append(pd.Index(named)[order])

    def typed(self, n, ids):
        """Frame ``n``'s ids (0 the reference) in their own type."""
        ids = pd.Index(ids)
        if self.kinds[n] in ("integer", "float") and _parts._id_kind(ids.dtype) == "text":
            return ids.astype(np.int64 if self.kinds[n] == "integer" else float)
        return ids

    def named(self, k, ids):
        """Compared frame ``k``'s ids (their own type) as the report's
        tables name them."""
        if len(self.panel.pairs) == 1:
            return pd.Index(ids)
        name = self.panel.names[k + 1]
        return pd.Index(["{}: {}".format(name, i) for i in ids], dtype=object)

    def aligned(self, n, k):
        """Frame ``n``'s ids (0 the reference, else compared frame ``k``)
        in the order of its table, as the partitions aligned with compared
        frame ``k`` hold them."""
        own = self.own[n]
        if self.kinds[0] == self.kinds[k + 1]:
            return own
        return pd.Index(pd.Series(own).astype(str).to_numpy(dtype=object))

    def labels(self, frames):
        """Each categorical column's labels (as text, sorted) over ``frames``
        (numbers into :attr:`texts`)."""
        return {c: sorted(set().union(*(self.texts[n][c] for n in frames)))
                for c in self.panel.labelled}

    def table(self, n, labels):
        """Summary table ``n`` with the entries of ``labels`` only."""
        table = self.tables[n]
        kept = [e for e in table.columns if ":share=" not in e
                or e.split(":share=", 1)[1] in set(labels[e.split(":share=", 1)[0]])]
        return table[kept]

    def paired(self, k):
        """The pairing of compared frame ``k`` (see :func:`.pairing._pair`)."""
        last = len(self.tables) - 1
        frames = [0, k + 1] + ([last] if self.with_holdout else [])
        labels = self.labels(frames)
        keys = set(zip(self.prints[0]["hash"], self.prints[0]["rows"]))
        identical = sum((h, r) in keys for h, r in zip(self.prints[k + 1]["hash"],
                                                        self.prints[k + 1]["rows"]))
        token = SEARCH.set(_dr._blockwise)
        try:
            return _paired_summaries([self.table(n, labels) for n in frames], labels,
                                     self.panel.columns, self.panel.names[k + 1],
                                     self.with_holdout, identical)
        finally:
            SEARCH.reset(token)

    def own_pairs(self, k, pairs):
        """The pairs of compared frame ``k`` with the frame's own ids."""
        own = pd.Series(self.own[k + 1], index=self.ids[k + 1])
        return pd.DataFrame({"id": own.reindex(pairs["id"]).to_numpy(),
                             "reference_id": pairs["reference_id"].to_numpy()})


def _id_dtype(frame, meta):
    return frame.index.dtype if frame.index.name == meta.id_index else \
        frame[meta.id_index].dtype


def _texts(panel, k):
    """The labels of each categorical column of a frame, as text."""
    out = {}
    for column in panel.labelled:
        seen, missing = panel.labels(column, k)
        out[column] = {str(label) for label in seen} | ({NULL} if missing else set())
    return out


def _partition_labels(partition, meta, labelled):
    from .pairing import _text
    frame = _parts._prepared(partition, meta, None)
    return {c: set(_text(pd.unique(frame[c].to_numpy(dtype=object)))) for c in labelled}


def _summary_part(reference, other, meta, columns, labels, side):
    from .scores import fingerprints
    frame = _parts._prepared((reference, other)[side], meta, None)
    # The data columns only: a shuffle may have added a column of row numbers.
    return _summaries(frame, meta, columns, labels), fingerprints(frame[list(columns)])


# -- Measures ----------------------------------------------------------------

def _paired_reference(reference, meta, columns, pairs):
    """The reference's rows of each pair's reference id under the compared
    id, as a dask frame (see this module)."""
    import dask
    frame = _parts._projected(reference, meta, columns)
    empty = _paired_partition(frame._meta, meta, pairs.iloc[:0])
    # Rows of other ids, in no order of theirs: no divisions.
    return frame.map_partitions(_paired_partition, meta, dask.delayed(pairs),
                                meta=empty).clear_divisions()


def _paired_partition(partition, meta, pairs):
    """One reference partition's rows of the paired reference ids, once per
    compared id paired with them, under that id."""
    if partition.index.name in (meta.id_index, meta.time_index):
        partition = partition.reset_index()
    else:
        partition = partition.reset_index(drop=True)
    ids, wanted = partition[meta.id_index], pairs["reference_id"]
    if _parts._id_kind(ids.dtype) != _parts._id_kind(wanted.dtype):  # compared as text
        ids, wanted = ids.astype(str), wanted.astype(str)
    paired = pd.DataFrame({"_key": wanted.to_numpy(), "_id": pairs["id"].to_numpy()})
    found = partition.assign(_key=ids.to_numpy()).merge(paired, on="_key", how="inner")
    found[meta.id_index] = found["_id"]
    return found[list(partition.columns)]


def _measured(panel, near):
    """A ``measured`` function for :func:`report._measure`: one compared
    frame's values against its paired reference, the ids renamed."""
    # report._measure measures the compared frames in order.
    numbers = iter(range(len(panel.pairs)))

    def measure(reference, frame, meta, columns, ids, measures, max_lag, calibrated):
        parts = _parts.measured_parts(reference, frame, meta, columns, None, measures,
                                      max_lag, False)
        values, pvalues = _parts._gathered(parts, None, False)
        pairs = _dr._pair_table(parts, None, False)
        k = next(numbers)
        out = []
        for table in (values, pvalues, pairs):
            table.index = near.named(k, near.typed(k + 1, table.index))
            out.append(table.reindex(ids))
        return tuple(out)
    return measure


# -- Verdicts ----------------------------------------------------------------

def _verdict_rows(panel, near, k, measures):
    """The verdict rows of compared frame ``k`` (two samples of ids), and
    the per-id statistics behind them (see :func:`verdicts._components`)."""
    import dask
    facts, meta = panel.facts[k], panel.meta
    means = [_dr._means([f["sums"] for f in facts], side, panel.numeric) for side in (0, 1)]
    seen = {}
    for column in panel.labelled:
        found = [panel.labels(column, None), panel.labels(column, k)]
        labels = found[0][0] | found[1][0]
        seen[column] = (sorted(labels, key=str) if _dr._mixed(labels) else sorted(labels),
                        found[0][1] or found[1][1])
    times = _dr._sorted(_dr._joined([t for f in facts for t in f["times"]]).unique())
    states = {}
    tables = [near.tables[0], near.tables[k + 1]]
    for column in panel.numeric:
        sums = [_per_time(facts, column, side, times) for side in (0, 1)]
        units = [int(t[column + ":mean"].notna().sum()) for t in tables]
        state = shift_state((np.concatenate([s[0] for s in sums]),
                             np.concatenate([s[1] for s in sums])), len(times), units[0] == 0,
                            sum(units), sum(u > 0 for u in units))
        if state is not None:
            states[column] = state
    found = dask.compute(*[dask.delayed(_verdict_part)(
        r, o, meta, panel.columns, measures, means, seen, times, states)
        for r, o in panel.pairs[k]])
    orders = [near.typed(n, _dr._joined([f[0][side] for f in found])).get_indexer(near.own[n])
              for side, n in ((0, 0), (1, k + 1))]
    components = []
    for n, (column, measure, _, labels, kind) in enumerate(found[0][1]):
        sides = [np.concatenate([f[1][n][2][side] for f in found])[orders[side]]
                 for side in (0, 1)]
        components.append((column, measure, sides, labels, kind))

    def shift_of(column):
        if column not in states:
            return (np.nan,) * 4
        return shift_test(states[column], sum(f[2][column][0] for f in found),
                          sum(f[2][column][1] for f in found))
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        rows = _verdicts._two_samples(components, shift_of)
    return [dict(row, frame=panel.names[k + 1]) for row in rows], components


def _per_time(facts, column, side, times):
    """A frame's count and sum of a column's values per time point of
    ``times``, over every partition."""
    table = pd.concat([f["sums"][column][side] for f in facts]).groupby(level=0).sum()
    table = table.reindex(times, fill_value=0)
    return table["count"].to_numpy().astype(np.int64), table["sum"].to_numpy(dtype=float)


def _verdict_part(reference, other, meta, columns, measures, means, seen, times, states):
    """One pair of partitions' per-id statistics, each frame over its own
    ids, and their part of the shared shift's sums over ids."""
    frames = [_parts._prepared(p, meta, None) for p in (reference, other)]
    held = [f.index.get_level_values(0) for f in frames]
    ids = [pd.Index(h.unique()) for h in held]
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        stats = [_verdicts._Stats(f, i, meta, columns, m) for f, i, m in zip(frames, ids, means)]
        components = _verdicts._components(stats, meta, columns, measures, seen)
    units = np.concatenate([ids[0].get_indexer(held[0]), ids[1].get_indexer(held[1])
                            + len(ids[0])])
    codes = np.concatenate([times.get_indexer(f.index.get_level_values(1)) for f in frames])
    side = np.repeat([0, 1], [len(f) for f in frames])
    shifts = {}
    for column, state in states.items():
        values = np.concatenate([np.asarray(f[column], dtype=float) for f in frames])
        kept = ~np.isnan(values)
        shifts[column] = id_parts(state, units[kept], codes[kept], values[kept], side[kept])
    return ids, components, shifts


# -- Population --------------------------------------------------------------

def _population(panel, near, paired):
    """The population tables and their noise levels (see
    :func:`report._populations`) under nearest pairing."""
    names, columns = panel.names, panel.columns
    reference_times = _dr._sorted(_dr._joined([f["times"][0] for f in panel.facts[0]]).unique())
    union = _dr._joined([f["times"][1] for found in panel.facts for f in found]).unique()
    times = reference_times[reference_times.isin(union)]
    if len(paired) == 1:
        summaries = paired[0].summaries
    else:
        labels = near.labels(range(len(panel.pairs) + 1))
        summaries = [near.table(n, labels) for n in range(len(panel.pairs) + 1)]
    pooled, over_time, levels = {}, {}, {"columns": {}, "band": {}, "over_time": {}}
    for k, (name, pairs) in enumerate(zip(names[1:], panel.pairs)):
        facts = panel.facts[k]
        arranged = _levels(panel, near, k, reference_times)
        pooled[name] = []
        levels["columns"][name], levels["band"][name] = arranged[0], arranged[1]
        for column in columns:
            if column in panel.numeric:
                counts = [_dr._time_counts(facts, column, side) for side in (0, 1)]
                n = [np.r_[c.reindex(times, fill_value=0).to_numpy(), c.sum()] for c in counts]
                found = arranged[2].get(column)
                if found is not None:  # taken with the levels, over the reference's times
                    found = found[np.r_[reference_times.get_indexer(times), -1]]
                else:
                    found = _arr._ks(pairs, facts, panel.meta, column, times, *n)
            else:
                found = _dr._label_tables(facts, column, times)
            pooled[name].append(found[-1])
            over_time[(name, column)] = found[:-1]
            levels["over_time"][(name, column)] = arranged[3][column]
    over = _table(over_time, times)
    over.columns = pd.MultiIndex.from_tuples(list(over_time))
    population = {"columns": _table(pooled, pd.Index(columns)), "over_time": over,
                  "summaries": _summary_table(summaries, names)}
    each = pd.DataFrame(levels["over_time"], index=reference_times)
    each.columns = pd.MultiIndex.from_tuples(list(levels["over_time"]))
    entries = summaries[0].columns
    population["levels"] = {
        "columns": pd.DataFrame(levels["columns"], index=pd.Index(columns)),
        "band": pd.DataFrame(levels["band"], index=pd.Index(columns)),
        "over_time": each,
        "summaries": pd.DataFrame({name: [noise.ks_level(a, b) for a, b in zip(*[
            s[entries].notna().sum(axis=0).to_numpy() for s in (summaries[0], table)])]
            for name, table in zip(names[1:], summaries[1:])}, index=pd.Index(entries)),
        "ids": pd.Series([len(t) for t in near.tables[:len(names)]], index=list(names))}
    population["scores"] = pd.DataFrame(
        {"precision": [one.precision for one in paired],
         "coverage": [one.coverage_share for one in paired],
         "near_copies": [one.near_copies for one in paired]}, index=names[1:])
    return population


def _levels(panel, near, k, times):
    """The null levels of compared frame ``k``'s pooled divergence and band
    over time (rearrangements of whole ids between two samples, see
    :func:`noise.permutation_levels`), the plain statistics that the value
    ranges give on the way, and the levels at each time point (see
    :func:`noise._time_levels`)."""
    import dask
    facts, pairs = panel.facts[k], panel.pairs[k]
    tables = [near.tables[0], near.tables[k + 1]]
    units = (near.aligned(0, k), near.aligned(k + 1, k))
    sampled = _sampled_levels(panel, near, k, times) \
        if len(tables[0]) + len(tables[1]) > noise.SAMPLED else None
    pooled, band, plain, each = [], [], {}, {}
    for j, column in enumerate(panel.columns):
        is_label = column in panel.labelled
        sizes, totals = _arr._rows_per_time(facts, column, is_label, times)
        each[column] = _time_levels(facts, column, is_label, sizes, _label_order(
            panel, near, k, column) if is_label else None, times)
        if sampled is not None:
            pooled.append(sampled[0][j])
            band.append(sampled[1][j])
            continue
        present = [np.ones(len(t), dtype=bool) if is_label else
                   t[column + ":mean"].notna().to_numpy() for t in tables]
        last = np.flatnonzero(np.r_[present[0], present[1]])
        compared = np.zeros(last[-1] + 1 if len(last) else 0, dtype=bool)
        compared[len(tables[0]) + np.flatnonzero(present[1])] = True
        rows = int(sum(totals))
        if not rows or special.comb(len(compared), compared.sum()) * noise.ALPHA < 1:
            pooled.append(np.nan)
            band.append(np.nan)
            continue
        count = noise.REARRANGEMENTS if rows <= noise.LARGE else noise.FEWER
        packed = _permuted(compared, len(tables[0]), count)
        if is_label:
            labels = list(_arr._label_counts(facts, column).columns)
            second = sum(dask.compute(*[dask.delayed(_arr._arranged)(
                r, o, panel.meta, column, units, packed, times, count, labels)
                for r, o in pairs]))
            total = np.vstack([_arr._label_counts(facts, column, times).to_numpy(dtype=float),
                               _arr._label_counts(facts, column).to_numpy(dtype=float).sum(
                                   axis=0)])
            distance = _arr._label_distance(total, second)
        else:
            n2 = sum(dask.compute(*[dask.delayed(_arr._arranged)(
                r, o, panel.meta, column, units, packed, times, count, None)
                for r, o in pairs])).astype(np.int64)
            n = [np.r_[size, total] for size, total in zip(sizes, totals)]
            distance, plain[column] = _arr._ks_arranged(pairs, facts, panel.meta, column,
                                                       times, units, packed, count, n, n2)
        timed = distance[:, :-1][:, (sizes[0] + sizes[1]) > 0]
        pooled.append(noise.critical(distance[:, -1]))
        band.append(noise.critical(np.fmax.reduce(
            np.column_stack([np.zeros(count), timed]), axis=1)) if timed.shape[1] else np.nan)
    return pooled, band, plain, each


def _sampled_levels(panel, near, k, times):
    """Beyond :data:`noise.SAMPLED` ids of the two frames, each column's
    pooled and band levels as the pandas path draws them: from the
    rearrangements of the ids of smallest key of both frames, scaled to
    every id (see :func:`noise.arranged_levels`). One task gathers the
    sample's rows from every pair of partitions."""
    import dask
    named = [near.ids[0], near.ids[k + 1]]
    keys = np.r_[noise._keys(named[0], 0), noise._keys(named[1], 1)]
    cut = np.sort(keys)[noise.SAMPLED - 1]
    chosen = [keys[:len(named[0])] <= cut, keys[len(named[0]):] <= cut]
    aligned = [near.aligned(0, k)[chosen[0]], near.aligned(k + 1, k)[chosen[1]]]
    # Each sampled id as the partitions hold it -> as the report names it,
    # in the order of the tables (the pandas path's order of the ids).
    names = [pd.Series(n[c], index=a) for n, c, a in zip(named, chosen, aligned)]
    rows = [dask.delayed(_sampled_rows)(r, o, panel.meta, aligned) for r, o in panel.pairs[k]]
    return dask.compute(dask.delayed(_sampled_arranged)(
        rows, names, panel.meta, panel.columns, times, (len(named[0]), len(named[1])),
        (noise.REARRANGEMENTS, noise.FEWER)))[0]


def _sampled_rows(reference, other, meta, aligned):
    return tuple(_parts._prepared(p, meta, ids) for p, ids in zip((reference, other), aligned))


def _sampled_arranged(rows, names, meta, columns, times, sizes, counts):
    frames = []
    for side in (0, 1):
        frame = pd.concat([r[side] for r in rows])
        place = names[side].index.get_indexer(frame.index.get_level_values(0))
        frame.index = pd.MultiIndex.from_arrays(
            [names[side].to_numpy()[place], frame.index.get_level_values(1)],
            names=frame.index.names)
        frames.append(frame.iloc[np.argsort(place, kind="stable")])
    pooled, band, _ = noise.arranged_levels(frames[0], frames[1], columns,
                                            set(meta.categorical), False, times, sizes, counts)
    return pooled, band


def _permuted(compared, first, count):
    """The rearrangements of :class:`noise._Arrangements` of two samples of
    ids (``compared``: the units of the compared frame, from ``first``
    on), one row per unit, its ``count`` bits packed; the compared frame's
    units' bits inverted, since the rows of that frame read them flipped
    (see :func:`.dask_report._arranged`)."""
    state = np.random.RandomState(noise.SEED)
    units = len(compared)
    bits = np.empty((units, (count + 7) // 8), dtype=np.uint8)
    step = max(1, 4000000 // max(units, 1))
    for start in range(0, count, 8 * step):
        drawn = min(8 * step, count - start)
        rows = np.empty((drawn, units), dtype=bool)
        for row in rows:
            row[:] = state.permutation(compared)
        rows[:, first:] ^= True
        bits[:, start // 8:(start + drawn + 7) // 8] = np.packbits(rows.T, axis=1)
    return bits


def _label_order(panel, near, k, column):
    """A categorical column's labels (a missing one as its own label) in the
    order in which they first appear in the reference's rows, then in
    compared frame ``k``'s: the order in which rearrangements deal them."""
    facts = panel.facts[k]
    order = []
    for side in (0, 1):
        first = {}
        for f in facts:
            for label, (i, t) in f["labels"][column]["first"][side].items():
                key = (near.named(k, near.typed(k + 1, [i]))[0] if side else
                       near.typed(0, [i])[0], t)
                if label not in first or key < first[label]:
                    first[label] = key
        order += sorted((label for label in first if label not in order),
                        key=lambda label: first[label])
    return order


def _time_levels(facts, column, is_label, sizes, order, times):
    """Each time point's level of the divergence across ids: the exact
    critical value (numbers) or the deals of its labels' counts."""
    out = np.full(len(times), np.nan)
    counts = None
    if is_label:
        counts = _arr._label_counts(facts, column, times).reindex(columns=order, fill_value=0)
    for t in range(len(times)):
        n = (int(sizes[0][t]), int(sizes[1][t]))
        if min(n) == 0:
            continue
        if not is_label:
            out[t] = noise.ks_level(*n)
            continue
        if special.comb(sum(n), n[1]) * noise.ALPHA < 1:
            continue
        totals = counts.iloc[t].to_numpy().astype(np.int64)
        totals = totals[:np.flatnonzero(totals)[-1] + 1]
        codes = np.repeat(np.arange(len(totals)), totals)
        out[t] = noise.critical(noise._dealt_labels(codes, n[1], noise.REARRANGEMENTS,
                                                    np.random.RandomState(noise.SEED + t)))
    return out


# -- Pages -------------------------------------------------------------------

def _shown_rows(panel, near, paired, planned, frame_of_page):
    """The rows of every id that a drawn page shows, reference first, the
    compared ids renamed as in the tables; fetched in one pass."""
    wanted = [set() for _ in panel.names]
    for page in planned:
        if page.kind == "uncovered":
            wanted[0].update(page.ids)
            continue
        k = frame_of_page[page.number] - 1
        pairs = paired[k].pairs.set_index("id").loc[list(page.ids)]
        wanted[0].update(pairs["reference_id"])
        wanted[k + 1].update(near.own_pairs(k, pairs.reset_index())["id"])
    every = [i for ids in wanted for i in ids]
    found = _parts.rows_of(panel.frames, panel.meta, list(dict.fromkeys(every)))
    shown = []
    for n, (frame, ids) in enumerate(zip(found, wanted)):
        frame = frame[frame.index.get_level_values(0).isin(list(ids))]
        if n and len(panel.pairs) > 1:
            frame = frame.rename(index=lambda i, name=panel.names[n]: "{}: {}".format(
                name, i), level=0).sort_index()
        shown.append(frame)
    return shown
