"""The comparison report: what ``compare_panels`` returns."""

import base64
import html
import warnings

import numpy as np
import pandas as pd

from . import ORDERS
from .inputs import count, missing_message, read_panel
from .bounds import check_ids, check_options
from .measures import MEASURES, _checked_measures, _measured, id_level_qvalues
from .pairing import NearCopyWarning, _pair, _population, near_copy_message
from .scores import identical_ids, identical_message, score_table
from .plan import _WHY, pair_notes, plan_report  # noqa: F401 (pair_notes: its old home)
from . import noise, render, sinks, verdicts as _verdicts


# Pages a notebook shows inline after the overview.
INLINE_PAGES = 3
# Pages drawn by default: the worst ids of a large panel are what is read.
PAGES = 25
#: How the rows of the compared frames meet the reference's.
PAIRINGS = ("auto", "ids", "nearest")


class MissingIdsWarning(UserWarning):
    """Some frames lack some of the report's ids (see ``Report.missing``)."""


def compare_panels(frames, meta=None, *, id_index=None, time_index=None,
                   names=None, columns=None, ids=None, ids_per_page=4,
                   order="evidence", measures=MEASURES, max_lag=1,
                   pages=PAGES, pairing="auto", share_setting=None, jobs=1,
                   executor=None, progress=None, holdout=None,
                   allow_disjoint_times=False):
    """Compare panel frames with a reference frame, id by id and column by column.

    The first frame is the reference; every other frame is compared with
    it: each id and column by the measures of :func:`measure_table`, with
    q-values over ids (see :class:`Report`). The report ranks the ids by that
    evidence and draws the first pages, a few ids each, as
    ``plot_multi_index_dataframes`` draws its cells, after an overview heat
    map of the worst ids' cells.

    The steps: read and check the frames (:func:`~.inputs.read_panel`), pair
    the ids (under nearest pairing), measure each compared frame, combine the
    p-values (:func:`combined_pvalues`), plan the pages
    (:func:`~.plan.plan_report`), and build the :class:`Report`.

    Parameters
    ----------
    frames : sequence of pandas.DataFrame or mapping of str to DataFrame
        The frames, the reference first, with the id and the time as index
        levels or columns (as :meth:`DataFrameMeta.set_indices` takes them).
        A mapping names the frames by its keys. Dask frames (all of them,
        not a mix) are compared on the current dask client without bringing
        them into this process (see :mod:`.dask_report` and
        :mod:`.dask_nearest`; ``order="given"`` without ``ids`` sorts them).
    meta : kestrune.DataFrameMeta, optional
        Description of every frame; by default inferred from the first
        frame with :meth:`DataFrameMeta.from_frame` (then ``id_index`` and
        ``time_index`` are needed).
    id_index, time_index : str, optional
        Names of the id and the time, when ``meta`` is not given.
    names : sequence of str, optional
        One name per frame of a sequence; by default "frame 1", "frame 2"...
    columns : sequence of str, optional
        Data columns to compare and draw, one row each, in this order;
        by default every data column in the frame's order.
    ids : sequence, optional
        The ids of the report; by default every id of any frame.
    ids_per_page : int, optional
        Most ids on one page.
    order : {"evidence", "divergence", "id", "given"}, optional
        Order of the ids: ids that some frame lacks first, then the
        smallest q-value over the id's cells first, ties by the largest
        divergence, then by id (``"evidence"``); ids that some frame lacks
        first, then the largest divergence first, ties by id
        (``"divergence"``); sorted; or as in ``ids`` (else by first
        appearance in the first frame, as passed).
    measures, max_lag : optional
        As for :func:`measure_table`.
    pages : int, "all" or None, optional
        Draw only the first ``pages`` pages in the report's order (the
        worst ids); "all" (or None) draws a page for every id. The tables and the
        overview keep every id either way. Under nearest pairing the pages
        of pairs and the pages of uncovered reference ids count apart.
    pairing : {"auto", "ids", "nearest"}, optional
        How the compared frames' rows meet the reference's. ``"ids"``: the
        rows of an id against the rows of the same id. ``"nearest"`` (no
        ``ids``): each compared id against the reference id whose summary
        (see :func:`id_summaries`) is nearest, each compared frame on its
        own (with several, a compared id is written ``"<frame>: <id>"``);
        the p-values are NaN there, since pairs chosen for looking alike
        would bias any test, and ``order="evidence"`` ranks the pairs by the
        statistics of the verdicts (see :func:`verdict_table`); the pairs,
        coverage and scores are in the :class:`Report`. ``"auto"``: by id
        when every compared frame holds at least half of the reference's
        ids (or ``ids`` are given), otherwise nearest.
    share_setting : ShareSetting, optional
        How the ids of a row share cells and axes, as for the driver. By
        default ``ShareSetting.AXES``, except on a continuous row of a page
        where some id's values span less than a quarter of what the page's
        ids span together (firms of very different sizes, say): there each
        id gets its own y axis, so that no line is drawn flat. Passing
        ``ShareSetting.AXES`` shares the y axis on every row.
    jobs : int, optional
        Worker processes that draw the pages; 1 draws them in this process.
        The workers are started from a fork server (spawned where there is
        none) and import the caller's main module, so a script that passes
        ``jobs`` keeps its own work under ``if __name__ == "__main__":``.
    executor : concurrent.futures.Executor, optional
        A process-based executor to draw the pages with instead, such as a
        dask ``Client.get_executor()``. A thread pool is refused.
    progress : bool or Progress, optional
        Show a progress bar over the pages; by default on when standard
        error is a terminal (or in a notebook) and there are three pages or
        more. A :class:`~kestrune.testing.plotting.compare.progress.Progress`
        reports every phase (pairing, measures, pages) instead.
    holdout : pandas.DataFrame or dask.dataframe.DataFrame, optional
        Under nearest pairing, real ids that the generator never saw, with
        the reference's columns (checked and read like the reference): the
        yardstick of every score is then the holdout scored against the
        reference (see ``Report.scores``); without one, half of the
        reference ids scored against the other half. Refused under id
        pairing. A dask frame where the frames are.
    allow_disjoint_times : bool, optional
        Compare frames that share no time point with the reference; by
        default they are refused as misaligned.

    Returns
    -------
    Report

    Raises
    ------
    ValueError
        For bad input, listing what would be valid: bad frames (see
        :func:`~.inputs.read_panel`), an unknown order, measure or pairing,
        counts below 1, a ``max_lag`` beyond the most rows of one id less
        one, ``measures`` that leave no cell, a thread pool as
        ``executor``, nearest pairing with ``ids``, a ``holdout`` under id
        pairing or unlike the reference.

    Warns
    -----
    MissingIdsWarning
        Under id pairing, once, naming each frame that lacks some ids and
        those ids (the first ten).
    NearCopyWarning
        Under nearest pairing, once per compared frame, counting the
        near-copies (see ``Report.scores``) and naming the first ten; under
        id pairing, once per compared frame that holds ids whose series
        equal the reference's (every time and value), naming them.
    IdTypeWarning, IdSpellingWarning, TimeOverlapWarning
        Of ids that match the reference's only as text (converted) or only
        once written alike, and of times that overlap little; see
        :func:`~.inputs.read_panel`.

    Examples
    --------
    >>> report = compare_panels({"original": original, "synthetic": synthetic},
    ...                         id_index="store", time_index="date")  # doctest: +SKIP
    >>> report.save("report.pdf")  # doctest: +SKIP

    """
    ids_per_page, jobs, max_lag, pages, measures, share_setting, own_scales = _options(
        order, ids_per_page, jobs, max_lag, pages, measures, executor,
        share_setting, pairing)
    if _engine(frames) == "dask":
        from .dask_report import compare_report
        return compare_report(frames, meta, id_index, time_index, names, columns, ids,
                              order, ids_per_page, pages, measures, max_lag, pairing,
                              share_setting, jobs, executor, progress, holdout, own_scales,
                              allow_disjoint_times)
    panel = _read(frames, meta, id_index, time_index, names, columns, ids, pairing,
                  allow_disjoint_times, measures, max_lag)
    held_out = _holdout(panel, holdout)
    panel, paired, references = _paired(panel, held_out, progress)
    verdicts = _verdicts_of(panel, paired, measures)
    divergences, largest, pvalue, qvalue = _measure(
        panel, references, paired is not None, measures, max_lag, progress)
    evidence = qvalue if paired is None or order != "evidence" else \
        _pair_evidence(panel, paired, verdicts, measures, largest.index)
    ordered, planned, frame_of_page = plan_report(
        panel, largest, order, ids_per_page, pages, None if ids is None else list(ids),
        evidence, paired)
    population = _populations(panel, paired)
    scored = None if paired is None else score_table([one.scores for one in paired])
    return Report(panel, divergences, largest.reindex(ordered),
                  pvalue.reindex(ordered), qvalue.reindex(ordered), planned,
                  order, share_setting.name, jobs, executor, progress, paired,
                  population, verdicts, scored, frame_of_page, own_scales)


def _options(order, ids_per_page, jobs, max_lag, pages, measures, executor,
             share_setting, pairing):
    """The options of :func:`compare_panels` checked: the counts as ints,
    ``pages`` None for all, the measures as a tuple, the share setting a
    member, and whether the pages choose their own scales."""
    if order not in ORDERS:
        raise ValueError("order must be one of {}, got {!r}".format(
            list(ORDERS), order))
    ids_per_page = count("ids_per_page", ids_per_page)
    jobs = count("jobs", jobs)
    max_lag = count("max_lag", max_lag)
    if isinstance(pages, str) and pages == "all":
        pages = None
    if pages is not None:
        pages = count("pages", pages)
    measures = _checked_measures(measures)
    render.check_executor(executor)
    series = _series()
    own_scales = share_setting is None
    if share_setting is None:
        share_setting = series.ShareSetting.AXES
    if not isinstance(share_setting, series.ShareSetting):
        raise ValueError("share_setting must be a ShareSetting member; valid "
                         "are {}".format([m.name for m in series.ShareSetting]))
    if pairing not in PAIRINGS:
        raise ValueError("pairing must be one of {}, got {!r}".format(
            list(PAIRINGS), pairing))
    return ids_per_page, jobs, max_lag, pages, measures, share_setting, own_scales


def _read(frames, meta, id_index, time_index, names, columns, ids, pairing,
          allow_disjoint_times, measures, max_lag):
    """The checked panel (:func:`read_panel`), the options checked against
    it; warns once of the ids that some frames lack."""
    panel = read_panel(frames, meta, id_index, time_index, names, columns, ids,
                       pairing, allow_disjoint_times)
    check_options(panel.frames, panel.columns, panel.meta.categorical, measures,
                  max_lag)
    if panel.pairing == "nearest":
        check_ids(panel.frames, panel.names, nearest=True)
    if panel.missing:
        warnings.warn(missing_message(panel.missing), MissingIdsWarning,
                      stacklevel=3)
    return panel


def _paired(panel, held_out, progress):
    """Under nearest pairing, each compared frame paired with the reference
    on its own: the panel (its compared ids prefixed by their frame where
    several), the pairings, and per compared frame the reference's rows of
    each compared id's nearest reference id, under the compared id (the
    measures then compare each pair). Under id pairing the panel, None and
    the reference once per compared frame. Warns of near-copies."""
    if panel.pairing != "nearest":
        for name, frame in zip(panel.names[1:], panel.frames[1:]):
            copies = identical_ids(panel.frames[0], frame, same_id=True)
            message = identical_message(name, [i for i in copies if i in panel.ids])
            if message:
                warnings.warn(message, NearCopyWarning, stacklevel=3)
        return panel, None, [panel.frames[0]] * (len(panel.frames) - 1)
    _phase(progress, "pairing")
    panel = _prefixed(panel)
    paired = [_pair(panel.frames[0], frame, panel.meta, panel.columns, name, held_out)
              for name, frame in zip(panel.names[1:], panel.frames[1:])]
    for one in paired:
        message = near_copy_message(one.pairs, one.scores["copy_test"])
        if message:
            warnings.warn(message, NearCopyWarning, stacklevel=3)
    return panel, paired, [_paired_rows(panel.frames[0], one.pairs) for one in paired]


def _verdicts_of(panel, paired, measures):
    """The verdict table of every compared frame against the reference."""
    rows = []
    for name, frame in zip(panel.names[1:], panel.frames[1:]):
        rows += _verdicts._verdicts(
            panel.frames[0], frame, panel.meta, panel.columns,
            None if paired is not None else panel.ids, measures, name,
            panel.pairing)
    return _verdicts._finished(rows)


def _measure(panel, references, pairs, measures, max_lag, progress, measured=None):
    """The measures of each compared frame against its reference rows.

    Returns the tables of each compared frame (by name), the largest value
    of each cell over them, and the combined p-values and q-values (see
    :func:`combined_pvalues`). With ``pairs`` (nearest pairing) the
    p-values are NaN: pairs chosen for looking alike would bias any test.
    ``measured`` measures one compared frame (by default :func:`_measured`;
    on dask frames, :func:`.dask_report.measured`).
    """
    divergences, pvalues, pair_pvalues = {}, [], []
    measured = measured or _measured
    _phase(progress, "measures", len(references))
    for name, reference, frame in zip(panel.names[1:], references, panel.frames[1:]):
        values, p, pair = measured(reference, frame, panel.meta, panel.columns,
                                   panel.ids, measures, max_lag, calibrated=not pairs)
        if pairs:
            p = p.where(np.zeros(p.shape, dtype=bool))
            pair = pair.where(np.zeros(pair.shape, dtype=bool))
        values.index.name = p.index.name = panel.meta.id_index
        divergences[name] = values
        pvalues.append(p)
        pair_pvalues.append(pair)
        if hasattr(progress, "phase"):
            progress.update(1)
    largest = _largest(list(divergences.values()))
    pvalue, pair_pvalue = combined_pvalues(pvalues), combined_pvalues(pair_pvalues)
    pvalue.index = pair_pvalue.index = largest.index
    return divergences, largest, pvalue, id_level_qvalues(pvalue, pair_pvalue)


def combined_pvalues(tables):
    """A cell's (or a pair's) p-value over several compared frames: the
    smallest, times their number (Bonferroni), capped at 1; the one table
    itself when there is one."""
    if len(tables) == 1:
        return tables[0]
    smallest = np.fmin.reduce([t.to_numpy(dtype=float) for t in tables])
    return pd.DataFrame(np.minimum(1.0, smallest * len(tables)),
                        index=tables[0].index, columns=tables[0].columns)


def _pair_evidence(panel, paired, verdicts, measures, ids):
    """Under nearest pairing, what ranks the pairs (they have no p-values):
    the pairs that stand furthest apart on what the verdicts (of their own
    frame) test come first."""
    scores = pd.concat([_verdicts.pair_scores(
        panel.frames[0], frame, panel.meta, panel.columns, measures, one.pairs,
        verdicts[verdicts["frame"] == name])
        for name, frame, one in zip(panel.names[1:], panel.frames[1:], paired)])
    return (-scores).reindex(ids).to_frame()


def _populations(panel, paired):
    """The population tables: the summaries' spread and levels per frame,
    and under nearest pairing the scores of each compared frame."""
    summaries = paired[0].summaries if paired is not None and len(paired) == 1 else None
    population = _population(panel.frames, panel.names, panel.meta, panel.columns,
                             summaries)
    population["levels"] = noise.population_levels(
        panel.frames, panel.names, panel.meta, panel.columns, paired is None,
        summaries)
    if paired is not None:
        population["scores"] = pd.DataFrame(
            {"precision": [one.precision for one in paired],
             "coverage": [one.coverage_share for one in paired],
             "near_copies": [one.near_copies for one in paired]}, index=panel.names[1:])
    return population


def _engine(frames):
    """``"dask"`` for dask frames (see :mod:`.dask_report`), ``"pandas"``
    otherwise; a mix is refused."""
    import collections.abc
    from .partitions import engine_of
    if isinstance(frames, collections.abc.Mapping):
        return engine_of(list(frames.values()))
    if isinstance(frames, (list, tuple)):
        return engine_of(list(frames))
    return "pandas"


def _prefixed(panel):
    """Under nearest pairing with several compared frames, each compared id
    as ``"<frame>: <id>"``, so that the ids of different frames never meet
    in one row of the report's tables; one compared frame as it is."""
    if len(panel.frames) <= 2:
        return panel
    frames = [panel.frames[0]]
    for name, frame in zip(panel.names[1:], panel.frames[1:]):
        frames.append(frame.rename(index=lambda i, n=name: "{}: {}".format(n, i),
                                   level=0).sort_index())
    ids = [i for frame in frames[1:] for i in frame.index.get_level_values(0).unique()]
    return panel._replace(frames=frames, ids=pd.Index(ids), first_seen=ids)


def _holdout(panel, holdout):
    """The holdout frame prepared like the reference, or None."""
    if holdout is None:
        return None
    if panel.pairing != "nearest":
        raise ValueError(
            "a holdout is for compared frames with ids of their own (nearest "
            "pairing); under id pairing each id is compared with itself")
    checked = read_panel({panel.names[0]: _frame_of(panel.frames[0], panel.meta),
                          "holdout": holdout}, panel.meta, columns=list(panel.columns),
                         pairing="nearest")
    return checked.frames[1]


def _frame_of(prepared, meta):
    """A prepared frame as the caller gave it: the id and time as columns."""
    return prepared.reset_index()


def _phase(progress, name, total=None):
    """Tell a :class:`Progress` that the phase ``name`` begins."""
    if hasattr(progress, "phase"):
        progress.phase(name, total)


def _paired_rows(reference, pairs):
    """The reference's rows of each pair's reference id, under the compared id.

    One block of rows per pair, in the order of ``pairs``; a reference id
    paired with several compared ids is repeated. Memory grows with the
    number of pairs, as the compared frame does.
    """
    level = reference.index.get_level_values(0)
    starts = np.flatnonzero(np.r_[True, level[1:] != level[:-1]])
    lengths = np.diff(np.r_[starts, len(level)])
    block = pd.Index(level[starts]).get_indexer(pairs["reference_id"])
    sizes = lengths[block]
    offsets = np.repeat(starts[block] - np.r_[0, np.cumsum(sizes)[:-1]], sizes)
    positions = offsets + np.arange(sizes.sum())
    rows = reference.iloc[positions]
    rows.index = pd.MultiIndex.from_arrays(
        [np.repeat(pairs["id"].to_numpy(), sizes),
         reference.index.get_level_values(1)[positions]],
        names=reference.index.names)
    return rows


def _largest(tables):
    """Per cell, the largest of the tables' numbers (NaN only where all are);
    the one table itself when there is one."""
    if len(tables) == 1:
        return tables[0]
    largest = np.fmax.reduce([t.to_numpy(dtype=float) for t in tables])
    return pd.DataFrame(largest, index=tables[0].index, columns=tables[0].columns)


def _series():
    import importlib
    return importlib.import_module("kestrune.testing.plotting.series")


class Report:
    """The pages of a comparison and the numbers behind them.

    Made by :func:`compare_panels`; the pages are drawn when the report is
    saved or shown.

    Attributes
    ----------
    names : list of str
        The frame names, the reference first.
    divergences : dict of str to pandas.DataFrame
        For each compared frame, its divergence from the reference per id
        (rows, in report order) and (column, measure) cell.
    divergence : pandas.DataFrame
        Per id (rows, in report order) and (column, measure) cell, the
        largest divergence over the compared frames: what the overview shows
        and what ``divergence.csv`` holds.
    pvalues : pandas.DataFrame
        The calibrated p-value of each cell of ``divergence`` (see
        :func:`measure_table`): under several compared frames the smallest
        over the frames times their number, capped at 1 (Bonferroni); NaN
        where the measure is undefined or the series too short to tell.
    qvalues : pandas.DataFrame
        One q-value per cell, from :func:`id_level_qvalues`: an id's tests
        are its ``distribution`` and ``dynamics`` cells and each pair of
        continuous columns once (the pair's p-value combined over the
        compared frames as ``pvalues`` are); Simes' p-value per id,
        Benjamini-Hochberg over the ids, and within an id found at level
        alpha, Benjamini-Hochberg over its tests at alpha R / N (R ids
        found of N). A cell's q-value is the smallest alpha at which it is
        found (a ``dependence`` cell: one of its column's pairs). Below
        0.05 is beyond sampling noise: the share of ids without a
        difference among the ids with such a cell is at most 5 % on
        average; NaN where ``pvalues`` is NaN.
    missing : dict of str to list
        For each frame that lacks some of the report's ids, those ids.
    pages : list of Page
        The page plan: the ids of each page and its heading (only the pages
        drawn, see ``pages`` of :func:`compare_panels`).
    pairing : {"ids", "nearest"}
        How the compared frame's rows met the reference's: by id, or each
        compared id with the reference id it resembles most.
    pairs : pandas.DataFrame or None
        Under nearest pairing, one row per compared id (in page order):
        ``frame``, ``id``, ``reference_id``, ``distance``, ``realism`` and
        ``near_copy``; None under id pairing.
    coverage : pandas.DataFrame or None
        Under nearest pairing, one row per reference id: ``frame``,
        ``reference_id``, ``nearest_id``, ``distance`` and ``covered``;
        None under id pairing.
    population : dict of str to pandas.DataFrame
        The frames as wholes: ``"columns"`` (column x compared frame: the
        divergence of all rows together), ``"over_time"`` (time x (compared
        frame, column): the divergence across ids at each time point the
        frames share), ``"summaries"`` (summary entry x compared frame: the
        Kolmogorov-Smirnov statistic between the ids' summaries, see
        :func:`id_summaries`), under nearest pairing ``"scores"``
        (compared frame x ``precision``, ``coverage``, ``near_copies``), and
        ``"levels"``: the null 95 % level of every number (see
        :func:`noise.population_levels`; NaN where too few ids can tell),
        with ``"band"`` (a level for the largest value over time) and
        ``"ids"`` (the ids of each frame).
    verdicts : pandas.DataFrame
        One verdict per compared frame, column and measure over the whole
        panel (see :func:`verdict_table`): ``frame``, ``column``,
        ``measure``, ``statistic``, ``effect`` with its 95 % interval
        ``low`` to ``high``, ``p``, ``q`` (Benjamini-Hochberg over the
        verdicts), ``ids``, ``contrast`` and ``method``. A q-value below
        0.05 is a systematic difference beyond sampling noise.
    scores : pandas.DataFrame or None
        Under nearest pairing, one row per compared frame (the index),
        ranked (``rank``) by its largest two-sided standardised departure
        from its yardstick (``departure``), nearest to real ids first:
        ``precision``, ``coverage``, ``near_copies`` (compared ids whose
        copy-test q-value is below 0.05; ``copy_test`` says how they were
        found), ``identical`` (the share of compared ids whose series equal
        a reference id's), ``yardstick`` (which one), and per score of
        precision, coverage, realism (median), nearest_distance (median)
        and collapse (the sum of squared hits per reference id over the
        number of compared ids): ``<score>:frame`` and
        ``<score>:yardstick`` against the yardstick's reference,
        ``<score>:low`` and ``<score>:high`` (95 % interval of the score
        for the frame's size), ``<score>:departure`` and ``<score>:p`` (a
        permutation test of the pooled compared and yardstick ids); then
        ``coverage:expected`` (the coverage of honest draws with no ties),
        ``closer_than_holdout``, ``closer_expected`` and ``closer_p``
        (with a holdout) and the ``verdict`` in words. None under id
        pairing. Saved as ``scores.csv``.

    """

    def __init__(self, panel, divergences, divergence, pvalues, qvalues, pages,
                 order, share, jobs, executor, progress, paired, population,
                 verdicts=None, scores=None, frame_of_page=None, own_scales=False,
                 label_orders=None, on_cluster=False):
        self._panel = panel
        # Read from dask frames: without an executor or jobs of its own, the
        # pages are drawn on the workers of the dask client current when
        # they are drawn (if any), not in this process.
        self._on_cluster = on_cluster
        # Of the whole frames where ``panel`` holds only the drawn ids' rows.
        self._label_orders = label_orders
        self.names = list(panel.names)
        self.columns = list(panel.columns)
        ids = list(divergence.index)
        # Tables already in page order are kept, not copied.
        self.divergences = {name: table if table.index.equals(divergence.index)
                            else table.reindex(ids) for name, table in divergences.items()}
        self.divergence = divergence
        self.pvalues = pvalues
        self.qvalues = qvalues
        self.missing = dict(panel.missing)
        self.pages = pages
        self.order = order
        self._share = share
        self._own_scales = own_scales
        self._jobs = jobs
        self._executor = executor
        self._progress = progress
        self._pictures = {}
        self.pairing = panel.pairing
        self.pairs = self.coverage = None
        self._labels = {}
        self._frame_of_page = dict(frame_of_page or {})
        if paired is not None:
            pairs = pd.concat([one.pairs for one in paired], ignore_index=True)
            self.pairs = pairs.set_index("id", drop=False).loc[ids].reset_index(drop=True)
            self.coverage = pd.concat([one.coverage for one in paired], ignore_index=True)
            # Each pair is drawn under one label in both frames: the cell's
            # title says what it shows, and two compared ids that share a
            # reference id never meet in one cell.
            self._labels = {c: "{} \u2248 {}".format(r, c) for c, r in zip(
                self.pairs["id"], self.pairs["reference_id"])}
        self.population = population
        self.verdicts = verdicts
        self.scores = scores

    def __repr__(self):
        head = "<Report: {} compared with {!r} ({} pairing; {}), {} ids, {} pages drawn>".format(
            ", ".join(repr(n) for n in self.names[1:]), self.names[0],
            self.pairing, self.pairing_reason, len(self.divergence), len(self.pages))
        return "\n".join([head] + _verdicts.verdict_lines(self.verdicts))

    @property
    def pairing_reason(self):
        """Why the compared frames were paired as they were: asked for, or
        chosen by ``"auto"`` from the share of the reference's ids that each
        compared frame holds."""
        return self._panel.why

    def summary_lines(self):
        """The report's findings in a few lines of text, as the command line
        prints them: the pairing and why, then what stands out (see
        :func:`~kestrune.testing.plotting.compare.summary.summary_lines`)."""
        from .summary import summary_lines
        return summary_lines(self)

    def picture_names(self):
        """The file name of each picture of the folder output, in order."""
        return (["overview.png", "population.png"]
                + [sinks.page_name(page.number) for page in self.pages])

    def rendered(self, fmt="png"):
        """Draw the overview, the population, then every page; yield each as bytes.

        Each picture is drawn once per format: the report keeps what it has
        drawn, so a second save (or a save after a notebook's display) only
        draws the pages not drawn before.

        Parameters
        ----------
        fmt : {"png", "pdf"}
            The format of each page.

        Yields
        ------
        bytes
            The overview first, then the population page, then the pages
            in order.

        """
        keys = ["overview", "population"] + [page.number for page in self.pages]
        yield from self._pictures_of(fmt, keys)

    def _pictures_of(self, fmt, keys):
        """The pictures ``keys`` ("overview", "population", or a page's
        number), drawing the ones not kept yet, in order."""
        kept = self._pictures.setdefault(fmt, {})
        keys = list(keys)
        for key, task in (("overview", self._overview_task),
                          ("population", self._population_task)):
            if key in keys and key not in kept:
                kept[key] = render.render_task(task(fmt))
        missing = {k for k in keys if k not in kept}
        executor = self._executor
        if executor is None and self._jobs == 1 and self._on_cluster and missing:
            executor = render.cluster_executor()
        fresh = render.rendered(
            (task for page, task in zip(self.pages, self._page_tasks(fmt))
             if page.number in missing),
            len(missing), self._jobs, executor, self._progress)
        try:
            for key in keys:
                if key not in kept:
                    kept[key] = next(fresh)
                yield kept[key]
            for _ in fresh:  # nothing more: the progress bar counts the last page
                pass
        finally:
            fresh.close()

    def _overview_task(self, fmt):
        shown = sum(len(page.ids) for page in self.pages if page.kind != "uncovered")
        why = _WHY[self.order]
        if self.pairing == "nearest":
            why = ("each against its nearest reference id, near-copies first, "
                   "then the least realistic, then " + why)
        return ("overview", self.divergence, self.qvalues, tuple(self.names),
                len(self.divergence), why, self._panel.meta.id_index, shown,
                self.pairing == "nearest", self.verdicts, fmt)

    def _population_task(self, fmt):
        return ("population", self.population, tuple(self.names),
                tuple(self._panel.columns), fmt)

    def _page_tasks(self, fmt):
        panel = self._panel
        meta = panel.meta
        kinds = tuple("categorical" if c in meta.categorical else "continuous"
                      for c in panel.columns)
        time = panel.frames[0].index.get_level_values(1)
        helper = None
        if "categorical" in kinds:
            helper = render.helper_name(
                list(panel.columns) + [meta.id_index, meta.time_index])
        labels = self._label_orders or {
            column: render.label_order(panel.frames, column)
            for column, kind in zip(panel.columns, kinds) if kind == "categorical"}
        spec = render.PageSpec(
            tuple(self.names), tuple(panel.columns), kinds, self._share,
            pd.api.types.is_integer_dtype(time.dtype), helper, fmt, labels,
            self._own_scales, self.pairing == "nearest")
        whole = spec
        for page in self.pages:
            numbers = self._numbers(page.ids if page.kind != "uncovered" else ())
            # Under nearest pairing a page shows the reference and one compared frame.
            number = self._frame_of_page.get(page.number, 1)
            if page.kind != "ids" and len(self.names) > 2:
                spec = whole._replace(names=(self.names[0], self.names[number]))
            if page.kind == "pairs":
                references = self.pairs.set_index("id").loc[list(page.ids), "reference_id"]
                frames = [render.page_frames([panel.frames[0]], panel.columns, helper,
                                             list(references))[0],
                          render.page_frames([panel.frames[number]], panel.columns, helper,
                                             page.ids)[0]]
                frames[0] = _paired_rows(frames[0], pd.DataFrame(
                    {"id": list(page.ids), "reference_id": list(references)}))
                frames = [f.rename(index=self._labels, level=0) for f in frames]
                page = page._replace(ids=tuple(self._labels[i] for i in page.ids))
                numbers = {self._labels[i]: v for i, v in numbers.items()}
            elif page.kind == "uncovered":
                frames = render.page_frames(panel.frames[:1], panel.columns,
                                            helper, page.ids)
                frames.append(frames[0].iloc[:0])
            else:
                frames = render.page_frames(panel.frames, panel.columns,
                                            helper, page.ids)
            yield ("page", page, spec, frames, numbers, fmt)

    def _numbers(self, ids):
        """For each of ``ids``, its divergence and q-value per cell."""
        return {i: (self.divergence.loc[i].to_dict(), self.qvalues.loc[i].to_dict())
                for i in ids if i in self.divergence.index}

    def save(self, path, overwrite=False):
        """Write the report to ``path``: one PDF, or a folder of pictures.

        A path ending in ``.pdf`` gets one PDF, the overview first. Any
        other path is a folder: ``overview.png``, ``page-001.png``, ...,
        ``divergence.csv`` (the ids in page order, one column per data
        column), ``divergence-<name>.csv`` for each compared frame and an
        ``index.html`` that shows them all and opens from disk.

        The report is written beside ``path`` and renamed into place once
        complete: a failure or an interruption leaves ``path`` as it was. An
        existing ``path`` is replaced only when it is a report that this
        package wrote (a folder that holds its manifest file and only files
        of the size and content it records, or a PDF marked in its
        metadata), or when ``overwrite`` is True, and only when it did not
        change while the report was drawn; otherwise it is kept and the new
        report left beside it as ``<name>-new``. Nothing is removed
        recursively. A bad target is refused before anything is drawn (see
        :func:`sinks.check_target`).

        Parameters
        ----------
        path : str or os.PathLike
            A path ending in ``.pdf``, or a folder path without a suffix.
        overwrite : bool, optional
            Replace whatever is at ``path`` (a file, or a folder of files).

        Returns
        -------
        pathlib.Path
            The path written.

        Raises
        ------
        TypeError
            For an ``overwrite`` that is not True or False.
        ValueError
            For a path with another suffix (``report.png``) or one that
            names the current folder.
        FileExistsError
            For an existing path that is not such a report, unless
            ``overwrite``; a folder that holds a folder, always;
            :class:`sinks.TargetChanged` when ``path`` changed while the
            report was drawn.
        IsADirectoryError, NotADirectoryError, PermissionError
            For a ``.pdf`` path that is a folder, a parent that is a file, or
            a folder that cannot be written.

        """
        return sinks.save(self, path, overwrite=overwrite)

    def _repr_html_(self):
        # A notebook keeps what it shows: the overviews and the first pages
        # only, however long the report.
        shown = ["overview", "population"] + [p.number for p in self.pages[:INLINE_PAGES]]
        pictures = ["data:image/png;base64," + base64.b64encode(p).decode("ascii")
                    for p in self._pictures_of("png", shown)]
        fragment = sinks.html_page(self, pictures, standalone=False)
        return "<div>{}{}</div>".format(fragment, "".join(
            "<p>{}</p>".format(html.escape(line, quote=False)) for line in self._not_shown()))

    def _not_shown(self):
        """What a notebook says of the pages it does not show, and how to
        see every page."""
        lines = []
        rest = len(self.pages) - INLINE_PAGES
        if rest > 0:
            lines.append(
                "{} more of the {} pages drawn are not shown here: "
                "report.save('report.pdf') or report.save('report/') writes "
                "them all.".format(rest, len(self.pages)))
        drawn = sum(len(page.ids) for page in self.pages if page.kind != "uncovered")
        uncovered = 0 if self.coverage is None else int(
            (~self.coverage["covered"].astype(bool)).sum())
        if (drawn < len(self.divergence) or uncovered > sum(
                len(page.ids) for page in self.pages if page.kind == "uncovered")):
            lines.append(
                "The pages draw the first {} of {} ids; compare_panels(..., "
                "pages='all') (--pages all on the command line) draws a page "
                "for every id.".format(drawn, len(self.divergence)))
        return lines
