"""The comparison report: what ``compare_panels`` returns."""

import base64
import warnings

import numpy as np
import pandas as pd

from . import ORDERS
from .inputs import count, missing_message, read_panel
from .measures import MEASURES, _checked_measures, _measures, benjamini_hochberg
from .pairing import NearCopyWarning, _pair, _population, near_copy_message
from .plan import _WHY, order_ids, plan_pages
from . import render, sinks


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
                   executor=None, progress=None, allow_disjoint_times=False):
    """Compare panel frames with a reference frame, id by id and column by column.

    The first frame is the reference; every other frame is compared with
    it. Each id and column gets up to three numbers in [0, 1] (see
    :func:`measure_table`): do the values agree (``distribution``), does
    the series move the same way in time (``dynamics``), do the continuous
    columns move together the same way (``dependence``); each with a
    p-value under "both frames come from the same process for this id",
    and Benjamini-Hochberg q-values over every cell of the report. The
    report ranks the ids by that evidence and draws the first pages, a few
    ids each, exactly as ``plot_multi_index_dataframes`` draws its cells,
    after an overview page: a heat map of the worst ids' cells, with those
    within sampling noise (q-value 0.05 or more) hatched.

    Parameters
    ----------
    frames : sequence of pandas.DataFrame or mapping of str to DataFrame
        The frames, the reference first, with the id and the time as index
        levels or columns (as :meth:`DataFrameMeta.set_indices` takes them).
        A mapping names the frames by its keys.
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
    measures : sequence of {"distribution", "dynamics", "dependence"}, optional
        The measures of each column, in the order of the table's cells.
    max_lag : int, optional
        ``dynamics`` of continuous columns takes the largest difference of
        the autocorrelations at lags 1 to ``max_lag``.
    pages : int or None, optional
        Draw only the first ``pages`` pages in the report's order (the
        worst ids); None draws a page for every id. The tables and the
        overview keep every id either way. Under nearest pairing the pages
        of pairs and the pages of uncovered reference ids count apart.
    pairing : {"auto", "ids", "nearest"}, optional
        How the compared frames' rows meet the reference's. ``"ids"``: the
        rows of an id against the rows of the same id. ``"nearest"`` (one
        compared frame, no ``ids``): each compared id against the reference
        id whose summary (see :func:`id_summaries`) is nearest, with
        realism, coverage and near-copies in ``Report.pairs`` and
        ``Report.coverage``; the p-values are NaN there, since pairs chosen
        for looking alike would bias any test, and ``order="evidence"``
        falls back to ``"divergence"``. The pages show near-copies first,
        then the least realistic compared ids, then the rest, and then the
        reference ids that no compared id resembles. ``"auto"``: by id when
        every compared frame holds at least half of the reference's ids (or
        ``ids`` are given), otherwise nearest.
    share_setting : ShareSetting, optional
        How the ids of a row share cells and axes, as for the driver;
        ``ShareSetting.AXES`` by default.
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
    allow_disjoint_times : bool, optional
        Compare frames that share no time point with the reference; by
        default they are refused as misaligned.

    Returns
    -------
    Report

    Raises
    ------
    ValueError
        For bad input, listing what would be valid: fewer than two frames,
        ``names`` of the wrong length or with duplicates, an empty frame,
        frames whose columns differ, duplicate (id, time) rows, a
        continuous column that holds no numbers in some frame, an unknown
        column, id, order or measure, ``ids_per_page``, ``jobs``,
        ``max_lag`` or ``pages`` below 1, a thread pool as ``executor``,
        frames that share no id under id pairing, or nearest pairing with
        several compared frames or with ``ids``, a frame that shares no
        time point with the reference (unless ``allow_disjoint_times``).

    Warns
    -----
    MissingIdsWarning
        Under id pairing, once, naming each frame that lacks some ids and
        those ids (the first ten).
    IdTypeWarning
        Once, when a frame's ids match the reference's only as text and are
        converted.
    NearCopyWarning
        Under nearest pairing, once, counting the near-copies and naming
        the first ten.
    TimeOverlapWarning
        For a frame that shares fewer than half of the reference's time
        points.
    IdSpellingWarning
        For a frame whose ids would match more of the reference's once
        leading zeros, case and surrounding spaces are set aside.

    Examples
    --------
    >>> report = compare_panels({"original": original, "synthetic": synthetic},
    ...                         id_index="store", time_index="date")  # doctest: +SKIP
    >>> report.save("report.pdf")  # doctest: +SKIP

    """
    if order not in ORDERS:
        raise ValueError("order must be one of {}, got {!r}".format(
            list(ORDERS), order))
    ids_per_page = count("ids_per_page", ids_per_page)
    jobs = count("jobs", jobs)
    max_lag = count("max_lag", max_lag)
    if pages is not None:
        pages = count("pages", pages)
    measures = _checked_measures(measures)
    render.check_executor(executor)
    series = _series()
    if share_setting is None:
        share_setting = series.ShareSetting.AXES
    if not isinstance(share_setting, series.ShareSetting):
        raise ValueError("share_setting must be a ShareSetting member; valid "
                         "are {}".format([m.name for m in series.ShareSetting]))
    if pairing not in PAIRINGS:
        raise ValueError("pairing must be one of {}, got {!r}".format(
            list(PAIRINGS), pairing))
    panel = read_panel(frames, meta, id_index, time_index, names, columns, ids,
                       pairing, allow_disjoint_times)
    if panel.missing:
        warnings.warn(missing_message(panel.missing), MissingIdsWarning,
                      stacklevel=2)
    paired = None
    if panel.pairing == "nearest":
        _phase(progress, "pairing")
        paired = _pair(panel.frames[0], panel.frames[1], panel.meta,
                       panel.columns, panel.names[1])
        message = near_copy_message(paired.pairs)
        if message:
            warnings.warn(message, NearCopyWarning, stacklevel=2)
        # The reference's rows of each compared id's nearest reference id,
        # under the compared id: the measures then compare each pair.
        references = [_paired_rows(panel.frames[0], paired.pairs)]
    else:
        references = [panel.frames[0]] * (len(panel.frames) - 1)
    divergences, pvalues = {}, []
    _phase(progress, "measures", len(references))
    for name, reference, frame in zip(panel.names[1:], references, panel.frames[1:]):
        values, p = _measures(reference, frame, panel.meta, panel.columns,
                              panel.ids, measures, max_lag)
        if paired is not None:
            # Pairs chosen for looking alike would bias any test.
            p = p.where(np.zeros(p.shape, dtype=bool))
        values.index.name = p.index.name = panel.meta.id_index
        divergences[name] = values
        pvalues.append(p)
        if hasattr(progress, "phase"):
            progress.update(1)
    largest = _largest(list(divergences.values()))
    # A cell's p-value over several compared frames: the smallest, times
    # their number (Bonferroni), capped at 1.
    smallest = np.fmin.reduce([p.to_numpy(dtype=float) for p in pvalues])
    pvalue = pd.DataFrame(np.minimum(1.0, smallest * len(pvalues)),
                          index=largest.index, columns=largest.columns)
    qvalue = pd.DataFrame(benjamini_hochberg(pvalue.to_numpy()),
                          index=largest.index, columns=largest.columns)
    if paired is not None and order == "evidence":
        order = "divergence"
    given = None if ids is None else list(ids)
    ordered = order_ids(panel, largest, order, given=given, qvalues=qvalue)
    population = _population(panel.frames, panel.names, panel.meta, panel.columns,
                             None if paired is None else paired.summaries)
    if paired is None:
        planned = plan_pages(ordered, ids_per_page, order, pages)
    else:
        ordered = _pairs_first(ordered, paired.pairs)
        planned = plan_pages(ordered, ids_per_page,
                             "near-copies, then the least realistic first",
                             pages, kind="pairs")
        uncovered = list(paired.coverage.loc[~paired.coverage["covered"].astype(bool),
                                             "reference_id"])
        planned += plan_pages(uncovered, ids_per_page,
                              "no compared id resembles them", pages,
                              kind="uncovered", first_number=len(planned) + 1)
        population["scores"] = pd.DataFrame(
            {"precision": [paired.precision], "coverage": [paired.coverage_share],
             "near_copies": [paired.near_copies]}, index=[panel.names[1]])
    return Report(panel, divergences, largest.reindex(ordered),
                  pvalue.reindex(ordered), qvalue.reindex(ordered), planned,
                  order, share_setting.name, jobs, executor, progress, paired,
                  population)


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


def _pairs_first(ordered, pairs):
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


def _largest(tables):
    """Per cell, the largest of the tables' numbers (NaN only where all are)."""
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
        The p-value of each cell of ``divergence``: under several compared
        frames the smallest over the frames times their number, capped at 1
        (Bonferroni); NaN where the measure is undefined.
    qvalues : pandas.DataFrame
        Benjamini-Hochberg q-values over every defined cell of ``pvalues``
        together; below 0.05 is beyond sampling noise at a false discovery
        rate of 5 %.
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
        :func:`id_summaries`) and, under nearest pairing, ``"scores"``
        (compared frame x ``precision``, ``coverage``, ``near_copies``).

    """

    def __init__(self, panel, divergences, divergence, pvalues, qvalues, pages,
                 order, share, jobs, executor, progress, paired, population):
        self._panel = panel
        self.names = list(panel.names)
        self.columns = list(panel.columns)
        ids = list(divergence.index)
        self.divergences = {name: table.reindex(ids)
                            for name, table in divergences.items()}
        self.divergence = divergence
        self.pvalues = pvalues
        self.qvalues = qvalues
        self.missing = dict(panel.missing)
        self.pages = pages
        self.order = order
        self._share = share
        self._jobs = jobs
        self._executor = executor
        self._progress = progress
        self._pictures = {}
        self.pairing = panel.pairing
        self.pairs = self.coverage = None
        self._labels = {}
        if paired is not None:
            self.pairs = paired.pairs.set_index("id", drop=False).loc[ids].reset_index(drop=True)
            self.coverage = paired.coverage
            # Each pair is drawn under one label in both frames: the cell's
            # title says what it shows, and two compared ids that share a
            # reference id never meet in one cell.
            self._labels = {c: "{} \u2248 {}".format(r, c) for c, r in zip(
                self.pairs["id"], self.pairs["reference_id"])}
        self.population = population

    def __repr__(self):
        return "<Report: {} compared with {!r} ({} pairing; {}), {} ids, {} pages drawn>".format(
            ", ".join(repr(n) for n in self.names[1:]), self.names[0],
            self.pairing, self.pairing_reason, len(self.divergence), len(self.pages))

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
        fresh = render.rendered(
            (task for page, task in zip(self.pages, self._page_tasks(fmt))
             if page.number in missing),
            len(missing), self._jobs, self._executor, self._progress)
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
            why = "each paired with its nearest reference id, " + why
        return ("overview", self.divergence, self.qvalues, tuple(self.names),
                len(self.divergence), why, self._panel.meta.id_index, shown,
                self.pairing == "nearest", fmt)

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
        spec = render.PageSpec(
            tuple(self.names), tuple(panel.columns), kinds, self._share,
            pd.api.types.is_integer_dtype(time.dtype), helper, fmt)
        for page in self.pages:
            if page.kind == "pairs":
                references = self.pairs.set_index("id").loc[list(page.ids), "reference_id"]
                frames = [render.page_frames([panel.frames[0]], panel.columns, helper,
                                             list(references))[0],
                          render.page_frames([panel.frames[1]], panel.columns, helper,
                                             page.ids)[0]]
                frames[0] = _paired_rows(frames[0], pd.DataFrame(
                    {"id": list(page.ids), "reference_id": list(references)}))
                frames = [f.rename(index=self._labels, level=0) for f in frames]
                page = page._replace(ids=tuple(self._labels[i] for i in page.ids))
            elif page.kind == "uncovered":
                frames = render.page_frames(panel.frames[:1], panel.columns,
                                            helper, page.ids)
                frames.append(frames[0].iloc[:0])
            else:
                frames = render.page_frames(panel.frames, panel.columns,
                                            helper, page.ids)
            yield ("page", page, spec, frames, fmt)

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
        package wrote (a folder that holds its manifest file and only the
        files it lists, or a PDF marked in its metadata), or when
        ``overwrite`` is true. A bad target is refused before anything is
        drawn (see :func:`sinks.check_target`).

        Parameters
        ----------
        path : str or os.PathLike
            A path ending in ``.pdf``, or a folder path without a suffix.
        overwrite : bool, optional
            Replace whatever is at ``path``.

        Returns
        -------
        pathlib.Path
            The path written.

        Raises
        ------
        ValueError
            For a path with another suffix (``report.png``) or one that
            names the current folder.
        FileExistsError
            For an existing path that is not such a report, unless
            ``overwrite``.
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
        rest = len(self.pages) - INLINE_PAGES
        if rest > 0:
            fragment = ("<div>{}<p>{} more page{} not shown here; save the "
                        "report to see them all: report.save('report.pdf') or "
                        "report.save('report/').</p></div>").format(
                            fragment, rest, "" if rest == 1 else "s")
        return fragment
