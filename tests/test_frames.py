"""Naming the frames of a figure: the legend, the restyled lines and bars."""
import matplotlib.pyplot as plt
import pandas as pd
import pytest
from matplotlib.colors import to_rgba

from kestrune import DataFrameMeta
from kestrune.testing.plotting.frames import NARROWEST, label_frames, labelled_frames

NAMES = ["original", "synthetic"]


@pytest.fixture
def frames():
    index = pd.MultiIndex.from_product([["a", "b"], range(4)], names=["id", "t"])
    first = pd.DataFrame({"level": [1.0, 2, 3, 4, 2, 3, 4, 5], "state": ["on", "off", "on", "on"] * 2}, index=index)
    return [first, first.assign(level=first["level"] + 1)]


def draw(series, frames, share):
    series.plot_multi_index_dataframes(frames, DataFrameMeta.from_frame(frames[0], "id", "t"), ["level", "state"],
                                       ["a", "b"], getattr(series.ShareSetting, share))
    return plt.gcf()


def cells(figure):
    return [ax for ax in figure.axes if ax.get_visible()]


def entries(legend):
    """(text, colour, line style) of each entry of a legend of lines (or line and bar)."""
    handles = getattr(legend, "legend_handles", None) or legend.legendHandles
    return [(text.get_text(), to_rgba(handle.get_color()), handle.get_linestyle())
            for text, handle in zip(legend.get_texts(), handles)]


@pytest.mark.parametrize("share", ["NONE", "X_AXIS", "AXES", "PLOT"])
def test_frame_legend_and_styles(series, frames, restore_rc, share):
    figure = draw(series, frames, share)
    legend = label_frames(NAMES, figure)
    assert figure.legends == [legend]
    colours = [to_rgba(c) for c in plt.rcParams["axes.prop_cycle"].by_key()["color"]]
    line_cells = [ax for ax in cells(figure) if ax.get_lines()]
    first, second = [ax for ax in cells(figure) if ax.containers][0].containers[:2]
    if share == "PLOT":
        # Colours stand for the ids, styles for the frames.
        (cell,) = line_cells
        assert [(to_rgba(l.get_color()), l.get_linestyle()) for l in cell.get_lines()] == [
            (colours[0], "-"), (colours[0], "--"), (colours[1], "-"), (colours[1], "--")]
        assert [t.get_text() for t in cell.get_legend().get_texts()] == ["a", "b"]
        assert [p.get_hatch() for p in (first[0], second[0])] == [None, "///"]
        assert entries(legend) == [("original", to_rgba("0.25"), "-"), ("synthetic", to_rgba("0.25"), "--")]
    else:
        assert all([to_rgba(l.get_color()) for l in ax.get_lines()] == colours[:2] for ax in line_cells)
        assert entries(legend) == [(name, colour, "-") for name, colour in zip(NAMES, colours)]
    # Translucent fills with opaque outlines; the later frame narrower, on the same centre.
    assert first[0].get_facecolor()[3] == second[0].get_facecolor()[3] == 0.5 and first[0].get_edgecolor()[3] == 1
    assert second[0].get_width() == pytest.approx(NARROWEST * first[0].get_width())
    assert second[0].get_x() + second[0].get_width() / 2 == pytest.approx(first[0].get_x() + first[0].get_width() / 2)
    # The legend sits above everything the cells draw.
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    assert legend.get_window_extent(renderer).y0 >= max(ax.get_tightbbox(renderer).y1 for ax in cells(figure))


def test_labelling_again_replaces_the_legend_only(series, frames, restore_rc):
    figure = draw(series, frames, "AXES")
    label_frames(NAMES, figure)
    bar = [ax for ax in cells(figure) if ax.containers][0].containers[1][0]
    width = bar.get_width()
    label_frames(["real", "fake"], figure)
    assert [[t.get_text() for t in legend.get_texts()] for legend in figure.legends] == [["real", "fake"]]
    assert bar.get_width() == width  # restyled once, not narrowed again
    with pytest.raises(ValueError, match="one name per frame"):
        label_frames([], figure)


def test_context_labels_before_show_and_restores_show(series, frames, restore_rc, monkeypatch):
    shown = []
    original_show = lambda: shown.append([t.get_text() for lg in plt.gcf().legends for t in lg.get_texts()])  # noqa: E731
    monkeypatch.setattr(plt, "show", original_show)
    earlier = plt.figure()
    with labelled_frames(NAMES):
        draw(series, frames, "NONE")
    assert shown == [NAMES]  # the driver's show saw the legend
    assert plt.show is original_show and not earlier.legends
    with pytest.raises(KeyError):
        with labelled_frames(NAMES):
            raise KeyError("drawing failed")
    assert plt.show is original_show


def no_figure(series, frames):
    return None


def empty_figure(series, frames):
    return plt.figure()


def shown_and_closed(series, frames):
    draw(series, frames, "AXES")
    plt.close("all")
    return None


@pytest.mark.parametrize("make_figure, names, message", [
    (no_figure, NAMES, "no open figure.*labelled_frames"),
    (shown_and_closed, NAMES, "no open figure.*labelled_frames"),
    (empty_figure, NAMES, "no drawn cells.*labelled_frames"),
    (lambda series, frames: draw(series, frames, "PLOT"), ["IBM"], "1 name but no cell"),
    (lambda series, frames: draw(series, frames, "AXES"), ["IBM"], "1 name but no cell"),
    (lambda series, frames: draw(series, frames, "NONE"), NAMES + ["third"], "3 names but no cell"),
])
def test_refuses_what_it_cannot_label_honestly(series, frames, restore_rc, make_figure, names, message):
    figure = make_figure(series, frames)
    with pytest.raises(ValueError, match=message):
        label_frames(names, figure)
    assert figure is None or not figure.legends


@pytest.mark.parametrize("share", ["AXES", "PLOT"])
def test_cells_where_a_frame_lacks_the_id_are_no_error(series, frames, restore_rc, share):
    """A row drawn from both frames beside a row where the second lacks the id."""
    figure, (full, partial) = plt.subplots(2, 1)
    setting, continuous = getattr(series.ShareSetting, share), series.PlotType.CONTINUOUS
    series.plot_row(frames, "level", ["a", "b"], full, setting, continuous)
    series.plot_row([frames[0]], "level", ["a"], partial, setting, continuous)
    legend = label_frames(NAMES, figure)
    assert [t.get_text() for t in legend.get_texts()] == NAMES
