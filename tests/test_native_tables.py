"""The C++ tables of src/module against the listing they are written from.

The native module states the listing's facts in its own tables: the method
entries and code-object descriptions (module/function_table.cpp), the
native functions' declarations (module/functions.hpp), the names of the
constant pool (module/constants.hpp) and the globals' assignments
(module/init.cpp). These tests read those sources as text and hold every
entry to what kesthost.listing reads from src/Movra.py, so that an edit of
either side alone fails here, also where no behaviour of the compiled
module would show it.
"""
import ast
import os
import re

import pytest

from conftest import NATIVE_LOCALS_ORDER, ROOT, listing, native_locals

MODULE = os.path.join(ROOT, 'src', 'module')
FUNCTIONS = listing.MOVRA.functions
GLOBALS = listing.MOVRA.globals
# The call kind of each method entry, by the flag it is declared with.
KIND_FLAGS = {'METH_NOARGS': 'none', 'METH_O': 'one', 'kKeywordCallKind': 'keywords'}


def source(name):
    with open(os.path.join(MODULE, name)) as stream:
        return stream.read()


def c_string(literals):
    """The text of adjacent C string literals ("a\\n" "b")."""
    return ''.join(ast.literal_eval(part) for part in re.findall(r'"(?:[^"\\]|\\.)*"', literals))


def function_table():
    text = source('function_table.cpp')
    docs = dict((name, c_string(body)) for name, body in re.findall(
        r'const char (doc_\w+)\[\] =((?:\s*"(?:[^"\\]|\\.)*")+);', text))
    entries = [(name, plain or keyword, KIND_FLAGS.get(flag, flag),
                None if doc == 'nullptr' else docs[doc])
               for name, plain, keyword, flag, doc in re.findall(
                   r'\{"(\w+)", (?:entry\(fn_(\w+)\)|keyword_entry<fn_(\w+)>\(\)), (\w+), '
                   r'(nullptr|doc_\w+)\}', text)]
    infos = [(name, int(argcount), int(nlocals),
              tuple(re.findall(r'&Constants::(\w+)', varnames)), int(line))
             for name, argcount, nlocals, varnames, line in re.findall(
                 r'\{&Constants::(\w+), (\d+), (\d+), \{([^}]*)\}, (\d+)\}', text)]
    return entries, infos


ENTRIES, INFOS = function_table()


def pool_section(title):
    """X(member, "text") pairs of one commented section of MOVRA_NAMES."""
    names = source('constants.hpp')
    start = names.index('/* %s */' % title)
    end = names.index('/*', start + 1)
    return re.findall(r'X\((\w+), "(\w+)"\)', names[start:end])


def pool_numbers():
    """{member: value} of the constant pool's floats and integers."""
    text = source('constants.hpp')
    numbers = {}
    for table, kind in (('MOVRA_FLOATS', float), ('MOVRA_INTS', int)):
        body = text[text.index('#define %s(X)' % table):]
        body = body[:body.index('\n\n')]
        for member, value in re.findall(r'X\((\w+), (-?[\d.]+)\)', body):
            numbers[member] = kind(value)
    return numbers


def native_value(expression, numbers):
    """The value of a set_global's right-hand side, in Python terms."""
    if expression == 'Py_True':
        return True
    found = re.match(r'^(list|to_int)\((.*)\)$', expression)
    if found and found.group(1) == 'list':
        return [native_value(item.strip(), numbers)
                for item in found.group(2).strip('{}').split(',')]
    if found:
        return int(native_value(found.group(2), numbers))
    return numbers[re.match(r'^K\.(\w+)$', expression).group(1)]


def global_assignments():
    """(line, name, value) of init.cpp's assignments of the module globals."""
    text = source('init.cpp')
    numbers = pool_numbers()
    return [(int(line), name, native_value(value, numbers)) for line, name, value in
            re.findall(r'AT\((\d+)\);\s*set_global\(K\.(\w+), (.+?)\);\n', text)
            if name in GLOBALS]


def test_one_entry_and_one_description_per_function_in_binding_order():
    count = int(re.search(r'kFunctionCount = (\d+);', source('function_table.hpp')).group(1))
    assert count == len(FUNCTIONS)
    assert [e[0] for e in ENTRIES] == [i[0] for i in INFOS] == list(FUNCTIONS)
    assert [e[1] for e in ENTRIES] == list(FUNCTIONS)       # each entry its own fn_<name>


@pytest.mark.parametrize('entry', ENTRIES, ids=[e[0] for e in ENTRIES])
def test_method_entry_states_the_call_kind_and_docstring(entry):
    name, _, kind, doc = entry
    assert (kind, doc) == (FUNCTIONS[name].kind, FUNCTIONS[name].doc)


@pytest.mark.parametrize('info', INFOS, ids=[i[0] for i in INFOS])
def test_code_object_description_matches_the_definition(info):
    name, argcount, nlocals, varnames, line = info
    function = FUNCTIONS[name]
    expected = function.parameters + native_locals(name)
    assert (argcount, nlocals, varnames, line) == (
        len(function.parameters), len(expected), expected, function.line)


@pytest.mark.parametrize('name', sorted(NATIVE_LOCALS_ORDER))
def test_a_native_order_of_locals_names_the_listing_locals(name):
    assert sorted(NATIVE_LOCALS_ORDER[name]) == sorted(FUNCTIONS[name].locals)


def test_native_functions_take_what_their_call_kind_passes():
    declared = dict(re.findall(r'PyObject\* fn_(\w+)\(PyObject\* self, ([^)]*)\);',
                               source('functions.hpp')))
    expected = {'none': 'PyObject* unused',
                'keywords': 'PyObject* const* args, Py_ssize_t nargs, PyObject* keywords'}
    assert declared == dict(
        (f.name, expected.get(f.kind) or 'PyObject* ' + f.parameters[0])
        for f in FUNCTIONS.values())


@pytest.mark.parametrize('section, names', [
    ('module globals', list(GLOBALS)),
    ("the module's functions", list(FUNCTIONS)),
])
def test_constant_pool_holds_the_names_in_listing_order(section, names):
    pairs = pool_section(section)
    assert [text for member, text in pairs] == names
    assert all(member == text for member, text in pairs)


def test_globals_are_assigned_in_order_at_their_lines_with_their_defaults():
    assignments = global_assignments()
    assert [(line, name) for line, name, value in assignments] == [
        (g.line, g.name) for g in GLOBALS.values()]
    assert [(name, type(value), value) for line, name, value in assignments] == [
        (g.name, type(g.value), g.value) for g in GLOBALS.values()]
