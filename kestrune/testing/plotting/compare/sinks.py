"""Where a report goes: one PDF, or a folder of pictures with a web page.

Both are written beside the target under a temporary name and renamed into
place once complete, so a failed or interrupted run leaves the target as it
was. A target that exists is replaced only when it is a report that this
package wrote (a folder holding the manifest ``.kestrune-report.json`` and
nothing else than the files it lists, or a PDF that carries the package's
mark in its metadata), or when the caller asks for it.
"""

import contextlib
import html
import io
import json
import logging
import os
import re
import shutil
import signal
import tempfile
import threading
from pathlib import Path

#: The file that marks a folder as a report and lists what the report wrote.
MANIFEST = ".kestrune-report.json"
#: The metadata key that marks a PDF as a report.
PDF_MARK = "/KestruneReport"
_CREATOR = "kestrune-series comparison report"
#: Rows of each table that the web page shows (the CSV files hold all).
HTML_ROWS = 100


def check_target(path, overwrite=False):
    """Refuse a target that a report cannot be written to, before drawing.

    Parameters
    ----------
    path : str or os.PathLike
        A path ending in ``.pdf``, or a folder path without a suffix.
    overwrite : bool
        Replace whatever is at ``path``, not only a report of this package.

    Returns
    -------
    pathlib.Path

    Raises
    ------
    ValueError
        For a path with another suffix, or one that names the current
        folder or one above it.
    IsADirectoryError
        For a ``.pdf`` path that is a folder.
    FileExistsError
        For an existing path that is not a report of this package, unless
        ``overwrite``.
    NotADirectoryError
        Where a parent of ``path`` is a file.
    PermissionError
        Where the folder that would hold ``path`` cannot be written.

    """
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix not in ("", ".pdf"):
        raise ValueError(
            "{}: a report is a .pdf file or a folder without a suffix, not "
            "{!r}".format(path, path.suffix))
    here = Path.cwd().resolve()
    whole = path.resolve()
    if path.name in ("", ".", "..") or whole == here or whole in here.parents:
        raise ValueError("{}: is the current folder or holds it; name a new "
                         "folder for the report".format(path))
    if path.exists() or path.is_symlink():
        if suffix == ".pdf" and path.is_dir():
            raise IsADirectoryError(
                "{}: is a folder; a PDF report needs another path (or remove "
                "the folder)".format(path))
        if not overwrite and not is_report(path):
            extra = _unlisted(path)
            raise FileExistsError(
                "{}: {}; choose another path, or pass overwrite=True to "
                "replace it".format(path, "exists and is not a report of this "
                                    "package" if extra is None else
                                    "holds files the report did not write: "
                                    + ", ".join(extra[:5])))
    _check_parent(path)
    return path


def is_report(path):
    """Whether ``path`` is a report that this package wrote, and only that."""
    path = Path(path)
    if path.is_symlink():
        return False
    if path.is_dir():
        return _unlisted(path) == []
    if path.suffix.lower() != ".pdf" or not path.is_file():
        return False
    try:
        with path.open("rb") as head:
            if head.read(5) != b"%PDF-":
                return False
        from pypdf import PdfReader
        # A damaged PDF is simply not ours: pypdf need not log about it.
        log = logging.getLogger("pypdf")
        level = log.level
        log.setLevel(logging.CRITICAL)
        try:
            metadata = PdfReader(str(path)).metadata or {}
        finally:
            log.setLevel(level)
        return PDF_MARK in metadata
    except Exception:  # not a PDF, or one that cannot be read
        return False


def _unlisted(path):
    """The files of a report folder that its manifest does not list (sorted);
    None where ``path`` is no report folder."""
    if path.is_symlink() or not path.is_dir():
        return None
    try:
        listed = json.loads((path / MANIFEST).read_text(encoding="utf-8"))
        files = set(listed["files"]) | {MANIFEST}
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return sorted(set(os.listdir(str(path))) - files)


def _check_parent(path):
    """Refuse a target whose nearest existing folder is a file or read-only."""
    parent = path.parent
    while not parent.exists():
        if parent.is_symlink():  # dangling
            break
        parent = parent.parent
    if not parent.is_dir():
        raise NotADirectoryError(
            "{}: {} is a file, not a folder; choose another "
            "path".format(path, parent))
    try:
        # Permission bits do not bind every user (root): try it.
        with tempfile.TemporaryFile(dir=str(parent)):
            pass
    except OSError as error:
        kind = PermissionError if isinstance(error, PermissionError) else OSError
        raise kind("{}: cannot write in {}: {}; choose another "
                   "path".format(path, parent, error.strerror or error)) from None


def save(report, path, overwrite=False):
    """Write ``report`` to ``path`` (see :meth:`Report.save`)."""
    path = check_target(path, overwrite)
    if path.suffix.lower() == ".pdf":
        _save_pdf(report, path)
    else:
        _save_folder(report, path)
    return path


@contextlib.contextmanager
def held_signals():
    """Hold SIGINT and SIGTERM back while files are renamed or removed.

    A signal that arrives meanwhile is sent again once the block is done,
    so the interrupted run still stops, but never between two renames.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    arrived = []
    kinds = [signal.SIGINT] + ([signal.SIGTERM] if hasattr(signal, "SIGTERM") else [])
    before = {}
    try:
        for kind in kinds:
            # None: a handler that was not installed from Python stays.
            if signal.getsignal(kind) is not None:
                before[kind] = signal.signal(
                    kind, lambda number, frame: arrived.append(number))
        yield
    finally:
        for kind, handler in before.items():
            signal.signal(kind, handler)
        for number in arrived[:1]:
            os.kill(os.getpid(), number)


def _drawn(report, fmt):
    """The report's pictures; the drawing (and its workers) stop with the caller."""
    pictures = report.rendered(fmt)
    try:
        yield from pictures
    finally:
        pictures.close()


def _save_pdf(report, path):
    from pypdf import PdfReader, PdfWriter

    partial = None
    try:
        with held_signals():
            path.parent.mkdir(parents=True, exist_ok=True)
            handle, partial = tempfile.mkstemp(
                dir=str(path.parent), prefix="." + path.name + ".", suffix=".partial")
            os.close(handle)
        writer = PdfWriter()
        for page in _drawn(report, "pdf"):
            writer.append(PdfReader(io.BytesIO(page)))
        # A bookmark per page, naming what it shows.
        for number, title in enumerate(bookmarks(report)):
            writer.add_outline_item(title, number)
        writer.add_metadata({"/Creator": _CREATOR, PDF_MARK: "1"})
        with open(partial, "wb") as out:
            writer.write(out)
        _usual_mode(partial, 0o666)
        with held_signals():
            _replace(Path(partial), path)
            partial = None
    except BaseException:
        if partial is not None:
            with held_signals():
                _remove(partial)
        raise


def _save_folder(report, path):
    partial = None
    try:
        with held_signals():
            path.parent.mkdir(parents=True, exist_ok=True)
            partial = Path(tempfile.mkdtemp(
                dir=str(path.parent), prefix="." + path.name + ".", suffix=".partial"))
        names = report.picture_names()
        # The pictures first: zip then reads them to their end, which lets
        # the drawing finish its progress bar.
        for picture, name in zip(_drawn(report, "png"), names):
            (partial / name).write_bytes(picture)
        for file, table in (("divergence.csv", report.divergence),
                            ("pvalues.csv", report.pvalues),
                            ("qvalues.csv", report.qvalues)):
            _write_csv(report, table, partial / file)
        if report.pairs is not None:
            report.pairs.to_csv(str(partial / "pairs.csv"), index=False)
            report.coverage.to_csv(str(partial / "coverage.csv"), index=False)
        tables = table_names(report.names[1:])
        for name, table in report.divergences.items():
            _write_csv(report, table, partial / tables[name])
        (partial / "index.html").write_text(html_page(report, names, tables=tables),
                                            encoding="utf-8")
        written = sorted(os.listdir(str(partial)))
        (partial / MANIFEST).write_text(json.dumps(
            {"written by": _CREATOR, "files": written}, indent=1) + "\n",
            encoding="utf-8")
        _usual_mode(str(partial), 0o777)
        with held_signals():
            _replace(partial, path)
            partial = None
    except BaseException:
        if partial is not None:
            with held_signals():
                shutil.rmtree(str(partial), ignore_errors=True)
        raise


def page_name(number):
    """File name of page ``number`` (from 1), with at least three digits."""
    return "page-{:03d}.png".format(number)


def _replace(partial, path):
    """Put the complete ``partial`` in the place of ``path``; drop the old one."""
    if not (path.exists() or path.is_symlink()):
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
    if old.is_dir() and not old.is_symlink():
        shutil.rmtree(str(old), ignore_errors=True)
    else:
        _remove(str(old))


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


def table_names(names):
    """``divergence-<name>.csv`` for each frame name, no two alike.

    Names that clean to the same text (``b 1`` and ``b_1``), also when only
    their case differs, get ``-2``, ``-3``, ... in the order given.
    """
    taken, out = set(), {}
    for name in names:
        part = _file_part(name)
        stem, number = part, 1
        while stem.lower() in taken:
            number += 1
            stem = "{}-{}".format(part, number)
        taken.add(stem.lower())
        out[name] = "divergence-{}.csv".format(stem)
    return out


def page_ids(report, page):
    """The ids of ``page`` as its cells name them (a pair as ``ref ≈ id``)."""
    return [str(report._labels.get(i, i)) for i in page.ids]


def page_title(report, page):
    """``Page N: <first line of its heading>: <its ids>``."""
    return "Page {}: {}: {}".format(page.number, page.heading.split("\n")[0],
                                    ", ".join(page_ids(report, page)))


def bookmarks(report):
    """The title of each page of the PDF, the overview first."""
    return (["Overview", "Population"]
            + [page_title(report, page) for page in report.pages])


def page_anchors(report, shown=None):
    """The anchor of the page that draws each id (a compared id of a pair),
    and of each reference id of a page of uncovered ids, for the first
    ``shown`` pages (all when None)."""
    ids, uncovered = {}, {}
    for page in report.pages[:shown]:
        into = uncovered if page.kind == "uncovered" else ids
        for i in page.ids:
            into.setdefault(i, "page-{}".format(page.number))
    return ids, uncovered


def _id_label(report):
    return report._panel.meta.id_index


def flat(table):
    """``table`` with one header row: ``column:measure`` for each cell."""
    import pandas as pd

    table = table.copy()
    if isinstance(table.columns, pd.MultiIndex):
        table.columns = ["{}:{}".format(*cell) for cell in table.columns]
    return table


def _linked(table, where, column=None):
    """``table`` as HTML-ready text: each id links to the page that draws it.

    The ids are the index, or the values of ``column``; ``where`` maps ids
    to anchors (ids without one stay plain). Every other text is escaped
    here, since the table is written unescaped.
    """
    import pandas as pd

    def link(value):
        text = html.escape(str(value))
        anchor = where.get(value)
        return text if anchor is None else '<a href="#{}">{}</a>'.format(anchor, text)

    table = table.copy()
    for name in table.columns:
        if name == column:
            table[name] = [link(v) for v in table[name]]
        elif table[name].dtype == object:
            table[name] = [html.escape(v) if isinstance(v, str) else v
                           for v in table[name]]
    if column is None:
        name = table.index.name
        table.index = pd.Index([link(v) for v in table.index],
                               name=None if name is None else html.escape(str(name)))
    table.columns = [html.escape(str(name)) for name in table.columns]
    return table


def _write_csv(report, table, path):
    flat(table).to_csv(str(path), index_label=_id_label(report))


def html_page(report, pictures, standalone=True, tables=None):
    """The report as HTML: the overview, the table, the pages in order.

    Parameters
    ----------
    report : Report
    pictures : list of str
        Sources of the pictures, the overview first (file names, or data
        URLs to embed them).
    standalone : bool
        A whole document (for ``index.html``) or a fragment (for a notebook).
    tables : dict of str to str, optional
        The file of each compared frame's divergence table, to list them.

    """
    from .inputs import missing_message

    esc = html.escape
    # The table rows link to the pages shown here.
    anchors = page_anchors(report, max(0, len(pictures) - 2))
    title = "{} compared with {}".format(
        ", ".join(report.names[1:]), report.names[0])
    parts = ["<h1>{}</h1>".format(esc(title))]
    if report.missing:
        lines = missing_message(report.missing, sep="\n")
        parts.append("<p>" + esc(lines).replace("\n", "<br>") + "</p>")
    for source, alt in zip(pictures[:2], ("overview", "population")):
        parts.append('<img id="{1}" src="{0}" alt="{1}" style="max-width:100%">'.format(
            esc(source), alt))
    for what, table, digits in (
            ("Divergence per id and cell (largest over the compared frames)",
             report.divergence, 3),
            ("p-values per id and cell", report.pvalues, 4),
            ("q-values per id and cell (Benjamini-Hochberg over every cell; "
             "below 0.05 is beyond sampling noise)", report.qvalues, 4),
            ("Pairs: each compared id, its nearest reference id, how far, how "
             "realistic (at most 1: inside the reference population), whether "
             "a near-copy", report.pairs, 3),
            ("Coverage: each reference id, its nearest compared id, and whether "
             "one lies within the reference's own spread", report.coverage, 3)):
        if table is None:
            continue
        rows = ("" if len(table) <= HTML_ROWS else
                " (the first {:,} of {:,} rows; the CSV files hold every row)".format(
                    HTML_ROWS, len(table)))
        if table is report.coverage:
            where, column = anchors[1], "reference_id"
        else:
            where, column = anchors[0], "id" if table is report.pairs else None
        shown = _linked(flat(table.iloc[:HTML_ROWS]), where, column).to_html(
            float_format=lambda v, d=digits: "{:.{}f}".format(v, d),
            na_rep="-", border=0, escape=False, index=table is not report.pairs
            and table is not report.coverage)
        parts.append("<details><summary>{}{}</summary>{}</details>".format(
            esc(what), esc(rows), shown))
    if tables:
        links = ['<li><a href="divergence.csv">divergence.csv</a>: the largest '
                 'over the compared frames</li>',
                 '<li><a href="pvalues.csv">pvalues.csv</a> and '
                 '<a href="qvalues.csv">qvalues.csv</a>: how sure each cell is</li>']
        if report.pairs is not None:
            links.append('<li><a href="pairs.csv">pairs.csv</a> and '
                         '<a href="coverage.csv">coverage.csv</a>: which reference '
                         'id each compared id resembles, and the reverse</li>')
        links += ['<li><a href="{0}">{0}</a>: frame {1} compared with {2}</li>'.format(
            esc(file), esc(repr(name)), esc(repr(report.names[0])))
            for name, file in tables.items()]
        parts.append("<p>Tables:</p><ul>{}</ul>".format("".join(links)))
    for page, source in zip(report.pages, pictures[2:]):
        lines = page.heading.split("\n")
        parts.append('<h2 id="page-{0}">Page {0}: {1}</h2>\n<p>{2}: {3}{4}</p>\n'
                     '<img src="{5}" alt="page {0}" style="max-width:100%">'.format(
                         page.number, esc(lines[0]),
                         "pairs" if page.kind == "pairs" else "ids",
                         esc(", ".join(page_ids(report, page))),
                         "".join("<br>" + esc(line) for line in lines[1:]),
                         esc(source)))
    body = "\n".join(parts)
    if not standalone:
        return "<div>{}</div>".format(body)
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
            "<title>{}</title><style>body{{font-family:sans-serif;margin:2em}}"
            "table{{border-collapse:collapse;font-size:0.85em}}"
            "td,th{{padding:2px 8px;text-align:right}}</style></head>\n"
            "<body>\n{}\n</body></html>\n").format(esc(title), body)
