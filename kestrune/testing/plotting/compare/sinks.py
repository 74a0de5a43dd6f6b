"""Where a report goes: one PDF, or a folder of pictures with a web page.

Both are written beside the target under a temporary name and renamed into
place once complete, so a failed run leaves the target as it was.
"""

import html
import io
import os
import re
import shutil
import tempfile
from pathlib import Path

from .inputs import missing_message


def save(report, path):
    """Write ``report`` to ``path`` (see :meth:`Report.save`)."""
    path = Path(path)
    if path.suffix.lower() == ".pdf":
        _save_pdf(report, path)
    else:
        _save_folder(report, path)
    return path


def _save_pdf(report, path):
    from pypdf import PdfReader, PdfWriter

    path.parent.mkdir(parents=True, exist_ok=True)
    handle, partial = tempfile.mkstemp(
        dir=str(path.parent), prefix="." + path.name + ".", suffix=".partial")
    try:
        writer = PdfWriter()
        for page in report.rendered("pdf"):
            writer.append(PdfReader(io.BytesIO(page)))
        with os.fdopen(handle, "wb") as out:
            handle = None
            writer.write(out)
        _usual_mode(partial, 0o666)
        os.replace(partial, str(path))
    except BaseException:
        if handle is not None:
            os.close(handle)
        _remove(partial)
        raise


def _save_folder(report, path):
    if path.exists() and not path.is_dir():
        raise ValueError("{} exists and is no folder; a report is written to "
                         "a folder or to a .pdf file".format(path))
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = Path(tempfile.mkdtemp(dir=str(path.parent),
                                    prefix="." + path.name + ".", suffix=".partial"))
    try:
        names = []
        for number, picture in enumerate(report.rendered("png")):
            name = "overview.png" if number == 0 else page_name(number)
            (partial / name).write_bytes(picture)
            names.append(name)
        report.divergence.to_csv(str(partial / "divergence.csv"),
                                 index_label=_id_label(report))
        for name, table in report.divergences.items():
            table.to_csv(str(partial / "divergence-{}.csv".format(_file_part(name))),
                         index_label=_id_label(report))
        (partial / "index.html").write_text(html_page(report, names), encoding="utf-8")
        _usual_mode(str(partial), 0o777)
        _replace_folder(partial, path)
    except BaseException:
        shutil.rmtree(str(partial), ignore_errors=True)
        raise


def page_name(number):
    """File name of page ``number`` (from 1), with at least three digits."""
    return "page-{:03d}.png".format(number)


def _replace_folder(partial, path):
    """Put the complete folder ``partial`` in the place of ``path``."""
    if not path.exists():
        os.rename(str(partial), str(path))
        return
    old = Path(tempfile.mkdtemp(dir=str(path.parent),
                                prefix="." + path.name + ".", suffix=".old"))
    old.rmdir()
    os.rename(str(path), str(old))
    try:
        os.rename(str(partial), str(path))
    except BaseException:
        os.rename(str(old), str(path))
        raise
    shutil.rmtree(str(old), ignore_errors=True)


def _usual_mode(name, mode):
    """The permissions of a new file or folder (temporary ones are private)."""
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(name, mode & ~umask)


def _remove(name):
    try:
        os.remove(name)
    except FileNotFoundError:
        pass


def _file_part(name):
    """A frame name made safe for a file name."""
    return re.sub(r"[^\w.-]+", "_", name).strip("._") or "frame"


def _id_label(report):
    return report._panel.meta.id_index


def html_page(report, pictures, standalone=True):
    """The report as HTML: the overview, the table, the pages in order.

    Parameters
    ----------
    report : Report
    pictures : list of str
        Sources of the pictures, the overview first (file names, or data
        URLs to embed them).
    standalone : bool
        A whole document (for ``index.html``) or a fragment (for a notebook).

    """
    esc = html.escape
    title = "{} compared with {}".format(
        ", ".join(report.names[1:]), report.names[0])
    parts = ["<h1>{}</h1>".format(esc(title))]
    if report.missing:
        lines = missing_message(report.missing, sep="\n")
        parts.append("<p>" + esc(lines).replace("\n", "<br>") + "</p>")
    parts.append('<img src="{}" alt="overview" style="max-width:100%">'.format(
        esc(pictures[0])))
    table = report.divergence.to_html(float_format=lambda v: "{:.3f}".format(v),
                                      na_rep="missing", border=0)
    parts.append("<details><summary>Divergence per id and column "
                 "(largest over the compared frames)</summary>{}</details>".format(table))
    for page, source in zip(report.pages, pictures[1:]):
        parts.append('<h2>Page {}: {}</h2>\n<img src="{}" alt="page {}" '
                     'style="max-width:100%">'.format(
                         page.number, esc(page.heading), esc(source), page.number))
    body = "\n".join(parts)
    if not standalone:
        return "<div>{}</div>".format(body)
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
            "<title>{}</title><style>body{{font-family:sans-serif;margin:2em}}"
            "table{{border-collapse:collapse;font-size:0.85em}}"
            "td,th{{padding:2px 8px;text-align:right}}</style></head>\n"
            "<body>\n{}\n</body></html>\n").format(esc(title), body)
