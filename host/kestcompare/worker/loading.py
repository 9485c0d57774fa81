"""The file loaded as the interpreter's own import loads a module's source
(its coding rules, its errors), under the name the tool gives it; and a
watch on the modules that a learner's file must not reach for.

The sandbox offers a learner's process neither the compiled module nor its
listing, so `import Movra` fails there as it would on a machine without
Movra; the watch notes that the file tried, even when it catches the
ImportError, so that the report can say so.
"""
from __future__ import absolute_import, division, print_function

import sys

PY2 = sys.version_info[0] == 2


def load_file(name, path):
    """Executes the file as the module `name` (in sys.modules under that
    name, as an import puts it there), with the loader that the import
    statement uses for a source file."""
    if PY2:
        import imp
        return imp.load_source(name, path)
    import importlib.util
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    try:
        found.loader.exec_module(module)
    except BaseException:
        sys.modules.pop(name, None)
        raise
    return module


class ImportWatch(object):
    """A finder first on sys.meta_path that finds nothing: it notes each
    import of a watched top-level name and lets the search go on."""

    def __init__(self, names):
        self.names = frozenset(names)
        self.tried = []

    def _note(self, fullname):
        top = fullname.split('.')[0]
        if top in self.names and top not in self.tried:
            self.tried.append(top)

    def find_module(self, fullname, path=None):      # Python 2's finder protocol
        self._note(fullname)
        return None

    def find_spec(self, fullname, path=None, target=None):
        self._note(fullname)
        return None

    def install(self):
        sys.meta_path.insert(0, self)
        return self
