"""The report's per-id tables from dask frames, partition by partition.

A panel too large for one process is read as two dask frames, the
reference and the compared frame. Their rows are first brought together by
id (*co-partitioned*): partition k of both frames then holds every row of
the same ids, and no id straddles two partitions.

- When both frames are indexed by the id with known, strictly increasing
  divisions (an id-sorted Parquet dataset read with its index, say), both
  take the reference's divisions, widened to cover the compared frame's ids:
  no shuffle.
- Otherwise the id becomes one type in both frames (text when one frame's
  ids are numbers and the other's are not; whole numbers as int64), and
  both are hash-shuffled on it into the same number of partitions, the
  larger of the two frames' counts. Each partition is sorted by (id, time)
  on its worker when it is measured.

Then each pair of aligned partitions is measured on a worker by the same
vectorised code as a whole pandas frame (``measures._computed``), and only
the tables (ids x cells) come back. What depends on the whole panel is
decided over every partition, never per partition:

- **the time rule** (whole periods, their step and origin, or rows): each
  partition reports its time kind, the smallest step and the greatest
  common divisor of its steps within ids, its earliest time and, for dates,
  whether they share a day of the month and a time of day; the caller
  decides the rule as the pandas path does over the whole frames and
  every partition counts lags in the same periods;
- **the number of null panels** of the calibration, from the number of ids
  of the whole table (one cheap pass counts them);
- **the calibration**: each partition simulates its ids' null panels
  (partition 0 from the pandas path's seed, partition k from that seed and
  k) and returns the null p-values with its tables; the caller pools them
  per cell over all partitions and sets each cell's p-value against the
  pool, as the pandas path does over its one panel;
- **the q-values** (:func:`benjamini_hochberg`, :func:`id_level_qvalues`)
  run in the caller on the gathered tables, in bounded memory.

The values, and the p-values without calibration, are those of the pandas
path to the last digit; calibrated p-values are equal for a single
partition and otherwise come from other draws of the same null model.

The partitions are computed on the current dask client (or dask's default
scheduler when there is none); no cluster is started here.
"""

import numpy as np
import pandas as pd

from . import calibration, inputs
from . import measures as _m
from .bounds import check_options
from .divergence import _sorted_union, round_significant

#: What a user without the optional libraries is told.
MISSING_EXTRA = ("the dask engine needs the dask extra: "
                 "pip install 'kestrune-series[dask]'")


def dask_dataframe():
    """``dask.dataframe``, or an ImportError that names the extra to install."""
    try:
        import dask.dataframe as dd
        import distributed  # noqa: F401 (part of the extra: the cluster)
    except ImportError as error:
        raise ImportError("{} ({})".format(MISSING_EXTRA, error)) from error
    return dd


def is_dask(frame):
    """Whether ``frame`` is a dask DataFrame (without importing dask)."""
    module = type(frame).__module__.split(".")[0]
    return module in ("dask", "dask_expr") and hasattr(frame, "npartitions")


def engine_of(frames, what="frames"):
    """``"dask"`` when every frame is a dask DataFrame, ``"pandas"`` when
    none is; a mix is refused."""
    kinds = [is_dask(frame) for frame in frames]
    if any(kinds) and not all(kinds):
        raise ValueError(
            "the {} mix pandas and dask frames ({}); pass all of them as "
            "dask frames (dask.dataframe.from_pandas) or all as pandas frames".format(
                what, ", ".join("dask" if k else type(f).__name__
                                for k, f in zip(kinds, frames))))
    return "dask" if kinds and all(kinds) else "pandas"


def measure_table(reference, other, meta, columns=None, ids=None,
                  measures=_m.MEASURES, max_lag=1, calibrated=True):
    """:func:`measures.measure_table` of two dask frames (see this module)."""
    dask_dataframe()
    import dask
    measures = _m._checked_measures(measures)
    max_lag = inputs.count("max_lag", max_lag)
    columns = list(meta.columns) if columns is None else list(columns)
    categorical = set(meta.categorical)
    check_options([], columns, categorical,
                  [m for m in measures if m != "dynamics"], max_lag)
    pairs = co_partitioned(reference, other, meta)
    wanted = None if ids is None else pd.Index(ids)
    facts = dask.compute(*[dask.delayed(_facts)(r, o, meta, wanted) for r, o in pairs])
    rule = _time_rule([f["time"] for f in facts])
    size = len(wanted) if wanted is not None else sum(f["ids"] for f in facts)
    count = calibration.panels(size) if calibrated else 0
    parts = dask.compute(*[
        dask.delayed(_tables)(r, o, meta, wanted, columns, measures, max_lag, rule,
                              count, number)
        for number, (r, o) in enumerate(pairs)])
    return _gathered(parts, wanted, calibrated)


def co_partitioned(reference, other, meta):
    """The aligned partitions of two dask frames: a list of (reference,
    other) pairs of delayed pandas frames that hold the same ids, every row
    of an id in one pair (see this module)."""
    dask_dataframe()
    frames = [_id_indexed(frame, meta) for frame in (reference, other)]
    if all(_sorted_by_id(frame) for frame in frames) and \
            frames[0].index.dtype == frames[1].index.dtype:
        first, second = (frame.divisions for frame in frames)
        divisions = list(first)
        try:
            divisions[0] = min(first[0], second[0])
            divisions[-1] = max(first[-1], second[-1])
        except TypeError:
            divisions = None
        if divisions is not None:
            frames = [frame.repartition(divisions=divisions, force=True)
                      for frame in frames]
            return list(zip(*(frame.to_delayed() for frame in frames)))
    # Hash-shuffled on the id, of one type in both frames.
    frames = [frame.reset_index() for frame in frames]
    kinds = {_id_kind(frame[meta.id_index].dtype) for frame in frames}
    kind = kinds.pop() if len(kinds) == 1 else "text"
    npartitions = max(frame.npartitions for frame in frames)
    shuffled = []
    for frame in frames:
        frame = frame.map_partitions(_bucketed, meta.id_index, kind, npartitions)
        shuffled.append(frame.shuffle("_bucket", npartitions=npartitions))
    return list(zip(*(frame.to_delayed() for frame in shuffled)))


def _id_indexed(frame, meta):
    """A dask frame with the id as its index where it already is, else as given."""
    names = [frame.index.name]
    if meta.id_index not in names and meta.id_index not in frame.columns:
        raise ValueError("the dask frame has no column or index {!r} (the id); "
                         "its columns are {}".format(meta.id_index, list(frame.columns)))
    if meta.time_index not in names and meta.time_index not in frame.columns:
        raise ValueError("the dask frame has no column or index {!r} (the time); "
                         "its columns are {}".format(meta.time_index, list(frame.columns)))
    return frame


def _sorted_by_id(frame):
    divisions = frame.divisions
    return (frame.known_divisions and frame.index.name is not None
            and all(a < b for a, b in zip(divisions[:-2], divisions[1:-1])))


def _id_kind(dtype):
    if pd.api.types.is_integer_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype):
        return "integer"
    if pd.api.types.is_float_dtype(dtype):
        return "float"
    if pd.api.types.is_datetime64_any_dtype(dtype):
        return "time"
    return "text"


def _bucketed(partition, id_index, kind, npartitions):
    """The partition with its ids of one type and the bucket of each row."""
    ids = partition[id_index]
    if kind == "integer":
        ids = ids.astype(np.int64)
    elif kind == "text":
        # One spelling of every id: numbers as pandas writes them as text.
        ids = pd.Series(np.asarray(ids.astype(str), dtype=object), index=ids.index,
                        name=id_index)
    hashed = pd.util.hash_pandas_object(ids, index=False).to_numpy()
    return partition.assign(**{id_index: ids,
                               "_bucket": (hashed % np.uint64(npartitions)).astype(np.int64)})


def _prepared(partition, meta, wanted):
    """A partition indexed by (id, time), sorted, with only the ``wanted`` ids."""
    if "_bucket" in partition.columns:
        partition = partition.drop(columns="_bucket")
    frame = meta.set_indices(partition)
    if wanted is not None:
        frame = frame[frame.index.get_level_values(0).isin(wanted)]
    return frame


def _facts(reference, other, meta, wanted):
    """What the whole panel's rules need from one pair of partitions."""
    reference, other = (_prepared(p, meta, wanted) for p in (reference, other))
    return {"ids": len(_sorted_union(reference, other)),
            "time": [_time_facts(frame) for frame in (reference, other)]}


def _time_facts(frame):
    """One partition's time kind, steps within ids and earliest time, in
    whole numbers (nanoseconds and months for dates)."""
    times = frame.index.get_level_values(1)
    ids = frame.index.get_level_values(0)
    facts = {"rows": len(times)}
    if isinstance(times, pd.DatetimeIndex):
        facts["kind"] = "date-tz" if times.tz is not None else "date"
        if times.tz is not None:
            times = times.tz_convert("UTC")
        facts["days"] = set(np.unique(times.day).tolist())
        facts["month_end"] = bool(times.is_month_end.all())
        facts["clocks"] = set(np.unique((times - times.normalize()).asi8)[:2].tolist())
        numbers = {"months": (times.year * 12 + times.month).to_numpy().astype(np.int64),
                   "instants": times.asi8.astype(np.int64)}
    elif isinstance(times, pd.PeriodIndex):
        facts["kind"] = "period-" + str(times.freqstr)
        numbers = {"instants": times.asi8.astype(np.int64)}
    elif pd.api.types.is_integer_dtype(times.dtype):
        facts["kind"] = "integer"
        numbers = {"instants": times.to_numpy().astype(np.int64)}
    else:
        facts["kind"] = "other"
        numbers = {}
    same = np.asarray(ids[1:] == ids[:-1]) if len(ids) > 1 else np.zeros(0, dtype=bool)
    for name, number in numbers.items():
        steps = np.diff(number)[same] if len(number) > 1 else np.zeros(0, dtype=np.int64)
        facts[name] = {
            "low": int(number.min()) if len(number) else None,
            "least": int(steps.min()) if len(steps) else None,
            "divisor": int(np.gcd.reduce(np.abs(steps))) if len(steps) else 0}
    return facts


def _time_rule(facts):
    """The pandas path's rule over the whole frames, from every partition's
    facts: (numbers, origin, step) or None (lags counted in rows)."""
    every = [f for pair in facts for f in pair if f["rows"]]
    kinds = {f["kind"] for f in every}
    if len(kinds) != 1 or "other" in kinds:
        return None
    kind = kinds.pop()
    numbers = "instants"
    if kind.startswith("date"):
        days = set().union(*(f["days"] for f in every))
        clocks = set().union(*(f["clocks"] for f in every))
        if (len(days) == 1 or all(f["month_end"] for f in every)) and len(clocks) == 1:
            numbers = "months"
    found = [f[numbers] for f in every]
    least = [f["least"] for f in found if f["least"] is not None]
    if not least or min(least) <= 0:
        return None
    step = min(least)
    if any(f["divisor"] % step for f in found):
        return None
    return numbers, min(f["low"] for f in found), step


def _periods_of(frame, rule):
    """The whole periods of a prepared partition's rows under ``rule``."""
    numbers, low, step = rule
    times = frame.index.get_level_values(1)
    if isinstance(times, pd.DatetimeIndex):
        if times.tz is not None:
            times = times.tz_convert("UTC")
        if numbers == "months":
            number = (times.year * 12 + times.month).to_numpy().astype(np.int64)
        else:
            number = times.asi8.astype(np.int64)
    elif isinstance(times, pd.PeriodIndex):
        number = times.asi8.astype(np.int64)
    else:
        number = times.to_numpy().astype(np.int64)
    return (number - low) // step


def _tables(reference, other, meta, wanted, columns, measures, max_lag, rule, count,
            number):
    """The raw tables of one pair of aligned partitions, with the null
    p-values of its ids' null panels when ``count`` panels are asked for."""
    reference, other = (_prepared(p, meta, wanted) for p in (reference, other))
    ids = _sorted_union(reference, other)
    categorical = set(meta.categorical)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        periods = (None, None) if rule is None else tuple(
            _periods_of(frame, rule) for frame in (reference, other))
        frames = (_m._Rows(reference, ids, periods[0]), _m._Rows(other, ids, periods[1]))
        lag = check_options([reference, other], columns, categorical, measures, max_lag,
                            cap=True) if len(ids) else max_lag
        cells, values, pvalues, pairs, model = _m._computed(
            frames, categorical, columns, measures, lag)
        null_p, null_pairs = {}, {}
        if count and len(ids) and cells:
            rng = np.random.default_rng(calibration.SEED if not number
                                        else [calibration.SEED, number])
            null = tuple(calibration._simulated(rows, which, frames, model, categorical,
                                                columns, count, rng)
                         for which, rows in enumerate(frames))
            null_cells, _, found, null_pairs, _ = _m._computed(
                null, categorical, columns, measures, lag)
            null_p = dict(zip(null_cells, found))
    return {"ids": ids, "cells": cells, "values": values, "pvalues": pvalues,
            "pairs": pairs, "null": null_p, "null_pairs": null_pairs}


def _gathered(parts, wanted, calibrated):
    """The (values, pvalues) tables of every partition's tables, calibrated
    against the null p-values pooled over the partitions."""
    parts = [part for part in parts if len(part["ids"])]
    cells = next((part["cells"] for part in parts), [])
    ids = _joined([part["ids"] for part in parts])
    values = [np.concatenate([part["values"][j] for part in parts])
              if parts else np.zeros(0) for j in range(len(cells))]
    pvalues = [np.concatenate([part["pvalues"][j] for part in parts])
               if parts else np.zeros(0) for j in range(len(cells))]
    if calibrated and parts and cells:
        pvalues = _calibrated(parts, cells, values, pvalues)
    index = pd.MultiIndex.from_tuples(cells, names=[None, None]) if cells \
        else pd.MultiIndex.from_arrays([[], []])

    def table(columns_of):
        data = np.column_stack(columns_of) if columns_of else np.empty((len(ids), 0))
        frame = pd.DataFrame(round_significant(data, out=data), index=ids, columns=index,
                             copy=False)
        if wanted is not None:
            return frame.reindex(wanted)
        try:
            return frame.sort_index()
        except TypeError:  # ids of types that do not compare
            return frame

    return table(values), table(pvalues)


def _joined(indexes):
    if not indexes:
        return pd.Index([])
    return indexes[0].append(indexes[1:])


def _calibrated(parts, cells, values, pvalues):
    """Each cell's p-values set against its null p-values pooled over the
    partitions (``calibration._against``); a column's dependence is the
    Sidak-corrected smallest of its pairs' calibrated p-values."""
    pairs = {}
    for pair in parts[0]["pairs"]:
        p = np.concatenate([part["pairs"][pair] for part in parts])
        null = np.concatenate([part["null_pairs"][pair] for part in parts
                               if pair in part["null_pairs"]] or [np.zeros(0)])
        pairs[pair] = calibration._against(p, null)
    partners = {}
    for (first, second), p in pairs.items():
        partners.setdefault(first, []).append(p)
        partners.setdefault(second, []).append(p)
    out = []
    for cell, value, p in zip(cells, values, pvalues):
        if cell[1] == "dependence":
            ps = np.array(partners[cell[0]])
            tested = ~np.isnan(ps)
            smallest = np.min(np.where(tested, ps, 2.0), axis=0)
            with np.errstate(invalid="ignore", divide="ignore"):
                p = np.where(tested.any(axis=0), _m._sidak(smallest, tested.sum(axis=0)),
                             np.nan)
        else:
            null = np.concatenate([part["null"][cell] for part in parts
                                   if cell in part["null"]] or [np.zeros(0)])
            p = calibration._against(p, null)
        out.append(np.where(np.isnan(value), np.nan, p))
    return out
