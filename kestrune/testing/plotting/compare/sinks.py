"""Where a report goes: one PDF, or a folder of pictures with a web page.

Both are written beside the target under a temporary name and swapped into
place once complete, so a failed or interrupted run leaves the target as it
was. A target that exists is replaced only when it is a report that this
package wrote, or when the caller asks for it, and in either case only when
it is still what it was when the run started:

- a report folder holds the manifest ``.kestrune-report.json``, which
  records the size and SHA-256 digest of each file the report wrote; the
  folder is the report's own only when every other entry in it is a plain
  file that matches its record (a listed file may be missing), so a
  manifest made by hand or left over from another folder gives no right to
  remove anything else; a report never holds a folder;
- a report PDF carries the package's mark in its metadata.

Nothing is removed recursively: the old report's files are removed one by
one, by the names checked, then its folder, which fails if anything else is
in it. A target that changed during the run (a file added to it or changed,
or a target created where there was none) is kept as it is; the new report
is then left beside it as ``<name>-new`` (``<name>-new.pdf``) and the run
ends with an error that says so.
"""

import contextlib
import hashlib
import html
import io
import json
import logging
import os
import re
import signal
import stat
import tempfile
import threading
import warnings
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
        Replace whatever is at ``path`` (a file, or a folder of files), not
        only a report of this package.

    Returns
    -------
    pathlib.Path

    Raises
    ------
    TypeError
        For an ``overwrite`` that is not True or False.
    ValueError
        For a path with another suffix, or one that names the current
        folder or one above it.
    IsADirectoryError
        For a ``.pdf`` path that is a folder.
    FileExistsError
        For an existing path that is not a report of this package, unless
        ``overwrite``; for a folder that holds a folder, always (nothing is
        removed recursively).
    NotADirectoryError
        Where a parent of ``path`` is a file.
    PermissionError
        Where the folder that would hold ``path``, or an old report folder
        at ``path``, cannot be written.

    """
    overwrite = _checked_overwrite(overwrite)
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
    if os.path.lexists(str(path)):
        if suffix == ".pdf" and path.is_dir():
            raise IsADirectoryError(
                "{}: is a folder; a PDF report needs another path (or remove "
                "the folder)".format(path))
        if path.is_dir() and not path.is_symlink():
            _check_folder(path, overwrite)
        elif not overwrite and not is_report(path):
            raise FileExistsError(_NOT_OURS.format(path, "exists and is not a "
                                                   "report of this package"))
    _check_parent(path)
    return path


_NOT_OURS = "{}: {}; choose another path, or pass overwrite=True to replace it"


def _checked_overwrite(overwrite):
    if overwrite is True or overwrite is False:
        return overwrite
    raise TypeError("overwrite must be True or False, got {!r}".format(overwrite))


def _check_folder(path, overwrite):
    """Refuse an existing folder that the swap would lose files of."""
    foreign = _foreign(path)
    if not overwrite and foreign != []:
        raise FileExistsError(_NOT_OURS.format(
            path, "exists and is not a report of this package" if foreign is None
            else "holds files the report did not write: " + ", ".join(foreign[:5])))
    folders = sorted(name for name in _names(path)
                     if stat.S_ISDIR(_mode(path / name)))
    if folders:
        raise FileExistsError(
            "{}: holds the folder {}; a report replaces files only, never a "
            "folder with what is in it: choose another path, or remove it "
            "yourself".format(path, folders[0]))
    if not os.access(str(path), os.W_OK | os.X_OK):
        raise PermissionError(
            "{}: is read-only, so the old report could not be removed; make "
            "it writable, or choose another path".format(path))


def is_report(path):
    """Whether ``path`` is a report that this package wrote, and only that."""
    path = Path(path)
    if path.is_symlink():
        return False
    if path.is_dir():
        return _foreign(path) == []
    return path.suffix.lower() == ".pdf" and _marked_pdf(path)


def _marked_pdf(path):
    """Whether the file ``path`` is a PDF that carries the report's mark."""
    if not path.is_file():
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


def _records(folder):
    """The manifest's record of each file, ``{name: (size, sha256)}``; None
    where the folder holds no manifest that a report could have written."""
    manifest = folder / MANIFEST
    try:
        if not stat.S_ISREG(_mode(manifest)):
            return None
        files = json.loads(manifest.read_text(encoding="utf-8"))["files"]
        records = {}
        for name, record in files.items():
            size, digest = record["size"], record["sha256"]
            if (not isinstance(name, str) or os.path.basename(name) != name
                    or name in ("", ".", "..", MANIFEST) or type(size) is not int
                    or not isinstance(digest, str) or not _SHA256.match(digest)):
                return None
            records[name] = (size, digest)
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None
    return records


_SHA256 = re.compile(r"^[0-9a-f]{64}$")


def _foreign(folder):
    """The entries of a report folder that the report did not write, sorted
    (a folder with ``/``): not in its manifest, no plain file, or not the
    size and content recorded. None where ``folder`` has no manifest."""
    records = _records(folder)
    if records is None:
        return None
    out = []
    for name in _names(folder):
        if name == MANIFEST:
            continue
        entry, mode = folder / name, 0
        try:
            mode = _mode(entry)
            ours = (name in records and stat.S_ISREG(mode)
                    and entry.stat().st_size == records[name][0]
                    and _digest(entry) == records[name][1])
        except FileNotFoundError:  # gone meanwhile: nothing of it to lose
            continue
        except OSError:
            ours = False
        if not ours:
            out.append(name + "/" if stat.S_ISDIR(mode) else name)
    return out


def _names(folder):
    return sorted(os.listdir(str(folder)))


def _mode(path):
    return os.lstat(str(path)).st_mode


def _digest(path):
    digest = hashlib.sha256()
    with open(str(path), "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


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
    """Write ``report`` to ``path`` (see :meth:`Report.save`).

    What is at ``path`` when the run starts is checked (:func:`check_target`)
    and noted; the complete report then takes its place only if it is still
    the same. Otherwise it is kept, the new report is left beside it under
    ``<name>-new`` and :class:`TargetChanged` names what changed.
    """
    path = check_target(path, overwrite)
    before = _state(path)
    pdf = path.suffix.lower() == ".pdf"
    partial = None
    try:
        with held_signals():
            path.parent.mkdir(parents=True, exist_ok=True)
            if pdf:
                handle, partial = tempfile.mkstemp(
                    dir=str(path.parent), prefix="." + path.name + ".",
                    suffix=".partial")
                os.close(handle)
            else:
                partial = tempfile.mkdtemp(
                    dir=str(path.parent), prefix="." + path.name + ".",
                    suffix=".partial")
            partial = Path(partial)
        if pdf:
            _write_pdf(report, partial)
        else:
            _write_folder(report, partial)
        _usual_mode(str(partial), 0o666 if pdf else 0o777)
        _swap(partial, path, before, overwrite)
    except BaseException:
        if partial is not None and os.path.lexists(str(partial)):
            with held_signals():
                _remove_written(partial)
        raise
    return path


class TargetChanged(FileExistsError):
    """The target changed while the report was drawn: it is kept as it is."""


class OldReportKeptWarning(UserWarning):
    """The new report took its place, but the old one could not be removed."""


#: Called with the name of each step of the swap ("swap", "aside", "placed"):
#: tests set it to interrupt the swap or change the target at that moment.
swap_hook = None


def _stage(name):
    if swap_hook is not None:
        swap_hook(name)


def _swap(partial, path, before, overwrite):
    """Put the complete ``partial`` in the place of ``path`` and drop the old
    report, all under held signals. A signal that arrived meanwhile is acted
    on afterwards; the error it raises says, by ``report_written``, that the
    new report is in place."""
    swapped = False
    try:
        with held_signals():
            _stage("swap")
            _put_in_place(partial, path, before, overwrite)
            swapped = True
    except BaseException as error:
        if swapped:
            error.report_written = str(path)
        raise


def _put_in_place(partial, path, before, overwrite):
    if before is None:
        if not _place(partial, path):
            raise _changed(path, partial, "it was created during the run")
        return
    old = _beside_name(path, "old", hidden=True)
    try:
        os.rename(str(path), str(old))
    except FileNotFoundError:  # removed during the run: nothing to keep
        if not _place(partial, path):
            raise _changed(path, partial, "it was replaced during the run")
        return
    _stage("aside")
    why = _difference(before, _state(old))
    if why is None and not overwrite and not (
            _foreign(old) == [] if before[1] is not None else _marked_pdf(old)):
        why = "it is no longer a report of this package"
    if why is None and _place(partial, path):
        _stage("placed")
        _drop(old, path, before)
        return
    kept = ""
    if not _place(old, path):
        kept = " as {}".format(_place_beside(old, path, "old") or old)
    raise _changed(path, partial, why or "it was created during the run", kept)


def _changed(path, partial, why, kept=""):
    """The error for a target that changed during the run; leaves the new
    report beside it."""
    beside = _place_beside(partial, path, "new")
    return TargetChanged("{}: {}; it is kept{}, and the new report {}".format(
        path, why, kept, "was not written" if beside is None
        else "is {}".format(beside)))


def _state(path):
    """What is at ``path``, to tell later whether it changed: None for
    nothing, else its kind and identity, and for a folder those of each
    entry (its own size and time change with its entries)."""
    try:
        info = os.lstat(str(path))
    except FileNotFoundError:
        return None
    if not stat.S_ISDIR(info.st_mode):
        return _identity(info), None
    entries = {}
    for name in _names(path):
        try:
            entries[name] = _identity(os.lstat(str(path / name)))
        except FileNotFoundError:
            pass
    return (stat.S_IFMT(info.st_mode), info.st_ino), entries


def _identity(info):
    return stat.S_IFMT(info.st_mode), info.st_ino, info.st_size, info.st_mtime_ns


def _difference(before, now):
    """What changed from ``before`` to ``now`` (see :func:`_state`) that the
    swap would lose, in words; None when nothing (files removed lose nothing)."""
    if now is None or now[0][:2] != before[0][:2] or (now[1] is None) != (before[1] is None):
        return "it was replaced during the run"
    if now[1] is None:
        return None if now[0] == before[0] else "it was changed during the run"
    for name, identity in sorted(now[1].items()):
        if name not in before[1]:
            return "{} was added to it during the run".format(name)
        if identity != before[1][name]:
            return "{} in it was changed during the run".format(name)
    return None


def _place(source, target):
    """Rename ``source`` to ``target`` unless something is at ``target``;
    whether it was done."""
    source, target = str(source), str(target)
    if os.name == "nt":  # a rename there never replaces
        try:
            os.rename(source, target)
        except FileExistsError:
            return False
        return True
    if stat.S_ISDIR(_mode(source)):
        # A rename replaces an empty folder only: claim the name with one.
        try:
            os.mkdir(target)
        except FileExistsError:
            return False
        try:
            os.rename(source, target)
        except OSError:  # something was put into the claimed folder
            with contextlib.suppress(OSError):
                os.rmdir(target)
            return False
        return True
    try:
        os.link(source, target, follow_symlinks=False)
    except FileExistsError:
        return False
    except OSError:  # no hard links here: claim the name with an empty file
        try:
            os.close(os.open(target, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return False
        os.replace(source, target)
        return True
    os.remove(source)
    return True


def _beside_name(path, word, hidden=False, number=1):
    stem, suffix = (path.stem, path.suffix) if path.suffix.lower() == ".pdf" else (path.name, "")
    if hidden:
        return path.with_name(".{}.{}.{}{}".format(stem, os.urandom(4).hex(), word, suffix))
    return path.with_name("{}-{}{}{}".format(
        stem, word, "" if number == 1 else "-{}".format(number), suffix))


def _place_beside(source, path, word):
    """Rename ``source`` to ``<name>-<word>`` beside ``path`` (or ``-2``, ...,
    whichever is free); the name, or None."""
    for number in range(1, 100):
        target = _beside_name(path, word, number=number)
        if _place(source, target):
            return target
    return None


def _drop(old, path, before):
    """Remove the old report moved aside to ``old``: file by file, the names
    noted before the run, then the folder; one that cannot be removed is
    left beside the new one, and a warning names it."""
    try:
        if before[1] is None:
            os.remove(str(old))
        else:
            for name in before[1]:
                with contextlib.suppress(FileNotFoundError):
                    os.remove(str(old / name))
            os.rmdir(str(old))
    except OSError as error:
        left = _place_beside(old, path, "old") or old
        warnings.warn("{}: the old report could not be removed ({}); it is left "
                      "as {}".format(path, error.strerror or error, left),
                      OldReportKeptWarning, stacklevel=2)


def _remove_written(partial):
    """Remove a report being written: a file, or a folder of files."""
    with contextlib.suppress(OSError):
        if stat.S_ISDIR(_mode(partial)):
            for name in _names(partial):
                os.remove(str(partial / name))
            os.rmdir(str(partial))
        else:
            os.remove(str(partial))


@contextlib.contextmanager
def held_signals():
    """Hold SIGINT and SIGTERM back while files are renamed or removed.

    A signal that arrives meanwhile is acted on once the block is done, as
    its handler would have (a Python handler is called, so its exception
    rises right here), so the interrupted run still stops, but never
    between two renames.
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
        if arrived:
            handler = before[arrived[0]]
            if callable(handler):
                handler(arrived[0], None)
            elif handler == signal.SIG_DFL:
                os.kill(os.getpid(), arrived[0])


def _drawn(report, fmt):
    """The report's pictures; the drawing (and its workers) stop with the caller."""
    pictures = report.rendered(fmt)
    try:
        yield from pictures
    finally:
        pictures.close()


def _write_pdf(report, partial):
    from pypdf import PdfReader, PdfWriter

    writer = PdfWriter()
    for page in _drawn(report, "pdf"):
        writer.append(PdfReader(io.BytesIO(page)))
    # A bookmark per page, naming what it shows.
    for number, title in enumerate(bookmarks(report)):
        writer.add_outline_item(title=title, page_number=number)
    writer.add_metadata({"/Creator": _CREATOR, PDF_MARK: "1"})
    with open(str(partial), "wb") as out:
        writer.write(out)


def _write_folder(report, partial):
    names = report.picture_names()
    # The pictures first: zip then reads them to their end, which lets
    # the drawing finish its progress bar.
    for picture, name in zip(_drawn(report, "png"), names):
        (partial / name).write_bytes(picture)
    for file, table in (("divergence.csv", report.divergence),
                        ("pvalues.csv", report.pvalues),
                        ("qvalues.csv", report.qvalues)):
        _write_csv(report, table, partial / file)
    if getattr(report, "verdicts", None) is not None:
        report.verdicts.to_csv(str(partial / "verdicts.csv"), index=False)
    if report.pairs is not None:
        report.pairs.to_csv(str(partial / "pairs.csv"), index=False)
        report.coverage.to_csv(str(partial / "coverage.csv"), index=False)
    if getattr(report, "scores", None) is not None:
        report.scores.to_csv(str(partial / "scores.csv"))
    tables = table_names(report.names[1:])
    for name, table in report.divergences.items():
        _write_csv(report, table, partial / tables[name])
    (partial / "index.html").write_text(html_page(report, names, tables=tables),
                                        encoding="utf-8")
    # What the report wrote, recognisable by size and content: only such
    # files are ever removed with it.
    records = {name: {"size": (partial / name).stat().st_size,
                      "sha256": _digest(partial / name)}
               for name in _names(partial)}
    (partial / MANIFEST).write_text(json.dumps(
        {"written by": _CREATOR, "files": records}, indent=1, sort_keys=True) + "\n",
        encoding="utf-8")


def page_name(number):
    """File name of page ``number`` (from 1), with at least three digits."""
    return "page-{:03d}.png".format(number)


def _usual_mode(name, mode):
    """The permissions of a new file or folder (temporary ones are private)."""
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(name, mode & ~umask)


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
    from .verdicts import verdict_lines
    lines = verdict_lines(getattr(report, "verdicts", None))
    if lines:
        parts.append("<pre>{}</pre>".format(esc("\n".join(lines))))
    if report.missing:
        lines = missing_message(report.missing, sep="\n")
        parts.append("<p>" + esc(lines).replace("\n", "<br>") + "</p>")
    for source, alt in zip(pictures[:2], ("overview", "population")):
        parts.append('<img id="{1}" src="{0}" alt="{1}" style="max-width:100%">'.format(
            esc(source), alt))
    verdicts = getattr(report, "verdicts", None)
    for what, table, digits in (
            ("Verdicts per compared frame, column and measure over all ids "
             "(q below 0.05: a systematic difference beyond sampling noise)",
             verdicts, 4),
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
            and table is not report.coverage and table is not verdicts)
        parts.append("<details><summary>{}{}</summary>{}</details>".format(
            esc(what), esc(rows), shown))
    if tables:
        links = ['<li><a href="verdicts.csv">verdicts.csv</a>: one verdict per '
                 'compared frame, column and measure</li>',
                 '<li><a href="divergence.csv">divergence.csv</a>: the largest '
                 'over the compared frames</li>',
                 '<li><a href="pvalues.csv">pvalues.csv</a> and '
                 '<a href="qvalues.csv">qvalues.csv</a>: how sure each cell is</li>']
        if report.pairs is not None:
            links.append('<li><a href="pairs.csv">pairs.csv</a> and '
                         '<a href="coverage.csv">coverage.csv</a>: which reference '
                         'id each compared id resembles, and the reverse</li>')
        if getattr(report, "scores", None) is not None:
            links.append('<li><a href="scores.csv">scores.csv</a>: each compared '
                         'frame\'s scores beside its yardstick, best first</li>')
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
