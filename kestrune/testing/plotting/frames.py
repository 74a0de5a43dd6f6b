"""Name the frames of a panel figure and keep their bars readable.

``plot_multi_index_dataframes`` draws every frame it is given into the same
cells, one after another: the lines and count bars of the second frame go
over those of the first. :func:`label_frames` names the frames in one
legend of the figure and restyles what they drew so that neither hides the
other; :func:`labelled_frames` does the same for the figures that a block of
code shows, which is the form that works in a notebook.

How the frames are told apart:

- In cells that hold one id (sharing settings ``NONE``, ``X_AXIS`` and
  ``AXES``) each frame keeps its colour: the n-th frame has the n-th colour
  of the property cycle, as matplotlib gave it.
- In cells that hold every id (``ShareSetting.PLOT``) colours already tell
  the ids apart, so every frame of an id takes the id's colour (the id's
  place in the cycle) and the frames differ by line style (solid, dashed,
  dotted, dash-dotted) and by the hatching of their bars. The legend of
  such a cell is redrawn with one entry per id.

In every cell count bars are filled translucently with an opaque outline,
and each later frame's bars are narrower and centred on the same category,
so a bar that is shorter, taller or as tall as another stays visible.
"""

import collections
import contextlib

import matplotlib as mpl
import matplotlib.pyplot as plt
from matplotlib.colors import to_rgba
from matplotlib.lines import Line2D
from matplotlib.patches import Patch

from ...util import _accepts_subplots_adjust

LINESTYLES = ("-", "--", ":", "-.")
HATCHES = (None, "///", "...", "xx")
# Bars of the last frame keep this share of the first frame's width.
NARROWEST = 0.55
# Handles of the frame legend when colours stand for ids.
NEUTRAL = "0.25"

_MARK = "_kestrune_frame_legend"


def label_frames(names, figure=None, alpha=0.5):
    """Name the frames drawn into a figure and make their bars translucent.

    Call it on a figure that ``plot_multi_index_dataframes`` drew from
    several frames, once the driver has returned: ``names`` are given in
    the order of the frames passed to the driver. It adds one legend at the
    top of the figure, with one entry per frame, moves the cells down to
    make room for it, and restyles the lines and count bars of the frames as
    the module docstring tells. Calling it again on the same figure only
    replaces the legend.

    Where it works: on any figure that is still open after the driver
    returned, that is with a non-interactive backend such as Agg (scripts
    that save the figure afterwards) or in interactive mode
    (``plt.ion()``). It comes too late under a notebook's inline backend,
    where the driver's ``plt.show()`` has already displayed and closed the
    figure, and with a window backend outside interactive mode, where
    ``show`` blocks until the window is closed. Use :func:`labelled_frames`
    there.

    Parameters
    ----------
    names : sequence of str
        One name per frame, such as ``["original", "synthetic"]``.
    figure : matplotlib.figure.Figure, optional
        The figure; pyplot's current figure by default.
    alpha : float, optional
        Opacity of the bars' fill, between 0 and 1.

    Returns
    -------
    matplotlib.legend.Legend
        The legend of the frames.

    Raises
    ------
    ValueError
        If ``names`` is empty; if no figure is given and pyplot has none
        open, or the figure has no cells drawn by the plotting functions
        (both happen when the figure was already shown and closed: use
        :func:`labelled_frames`); or if no cell holds one line or one set
        of bars per name (per name and id under ``ShareSetting.PLOT``),
        which means that ``names`` does not match the frames drawn. Cells
        where some frame lacks the id are not counted against the names.

    """
    names = [str(name) for name in names]
    if not names:
        raise ValueError("label_frames needs one name per frame, got none")
    if figure is None:
        if not plt.get_fignums():
            raise ValueError(
                "label_frames found no open figure: the figure was shown and "
                "closed already; draw inside labelled_frames(names) instead")
        figure = plt.gcf()
    old = getattr(figure, _MARK, None)
    if old is None:
        _check_names_match(figure, len(names))
    return _label(figure, names, alpha, old)


def _label(figure, names, alpha, old=None, by_id=None, frames_in=None,
           top=None, make_room=True, ids_in=None):
    """Restyle (once) and add the frame legend; see :func:`label_frames`.

    ``by_id`` and ``frames_in`` are for callers that know what they drew:
    whether colours stand for ids, and ``frames_in(ax)``, the positions of
    the frames drawn into a cell, in drawing order (by default every frame);
    ``ids_in`` is that of :func:`_restyle`. ``top`` places the legend's top
    edge lower than the figure's (a fraction of its height), below a
    heading; a caller that left room for the legend passes
    ``make_room=False`` and saves drawing the figure to measure it.
    """
    if old is None:
        by_id = _restyle(figure, len(names), alpha, by_id, frames_in, ids_in)
    else:
        old[0].remove()
        by_id = old[1]
    handles = _frame_handles(figure, len(names), alpha, by_id)
    place = {} if top is None else {"bbox_to_anchor": (0.5, top)}
    legend = figure.legend(handles, names, loc="upper center",
                           ncol=len(names), frameon=False, **place)
    setattr(figure, _MARK, (legend, by_id))
    if make_room:
        _make_room(figure, legend)
    return legend


@contextlib.contextmanager
def labelled_frames(names, alpha=0.5):
    """Label the frames of every figure shown inside the ``with`` block.

    ``plot_multi_index_dataframes`` ends with ``plt.show()``. Within the
    block ``plt.show`` first applies :func:`label_frames` to each figure
    created since the block began, so the figure is labelled before it is
    displayed; figures still open when the block ends are labelled then.

    Where it works: everywhere, including a notebook's inline backend
    (where ``show`` displays and closes the figure), a window backend
    (where ``show`` blocks until the window is closed) and scripts that
    save the figure after the block. It replaces ``matplotlib.pyplot.show``
    for the duration of the block, so use it from one thread at a time.

    Parameters
    ----------
    names : sequence of str
        One name per frame, in the order of the frames given to the driver.
    alpha : float, optional
        Opacity of the bars' fill.

    Examples
    --------
    >>> with labelled_frames(["original", "synthetic"]):  # doctest: +SKIP
    ...     series.plot_multi_index_dataframes([original, synthetic], meta)

    """
    before = set(plt.get_fignums())
    done = set()
    show = plt.show

    def label_new_figures():
        current = plt.get_fignums() and plt.gcf()
        for number in plt.get_fignums():
            if number not in before and number not in done:
                done.add(number)
                figure = plt.figure(number)
                # Figures without panel cells are not the driver's.
                if _cells(figure):
                    label_frames(names, figure, alpha)
        if current:
            plt.figure(current.number)

    def labelling_show(*args, **kwargs):
        label_new_figures()
        return show(*args, **kwargs)

    plt.show = labelling_show
    try:
        yield
    finally:
        plt.show = show
    label_new_figures()


def _cells(figure):
    return [ax for ax in figure.axes
            if ax.get_visible() and (ax.get_lines() or ax.containers)]


def _check_names_match(figure, nframes):
    """Refuse a figure none of whose cells shows one artist per frame."""
    cells = _cells(figure)
    if not cells:
        raise ValueError(
            "label_frames found no drawn cells in the figure: it was shown "
            "and closed already, or holds no panel plot; draw inside "
            "labelled_frames(names) instead")
    # Lines carry their id as label: every id of a cell has one line per
    # frame, whether the cell holds one id or all of them (PLOT).
    ids_per_cell = max(len({str(line.get_label()) for line in ax.get_lines()})
                       for ax in cells)

    def one_per_frame(ax):
        lines = ax.get_lines()
        if lines:
            counts = collections.Counter(str(line.get_label()) for line in lines)
            return set(counts.values()) == {nframes}
        bars = len(ax.containers)
        if bars == nframes:
            return True
        # Bars carry no id: how many ids a cell holds is told by the lines
        # of the figure, where there are any.
        return bars % nframes == 0 and (
            not ids_per_cell or bars == nframes * ids_per_cell)

    if not any(one_per_frame(ax) for ax in cells):
        raise ValueError(
            "label_frames got {} name{} but no cell of the figure holds one "
            "line or one set of bars per name; give one name per frame "
            "drawn".format(nframes, "" if nframes == 1 else "s"))


def _restyle(figure, nframes, alpha, by_id=None, frames_in=None,
             ids_in=None):
    """Restyle the frames' artists; tell whether colours stand for ids.

    ``ids_in(ax)``, where given, lists the ids of a cell that holds several
    (``ShareSetting.PLOT``) as pairs of the id and the place in the colour
    cycle that it takes; by default every such cell holds the same ids, in
    the order of the first cell's lines.
    """
    cells = _cells(figure)
    if by_id is None:
        # A cell with more artists than frames, or with a legend of ids,
        # holds several ids: the figure was drawn with ShareSetting.PLOT.
        by_id = any(len(ax.get_lines()) > nframes
                    or len(ax.containers) > nframes
                    or ax.get_legend() is not None for ax in cells)
    colours = _cycle_colours()
    ids = []
    for ax in cells:
        drawn = list(frames_in(ax)) if frames_in else list(range(nframes))
        places = [place for _, place in ids_in(ax)] if ids_in else None

        def colour(frame, group):
            # Colours stand for ids (at their place in the cycle) or frames.
            if not by_id:
                return colours[frame % len(colours)]
            return colours[(places[group] if places else group) % len(colours)]

        lines = ax.get_lines()
        for n, line in enumerate(lines):
            frame, group = drawn[n % len(drawn)], n // len(drawn)
            if by_id or frames_in:
                line.set_color(colour(frame, group))
            if by_id:
                line.set_linestyle(LINESTYLES[frame % len(LINESTYLES)])
            if n % len(drawn) == 0 and len(ids) <= group:
                ids.append(line.get_label())
        for n, bars in enumerate(ax.containers):
            frame, group = drawn[n % len(drawn)], n // len(drawn)
            hatch = HATCHES[frame % len(HATCHES)] if by_id else None
            _restyle_bars(bars, colour(frame, group), alpha, hatch,
                          _bar_width_share(frame, nframes))
    if by_id:
        for ax in cells:
            if ids_in:
                pairs = list(ids_in(ax))
                _id_legend(ax, [i for i, _ in pairs], colours,
                           bool(ax.get_lines()), [p for _, p in pairs])
                continue
            per_id = len(frames_in(ax)) if frames_in else nframes
            groups = max(len(ax.get_lines()), len(ax.containers)) // per_id
            if ax.get_lines() or len(ids) >= groups:
                _id_legend(ax, ids[:groups], colours, bool(ax.get_lines()))
    return by_id


def _restyle_bars(bars, colour, alpha, hatch, width_share):
    for patch in bars:
        width = patch.get_width()
        patch.set_x(patch.get_x() + width * (1 - width_share) / 2)
        patch.set_width(width * width_share)
        patch.set_facecolor(to_rgba(colour, alpha))
        patch.set_edgecolor(colour)
        patch.set_linewidth(1.0)
        if hatch is not None:
            patch.set_hatch(hatch)


def _bar_width_share(frame, nframes):
    if nframes == 1:
        return 1.0
    return 1.0 - (1.0 - NARROWEST) * frame / (nframes - 1)


def _id_legend(ax, ids, colours, lines, places=None):
    places = range(len(ids)) if places is None else places
    handles = [Line2D([], [], color=colours[n % len(colours)]) if lines
               else Patch(color=colours[n % len(colours)])
               for n in places]
    ax.legend(handles, [str(i) for i in ids])


def _frame_handles(figure, nframes, alpha, by_id):
    cells = _cells(figure)
    has_lines = any(ax.get_lines() for ax in cells)
    has_bars = any(ax.containers for ax in cells) or not has_lines
    colours = _cycle_colours()
    handles = []
    for frame in range(nframes):
        colour = NEUTRAL if by_id else colours[frame % len(colours)]
        style = LINESTYLES[frame % len(LINESTYLES)] if by_id else "-"
        hatch = HATCHES[frame % len(HATCHES)] if by_id else None
        parts = []
        if has_lines:
            parts.append(Line2D([], [], color=colour, linestyle=style))
        if has_bars:
            parts.append(Patch(facecolor=to_rgba(colour, alpha),
                               edgecolor=colour, hatch=hatch))
        handles.append(parts[0] if len(parts) == 1 else tuple(parts))
    return handles


def _cycle_colours():
    colours = mpl.rcParams["axes.prop_cycle"].by_key().get("color")
    return list(colours) if colours else ["C{}".format(n) for n in range(10)]


def _make_room(figure, legend):
    """Lower the top of the cells until their decorations clear the legend."""
    if not _accepts_subplots_adjust(figure):
        return
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    legend_bottom = legend.get_window_extent(renderer).y0
    tops = [ax.get_tightbbox(renderer).y1 for ax in figure.axes
            if ax.get_visible()]
    if not tops:
        return
    overlap = max(tops) - legend_bottom
    if overlap <= 0:
        return
    height = figure.bbox.height
    pad = 0.5 * legend.get_texts()[0].get_size() * figure.dpi / 72
    top = figure.subplotpars.top - (overlap + pad) / height
    figure.subplots_adjust(top=max(top, figure.subplotpars.bottom + 0.05))
