"""Tables of a million ids in bounded memory, and the report's tables on dask
frames: the same numbers as the pandas path."""
import tracemalloc

import numpy as np
import pandas as pd
import pytest

from kestrune.testing.plotting.compare import benjamini_hochberg
from kestrune.testing.plotting.compare import divergence, measures
from kestrune.testing.plotting.compare.divergence import round_significant
from kestrune.testing.plotting.compare.measures import id_level_qvalues


def plain_bh(p):
    """Benjamini-Hochberg over the non-NaN entries, the whole array at once."""
    flat = p.ravel()
    chosen = np.flatnonzero(~np.isnan(flat))
    order = np.argsort(flat[chosen])
    ranked = flat[chosen][order] * len(chosen) / np.arange(1, len(chosen) + 1)
    q = np.full(flat.shape, np.nan)
    q[chosen[order]] = np.minimum(np.minimum.accumulate(ranked[::-1])[::-1], 1.0)
    return q.reshape(p.shape)


def peak(function, *args):
    """The result of ``function(*args)`` and the most memory it held at once."""
    tracemalloc.start()
    try:
        result = function(*args)
        return result, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("name, most", [("bh", 3.3), ("bh-fortran", 3.3), ("rounding", 1.2),
                                         ("id-level", 1.5)])
def test_qvalues_and_rounding_hold_few_tables(name, most, monkeypatch):
    # Many small steps, so that the peak counts tables of the input's size.
    step = 4096
    for module in (divergence, measures):
        monkeypatch.setattr(module, "ROUNDING_STEP", step)
    rng = np.random.default_rng(0)
    p = rng.random((64 * step // 15, 15)) ** 2
    p[rng.random(p.shape) < 0.1] = np.nan
    p[:100] = 0.25  # ties across the steps
    if name == "bh-fortran":
        p = np.asfortranarray(p)
    if name.startswith("bh"):
        q, held = peak(benjamini_hochberg, p)
        np.testing.assert_allclose(q, plain_bh(p), rtol=1e-11)
    elif name == "rounding":
        x = p * 10.0 ** rng.integers(-40, 40, p.shape)
        q, held = peak(round_significant, x)
        sample = rng.choice(x.size, 2000)
        np.testing.assert_array_equal([float("%.12g" % v) for v in x.ravel()[sample]],
                                      q.ravel()[sample])
    else:
        cells = pd.MultiIndex.from_product([list("abcde"), ["distribution", "dynamics", "x"]])
        frame = pd.DataFrame(p, columns=cells)
        q, held = peak(id_level_qvalues, frame)
        step //= 15
        pieces = [id_level_qvalues(frame.iloc[:3 * step]), id_level_qvalues(frame.iloc[3 * step:])]
        # Over the first rows alone: the same within-id stage, another id level.
        assert np.isnan(q.to_numpy()).sum() == sum(np.isnan(t.to_numpy()).sum() for t in pieces)
        q = q.to_numpy()
        assert ((q >= 0) & (q <= 1) | np.isnan(q)).all()
    assert held <= most * p.nbytes, held / p.nbytes
