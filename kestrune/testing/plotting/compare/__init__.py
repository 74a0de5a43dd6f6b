"""Compare panel frames with a reference frame in one ranked, paged report.

Where does a synthetic panel differ from the original, over all of its ids?
:func:`compare_panels` answers with a :class:`Report`: one number per id and
column (:func:`divergence_table`), an overview heat map of the worst ids,
and pages that draw a few ids each, exactly as the module's driver draws its
cells. Save it as one PDF or a folder of pictures with a web page, show it
in a notebook, or make it from the command line::

    python -m kestrune.testing.plotting.compare original.csv synthetic.csv \\
        --id store --time date -o report.pdf
"""

import importlib

__all__ = ["compare_panels", "divergence_table", "measure_table",
           "benjamini_hochberg", "id_summaries", "verdict_table", "read_files", "MEASURES",
           "Report", "Page", "MissingIdsWarning", "IdTypeWarning", "NearCopyWarning",
           "IdSpellingWarning", "TimeOverlapWarning", "ORDERS"]

#: The orders of the ids that a report knows.
ORDERS = ("evidence", "divergence", "id", "given")

# The public names are imported when first used, so that the command line
# can silence the libraries' import-time warnings before numpy, pandas and
# matplotlib are loaded.
_HOMES = {"compare_panels": "report", "Report": "report",
          "MissingIdsWarning": "report", "IdTypeWarning": "inputs",
          "IdSpellingWarning": "inputs", "TimeOverlapWarning": "inputs",
          "divergence_table": "divergence", "Page": "plan",
          "measure_table": "measures", "benjamini_hochberg": "measures",
          "MEASURES": "measures", "id_summaries": "pairing",
          "NearCopyWarning": "pairing", "verdict_table": "verdicts",
          "read_files": "files"}


def __getattr__(name):
    if name in _HOMES:
        module = importlib.import_module("." + _HOMES[name], __name__)
        return getattr(module, name)
    raise AttributeError("module {!r} has no attribute {!r}".format(__name__, name))


def __dir__():
    return sorted(list(globals()) + __all__)
