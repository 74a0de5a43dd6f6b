"""The checks of :func:`.inputs.read_panel` on dask frames.

Every refusal and warning of the pandas path is given on dask frames too,
with the same text, from the passes that run anyway: what only the frame's
columns tell is checked on the dask frame's empty meta; each pair of
aligned partitions, in the pass of facts, reports whether it holds rows
without an id or a time, its repeated (id, time) rows and what is wrong
with its number columns (the first few offending values with their (id,
time), and a hash of every one, to count them). The caller adds them up,
in the order in which the pandas path checks. Only where rows lack an id
or a time does one more pass, over the frame's ids and times as the
caller gave them, name the first by its row (the shuffle loses it).
"""

import numpy as np
import pandas as pd
from pandas.api import types

from . import inputs
from .bounds import check_ids


def check_columns(names, frames, meta, columns):
    """The frames' id, time and data columns checked on their dask meta
    (no data read); the columns compared."""
    empty = [frame._meta for frame in frames]
    for name, frame in zip(names, empty):
        inputs._check_frame(name, frame, meta)
    return inputs.chosen_columns(names, empty, meta, columns)


def check_gaps(name, meta, frame):
    """Refuse the rows without an id or a time of a dask frame that has
    some, as :func:`.inputs.prepare_frame` does: one pass over its ids and
    times."""
    import dask
    found = dask.compute(*[dask.delayed(_gaps)(part, meta)
                           for part in frame[_keys(frame, meta)].to_delayed()])
    for role, key in (("id", meta.id_index), ("time", meta.time_index)):
        count = sum(part[role][0] for part in found)
        if count:
            offset = 0
            for part in found:
                if part[role][0]:
                    raise ValueError(inputs.gap_message(name, role, key, count,
                                                        offset + part[role][1]))
                offset += part["rows"]
    raise ValueError("frame {!r} has rows without an id ({!r}) or a time ({!r})".format(
        name, meta.id_index, meta.time_index))


def _keys(frame, meta):
    return [c for c in (meta.id_index, meta.time_index) if c in frame.columns]


def _gaps(partition, meta):
    """A partition's rows, and per role the count and first position of its
    rows without that key."""
    out = {"rows": len(partition)}
    for role, key in (("id", meta.id_index), ("time", meta.time_index)):
        missing = np.flatnonzero(pd.isna(inputs._keys(partition, key)).to_numpy())
        out[role] = (len(missing), int(missing[0]) if len(missing) else None)
    return out


def has_gaps(frame):
    """Whether a prepared partition holds a row without an id or a time."""
    return any((codes < 0).any() for codes in frame.index.codes)


def pair_checks(frames, numeric):
    """What the checks need of a pair of prepared partitions, per side:
    whether a row lacks an id or a time (then nothing else), its repeated
    rows (how many, the first keys) and its number columns' facts."""
    out = []
    for frame in frames:
        if has_gaps(frame):
            out.append({"gaps": True})
            continue
        repeated = inputs.repeated_rows(frame).unique()
        out.append({"gaps": False, "repeated": (len(repeated), list(repeated[:inputs.SHOWN])),
                    "numbers": {c: _number_part(frame[c]) for c in numeric}})
    return out


def passed(checks):
    """Whether a pair's checks find nothing to refuse."""
    return not any(side["gaps"] or side["repeated"][0] or any(
        _fails(f) for f in side["numbers"].values()) for side in checks)


def _fails(facts):
    return facts["bool"] or facts["bad"] is not None or facts["huge"] is not None


def _number_part(values):
    """:func:`.inputs.number_facts` of a partition's column, with the (id,
    time) of the first offending values and a hash of each bad value."""
    facts = inputs.number_facts(values)
    if facts["bad"] is not None:
        rows = values[pd.to_numeric(values, errors="coerce").isna() & values.notna()]
        rows = rows[~rows.duplicated()]
        facts["bad"] = list(rows.iloc[:inputs.SHOWN])
        facts["keys"] = list(rows.index[:inputs.SHOWN])
        facts["hashes"] = pd.util.hash_pandas_object(rows, index=False).to_numpy()
    if facts["huge"] is not None:
        facts["key"] = values.index[facts.pop("at")]
    return facts


def _in_order(pairs):
    """(key, value) pairs sorted by key, as a prepared frame orders its rows
    (as found where the keys do not compare)."""
    try:
        return sorted(pairs, key=lambda pair: pair[0])
    except TypeError:
        return list(pairs)


def check_rows(names, meta, sides, held, frames):
    """The pandas path's refusals of rows without an id or a time, ids of
    True and False, repeated rows, and number columns that hold other than
    numbers, in its order.

    ``sides`` holds per frame the :func:`pair_checks` sides of its
    partitions, ``held`` its ids (gathered, as the id level of an empty
    frame), ``frames`` the dask frames.
    """
    for name, parts, frame in zip(names, sides, frames):
        if any(side["gaps"] for side in parts):
            check_gaps(name, meta, frame)
    checked = []
    for name, ids, frame in zip(names, held, frames):
        if types.is_bool_dtype(_id_dtype(frame, meta)):  # hashed as text by the shuffle
            checked.append((name, id_frame([t == "True" for t in ids.index.levels[0].astype(str)])))
        elif ids.index.levels[0].dtype == object:  # else no id is True or False
            checked.append((name, ids))
    check_ids([ids for _, ids in checked], [name for name, _ in checked])
    for name, parts in zip(names, sides):
        total = sum(side["repeated"][0] for side in parts)
        if total:
            keys = _in_order((key, key) for side in parts for key in side["repeated"][1])
            raise ValueError(inputs.repeated_message(
                name, meta, [key for key, _ in keys[:inputs.SHOWN]], total))
    for column in meta.continuous:
        for name, parts in zip(names, sides):
            found = [side["numbers"][column] for side in parts if column in side["numbers"]]
            if found:
                facts, total = _merged(found)
                inputs.check_number_facts(column, name, names[0], facts, total)


def _merged(found):
    """One frame's :func:`.inputs.number_facts` from its partitions', and
    how many distinct bad values it holds."""
    facts = {"bool": any(f["bool"] for f in found), "bad": None, "huge": None,
             "dtype": next((f["dtype"] for f in found if f["bad"] is not None), None)}
    bad = [f for f in found if f["bad"] is not None]
    if bad:
        first = {}
        for key, value in _in_order((k, v) for f in bad for k, v in zip(f["keys"], f["bad"])):
            first.setdefault(value, key)
        facts["bad"] = list(first)[:inputs.SHOWN]
        return facts, len(np.unique(np.concatenate([f["hashes"] for f in bad])))
    huge = _in_order((f["key"], f["huge"]) for f in found if f["huge"] is not None)
    if huge:
        facts["huge"] = huge[0][1]
    return facts, None


def _id_dtype(frame, meta):
    empty = frame._meta
    if meta.id_index in empty.columns:
        return empty[meta.id_index].dtype
    return empty.index.dtype


def check_times(names, meta, times, allow_disjoint):
    """The pandas path's refusal of times that do not compare or do not
    meet, and its warning of a small overlap, from each frame's time
    points."""
    fakes = [pd.DataFrame(index=pd.MultiIndex(
        levels=[[0], found], codes=[np.zeros(len(found), dtype=np.int64), np.arange(len(found))],
        names=[meta.id_index, meta.time_index], verify_integrity=False)) for found in times]
    inputs._check_times(names, fakes, allow_disjoint)


def id_frame(ids):
    """An empty frame whose id level holds ``ids``, as the checks of the
    pandas path read a prepared frame's ids."""
    return pd.DataFrame(index=pd.MultiIndex.from_arrays([ids, np.zeros(len(ids), dtype=np.int64)]))


def check_shared_ids(names, held, pairing):
    """The pandas path's refusal of a frame that shares no id with the
    reference (pairing ``"ids"``), and its warning of ids that would match
    once written alike, from each frame's ids (:func:`id_frame`). (Ids of
    different types are text on dask: none is converted.)"""
    if pairing != "nearest":
        inputs._matched_ids(names, held, refuse=pairing == "ids")
        inputs._warn_near_ids(names, held)
