"""Write the demo panel: monthly figures of four stores, original and synthetic.

The synthetic panel has the same stores and months, with values near the
original ones, as a generative model trained on the original would give.
Run from anywhere; by default the CSV files of the demo are written beside
this script:

    python examples/data/make_panel.py
    python examples/data/make_panel.py --stores 500 --months 24 --wide --out build/big

``--stores`` and ``--months`` size the panel (beyond four stores they are
named store-0001, store-0002, ...); ``--wide`` adds a number and a label
column (six data columns of mixed dtypes in all).
"""

import argparse
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


CHANNEL = ["shop", "web", "phone"]


def store_names(n_stores):
    """The four demo stores, or numbered ones for a larger panel."""
    if n_stores <= len(STORES):
        return STORES[:n_stores]
    return ["store-{:04d}".format(n + 1) for n in range(n_stores)]


def make_original(rng, n_stores=len(STORES), n_months=N_MONTHS):
    """One row per store and month, with a yearly cycle in the numbers."""
    dates = pd.date_range("2019-01-01", periods=n_months, freq="MS")
    season = np.sin(2 * np.pi * (dates.month.to_numpy() - 4) / 12)
    frames = []
    for i, store in enumerate(store_names(n_stores)):
        base = 800 + 150 * (i % 8)
        visitors = base + 120 * season + rng.normal(0, 25, n_months)
        sales = visitors * rng.normal(12.5, 0.6, n_months)
        frames.append(pd.DataFrame({
            "store": store,
            "date": dates,
            "sales": sales.round(2),
            "visitors": visitors.round().astype(int),
            "weather": rng.choice(WEATHER, n_months, p=[0.45, 0.35, 0.2]),
            "promo": rng.choice(PROMO, n_months, p=[0.6, 0.25, 0.15]),
        }))
    return blank_some(pd.concat(frames, ignore_index=True), rng)


def widen(original, synthetic, rng):
    """Add a staff count and a sales channel to both panels."""
    n = len(original)
    staff = rng.poisson(6, n)
    channel = rng.choice(CHANNEL, n, p=[0.5, 0.35, 0.15])
    original = original.assign(staff=staff, channel=channel)
    redraw = rng.random(n) < 0.25
    synthetic = synthetic.assign(
        staff=np.maximum(staff + rng.integers(-2, 3, n), 0),
        channel=np.where(redraw, rng.choice(CHANNEL, n), channel))
    return original, synthetic


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


def make_panels(n_stores=len(STORES), n_months=N_MONTHS, wide=False, seed=SEED):
    """The original and the synthetic panel, as two frames."""
    rng = np.random.default_rng(seed)
    original = make_original(rng, n_stores, n_months)
    synthetic = make_synthetic(original, rng)
    if wide:
        # A generator of its own, so the narrow panel stays the same.
        original, synthetic = widen(original, synthetic,
                                    np.random.default_rng(seed + 1))
    return original, synthetic


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stores", type=int, default=len(STORES))
    parser.add_argument("--months", type=int, default=N_MONTHS)
    parser.add_argument("--wide", action="store_true",
                        help="add a number and a label column")
    parser.add_argument("--out", type=Path, default=HERE,
                        help="folder of the two CSV files (default: beside this script)")
    args = parser.parse_args(argv)
    original, synthetic = make_panels(args.stores, args.months, args.wide)
    args.out.mkdir(parents=True, exist_ok=True)
    for name, frame in (("original", original), ("synthetic", synthetic)):
        path = args.out / "panel_{}.csv".format(name)
        frame.to_csv(path, index=False, date_format="%Y-%m-%d")
        print(path)


if __name__ == "__main__":
    main()
