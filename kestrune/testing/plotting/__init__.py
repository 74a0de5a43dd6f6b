"""Plots that compare panel data frames, such as original and synthetic data."""
