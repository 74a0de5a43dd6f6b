/* Starts the interpreter, imports the series module, finalises, starts a
 * second interpreter and imports again. With the argument "full-exit-table"
 * the interpreter's table of exit hooks (Py_AtExit) is filled up first. Prints one line per import:
 *   import 1: ok <id of the module>
 *   import 2: <exception type>: <message>      or      import 2: ok <id>
 * and whether the second interpreter got the first one's module object. */
#include <Python.h>
#include <stdio.h>
#include <string.h>

static const char *const kName = "kestrune.testing.plotting.series";

/* Imports the module; prints the outcome; returns the module's address or NULL. */
static void *import_once(int round) {
    PyObject *module = PyImport_ImportModule(kName);
    void *address = module;
    if (module) {
        int complete = PyObject_HasAttrString(module, "plot_row");
        printf("import %d: ok %s\n", round, complete ? "complete" : "incomplete");
        Py_DECREF(module);
    } else {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyObject *text = value ? PyObject_Str(value) : NULL;
        printf("import %d: %s: %s\n", round, ((PyTypeObject *)type)->tp_name,
               text ? PyUnicode_AsUTF8(text) : "?");
        Py_XDECREF(text);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
    fflush(stdout);
    return address;
}

static void ignore_exit(void) {}

int main(int argc, char **argv) {
    Py_Initialize();
    if (argc > 1 && strcmp(argv[1], "full-exit-table") == 0) {
        while (Py_AtExit(ignore_exit) == 0) {
        }
    }
    void *first = import_once(1);
    if (Py_FinalizeEx() < 0) printf("finalize: failed\n");
    Py_Initialize();
    void *second = import_once(2);
    printf("same object: %s\n", first && first == second ? "yes" : "no");
    fflush(stdout);
    /* numpy cannot be torn down a second time: leave without finalising. */
    return 0;
}
