"""Draw the pages of a report, in this process or in worker processes.

Each page is drawn on a figure of its own (never one of pyplot's), inside
``matplotlib.rc_context`` with the plotting style applied there, saved to
bytes and dropped before the next begins, so neither the caller's style nor
pyplot's list of figures changes, and memory does not grow with the number
of pages. Everything a page needs travels in one picklable task.
"""

import collections
import concurrent.futures
import contextlib
import importlib
import io
import signal
import sys
import warnings

import numpy as np

from .sinks import held_signals

# Sizes in inches; figures are drawn at DPI dots per inch.
DPI = 100
MAX_WIDTH = 12.0
CELL_WIDTH = 2.8
LEFT = 1.0
RIGHT = 0.2
ROW_HEIGHT = 2.5
HEADER = 0.9
TITLES = 0.3
# Below each row: its tick labels (rotated labels of a count) and x label.
GAP = 1.0
# The worst ids of the overview's heat map.
OVERVIEW_IDS = 50
# A column of ones beside each categorical column: the cell counts the rows
# of each label through another column of the frame.
HELPER = "__rows__"

PageSpec = collections.namedtuple(
    "PageSpec", "names columns kinds share integer_time helper fmt")
PageSpec.__doc__ = """What every page of a report shares.

names : tuple of the frame names; columns, kinds : tuples of the data
columns in row order and their kinds; share : name of the ShareSetting
member; integer_time : whether the time level holds integers; helper : name
of the column of ones that categorical cells count with (one no data column
has), or None; fmt : "png" or "pdf".
"""


def helper_name(taken):
    """``HELPER``, or ``HELPER`` with a number, whichever ``taken`` lacks."""
    taken = set(taken)
    name, n = HELPER, 1
    while name in taken:
        name, n = "{}{}".format(HELPER, n), n + 1
    return name


def page_frames(frames, columns, helper, ids):
    """The rows of ``ids`` in each frame, with the helper column of counts."""
    needed = list(columns)
    out = []
    for frame in frames:
        rows = frame[frame.index.get_level_values(0).isin(list(ids))]
        rows = rows[needed]
        if helper is not None:
            rows = rows.assign(**{helper: 1})
        out.append(rows)
    return out


def render_task(task):
    """Render one task: ``("page", page, spec, frames, fmt)`` or
    ``("overview", table, names, total, why, id_name, fmt)``.

    The figure is drawn on its own Agg canvas, so the process's matplotlib
    backend is neither used nor changed.

    Returns
    -------
    bytes
        The page as a PNG or a one-page PDF.

    """
    kind = task[0]
    import matplotlib as mpl
    from ..style import set_plotting_style

    with mpl.rc_context():
        set_plotting_style()
        if kind == "page":
            figure = draw_page(*task[1:-1])
        else:
            figure = draw_overview(*task[1:-1])
        return _to_bytes(figure, task[-1])


def _start_worker():
    # What the libraries warn about while drawing is the parent's to say
    # (or not): a worker's warnings would reach the terminal unasked. A
    # worker never needs a display. Ctrl-C reaches the whole process group;
    # the parent stops its workers, which print nothing of their own.
    warnings.simplefilter("ignore")
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    import matplotlib
    matplotlib.use("Agg")


def _to_bytes(figure, fmt):
    buffer = io.BytesIO()
    # No creation date: the same input gives the same bytes.
    metadata = {"CreationDate": None} if fmt == "pdf" else None
    figure.savefig(buffer, format=fmt, dpi=DPI, metadata=metadata)
    return buffer.getvalue()


def _figure(width, height):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(width, height), dpi=DPI)
    FigureCanvasAgg(figure)
    return figure


def _runs(present):
    """Consecutive positions that hold the same frames: (start, stop, frames)."""
    runs = []
    for n, frames in enumerate(present):
        if runs and runs[-1][2] == frames:
            runs[-1][1] = n + 1
        else:
            runs.append([n, n + 1, frames])
    return [tuple(run) for run in runs]


def draw_page(page, spec, frames):
    """Draw one page: one row per column, one cell per id, the frame legend.

    Each row is drawn by the module's ``plot_row``, once for each run of
    neighbouring ids that the same frames hold: a frame that lacks an id is
    not drawn in that id's cells, and the others keep their colours.
    """
    from matplotlib.gridspec import GridSpec

    from ..frames import _label

    series = importlib.import_module("kestrune.testing.plotting.series")
    share = getattr(series.ShareSetting, spec.share)
    held = [set(frame.index.get_level_values(0)) for frame in frames]
    present = [tuple(k for k in range(len(frames)) if i in held[k])
               for i in page.ids]
    nids, nrows = len(page.ids), len(spec.columns)
    width = min(MAX_WIDTH, LEFT + CELL_WIDTH * nids)
    height = HEADER + ROW_HEIGHT * nrows
    figure = _figure(width, height)
    axes_height = ROW_HEIGHT * nrows - GAP * nrows
    grid = GridSpec(nrows, nids, figure=figure, wspace=0.25,
                    hspace=GAP / (axes_height / nrows),
                    left=0.85 / width, right=1 - RIGHT / width,
                    bottom=GAP / height, top=1 - (HEADER + TITLES) / height)
    drawn_in, ids_in = {}, {}
    for row, (column, kind) in enumerate(zip(spec.columns, spec.kinds)):
        continuous = kind == "continuous"
        plot_type = (series.PlotType.CONTINUOUS if continuous
                     else series.PlotType.CATEGORICAL)
        needed = [column] if continuous else [column, spec.helper]
        for start, stop, drawn in _runs(present):
            ax = figure.add_subplot(grid[row, start:stop])
            before = len(figure.axes)
            series.plot_row([frames[k][needed] for k in drawn], column,
                            list(page.ids[start:stop]), ax, share, plot_type,
                            True)
            cells = figure.axes[before:]
            for cell in cells:
                drawn_in[cell] = drawn
                # The id's place on the page is its colour in shared cells.
                ids_in[cell] = [(page.ids[n], n) for n in range(start, stop)]
                if continuous:
                    _time_ticks(cell, spec.integer_time)
            if start and cells:
                cells[0].set_ylabel("")
    heading = page.heading
    lacking = ["{} lacks {}".format(i, ", ".join(
        repr(spec.names[k]) for k in range(len(frames)) if k not in held_by))
        for i, held_by in zip(page.ids, present) if len(held_by) < len(frames)]
    if lacking:
        heading += " (" + "; ".join(lacking) + ")"
    figure.text(0.2 / width, 1 - 0.12 / height, heading,
                ha="left", va="top", fontsize=12, fontweight="bold")
    _label(figure, list(spec.names), 0.5,
           by_id=share is series.ShareSetting.PLOT,
           frames_in=lambda cell: drawn_in.get(cell, ()),
           ids_in=lambda cell: ids_in.get(cell, ()),
           top=1 - 0.4 / height, make_room=False)
    return figure


def _time_ticks(cell, integer_time):
    """Few enough time ticks for a narrow cell; whole numbers for integers.

    The time axis ends where the data ends, so that no tick label sits on
    the edge between two cells and runs into the next cell's first one.
    """
    import matplotlib.dates as mdates
    from matplotlib.ticker import MaxNLocator

    cell.margins(x=0)
    if integer_time:
        cell.xaxis.set_major_locator(MaxNLocator(nbins=5, integer=True))
    elif isinstance(cell.xaxis.get_major_locator(), mdates.DateLocator):
        locator = mdates.AutoDateLocator(minticks=2, maxticks=5)
        cell.xaxis.set_major_locator(locator)
        cell.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))


def draw_overview(table, names, total, why, id_name):
    """A heat map of the divergence table, worst ids first.

    Parameters
    ----------
    table : pandas.DataFrame
        The largest divergence per id (rows, in report order) and column.
    names : sequence of str
        The frame names, the reference first.
    total : int
        Number of ids of the report.
    why : str
        How the ids are ordered, for the title.

    """
    import matplotlib as mpl

    worst = table.iloc[:OVERVIEW_IDS]
    nrows, ncols = worst.shape
    width = min(MAX_WIDTH, 3.2 + 1.1 * ncols)
    height = 2.2 + 0.3 * nrows
    figure = _figure(width, height)
    ax = figure.add_subplot(1, 1, 1)
    cmap = mpl.colormaps["YlOrRd"].with_extremes(bad="0.85")
    values = worst.to_numpy(dtype=float)
    image = ax.imshow(np.ma.masked_invalid(values), cmap=cmap, vmin=0, vmax=1,
                      aspect="auto", interpolation="nearest")
    ax.set_xticks(range(ncols))
    ax.set_xticklabels([str(c) for c in worst.columns], rotation=30,
                       ha="left")
    ax.xaxis.tick_top()
    ax.set_yticks(range(nrows))
    ax.set_yticklabels([str(i) for i in worst.index])
    ax.set_ylabel(str(id_name))
    ax.grid(False)
    for side in ax.spines.values():
        side.set_visible(False)
    if nrows * ncols <= 600:
        for (r, c), value in np.ndenumerate(values):
            text = "missing" if np.isnan(value) else "{:.2f}".format(value)
            ax.text(c, r, text, ha="center", va="center", fontsize=8,
                    color="white" if value > 0.6 else "0.15")
    bar = figure.colorbar(image, ax=ax, fraction=0.05, pad=0.03)
    bar.set_label("divergence")
    compared = ", ".join(repr(n) for n in names[1:])
    shown = ("all {} ids".format(total) if nrows == total
             else "the worst {} of {} ids".format(nrows, total))
    figure.suptitle(
        "Divergence of {} from {}: {}, {}\n"
        "0 = same, 1 = disjoint: Kolmogorov-Smirnov statistic for numbers, "
        "total variation for labels".format(
            compared, repr(names[0]), shown, why),
        x=0.02, ha="left", fontsize=10)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        figure.tight_layout()
    return figure


def rendered(tasks, count, jobs=1, executor=None, progress=None):
    """Render ``tasks`` in order; yield the bytes of each as it is ready.

    Parameters
    ----------
    tasks : iterable
        Tasks for :func:`render_task`.
    count : int
        Number of tasks, for the progress bar.
    jobs : int
        Worker processes to start when no ``executor`` is given; 1 renders
        in this process.
    executor : concurrent.futures.Executor, optional
        A process-based executor (such as a dask ``Client.get_executor()``);
        it is used, not shut down.
    progress : bool, optional
        Show a progress bar; by default when standard error is a terminal
        (or in a notebook) and there are at least three tasks.

    """
    bar = _progress(progress, count)
    try:
        if executor is not None:
            yield from _bar(_in_order(executor, tasks, 2 * _workers(executor)), bar)
        elif jobs > 1:
            pool = None
            try:
                # Making the pool may start helper processes already.
                with held_signals(), _children_deaf_to_ctrl_c():
                    pool = concurrent.futures.ProcessPoolExecutor(
                        jobs, mp_context=_worker_context(), initializer=_start_worker)
                yield from _bar(_in_order(pool, tasks, 2 * jobs), bar)
            except BaseException:
                # Interrupted, failed or closed early: the workers stop now,
                # not after the pages they have begun.
                if pool is not None:
                    _stop(pool)
                raise
            pool.shutdown(wait=True)
        else:
            yield from _bar((render_task(task) for task in tasks), bar)
    finally:
        if bar is not None:
            bar.close()


def _worker_context():
    """Start workers from a clean server process, never by forking this one.

    Forking a process that runs threads (numpy's, a notebook's) can leave
    the child holding a lock for ever. The fork server starts once, imports
    the drawing code and forks the workers from itself; where there is none,
    workers are spawned. Either way a worker imports the caller's main
    module (as ``__mp_main__``), so a script guards its own work with
    ``if __name__ == "__main__":``, as for any process pool started so.
    """
    import multiprocessing

    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(
            ["kestrune.testing.plotting.compare.render",
             "kestrune.testing.plotting.style",
             "kestrune.testing.plotting.series"])
        return context
    return multiprocessing.get_context("spawn")


def check_executor(executor):
    """Refuse executors that would draw pages on threads of this process."""
    if executor is None:
        return
    if isinstance(executor, concurrent.futures.ThreadPoolExecutor):
        raise ValueError(
            "executor must run pages in other processes (such as a "
            "ProcessPoolExecutor or a dask Client.get_executor()): "
            "matplotlib's style is process-wide, so threads would draw "
            "with each other's settings")
    if not hasattr(executor, "submit"):
        raise ValueError("executor must be a concurrent.futures.Executor, got "
                         "{}".format(type(executor).__name__))


def _stop(pool):
    """End the pool's worker processes at once and wait for them."""
    workers = list((getattr(pool, "_processes", None) or {}).values())
    for worker in workers:
        if worker.is_alive():
            worker.terminate()
    try:
        pool.shutdown(wait=True)
    finally:
        for worker in workers:
            worker.join(5)
            if worker.is_alive():
                worker.kill()


@contextlib.contextmanager
def _children_deaf_to_ctrl_c():
    """Block SIGINT in this thread while processes may be started.

    The fork server and the workers inherit the blocked signal, so a Ctrl-C
    sent to the whole process group while they start (or import the
    drawing code) makes none of them print a traceback: the parent alone
    answers it and stops them. A signal that arrives meanwhile waits until
    the block ends.
    """
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    before = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, before)


def _workers(executor):
    return max(1, getattr(executor, "_max_workers", 0) or 4)


def _in_order(executor, tasks, ahead):
    """Results of the tasks in their order, with at most ``ahead`` in flight."""
    pending = collections.deque()
    try:
        for task in tasks:
            # A submission may start a worker: an interrupt waits until the
            # pool knows the new process, so that stopping the pool stops it.
            with held_signals(), _children_deaf_to_ctrl_c():
                pending.append(executor.submit(render_task, task))
            if len(pending) >= ahead:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        # Pages not begun are not drawn once the caller stops reading.
        for future in pending:
            future.cancel()


def _bar(results, bar):
    for result in results:
        yield result
        if bar is not None:
            bar.update(1)


def _progress(progress, count):
    in_notebook = "ipykernel" in sys.modules
    if progress is None:
        progress = count >= 3 and (in_notebook or _stderr_is_terminal())
    if not progress:
        return None
    if in_notebook:
        from tqdm.auto import tqdm
    else:
        from tqdm import tqdm
    return tqdm(total=count, unit="page", desc="report", file=sys.stderr)


def _stderr_is_terminal():
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False
