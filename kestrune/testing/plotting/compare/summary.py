"""What a report found, in a few lines of text.

The command line prints these lines after the report is written, before
its path; :meth:`Report.summary_lines` returns them. Each part is a
function of its own, so that a new kind of finding adds a function and a
place in :func:`summary_lines`:

- :func:`pairing_lines`: how the compared files met the reference, and why;
- :func:`verdict_lines`: one verdict per column, where verdicts exist;
- :func:`score_lines`: scores of the compared files as wholes;
- :func:`evidence_lines`: how many cells are beyond sampling noise, or,
  under nearest pairing (no p-values), precision, coverage and near-copies.
"""

import numpy as np

#: The q-value below which a cell is beyond sampling noise.
ALPHA = 0.05
# Kinds of cells (column and measure) named on the line of cells beyond noise.
SHOWN = 4


def summary_lines(report):
    """The lines of the summary, in the order they are printed."""
    return (pairing_lines(report) + verdict_lines(report)
            + score_lines(report) + evidence_lines(report))


def pairing_lines(report):
    """How the compared frames met the reference's, and why."""
    how = "by id" if report.pairing == "ids" else \
        "each compared id with the reference id it resembles most (nearest)"
    return ["pairing: {}, {}".format(how, report.pairing_reason)]


def verdict_lines(report):
    """One line per compared frame, column and measure: the verdict over all
    ids (see :func:`verdict_table`), after a heading."""
    from .verdicts import verdict_lines as lines
    return lines(getattr(report, "verdicts", None))


def score_lines(report):
    """Under nearest pairing, one line per compared frame: its scores beside
    their yardstick, best-ranked first."""
    scores = getattr(report, "scores", None)
    if scores is None:
        return []
    from .scores import score_lines as lines
    return lines(scores)


def beyond_noise(report):
    """The number of cells whose q-value is below :data:`ALPHA`."""
    return int((report.qvalues.to_numpy(dtype=float) < ALPHA).sum())


def evidence_lines(report):
    """Cells beyond noise, by column and measure; under nearest pairing,
    where cells have no p-values, precision, coverage and near-copies."""
    if report.pairing == "nearest":
        return [_scores(report, name) for name in report.names[1:]]
    q = report.qvalues.to_numpy(dtype=float)
    defined = int(np.isfinite(q).sum())
    beyond = q < ALPHA
    count = int(beyond.sum())
    head = "beyond noise (q < {}): ".format(ALPHA)
    if count == 0:
        return [head + "none of {} cells; every difference is within sampling "
                "noise".format(defined)]
    ids = int(beyond.any(axis=1).sum())
    kinds = sorted(((int(n), _cell(c)) for c, n in zip(report.qvalues.columns,
                                                       beyond.sum(axis=0)) if n),
                   key=lambda kind: -kind[0])
    where = ", ".join("{} {}".format(name, n) for n, name in kinds[:SHOWN])
    if len(kinds) > SHOWN:
        where += ", ..."
    return [head + "{} of {} cells, in {} of {} ids ({})".format(
        count, defined, ids, len(report.qvalues), where)]


def _cell(column):
    """``column:measure`` for a cell's two-level column name."""
    return ":".join(str(part) for part in column) if isinstance(column, tuple) else str(column)


def _scores(report, name):
    scores = report.population["scores"].loc[name]
    pairs = report.pairs[report.pairs["frame"] == name]
    real = int((pairs["realism"] <= 1).sum())
    covered = report.coverage.loc[report.coverage["frame"] == name, "covered"].astype(bool)
    return (("{!r}: ".format(name) if len(report.names) > 2 else "") +
            "no p-values under nearest pairing; precision {:.2f} ({} of {} compared "
            "ids inside the reference's population), coverage {:.2f} ({} of {} "
            "reference ids), near-copies {}".format(
                scores["precision"], real, len(pairs), scores["coverage"],
                int(covered.sum()), len(covered), int(scores["near_copies"])))
