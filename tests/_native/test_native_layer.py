"""The shared native layer, seen through the module that exercises each of its features."""

import abc
import collections.abc
import importlib.machinery
import inspect
import os
import pydoc
import subprocess
import sys
import textwrap
import traceback
import typing
from pathlib import Path

import pytest

from velora._native import _testing

Sample = _testing.Sample


class Square(Sample):
    def area(self):
        return float(self.size**2)


def last_native_frame(exc: BaseException) -> traceback.FrameSummary:
    frames = [f for f in traceback.extract_tb(exc.__traceback__) if f.filename.endswith(".cpp")]
    assert frames, "no native traceback entry"
    return frames[-1]


def test_module_is_a_compiled_extension():
    assert _testing.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def test_class_is_created_through_the_metaclass_of_its_bases():
    assert type(Sample) is abc.ABCMeta
    assert Sample.__module__ == "velora._native._testing"
    assert Sample.__qualname__ == "Sample"
    assert Sample.__doc__ == "A shape with a name and a size."


def test_typing_generic_bases_resolve_as_in_a_class_statement():
    assert _testing.Bag.__orig_bases__ == (typing.Mapping[str, int],)
    assert issubclass(_testing.Bag, collections.abc.Mapping)
    bag = _testing.Bag({"a": 1, "b": 2})
    assert dict(bag) == {"a": 1, "b": 2} and "a" in bag and bag.get("z") is None


def test_class_body_order_is_definition_order():
    names = [n for n in vars(Sample) if not n.startswith("__") or n == "__init__"]
    assert names[:4] == ["__init__", "describe", "fail", "call_back"]


def test_abstract_methods_are_recognised_by_abc():
    assert Sample.__abstractmethods__ == frozenset({"area"})
    with pytest.raises(TypeError, match="abstract"):
        Sample("s")
    assert Square("s").area() == 9.0
    with pytest.raises(NotImplementedError):
        Sample.area(Square("s"))


@pytest.mark.parametrize(
    ("function", "text"),
    [
        (
            Sample.__init__,
            "(self, name: 'str', size: 'int' = 3, *args, tag: 'Optional[str]' = None, **kwargs)"
            " -> 'None'",
        ),
        (Sample.describe, "(self) -> 'str'"),
        (Square("s").describe, "() -> 'str'"),
        (Sample.make, "(name: 'str') -> \"'Sample'\""),
        (Sample.twice, "(x) -> 'Any'"),
    ],
)
def test_signatures_are_readable_by_inspect(function, text):
    assert str(inspect.signature(function)) == text


def test_functions_carry_python_function_attributes():
    describe = vars(Sample)["describe"]
    assert describe.__name__ == "describe"
    assert describe.__qualname__ == "Sample.describe"
    assert describe.__module__ == "velora._native._testing"
    assert describe.__doc__ == "The name and the size, joined by a colon."
    assert vars(Sample)["__init__"].__annotations__ == {
        "name": "str",
        "size": "int",
        "tag": "Optional[str]",
        "return": "None",
    }
    assert vars(Sample)["__init__"].__defaults__ == (3,)
    assert vars(Sample)["__init__"].__kwdefaults__ == {"tag": None}
    describe.custom = 1  # a writable __dict__, as functools.wraps needs
    assert describe.__dict__["custom"] == 1
    del describe.custom


def test_help_shows_signature_and_doc():
    text = pydoc.render_doc(Sample.describe, renderer=pydoc.plaintext)
    assert "describe(self) -> 'str'" in text
    assert "joined by a colon" in text


def test_methods_bind_like_python_methods():
    square = Square("s", 4)
    bound = square.describe
    assert inspect.ismethod(bound) and bound.__self__ is square
    assert bound() == "s:4"
    assert vars(Sample)["describe"].__get__(None, Sample) is vars(Sample)["describe"]


def test_arguments_bind_as_in_python():
    square = Square("s", 2, "extra", tag="t", colour="red")
    assert square.extra == (("extra",), "t", {"colour": "red"})
    assert Square(name="k").describe() == "k:3"


def test_properties_class_and_static_methods():
    square = Square("s")
    square.size = 7
    assert square.size == 7 and square.label == "s"
    assert vars(Sample)["size"].__doc__ == "The size, settable."
    with pytest.raises(AttributeError):
        square.label = "other"
    made = Square.make("m")
    assert type(made) is Square and made.name == "m"
    assert Sample.twice(21) == 42
    assert square.size_of_base() == object.__sizeof__(square)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: Square(), r"Sample.__init__\(\) missing 1 required positional argument: 'name'"),
        (lambda: Square("a", name="b"), "got multiple values for argument 'name'"),
        (lambda: Square("a").describe(1), r"takes 1 positional argument but 2 were given"),
        (lambda: Square("a").describe(x=1), "got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors_use_the_interpreter_messages(call, message):
    with pytest.raises(TypeError, match=message):
        call()


class Text(str):
    pass


@pytest.mark.parametrize(
    ("value", "type_name"), [(1, "int"), (b"b", "bytes"), (Text("t"), "Text"), (["x"], "list")]
)
def test_exact_str_arguments_refuse_anything_else(value, type_name):
    with pytest.raises(TypeError) as info:
        Square(value)
    assert str(info.value) == (
        f"Argument 'name' has incorrect type (expected str, got {type_name})"
    )


def test_exact_str_arguments_accept_none():
    assert Square(None).name is None


@pytest.mark.parametrize(
    ("call", "error", "method", "line_text"),
    [
        (lambda s: s.fail("boom"), ValueError, "fail", "raise(PyExc_ValueError"),
        (lambda s: s.missing("k"), KeyError, "missing", "raise(PyExc_KeyError"),
        (lambda s: s.fail_with_note("m", "n"), ValueError, "fail_with_note", "raise_with_note("),
        (lambda s: s.call_back(lambda: 1 / 0), ZeroDivisionError, "call_back", '"call_back"'),
        (lambda s: Sample.area(s), NotImplementedError, "area", "abstractmethod"),
        (lambda s: s.missing(1), TypeError, "missing", '"missing"'),
    ],
)
def test_every_error_leaving_a_method_names_it_with_file_and_line(call, error, method, line_text):
    with pytest.raises(error) as info:
        call(Square("s"))
    frame = last_native_frame(info.value)
    assert frame.name == f"velora._native._testing.Sample.{method}"
    assert frame.filename == "velora/_native/_testing.cpp"
    with open(_testing_source()) as source:
        assert line_text in source.read().splitlines()[frame.lineno - 1]


def _testing_source() -> Path:
    return Path(__file__).parents[2] / "velora" / "_native" / "_testing.cpp"


def test_errors_keep_their_value_and_notes():
    with pytest.raises(KeyError) as info:
        Square("s").missing("k")
    assert info.value.args == ("k",)
    with pytest.raises(ValueError) as info:
        Square("s").fail_with_note("it broke", "mend it")
    assert (info.value.args, info.value.__notes__) == (("it broke",), ["mend it"])


def test_a_second_interpreter_cannot_import_the_module(tmp_path):
    pytest.importorskip("_xxsubinterpreters", reason="no sub-interpreters offered to Python code")
    script = textwrap.dedent(
        """
        import _xxsubinterpreters as interpreters
        import velora._native._testing
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import velora._native._testing")
        except interpreters.RunFailedError as error:
            print(error)
        finally:
            interpreters.destroy(interp)
        """
    )
    # Both interpreters must find the very same file: the guard lives in the loaded library.
    same_path = {**os.environ, "PYTHONPATH": str(Path(_testing.__file__).parents[2])}
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, cwd=tmp_path, env=same_path
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "<class 'ImportError'>: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    )


@pytest.mark.parametrize(
    ("iterable", "message"),
    [
        ([1, 2, 3], r"too many values to unpack \(expected 2\)"),
        ([1], r"not enough values to unpack \(expected 2, got 1\)"),
    ],
)
def test_unpacking_fails_as_the_interpreter_does(iterable, message):
    assert Sample.pair(iter([1, 2])) == (1, 2)
    with pytest.raises(ValueError, match=message):
        Sample.pair(iterable)


class Recorder:
    def __enter__(self):
        self.seen = "entered"

    def __exit__(self, kind, value, trace):
        self.seen = kind


@pytest.mark.parametrize(
    ("callback", "seen"), [(lambda: 1, None), (lambda: 1 / 0, ZeroDivisionError)]
)
def test_context_exit_sees_the_exception_of_the_body(callback, seen):
    recorder = Recorder()
    if seen is None:
        assert Sample.within(recorder, callback) == 1
    else:
        with pytest.raises(seen):
            Sample.within(recorder, callback)
    assert recorder.seen is seen


@pytest.mark.parametrize(("eager", "runs"), [(False, 1), (True, 3)])
def test_a_compiled_method_traces_once_per_object(eager, runs):
    tf = pytest.importorskip("tensorflow")
    square = Square("s", 2)
    results = [square.scaled(tf.constant([float(i)]), eager).numpy() for i in range(3)]
    assert [r.tolist() for r in results] == [[0.0], [2.0], [4.0]]
    assert square.runs == runs
    # Each object compiles its own function: another size gives another graph.
    assert Square("t", 5).scaled(tf.constant([1.0]), eager).numpy().tolist() == [5.0]
