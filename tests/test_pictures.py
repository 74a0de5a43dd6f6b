"""Pictures of the figures against baselines drawn in the reference environment."""
import json

import pytest
from matplotlib.testing.compare import compare_images

import pictures


def reference_mismatch():
    """Why the baselines do not apply here, or an empty string."""
    if not pictures.MANIFEST.exists():
        return "no baselines yet: run 'make baselines' in the reference environment"
    recorded, installed = json.loads(pictures.MANIFEST.read_text()), pictures.installed_versions()
    differ = ["{} {} (baselines: {})".format(name, installed.get(name), version)
              for name, version in sorted(recorded.items()) if installed.get(name) != version]
    return "baselines were drawn with other library versions; here " + ", ".join(differ) if differ else ""


MISMATCH = reference_mismatch()


def compare(expected, actual):
    return compare_images(str(expected), str(actual), pictures.TOLERANCE, in_decorator=True)


@pytest.mark.skipif(bool(MISMATCH), reason=MISMATCH)
@pytest.mark.parametrize("name", sorted(pictures.CASES))
def test_picture_matches_baseline(tmp_path, name):
    actual = tmp_path / (name + ".png")
    pictures.draw(name, actual)
    assert compare(pictures.BASELINES / actual.name, actual) is None


def visible(figure):
    return [ax for ax in figure.axes if ax.get_visible()]


def move_first_bar(figure):
    bar = next(p for ax in visible(figure) for c in ax.containers for p in c)
    bar.set_x(bar.get_x() + 0.1 * bar.get_width())


def drop_first_x_label(figure):
    next(ax for ax in visible(figure) if ax.get_xlabel()).set_xlabel("")


def recolour_first_line_or_band(figure):
    ax = next(ax for ax in visible(figure) if ax.get_lines() or ax.collections)
    (ax.get_lines() or ax.collections)[0].set_color("C3")


# Each fault must push the picture past the tolerance: against the baseline in
# the reference environment, against a fresh clean drawing elsewhere.
@pytest.mark.parametrize("name, fault", [
    ("demo_panel", move_first_bar),
    ("share_axes", move_first_bar),
    ("share_plot", drop_first_x_label),
    ("share_none", recolour_first_line_or_band),
    ("single_strip", recolour_first_line_or_band),
    ("single_line", drop_first_x_label),
])
def test_tolerance_catches_fault(tmp_path, name, fault):
    expected = pictures.BASELINES / (name + ".png")
    if MISMATCH:
        expected = tmp_path / "clean.png"
        pictures.draw(name, expected)
    broken = tmp_path / "broken.png"
    pictures.draw(name, broken, alter=fault)
    failure = compare(expected, broken)
    assert failure is not None and failure["rms"] > 2 * pictures.TOLERANCE
