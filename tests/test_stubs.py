"""Every type stub of a compiled module says what its live classes say: the same methods,
parameters, kinds, defaults and annotations as `inspect.signature` reads from them."""

import ast
import importlib
import inspect
import re
from pathlib import Path

import pytest

import velora

PACKAGE = Path(velora.__file__).parent
STUBS = sorted(PACKAGE.rglob("*.pyi"))
DECORATORS = {"classmethod": classmethod, "staticmethod": staticmethod, "property": property}
# Where the live annotation is fixed text that says less than the truth, the stub says the
# truth: one tensor from `sample_id`, an ordered dict of losses, plain floats as moments.
TRUER_IN_THE_STUB = {
    ("sample_id", "return"): ("tf.Tensor", "Tuple[tf.Tensor,tf.Tensor]"),
    ("loss_func", "return"): ("OrderedDict[str,tf.Tensor]", "Dict[str,tf.Tensor]"),
    **{
        ("diagonal_normal_kl_divergence", moment): ("tf.Tensor|float", "tf.Tensor")
        for moment in ("mu_1", "stddev_1", "mu_2", "stddev_2")
    },
}


def module_of(stub: Path):
    parts = stub.relative_to(PACKAGE.parent).with_suffix("").parts
    return importlib.import_module(".".join(parts))


def stub_methods(stub: Path):
    """(class, method) pairs of the stub's top-level classes, with the method's node."""
    tree = ast.parse(stub.read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield node.name, item


def is_setter(node: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list)


CASES = [
    pytest.param(stub, cls, method, id=f"{stub.stem}.{cls}.{method.name}")
    for stub in STUBS
    for cls, method in stub_methods(stub)
]


def text_of(annotation) -> str | None:
    """An annotation as comparable text: quotes and blanks gone; None where there is none."""
    if annotation is inspect.Parameter.empty or annotation is None:
        return None
    if not isinstance(annotation, str):
        annotation = ast.unparse(annotation)
    return re.sub(r"[\s'\"]", "", annotation)


def agrees(method: str, place: str, stub_text: str | None, live_text: str | None, none_ok: bool):
    """A stub may annotate what the live code leaves bare, and say Optional where None is
    accepted: by a default of None, or by the type test of a `str` argument."""
    if (method, place) in TRUER_IN_THE_STUB:
        return (stub_text, live_text) == TRUER_IN_THE_STUB[method, place]
    none_ok = none_ok or live_text == "str"
    allowed = {live_text, *([f"Optional[{live_text}]"] if none_ok else [])}
    return live_text is None or stub_text in allowed


def live_member(cls: type, name: str):
    for base in cls.__mro__:
        if name in vars(base):
            return vars(base)[name]
    raise AssertionError(f"{cls.__qualname__} has no member {name!r} the stub declares")


def stub_parameters(node: ast.FunctionDef) -> list[tuple[str, str, ast.expr | None, object]]:
    """(name, kind, annotation, default) per parameter; a default of ... is any default."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    rows = [
        (a.arg, "POSITIONAL_OR_KEYWORD", a.annotation, d)
        for a, d in zip(positional, defaults, strict=True)
    ]
    if args.vararg:
        rows.append((args.vararg.arg, "VAR_POSITIONAL", args.vararg.annotation, None))
    rows += [
        (a.arg, "KEYWORD_ONLY", a.annotation, d)
        for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True)
    ]
    if args.kwarg:
        rows.append((args.kwarg.arg, "VAR_KEYWORD", args.kwarg.annotation, None))
    return rows


@pytest.mark.parametrize("stub, cls_name, node", CASES)
def test_the_stub_declares_the_live_signature(stub, cls_name, node):
    cls = getattr(module_of(stub), cls_name)
    member = live_member(cls, node.name)
    decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
    if is_setter(node):
        decorators.add("property")
    for name, kind in DECORATORS.items():
        assert (name in decorators) == isinstance(member, kind), f"{name} of {node.name}"
    if isinstance(member, property):
        member = member.fset if is_setter(node) else member.fget
        assert member is not None, f"{node.name} has no live setter"
    function = getattr(member, "__func__", member)
    live = inspect.signature(function)
    declared = stub_parameters(node)
    assert [(n, k) for n, k, _, _ in declared] == [
        (p.name, p.kind.name) for p in live.parameters.values()
    ]
    for (name, _, annotation, default), parameter in zip(
        declared, live.parameters.values(), strict=True
    ):
        has_default = parameter.default is not inspect.Parameter.empty
        assert (default is not None) == has_default, f"default of {name}"
        if default is not None and not (isinstance(default, ast.Constant) and default.value is ...):
            assert ast.literal_eval(default) == parameter.default, f"default of {name}"
        assert agrees(
            node.name,
            name,
            text_of(annotation),
            text_of(parameter.annotation),
            parameter.default is None,
        ), f"annotation of {name}: {ast.unparse(annotation)} vs {parameter.annotation!r}"
    returns = text_of(node.returns), text_of(live.return_annotation)
    assert agrees(node.name, "return", *returns, False), f"return annotation: {returns}"


def test_every_compiled_module_has_its_stub():
    compiled = {path.name.split(".")[0] for path in PACKAGE.rglob("*.so")}
    assert compiled and compiled <= {stub.stem for stub in STUBS}
