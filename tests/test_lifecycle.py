"""Unusual but legal sequences around loading and calling: each runs in a
fresh interpreter (they poison the process or may crash it) and must end with
the verdict line that the module's own bookkeeping promises."""
import importlib.util
import os
import shutil
import site
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import kestrune
from support import INTERPRETER_CHANGE

# The directory the parent imports kestrune from: the in-place build, or
# another build area put first on PYTHONPATH.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(kestrune.__file__)))

# Every dependency is loaded first, so that a script can replace entries of
# sys.modules without the module body importing anything from disk.
PRELUDE = """\
import builtins, gc, importlib.util, sys, types, weakref
import enum, logging, typing, matplotlib.pyplot, numpy, pandas, seaborn
import kestrune.util, kestrune.testing.plotting, kestrune.testing.plotting.style, kestrune.insight.dataset
NAME = "kestrune.testing.plotting.series"
"""

VECTORCALL = pytest.mark.skipif(sys.version_info >= (3, 8), reason="from 3.8 the interpreter builds the "
                                "argument arrays of a vectorcall itself (and crashes here with a plain function too)")
NOMEMORY = pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="needs _testcapi.set_nomemory")
IMMORTAL_NONE = pytest.mark.skipif(sys.version_info >= (3, 12), reason="None is immortal from 3.12: no count to compare")

SCENARIOS = [
    # `enum` is in sys.modules, but reading its __spec__ puts the real module
    # back, which drops the last reference to the object that was found.
    pytest.param("""
        real = sys.modules["enum"]
        class Vanishing(types.ModuleType):
            @property
            def __spec__(self):
                sys.modules["enum"] = real
                return real.__spec__
        found = Vanishing("enum")
        found.__dict__.update((k, v) for k, v in vars(real).items() if k != "__spec__")
        alive = weakref.ref(found)
        sys.modules["enum"] = found
        del found
        import kestrune.testing.plotting.series as series
        print("bound the object found" if series.enum is alive() else "bound another object")
    """, "bound the object found", id="spec-read-drops-the-entry"),

    # A finaliser that runs in the collection triggered while the call's
    # arrays are allocated adds keys to the very dict passed as **kw.
    pytest.param("""
        import kestrune.testing.plotting.series as series
        f = series._verify_df_meta_has_required_parameters_set
        kw, in_call, grown, errors = {}, False, 0, 0
        class Grower:
            def __del__(self):
                global grown
                grown += in_call
                kw.update(("extra%d" % i, i) for i in range(2000))
        gc.collect()
        gc.set_threshold(1)
        for trial in range(20):
            kw = {"k%d" % i: i for i in range(24)}
            g = Grower()
            g.cycle = g
            del g
            in_call = True
            try:
                f(**kw)
            except TypeError:
                errors += 1
            in_call = False
        print("grown during %s calls, %d TypeErrors" % ("some" if grown else "no", errors))
    """, "grown during some calls, 20 TypeErrors", id="kwargs-grow-during-call", marks=VECTORCALL),

    # Tools that run the code object they find on a function (decorators,
    # tracers, serialisers) get an exception, never a crash.
    pytest.param("""
        import kestrune.testing.plotting.series as series
        outcomes = set()
        for f in vars(series).values():
            if type(f).__name__ != "function" or f.__module__ != NAME:
                continue
            code = f.__code__
            for run in (lambda: types.FunctionType(code, vars(series))(*[None] * code.co_argcount),
                        lambda: types.FunctionType(code, {})(*[None] * code.co_argcount)):
                try:
                    run()
                    outcomes.add("returned")
                except Exception as e:
                    outcomes.add(type(e).__name__)
        print(" ".join(sorted(outcomes)))
    """, "AssertionError", id="code-records-run"),

    # A finaliser reads __defaults__ or __annotations__ during the collection
    # that the first read's allocation triggers; free lists are emptied first
    # so that the allocation counts towards a collection.
    pytest.param("""
        import kestrune.testing.plotting.series as series
        def trapped_read(function, attribute):
            seen = []
            class Reader:
                def __del__(self):
                    seen.append(getattr(function, attribute))
            gc.collect()
            gc.disable()
            r = Reader()
            r.cycle = r
            del r
            hold = [(i, i, i, i) for i in range(3000)] + [{} for i in range(3000)]
            gc.set_threshold(1)
            gc.enable()
            first = getattr(function, attribute)  # no frame is made before the getter runs
            gc.set_threshold(700)
            gc.collect()
            return "kept" if seen[0] is first is getattr(function, attribute) else "replaced"
        print(trapped_read(series.plot_multi_index_dataframes, "__defaults__"),
              trapped_read(series._plot_column, "__annotations__"))
    """, "kept kept", id="attribute-cache-read-by-finaliser"),

    # The n-th allocation fails, for each n in turn, in the create step and
    # the exec step up to the body's import of seaborn, which is made to fail
    # (so that no attempt completes). Each failure leaves what the steps build
    # complete or absent: the next attempt, and the last, plain import, work.
    pytest.param("""
        import _imp, _testcapi
        spec = importlib.util.find_spec(NAME)
        sys.modules["seaborn"] = None
        out_of_memory = 0
        for n in range(1, 1000):
            _testcapi.set_nomemory(n, n + 1)
            try:
                _imp.exec_dynamic(_imp.create_dynamic(spec))
            except MemoryError:
                out_of_memory += 1
            except ImportError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
        sys.modules["seaborn"] = seaborn
        import kestrune.testing.plotting.series as series
        print("%s allocation failures, then %s" % ("many" if out_of_memory > 100 else out_of_memory,
                                                     "a working module" if series.plot_row.__defaults__ == (False,)
                                                     else "a broken module"))
    """, "many allocation failures, then a working module", id="allocation-failures-then-import", marks=NOMEMORY),

    pytest.param("""
        sys.modules["seaborn"] = None
        for attempt in range(5):
            try:
                import kestrune.testing.plotting.series
            except ImportError:
                pass
        gc.collect()
        kept = sum(type(o) is dict and o.get("__name__") == NAME and "enum" in o for o in gc.get_objects())
        sys.modules["seaborn"] = seaborn
        import kestrune.testing.plotting.series as series
        print("%s after 5 failures; import %s" % ("at most one dict" if kept <= 1 else "%d dicts" % kept,
                                                 "works" if hasattr(series, "plot_row") else "broken"))
    """, "at most one dict after 5 failures; import works", id="failed-imports-keep-one-dict"),

    pytest.param("""
        spec = importlib.util.spec_from_file_location("alt.series", importlib.util.find_spec(NAME).origin)
        sys.modules["seaborn"] = None
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except ImportError:
            pass
        sys.modules["seaborn"] = seaborn
        left = NAME in sys.modules
        import kestrune.testing.plotting.series as series
        complete = hasattr(series, "plot_row") and hasattr(series, "plt")
        print("left %s; later import %s" % ("a module" if left else "nothing", "complete" if complete else "incomplete"))
    """, "left nothing; later import complete", id="failed-load-under-another-name"),

    # The builtins in use at import are a stand-in that is freed afterwards;
    # the freed dict object is the next one a new dict literal gets.
    pytest.param("""
        cast, unrelated = (lambda kind, value: value), (lambda kind, value: ["b"])
        stand_in = types.ModuleType("builtins")
        stand_in.__dict__.update(vars(builtins))
        stand_in.cast = builtins.cast = cast
        sys.modules["builtins"] = stand_in
        import kestrune.testing.plotting.series as series
        sys.modules["builtins"] = builtins
        vars(series)["__builtins__"] = builtins
        del vars(series)["cast"], stand_in
        other = {"cast": unrelated}
        try:
            series._verify_columns_exist_in_df_meta(types.SimpleNamespace(columns=["a"]), ["b"])
            print("cast found in an unrelated dict")
        except ValueError:
            print("cast found in the builtins")
    """, "cast found in the builtins", id="builtins-freed-after-import"),

    # Both imports fail at the same line, when the enumeration's metaclass
    # refuses to prepare a namespace; one reaches the base via __mro_entries__.
    pytest.param("""
        class Refusing(type):
            @classmethod
            def __prepare__(mcls, name, bases):
                if name == "ShareSetting":
                    raise LookupError(name)
                return {}
        Base = Refusing("Base", (), {})
        class Entries:
            def __mro_entries__(self, bases):
                return (Base,)
        def none_refs_kept(enum_base):
            sys.modules["enum"] = types.ModuleType("enum")
            sys.modules["enum"].Enum = enum_base
            before = sys.getrefcount(None)
            for attempt in range(5):
                try:
                    import kestrune.testing.plotting.series
                    sys.exit("the import succeeded")
                except LookupError:
                    pass
            return sys.getrefcount(None) - before
        none_refs_kept(Base)  # warm-up
        baseline = none_refs_kept(Base)
        print("references to None kept: %d" % (none_refs_kept(Entries()) - baseline))
    """, "references to None kept: 0", id="mro-entries-base", marks=IMMORTAL_NONE),
]

def child_env(*path):
    """The parent's environment (sanitizer settings included), with the
    package that the parent imports first on the path."""
    env = dict(os.environ, MPLBACKEND="Agg")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, (PACKAGE_ROOT,) + path + (env.get("PYTHONPATH"),)))
    return env


@pytest.mark.parametrize("code, verdict", SCENARIOS)
def test_hostile_sequence_ends_safely(tmp_path, code, verdict):
    script = tmp_path / "scenario.py"
    script.write_text(PRELUDE + textwrap.dedent(code))
    env = child_env()
    # The debug hooks fill freed memory; a sanitized run keeps its own setting.
    env.setdefault("PYTHONMALLOC", "debug")
    result = subprocess.run([sys.executable, str(script)], env=env, cwd=str(tmp_path), timeout=300,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert (result.returncode, result.stdout.strip()) == (0, verdict), result.stderr[-3000:]


@pytest.mark.parametrize("argument", [[], ["full-exit-table"]], ids=["plain", "full-exit-table"])
def test_second_interpreter_of_an_embedding_program_is_refused(tmp_path, argument):
    # A compiler and the flags for a program that embeds the running interpreter.
    compiler = shutil.which((sysconfig.get_config_var("CC") or "cc").split()[0]) or shutil.which("cc")
    config = os.path.join(sys.base_prefix, "bin", "python%d.%d-config" % sys.version_info[:2])
    dirs = [sysconfig.get_config_var(v) or "" for v in ("LIBDIR", "LIBPL")]
    libs = [sysconfig.get_config_var(v) or "" for v in ("LDLIBRARY", "LIBRARY")]
    if not compiler:
        pytest.skip("no C compiler")
    if not os.access(config, os.X_OK):
        pytest.skip("no %s" % config)
    if not any(lib and os.path.exists(os.path.join(d, lib)) for d in dirs for lib in libs):
        pytest.skip("no libpython in %s" % " or ".join(dirs))
    # The program links libpython itself: python-config says how with --embed
    # where it knows that option, and by default where it does not.
    embed = ["--embed"] if subprocess.run([config, "--ldflags", "--embed"], stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL).returncode == 0 else []
    flags = [flag for option in ("--cflags", "--ldflags")
             for flag in subprocess.check_output([config, option] + embed, universal_newlines=True).split()]
    # A static libpython must still export its symbols to extension modules.
    flags += ["-Xlinker", "-export-dynamic"]
    program = tmp_path / "init_twice"
    source = os.path.join(os.path.dirname(__file__), "embed", "init_twice.c")
    # The compiler runs without the sanitizer runtimes a sanitized run preloads.
    build_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    built = subprocess.run([compiler, source, "-o", str(program)] + flags, env=build_env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    assert built.returncode == 0, built.stdout
    # The embedded interpreter starts from the base installation: the venv's
    # packages come through the path.
    env = child_env(*site.getsitepackages())
    env.setdefault("PYTHONHOME", sys.base_prefix)
    result = subprocess.run([str(program)] + argument, env=env, cwd=str(tmp_path), timeout=300,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert result.stdout.splitlines() == [
        "import 1: ok complete",
        "import 2: ImportError: " + INTERPRETER_CHANGE,
        "same object: no",
    ], result.stderr[-3000:]
    assert result.returncode == 0, result.stderr[-3000:]
