/* Native helpers for the benchmarks: a GL call that does nothing, and loops
 * that issue calls without any Python bytecode in between.  Builds for
 * CPython 2.7 and 3.8 to 3.15 (bench.py builds it with setuptools into
 * bench/build/py<version>/).  From Python 3.12 on, what this file adds for
 * the safe floor and for the tight floor's absence check uses the
 * interpreter's public C API only (dictionary watchers among it).
 *
 *   noop(*args, **kwargs)     accepts anything, returns None.  It takes its
 *                             arguments as a cheap C callee does on each
 *                             interpreter: an argument tuple on 2.7
 *                             (METH_VARARGS | METH_KEYWORDS), the fast-call
 *                             vector on 3.x (METH_FASTCALL | METH_KEYWORDS),
 *                             so that on 3.x a vectorcall builds no tuple
 *   record(*args)             appends its very argument tuple to the list
 *                             movra_bench.recorded, returns None
 *   repeat(f, args, n)        calls f(*args) n times, discarding the results
 *                             (on 3.x through vectorcall where f has it)
 *   has_vectorcall(f)         whether a call of f from C needs no argument
 *                             tuple: f's type supports vectorcall (False on 2.7)
 *   prepare(program)          the program decoded once, for run_program
 *   step_value(step)          the object a step of kind 2, 3, 4, 7, 8, 10,
 *                             12, 13 or 17 makes (the check in
 *                             floor_programs.py)
 *   last_value()              the value the last global-name step of a
 *                             program read (for tests, which keep it alive)
 *   run_program(program, n)   runs a flat tuple of steps (or a prepared
 *                             one) n times; the loop itself is run_steps,
 *                             where a profile starts and stops
 *     The floor's steps (bench.py, floor_programs.py):
 *       (0, f, args)          f(*args) with the pre-built tuple `args`; on 3.x
 *                             a callee with vectorcall gets the tuple's items
 *       (1, a, i, j, v)       a[i][j] = v
 *       (2, op, x, y)         x op y, op one of "+", "-", "*", "/", "|"
 *       (3, x)                -x
 *                             A new result object each time.  Python ints
 *                             (within a C long) and floats are computed in C
 *                             and the result made directly, as a compiled
 *                             implementation may (falling back to the number
 *                             protocol on overflow, division by zero or ints
 *                             beyond 2**53 in a true division); any other
 *                             operand (numpy's) through PyNumber_*.
 *     the tight floor's further steps:
 *       (4, globals, builtins, name)  the value of a global name, read from
 *                             the dictionary `globals` each time: from the
 *                             entry of the dictionary's table where the name
 *                             stands, found when the program is decoded and
 *                             checked at each read to be that table's entry
 *                             of this very name with a value (else a full
 *                             lookup).  A name that is not in `globals`:
 *                             on 3.x a stamp of `globals` (unchanged since
 *                             the name was last found absent) vouches for
 *                             that, as the interpreter's own lookup of a
 *                             built-in name checks: their version number on
 *                             3.8 to 3.11, the watcher stamp (below) from
 *                             3.12 on; on 2.7 a full lookup finds nothing
 *                             there; then the same entry read in `builtins`.
 *       (5, f, args)          f(*args) with an argument container where f
 *                             needs one: a tuple filled with args' items for
 *                             the call and emptied after it (every callee on
 *                             2.7, a callee without vectorcall on 3.x; the
 *                             same spare tuple serves every call that nobody
 *                             kept it through, else a new one is made); a
 *                             vectorcall callee on 3.x gets the items
 *       (6, f, args)          the argument container alone that a call of f
 *                             with these arguments needs, filled and emptied;
 *                             nothing (the step is dropped) where f has
 *                             vectorcall
 *       (7, x)                int(x)
 *       (8, s, i)             s[i]: an exact list with an int index in range
 *                             is read directly, as the interpreter's own
 *                             specialised subscript does; anything else
 *                             through PyObject_GetItem
 *       (9, x)                the truth value of x
 *       (10, o, name)         the attribute o.name
 *       (11, d, name, v)      d[name] = v: a store into a module's globals
 *       (12, items)           a new list holding the items of the tuple
 *     Each of these steps releases the new object it made at once.  A global
 *     name's value is read without taking a reference to it, as a compiled
 *     body that uses it at once may.
 *     The safe floor's steps, which replace the tight floor's name reads and
 *     calls (the other steps are the tight floor's own):
 *       (13, globals, builtins, name)  the value of a global name from a
 *                             cache of the step's own, validated as cheaply
 *                             as the interpreter allows: on 3.8 to 3.11 by
 *                             the version number of `globals` (and of
 *                             `builtins` for a built-in name), from 3.12 on
 *                             by the watcher stamp; on 2.7, which has
 *                             neither, by the entry of the table as kind 4
 *                             reads it.  The cache is refilled by a full
 *                             lookup, and kept only while every key of the
 *                             dictionaries it read is an exact str.  The
 *                             step takes a reference to the value and pushes
 *                             it on the stack of held references.
 *       (17, o, name)         the attribute `name` of the object on top of
 *                             that stack (o, as floor_programs.check has
 *                             seen), whose new reference replaces o's there
 *       (14, f, args, k, constant)  a direct call of the callee held k
 *                             references down the stack (the value its
 *                             lookup found, which floor_programs.check has
 *                             seen to be f), with the items of args:
 *                             on 3.x through the callee's own vectorcall
 *                             entry, read from its object as the interpreter
 *                             reads it, or, for a callee without one,
 *                             through its type's call slot with an argument
 *                             tuple; on 2.7 a built-in function through its
 *                             method entry (without a tuple for one taking
 *                             no argument or one), anything else through
 *                             its type's call slot.  The tuple is args
 *                             itself when `constant` is true, else a
 *                             container filled as kind 5 fills it.  Under
 *                             the recursion guard (Py_EnterRecursiveCall,
 *                             with the interpreter's words " while calling a
 *                             Python object").  Then the k held references
 *                             (the callee's and those read for its
 *                             arguments) are released.
 *       (15, f, args, constant)  entry into the body of one of the
 *                             listing's own functions, whose steps follow:
 *                             the argument container where f needs one (as
 *                             kind 6), then the recursion guard is entered
 *       (16, f, k)            the end of that body: the guard is left, and
 *                             the k references held since the callee's
 *                             lookup are released (its own, its arguments',
 *                             and the body's locals)
 *       (18, k)               the k references still held at the end of the
 *                             frame or tick released
 *       (19, ...), (20, ...), (21, ...)  kinds 14, 15 and 16 without the
 *                             recursion guard (the "unguarded" figure)
 *     The loop (run_steps) dispatches on the kind of each step, decoded
 *     beforehand (prepare), with every kind inlined.
 *
 *   The watcher stamp (3.12 and later): a counter that a dictionary watcher
 *   of this module (PyDict_AddWatcher) advances at every change of any
 *   dictionary it watches; prepare watches (PyDict_Watch) every dictionary
 *   a step of kind 4 or 13 reads a name from.  From 3.12 on the stamp only
 *   vouches for a name's absence (kind 4) and for the types of the keys:
 *   a kind 13 read takes the entry where its name stands afresh
 *   (PyDict_Next), as the module's own hint does, since a value kept under
 *   a watcher's count can outlive the change that the watcher is told of
 *   before it is made (docs/runtime.md).  The stores of kind 11 go
 *   into a dictionary that is not watched (floor_programs.py: a copy of the
 *   listing's globals), so that they leave the caches of the names read
 *   valid, as a store of a new value leaves the interpreter's own.
 */
#include <Python.h>
#include <limits.h>
#include <string.h>

#if PY_MAJOR_VERSION >= 3
#define BENCH_PY3 1
#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#define PyVectorcall_Function _PyVectorcall_Function
#endif
#define BENCH_INT_CHECK_EXACT PyLong_CheckExact
#define BENCH_TO_INT PyNumber_Long
#define BENCH_TEXT_CHECK PyUnicode_Check
#else
#define BENCH_PY3 0
#define BENCH_INT_CHECK_EXACT PyInt_CheckExact
#define BENCH_TO_INT PyNumber_Int
#define BENCH_TEXT_CHECK PyString_Check
#endif

#if BENCH_PY3
static PyObject *noop(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    Py_RETURN_NONE;
}
#define NOOP_FLAGS (METH_FASTCALL | METH_KEYWORDS)
#else
static PyObject *noop(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self; (void)args; (void)kwargs;
    Py_RETURN_NONE;
}
#define NOOP_FLAGS (METH_VARARGS | METH_KEYWORDS)
#endif

static PyObject *recorded;

static PyObject *record(PyObject *self, PyObject *args) {
    (void)self;
    if (PyList_Append(recorded, args) < 0) return NULL;
    Py_RETURN_NONE;
}

/* Whether the callee takes the vectorcall route, on which it needs no
 * argument tuple. */
static int takes_vector(PyObject *f) {
#if BENCH_PY3
    return PyVectorcall_Function(f) != NULL;
#else
    (void)f;
    return 0;
#endif
}

/* f(*args) with args a tuple, without a new container where f has none. */
static PyObject *call_with_items(PyObject *f, PyObject *args, int vector) {
#if BENCH_PY3
    if (vector)
        return PyObject_Vectorcall(f, &PyTuple_GET_ITEM(args, 0),
                                   (size_t)PyTuple_GET_SIZE(args), NULL);
#else
    (void)vector;
#endif
    return PyObject_Call(f, args, NULL);
}

static PyObject *repeat(PyObject *self, PyObject *a) {
    PyObject *f, *args, *r;
    Py_ssize_t n, i;
    int vector;
    (void)self;
    if (!PyArg_ParseTuple(a, "OO!n", &f, &PyTuple_Type, &args, &n)) return NULL;
    vector = takes_vector(f);
    for (i = 0; i < n; i++) {
        r = call_with_items(f, args, vector);
        if (r == NULL) return NULL;
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

static PyObject *has_vectorcall(PyObject *self, PyObject *f) {
    (void)self;
    return PyBool_FromLong(takes_vector(f));
}

/* One decoded step of a program; the pointers are borrowed from the program
 * tuple, which the caller keeps alive while it runs. */
/* Where a name's entry stands in a dictionary's table: the table (the keys
 * object on 3.x, the entry array on 2.7) and the address of the entry's key,
 * which its value follows. */
typedef struct {
    void *table;
    PyObject **slot;
} Hint;

typedef struct {
    int kind;
    char op;
    int vector;
    PyObject *a, *b, *c, *d;
    Hint hint;        /* kind 4: in globals, or (in_builtins) in builtins */
    int in_builtins;
    unsigned long long absent_at;  /* kind 4 on 3.x: the globals' stamp when
                                      the name was last found absent there */
    PyObject *spare;  /* kinds 5, 6, 14, 15, 19, 20: the spare argument tuple
                         (owned) */
    /* The safe floor's steps. */
    PyObject *cached;             /* kind 13: the value found (the dictionary holds it) */
    unsigned long long stamp;     /* ... the stamp of globals then, NO_STAMP if none */
    unsigned long long stamp_b;   /* ... and of builtins, for a built-in name (3.8-3.11) */
    Py_ssize_t position;          /* ... 3.12+: where the name's entry stands in globals, or -1 */
    PyObject *key;                /* ... and the key there (borrowed: globals hold it) */
    PyObject *const *items;       /* kinds 14, 19: the arguments, args' items */
    Py_ssize_t nargs;
    Py_ssize_t release;           /* kinds 14, 16, 18, 19, 21: held references released */
    int constant;                 /* kinds 14, 15, 19, 20: args is the call's tuple */
    int container;                /* kinds 15, 20: the body's callee needs a container */
} Step;

static void *table_of(PyObject *dict) {
    PyDictObject *d = (PyDictObject *)dict;
#if BENCH_PY3
    return d->ma_values == NULL ? (void *)d->ma_keys : NULL;
#else
    return d->ma_table;
#endif
}

/* The hint of `name` in `dict`: 1 if the name is there (the slot NULL if its
 * entry cannot be found), 0 if it is not, -1 on an error.  On 3.x the table's layout is
 * private: the entry is the pair of adjacent words (key, value) within the
 * keys object, which is at most the dictionary's size (its __sizeof__). */
static int find_hint(PyObject *dict, PyObject *name, Hint *hint) {
    PyObject *value;
    hint->table = table_of(dict);
    hint->slot = NULL;
#if BENCH_PY3
    value = PyDict_GetItemWithError(dict, name);
    if (value == NULL) return PyErr_Occurred() ? -1 : 0;
    if (hint->table != NULL) {
        PyObject *size = PyObject_CallMethod(dict, "__sizeof__", NULL);
        Py_ssize_t bytes, i;
        PyObject **words = (PyObject **)hint->table;
        if (size == NULL) return -1;
        bytes = PyLong_AsSsize_t(size);
        Py_DECREF(size);
        if (bytes < 0) return PyErr_Occurred() ? -1 : 1;
        bytes -= (Py_ssize_t)sizeof(PyDictObject);
        for (i = 0; (i + 2) * (Py_ssize_t)sizeof(PyObject *) <= bytes; i++) {
            if (words[i] == name && words[i + 1] == value) {
                hint->slot = &words[i];
                break;
            }
        }
    }
#else
    {
        PyDictObject *d = (PyDictObject *)dict;
        Py_ssize_t i;
        value = PyDict_GetItem(dict, name);
        if (value == NULL) return 0;
        for (i = 0; i <= d->ma_mask; i++) {
            if (d->ma_table[i].me_key == name && d->ma_table[i].me_value == value) {
                hint->slot = &d->ma_table[i].me_key;
                break;
            }
        }
    }
#endif
    return 1;
}

#if PY_VERSION_HEX >= 0x030C0000
#define BENCH_WATCHERS 1
/* The watcher stamp: advanced at every change of a watched dictionary
 * (whatever the event, its deallocation included), never 0. */
static unsigned long long watched_stamp = 1;
static int watcher_id = -1;

static int on_watched_change(PyDict_WatchEvent event, PyObject *dict, PyObject *key,
                             PyObject *value) {
    (void)event; (void)dict; (void)key; (void)value;
    ++watched_stamp;
    return 0;
}

/* Watches `dict` with this module's watcher, made at the first call. */
static int watch(PyObject *dict) {
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(on_watched_change);
        if (watcher_id < 0) return -1;
    }
    return PyDict_Watch(watcher_id, dict);
}

/* The stamp of a watched dictionary: the same for all of them. */
static inline unsigned long long dict_stamp(PyObject *dict) {
    (void)dict;
    return watched_stamp;
}
#else
#define BENCH_WATCHERS 0
static int watch(PyObject *dict) {
    (void)dict;
    return 0;
}
#if BENCH_PY3
/* The version number of a dictionary, which changes whenever its contents
 * change (3.8 to 3.11; 3.12 deprecates it and 3.14 removes it). */
static inline unsigned long long dict_stamp(PyObject *dict) {
    return ((PyDictObject *)dict)->ma_version_tag;
}
#endif
#endif

/* A stamp no dictionary has: a cache that holds nothing. */
#define NO_STAMP (~0ULL)

/* The value at the hinted entry (borrowed), or NULL if the hint no longer
 * holds. */
static inline PyObject *read_hint(PyObject *dict, const Hint *hint, PyObject *name) {
    if (hint->slot != NULL && table_of(dict) == hint->table && hint->slot[0] == name)
        return hint->slot[1];
    return NULL;
}

#define KINDS 22
#define HELD_MAX 64  /* the most references a safe floor program holds at once */

static int decode_count(PyObject *o, Py_ssize_t *out) {
    *out = PyNumber_AsSsize_t(o, PyExc_OverflowError);
    if (*out == -1 && PyErr_Occurred()) return -1;
    return 0;
}

#if BENCH_WATCHERS
static int only_text_keys(PyObject *dict);
static void find_position(Step *s);
#endif

static int decode(PyObject *s, Step *out, int *keep) {
    Py_ssize_t size = PyTuple_Check(s) ? PyTuple_GET_SIZE(s) : 0;
    static const Py_ssize_t sizes[KINDS] = {3, 5, 4, 2, 4, 3, 3, 2, 3, 2, 3, 4, 2,
                                            4, 5, 4, 3, 3, 2, 5, 4, 3};
    long kind = size ? PyLong_AsLong(PyTuple_GET_ITEM(s, 0)) : -1;
    if (kind < 0 || kind >= KINDS || size != sizes[kind]) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "malformed program step");
        return -1;
    }
    out->kind = (int)kind;
    out->a = PyTuple_GET_ITEM(s, 1);
    out->b = size > 2 ? PyTuple_GET_ITEM(s, 2) : NULL;
    out->c = size > 3 ? PyTuple_GET_ITEM(s, 3) : NULL;
    out->d = size > 4 ? PyTuple_GET_ITEM(s, 4) : NULL;
    out->op = 0;
    out->vector = 0;
    out->hint.table = NULL;
    out->hint.slot = NULL;
    out->in_builtins = 0;
    out->spare = NULL;
    out->cached = NULL;
    out->position = -1;
    out->key = NULL;
    out->stamp = NO_STAMP;
    out->stamp_b = NO_STAMP;
    out->items = NULL;
    out->nargs = 0;
    out->release = 0;
    out->constant = 0;
    out->container = 0;
    *keep = 1;
    if (kind == 0 || kind == 5 || kind == 6 || kind == 14 || kind == 15 || kind == 19 ||
        kind == 20) {
        if (!PyTuple_Check(out->b)) {
            PyErr_SetString(PyExc_TypeError, "call arguments are a tuple");
            return -1;
        }
        out->vector = takes_vector(out->a);
        if (kind == 6 && out->vector) *keep = 0;
        if ((kind == 5 || kind == 6) && !out->vector && *keep) {
            out->spare = PyTuple_New(PyTuple_GET_SIZE(out->b));
            if (out->spare == NULL) return -1;
        }
    }
    if (kind == 14 || kind == 15 || kind == 19 || kind == 20) {
        int constant = PyObject_IsTrue(kind == 14 || kind == 19 ? out->d : out->c);
        if (constant < 0) return -1;
        out->constant = constant;
        out->items = &PyTuple_GET_ITEM(out->b, 0);
        out->nargs = PyTuple_GET_SIZE(out->b);
        /* A direct call may need a container on its call-slot path; a body
         * needs one where its callee takes no vector. */
        out->container = !constant && (kind == 14 || kind == 19 || !out->vector);
        if (out->container) {
            out->spare = PyTuple_New(out->nargs);
            if (out->spare == NULL) return -1;
        }
        if ((kind == 14 || kind == 19) && decode_count(out->c, &out->release) < 0) return -1;
    }
    if ((kind == 16 || kind == 21) && decode_count(out->b, &out->release) < 0) return -1;
    if (kind == 18 && decode_count(out->a, &out->release) < 0) return -1;
    if (kind == 2) {
        if (BENCH_TEXT_CHECK(out->a)) {
#if BENCH_PY3
            const char *text = PyUnicode_AsUTF8(out->a);
            if (text == NULL) return -1;
            out->op = text[0];
#else
            out->op = PyString_AS_STRING(out->a)[0];
#endif
        }
        if (!out->op || !strchr("+-*/|", out->op)) {
            PyErr_SetString(PyExc_ValueError, "operator is one of + - * / |");
            return -1;
        }
    }
    if (kind == 4 || kind == 13) {
        if (!(PyDict_Check(out->a) && PyDict_Check(out->b))) {
            PyErr_SetString(PyExc_TypeError, "a name is looked up in two dictionaries");
            return -1;
        }
        if (watch(out->a) < 0 || watch(out->b) < 0) return -1;
    }
#if BENCH_WATCHERS
    if (kind == 13 && only_text_keys(out->a)) find_position(out);
#endif
    if (kind == 4 || (kind == 13 && !BENCH_PY3)) {
        int found = find_hint(out->a, out->c, &out->hint);
        if (found < 0) return -1;
        if (!found) {
            out->in_builtins = 1;
#if BENCH_PY3
            out->absent_at = dict_stamp(out->a);
#endif
            if (find_hint(out->b, out->c, &out->hint) < 0) return -1;
        }
    }
    if (kind == 11 && !PyDict_Check(out->a)) {
        PyErr_SetString(PyExc_TypeError, "a global is stored into a dictionary");
        return -1;
    }
    if (kind == 12 && !PyTuple_Check(out->a)) {
        PyErr_SetString(PyExc_TypeError, "the items of a list are a tuple");
        return -1;
    }
    return 0;
}

/* Whether the held references and the bodies of a decoded program balance:
 * no step releases more than is held, a call releases its callee at least,
 * at most HELD_MAX are held at once, every body that is entered ends, and
 * nothing is held or entered at the end.  0, or -1 with ValueError. */
static int check_balance(const Step *steps, Py_ssize_t count) {
    Py_ssize_t depth = 0, guarded = 0, unguarded = 0, k;
    for (k = 0; k < count; k++) {
        const Step *s = &steps[k];
        switch (s->kind) {
        case 13:
            if (++depth > HELD_MAX) goto bad;
            break;
        case 17:
            if (depth < 1) goto bad;
            break;
        case 14: case 19:
            if (s->release < 1 || s->release > depth) goto bad;
            depth -= s->release;
            break;
        case 15: guarded++; break;
        case 20: unguarded++; break;
        case 16: case 21: case 18:
            if (s->release < 0 || s->release > depth) goto bad;
            depth -= s->release;
            if (s->kind == 16 && --guarded < 0) goto bad;
            if (s->kind == 21 && --unguarded < 0) goto bad;
            break;
        default:
            break;
        }
    }
    if (depth == 0 && guarded == 0 && unguarded == 0) return 0;
bad:
    PyErr_SetString(PyExc_ValueError,
                    "the program's held references or bodies do not balance");
    return -1;
}

#define PRODUCE static inline PyObject *

PRODUCE produce_call(const Step *s) { return call_with_items(s->a, s->b, s->vector); }

PRODUCE produce_item_store(const Step *s) {
    PyObject *row = PyObject_GetItem(s->a, s->b), *r;
    if (row == NULL) return NULL;
    r = PyObject_SetItem(row, s->c, s->d) < 0 ? NULL : (Py_INCREF(Py_None), Py_None);
    Py_DECREF(row);
    return r;
}

/* A Python int within a C long, or a float: its value, and whether it is a
 * float.  False for anything else. */
static inline int plain_number(PyObject *x, long *i, double *f, int *is_float) {
    if (PyFloat_CheckExact(x)) {
        *f = PyFloat_AS_DOUBLE(x);
        *is_float = 1;
        return 1;
    }
#if BENCH_PY3
    if (PyLong_CheckExact(x)) {
        int overflow;
#if PY_VERSION_HEX >= 0x030C0000
        if (PyUnstable_Long_IsCompact((PyLongObject *)x)) {
            *i = (long)PyUnstable_Long_CompactValue((PyLongObject *)x);
            *is_float = 0;
            return 1;
        }
#elif PY_VERSION_HEX >= 0x030B0000
        if (Py_SIZE(x) >= -1 && Py_SIZE(x) <= 1) {  /* at most one digit */
            *i = (long)Py_SIZE(x) * (long)((PyLongObject *)x)->ob_digit[0];
            *is_float = 0;
            return 1;
        }
#endif
        *i = PyLong_AsLongAndOverflow(x, &overflow);
        *is_float = 0;
        return !overflow && !(*i == -1 && PyErr_Occurred());
    }
#else
    if (PyInt_CheckExact(x)) {
        *i = PyInt_AS_LONG(x);
        *is_float = 0;
        return 1;
    }
#endif
    return 0;
}

#if BENCH_PY3
#define NEW_INT PyLong_FromLong
#else
#define NEW_INT PyInt_FromLong
#endif
#define EXACT_IN_DOUBLE(v) ((v) > -(1L << 53) && (v) < (1L << 53))

/* x op y on plain numbers in C, or NULL without an error where the number
 * protocol has to decide. */
static inline PyObject *plain_arithmetic(char op, PyObject *x, PyObject *y) {
    long i = 0, j = 0, r;
    double f = 0.0, g = 0.0;
    int x_float, y_float;
    if (PyFloat_CheckExact(x) && PyFloat_CheckExact(y)) {
        f = PyFloat_AS_DOUBLE(x);
        g = PyFloat_AS_DOUBLE(y);
        switch (op) {
        case '+': return PyFloat_FromDouble(f + g);
        case '-': return PyFloat_FromDouble(f - g);
        case '*': return PyFloat_FromDouble(f * g);
        case '/': return g == 0.0 ? NULL : PyFloat_FromDouble(f / g);
        default: return NULL;
        }
    }
    if (!plain_number(x, &i, &f, &x_float) || !plain_number(y, &j, &g, &y_float)) return NULL;
    if (!x_float && !y_float) {
        switch (op) {
        case '+': return __builtin_add_overflow(i, j, &r) ? NULL : NEW_INT(r);
        case '-': return __builtin_sub_overflow(i, j, &r) ? NULL : NEW_INT(r);
        case '*': return __builtin_mul_overflow(i, j, &r) ? NULL : NEW_INT(r);
        case '|': return NEW_INT(i | j);
        default:
            if (j == 0 || !EXACT_IN_DOUBLE(i) || !EXACT_IN_DOUBLE(j)) return NULL;
            return PyFloat_FromDouble((double)i / (double)j);
        }
    }
    if (op == '|') return NULL;
    if (!x_float) {
        if (!EXACT_IN_DOUBLE(i)) return NULL;
        f = (double)i;
    }
    if (!y_float) {
        if (!EXACT_IN_DOUBLE(j)) return NULL;
        g = (double)j;
    }
    switch (op) {
    case '+': return PyFloat_FromDouble(f + g);
    case '-': return PyFloat_FromDouble(f - g);
    case '*': return PyFloat_FromDouble(f * g);
    default: return g == 0.0 ? NULL : PyFloat_FromDouble(f / g);
    }
}

PRODUCE produce_arithmetic(const Step *s) {
    PyObject *r = plain_arithmetic(s->op, s->b, s->c);
    if (r != NULL || PyErr_Occurred()) return r;
    switch (s->op) {
    case '+': return PyNumber_Add(s->b, s->c);
    case '-': return PyNumber_Subtract(s->b, s->c);
    case '*': return PyNumber_Multiply(s->b, s->c);
    case '|': return PyNumber_Or(s->b, s->c);
    default: return PyNumber_TrueDivide(s->b, s->c);
    }
}

PRODUCE produce_negative(const Step *s) {
    long i = 0;
    double f = 0.0;
    int is_float;
    if (plain_number(s->a, &i, &f, &is_float)) {
        if (is_float) return PyFloat_FromDouble(-f);
        if (i != LONG_MIN) return NEW_INT(-i);
    }
    if (PyErr_Occurred()) return NULL;
    return PyNumber_Negative(s->a);
}

static PyObject *lookup_in(PyObject *dict, PyObject *name) {
#if BENCH_PY3
    return PyDict_GetItemWithError(dict, name);
#else
    return PyDict_GetItem(dict, name);
#endif
}

/* The value of the step's name by full lookups (borrowed), or NULL. */
static PyObject *full_lookup(const Step *s) {
    PyObject *v = lookup_in(s->a, s->c);
    if (v == NULL) {
        if (PyErr_Occurred()) return NULL;
        v = lookup_in(s->b, s->c);
        if (v == NULL && !PyErr_Occurred()) PyErr_SetObject(PyExc_NameError, s->c);
    }
    return v;
}

/* The value of a global name, borrowed. */
PRODUCE produce_global(Step *s) {
    PyObject *v;
    if (!s->in_builtins) {
        v = read_hint(s->a, &s->hint, s->c);
        return v != NULL ? v : full_lookup(s);
    }
    /* Absent from the globals.  On 3.x their version vouches for that while
     * they are unchanged, as the interpreter's own lookup of a built-in
     * name checks; on 2.7 (no version) a full lookup there finds nothing.
     * Then the name's entry in the builtins. */
#if BENCH_PY3
    if (dict_stamp(s->a) != s->absent_at) {
        v = lookup_in(s->a, s->c);
        if (v != NULL || PyErr_Occurred()) return v;
        s->absent_at = dict_stamp(s->a);
    }
#else
    v = lookup_in(s->a, s->c);
    if (v != NULL) return v;
#endif
    v = read_hint(s->b, &s->hint, s->c);
    return v != NULL ? v : full_lookup(s);
}

/* The argument container of a call: the step's spare tuple filled with the
 * arguments if nobody else holds it, else a new tuple.  A new reference. */
static PyObject *fill_container(Step *s) {
    Py_ssize_t n = PyTuple_GET_SIZE(s->b), i;
    PyObject *t = s->spare;
    if (Py_REFCNT(t) == 1) {
        Py_INCREF(t);
    } else {
        t = PyTuple_New(n);
        if (t == NULL) return NULL;
        Py_DECREF(s->spare);
        s->spare = t;
        Py_INCREF(t);
    }
    for (i = 0; i < n; i++) {
        PyObject *item = PyTuple_GET_ITEM(s->b, i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(t, i, item);
    }
    return t;
}

/* Empties a container after its call, unless somebody kept it. */
static void release_container(Step *s, PyObject *t) {
    if (t == s->spare && Py_REFCNT(t) == 2) {
        Py_ssize_t i, n = PyTuple_GET_SIZE(t);
        for (i = 0; i < n; i++) {
            PyObject *item = PyTuple_GET_ITEM(t, i);
            PyTuple_SET_ITEM(t, i, NULL);
            Py_DECREF(item);
        }
    }
    Py_DECREF(t);
}

PRODUCE produce_call_with_container(Step *s) {
    PyObject *t, *r;
    if (s->vector) return call_with_items(s->a, s->b, 1);
    t = fill_container(s);
    if (t == NULL) return NULL;
    r = PyObject_Call(s->a, t, NULL);
    release_container(s, t);
    return r;
}

PRODUCE produce_container(Step *s) {
    PyObject *t = fill_container(s);
    if (t == NULL) return NULL;
    release_container(s, t);
    Py_RETURN_NONE;
}

PRODUCE produce_int(const Step *s) { return BENCH_TO_INT(s->a); }

PRODUCE produce_subscript(const Step *s) {
    if (PyList_CheckExact(s->a) && BENCH_INT_CHECK_EXACT(s->b)) {
#if BENCH_PY3
        Py_ssize_t i = PyLong_AsSsize_t(s->b);
#else
        Py_ssize_t i = PyInt_AS_LONG(s->b);
#endif
        if (i >= 0 && i < PyList_GET_SIZE(s->a)) {
            PyObject *v = PyList_GET_ITEM(s->a, i);
            Py_INCREF(v);
            return v;
        }
        if (i == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return PyObject_GetItem(s->a, s->b);
}

PRODUCE produce_truth(const Step *s) {
    int t = PyObject_IsTrue(s->a);
    if (t < 0) return NULL;
    return PyBool_FromLong(t);
}

PRODUCE produce_attribute(const Step *s) { return PyObject_GetAttr(s->a, s->b); }

PRODUCE produce_store_global(const Step *s) {
    if (PyDict_SetItem(s->a, s->b, s->c) < 0) return NULL;
    Py_RETURN_NONE;
}

PRODUCE produce_list(const Step *s) {
    Py_ssize_t n = PyTuple_GET_SIZE(s->a), i;
    PyObject *list = PyList_New(n);
    if (list == NULL) return NULL;
    for (i = 0; i < n; i++) {
        PyObject *item = PyTuple_GET_ITEM(s->a, i);
        Py_INCREF(item);
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

/* The runners: each runs one step and releases what it made.  A global
 * name's value is read and not referenced: it is used at once, as a compiled
 * body borrows it.  They are inlined into the loop (run_steps), which
 * dispatches on the kind as an interpreter does, so that the floors carry as
 * little of the loop's own work as may be; a line-level profile (e.g.
 * callgrind_annotate --auto=yes) shows the cost of each kind. */
static PyObject *volatile sink;

#define INLINE static inline __attribute__((always_inline))
#define RUNNER(kind)                                                      \
    INLINE int step_##kind(Step *s) {                                     \
        PyObject *r = produce_##kind(s);                                  \
        if (r == NULL) return -1;                                         \
        Py_DECREF(r);                                                     \
        return 0;                                                         \
    }
RUNNER(call)
RUNNER(item_store)
RUNNER(arithmetic)
RUNNER(negative)
RUNNER(call_with_container)
RUNNER(container)
RUNNER(int)
RUNNER(subscript)
RUNNER(truth)
RUNNER(attribute)
RUNNER(store_global)
RUNNER(list)

static PyObject *last_value(PyObject *self, PyObject *unused) {
    PyObject *v = sink;
    (void)self;
    (void)unused;
    if (v == NULL) v = Py_None;
    Py_INCREF(v);
    return v;
}

INLINE int step_global(Step *s) {
    PyObject *v = produce_global(s);
    if (v == NULL) return -1;
    sink = v;
    return 0;
}

/* --- the safe floor ------------------------------------------------------ */

/* The words of the interpreter's own guard around a call. */
static char guard_where[] = " while calling a Python object";

#if BENCH_PY3
#ifdef Py_TPFLAGS_HAVE_VECTORCALL
#define BENCH_HAS_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#else
#define BENCH_HAS_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

/* Whether every key of a dictionary is an exact str, as the interpreter's
 * own caching of global names requires (another key's comparison may run
 * code).  Asked at a refill only, and told from a scan of the keys that is
 * kept while the dictionary's stamp stays what it was then (a new stamp on
 * 3.12+ also comes with the deallocation of a watched dictionary, and a
 * version number on 3.8 to 3.11 is never given twice). */
#define KEYS_SEEN 8
static struct {
    PyObject *dict;
    unsigned long long stamp;
    int only_text;
} keys_seen[KEYS_SEEN];
static int keys_seen_next;

static int only_text_keys(PyObject *dict) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    unsigned long long now = dict_stamp(dict);
    int k, only_text = 1;
    for (k = 0; k < KEYS_SEEN; k++) {
        if (keys_seen[k].dict == dict && keys_seen[k].stamp == now) return keys_seen[k].only_text;
    }
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            only_text = 0;
            break;
        }
    }
    k = keys_seen_next;
    keys_seen_next = (k + 1) % KEYS_SEEN;
    keys_seen[k].dict = dict;
    keys_seen[k].stamp = now;
    keys_seen[k].only_text = only_text;
    return only_text;
}

#if BENCH_WATCHERS
/* Where a kind 13 step's name stands in its globals (found when the program
 * is decoded, as kind 4's hint, and again at a refill). The name may be an
 * equal str of its own: the entry's key is the one a use compares with. */
static void find_position(Step *s) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    s->position = -1;
    s->key = NULL;
    while (PyDict_Next(s->a, &pos, &key, &value)) {
        if (key == s->c || (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(s->c) &&
                            PyUnicode_Compare(key, s->c) == 0)) {
            s->position = pos - 1;
            s->key = key;
            return;
        }
    }
}
#endif

/* A kind 13 step's full lookup, which refills its cache where it may be
 * kept: the value (borrowed), or NULL with an error set.  The stamps are
 * read after the lookup has returned. */
static __attribute__((noinline)) PyObject *refill_cache(Step *s) {
    PyObject *v = PyDict_GetItemWithError(s->a, s->c);
    int in_builtins = 0;
    s->stamp = NO_STAMP;
    if (v == NULL) {
        if (PyErr_Occurred()) return NULL;
        v = PyDict_GetItemWithError(s->b, s->c);
        if (v == NULL) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_NameError, s->c);
            return NULL;
        }
        in_builtins = 1;
    }
    s->in_builtins = in_builtins;
#if BENCH_WATCHERS
    /* 3.12+: where the entry stands, read afresh at every use (the module's
     * own hint, src/runtime/globals.hpp); a built-in name is looked up in
     * full at every use. */
    s->position = -1;
    if (!in_builtins && only_text_keys(s->a)) find_position(s);
    return v;
#endif
    if (only_text_keys(s->a) && (!in_builtins || only_text_keys(s->b))) {
        s->cached = v;
        s->stamp_b = in_builtins ? dict_stamp(s->b) : 0;
        s->stamp = dict_stamp(s->a);
    }
    return v;
}
#endif

/* The value of a kind 13 step's name (borrowed), or NULL. */
static inline PyObject *produce_cached_global(Step *s) {
#if BENCH_WATCHERS
    Py_ssize_t pos = s->position;
    PyObject *key, *value;
    if (PyDict_Next(s->a, &pos, &key, &value) && key == s->key) return value;
    return refill_cache(s);
#elif BENCH_PY3
    if (s->stamp == dict_stamp(s->a) && (!s->in_builtins || s->stamp_b == dict_stamp(s->b)))
        return s->cached;
    return refill_cache(s);
#else
    return produce_global(s);
#endif
}

/* A global name's value, with a reference taken, pushed on the stack of
 * held references. */
INLINE int step_cached_global(Step *s, PyObject ***top) {
    PyObject *v = produce_cached_global(s);
    if (v == NULL) return -1;
    Py_INCREF(v);
    *(*top)++ = v;
    return 0;
}

/* The attribute of the object on top of the stack, which its value (a new
 * reference) replaces there, as the interpreter's own attribute read
 * replaces its owner. */
INLINE int step_held_attribute(Step *s, PyObject ***top) {
    PyObject *owner = (*top)[-1];
    PyObject *v = PyObject_GetAttr(owner, s->b);
    if (v == NULL) return -1;
    (*top)[-1] = v;
    Py_DECREF(owner);
    return 0;
}

/* Releases the k references on top of the stack. */
INLINE void release_held(PyObject ***top, Py_ssize_t k) {
    PyObject **t = *top;
    while (k-- > 0) {
        PyObject *o = *--t;
        Py_DECREF(o);
    }
    *top = t;
}

/* `call` run under the recursion guard when `guard` (a constant at every
 * use) says so: its new reference, or NULL. */
#define GUARDED(guard, result, call)                                      \
    do {                                                                  \
        if ((guard) && Py_EnterRecursiveCall(guard_where)) {              \
            (result) = NULL;                                              \
        } else {                                                          \
            (result) = (call);                                            \
            if (guard) Py_LeaveRecursiveCall();                           \
        }                                                                 \
    } while (0)

/* f with the step's arguments through its type's call slot, with an
 * argument tuple (the step's own when its arguments are constants, else its
 * container), under the guard: a new reference, or NULL. */
static __attribute__((noinline)) PyObject *call_slot(Step *s, PyObject *f, int guard) {
    ternaryfunc call = Py_TYPE(f)->tp_call;
    PyObject *args = s->constant ? s->b : fill_container(s), *r;
    if (args == NULL) return NULL;
    if (call == NULL) {
        r = PyObject_Call(f, args, NULL);  /* its TypeError */
    } else {
        GUARDED(guard, r, call(f, args, NULL));
    }
    if (!s->constant) release_container(s, args);
    return r;
}

/* The direct call of f, the callee its lookup found, with the step's
 * arguments: a new reference, or NULL. */
INLINE PyObject *direct_call(Step *s, PyObject *f, int guard) {
    PyObject *r;
#if BENCH_PY3
    PyTypeObject *t = Py_TYPE(f);
    if (PyType_HasFeature(t, BENCH_HAS_VECTORCALL)) {
        vectorcallfunc entry;
        memcpy(&entry, (char *)f + t->tp_vectorcall_offset, sizeof entry);
        if (entry != NULL) {
            GUARDED(guard, r, entry(f, s->items, (size_t)s->nargs, NULL));
            return r;
        }
    }
#else
    if (Py_TYPE(f) == &PyCFunction_Type) {
        int flags = PyCFunction_GET_FLAGS(f) & ~(METH_CLASS | METH_STATIC | METH_COEXIST);
        PyCFunction meth = PyCFunction_GET_FUNCTION(f);
        PyObject *self = PyCFunction_GET_SELF(f);
        if ((flags == METH_NOARGS && s->nargs == 0) || (flags == METH_O && s->nargs == 1)) {
            GUARDED(guard, r, meth(self, s->nargs ? s->items[0] : NULL));
            return r;
        }
        if (flags == METH_VARARGS || flags == (METH_VARARGS | METH_KEYWORDS)) {
            PyObject *args = s->constant ? s->b : fill_container(s);
            if (args == NULL) return NULL;
            if (flags & METH_KEYWORDS) {
                GUARDED(guard, r, ((PyCFunctionWithKeywords)(void (*)(void))meth)(self, args, NULL));
            } else {
                GUARDED(guard, r, meth(self, args));
            }
            if (!s->constant) release_container(s, args);
            return r;
        }
    }
#endif
    return call_slot(s, f, guard);
}

/* Kinds 14 and 19: the call of the callee held s->release references down
 * the stack, then those references released. */
INLINE int step_direct_call(Step *s, PyObject ***top, int guard) {
    PyObject *r = direct_call(s, (*top)[-s->release], guard);
    if (r == NULL) return -1;
    Py_DECREF(r);
    release_held(top, s->release);
    return 0;
}

/* Kinds 15 and 20: entry into a body of the listing's own functions. */
INLINE int step_body_entry(Step *s, int guard) {
    if (s->container) {
        PyObject *t = fill_container(s);
        if (t == NULL) return -1;
        release_container(s, t);
    }
    if (guard && Py_EnterRecursiveCall(guard_where)) return -1;
    return 0;
}

/* Kinds 16 and 21: the end of that body. */
INLINE int step_body_exit(Step *s, PyObject ***top, int guard) {
    if (guard) Py_LeaveRecursiveCall();
    release_held(top, s->release);
    return 0;
}

/* A decoded program: its steps, and the program tuple that they borrow from. */
typedef struct {
    PyObject *program;
    Py_ssize_t count, kept;
    Step *steps;
} Decoded;

static const char kDecoded[] = "movra_bench.prepared";

static void free_decoded(Decoded *p) {
    Py_ssize_t k;
    if (p == NULL) return;
    if (p->steps != NULL) {
        for (k = 0; k < p->count; k++) Py_XDECREF(p->steps[k].spare);
        PyMem_Free(p->steps);
    }
    Py_XDECREF(p->program);
    PyMem_Free(p);
}

static Decoded *decode_program(PyObject *program) {
    Py_ssize_t k, count = PyTuple_GET_SIZE(program);
    Decoded *p = PyMem_New(Decoded, 1);
    if (p == NULL) return (Decoded *)PyErr_NoMemory();
    Py_INCREF(program);
    p->program = program;
    p->count = count;
    p->kept = 0;
    p->steps = PyMem_New(Step, count ? count : 1);
    if (p->steps == NULL) {
        free_decoded(p);
        return (Decoded *)PyErr_NoMemory();
    }
    memset(p->steps, 0, sizeof(Step) * (size_t)(count ? count : 1));
    for (k = 0; k < count; k++) {
        int keep;
        if (decode(PyTuple_GET_ITEM(program, k), &p->steps[p->kept], &keep) < 0) {
            free_decoded(p);
            return NULL;
        }
        p->kept += keep;
    }
    if (check_balance(p->steps, p->kept) < 0) {
        free_decoded(p);
        return NULL;
    }
    return p;
}

/* After a step failed: the guards of the bodies entered before it in this
 * run of the steps are left (a guard that failed to enter left nothing), and
 * the held references released. */
static __attribute__((noinline)) void unwind(const Step *steps, const Step *failed,
                                              PyObject **held, PyObject **top) {
    const Step *s;
    Py_ssize_t entered = 0;
    for (s = steps; s < failed; s++) {
        if (s->kind == 15) entered++;
        if (s->kind == 16) entered--;
    }
    while (entered-- > 0) Py_LeaveRecursiveCall();
    while (top > held) {
        PyObject *o = *--top;
        Py_DECREF(o);
    }
}

/* The timed loop: n runs of the decoded steps.  A function of its own, so
 * that a profile can start and stop at it (callgrind --toggle-collect). */
static __attribute__((noinline)) int run_steps(Step *steps, Py_ssize_t kept, Py_ssize_t n) {
    Py_ssize_t i;
    Step *s, *end = steps + kept;
    PyObject *held[HELD_MAX];
    PyObject **top = held;
    for (i = 0; i < n; i++) {
        for (s = steps; s < end; s++) {
            int r;
            switch (s->kind) {
            case 0: r = step_call(s); break;
            case 1: r = step_item_store(s); break;
            case 2: r = step_arithmetic(s); break;
            case 3: r = step_negative(s); break;
            case 4: r = step_global(s); break;
            case 5: r = step_call_with_container(s); break;
            case 6: r = step_container(s); break;
            case 7: r = step_int(s); break;
            case 8: r = step_subscript(s); break;
            case 9: r = step_truth(s); break;
            case 10: r = step_attribute(s); break;
            case 11: r = step_store_global(s); break;
            case 12: r = step_list(s); break;
            case 13: r = step_cached_global(s, &top); break;
            case 14: r = step_direct_call(s, &top, 1); break;
            case 15: r = step_body_entry(s, 1); break;
            case 16: r = step_body_exit(s, &top, 1); break;
            case 17: r = step_held_attribute(s, &top); break;
            case 18: release_held(&top, s->release); r = 0; break;
            case 19: r = step_direct_call(s, &top, 0); break;
            case 20: r = step_body_entry(s, 0); break;
            default: r = step_body_exit(s, &top, 0); break;
            }
            if (r < 0) {
                unwind(steps, s, held, top);
                return -1;
            }
        }
    }
    return 0;
}

static void capsule_free(PyObject *capsule) {
    free_decoded((Decoded *)PyCapsule_GetPointer(capsule, kDecoded));
}

static PyObject *prepare(PyObject *self, PyObject *program) {
    Decoded *p;
    PyObject *capsule;
    (void)self;
    if (!PyTuple_Check(program)) {
        PyErr_SetString(PyExc_TypeError, "a program is a tuple of steps");
        return NULL;
    }
    p = decode_program(program);
    if (p == NULL) return NULL;
    capsule = PyCapsule_New(p, kDecoded, capsule_free);
    if (capsule == NULL) free_decoded(p);
    return capsule;
}

static PyObject *run_program(PyObject *self, PyObject *a) {
    PyObject *program;
    Py_ssize_t n;
    Decoded *p;
    int failed;
    (void)self;
    if (!PyArg_ParseTuple(a, "On", &program, &n)) return NULL;
    if (PyCapsule_IsValid(program, kDecoded)) {
        p = (Decoded *)PyCapsule_GetPointer(program, kDecoded);
        return run_steps(p->steps, p->kept, n) < 0 ? NULL : (Py_INCREF(Py_None), Py_None);
    }
    if (!PyTuple_Check(program)) {
        PyErr_SetString(PyExc_TypeError, "run_program takes a program or a prepared one");
        return NULL;
    }
    p = decode_program(program);
    if (p == NULL) return NULL;
    failed = run_steps(p->steps, p->kept, n);
    free_decoded(p);
    if (failed) return NULL;
    Py_RETURN_NONE;
}

/* The object one step produces, run once by the runners' own code: a check
 * that the fast paths give what the interpreter gives. */
static PyObject *step_value(PyObject *self, PyObject *program_step) {
    Step st;
    int keep;
    PyObject *r = NULL;
    (void)self;
    memset(&st, 0, sizeof st);
    if (decode(program_step, &st, &keep) < 0) goto done;
    switch (st.kind) {
    case 2: r = produce_arithmetic(&st); break;
    case 3: r = produce_negative(&st); break;
    case 4:
        r = produce_global(&st);
        Py_XINCREF(r);
        break;
    case 7: r = produce_int(&st); break;
    case 8: r = produce_subscript(&st); break;
    case 10: case 17: r = produce_attribute(&st); break;
    case 12: r = produce_list(&st); break;
    case 13:
        r = produce_cached_global(&st);
        Py_XINCREF(r);
        break;
    default: PyErr_SetString(PyExc_ValueError, "step_value: a step that makes a value");
    }
done:
    Py_XDECREF(st.spare);
    return r;
}

static PyMethodDef methods[] = {
    {"noop", (PyCFunction)(void (*)(void))noop, NOOP_FLAGS, "Does nothing."},
    {"record", record, METH_VARARGS, "Keeps its argument tuple in movra_bench.recorded."},
    {"repeat", repeat, METH_VARARGS, "repeat(f, args, n): f(*args) n times."},
    {"has_vectorcall", has_vectorcall, METH_O,
     "has_vectorcall(f): a call of f from C needs no argument tuple."},
    {"step_value", step_value, METH_O, "step_value(step): what the step makes."},
    {"last_value", last_value, METH_NOARGS,
     "last_value(): the value the last global-name step read (for tests; the caller keeps it alive)."},
    {"prepare", prepare, METH_O, "prepare(steps): the program decoded, for run_program."},
    {"run_program", run_program, METH_VARARGS,
     "run_program(steps or prepare(steps), n): the steps n times."},
    {NULL, NULL, 0, NULL}
};

#define DOC "Benchmark helpers for Movra."

static PyObject *make_module(void) {
#if BENCH_PY3
    static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "movra_bench", DOC, -1,
                                            methods, NULL, NULL, NULL, NULL};
    PyObject *m = PyModule_Create(&definition);
#else
    PyObject *m = Py_InitModule3("movra_bench", methods, DOC);
    Py_XINCREF(m);
#endif
    if (m == NULL) return NULL;
    recorded = PyList_New(0);
    if (recorded == NULL || PyModule_AddObject(m, "recorded", recorded) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    Py_INCREF(recorded); /* the module attribute may be rebound; record() keeps its own */
    if (PyModule_AddIntConstant(m, "PY3", BENCH_PY3) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}

#if BENCH_PY3
PyMODINIT_FUNC PyInit_movra_bench(void) { return make_module(); }
#else
PyMODINIT_FUNC initmovra_bench(void) {
    PyObject *m = make_module();
    Py_XDECREF(m); /* the module table holds it */
}
#endif
