"""Small helpers shared by the plotting code."""


def axes_grid(ax, row_titles, col_titles, sharey=False, wspace=None,
              hspace=None):
    """Divide the area of ``ax`` into a titled grid of new axes.

    ``ax`` is hidden, along with anything drawn on it, and one new axes is
    added to its figure for each cell. A returned cell can be divided again
    by a later call.

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
        matplotlib's default.

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
    grid = ax.get_subplotspec().subgridspec(
        nrows, ncols, wspace=wspace, hspace=hspace)
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
