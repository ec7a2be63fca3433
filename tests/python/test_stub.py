"""The type stub pytavo_device.pyi against the built module: the same
classes, methods and attributes both ways, and for every call the same
parameters (names, positional-only-ness, defaults). The module's side comes
from the binding library's signature lines ("name(self: T, addr: int, ...)
-> R"; parameters named argN are positional-only) and, for slots the
interpreter defines, from inspect."""

import ast
import inspect
import pathlib
import re
import unittest

import pytavo_device as tavo

STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "pytavo" / "pytavo_device.pyi"


class _NoDefault:
    def __repr__(self):
        return "<no default>"


NO_DEFAULT = _NoDefault()
POSITIONAL_ONLY_NAME = re.compile(r"arg\d+$")


def split_top_level(text):
    """Splits at commas outside brackets."""
    parts, depth, current = [], 0, ""
    for ch in text:
        if ch in "([":
            depth += 1
        elif ch in ")]":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += ch
    if current.strip():
        parts.append(current.strip())
    return parts


def binding_parameters(function):
    """[(name, positional_only, default)] from a binding's signature line."""
    line = function.__doc__.strip().splitlines()[0]
    match = re.fullmatch(r"\w*\((.*)\) -> .+", line)
    if match is None:
        raise AssertionError(f"not a signature line: {line!r}")
    result = []
    for param in split_top_level(match.group(1)):
        head, _, default = param.partition(" = ")
        pname = head.split(":")[0].strip()
        value = ast.literal_eval(default) if default else NO_DEFAULT
        result.append((pname, bool(POSITIONAL_ONLY_NAME.match(pname)), value))
    return result


def slot_parameters(slot):
    """[(name, positional_only, default)] of a slot the interpreter defines."""
    return [(p.name, p.kind is p.POSITIONAL_ONLY, NO_DEFAULT if p.default is p.empty else p.default)
            for p in inspect.signature(slot).parameters.values()]


def stub_parameters(node):
    args = node.args
    positional = [(a.arg, True) for a in args.posonlyargs] + [(a.arg, False) for a in args.args]
    defaults = [NO_DEFAULT] * (len(positional) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    if args.vararg or args.kwarg or args.kwonlyargs:
        raise AssertionError(f"{node.name}: the module has no *args, **kwargs or keyword-only parameters")
    return [(name, only, default) for (name, only), default in zip(positional, defaults)]


def comparable(params, method):
    """Positional-only parameters compare by position, the others by name.
    A method's `self` comes first on both sides, positional-only or not
    depending on what follows, so it is checked by name and set aside."""
    if method:
        if not params or params[0][0] != "self":
            raise AssertionError(f"a method without self: {params}")
        params = params[1:]
    return [(None if only else name, only, default) for name, only, default in params]


def is_binding(obj):
    return type(obj).__name__ == "builtin_function_or_method" or type(obj).__name__ == "instancemethod"


def module_members(cls):
    """What the module defines on `cls`: {name: kind}, kind one of
    "function", "property", "attribute"."""
    members = {}
    for name, value in vars(cls).items():
        if name in ("__doc__", "__module__") or (name.startswith("__") and not name.endswith("__")):
            continue  # documentation, and the binding library's private state
        if name == "__init__" and not is_binding(value):
            continue  # no constructor bound: the binding library's refusing one
        if type(value).__name__ == "pybind11_static_property":
            members[name] = "attribute"  # a class-level value such as __members__
        elif isinstance(value, property):
            members[name] = "property"
        elif callable(value) and not isinstance(value, cls):
            members[name] = "function"
        else:
            members[name] = "attribute"
    return members


def stub_members(class_node):
    members = {}
    for node in class_node.body:
        if isinstance(node, ast.FunctionDef):
            decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
            members[node.name] = "property" if "property" in decorators else "function"
        elif isinstance(node, ast.AnnAssign):
            members[node.target.id] = "attribute"
    return members


class StubTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree = ast.parse(STUB.read_text(), filename=str(STUB))
        cls.classes = {n.name: n for n in cls.tree.body if isinstance(n, ast.ClassDef)}
        cls.functions = {n.name: n for n in cls.tree.body if isinstance(n, ast.FunctionDef)}

    def test_module_names_both_ways(self):
        public = {name for name in vars(tavo) if not name.startswith("__")}
        module_classes = {name for name in public if isinstance(getattr(tavo, name), type)}
        self.assertEqual(set(self.classes), module_classes)
        self.assertEqual(set(self.functions), public - module_classes)

    def test_class_members_both_ways(self):
        for name, node in self.classes.items():
            with self.subTest(name):
                self.assertEqual(stub_members(node), module_members(getattr(tavo, name)))

    def test_parameters_and_defaults(self):
        calls = [(name, getattr(tavo, name), node, False) for name, node in self.functions.items()]
        for cname, cnode in self.classes.items():
            cls = getattr(tavo, cname)
            for node in cnode.body:
                if isinstance(node, ast.FunctionDef) and not any(
                        isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list):
                    calls.append((f"{cname}.{node.name}", vars(cls)[node.name], node, True))
        self.assertGreater(len(calls), 30)
        for name, function, node, method in calls:
            with self.subTest(name):
                actual = binding_parameters(function) if is_binding(function) else slot_parameters(function)
                self.assertEqual(comparable(stub_parameters(node), method), comparable(actual, method))

    def test_property_getters_take_only_self(self):
        for cname, cnode in self.classes.items():
            for node in cnode.body:
                if isinstance(node, ast.FunctionDef) and node.decorator_list:
                    with self.subTest(f"{cname}.{node.name}"):
                        self.assertEqual([a.arg for a in node.args.args], ["self"])
                        getter = vars(getattr(tavo, cname))[node.name].fget
                        self.assertEqual(len(binding_parameters(getter)), 1)

    def test_everything_documented(self):
        undocumented = []
        for node in ast.walk(self.tree):
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not ast.get_docstring(node):
                undocumented.append(node.name)
        self.assertEqual(undocumented, [])

    def test_enumeration_members(self):
        names = [n.target.id for n in self.classes["ReturnCode"].body
                 if isinstance(n, ast.AnnAssign) and n.target.id != "__members__"]
        self.assertEqual(names, list(tavo.ReturnCode.__members__))


if __name__ == "__main__":
    unittest.main()
