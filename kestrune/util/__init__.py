"""Small helpers shared by the plotting code."""


def axes_grid(ax, row_titles, col_titles, sharey=False, wspace=None,
              hspace=None):
    """Divide the area of ``ax`` into a titled grid of new axes.

    ``ax`` is hidden, along with anything drawn on it, and one new axes is
    added to its figure for each cell. A returned cell can be divided again
    by a later call.

    When ``ax`` fills a grid of its figure on its own, as the single axes of
    ``plt.subplots()`` does, the cells form a new top-level grid of the
    figure over the same area. :meth:`~matplotlib.figure.Figure.tight_layout`
    spaces the rows and columns of such a grid to fit their tick labels,
    axis labels and titles, so long rotated labels of one row never run
    into the row below. It only sees top-level grids: the cells of any other
    ``ax`` (such as a cell of an earlier call) form a grid nested inside it,
    which keeps the given spacing.

    Parameters
    ----------
    ax : matplotlib.axes.Axes
        An axes placed by a subplot spec, such as one made by
        :func:`matplotlib.pyplot.subplots` or returned by this function.
    row_titles : sequence
        One entry per row of the grid; each becomes the y label of the first
        cell of its row.
    col_titles : sequence
        One entry per column of the grid; each becomes the title of the cell
        of its column in the first row. An empty string draws no title.
        Titles of any type are shown through ``str``.
    sharey : bool, optional
        If true, the cells of each row share the y axis of the row's first
        cell.
    wspace, hspace : float, optional
        Space between the columns, respectively the rows, as a fraction of
        the average cell width, respectively height. ``None`` takes
        matplotlib's default. For a top-level grid these are written to the
        figure's subplot parameters (``figure.subplotpars``), where
        ``tight_layout`` can later replace them.

    Returns
    -------
    list of matplotlib.axes.Axes
        The ``len(row_titles) * len(col_titles)`` cells in row-major order;
        an empty list when either is empty. Each cell's
        ``get_subplotspec()`` tells its place within this grid
        (``is_first_row()``, ``is_last_row()`` and so on).

    """
    # Hiding the axes, rather than turning its axis off, also hides any title
    # drawn on it and keeps it out of the tight layout.
    ax.set_visible(False)
    nrows, ncols = len(row_titles), len(col_titles)
    if nrows == 0 or ncols == 0:
        return []

    fig = ax.figure
    grid = _grid_over(ax, nrows, ncols, wspace, hspace)
    cells = []
    for row in range(nrows):
        first = None
        for col in range(ncols):
            share = first if sharey else None
            cell = fig.add_subplot(grid[row, col], sharey=share)
            if first is None:
                first = cell
            cells.append(cell)

    for col, title in enumerate(col_titles):
        cells[col].set_title(str(title))
    for row, title in enumerate(row_titles):
        cells[row * ncols].set_ylabel(str(title))
    return cells


def _grid_over(ax, nrows, ncols, wspace, hspace):
    """A grid spec of ``nrows`` by ``ncols`` cells covering ``ax``.

    The figure's tight layout spaces only the rows and columns of top-level
    grids whose spacing is not fixed locally, so a grid that replaces an
    axes filling a whole top-level grid is made top-level too, with the
    spacing set on the figure. Anywhere else the grid is nested in ``ax``.
    """
    from matplotlib.gridspec import GridSpec

    spec = ax.get_subplotspec()
    parent = spec.get_gridspec()
    fills_parent = (
        type(parent) is GridSpec
        and not parent.locally_modified_subplot_params()
        and (spec.rowspan.start, spec.rowspan.stop) == (0, parent.nrows)
        and (spec.colspan.start, spec.colspan.stop) == (0, parent.ncols))
    if not fills_parent:
        return spec.subgridspec(nrows, ncols, wspace=wspace, hspace=hspace)

    fig = ax.figure
    spacing = {name: value for name, value in
               (("wspace", wspace), ("hspace", hspace)) if value is not None}
    if spacing and _accepts_subplots_adjust(fig):
        fig.subplots_adjust(**spacing)
    return GridSpec(nrows, ncols, figure=fig)


def _accepts_subplots_adjust(fig):
    # A figure under constrained layout places its axes itself and warns
    # when its subplot parameters are set.
    get_engine = getattr(fig, "get_layout_engine", None)
    if get_engine is not None:
        engine = get_engine()
        return engine is None or engine.adjust_compatible
    get_constrained = getattr(fig, "get_constrained_layout", None)
    return get_constrained is None or not get_constrained()
