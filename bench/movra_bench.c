/* Native helpers for the benchmarks: a GL call that does nothing, and loops
 * that issue calls without any Python bytecode in between.
 *
 *   noop(*args, **kwargs)     accepts anything, returns None
 *   record(*args)             appends its very argument tuple to the list
 *                             movra_bench.recorded, returns None
 *   repeat(f, args, n)        calls f(*args) n times, discarding the results
 *   run_program(program, n)   runs a flat list of operations n times:
 *       (0, f, args)          f(*args)
 *       (1, a, i, j, v)       a[i][j] = v
 *       (2, op, x, y)         x op y, op one of "+", "-", "*", "/"
 *       (3, x)                -x
 *     the floor of a frame: the calls and numpy operations a frame cannot do
 *     without, from pre-built operands, in one C loop.
 */
#include <Python.h>
#include <string.h>

static PyObject *noop(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self; (void)args; (void)kwargs;
    Py_RETURN_NONE;
}

static PyObject *recorded;

static PyObject *record(PyObject *self, PyObject *args) {
    (void)self;
    if (PyList_Append(recorded, args) < 0) return NULL;
    Py_RETURN_NONE;
}

static PyObject *repeat(PyObject *self, PyObject *a) {
    PyObject *f, *args, *r;
    Py_ssize_t n, i;
    (void)self;
    if (!PyArg_ParseTuple(a, "OO!n", &f, &PyTuple_Type, &args, &n)) return NULL;
    for (i = 0; i < n; i++) {
        r = PyObject_Call(f, args, NULL);
        if (r == NULL) return NULL;
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

/* One decoded step of a program; the pointers are borrowed from the program
 * tuple, which the caller keeps alive while it runs. */
typedef struct {
    int kind;
    char op;
    PyObject *a, *b, *c, *d;
} Step;

static int decode(PyObject *s, Step *out) {
    Py_ssize_t size = PyTuple_Check(s) ? PyTuple_GET_SIZE(s) : 0;
    static const Py_ssize_t sizes[] = {3, 5, 4, 2};
    long kind = size ? PyInt_AsLong(PyTuple_GET_ITEM(s, 0)) : -1;
    if (kind < 0 || kind > 3 || size != sizes[kind]) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "malformed program step");
        return -1;
    }
    out->kind = (int)kind;
    out->a = PyTuple_GET_ITEM(s, 1);
    out->b = size > 2 ? PyTuple_GET_ITEM(s, 2) : NULL;
    out->c = size > 3 ? PyTuple_GET_ITEM(s, 3) : NULL;
    out->d = size > 4 ? PyTuple_GET_ITEM(s, 4) : NULL;
    out->op = 0;
    if (kind == 0 && !PyTuple_Check(out->b)) {
        PyErr_SetString(PyExc_TypeError, "call arguments are a tuple");
        return -1;
    }
    if (kind == 2) {
        out->op = PyString_Check(out->a) ? PyString_AS_STRING(out->a)[0] : 0;
        if (!out->op || !strchr("+-*/", out->op)) {
            PyErr_SetString(PyExc_ValueError, "operator is one of + - * /");
            return -1;
        }
    }
    return 0;
}

static PyObject *step(const Step *s) {
    PyObject *row, *r;
    switch (s->kind) {
    case 0:
        return PyObject_Call(s->a, s->b, NULL);
    case 1:
        row = PyObject_GetItem(s->a, s->b);
        if (row == NULL) return NULL;
        r = PyObject_SetItem(row, s->c, s->d) < 0 ? NULL : (Py_INCREF(Py_None), Py_None);
        Py_DECREF(row);
        return r;
    case 2:
        switch (s->op) {
        case '+': return PyNumber_Add(s->b, s->c);
        case '-': return PyNumber_Subtract(s->b, s->c);
        case '*': return PyNumber_Multiply(s->b, s->c);
        default: return PyNumber_TrueDivide(s->b, s->c);
        }
    default:
        return PyNumber_Negative(s->a);
    }
}

static PyObject *run_program(PyObject *self, PyObject *a) {
    PyObject *program, *r, *result = NULL;
    Py_ssize_t n, i, k, count;
    Step *steps;
    (void)self;
    if (!PyArg_ParseTuple(a, "O!n", &PyTuple_Type, &program, &n)) return NULL;
    count = PyTuple_GET_SIZE(program);
    steps = PyMem_New(Step, count ? count : 1);
    if (steps == NULL) return PyErr_NoMemory();
    for (k = 0; k < count; k++)
        if (decode(PyTuple_GET_ITEM(program, k), &steps[k]) < 0) goto done;
    for (i = 0; i < n; i++) {
        for (k = 0; k < count; k++) {
            r = step(&steps[k]);
            if (r == NULL) goto done;
            Py_DECREF(r);
        }
    }
    Py_INCREF(Py_None);
    result = Py_None;
done:
    PyMem_Free(steps);
    return result;
}

static PyMethodDef methods[] = {
    {"noop", (PyCFunction)noop, METH_VARARGS | METH_KEYWORDS, "Does nothing."},
    {"record", record, METH_VARARGS, "Keeps its argument tuple in movra_bench.recorded."},
    {"repeat", repeat, METH_VARARGS, "repeat(f, args, n): f(*args) n times."},
    {"run_program", run_program, METH_VARARGS, "run_program(steps, n)."},
    {NULL, NULL, 0, NULL}
};

PyMODINIT_FUNC initmovra_bench(void) {
    PyObject *m = Py_InitModule3("movra_bench", methods, "Benchmark helpers for Movra.");
    if (m == NULL) return;
    recorded = PyList_New(0);
    if (recorded == NULL || PyModule_AddObject(m, "recorded", recorded) < 0) return;
    Py_INCREF(recorded); /* the module attribute may be rebound; record() keeps its own */
}
