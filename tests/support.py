"""Helpers shared by the test modules."""
import subprocess
import sys
import textwrap
import traceback

MODULE = "kestrune.testing.plotting.series"
PREFIX = MODULE + "."
FILENAME = "kestrune\\testing\\plotting\\series"
INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

FUNCTIONS = [
    # name, def line, parameters, defaults
    ("_plot_column", 34, "axis df id_name plot_name plot_type", None),
    ("_plot_continuous", 46, "axis df id_name plot_name", None),
    ("_plot_categorical", 52, "axis df id_name plot_name", None),
    ("plot_row", 58, "dfs name ids ax share plot_type last_row", (False,)),
    ("plot_continuous_time_series", 116, "dfs names ids axes share", None),
    ("plot_time_series", 142, "x t ax", None),
    ("plot_series", 151, "sr ax kwargs", (None,)),
    ("plot_categorical_time_series", 159, "dfs names ids axes share", None),
    ("sequence_index_plot", 170, "x t ax cmap_name", ("YlGn",)),
    ("sequence_line_plot", 181, "x t ax", None),
    ("_verify_df_meta_applies_to_dfs", 185, "df_meta dfs", None),
    ("_verify_df_meta_has_required_parameters_set", 204, "df_meta", None),
    ("_verify_columns_exist_in_df_meta", 214, "df_meta columns", None),
    ("_verify_names_exist_in_df_index", 226, "df names", None),
    ("plot_multi_index_dataframes", 235,
     "dfs df_meta columns_to_plot categories_to_group_plots share_setting forecast_from", "axes"),
]


def module_entries(tb):
    """(name, line) of each traceback entry that the module's own code added."""
    return [(e.name, e.lineno) for e in traceback.extract_tb(tb) if e.filename == FILENAME]


def run_python(code):
    """Runs code in a fresh interpreter (for what poisons the process) and returns its output."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert result.returncode == 0, result.stderr
    return result.stdout
