/* Preloaded under valgrind: Python's small-object allocator handed over to
 * malloc, so that every Python object is a heap block of its own.
 *
 * Python 2.7 carves small objects out of 256 KiB arenas that it never gives
 * back, which hides a use after free or an overrun of a Python object from
 * memcheck, and its "is this address mine?" test reads memory it never
 * wrote.  libpython2.7.so calls PyObject_Malloc, PyObject_Realloc and
 * PyObject_Free through its procedure linkage table, so these definitions,
 * loaded first with LD_PRELOAD, take their place everywhere.  Like Python's,
 * they never return NULL for a request of 0 bytes.
 */
#include <stdlib.h>

void *PyObject_Malloc(size_t n) { return malloc(n ? n : 1); }

void *PyObject_Realloc(void *p, size_t n) { return realloc(p, n ? n : 1); }

void PyObject_Free(void *p) { free(p); }
