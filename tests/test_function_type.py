"""The native function type must be indistinguishable, to callers and to introspection, from a
function written in Python with the same signature."""

import gc
import importlib.util
import inspect
import pydoc
import weakref

import pytest

from vornik_git import _native


# The same signature written in Python: its TypeErrors are the reference wording.
def sample(text, items, mapping, label=None, anything=None):
    return [text, items, mapping, label, anything]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("t",), {}),
        (("t", []), {}),
        (("t", [], {}, None, None, 6), {}),
        (("t", [], {}), {"text": "again"}),
        (("t", [], {}), {"nope": 1}),
        (("t", [], {}), {"labl": 1}),  # close to a parameter: from 3.13 the host suggests it
        (("t", [], {}), {"MAPPING": {}}),
        ((), {"items": [], "mapping": {}}),
        (("t",), {"label": None}),
    ],
)
def test_binding_errors_match_python(args, kwargs):
    with pytest.raises(TypeError) as expected:
        sample(*args, **kwargs)
    with pytest.raises(TypeError) as actual:
        _native.sample(*args, **kwargs)
    assert str(actual.value) == str(expected.value)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("t", ["a"], {"k": 1}), {}),
        (("t", [], {}, "label", object), {}),
        ((), {"anything": 3, "mapping": {}, "items": [], "text": "t"}),
        (("t",), {"mapping": {}, "items": [], "label": None}),
    ],
)
def test_binding_matches_python(args, kwargs):
    assert _native.sample(*args, **kwargs) == sample(*args, **kwargs)


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, [], {}), "Argument 'text' has incorrect type (expected str, got int)"),
        ((None, [], {}), "Argument 'text' has incorrect type (expected str, got NoneType)"),
        ((StrSub("t"), [], {}), "Argument 'text' has incorrect type (expected str, got StrSub)"),
        (("t", (), {}), "Argument 'items' has incorrect type (expected list, got tuple)"),
        (("t", ListSub(), {}), "Argument 'items' has incorrect type (expected list, got ListSub)"),
        (("t", [], DictSub()), "Argument 'mapping' has incorrect type (expected dict, got DictSub)"),
        (("t", [], None), "Argument 'mapping' has incorrect type (expected dict, got NoneType)"),
        (("t", [], {}, b"x"), "Argument 'label' has incorrect type (expected str, got bytes)"),
    ],
)
def test_exact_type_checks(args, message):
    with pytest.raises(TypeError) as error:
        _native.sample(*args)
    assert str(error.value) == message


def test_first_wrong_argument_is_reported_in_parameter_order():
    with pytest.raises(TypeError, match="'text'"):
        _native.sample(1, None, None)


def test_introspection_of_a_plain_function():
    function = _native.sample
    assert function.__name__ == "sample"
    assert function.__qualname__ == "sample"
    assert function.__module__ == "vornik_git._native"
    assert function.__doc__ == "Returns its arguments as a list."
    assert function.__defaults__ == (None, None)
    assert function.__kwdefaults__ is None
    assert function.__annotations__ == {
        "text": "str",
        "items": "List[str]",
        "mapping": "Dict[str, Any]",
        "label": "Optional[str]",
        "anything": "Cell",
        "return": "List[str]",
    }
    code = function.__code__
    assert inspect.iscode(code)
    assert code.co_varnames == ("text", "items", "mapping", "label", "anything", "result", "index")
    assert code.co_argcount == 5
    assert code.co_qualname == "sample"
    assert str(inspect.signature(function)) == (
        "(text: 'str', items: 'List[str]', mapping: 'Dict[str, Any]', "
        "label: 'Optional[str]' = None, anything: 'Cell' = None) -> 'List[str]'"
    )
    assert inspect.signature(function) == inspect.signature(sample).replace(
        parameters=[
            p.replace(annotation=function.__annotations__[p.name])
            for p in inspect.signature(sample).parameters.values()
        ],
        return_annotation="List[str]",
    )
    assert repr(function).startswith("<function sample at 0x")
    # help() shows it as it shows the same function written in Python (whose layout differs
    # between host versions).
    def twin(text, items, mapping, label=None, anything=None):
        """Returns its arguments as a list."""
    twin.__annotations__ = dict(function.__annotations__)
    twin.__name__ = twin.__qualname__ = "sample"
    twin.__module__ = function.__module__
    rendered = pydoc.render_doc(function, renderer=pydoc.plaintext)
    expected = pydoc.render_doc(twin, renderer=pydoc.plaintext)
    # The first line names the type; the rest is the signature and docstring.
    assert rendered.split("\n", 1)[1] == expected.split("\n", 1)[1]
    assert "Returns its arguments as a list." in rendered


def test_attributes_are_those_of_a_python_function_on_this_host():
    def plain():
        pass
    # Only what a function that is not Python code cannot have: closure cells, its built-ins.
    assert set(dir(plain)) - set(dir(_native.sample)) == {"__builtins__", "__closure__"}
    assert set(dir(_native.sample)) - set(dir(plain)) == set()
    if hasattr(plain, "__type_params__"):
        assert _native.sample.__type_params__ == ()


def test_function_attributes_are_writable_like_python_ones():
    function = _native.make_record_class  # a throwaway attribute target
    function.custom = 1
    assert function.__dict__ == {"custom": 1}
    del function.custom
    with pytest.raises(TypeError):
        function.__name__ = 3
    ref = weakref.ref(function)
    assert ref() is function


class Meta(type):
    created = []

    def __new__(mcs, name, bases, namespace):
        Meta.created.append((name, list(namespace)))
        return super().__new__(mcs, name, bases, namespace)


class Base(metaclass=Meta):
    subclasses = []

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        Base.subclasses.append(cls)

    def describe(self):
        return "base:" + self.value


def test_class_made_through_the_metaclass_of_its_python_base():
    Record = _native.make_record_class(Base)
    assert type(Record) is Meta
    assert Base.subclasses[-1] is Record
    assert Meta.created[-1] == ("Record", ["__module__", "__qualname__", "__doc__", "KIND", "__init__", "value"])
    assert Record.__module__ == "vornik_git._native"
    assert Record.__qualname__ == "Record"
    assert Record.__doc__ == "A sample record over a dict."
    assert Record.KIND == "record"
    assert Record.__init__.__qualname__ == "Record.__init__"
    assert str(inspect.signature(Record.__init__)) == "(self, data: 'Dict[str, Any]')"
    assert str(inspect.signature(Record)) == "(data: 'Dict[str, Any]')"

    data = {"value": "v"}
    record = Record(data)
    assert record._data is data
    assert record.describe() == "base:v"
    assert str(inspect.signature(record.__init__)) == "(data: 'Dict[str, Any]')"
    assert inspect.ismethod(record.__init__) and record.__init__.__self__ is record


def test_property_over_native_functions():
    Record = _native.make_record_class(object)
    prop = Record.__dict__["value"]
    assert isinstance(prop, property)
    assert prop.__doc__ == "The stored value"
    assert prop.fget.__qualname__ == "Record.value"
    assert prop.fset.__annotations__ == {"value": "str", "return": "None"}

    data = {}
    record = Record(data)
    assert record.value is None  # an absent value reads as None, which the result check allows
    record.value = "new"
    assert data == {"value": "new"}
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected str, got int\)$"):
        record.value = 1
    data["value"] = 7
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        record.value
    with pytest.raises(TypeError, match="incorrect type"):
        Record([])


def test_globals_are_looked_up_at_call_time():
    with pytest.raises(NameError, match="^name 'not_there' is not defined$"):
        _native.lookup("not_there")
    _native.not_there = marker = object()
    try:
        assert _native.lookup("not_there") is marker
    finally:
        del _native.not_there
    assert _native.lookup("len") is len  # falls back to the built-ins


def test_second_initialisation_is_refused():
    spec = importlib.util.find_spec("vornik_git._native")
    module = importlib.util.module_from_spec(spec)
    with pytest.raises(ImportError, match="only once per process"):
        spec.loader.exec_module(module)
    assert _native.sample("t", [], {})[0] == "t"


def test_functions_do_not_leak_references():
    text, items, mapping = "t", [], {}
    before = [sys_getrefcount(o) for o in (text, items, mapping)]
    for _ in range(1000):
        _native.sample(text, items, mapping)
        with pytest.raises(TypeError):
            _native.sample(text, None, mapping)
        with pytest.raises(TypeError):
            _native.sample(text, items, mapping, nope=1)
    gc.collect()
    assert [sys_getrefcount(o) for o in (text, items, mapping)] == before


def sys_getrefcount(obj):
    import sys

    return sys.getrefcount(obj)


@pytest.mark.parametrize("name, signature", [
    ("loads", "(data, text_mode=False)"), ("load", "(path)"), ("dumps", "(value)"),
    ("dump", "(value, path)"), ("dumps_editor", "(value)"), ("dump_editor", "(value, path)"),
    ("replace", "(path, data)"),
])
def test_document_functions_are_declared_like_the_drivers_functions(name, signature):
    function = getattr(_native, name)
    assert str(inspect.signature(function)) == signature
    assert (function.__module__, function.__qualname__) == ("vornik_git._native", name)


def test_document_functions_take_keywords(tmp_path):
    target = tmp_path / "document.json"
    _native.dump(path=str(target), value={"a": [1]})
    assert _native.loads(text_mode=True, data=target.read_bytes()) == {"a": [1]}
    with pytest.raises(TypeError, match="bytes"):
        _native.replace(path=str(target), data="text")
    assert target.read_bytes() == b'{"a": [1]}'
