"""Tools for looking at data sets while testing models."""
