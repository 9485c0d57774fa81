"""The native statements and the Python listing stay in step.

Every statement of a native function body is marked with the line of the
listing it carries out, and those lines are what tracebacks show. These tests
read both sources and check that each function marks exactly the listing's
statements, in order, and that each code object starts at its definition.
"""
import ast
import glob
import os
import re

import pytest

import Movra
from conftest import LISTING, ROOT

SRC = os.path.join(ROOT, 'src')
# A try statement is ast.TryExcept on 2.7 and ast.Try on 3.x.
TRY_NODES = tuple(getattr(ast, name) for name in ('TryExcept', 'Try') if hasattr(ast, name))


def is_string_expression(node):
    """A statement that is a string alone: a docstring, which does not run."""
    if not isinstance(node, ast.Expr):
        return False
    value = node.value
    if hasattr(ast, 'Constant'):  # Python 3.8 and later parse every literal as a Constant
        return isinstance(value, ast.Constant) and isinstance(value.value, str)
    return isinstance(value, ast.Str)


def listing_statements():
    """{function name or '<module>': [statement lines in order]}, plus the def lines."""
    with open(LISTING) as listing:
        tree = ast.parse(listing.read())
    lines, defs = {}, {}

    def walk(body, owner):
        for node in body:
            if is_string_expression(node):
                continue  # docstrings do not run
            if isinstance(node, ast.Global):
                continue
            if isinstance(node, ast.ImportFrom) and node.module == '__future__':
                continue
            if isinstance(node, ast.FunctionDef):
                defs[node.name] = node.lineno
                walk(node.body, node.name)
                continue
            if isinstance(node, TRY_NODES):
                walk(node.body, owner)
                for handler in node.handlers:
                    walk(handler.body, owner)
                continue
            lines.setdefault(owner, []).append(node.lineno)
            if isinstance(node, ast.If):
                walk(node.body, owner)
                walk(node.orelse, owner)

    walk(tree.body, '<module>')
    return lines, defs


def native_statements():
    """{function name: [AT() lines in order]} from the native sources."""
    found = {}
    for path in sorted(glob.glob(os.path.join(SRC, '*', '*.cpp'))):
        with open(path) as source:
            text = source.read()
        if path.endswith(os.path.join('module', 'init.cpp')):
            marks = [int(n) for n in re.findall(r'\bAT\((\d+)\)', text) if n != '0']
            found['<module>'] = marks
            continue
        pieces = re.split(r'run_(?:body|bound)\("Movra\.(\w+)"', text)
        for name, body in zip(pieces[1::2], pieces[2::2]):
            found[name] = [int(n) for n in re.findall(r'\bAT\((\d+)\)', body)]
    return found


LINES, DEFS = listing_statements()
NATIVE = native_statements()


@pytest.mark.parametrize('name', sorted(LINES))
def test_each_listing_statement_is_marked_in_order(name):
    assert NATIVE.get(name) == LINES[name]


def test_every_native_body_has_a_listing_function():
    assert set(NATIVE) == set(LINES)


@pytest.mark.parametrize('name', sorted(DEFS))
def test_code_object_starts_at_the_definition(name):
    code = getattr(Movra, name).__code__
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (name, 'Movra.py', DEFS[name])


def test_functions_are_defined_in_listing_order():
    order = sorted(DEFS, key=DEFS.get)
    firsts = [getattr(Movra, name).__code__.co_firstlineno for name in order]
    assert firsts == sorted(firsts) and len(order) == 18
