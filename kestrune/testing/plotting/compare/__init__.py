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

from .divergence import divergence_table
from .plan import Page
from .report import Report, compare_panels

__all__ = ["compare_panels", "divergence_table", "Report", "Page"]
