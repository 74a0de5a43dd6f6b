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
  of the whole table, and **the largest lag** of ``dynamics``, lowered to
  the most rows of one id less one over the whole panel (one cheap pass
  counts them);
- **the reference panel's priors** of the ``dynamics`` and ``dependence``
  tests: a pass over every partition's columns returns each chunk's
  rounded estimates (``measures._prior_rows``), merged and fitted in the
  caller, so every partition tests against the same priors;
- **the categorical columns' null chains**: the same pass returns, per
  chunk and categorical column, its labels in order of first appearance
  with their rows, and per id its moves, changes and rows
  (``calibration.chain_sums``: a few numbers per id and column, never
  rows); the caller puts the ids in the pandas path's order and fits the
  whole panel's label codes, label shares, beta prior of the chance of a
  change and Dirichlet weight of the panel's shares
  (``calibration.whole_chains``), which every chunk then takes: it codes
  its labels as the whole panel does and draws each id's chain as the
  pandas path does;
- **the calibration**: each partition simulates its ids' null panels and
  returns the null p-values with its tables; the caller pools them per
  cell over all partitions and sets each cell's p-value against the pool,
  as the pandas path does over its one panel. An id's null draws are keyed
  by the id alone and its null model is its own fitted with the whole
  panel's constants (see :mod:`calibration`), so the pool is the pandas
  path's;
- **the q-values** (:func:`benjamini_hochberg`, :func:`id_level_qvalues`)
  run in the caller on the gathered tables, in bounded memory.

The values, and the p-values with or without calibration, are those of the
pandas path to the last digit (the Dirichlet weight of the categorical
chains adds the ids' distances from the panel's shares label by label over
the chunks, the same sum to rounding).

The partitions are computed on the current dask client (or dask's default
scheduler when there is none); no cluster is started here.
"""


import numpy as np
import pandas as pd

from . import calibration, dask_checks, inputs
from . import measures as _m
from .bounds import check_options, largest_lag
from .divergence import _sorted_union, round_significant

# Ids measured at once on a worker: its memory follows this many ids (about
# 300 MiB at 24 periods and 6 columns, with the calibration), whatever the
# size of its partitions.
CHUNK_IDS = 10000
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
    wanted = None if ids is None else pd.Index(ids)
    parts = measured_parts(reference, other, meta, columns, wanted, measures, max_lag,
                           calibrated)
    return _gathered(parts, wanted, calibrated)


def measured_parts(reference, other, meta, columns, wanted, measures, max_lag,
                   calibrated):
    """The tables of every pair of aligned partitions (see :func:`_tables`),
    computed on the workers, before they are gathered."""
    dask_dataframe()
    return run(measure_steps(reference, other, meta, columns, wanted, measures, max_lag,
                             calibrated))


def measure_steps(reference, other, meta, columns, wanted, measures, max_lag, calibrated,
                  pairs=None, facts=None):
    """:func:`measured_parts` as steps (see :func:`run`): it yields the
    tasks of each pass over the partitions and is sent their results.

    ``pairs`` are the frames' aligned partitions when the caller has them
    (the report's other steps read the same ones in the same passes), and
    ``facts`` what :func:`facts_of` found in each when the caller's first
    pass took them.
    """
    dask_dataframe()
    import dask
    measures = _m._checked_measures(measures)
    max_lag = inputs.count("max_lag", max_lag)
    columns = list(meta.columns) if columns is None else list(columns)
    categorical = set(meta.categorical)
    check_options([], columns, categorical,
                  [m for m in measures if m != "dynamics"], max_lag)
    names = ("reference", "other")
    for name, frame in zip(names, (reference, other)):
        inputs._check_frame(name, frame._meta, meta)
    # A first pass over the ids and times only (the other columns are not
    # read unless the caller's pairs hold them), then the columns compared.
    keys = pairs or co_partitioned(_projected(reference, meta, []),
                                   _projected(other, meta, []), meta)
    if facts is None:
        facts = yield [dask.delayed(_facts)(r, o, meta, wanted) for r, o in keys]
    for side, (name, frame) in enumerate(zip(names, (reference, other))):
        if any(f["gaps"][side] for f in facts):
            dask_checks.check_gaps(name, meta, frame)
    pairs = pairs or co_partitioned(_projected(reference, meta, columns),
                                    _projected(other, meta, columns), meta)
    rule = _time_rule([f["time"] for f in facts])
    # The largest lag that the whole panel's series allow (a chunk of short
    # series would lower it for its ids alone).
    if "dynamics" in measures:
        max_lag = min(max_lag, max([f["lag"] for f in facts] or [1]))
    size = len(wanted) if wanted is not None else sum(f["ids"] for f in facts)
    count = calibration.panels(size) if calibrated else 0
    del facts
    # The reference panel's priors (see measures.measure_table), from every
    # partition's estimates. The same pass gives the whole panel's label
    # codes and what the categorical columns' null chains need of it (see
    # calibration.whole_chains).
    labelled = [c for c in columns if c in categorical]
    found = yield [dask.delayed(_prior_rows)(r, o, meta, wanted, columns, measures, rule,
                                             labelled) for r, o in pairs]
    found = [chunk for chunks in found for chunk in chunks]
    priors = _m._fitted_priors(_m.merged_rows([rows for rows, _ in found]))
    chains = _whole_chains([sums for _, sums in found], labelled, wanted)
    del found
    tables = [dask.delayed(_tables)(r, o, meta, wanted, columns, measures, max_lag, rule,
                                    count, priors, chains)
              for r, o in pairs]
    if not count:
        parts = yield tables
        return [chunk for part in parts for chunk in part]
    # Calibrated on the workers: one task per cell (and per pair of
    # columns) gathers its p-values and null p-values from every partition
    # and sets them against the pool; only the calibrated p-values come
    # back, never the null p-values (two per id and cell). The tasks are
    # made for every cell and pair there could be; those beyond the
    # partitions' own give None.
    numeric = len([c for c in columns if c not in categorical])
    most_cells, most_pairs = len(columns) * len(measures), numeric * (numeric - 1) // 2
    parts, cells, couples = yield [
        [dask.delayed(_without_p)(t) for t in tables],
        [dask.delayed(_set_against)([dask.delayed(_piece)(t, "cells", j) for t in tables])
         for j in range(most_cells)],
        [dask.delayed(_set_against)([dask.delayed(_piece)(t, "pairs", j) for t in tables])
         for j in range(most_pairs)]]
    return _Calibrated([chunk for part in parts for chunk in part], cells,
                       dict(c for c in couples if c is not None))


def run(*steps):
    """Drive generators of passes over the partitions together: each yields
    a list of delayed tasks and is sent their results; the tasks that the
    generators yield at the same turn are computed at once, so the
    partitions they share are read (and shuffled) once. Returns each
    generator's value (one value for one generator)."""
    live, done = {}, {}
    for n, step in enumerate(steps):
        _advance(step, None, n, live, done, first=True)
    while live:
        found = _computed([tasks for _, tasks in live.values()])
        for n in list(live):
            step, _ = live.pop(n)
            # Only the generator holds its results (it may drop them).
            _advance(step, list(found.pop(0)), n, live, done)
    values = [done[n] for n in range(len(steps))]
    return values[0] if len(steps) == 1 else values


def _computed(tasks):
    """``dask.compute(*tasks)`` as a list (``tasks`` nests lists, tuples
    and dicts of delayed objects). On a dask client the results come back
    one task at a time, each as it is done, so that this process never
    holds their serialised and their read form whole at once."""
    import dask
    from dask.base import unpack_collections
    from .cluster import current_client
    client = current_client()
    if client is None:
        return list(dask.compute(*tasks))
    from distributed import as_completed
    # The distinct delayed objects, and how to put their results back.
    collections, repack = unpack_collections(*tasks, traverse=True)
    futures = client.compute(list(collections))
    place = {future.key: n for n, future in enumerate(futures)}
    results = [None] * len(futures)
    for future in as_completed(futures):
        results[place[future.key]] = _fetched(future)
        future.release()
    del futures
    return list(repack(results))


# Attempts at fetching the result of a finished task.
FETCHES = 5


def _fetched(future):
    """The result of ``future``. A task that finished but whose result
    could not be fetched is fetched again, a little later: a worker paused
    near its memory limit answers one transfer at a time, and distributed
    2022.2 fails the fetch it turns away rather than retry it."""
    import time
    for attempt in range(FETCHES):
        try:
            return future.result()
        except Exception:
            if future.status != "finished" or attempt == FETCHES - 1:
                raise
            time.sleep(0.5 * 2 ** attempt)


def _advance(step, results, n, live, done, first=False):
    try:
        tasks = next(step) if first else step.send(results)
    except StopIteration as stop:
        done[n] = stop.value
    else:
        live[n] = (step, tasks)


def rows_of(frames, meta, ids):
    """The rows of ``ids`` in each dask frame, as prepared pandas frames
    (indexed by id and time, sorted), all fetched in one pass.

    A frame indexed by the id with known divisions reads only the
    partitions whose range holds one of ``ids``; another is filtered
    partition by partition. Only the rows of ``ids`` reach this process.
    """
    dask_dataframe()
    import dask
    wanted = pd.Index(ids)
    tasks = []
    for frame in frames:
        _id_indexed(frame, meta)
        parts = frame.to_delayed()
        if _sorted_by_id(frame, meta):
            try:
                found = np.searchsorted(np.asarray(frame.divisions[1:-1]),
                                        np.asarray(wanted), side="right")
                parts = [parts[k] for k in sorted(set(found.tolist()))]
            except TypeError:  # ids that do not compare with the divisions
                pass
        tasks.append([dask.delayed(_only_ids)(part, meta, wanted) for part in parts])
    found = dask.compute(*tasks)
    return [meta.set_indices(pd.concat(list(parts))) if len(parts) else
            meta.set_indices(frame._meta) for parts, frame in zip(found, frames)]


def _only_ids(partition, meta, wanted):
    if partition.index.name == meta.id_index:
        return partition[partition.index.isin(wanted)]
    return partition[partition[meta.id_index].isin(wanted)]


def co_partitioned(reference, other, meta):
    """The aligned partitions of two dask frames: a list of (reference,
    other) pairs of delayed pandas frames that hold the same ids, every row
    of an id in one pair (see this module)."""
    dask_dataframe()
    frames = [_id_indexed(frame, meta) for frame in (reference, other)]
    if all(_sorted_by_id(frame, meta) for frame in frames) and \
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
    import dask
    # A scheduler of this process (synchronous, threads) shuffles by tasks:
    # newer dask shuffles through the workers whenever a client exists.
    local = dask.config.get("scheduler", None) in (
        "sync", "synchronous", "single-threaded", "threads", "threading", "processes",
        "multiprocessing")
    # (The key of dask 2022 is "shuffle"; newer dask declares its own.)
    key = "dataframe.shuffle.method" if isinstance(
        dask.config.get("dataframe.shuffle", None), dict) else "shuffle"
    with dask.config.set({key: "tasks"} if local else {}):
        shuffled = []
        for frame in frames:
            frame = frame.map_partitions(_bucketed, meta.id_index, kind, npartitions)
            shuffled.append(frame.shuffle("_bucket", npartitions=npartitions))
        return list(zip(*(frame.to_delayed() for frame in shuffled)))


def prepared_pairs(pairs, meta):
    """Aligned partitions (see :func:`co_partitioned`) prepared once each
    as tasks of their own: every task of a pass that reads them takes the
    prepared frames (see :func:`_prepared`)."""
    import dask
    return [tuple(dask.delayed(_prepared)(p, meta, None) for p in pair) for pair in pairs]


def _projected(frame, meta, columns):
    """The id, the time and ``columns`` of a dask frame (its index kept)."""
    _id_indexed(frame, meta)
    unknown = [c for c in columns if c not in frame.columns]
    if unknown:
        raise ValueError("columns {} are not columns of the dask frame; its columns "
                         "are {}".format(unknown, list(frame.columns)))
    keep = [c for c in [meta.id_index, meta.time_index] + list(columns)
            if c in frame.columns]
    return frame[keep]


def _id_indexed(frame, meta):
    """The dask frame, refused when it has no id or no time."""
    names = [frame.index.name]
    if meta.id_index not in names and meta.id_index not in frame.columns:
        raise ValueError("the dask frame has no column or index {!r} (the id); "
                         "its columns are {}".format(meta.id_index, list(frame.columns)))
    if meta.time_index not in names and meta.time_index not in frame.columns:
        raise ValueError("the dask frame has no column or index {!r} (the time); "
                         "its columns are {}".format(meta.time_index, list(frame.columns)))
    return frame


def _sorted_by_id(frame, meta):
    """Whether the frame is indexed by the id with known divisions, each
    id in one partition."""
    divisions = frame.divisions
    return (frame.index.name == meta.id_index and frame.known_divisions
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
        # One spelling of every id: numbers as pandas writes them as text; a
        # missing id stays missing, to be refused.
        text = np.asarray(ids.astype(str), dtype=object)
        text[ids.isna().to_numpy()] = np.nan
        ids = pd.Series(text, index=ids.index, name=id_index)
    hashed = pd.util.hash_pandas_object(ids, index=False).to_numpy()
    return partition.assign(**{id_index: ids,
                               "_bucket": (hashed % np.uint64(npartitions)).astype(np.int64)})


def _prepared(partition, meta, wanted):
    """A partition indexed by (id, time), sorted, with only the ``wanted``
    ids; a partition already prepared (a task of its own, which several
    tasks of one pass read) only keeps the ``wanted`` ids."""
    if list(partition.index.names) == [meta.id_index, meta.time_index] and \
            isinstance(partition.index, pd.MultiIndex):
        frame = partition
    else:
        if "_bucket" in partition.columns:
            partition = partition.drop(columns="_bucket")
        frame = meta.set_indices(partition)
    if wanted is not None:
        frame = frame[frame.index.get_level_values(0).isin(wanted)]
    return frame


def _facts(reference, other, meta, wanted):
    """What the whole panel's rules need from one pair of partitions."""
    every = [_prepared(p, meta, None) for p in (reference, other)]
    return facts_of(every, wanted)


def facts_of(every, wanted):
    """What the whole panel's rules need from one pair of prepared
    partitions: of the ``wanted`` ids (None for all), and the lag's bound
    over every id's rows, as the pandas path counts it; only which frame
    has rows without an id or a time where one has (refused by the
    caller)."""
    gaps = [dask_checks.has_gaps(frame) for frame in every]
    if any(gaps):
        return {"gaps": gaps}
    reference, other = every if wanted is None else [
        frame[frame.index.get_level_values(0).isin(wanted)] for frame in every]
    return {"ids": len(_sorted_union(reference, other)), "gaps": gaps,
            "time": [_time_facts(frame) for frame in (reference, other)],
            "lag": largest_lag(every)}


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


def _chunks(reference, other, meta, wanted):
    """The ids of a pair of aligned partitions and their rows, in steps of
    at most ``CHUNK_IDS`` ids."""
    reference, other = (_prepared(p, meta, wanted) for p in (reference, other))
    ids = _sorted_union(reference, other)
    codes = [ids.get_indexer(frame.index.get_level_values(0)) for frame in (reference, other)]
    for first in range(0, len(ids), CHUNK_IDS):
        chunk = [frame[(code >= first) & (code < first + CHUNK_IDS)]
                 for frame, code in zip((reference, other), codes)]
        yield ids[first:first + CHUNK_IDS], chunk[0], chunk[1]


def _prior_rows(reference, other, meta, wanted, columns, measures, rule, labelled=()):
    """``measures._prior_rows`` of each chunk of a pair of aligned
    partitions, with ``calibration.chain_sums`` of the ``labelled`` columns
    (and the chunk's ids): a list of (rows, sums) pairs."""
    numeric = [c for c in columns if c not in set(meta.categorical)]
    out = []
    for ids, reference_chunk, other_chunk in _chunks(reference, other, meta, wanted):
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            frames = _frames(reference_chunk, other_chunk, ids, rule)
            series = {c: [_m._Series(rows, rows.values(c), 1) for rows in frames]
                      for c in numeric}
            sums = {c: calibration.chain_sums(frames, c) for c in labelled}
            sums["ids"] = ids
            out.append((_m._prior_rows(frames, series, numeric, measures), sums))
    return out


def _whole_chains(sums, labelled, wanted):
    """``calibration.whole_chains`` of each ``labelled`` column from every
    chunk's sums: the ids in the order of the pandas path's tables (of
    ``wanted``, else sorted), and labels first seen by id value."""
    if not labelled or not sums:
        return {}
    ids = _joined([found["ids"] for found in sums])
    try:
        by_value = np.asarray(ids.argsort(), dtype=np.int64)
    except TypeError:  # ids of types that do not compare
        by_value = np.arange(len(ids))
    order = by_value if wanted is None else \
        np.argsort(wanted.get_indexer(ids), kind="stable")
    rank = np.empty(len(ids), dtype=np.int64)
    rank[by_value] = np.arange(len(ids))
    return {c: calibration.whole_chains([found[c] for found in sums], order,
                                        lambda found: rank[ids.get_indexer(found)])
            for c in labelled}


def _frames(reference, other, ids, rule):
    periods = (None, None) if rule is None else tuple(
        _periods_of(frame, rule) for frame in (reference, other))
    return _m._Rows(reference, ids, periods[0]), _m._Rows(other, ids, periods[1])


def _tables(reference, other, meta, wanted, columns, measures, max_lag, rule, count,
            priors=None, chains=None):
    """The raw tables of one pair of aligned partitions, with the null
    p-values of its ids' null panels when ``count`` panels are asked for
    (the categorical columns' chains with the whole panel's ``chains``):
    a list of tables of at most ``CHUNK_IDS`` ids each, so that a worker's
    memory follows that many ids however large its partitions."""
    return [_chunk_tables(reference_chunk, other_chunk, ids, meta, columns, measures,
                          max_lag, rule, count, priors, chains)
            for ids, reference_chunk, other_chunk in _chunks(reference, other, meta, wanted)]


def _chunk_tables(reference, other, ids, meta, columns, measures, max_lag, rule, count,
                  priors=None, chains=None):
    categorical = set(meta.categorical)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        frames = _frames(reference, other, ids, rule)
        lag = max_lag
        # Labels coded as over the whole panel: each id's tests add them up
        # in the pandas path's order, and the chains draw their codes.
        cells, values, pvalues, pairs, model = _m._computed(
            frames, categorical, columns, measures, lag, priors,
            {c: calibration.panel_codes(frames, c, chains[c]) for c in chains or {}})
        null_p, null_pairs = {}, {}
        if count and cells:
            null = tuple(calibration._simulated(rows, which, frames, model, categorical,
                                                columns, count, chains)
                         for which, rows in enumerate(frames))
            null_cells, _, found, null_pairs, _ = _m._computed(
                null, categorical, columns, measures, lag, model[3],
                calibration.null_labels(null, model[1]))
            null_p = dict(zip(null_cells, found))
    return {"ids": ids, "cells": cells, "values": values, "pvalues": pvalues,
            "pairs": pairs, "null": null_p, "null_pairs": null_pairs}


class _Calibrated(list):
    """Every partition's chunks, without their p-values, and the calibrated
    p-values of every id (in the chunks' order): ``cells``, per cell of
    the chunks (None for a dependence cell, which its pairs give, and
    beyond the cells), and ``pairs``, a pair of columns -> its p-values."""

    def __init__(self, chunks, cells, pairs):
        super().__init__(chunks)
        self.cells, self.pairs = [c if c is None else c[1] for c in cells], pairs


def _without_p(part):
    """One partition's chunks without their p-values and null p-values."""
    return [dict(chunk, pvalues=None, null=None, null_pairs=None,
                 pairs=dict.fromkeys(chunk["pairs"])) for chunk in part]


def _piece(part, kind, j):
    """Cell (``kind`` "cells") or pair ("pairs") ``j`` of one partition's
    chunks: (its name, its p-values, its null p-values); None beyond the
    chunks' own and for a dependence cell."""
    chunks = [chunk for chunk in part if len(chunk["ids"])]
    names = list(chunks[0][kind]) if chunks else []
    if j >= len(names) or kind == "cells" and names[j][1] == "dependence":
        return None
    name = names[j]
    if kind == "cells":
        p, null = [c["pvalues"][j] for c in chunks], [c["null"].get(name) for c in chunks]
    else:
        p, null = [c["pairs"][name] for c in chunks], [c["null_pairs"].get(name) for c in chunks]
    return name, np.concatenate(p), np.concatenate([n for n in null if n is not None]
                                                   or [np.zeros(0)])


def _set_against(pieces):
    """The calibrated p-values of one cell or pair over every partition's
    pieces (see :func:`_piece`), with its name; None where it is none."""
    pieces = [piece for piece in pieces if piece is not None]
    if not pieces:
        return None
    return pieces[0][0], calibration._against(np.concatenate([p for _, p, _ in pieces]),
                                              np.concatenate([n for _, _, n in pieces]))


def _gathered(parts, wanted, calibrated):
    """The (values, pvalues) tables of every partition's tables, calibrated
    against the null p-values pooled over the partitions."""
    every, parts = parts, [part for part in parts if len(part["ids"])]
    cells = next((part["cells"] for part in parts), [])
    ids = _joined([part["ids"] for part in parts])
    # Each cell's column joined and dropped from the parts at once: the
    # parts and the table are never both held whole.
    values = [_taken(parts, "values", j) for j in range(len(cells))]
    if isinstance(every, _Calibrated):
        pvalues = calibration.set_against(cells, values, every.cells[:len(cells)],
                                          every.pairs, None)
    else:
        pvalues = [_taken(parts, "pvalues", j) for j in range(len(cells))]
        if calibrated and parts and cells:
            pvalues = _calibrated(parts, cells, values, pvalues)
    index = pd.MultiIndex.from_tuples(cells, names=[None, None]) if cells \
        else pd.MultiIndex.from_arrays([[], []])

    def table(columns_of):
        data = np.empty((len(ids), len(columns_of)))
        for j in range(len(columns_of)):
            data[:, j], columns_of[j] = columns_of[j], None
        frame = pd.DataFrame(round_significant(data, out=data), index=ids, columns=index,
                             copy=False)
        if wanted is not None:
            return frame.reindex(wanted)
        try:
            return frame if frame.index.is_monotonic_increasing else frame.sort_index()
        except TypeError:  # ids of types that do not compare
            return frame

    return table(values), table(pvalues)


def _taken(parts, key, j):
    """Column ``j`` of every part's ``key`` arrays, joined; each part's
    array is dropped."""
    found = np.concatenate([part[key][j] for part in parts]) if parts else np.zeros(0)
    for part in parts:
        part[key][j] = None
    return found


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

    def null_of(cell):
        return np.concatenate([part["null"][cell] for part in parts
                               if cell in part["null"]] or [np.zeros(0)])
    return calibration.set_against(cells, values, pvalues, pairs, null_of)


def read_dataset(paths, id, time, categorical=(), columns=None):
    """Parquet datasets as dask frames, converted by the command line's rules.

    Each path is a folder (every ``.parquet`` or ``.pq`` file under it), a
    glob or one file, and makes one frame. The rules are those of
    ``kestrune-compare`` for its files, decided over every file and
    partition of every dataset in one pass (never from the first partition
    or from the types that dask infers from it):

    - the ids are numbers when every id of every dataset reads as one
      (whole numbers as int64, others as floats when they give back the
      digits written), else text;
    - the times are whole numbers when every time of the first dataset is
      one, else ISO dates (offsets converted to UTC and dropped);
    - a data column holds numbers (float64) when every value of every
      dataset reads as a number and it is not named in ``categorical``;
      otherwise it holds labels (text).

    Parameters
    ----------
    paths : sequence of str or os.PathLike
        The datasets, the reference first.
    id, time : str
        The id and time columns.
    categorical : sequence of str, optional
        Data columns that hold labels, even where they read as numbers.
    columns : sequence of str, optional
        The data columns to keep; every column by default.

    Returns
    -------
    frames : list of dask.dataframe.DataFrame
        The id, the time and the data columns as columns; a dataset of
        whole-number ids whose files (partitions) hold increasing, disjoint
        ranges of ids, as an id-sorted dataset does, is indexed by the id
        with those divisions instead, so that two such datasets are aligned
        without a shuffle.
    meta : kestrune.DataFrameMeta

    Raises
    ------
    ImportError
        Without the ``dask`` extra.
    ValueError
        For a path that matches no Parquet file, a file without the id, the
        time or one of ``columns``, an unknown categorical column, a
        missing id or time, or a time that does not convert.
    """
    dd = dask_dataframe()
    import dask
    from kestrune import DataFrameMeta
    files = [_parquet_files(path) for path in paths]
    names = _dataset_columns(files, id, time, columns)
    data = [c for c in names if c not in (id, time)]
    unknown = [c for c in categorical if c not in data]
    if unknown:
        raise ValueError("categorical: {} has no data column {}; its data columns are "
                         "{}".format(paths[0], unknown, data))
    frames = [dd.read_parquet(list(found), columns=names) for found in files]
    candidates = [c for c in data if c not in categorical]
    facts = dask.compute(*[
        dask.delayed(_text_facts)(part, id, time, candidates, number == 0, str(path))
        for number, (frame, path) in enumerate(zip(frames, paths))
        for part in frame.to_delayed()])
    ids = "int" if all(f["ids"] == "int" for f in facts) else \
        "float" if all(f["ids"] in ("int", "float") for f in facts) else "text"
    whole = all(f["whole"] for f in facts if f["first"])
    numbers = [c for c in candidates if all(f["numbers"][c] for f in facts)]
    labels = [c for c in data if c not in numbers]
    converted, start = [], 0
    for frame, path in zip(frames, paths):
        empty = _converted(frame._meta, id, time, ids, whole, numbers, labels)
        frame = frame.map_partitions(_converted, id, time, ids, whole, numbers, labels,
                                     str(path), meta=empty)
        ranges = [f["range"] for f in facts[start:start + frame.npartitions]]
        start += frame.npartitions
        converted.append(_by_id(frame, id, ranges) if ids == "int" else frame)
    return converted, DataFrameMeta(id, time, categorical=labels, continuous=numbers)


def _by_id(frame, id, ranges):
    """A dataset whose files hold increasing, disjoint ranges of whole-number
    ids, indexed by the id with those divisions (aligned later without a
    shuffle); any other dataset as it is."""
    if any(r is None for r in ranges) or any(
            a[1] >= b[0] for a, b in zip(ranges[:-1], ranges[1:])):
        return frame
    dd = dask_dataframe()
    divisions = [r[0] for r in ranges] + [ranges[-1][1]]
    import dask
    indexed = [dask.delayed(_indexed)(part, id) for part in frame.to_delayed()]
    return dd.from_delayed(indexed, meta=_indexed(frame._meta, id), divisions=divisions)


def _indexed(partition, id):
    return partition.set_index(id)


def _parquet_files(path):
    """The Parquet files of a folder, a glob or one file, sorted."""
    import glob
    import os
    path = os.fspath(path)
    if os.path.isdir(path):
        found = [os.path.join(root, name) for root, _, names in os.walk(path)
                 for name in names if name.lower().endswith((".parquet", ".pq"))]
    else:
        found = glob.glob(path) if glob.has_magic(path) else (
            [path] if os.path.isfile(path) else [])
    if not found:
        raise ValueError("{}: no Parquet file (a folder of .parquet or .pq files, a "
                         "glob or a file)".format(path))
    return sorted(found)


def _dataset_columns(files, id, time, columns):
    """The columns to read, checked in every file's schema."""
    import pyarrow.parquet
    wanted = None
    for found in files:
        for path in found:
            names = list(pyarrow.parquet.read_schema(path).names)
            for option, column in [("id", id), ("time", time)] + [
                    ("columns", c) for c in columns or []]:
                if column not in names:
                    raise ValueError("{}: no column {!r} ({}); its columns are {}".format(
                        path, column, option, names))
            if wanted is None:
                wanted = [id, time] + (list(columns) if columns is not None else
                                       [c for c in names if c not in (id, time)
                                        and not c.startswith("__index_level_")])
    return wanted


def _as_text(values):
    """A typed column as the command line reads it: text, NaN where missing."""
    from .files import _text_frame
    if values.dtype == object and pd.api.types.infer_dtype(values, skipna=True) in (
            "string", "empty"):
        return values.astype(object)
    return _text_frame(values.to_frame())[values.name]


def _text_facts(partition, id, time, candidates, first, path):
    """What the reading rules need from one partition (see files.py): the
    rule its ids alone give, whether its times alone are whole numbers,
    and which candidate columns hold numbers in it."""
    from . import files
    for column, option in ((id, "id"), (time, "time")):
        empty = partition[column].isna().to_numpy().nonzero()[0]
        if len(empty):
            raise ValueError("{}: column {!r} ({}) is empty in a row; every row needs "
                             "an id and a time".format(path, column, option))
    # Columns that Parquet types as numbers or dates decide without text.
    types = pd.api.types
    ids, times = partition[id], partition[time]
    whole_ids = types.is_signed_integer_dtype(ids.dtype)
    return {"ids": "int" if whole_ids else files.id_rule([_as_text(ids)]),
            "first": first,
            "whole": True if types.is_integer_dtype(times.dtype) and not
            types.is_bool_dtype(times.dtype) else False if
            types.is_datetime64_any_dtype(times.dtype) else
            files.time_rule([_as_text(times)]) == "whole",
            "numbers": {c: _numeric(partition[c]) or (files.is_number_column(
                _as_text(partition[c].iloc[:HEAD])) and files.is_number_column(
                _as_text(partition[c]))) for c in candidates},
            # The partition's range of whole-number ids, for the divisions.
            "range": (int(ids.min()), int(ids.max())) if whole_ids and len(ids) else None}


# The first values of a column of text that decide for all when one of
# them is not a number (labels, mostly), before every value is read.
HEAD = 1000


def _numeric(values):
    types = pd.api.types
    return types.is_numeric_dtype(values.dtype) and not types.is_bool_dtype(values.dtype)


def _converted(partition, id, time, ids, whole, numbers, labels, path=None):
    """One partition converted by the rules decided over every partition."""
    from . import files
    out = {id: _typed_ids(partition[id], ids), time: _typed_times(partition[time], whole)}
    if out[id] is None:
        out[id] = files.as_ids(_as_text(partition[id]), ids)
    if out[time] is None:
        out[time] = files.as_times(_as_text(partition[time]).reset_index(drop=True),
                                   "whole" if whole else "dates", path, time).to_numpy()
    for column in numbers:
        values = partition[column]
        out[column] = values.astype(float) if pd.api.types.is_numeric_dtype(values.dtype) \
            and not pd.api.types.is_bool_dtype(values.dtype) else \
            files.as_numbers(_as_text(values))
    for column in labels:
        out[column] = _as_text(partition[column])
    # By position: a column read as text comes back on an index of its own,
    # and a partition's index need not start at 0 (files that store one).
    out = {k: v.set_axis(partition.index) if isinstance(v, pd.Series) and not
           v.index.equals(partition.index) else v for k, v in out.items()}
    return pd.DataFrame(out, index=partition.index, columns=list(partition.columns))


# Columns that Parquet already types as the rules decide need no text: the
# same values, without writing and reading each one.

def _typed_ids(values, rule):
    """The ids as the rule reads them, where their type gives them; else None."""
    types = pd.api.types
    if types.is_bool_dtype(values.dtype):
        return None
    if rule == "int" and types.is_integer_dtype(values.dtype):
        return values.astype(np.int64)
    if rule == "float" and types.is_float_dtype(values.dtype):
        return values.astype(float)
    return None


def _typed_times(values, whole):
    """Whole-number or date times as the rule reads them, where their type
    gives them (dates with an offset in UTC, without it); else None."""
    types = pd.api.types
    if whole and types.is_integer_dtype(values.dtype) and not types.is_bool_dtype(values.dtype):
        return values.to_numpy().astype(np.int64)
    if not whole and types.is_datetime64_any_dtype(values.dtype):
        if getattr(values.dt, "tz", None) is not None:
            values = values.dt.tz_convert("UTC").dt.tz_localize(None)
        return values.to_numpy(dtype="datetime64[ns]")
    return None
