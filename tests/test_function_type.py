"""The function type: attributes and their setters, representation,
pickling, the type's own restrictions, weak references, garbage-collector
traversal, descriptor binding, and the argument binding of the two functions
that take keywords."""
import copy
import ctypes
import gc
import pickle
import sys
import weakref

import numpy
import pytest

import Movra
from compat import (CALLER_CHECKS_KEYWORD_TYPES, FUNC_ALIASES, KEYWORD_NAMES_HASHED_AGAIN,
                    NOT_STR_TEXT, PY2, as_bytes,
                    attribute, fast_pickle, function_arity_message, intern, interpreter_message,
                    native_text, non_string_keyword_message, string_types)
from conftest import listing, movra_records

FUNCTION_NAMES = listing.FUNCTIONS
WRITABLE = ['__name__', '__qualname__', '__doc__', '__dict__', '__defaults__',
            '__kwdefaults__', '__annotations__', '__module__']


@pytest.fixture(autouse=True)
def function_attributes():
    """The function objects outlive the test: put back what a test changes."""
    functions = [getattr(Movra, n) for n in FUNCTION_NAMES]
    saved = [(f, [(a, getattr(f, a)) for a in WRITABLE]) for f in functions]
    yield
    for f, attributes in saved:
        for name, value in attributes:
            setattr(f, name, value)


class Str(str):
    pass


class HashlessStr(str):
    def __hash__(self):
        return 0


class Dict(dict):
    pass


class Tuple(tuple):
    pass


f = Movra.drawMain


def alias(name):
    """The attribute of `f` under its func_* name (its __dunder__ name on 3.x)."""
    return getattr(f, attribute(name))


def test_attribute_values():
    code = f.__code__
    assert (f.__name__, alias('func_name'), f.__qualname__, f.__module__) == (
        'drawMain',) * 3 + ('Movra',)
    assert f.__name__ is intern('drawMain')  # the interned name
    assert f.__doc__ is alias('func_doc') is f.__doc__
    assert f.__self__ is f.__closure__ is alias('func_closure') is None
    assert f.__globals__ is alias('func_globals') is vars(Movra)
    assert alias('func_code') is code and code.co_name == 'drawMain'
    assert f.__defaults__ is alias('func_defaults') is f.__kwdefaults__ is None
    assert f.__dict__ == {} and f.__dict__ is alias('func_dict')
    assert f.__annotations__ == {} and f.__annotations__ is f.__annotations__
    assert Movra.Viewport1.__doc__ is None


def test_func_names_exist_on_python_2_only():
    assert sorted(n for n in FUNC_ALIASES if hasattr(f, n)) == (sorted(FUNC_ALIASES) if PY2 else [])


DELETE = object()


@pytest.mark.parametrize('name,value,message', [
    ('__name__', 5, '__name__ must be set to a string object'),
    ('func_name', NOT_STR_TEXT, '__name__ must be set to a string object'),
    ('__name__', DELETE, '__name__ must be set to a string object'),
    ('func_name', DELETE, '__name__ must be set to a string object'),
    ('__qualname__', 5, '__qualname__ must be set to a string object'),
    ('__qualname__', None, '__qualname__ must be set to a string object'),
    ('__qualname__', DELETE, '__qualname__ must be set to a string object'),
    ('__dict__', [], "setting function's dictionary to a non-dict"),
    ('func_dict', None, "setting function's dictionary to a non-dict"),
    ('__dict__', DELETE, "function's dictionary may not be deleted"),
    ('func_dict', DELETE, "function's dictionary may not be deleted"),
    ('__defaults__', [7.0], '__defaults__ must be set to a tuple object'),
    ('func_defaults', 7.0, '__defaults__ must be set to a tuple object'),
    ('__kwdefaults__', [], '__kwdefaults__ must be set to a dict object'),
    ('__annotations__', [], '__annotations__ must be set to a dict object'),
])
def test_rejected_changes(name, value, message):
    name = attribute(name)
    before = getattr(f, name)
    with pytest.raises(TypeError) as info:
        delattr(f, name) if value is DELETE else setattr(f, name, value)
    assert str(info.value) == message and getattr(f, name) is before


@pytest.mark.parametrize('name,twin,value', [
    ('__name__', 'func_name', 'renamed'), ('func_name', '__name__', Str('sub')),
    ('__qualname__', '__qualname__', Str('Scene.draw')),
    ('__doc__', 'func_doc', 5), ('func_doc', '__doc__', None),
    ('__dict__', 'func_dict', Dict(a=1)), ('__defaults__', 'func_defaults', (7.0,)),
    ('func_defaults', '__defaults__', Tuple()), ('__defaults__', 'func_defaults', None),
    ('__kwdefaults__', '__kwdefaults__', {'near': 1.0}),
    ('__kwdefaults__', '__kwdefaults__', Dict()), ('__annotations__', '__annotations__', {1: 2}),
    ('__module__', '__module__', 'elsewhere'), ('__module__', '__module__', 5),
])
def test_accepted_values(name, twin, value):
    name, twin = attribute(name), attribute(twin)
    setattr(f, name, value)
    assert getattr(f, twin) is value


@pytest.mark.parametrize('name,twin', [
    ('__doc__', 'func_doc'), ('func_doc', '__doc__'), ('__defaults__', 'func_defaults'),
    ('func_defaults', '__defaults__'), ('__kwdefaults__', '__kwdefaults__'),
    ('__module__', '__module__'),
])
def test_deletion_reads_as_none(name, twin):
    name, twin = attribute(name), attribute(twin)
    setattr(f, twin, (1,) if 'defaults' in name and 'kw' not in name else {})
    delattr(f, name)
    assert getattr(f, twin) is None


@pytest.mark.parametrize('empty', [None, 'delete'])
def test_annotations_are_made_anew_after_emptying(empty):
    first = f.__annotations__
    first['x'] = 1
    if empty:
        del f.__annotations__
    else:
        f.__annotations__ = None
    second = f.__annotations__
    assert second == {} and second is not first and f.__annotations__ is second


def test_attribute_dictionary():
    f.custom = 7
    assert f.__dict__ == {'custom': 7}
    replacement = {'other': 8}
    f.__dict__ = replacement
    assert (f.other, f.__dict__, hasattr(f, 'custom')) == (8, replacement, False)
    assert f.__dict__ is replacement


@pytest.mark.parametrize('name', ['__globals__', 'func_globals', '__code__', 'func_code',
                                  '__closure__', 'func_closure', '__self__'])
def test_read_only_attributes(name):
    name = attribute(name)
    message = "attribute '%s' of 'native_function_or_method' objects is not writable" % name
    for change in (lambda: setattr(f, name, None), lambda: delattr(f, name)):
        with pytest.raises(AttributeError) as info:
            change()
        assert str(info.value) == message


# ------------------------------------------------------------- the object ---

def test_repr_follows_the_qualified_name():
    assert repr(f) == '<native function drawMain at 0x%x>' % id(f)
    f.__qualname__ = 'Scene.display'
    f.__name__ = 'ignored'
    assert repr(f) == str(f) == '<native function Scene.display at 0x%x>' % id(f)


class _MethodDef(ctypes.Structure):
    _fields_ = [('name', ctypes.c_char_p), ('meth', ctypes.c_void_p), ('flags', ctypes.c_int),
                ('doc', ctypes.c_char_p)]


# A method of the call kind of __reduce__ (METH_VARARGS), made for a class
# of the test's own: the interpreter's words for its keyword refusal depend
# on the call kind, and on 3.10 and earlier also on the way it is called.
_probe_code = ctypes.CFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object)(
    lambda self, args: None)
_PROBE = _MethodDef(b'probe', ctypes.cast(_probe_code, ctypes.c_void_p), 1, None)
_new_descriptor = ctypes.pythonapi.PyDescr_NewMethod
_new_descriptor.restype = ctypes.py_object
_new_descriptor.argtypes = [ctypes.py_object, ctypes.c_void_p]


class Owner(object):
    pass


Owner.probe = _new_descriptor(Owner, ctypes.addressof(_PROBE))


@pytest.mark.parametrize('args', [(), (1, 2)])
def test_reduce_names_the_method_entry(args):
    f.__name__ = 'renamed'
    assert f.__reduce__(*args) == 'drawMain'
    with pytest.raises(TypeError) as info:
        f.__reduce__(protocol=2)
    # The interpreter's text, as it says it of a method of that call kind.
    assert str(info.value) == interpreter_message(lambda: Owner().probe(protocol=2), 'Owner',
                                                  'probe', 'native_function_or_method',
                                                  '__reduce__')


@pytest.mark.parametrize('module', [pickle, fast_pickle])
@pytest.mark.parametrize('protocol', [0, 1, 2])
def test_pickling_is_by_reference(module, protocol):
    for function in (Movra.drawMain, Movra.projective):
        data = module.dumps(function, protocol)
        assert as_bytes('Movra') in data and as_bytes(function.__reduce__()) in data
        assert module.loads(data) is function
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_pickling_a_function_the_module_no_longer_holds():
    Movra.drawMain = Movra.initGL
    for module in (pickle, fast_pickle):
        with pytest.raises(module.PicklingError):
            module.dumps(f)


def test_the_type_cannot_be_subclassed_or_instantiated():
    kind = type(f)
    assert kind.__name__ == 'native_function_or_method'
    with pytest.raises(TypeError) as info:
        type('Sub', (kind,), {})
    assert str(info.value) == "type 'native_function_or_method' is not an acceptable base type"
    with pytest.raises(TypeError) as info:
        kind()
    assert str(info.value) == "cannot create 'native_function_or_method' instances"


def test_identity_semantics_and_weak_references():
    assert {f: 1}[Movra.drawMain] == 1 and f == f and f != Movra.initGL
    reference = weakref.ref(f)
    assert reference() is f and weakref.getweakrefcount(f) >= 1
    assert weakref.proxy(Movra.projective)(1.0, 7.0).tolist()[2] == [0.0, 0.0, 8.0, 7.0]


def test_collector_traverses_every_field():
    marker = [object() for _ in range(4)]
    f.__defaults__ = (marker[0],)
    f.__kwdefaults__ = {'k': marker[1]}
    f.__annotations__ = {'a': marker[2]}
    f.__dict__ = {'d': marker[3]}
    f.__doc__, f.__module__ = Str('doc'), Str('module')
    referents = [id(r) for r in gc.get_referents(f)]
    for expected in (vars(Movra), f.__code__, f.__qualname__, f.__name__, f.__doc__,
                     f.__module__, f.__defaults__, f.__kwdefaults__, f.__annotations__,
                     f.__dict__):
        assert id(expected) in referents
    assert gc.is_tracked(f)


# ------------------------------------------------------------- descriptors ---

def python_function(self, *args):
    return self


class Vector(list):
    scale = Movra.scale
    drawMain = Movra.drawMain
    projective = Movra.projective
    reference = python_function  # what an ordinary Python function does here


def bound_parts(method):
    """(function, instance, class) of a method; the class exists on 2.7 only."""
    return (getattr(method, '__func__', method), getattr(method, '__self__', None),
            getattr(method, 'im_class', None))


def fetched_kind(fetched, function):
    return 'the function itself' if fetched is function else type(fetched)


def outcome(call):
    try:
        call()
    except TypeError:
        return 'TypeError'
    return 'returned'


def test_functions_bind_like_python_functions():
    v = Vector([2, 3, 4])
    assert (numpy.diag(v.scale()) == [2, 3, 4, 1]).all()
    method, reference = v.projective, v.reference
    assert type(method) is type(reference)
    assert bound_parts(method) == (Movra.projective,) + bound_parts(reference)[1:]
    # Through the class: an unbound method on 2.7, the function itself on 3.x.
    unbound, reference = Vector.scale, Vector.reference
    assert fetched_kind(unbound, Movra.scale) == fetched_kind(reference, python_function)
    assert bound_parts(unbound) == (Movra.scale,) + bound_parts(reference)[1:]
    assert (numpy.diag(unbound(Vector([5, 6, 7]))) == [5, 6, 7, 1]).all()
    # A plain list is refused by an unbound method (2.7) as by the Python function's.
    assert outcome(lambda: unbound([5, 6, 7])) == outcome(lambda: reference([5, 6, 7]))
    bound = Movra.drawMain.__get__(5)
    assert type(bound) is type(python_function.__get__(5))
    assert bound_parts(bound) == (Movra.drawMain,) + bound_parts(python_function.__get__(5))[1:]
    with pytest.raises(TypeError) as info:
        v.drawMain()
    assert str(info.value) == function_arity_message('none', 'drawMain', 1)
    assert movra_records(info.tb) == []


# --------------------------------------------------------- argument binding ---

def arity(name, count, given):
    return '%s() takes exactly %d positional arguments (%d given)' % (name, count, given)


P, Q = 'projective', 'perspective'
BINDING_FAILURES = [
    (P, (), None, arity(P, 2, 0)),
    (P, (1.0,), None, arity(P, 2, 1)),
    (P, (1.0, 7.0, 3.0), None, arity(P, 2, 3)),
    (P, (), {}, arity(P, 2, 0)),
    (P, (), {'near': 1.0}, arity(P, 2, 1)),
    (P, (), {'far': 7.0}, arity(P, 2, 0)),
    (P, (1.0, 7.0, 3.0), {'near': 1.0}, arity(P, 2, 3)),
    (P, (1.0,), {'x': 1}, arity(P, 2, 1)),
    (P, (1.0,), {HashlessStr('far'): 7.0}, arity(P, 2, 1)),  # not found by its hash
    (P, (1.0,), {'near': 2.0, 'far': 7.0},
     "projective() got multiple values for keyword argument 'near'"),
    (P, (1.0, 7.0), {'near': 1.0}, "projective() got multiple values for keyword argument 'near'"),
    (P, (1.0, 7.0), {u'near': 1.0},
     "projective() got multiple values for keyword argument 'near'"),
    (P, (1.0,), {'far': 7.0, 'x': 1}, "projective() got an unexpected keyword argument 'x'"),
    (P, (1.0, 7.0), {'x': 1}, "projective() got an unexpected keyword argument 'x'"),
    (P, (), {'near': 1.0, 'far': 7.0, u'x': 1},
     "projective() got an unexpected keyword argument 'x'"),
    (P, (1.0,), {'far': 7.0, u'x\xe9': 1},
     "projective() got an unexpected keyword argument '%s'" % native_text(u'x\xe9')),
    (P, (1.0, 7.0), {1: 2}, non_string_keyword_message(P, (1.0, 7.0), {1: 2})),
    (P, (), {'near': 1.0, 'far': 7.0, None: 2},
     non_string_keyword_message(P, (), {'near': 1.0, 'far': 7.0, None: 2})),
    (Q, (60,), {'near': 1, 'far': 2}, arity(Q, 4, 1)),
    (Q, (), None, arity(Q, 4, 0)),
    (Q, (1, 2, 3, 4, 5), None, arity(Q, 4, 5)),
    (Q, (60, 1), {'near': 0.01, 'far': 20, 'fovy': 3},
     "perspective() got multiple values for keyword argument 'fovy'"),
]


@pytest.mark.parametrize('name,args,kwargs,message', BINDING_FAILURES)
def test_binding_failures(name, args, kwargs, message):
    function = getattr(Movra, name)
    function.__name__ = 'renamed'  # messages use the function's own fixed name
    with pytest.raises(TypeError) as info:
        if kwargs is None:
            function(*args)
        else:
            function(*args, **kwargs)
    assert str(info.value) == message
    line = {P: 227, Q: 237}[name]
    if CALLER_CHECKS_KEYWORD_TYPES and not all(isinstance(k, string_types) for k in kwargs or {}):
        assert movra_records(info.tb) == []  # refused by the interpreter before the call
        return
    assert movra_records(info.tb) == [('Movra.' + name, line)]
    assert info.tb.tb_next.tb_frame.f_code.co_firstlineno == line


def projective_of(near, far):
    return [[near, 0, 0, 0], [0, near, 0, 0], [0, 0, near + far, near * far], [0, 0, -1, 0]]


@pytest.mark.parametrize('args,kwargs', [
    ((1.0, 7.0), {}), ((), {'near': 1.0, 'far': 7.0}), ((1.0,), {'far': 7.0}),
    ((), {u'near': 1.0, u'far': 7.0}), ((1.0,), {Str('far'): 7.0}),
    ((), {'far': 7.0, 'near': 1.0}),
])
def test_binding_by_position_and_name(args, kwargs):
    result = Movra.projective(*args, **kwargs)
    assert type(result) is numpy.ndarray and result.tolist() == projective_of(1.0, 7.0)


def test_binding_keeps_parameter_order():
    assert Movra.projective(far=3.0, near=2.0).tolist() == projective_of(2.0, 3.0)
    by_name = Movra.perspective(far=20, near=0.01, aspect=1, fovy=60)
    assert (by_name == Movra.perspective(60, 1, 0.01, 20)).all()


def test_defaults_are_not_consulted():
    Movra.projective.__defaults__ = (7.0,)
    Movra.projective.__kwdefaults__ = {'far': 7.0}
    for call in (lambda: Movra.projective(1.0), lambda: Movra.projective(near=1.0)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == arity(P, 2, 1)


# ------------------------------------------- keyword dictionaries that fight back ---

class SameHashAs(str):
    """A key that hashes like `name` and equals everything, and whose comparison
    runs `action` first: it is what the lookup of that parameter finds."""
    def __new__(cls, text, name, action):
        key = str.__new__(cls, text)
        key.name, key.action = name, action
        return key

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.action()
        return True


class Opaque(object):
    pass


def reuse_freed_floats():
    # New floats of the same size take the memory of any float just freed, so a
    # binding that still points at a popped value reads one of these instead.
    reuse_freed_floats.kept = [float(i) + 0.5 for i in range(64)]


def far_key_that(action):
    return SameHashAs('k', 'far', action)


def hostile_projective_call(meddle):
    d = {}
    d.update({'near': float('1.25'), far_key_that(lambda: meddle(d)): float('7.5')})
    return Movra.projective(**d)


def expected_projective(near, far):
    return numpy.array(projective_of(near, far)).tobytes()


@pytest.mark.parametrize('meddle', [
    lambda d: d.pop('near', None),
    lambda d: d.__setitem__('near', float('99.5')),
], ids=['pop', 'replace'])
def test_bound_values_survive_the_dictionary(meddle):
    # Looking up `far` runs the key's __eq__, which takes `near` away from the
    # dictionary after it was bound; the body must see the value that was bound.
    def meddle_and_collect(d):
        meddle(d)
        gc.collect()
        reuse_freed_floats()

    assert hostile_projective_call(meddle_and_collect).tobytes() == expected_projective(1.25, 7.5)


def test_a_dictionary_cleared_during_the_lookup():
    # Python 2 looks `far` up in the caller's dictionary itself, and the lookup
    # starts over on the cleared one; Python 3 hands the keywords over before
    # the call, so `far` is still found.
    if sys.version_info[0] == 2:
        with pytest.raises(TypeError) as info:
            hostile_projective_call(lambda d: d.clear())
        assert str(info.value) == arity(P, 2, 1)
    else:
        assert hostile_projective_call(lambda d: d.clear()).tobytes() == \
            expected_projective(1.25, 7.5)


def test_a_value_taken_away_fails_where_it_is_used():
    d = {}
    d.update({'near': Opaque(), far_key_that(lambda: d.pop('near', None)): 7.0})
    with pytest.raises(TypeError) as info:
        Movra.projective(**d)
    assert 'float()' in str(info.value)
    assert movra_records(info.tb) == [('Movra.projective', 229)]  # M[0][0] = near


class TurncoatKey(str):
    """A key that hashes as its text until told to refuse."""
    refuse = False

    def __hash__(self):
        if TurncoatKey.refuse:
            raise ValueError('no hash now')
        return str.__hash__(self)


def test_a_keyword_name_whose_hash_fails_later():
    d = {TurncoatKey('far'): 7.0}
    TurncoatKey.refuse = True
    try:
        if KEYWORD_NAMES_HASHED_AGAIN:
            # a failure of the binding: recorded at the definition
            with pytest.raises(ValueError) as info:
                Movra.projective(1.0, **d)
            assert str(info.value) == 'no hash now'
            assert movra_records(info.tb) == [('Movra.projective', 227)]
        else:
            assert Movra.projective(1.0, **d).tobytes() == expected_projective(1.0, 7.0)
    finally:
        TurncoatKey.refuse = False
