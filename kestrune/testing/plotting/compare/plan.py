"""The page plan: the ids in report order, cut into pages.

The plan owns every ordering of the report: ids sorted (:func:`sort_ids`),
ranked (:func:`order_ids`), pairs ranked (:func:`pairs_first`), and the
pages of a whole report (:func:`plan_report`). The plan is plain data
(tuples of ids and numbers), so it can be sent to worker processes as it is.
"""

import collections

import numpy as np
import pandas as pd


Page = collections.namedtuple("Page", "number ids first last total heading kind")
Page.__doc__ = """One page of the report.

number : int, from 1.
ids : tuple of the ids drawn on the page, left to right (under nearest
    pairing: the compared ids of a page of pairs, the reference ids of a
    page of uncovered ids).
first, last : int, ranks (from 1) of the first and the last id of the page
    among the ids of its kind.
total : int, the number of ids of its kind.
heading : str, the line at the top of the page; on a page of pairs a
    second line (after a newline) says which compared ids are near-copies
    and how realistic each is.
kind : "ids" (each id in every frame that holds it), "pairs" (each compared
    id beside its nearest reference id) or "uncovered" (reference ids that
    no compared id resembles, drawn alone).
"""

_WHY = {"evidence": "ranked by evidence", "divergence": "ranked by divergence",
        "id": "sorted by id", "given": "in the given order"}
# What a page of each kind draws, one and several.
_NOUNS = {"ids": ("id", "ids"), "pairs": ("pair", "pairs"),
          "uncovered": ("uncovered reference id", "uncovered reference ids")}


def sort_ids(ids):
    """Ids in ascending order; by their text where their types do not compare."""
    ids = list(ids)
    try:
        return sorted(ids)
    except TypeError:
        return sorted(ids, key=lambda value: (type(value).__name__, str(value)))


def plan_report(panel, divergence, order, ids_per_page, pages=None, given=None,
                qvalues=None, paired=None):
    """The ids of a report in the order of its pages, and the pages.

    Under id pairing the ids in the ``order`` of :func:`order_ids`, cut
    into pages by :func:`plan_pages`. Under nearest pairing (``paired``,
    one pairing per compared frame) each compared frame's ids by
    :func:`pairs_first`, then the reference ids that none of them resembles,
    each on pages of their own.

    Returns
    -------
    ordered : list
        The ids of the report's tables, in order.
    planned : list of Page
    frame_of_page : dict
        Under nearest pairing, the number (from 1) of the compared frame
        that each page draws; empty otherwise.

    """
    ordered = order_ids(panel, divergence, order, given=given, qvalues=qvalues)
    if paired is None:
        return ordered, plan_pages(ordered, ids_per_page, order, pages), {}
    planned, placed, frame_of_page = [], [], {}
    several = len(paired) > 1
    for number, one in enumerate(paired, 1):
        mine = set(one.pairs["id"])
        ranked = pairs_first([i for i in ordered if i in mine], one.pairs)
        placed += ranked
        name = "{}: ".format(panel.names[number]) if several else ""
        uncovered = list(one.coverage.loc[~one.coverage["covered"].astype(bool),
                                          "reference_id"])
        for kind, shown, why in (
                ("pairs", ranked, name + "near-copies, then the least realistic first"),
                ("uncovered", uncovered, "no id of {!r} resembles them".format(
                    panel.names[number]) if several else "no compared id resembles them")):
            made = [_marked(page, one.pairs) for page in plan_pages(
                shown, ids_per_page, why, pages, kind=kind,
                first_number=len(planned) + 1,
                notes=pair_notes(one.pairs) if kind == "pairs" else None)]
            frame_of_page.update((page.number, number) for page in made)
            planned += made
    return placed, planned, frame_of_page


def pairs_first(ordered, pairs):
    """Near-copies first (closest first), then the compared ids of realism
    above 1 (least realistic first), then the others as ``ordered`` has them."""
    rank = {i: n for n, i in enumerate(ordered)}
    table = pairs.set_index("id")
    copies = table[table["near_copy"].astype(bool)]
    unreal = table[~table["near_copy"].astype(bool) & (table["realism"] > 1)]
    first = sorted(copies.index, key=lambda i: (copies.at[i, "distance"], rank[i]))
    then = sorted(unreal.index, key=lambda i: (-unreal.at[i, "realism"], rank[i]))
    placed = set(first) | set(then)
    return first + then + [i for i in ordered if i not in placed]


def pair_notes(pairs):
    """What a page of pairs says of each compared id: near-copy or not, and
    its realism (at most 1: inside the reference population)."""
    return {i: "{}: {}realism {:.2f}".format(i, "near-copy, " if copy else "", realism)
            for i, copy, realism in zip(pairs["id"], pairs["near_copy"].astype(bool),
                                        pairs["realism"])}


def _marked(page, pairs):
    """A page of pairs whose heading says how many of its ids are near-copies."""
    if page.kind != "pairs":
        return page
    copies = int(pairs.set_index("id").loc[list(page.ids), "near_copy"].astype(bool).sum())
    if not copies:
        return page
    # On the heading's first line, before the notes on each pair.
    first, newline, notes = page.heading.partition("\n")
    return page._replace(heading="{}; near-copies: {} of {} on this page{}{}".format(
        first, copies, len(page.ids), newline, notes))


def order_ids(panel, divergence, order, given=None, qvalues=None):
    """The ids of the report in the order of the pages.

    Parameters
    ----------
    panel : Panel
        The checked input (its ids, their first appearance, the missing ids).
    divergence : pandas.DataFrame
        Largest divergence per id (index) and column.
    order : {"evidence", "divergence", "id", "given"}
        ``"evidence"``: ids that some frame lacks first, in id order, then
        the id with the smallest q-value over its cells first, ties by the
        largest divergence, then by id (ids without a q-value after those
        with one); ``"divergence"``: the lacking ids first, then the id
        whose largest divergence over its columns is largest, ties by id;
        ``"id"``: sorted; ``"given"``: as in ``given`` (the ids the caller
        named), else by first appearance, the first frame first.
    given : sequence, optional
        The ids as the caller named them.
    qvalues : pandas.DataFrame, optional
        The q-value per id (index) and cell; needed by ``"evidence"``.

    Returns
    -------
    list

    """
    ids = list(panel.ids)
    if order == "id":
        return sort_ids(ids)
    if order == "given":
        if given is not None:
            return list(given)
        wanted = set(ids)
        return [i for i in panel.first_seen if i in wanted]
    lacking = set()
    for missing in panel.missing.values():
        lacking.update(missing)
    first = sort_ids(lacking)
    rest = sort_ids(i for i in ids if i not in lacking)
    # Each id's largest number (an id without any ranks below every id with
    # one) and smallest q-value, from the tables as they are: a row's
    # reduction, never a copy of the table.
    score = _of_ids(np.fmax.reduce(divergence.to_numpy(dtype=float), axis=1, initial=-1.0),
                    divergence.index, rest)
    keys = [np.arange(len(rest)), -score]  # the last key sorts first
    if order == "evidence":
        keys.append(_of_ids(np.fmin.reduce(qvalues.to_numpy(dtype=float), axis=1, initial=2.0),
                            qvalues.index, rest))
    ranked = np.lexsort(keys)
    return first + [rest[n] for n in ranked]


def _of_ids(values, index, ids):
    """``values`` (one per entry of ``index``) of ``ids``, in their order."""
    if index.equals(pd.Index(ids)):
        return values
    return pd.Series(values, index=index).loc[ids].to_numpy()


def plan_pages(ordered, ids_per_page, why, pages=None, kind="ids", first_number=1,
               notes=None):
    """Cut the ordered ids into pages of at most ``ids_per_page``.

    Only the first ``pages`` pages are planned (all when None); the
    headings count every id. ``why`` says how the ids are ordered (an
    order of :func:`order_ids`, or the text itself); pages are numbered
    from ``first_number``. ``notes`` maps ids to a few words each; a page
    whose ids have some gets them as a second line of its heading.

    Returns
    -------
    list of Page

    """
    why = _WHY.get(why, why)
    one, several = _NOUNS[kind]
    total = len(ordered)
    shown = total if pages is None else min(total, pages * ids_per_page)
    planned = []
    for number, start in enumerate(range(0, shown, ids_per_page), first_number):
        ids = tuple(ordered[start:start + ids_per_page])
        first, last = start + 1, start + len(ids)
        span = ("{} {}".format(one, first) if first == last
                else "{} {}-{}".format(several, first, last))
        heading = "{} of {}, {}".format(span, total, why)
        said = [notes[i] for i in ids if notes and i in notes]
        if said:
            heading += "\n" + "; ".join(said)
        planned.append(Page(number, ids, first, last, total, heading, kind))
    return planned
