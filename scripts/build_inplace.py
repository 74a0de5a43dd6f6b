"""Build the extension in place when what it is built from has changed.

    python scripts/build_inplace.py STAMP SOURCE...

Run by the interpreter of the environment (`make build`). The decision rests
on the content of the sources, not on their time stamps: the extension's time
stamp is rounded to whole seconds, so a source saved within the same second
as the previous build would look older than it. STAMP holds a digest of the
sources' names and contents, the interpreter and the compiler settings of the
last successful build, and the size and time of the extension it made; when
the digest differs from the current one, or the extension is missing or was
replaced by another build, the extension is rebuilt from scratch (`build_ext
--force`: setuptools would otherwise compare time stamps itself) and the
digest taken before the build is written to STAMP. A source changed while the
build runs thus gives another digest next time, and another build.

Needs the standard library only.
"""
import hashlib
import os
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXTENSION = os.path.join(ROOT, "kestrune", "testing", "plotting",
                         "series" + sysconfig.get_config_var("EXT_SUFFIX"))
# Settings of the environment that change what the compiler makes.
SETTINGS = ("CC", "CXX", "CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS")


def digest(sources, environ=os.environ):
    """A digest of the sources (names and contents), the interpreter and the compiler settings."""
    h = hashlib.sha256()
    h.update(sys.version.encode())
    h.update(sys.executable.encode())
    for name in SETTINGS:
        h.update(("%s=%s\0" % (name, environ.get(name, ""))).encode())
    for path in sorted(sources):
        h.update(os.path.relpath(path, ROOT).encode() + b"\0")
        with open(path, "rb") as f:
            content = f.read()
        h.update(str(len(content)).encode() + b"\0" + content)
    return h.hexdigest()


def fingerprint(extension=EXTENSION):
    """Size and modification time of the extension, or None when it is missing."""
    try:
        st = os.stat(extension)
    except OSError:
        return None
    return "%d %d" % (st.st_size, st.st_mtime_ns)


def needs_build(stamp, current, extension=EXTENSION):
    """Whether the extension is missing, or was not made by the build the stamp records from `current`."""
    try:
        with open(stamp) as f:
            recorded = f.read().split("\n")
    except OSError:
        return True
    return recorded[:2] != [current, fingerprint(extension)]


def main(argv):
    stamp, sources = argv[0], argv[1:]
    current = digest(sources)
    if not needs_build(stamp, current):
        return 0
    status = subprocess.call([sys.executable, "setup.py", "--quiet", "build_ext", "--inplace", "--force"],
                             cwd=ROOT)
    if status:
        return status
    os.makedirs(os.path.dirname(os.path.abspath(stamp)), exist_ok=True)
    with open(stamp, "w") as f:
        f.write("%s\n%s\n" % (current, fingerprint()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
