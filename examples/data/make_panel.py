"""Write the demo panel: monthly figures of four stores, original and synthetic.

The synthetic panel has the same stores and months, with values near the
original ones, as a generative model trained on the original would give.
Run from anywhere; the CSV files are written beside this script:

    python examples/data/make_panel.py
"""

from pathlib import Path

import numpy as np
import pandas as pd

SEED = 20240601
STORES = ["north", "south", "east", "west"]
N_MONTHS = 36
WEATHER = ["sun", "cloud", "rain"]
PROMO = ["none", "sale", "gift"]
MISSING_RATE = 0.06
HERE = Path(__file__).resolve().parent


def make_original(rng):
    """One row per store and month, with a yearly cycle in the numbers."""
    dates = pd.date_range("2019-01-01", periods=N_MONTHS, freq="MS")
    season = np.sin(2 * np.pi * (dates.month.to_numpy() - 4) / 12)
    frames = []
    for i, store in enumerate(STORES):
        base = 800 + 150 * i
        visitors = base + 120 * season + rng.normal(0, 25, N_MONTHS)
        sales = visitors * rng.normal(12.5, 0.6, N_MONTHS)
        frames.append(pd.DataFrame({
            "store": store,
            "date": dates,
            "sales": sales.round(2),
            "visitors": visitors.round().astype(int),
            "weather": rng.choice(WEATHER, N_MONTHS, p=[0.45, 0.35, 0.2]),
            "promo": rng.choice(PROMO, N_MONTHS, p=[0.6, 0.25, 0.15]),
        }))
    return blank_some(pd.concat(frames, ignore_index=True), rng)


def make_synthetic(original, rng):
    """Perturb the numbers a little and redraw a few of the labels.

    Missing labels are redrawn too, then others are left out, so the
    synthetic panel misses as many labels but not the same ones.
    """
    synthetic = original.copy()
    n = len(synthetic)
    synthetic["sales"] = (
        synthetic["sales"] * rng.normal(1, 0.04, n)).round(2)
    synthetic["visitors"] = (
        synthetic["visitors"] + rng.normal(0, 15, n)).round().astype(int)
    for column, values in (("weather", WEATHER), ("promo", PROMO)):
        redraw = (rng.random(n) < 0.2) | synthetic[column].isna()
        synthetic.loc[redraw, column] = rng.choice(values, redraw.sum())
    return blank_some(synthetic, rng)


def blank_some(frame, rng):
    """Leave a few labels missing, as in data collected by hand."""
    frame = frame.copy()
    for column in ("weather", "promo"):
        frame.loc[rng.random(len(frame)) < MISSING_RATE, column] = np.nan
    return frame


def main():
    rng = np.random.default_rng(SEED)
    original = make_original(rng)
    synthetic = make_synthetic(original, rng)
    for name, frame in (("original", original), ("synthetic", synthetic)):
        path = HERE / "panel_{}.csv".format(name)
        frame.to_csv(path, index=False, date_format="%Y-%m-%d")
        print(path)


if __name__ == "__main__":
    main()
