"""The look shared by the figures of the plotting functions."""

import matplotlib as mpl
import seaborn as sns


def set_plotting_style():
    """Set a clean, readable style for the figures that follow.

    Uses seaborn's "whitegrid" theme with its "deep" palette, font sizes
    that stay legible in figures of many small cells, and matplotlib's
    concise date labels. Text is set in DejaVu Sans, the font that ships
    with matplotlib, so a figure looks the same on every machine whatever
    fonts are installed. The style is written
    to :data:`matplotlib.rcParams`, so it holds for the whole process; wrap
    the call in :func:`matplotlib.rc_context` to keep it local.

    """
    sns.set_theme(context="notebook", style="whitegrid", palette="deep")
    mpl.rcParams.update({
        "axes.titlesize": 12,
        "axes.labelsize": 11,
        "xtick.labelsize": 8,
        "ytick.labelsize": 9,
        "legend.fontsize": 9,
        "lines.linewidth": 1.5,
        "font.family": "sans-serif",
        "font.sans-serif": ["DejaVu Sans"],
        "axes.spines.top": False,
        "axes.spines.right": False,
        # Short date tick labels ("2020", "Apr") that fit narrow cells.
        "date.converter": "concise",
    })
