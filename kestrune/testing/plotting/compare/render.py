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
    ``("overview", table, qvalues, names, total, why, id_name, shown,
    nearest, fmt)`` or ``("population", population, names, columns, fmt)``.

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
        draw = {"page": draw_page, "overview": draw_overview,
                "population": draw_population}[kind]
        figure = draw(*task[1:-1])
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
    if lacking and page.kind != "uncovered":
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


# Short names of the measures under the overview's columns.
MEASURE_LABELS = {"distribution": "distribution", "dynamics": "dynamics",
                  "dependence": "dependence"}
# A cell whose q-value is at least this is within sampling noise.
NOISE = 0.05


def draw_overview(table, qvalues, names, total, why, id_name, shown, nearest=False):
    """A heat map of the report's cells, worst ids first, noise hatched.

    Parameters
    ----------
    table : pandas.DataFrame
        The largest divergence per id (rows, in report order) and
        (column, measure) cell.
    qvalues : pandas.DataFrame
        The q-value of each cell; cells at ``NOISE`` or above are hatched
        as within sampling noise.
    names : sequence of str
        The frame names, the reference first.
    total : int
        Number of ids of the report.
    why : str
        How the ids are ordered, for the title.
    id_name : str
        Name of the id, for the y axis.
    shown : int
        Number of ids the pages draw.
    nearest : bool
        The ids are compared ids, each against its nearest reference id:
        there are no p-values (pairs chosen for looking alike would bias
        them), so nothing is hatched.

    """
    import matplotlib as mpl
    from matplotlib.patches import Patch, Rectangle

    worst = table.iloc[:OVERVIEW_IDS]
    noise = qvalues.iloc[:OVERVIEW_IDS].to_numpy(dtype=float) >= NOISE
    nrows, ncols = worst.shape
    cells = list(worst.columns)
    width = min(MAX_WIDTH, 3.4 + 0.7 * ncols)
    height = 2.9 + 0.3 * nrows
    figure = _figure(width, height)
    ax = figure.add_subplot(1, 1, 1)
    cmap = mpl.colormaps["YlOrRd"].with_extremes(bad="0.85")
    values = worst.to_numpy(dtype=float)
    image = ax.imshow(np.ma.masked_invalid(values), cmap=cmap, vmin=0, vmax=1,
                      aspect="auto", interpolation="nearest")
    for r, c in zip(*np.nonzero(noise)):
        ax.add_patch(Rectangle((c - 0.5, r - 0.5), 1, 1, facecolor=(1, 1, 1, 0.55),
                               edgecolor="0.6", hatch="///", linewidth=0))
    # One group of cells per column: the column's name above, the measures
    # below, a line between groups.
    ax.set_xticks(range(ncols))
    ax.set_xticklabels([MEASURE_LABELS.get(m, str(m)) for _, m in cells],
                       rotation=90, fontsize=8)
    starts = [n for n in range(ncols) if n == 0 or cells[n][0] != cells[n - 1][0]]
    for start, stop in zip(starts, starts[1:] + [ncols]):
        ax.text((start + stop - 1) / 2, -0.7, str(cells[start][0]), ha="center",
                va="bottom", fontsize=9, fontweight="bold")
        if start:
            ax.axvline(start - 0.5, color="white", linewidth=3)
    ax.set_yticks(range(nrows))
    ax.set_yticklabels([str(i) for i in worst.index])
    ax.set_ylabel(str(id_name))
    ax.grid(False)
    for side in ax.spines.values():
        side.set_visible(False)
    if nrows * ncols <= 600:
        for (r, c), value in np.ndenumerate(values):
            text = "missing" if np.isnan(value) else "{:.2f}".format(value)
            ax.text(c, r, text, ha="center", va="center", fontsize=7,
                    color="white" if value > 0.6 and not noise[r, c] else "0.15")
    bar = figure.colorbar(image, ax=ax, fraction=0.05, pad=0.03)
    bar.set_label("divergence")
    compared = ", ".join(repr(n) for n in names[1:])
    listed = ("all {:,} ids".format(total) if nrows == total
              else "the worst {:,} of {:,} ids".format(nrows, total))
    drawn = ("every id" if shown == total
             else "the first {:,} of {:,} ids".format(shown, total))
    noise_line = ("no p-values: pairs chosen for looking alike would bias them"
                  if nearest else
                  "hatched cells are within sampling noise (Benjamini-Hochberg "
                  "q-value >= {:g})".format(NOISE))
    figure.suptitle(
        "Divergence of {} from {}: {}, {}; pages show {}\n"
        "0 = same, 1 = disjoint; {}".format(
            compared, repr(names[0]), listed, why, drawn, noise_line),
        x=0.02, ha="left", fontsize=10)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        figure.tight_layout()
        # The legend goes under the measures' names, whose height is known
        # once they are laid out.
        if not nearest:
            renderer = figure.canvas.get_renderer()
            lowest = min([label.get_window_extent(renderer).y0
                          for label in ax.get_xticklabels()] + [ax.bbox.y0])
            below = ax.transAxes.inverted().transform((0, lowest))[1]
            ax.legend(handles=[Patch(facecolor="white", edgecolor="0.6", hatch="///",
                                     label="within sampling noise")],
                      loc="upper left", bbox_to_anchor=(0, below), frameon=False,
                      fontsize=8, borderaxespad=0.2)
            figure.tight_layout()
    return figure


# Panels of the population page's last row.
TIME_PANELS = 3


def draw_population(population, names, columns):
    """The frames as wholes: per column, per summary entry, over time.

    Parameters
    ----------
    population : dict of str to pandas.DataFrame
        ``Report.population``.
    names : sequence of str
        The frame names, the reference first.
    columns : sequence of str
        The data columns, in row order.

    """
    from matplotlib.gridspec import GridSpec
    from matplotlib.lines import Line2D

    compared = list(names[1:])
    colours = ["C{}".format(n + 1) for n in range(len(compared))]
    entries = population["summaries"]
    over_time = population["over_time"]
    time_rows = -(-len(columns) // TIME_PANELS)
    top = max(3.0, 0.5 + 0.2 * len(entries))
    width, height = MAX_WIDTH, HEADER + top + 0.6 + 2.4 * time_rows
    figure = _figure(width, height)
    grid = GridSpec(1 + time_rows, 2 * TIME_PANELS, figure=figure,
                    height_ratios=[top] + [2.4] * time_rows, hspace=0.6,
                    wspace=0.9, left=0.1, right=0.98, bottom=0.6 / height,
                    top=1 - (HEADER + 0.35) / height)
    _bars(figure.add_subplot(grid[0, :TIME_PANELS - 1]), population["columns"],
          compared, colours, "all rows together, per column")
    _bars(figure.add_subplot(grid[0, TIME_PANELS:]), entries, compared, colours,
          "the ids' summaries, reference ids against compared ids")
    for n, column in enumerate(columns):
        row, place = divmod(n, TIME_PANELS)
        ax = figure.add_subplot(grid[1 + row, 2 * place:2 * place + 2])
        drawn = False
        for name, colour in zip(compared, colours):
            if (name, column) in over_time.columns:
                line = over_time[(name, column)].dropna()
                if len(line):
                    ax.plot(line.index, line.to_numpy(dtype=float), color=colour,
                            marker="." if len(line) < 40 else None, label=name)
                    drawn = True
        if not drawn:
            ax.text(0.5, 0.5, "no time point shared", ha="center", va="center",
                    transform=ax.transAxes, fontsize=9, color="0.4")
        ax.set_ylim(0, 1)
        ax.set_title("{} across ids, per time point".format(column), fontsize=9)
        ax.tick_params(labelsize=7)
        for label in ax.get_xticklabels():
            label.set_rotation(30)
    heading = "The populations: {} against {!r}".format(
        ", ".join(repr(n) for n in compared), names[0])
    figure.text(0.2 / width, 1 - 0.12 / height, heading, ha="left", va="top",
                fontsize=12, fontweight="bold")
    scores = population.get("scores")
    if scores is not None:
        row = scores.iloc[0]
        figure.text(0.2 / width, 1 - 0.45 / height, (
            "precision {:.2f}: share of compared ids inside the reference "
            "population;  coverage {:.2f}: share of reference ids with a compared "
            "look-alike;  near-copies: {}").format(
                row["precision"], row["coverage"], int(row["near_copies"])),
            ha="left", va="top", fontsize=9)
    figure.legend(handles=[Line2D([], [], color=c, linewidth=6, label=n)
                           for n, c in zip(compared, colours)],
                  loc="upper right", bbox_to_anchor=(0.98, 1 - 0.1 / height),
                  frameon=False, fontsize=9)
    return figure


def _bars(ax, table, compared, colours, title):
    """Horizontal bars of a table's divergences, one bar per compared frame."""
    rows = list(table.index)
    step = 0.8 / max(1, len(compared))
    for k, (name, colour) in enumerate(zip(compared, colours)):
        values = table[name].to_numpy(dtype=float) if name in table else np.full(len(rows), np.nan)
        places = np.arange(len(rows)) - 0.4 + step * (k + 0.5)
        ax.barh(places, np.nan_to_num(values), height=step, color=colour, label=name)
        for place, value in zip(places, values):
            ax.text(np.nan_to_num(value) + 0.01, place,
                    "-" if np.isnan(value) else "{:.2f}".format(value),
                    va="center", fontsize=6, color="0.3")
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([str(r) for r in rows], fontsize=7)
    ax.invert_yaxis()
    ax.set_xlim(0, 1)
    ax.set_xlabel("divergence (0 = same, 1 = disjoint)", fontsize=8)
    ax.set_title(title, fontsize=9)
    ax.tick_params(axis="x", labelsize=7)


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
                # Interrupted, failed or closed early: no page is begun any
                # more, and the workers stop once their current page is done.
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
    """End the pool's worker processes and wait for them.

    The pages not begun are cancelled already (see ``_in_order``); a worker
    finishes the page it has begun, a second at most, and then stops. It is
    not killed on the spot: a worker killed while it sends a page back
    leaves half a message in the pool's pipe, and the pool's reader thread
    would wait for the rest for ever, keeping this process alive.
    """
    workers = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=True)
    for worker in workers:
        worker.join()


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
    if hasattr(progress, "phase"):  # a Progress of the command line
        progress.phase("pages", count)
        return progress
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
