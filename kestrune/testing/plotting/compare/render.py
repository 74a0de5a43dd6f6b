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
import os
import signal
import sys
import tempfile
import threading
import time
import warnings

import numpy as np

from .sinks import held_signals

# Sizes in inches; figures are drawn at DPI dots per inch.
DPI = 100
MAX_WIDTH = 12.0
CELL_WIDTH = 2.8
LEFT = 1.0
RIGHT = 0.2
ROW_HEIGHT = 2.6
# The heading, one line of notes under it and the frames' legend; each
# further line of notes adds NOTE_LINE.
HEADER = 1.1
NOTE_LINE = 0.14
TITLES = 0.45
# Below each row: its tick labels (rotated labels of a count), its x label
# and the next row's line of numbers.
GAP = 1.1
# The worst ids of the overview's heat map.
OVERVIEW_IDS = 50
# A column of ones beside each categorical column: the cell counts the rows
# of each label through another column of the frame.
HELPER = "__rows__"

PageSpec = collections.namedtuple(
    "PageSpec", "names columns kinds share integer_time helper fmt labels "
    "own_scales nearest", defaults=(None, False, False))
PageSpec.__doc__ = """What every page of a report shares.

names : tuple of the frame names; columns, kinds : tuples of the data
columns in row order and their kinds; share : name of the ShareSetting
member; integer_time : whether the time level holds integers; helper : name
of the column of ones that categorical cells count with (one no data column
has), or None; fmt : "png" or "pdf"; labels : dict of each categorical
column to its labels in the report's order (see :func:`label_order`), or
None for the order the cells meet them in; own_scales : whether a
continuous row whose ids' scales differ widely gives each id its own y axis
(see :func:`scales_differ`); nearest : whether the pages show pairs chosen
for looking alike (their cells have no p-values).
"""

# A continuous row of the default sharing gives each id its own y axis when
# some id's values span less than this share of what the row's ids span
# together: on one axis its line would be nearly flat.
SCALE_SHARE = 0.25
# The label under which the cells count missing labels.
NULL = "Null"
# Short names of the measures in the cells' lines of numbers.
MEASURE_SHORT = {"distribution": "distr", "dynamics": "dyn", "dependence": "dep"}
# The mark of a number beyond sampling noise in a cell.
BEYOND = "*"


def label_order(frames, column):
    """A categorical column's labels in the order every cell shows them.

    The reference's labels first (sorted), then the labels that only the
    compared frames have (sorted), then ``"Null"`` (the missing labels).
    """
    seen, order = set(), []
    for frame in frames:
        values = frame[column]
        fresh = set(values[values.notna()].unique()) - seen - {NULL}
        try:
            fresh = sorted(fresh)
        except TypeError:  # labels of several types
            fresh = sorted(fresh, key=lambda v: (type(v).__name__, str(v)))
        order += fresh
        seen.update(fresh)
    return tuple(order) + (NULL,)


def scales_differ(frames, column, ids):
    """Whether some id's values span less than ``SCALE_SHARE`` of what all
    ``ids`` span together (over every frame that holds them)."""
    lows, highs = [], []
    for frame in frames:
        values = frame[column]
        values = values[values.index.get_level_values(0).isin(list(ids))]
        values = values.astype(float)
        grouped = values.groupby(level=0)
        lows.append(grouped.min())
        highs.append(grouped.max())
    import pandas as pd

    low = pd.concat(lows, axis=1).min(axis=1)
    high = pd.concat(highs, axis=1).max(axis=1)
    spans = (high - low).dropna()
    whole = high.max() - low.min()
    if len(spans) < 2 or not whole > 0:
        return False
    return bool((spans < SCALE_SHARE * whole).any())


def cell_numbers(values, qvalues, column, nearest=False):
    """The line of numbers of one id's cell of ``column``: each measure's
    divergence, marked ``BEYOND`` where its q-value is below ``NOISE``."""
    parts = []
    for (col, measure), value in values.items():
        if col != column:
            continue
        q = qvalues.get((col, measure), np.nan)
        number = "-" if value != value else "{:.2f}".format(value)
        mark = BEYOND if not nearest and q == q and q < NOISE else ""
        parts.append("{} {}{}".format(MEASURE_SHORT.get(measure, measure), number, mark))
    return "  ".join(parts)



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
    """Render one task: ``("page", page, spec, frames, numbers, fmt)`` or
    ``("overview", table, qvalues, names, total, why, id_name, shown,
    nearest, verdicts, fmt)`` or ``("population", population, names, columns, fmt)``.

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

    # matplotlib's settings are process-wide: where several threads of one
    # process draw (a dask worker's), they draw one figure at a time.
    with _DRAWING, mpl.rc_context():
        set_plotting_style()
        draw = {"page": draw_page, "overview": draw_overview,
                "population": draw_population}[kind]
        figure = draw(*task[1:-1])
        return _to_bytes(figure, task[-1])


_DRAWING = threading.Lock()


def cluster_executor():
    """The executor of the current dask client, or None without one."""
    from .cluster import current_client
    client = current_client()
    return None if client is None else client.get_executor()


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


def draw_page(page, spec, frames, numbers=None):
    """Draw one page: one row per column, one cell per id, the frame legend.

    Each row is drawn by the module's ``plot_row``, once for each run of
    neighbouring ids that the same frames hold: a frame that lacks an id is
    not drawn in that id's cells, and the others keep their colours. Under
    ``spec.own_scales`` a continuous row whose ids' scales differ widely
    (:func:`scales_differ`) is drawn one id at a time, each with its own y
    axis. Once the module has drawn a cell, the report adds to it: the
    bars of a categorical cell go into the order of ``spec.labels``, and
    the id's numbers go in a small line above the cell.

    Parameters
    ----------
    page : Page
    spec : PageSpec
    frames : list of pandas.DataFrame
        The page's rows of each frame, the reference first.
    numbers : dict, optional
        For each id of the page that has numbers, a pair of dicts: the
        divergence and the q-value of each (column, measure) cell.

    """
    from matplotlib.gridspec import GridSpec

    from ..frames import _label

    series = importlib.import_module("kestrune.testing.plotting.series")
    share = getattr(series.ShareSetting, spec.share)
    numbers = numbers or {}
    held = [set(frame.index.get_level_values(0)) for frame in frames]
    present = [tuple(k for k in range(len(frames)) if i in held[k])
               for i in page.ids]
    nids, nrows = len(page.ids), len(spec.columns)
    width = min(MAX_WIDTH, LEFT + CELL_WIDTH * nids)
    # Under the heading, its further lines and the key to the numbers, as
    # many lines as they wrap into; the header grows with them.
    notes = page.heading.split("\n")[1:] + (
        [numbers_key(spec.nearest, len(spec.names) > 2)] if numbers else [])
    notes = "\n".join(_wrapped(note, width - 0.4, 8) for note in notes)
    extra = NOTE_LINE * max(0, notes.count("\n")) if notes else -NOTE_LINE
    height = HEADER + extra + ROW_HEIGHT * nrows
    figure = _figure(width, height)
    axes_height = ROW_HEIGHT * nrows - GAP * nrows
    grid = GridSpec(nrows, nids, figure=figure, wspace=0.25,
                    hspace=GAP / (axes_height / nrows),
                    left=0.85 / width, right=1 - RIGHT / width,
                    bottom=GAP / height, top=1 - (HEADER + extra + TITLES) / height)
    drawn_in, ids_in = {}, {}
    for row, (column, kind) in enumerate(zip(spec.columns, spec.kinds)):
        continuous = kind == "continuous"
        plot_type = (series.PlotType.CONTINUOUS if continuous
                     else series.PlotType.CATEGORICAL)
        needed = [column] if continuous else [column, spec.helper]
        runs = _runs(present)
        if (continuous and spec.own_scales and share is series.ShareSetting.AXES
                and scales_differ(frames, column, page.ids)):
            runs = [(n, n + 1, drawn) for start, stop, drawn in runs
                    for n in range(start, stop)]
        for start, stop, drawn in runs:
            ax = figure.add_subplot(grid[row, start:stop])
            before = len(figure.axes)
            series.plot_row([frames[k][needed] for k in drawn], column,
                            list(page.ids[start:stop]), ax, share, plot_type,
                            True)
            cells = figure.axes[before:]
            ids = list(page.ids[start:stop])
            for n, cell in enumerate(cells):
                drawn_in[cell] = drawn
                # The id's place on the page is its colour in shared cells.
                ids_in[cell] = [(page.ids[m], m) for m in range(start, stop)]
                # One cell per id, or one cell for all (ShareSetting.PLOT).
                shown = [ids[n]] if len(cells) == len(ids) else ids
                if continuous:
                    _time_ticks(cell, spec.integer_time)
                elif spec.labels and column in spec.labels:
                    _order_labels(cell, spec.labels[column], [
                        frames[k] for k in drawn], column, shown)
                _numbers(cell, shown, numbers, column, spec.nearest,
                         first_row=row == 0)
            if start and cells:
                cells[0].set_ylabel("")
    heading = page.heading.split("\n")[0]
    lacking = ["{} lacks {}".format(i, ", ".join(
        repr(spec.names[k]) for k in range(len(frames)) if k not in held_by))
        for i, held_by in zip(page.ids, present) if len(held_by) < len(frames)]
    if lacking and page.kind != "uncovered":
        heading += " (" + "; ".join(lacking) + ")"
    figure.text(0.2 / width, 1 - 0.12 / height, heading,
                ha="left", va="top", fontsize=12, fontweight="bold")
    if notes:
        figure.text(0.2 / width, 1 - 0.42 / height, notes,
                    ha="left", va="top", fontsize=8, color="0.25")
    _label(figure, list(spec.names), 0.5,
           by_id=share is series.ShareSetting.PLOT,
           frames_in=lambda cell: drawn_in.get(cell, ()),
           ids_in=lambda cell: ids_in.get(cell, ()),
           top=1 - (0.62 + extra) / height, make_room=False)
    return figure


def numbers_key(nearest, several=False):
    """What the lines of numbers above the cells say (``several``: there
    are several compared frames, and each number is the largest)."""
    names = ", ".join("{} = {}".format(short, whole)
                      for whole, short in MEASURE_SHORT.items())
    key = ("numbers above each cell: the divergence of each measure{} "
           "(0 = same, 1 = disjoint; {})".format(
               ", the largest over the compared frames" if several else "", names))
    if nearest:
        return key + ("; no p-values: pairs chosen for looking alike would bias "
                      "them; realism at most 1: inside the reference population")
    return key + "; {} beyond sampling noise (q-value < {:g})".format(BEYOND, NOISE)


def _wrapped(text, inches, fontsize):
    """``text`` broken into lines that fit ``inches`` at ``fontsize``."""
    import textwrap

    # An average character of the sans-serif font is about 0.55 em wide.
    chars = max(20, int(inches * 72 / (0.55 * fontsize)))
    return textwrap.fill(text, chars, break_long_words=False)


def _numbers(cell, ids, numbers, column, nearest, first_row):
    """Write the numbers of ``ids`` in ``column`` as a small line above the
    cell, right-aligned (above its title on the first row), clear of what
    is drawn."""
    lines = []
    for i in ids:
        if i not in numbers:
            continue
        line = cell_numbers(numbers[i][0], numbers[i][1], column, nearest)
        if line:
            lines.append(line if len(ids) == 1 else "{}: {}".format(i, line))
    if not lines:
        return
    # One cell for every id (ShareSetting.PLOT): the ids' numbers side by
    # side, wrapped to the cell's width.
    inches = cell.get_position().width * cell.figure.get_figwidth()
    text = _wrapped(" | ".join(lines), inches, 7)
    anchor = (cell.transAxes, cell.title) if first_row else cell.transAxes
    cell.annotate(text, xy=(1, 1), xycoords=anchor, xytext=(0, 2),
                  textcoords="offset points", ha="right", va="bottom",
                  fontsize=7, color="0.2", gid="numbers")


def _order_labels(cell, order, frames, column, ids):
    """Put the bars of a categorical cell into the report's label order.

    The module places each label where the cell first meets it, so one
    label would sit at different places in different cells. Each bar moves
    with its label to the label's place in ``order`` among the cell's
    labels; the tick labels follow.
    """
    from matplotlib.ticker import FixedFormatter, FixedLocator

    labels = set()
    for frame in frames:
        values = frame[column]
        values = values[values.index.get_level_values(0).isin(list(ids))]
        labels.update(values[values.notna()].unique())
        if values.isna().any():
            labels.add(NULL)
    if not labels:
        return
    rank = {label: n for n, label in enumerate(order)}
    ordered = sorted(labels, key=lambda label: rank.get(label, len(rank)))
    place = {}
    for n, label in enumerate(ordered):
        before = np.asarray(cell.xaxis.convert_units([label]), dtype=float)
        place[int(round(float(before[0])))] = n
    for bar in cell.patches:
        middle = bar.get_x() + bar.get_width() / 2
        old = int(round(middle))
        if old in place:
            bar.set_x(place[old] + (middle - old) - bar.get_width() / 2)
    cell.xaxis.set_major_locator(FixedLocator(list(range(len(ordered)))))
    cell.xaxis.set_major_formatter(FixedFormatter([str(v) for v in ordered]))


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
# The stripes over the overview's cells within sampling noise.
NOISE_HATCH = (1, 1, 1, 0.8)


def draw_overview(table, qvalues, names, total, why, id_name, shown, nearest=False,
                  verdicts=None):
    """A heat map of the report's cells, in page order, noise hatched.

    Parameters
    ----------
    table : pandas.DataFrame
        The largest divergence per id (rows, in report order) and
        (column, measure) cell.
    qvalues : pandas.DataFrame
        The q-value of each cell; cells at ``NOISE`` or above, and cells
        with a value but no q-value (too short to tell), are hatched as
        within sampling noise.
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
    verdicts : pandas.DataFrame, optional
        ``Report.verdicts``: drawn as a band above the heat map, one row per
        compared frame (see :func:`_verdict_band`).

    """
    import matplotlib as mpl
    from matplotlib.patches import Patch, Rectangle

    worst = table.iloc[:OVERVIEW_IDS]
    q = qvalues.iloc[:OVERVIEW_IDS].to_numpy(dtype=float)
    # A cell too short to tell (a value, no q-value) is no evidence either.
    noise = (q >= NOISE) | (np.isnan(q) & worst.notna().to_numpy() & (not nearest))
    nrows, ncols = worst.shape
    cells = list(worst.columns)
    width = min(MAX_WIDTH, 3.4 + 0.7 * ncols)
    height = 2.9 + 0.3 * nrows
    band = None
    if verdicts is not None and len(verdicts):
        band_height = 0.75 + 0.45 * (len(names) - 1)
        figure = _figure(width, height + band_height)
        grid = figure.add_gridspec(2, 2, height_ratios=[band_height - 0.6, height - 2.9 + 0.6],
                                   width_ratios=[1, 0.03])
        ax, band = figure.add_subplot(grid[1, 0]), figure.add_subplot(grid[0, 0])
        bar_axes = figure.add_subplot(grid[1, 1])
    else:
        figure = _figure(width, height)
        ax = figure.add_subplot(1, 1, 1)
    cmap = mpl.colormaps["YlOrRd"].with_extremes(bad="0.85")
    values = worst.to_numpy(dtype=float)
    image = ax.imshow(np.ma.masked_invalid(values), cmap=cmap, vmin=0, vmax=1,
                      aspect="auto", interpolation="nearest")
    # Thin white stripes keep a cell within noise in the colour bar's own
    # colour, only lighter: a grey or tinted hatch would mix into a colour
    # that is not on the bar.
    for r, c in zip(*np.nonzero(noise)):
        ax.add_patch(Rectangle((c - 0.5, r - 0.5), 1, 1, facecolor="none",
                               edgecolor=NOISE_HATCH, hatch="//", linewidth=0))
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
    if band is None:
        bar = figure.colorbar(image, ax=ax, fraction=0.05, pad=0.03)
    else:
        bar = figure.colorbar(image, cax=bar_axes)
        _verdict_band(band, verdicts, cells, names)
    bar.set_label("divergence")
    compared = ", ".join(repr(n) for n in names[1:])
    # Under nearest pairing the first ids are the closest pairs, not the
    # worst ones.
    listed = ("all {:,} ids".format(total) if nrows == total
              else "the first {:,} of {:,} ids".format(nrows, total) if nearest
              else "the worst {:,} of {:,} ids".format(nrows, total))
    drawn = ("every id" if shown == total
             else "the first {:,} of {:,} ids".format(shown, total))
    noise_line = ("no p-values: pairs chosen for looking alike would bias them"
                  if nearest else
                  "cells with white stripes are within sampling noise "
                  "(q-value >= {:g} over ids, or too short to tell)".format(NOISE))
    # The title wraps to the figure's width rather than running off it.
    title = figure.suptitle("\n".join(_wrapped(line, width - 0.3, 10) for line in (
        "Divergence of {} from {}: {}, {}; pages show {}".format(
            compared, repr(names[0]), listed, why, drawn),
        "0 = same, 1 = disjoint; {}".format(noise_line))),
        x=0.02, ha="left", fontsize=10)
    # Room for the lines beyond the two the height counts on; the layout
    # keeps the axes below the title.
    lines = title.get_text().count("\n") + 1
    height += 0.18 * max(0, lines - 2)
    figure.set_size_inches(width, height)
    below_title = dict(rect=(0, 0, 1, 1 - 0.12 * lines / height))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        figure.tight_layout(**below_title)
        # The legend goes under the measures' names, whose height is known
        # once they are laid out.
        if not nearest:
            renderer = figure.canvas.get_renderer()
            lowest = min([label.get_window_extent(renderer).y0
                          for label in ax.get_xticklabels()] + [ax.bbox.y0])
            below = ax.transAxes.inverted().transform((0, lowest))[1]
            ax.legend(handles=[Patch(facecolor=cmap(0.5), edgecolor=NOISE_HATCH,
                                     hatch="//", linewidth=0,
                                     label="within sampling noise (white stripes)")],
                      loc="upper left", bbox_to_anchor=(0, below), frameon=False,
                      fontsize=8, borderaxespad=0.2)
            figure.tight_layout(**below_title)
    return figure


def _verdict_band(ax, verdicts, cells, names):
    """The verdicts over all ids, one row per compared frame, one cell per
    (column, measure) of the heat map below: the colour is the evidence
    (-log10 of the q-value, 4 and more darkest), the text the mean contrast
    per id and the q-value; verdicts within sampling noise are hatched."""
    import matplotlib as mpl
    from matplotlib.patches import Rectangle

    compared = list(names[1:])
    where = {cell: n for n, cell in enumerate(cells)}
    q = np.full((len(compared), len(cells)), np.nan)
    text = {}
    for row in verdicts.itertuples(index=False):
        cell = where.get((row.column, row.measure))
        if cell is None or row.frame not in compared:
            continue
        r = compared.index(row.frame)
        q[r, cell] = row.q
        text[r, cell] = "{:+.2f}\nq {}".format(row.effect, _q_text(row.q))
    evidence = -np.log10(np.clip(q, 1e-4, 1.0))
    cmap = mpl.colormaps["Blues"].with_extremes(bad="0.85")
    ax.imshow(np.ma.masked_invalid(evidence), cmap=cmap, vmin=0, vmax=4.5, aspect="auto",
              interpolation="nearest")
    for (r, c), value in np.ndenumerate(q):
        if not value < NOISE:
            ax.add_patch(Rectangle((c - 0.5, r - 0.5), 1, 1, facecolor=(1, 1, 1, 0.55),
                                   edgecolor="0.6", hatch="///", linewidth=0))
        ax.text(c, r, text.get((r, c), "-"), ha="center", va="center", fontsize=7,
                color="white" if value < 0.001 else "0.15")
    for n in range(1, len(cells)):
        if cells[n][0] != cells[n - 1][0]:
            ax.axvline(n - 0.5, color="white", linewidth=3)
    ax.set_xticks([])
    ax.set_yticks(range(len(compared)))
    ax.set_yticklabels([str(n) for n in compared], fontsize=8)
    ax.grid(False)
    for side in ax.spines.values():
        side.set_visible(False)
    ax.set_title("Verdicts over all ids (a systematic difference per column and measure): "
                 "mean contrast per id, q-value; hatched: within noise",
                 fontsize=8, loc="left")


def _q_text(q):
    if np.isnan(q):
        return "-"
    return "<0.001" if q < 0.001 else "{:.3f}".format(q)


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
    from matplotlib.ticker import MaxNLocator

    compared = list(names[1:])
    colours = ["C{}".format(n + 1) for n in range(len(compared))]
    entries, title = _most_divergent(population["summaries"], compared)
    over_time = population["over_time"]
    time_rows = -(-len(columns) // TIME_PANELS)
    top = max(3.0, 0.5 + 0.2 * len(entries))
    width, height = MAX_WIDTH, HEADER + top + 0.6 + 2.4 * time_rows
    figure = _figure(width, height)
    grid = GridSpec(1 + time_rows, 2 * TIME_PANELS, figure=figure,
                    height_ratios=[top] + [2.4] * time_rows, hspace=0.6,
                    wspace=0.9, left=0.1, right=0.98, bottom=0.6 / height,
                    top=1 - (HEADER + 0.35) / height)
    levels = population.get("levels") or {}
    _bars(figure.add_subplot(grid[0, :TIME_PANELS - 1]), population["columns"],
          compared, colours, "all rows together, per column" + (
              "\nhatched: within sampling noise; |: the null 95 % level" if levels else ""),
          levels.get("columns"))
    _bars(figure.add_subplot(grid[0, TIME_PANELS:]), entries, compared, colours, title,
          levels.get("summaries"))
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
        if drawn and levels:
            _time_levels(ax, levels, compared, colours, column, over_time.index)
        if not drawn:
            ax.text(0.5, 0.5, "no time point shared", ha="center", va="center",
                    transform=ax.transAxes, fontsize=9, color="0.4")
        ax.set_ylim(0, 1)
        if over_time.index.dtype.kind in "iu":  # years, not 1937.5
            ax.xaxis.set_major_locator(MaxNLocator(integer=True))
        ax.set_title("{} across ids, per time point".format(column), fontsize=9)
        ax.tick_params(labelsize=7)
        for label in ax.get_xticklabels():
            label.set_rotation(30)
    heading = "The populations: {} against {!r}".format(
        ", ".join(repr(n) for n in compared), names[0])
    if "ids" in levels:
        heading = "The populations: {} against {}".format(", ".join(
            "{!r} ({:,} ids)".format(n, int(levels["ids"][n])) for n in compared),
            "{!r} ({:,} ids)".format(names[0], int(levels["ids"][names[0]])))
    figure.text(0.2 / width, 1 - 0.12 / height, heading, ha="left", va="top",
                fontsize=12, fontweight="bold")
    scores = population.get("scores")
    if scores is not None and len(scores) == 1:
        row = scores.iloc[0]
        figure.text(0.2 / width, 1 - 0.45 / height, (
            "precision {:.2f}: share of compared ids inside the reference "
            "population;  coverage {:.2f}: share of reference ids with a compared "
            "look-alike;  near-copies: {}").format(
                row["precision"], row["coverage"], int(row["near_copies"])),
            ha="left", va="top", fontsize=9)
    elif scores is not None:  # one clause per compared frame
        figure.text(0.2 / width, 1 - 0.45 / height, ";  ".join(
            "{!r}: precision {:.2f}, coverage {:.2f}, near-copies {}".format(
                name, row["precision"], row["coverage"], int(row["near_copies"]))
            for name, row in scores.iterrows()), ha="left", va="top", fontsize=9)
    figure.legend(handles=[Line2D([], [], color=c, linewidth=6, label=n)
                           for n, c in zip(compared, colours)],
                  loc="upper right", bbox_to_anchor=(0.98, 1 - 0.1 / height),
                  frameon=False, fontsize=9)
    return figure


# Most summary entries the population page shows (thousands of labels make
# thousands of entries).
MOST_ENTRIES = 40


def _most_divergent(entries, compared):
    """At most ``MOST_ENTRIES`` of the summary entries, those of the largest
    divergence (over the compared frames) in their order, and the panel's
    title, which says how many are shown."""
    title = "the ids' summaries, reference ids against compared ids"
    if len(entries) <= MOST_ENTRIES:
        return entries, title
    values = entries.reindex(columns=compared).to_numpy(dtype=float)
    largest = np.where(np.isnan(values), -1.0, values).max(axis=1)
    kept = np.sort(np.argsort(-largest, kind="stable")[:MOST_ENTRIES])
    return entries.iloc[kept], "{}\n(the {} of {:,} entries that differ most)".format(
        title, MOST_ENTRIES, len(entries))


def _time_levels(ax, levels, compared, colours, column, times):
    """The noise of the divergence across ids over time: the area under each
    time point's null 95 % level hatched, the level that the largest value
    over time passes by chance as a dotted line."""
    for name, colour in zip(compared, colours):
        if (name, column) not in levels["over_time"].columns:
            continue
        level = levels["over_time"][(name, column)].reindex(times).to_numpy(dtype=float)
        if np.isnan(level).all():
            ax.text(0.02, 0.95, "too few ids to tell", transform=ax.transAxes, fontsize=7,
                    va="top", color="0.4")
            continue
        ax.fill_between(times, 0, np.nan_to_num(level), facecolor="none",
                        edgecolor=colour, hatch="///", linewidth=0, alpha=0.35)
        band = levels["band"].at[column, name]
        if not np.isnan(band):
            ax.axhline(band, color=colour, linestyle=":", linewidth=1)


def _bars(ax, table, compared, colours, title, levels=None):
    """Horizontal bars of a table's divergences, one bar per compared frame;
    with ``levels``, the bars within their null 95 % level hatched and the
    level marked."""
    rows = list(table.index)
    step = 0.8 / max(1, len(compared))
    for k, (name, colour) in enumerate(zip(compared, colours)):
        values = table[name].to_numpy(dtype=float) if name in table else np.full(len(rows), np.nan)
        places = np.arange(len(rows)) - 0.4 + step * (k + 0.5)
        ax.barh(places, np.nan_to_num(values), height=step, color=colour, label=name)
        level = np.full(len(rows), np.nan)
        if levels is not None and name in levels:
            level = levels[name].reindex(rows).to_numpy(dtype=float)
            within = ~(values >= level)
            ax.barh(places[within], np.nan_to_num(values[within]), height=step,
                    facecolor=(1, 1, 1, 0.55), edgecolor="0.6", hatch="///", linewidth=0)
            ax.plot(level, places, linestyle="none", marker="|", color="0.2", markersize=6)
        for place, value, noise in zip(places, values, level):
            text = "-" if np.isnan(value) else "{:.2f}".format(value)
            if levels is not None and np.isnan(noise) and not np.isnan(value):
                text += " (too few ids to tell)"
            ax.text(np.nan_to_num(value) + 0.01, place, text,
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
            pool = folder = None
            try:
                # Making the pool may start helper processes already.
                with held_signals(), _children_deaf_to_ctrl_c():
                    folder = tempfile.mkdtemp(prefix="kestrune-pages-")
                    pool = concurrent.futures.ProcessPoolExecutor(
                        jobs, mp_context=_worker_context(), initializer=_start_worker)
                yield from _bar(_in_order(pool, tasks, 2 * jobs, folder), bar)
            except BaseException:
                # Interrupted, failed or closed early: no page is begun any
                # more, and the workers stop once their current page is done.
                if pool is not None:
                    _stop(pool)
                raise
            finally:
                if folder is not None:
                    with held_signals():
                        _remove_folder(folder)
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


# Seconds that stopping the workers waits at each step before it forces it.
PATIENCE = 10.0


def _stop(pool):
    """End the pool's worker processes and wait for them, ``PATIENCE``
    seconds at most for each step.

    The pages not begun are cancelled already (see ``_in_order``); a worker
    finishes the page it has begun, a second at most, and then stops; one
    that has not within ``PATIENCE`` is killed. A worker that died while
    it sent a page back (killed with its process group, say) can have left
    half a message in the pool's pipe, and the pool's reader thread waits
    for the rest: it is fed filler bytes, which it reads as a damaged
    message, and so ends, as the process could not exit while it waits.
    """
    patience = PATIENCE
    workers = list((getattr(pool, "_processes", None) or {}).values())
    queue = getattr(pool, "_result_queue", None)
    # The pool's shutdown waits for its reader thread, which waits for
    # the workers: it runs aside, and what it waits for is ended in turn.
    stopper = threading.Thread(target=pool.shutdown, daemon=True)
    stopper.start()
    stopper.join(patience)
    if stopper.is_alive():
        for worker in workers:
            if worker.is_alive():
                worker.kill()
        stopper.join(patience)
    if stopper.is_alive() and queue is not None:
        threading.Thread(target=_fill, args=(queue._writer,), daemon=True).start()
        stopper.join(patience)
    for worker in workers:
        worker.join(patience)


def _fill(writer, most=1 << 30):
    """Write filler into a pipe whose reader waits for the end of a message."""
    chunk = bytes(1 << 20)
    with contextlib.suppress(OSError):
        for _ in range(most // len(chunk)):
            writer.send_bytes(chunk)


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


def _in_order(executor, tasks, ahead, folder=None):
    """Results of the tasks in their order, with at most ``ahead`` in flight;
    with a ``folder``, each passed through a file of it (see
    :func:`_render_to_file`)."""
    pending = collections.deque()

    def result():
        done = pending.popleft().result()
        if folder is None:
            return done
        with open(done, "rb") as page:
            picture = page.read()
        os.remove(done)
        return picture

    try:
        for number, task in enumerate(tasks):
            # A submission may start a worker: an interrupt waits until the
            # pool knows the new process, so that stopping the pool stops it.
            with held_signals(), _children_deaf_to_ctrl_c():
                pending.append(
                    executor.submit(render_task, task) if folder is None else
                    executor.submit(_render_to_file, task,
                                    os.path.join(folder, "{}.page".format(number))))
            if len(pending) >= ahead:
                yield result()
        while pending:
            yield result()
    finally:
        # Pages not begun are not drawn once the caller stops reading.
        for future in pending:
            future.cancel()


def _render_to_file(task, path):
    """Render ``task`` into the file ``path``; return ``path``.

    The pool's pipe then carries a message of a few hundred bytes, which
    the worker writes at once: a worker that dies (killed with its process
    group, say) cannot leave half of it in the pipe, where the pool's
    reader thread would wait for the rest for ever and keep this process
    alive.
    """
    with open(path, "wb") as out:
        out.write(render_task(task))
    return path


def _remove_folder(folder):
    """Remove the pool's folder of pages: the files of pages not read."""
    with contextlib.suppress(OSError):
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        os.rmdir(folder)


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
    if in_notebook and _has_widgets():
        from tqdm.auto import tqdm
    else:
        # Without ipywidgets the notebook's bar would only say that it is
        # missing ("IProgress not found"): the text bar shows instead.
        from tqdm import tqdm
    return tqdm(total=count, unit="page", desc="report", file=sys.stderr)


def _has_widgets():
    try:
        import ipywidgets  # noqa: F401
    except ImportError:
        return False
    return True


def _stderr_is_terminal():
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False
