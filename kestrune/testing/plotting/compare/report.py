"""The comparison report: what ``compare_panels`` returns."""

import base64
import warnings

import pandas as pd

from .divergence import _table
from . import ORDERS
from .inputs import count, missing_message, read_panel
from .plan import _WHY, order_ids, plan_pages
from . import render, sinks


# Pages a notebook shows inline after the overview.
INLINE_PAGES = 3


class MissingIdsWarning(UserWarning):
    """Some frames lack some of the report's ids (see ``Report.missing``)."""


def compare_panels(frames, meta=None, *, id_index=None, time_index=None,
                   names=None, columns=None, ids=None, ids_per_page=4,
                   order="divergence", share_setting=None, jobs=1,
                   executor=None, progress=None):
    """Compare panel frames with a reference frame, id by id and column by column.

    The first frame is the reference; every other frame is compared with
    it. The report ranks the ids by how far the other frames are from the
    reference (see :func:`divergence_table`) and draws them, a few ids per
    page, exactly as ``plot_multi_index_dataframes`` draws its cells, after
    an overview page: a heat map of the divergence of the worst ids.

    Nothing is drawn by this call: the pages are drawn when the report is
    saved (:meth:`Report.save`) or shown in a notebook. Neither changes
    matplotlib's settings or pyplot's figures.

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
    order : {"divergence", "id", "given"}, optional
        Order of the ids: ids that some frame lacks first, then the largest
        divergence first (ties by id); sorted; or as in ``ids`` (else by
        first appearance in the first frame, as passed).
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
    progress : bool, optional
        Show a progress bar over the pages; by default on when standard
        error is a terminal (or in a notebook) and there are three pages or
        more.

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
        column or id, an unknown ``order``, ``ids_per_page`` or ``jobs``
        below 1, or a thread pool as ``executor``.

    Warns
    -----
    MissingIdsWarning
        Once, naming each frame that lacks some ids and those ids (the
        first ten).

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
    render.check_executor(executor)
    series = _series()
    if share_setting is None:
        share_setting = series.ShareSetting.AXES
    if not isinstance(share_setting, series.ShareSetting):
        raise ValueError("share_setting must be a ShareSetting member; valid "
                         "are {}".format([m.name for m in series.ShareSetting]))
    panel = read_panel(frames, meta, id_index, time_index, names, columns, ids)
    if panel.missing:
        warnings.warn(missing_message(panel.missing), MissingIdsWarning,
                      stacklevel=2)
    divergences = {
        name: _table(panel.frames[0], frame, panel.meta, panel.columns, panel.ids)
        for name, frame in zip(panel.names[1:], panel.frames[1:])}
    for table in divergences.values():
        table.index.name = panel.meta.id_index
    largest = pd.concat(list(divergences.values())).groupby(level=0, sort=False).max()
    ordered = order_ids(panel, largest.reindex(panel.ids), order,
                        given=None if ids is None else list(ids))
    pages = plan_pages(ordered, ids_per_page, order)
    return Report(panel, divergences, largest.reindex(ordered), pages, order,
                  share_setting.name, jobs, executor, progress)


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
        (rows, in page order) and column.
    divergence : pandas.DataFrame
        Per id (rows, in page order) and column, the largest divergence over
        the compared frames: what ranks the ids, what the overview shows and
        what ``divergence.csv`` holds.
    missing : dict of str to list
        For each frame that lacks some of the report's ids, those ids.
    pages : list of Page
        The page plan: the ids of each page and its heading.

    """

    def __init__(self, panel, divergences, divergence, pages, order, share,
                 jobs, executor, progress):
        self._panel = panel
        self.names = list(panel.names)
        self.columns = list(panel.columns)
        ids = list(divergence.index)
        self.divergences = {name: table.reindex(ids)
                            for name, table in divergences.items()}
        self.divergence = divergence
        self.missing = dict(panel.missing)
        self.pages = pages
        self.order = order
        self._share = share
        self._jobs = jobs
        self._executor = executor
        self._progress = progress
        self._pictures = {}

    def __repr__(self):
        return "<Report: {} compared with {!r}, {} ids on {} pages>".format(
            ", ".join(repr(n) for n in self.names[1:]), self.names[0],
            len(self.divergence), len(self.pages))

    def rendered(self, fmt="png"):
        """Draw the overview, then every page, and yield each as bytes.

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
            The overview first, then the pages in order.

        """
        yield from self._pictures_of(fmt, range(1 + len(self.pages)))

    def _pictures_of(self, fmt, numbers):
        """The pictures ``numbers`` (0 the overview, n page n), drawing the
        ones not kept yet, in order."""
        kept = self._pictures.setdefault(fmt, {})
        numbers = list(numbers)
        if 0 in numbers and 0 not in kept:
            kept[0] = render.render_task(self._overview_task(fmt))
        missing = {n for n in numbers if n and n not in kept}
        fresh = render.rendered(
            (task for n, task in enumerate(self._page_tasks(fmt), 1)
             if n in missing),
            len(missing), self._jobs, self._executor, self._progress)
        try:
            for n in numbers:
                if n not in kept:
                    kept[n] = next(fresh)
                yield kept[n]
            for _ in fresh:  # nothing more: the progress bar counts the last page
                pass
        finally:
            fresh.close()

    def _overview_task(self, fmt):
        return ("overview", self.divergence, tuple(self.names),
                len(self.divergence), _WHY[self.order],
                self._panel.meta.id_index, fmt)

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
        # A notebook keeps what it shows: the overview and the first pages
        # only, however long the report.
        shown = list(range(min(len(self.pages), INLINE_PAGES) + 1))
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
