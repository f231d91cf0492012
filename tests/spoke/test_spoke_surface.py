"""The module surface: operations, classes, constructors, mementos, loading and help()."""

import ast
import inspect
import json
import pydoc
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tidewall.commands.abstract_command import AbstractCommand
from tidewall.commands.memento import Memento

OPERATIONS = [
    ("getSpokeInfo", "(info, subnet_cidr)"),
    (
        "list_gateway_info",
        "(api_endpoint_url='', CID='', vpc_access_account_name='', cgx_gw_only='no', gw_name=None, "
        "keyword_for_log='cvn-migration-function---')",
    ),
    ("getSubnetWithSpokeGw", "(CID, controller_api_url, gw_names)"),
    ("changeSpokeSize", "(CID, controller_api_url, spoke_gw_name, spoke_gw_size)"),
    (
        "deployClassicSpoke",
        "(CID, controller_api_url, account_name, spoke_gw_name, spoke_gw_size, vpc, region, natGwInfos)",
    ),
    (
        "deployPrimaryHsSpoke",
        "(CID, controller_api_url, account_name, spoke_gw_name, gw_size, vpc, region, subnet_cidr, "
        "eip=None, tag=None)",
    ),
    (
        "deployHaHsSpoke",
        "(CID, controller_api_url, spoke_gw_name, gw_size, subnet_cidr, eip=None, ha_gw_name=None, tag=None)",
    ),
    (
        "deployHsSpoke",
        "(CID, controller_api_url, account_name, spoke_gw_name, spoke_gw_size, vpc, region, natGwInfos, "
        "num_of_spoke)",
    ),
    ("deleteSpoke", "(CID, controller_api_url, spoke_gw_name)"),
    ("deleteHsSpoke", "(CID, controller_api_url, spoke_gw_name)"),
    ("deleteAllHsSpokes", "(CID, controller_api_url, spoke_gw_name)"),
    ("enableSNAT", "(spoke_gw_name, controller_api_url, CID)"),
    ("disable_snat", "(CID, controller_api_url, spoke_gw_name)"),
]

DEPLOY_PARAMS = "account_name=None, spoke_gw_name=None, spoke_gw_size=None, vpc_id=None, region=None, "
CLASSES = [
    ("HsSpokeCreateMemento", Memento, "(spoke_info)", ["__init__", "getSpokeInfo", "restore", "toDict"]),
    (
        "HsSpokeCmd",
        object,
        "(" + DEPLOY_PARAMS + "primary=True)",
        ["__init__", "_saveMememto", "create", "delete"],
    ),
    (
        "DeployHsSpokeGwCmd",
        AbstractCommand,
        "(" + DEPLOY_PARAMS + "natGwInfos=None, num_of_spoke=None)",
        ["__init__", "execute", "undo", "save_backup"],
    ),
    (
        "DeployClassicSpokeGwCmd",
        AbstractCommand,
        "(" + DEPLOY_PARAMS + "natGwInfos=None)",
        ["__init__", "execute", "undo"],
    ),
    ("SnatEnableMemento", Memento, "(spoke_gw_name)", ["__init__", "restore", "toDict"]),
    ("SnatCmd", object, "(spoke_gw_name)", ["__init__", "_saveMemento", "enable", "disable"]),
    (
        "ResizeSpokeGatewayMemento",
        Memento,
        "(spoke_gw_name, from_gw_size, to_gw_size)",
        ["__init__", "restore", "toDict"],
    ),
    (
        "ResizeSpokeGatewayCmd",
        object,
        "(spoke_gw_name, from_gw_size, to_gw_size)",
        ["__init__", "_saveMemento", "execute"],
    ),
]

# Constructor arguments and the attribute record they must produce, in order.
CONSTRUCTED = [
    ("HsSpokeCreateMemento", ({"gw_name": "gw-1"},), {"spoke_info": {"gw_name": "gw-1"}}),
    (
        "HsSpokeCmd",
        (),
        {
            "account_name": None,
            "spoke_gw_name": None,
            "spoke_gw_size": None,
            "vpc_id": None,
            "region": None,
            "primary": True,
        },
    ),
    (
        "DeployHsSpokeGwCmd",
        ("acct", "gw", "t3.small", "vpc-1", "eu-west-1", ["n"], 2),
        {
            "account_name": "acct",
            "spoke_gw_name": "gw",
            "spoke_gw_size": "t3.small",
            "vpc_id": "vpc-1",
            "region": "eu-west-1",
            "natGwInfos": ["n"],
            "num_of_spoke": 2,
        },
    ),
    (
        "DeployClassicSpokeGwCmd",
        (),
        {
            "account_name": None,
            "spoke_gw_name": None,
            "spoke_gw_size": None,
            "vpc_id": None,
            "region": None,
            "natGwInfos": None,
        },
    ),
    ("SnatEnableMemento", ("gw-1",), {"spoke_gw_name": "gw-1"}),
    ("SnatCmd", ("gw-1",), {"spoke_gw_name": "gw-1"}),
    (
        "ResizeSpokeGatewayMemento",
        ("gw-1", "A", "B"),
        {"spoke_gw_name": "gw-1", "from_gw_size": "A", "to_gw_size": "B"},
    ),
    (
        "ResizeSpokeGatewayCmd",
        ("gw-1", "A", "B"),
        {"spoke_gw_name": "gw-1", "from_gw_size": "A", "to_gw_size": "B"},
    ),
]


class TestOperations:
    def test_defined_in_order_with_their_parameters(self, spoke):
        own = [
            name
            for name, value in vars(spoke).items()
            if callable(value)
            and not isinstance(value, type)
            and getattr(value, "__module__", None) == spoke.__name__
        ]
        assert own == [name for name, _ in OPERATIONS]
        for name, signature in OPERATIONS:
            assert str(inspect.signature(getattr(spoke, name))) == signature, name

    def test_parameters_by_name_and_defaults(self, spoke):
        record = {
            "public_subnet": "10.0.0.0/24",
            "private_ip": "p",
            "gw_name": "g",
            "public_ip": "q",
            "gw_subnet_id": "s",
        }
        assert spoke.getSpokeInfo(subnet_cidr="10.0.0.0/24", info=record)["gw_name"] == "g"
        with pytest.raises(TypeError):
            spoke.getSpokeInfo(record)


class TestClasses:
    def test_defined_in_order_with_bases_and_methods(self, spoke):
        own = [
            n for n, v in vars(spoke).items() if isinstance(v, type) and v.__module__ == "tidewall.lib.spoke"
        ]
        assert own == [c[0] for c in CLASSES]
        for name, base, signature, methods in CLASSES:
            cls = getattr(spoke, name)
            assert cls.__bases__ == (base,), name
            assert str(inspect.signature(cls)) == signature, name
            assert [m for m in vars(cls) if m in methods] == methods, name

    @pytest.mark.parametrize(("name", "args", "attributes"), CONSTRUCTED, ids=[c[0] for c in CONSTRUCTED])
    def test_constructor_stores_attributes_in_order_without_base_initialiser(
        self, spoke, name, args, attributes
    ):
        obj = getattr(spoke, name)(*args)
        # The bases' own initialisers would add `created_by` (Memento) or `done` (AbstractCommand).
        assert list(obj.__dict__.items()) == list(attributes.items())

    def test_constructor_arguments_by_name(self, spoke):
        cmd = spoke.HsSpokeCmd(primary=False, region="r", spoke_gw_name="n")
        assert (cmd.spoke_gw_name, cmd.region, cmd.primary, cmd.account_name) == ("n", "r", False, None)
        deploy = spoke.DeployHsSpokeGwCmd(num_of_spoke=3)
        assert deploy.num_of_spoke == 3 and deploy.natGwInfos is None
        with pytest.raises(TypeError):
            spoke.ResizeSpokeGatewayCmd("gw", "A")

    def test_mementos_are_framework_mementos(self, spoke):
        for name in ("HsSpokeCreateMemento", "SnatEnableMemento", "ResizeSpokeGatewayMemento"):
            assert issubclass(getattr(spoke, name), Memento)
        assert isinstance(spoke.DeployHsSpokeGwCmd(), AbstractCommand)
        assert not issubclass(spoke.HsSpokeCmd, AbstractCommand)

    @pytest.mark.parametrize(("name", "args", "attributes"), [c for c in CONSTRUCTED if "Memento" in c[0]])
    def test_to_dict_is_the_live_attribute_dictionary(self, spoke, name, args, attributes):
        memento = getattr(spoke, name)(*args)
        state = memento.toDict()
        assert state is memento.__dict__
        assert state == attributes
        memento.extra = 1
        assert state["extra"] == 1

    @pytest.mark.parametrize(("name", "args", "attributes"), [c for c in CONSTRUCTED if "Memento" in c[0]])
    def test_memento_rebuilt_from_its_state_like_the_history_does(self, spoke, name, args, attributes):
        cls = getattr(spoke, name)
        state = json.loads(json.dumps(cls(*args).toDict()))
        rebuilt = cls.__new__(cls)
        rebuilt.__dict__.update(state)
        assert rebuilt.toDict() == attributes
        assert f"{cls.__module__}.{cls.__qualname__}" == f"tidewall.lib.spoke.{name}"

    def test_spoke_info_kept_as_the_same_object(self, spoke):
        info = {"gw_name": "gw-1"}
        memento = spoke.HsSpokeCmd()._saveMememto(info)
        assert type(memento) is spoke.HsSpokeCreateMemento
        assert memento.getSpokeInfo() is info


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
class TestCommandsNameTheirOwnClass:
    """Every command method announces itself under the class name of the object it runs on."""

    @pytest.mark.parametrize(
        ("name", "args", "call"),
        [
            ("SnatCmd", ("gw",), lambda c: c.enable()),
            ("SnatCmd", ("gw",), lambda c: c.disable()),
            ("ResizeSpokeGatewayCmd", ("gw", "A", "B"), lambda c: c.execute()),
            ("HsSpokeCmd", (None, "gw"), lambda c: c.delete()),
            ("HsSpokeCmd", (None, "gw", "t3.small"), lambda c: c.create("10.0.0.0/24", None, "t3.small")),
            ("DeployHsSpokeGwCmd", (None, "gw"), lambda c: c.undo()),
            ("DeployClassicSpokeGwCmd", (None, "gw"), lambda c: c.undo()),
        ],
    )
    def test_subclass_name_is_logged(self, spoke, controller, dry_run, log, name, args, call):
        subclass = type("Custom" + name, (getattr(spoke, name),), {})
        call(subclass(*args))
        assert log.operations == ["Custom" + name]


class TestLoading:
    @pytest.mark.parametrize(
        ("module", "name"),
        [
            ("tidewall.lib.corvane_backend", "handleControllerApiFailure"),
            ("tidewall.lib.corvane_backend", "handleControllerApiFailureAndExit"),
            ("tidewall.lib.corvane_backend", "_send_corvane_api"),
            ("tidewall.core.exceptions", "CorvaneRollbackException"),
            ("tidewall.commands.abstract_command", "AbstractCommand"),
            ("tidewall.commands.memento", "Memento"),
            ("tidewall.core.Globals", "Globals"),
            ("tidewall.lib.commonlib", "Common"),
        ],
    )
    def test_missing_outside_name_fails_the_import_and_a_later_import_works(self, module, name):
        script = textwrap.dedent(
            f"""
            import importlib, sys
            host = importlib.import_module({module!r})
            saved = getattr(host, {name!r})
            delattr(host, {name!r})
            try:
                import tidewall.lib.spoke
            except ImportError as exc:
                print(type(exc).__name__, exc.name, "|", exc)
                assert "tidewall.lib.spoke" not in sys.modules
            else:
                sys.exit("imported")
            setattr(host, {name!r}, saved)
            import tidewall.lib.spoke as spoke
            assert spoke.{name if name != "Common" else "comm"} is saved
            print("reloaded")
            """
        )
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        first, second = result.stdout.splitlines()
        assert first.startswith(f"ImportError {module} | cannot import name '{name}' from '{module}' (")
        assert second == "reloaded"

    def test_missing_outside_module_fails_with_the_interpreters_error(self):
        script = "import sys; sys.modules['tidewall.lib.corvane_backend'] = None\nimport tidewall.lib.spoke"
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert result.returncode == 1
        assert result.stderr.strip().splitlines()[-1] == (
            "ModuleNotFoundError: import of tidewall.lib.corvane_backend halted; None in sys.modules"
        )

    def test_a_second_load_has_its_own_namespace(self):
        script = textwrap.dedent(
            """
            import sys
            from tidewall.core.Globals import Globals
            import tidewall.lib.spoke as first
            del sys.modules["tidewall.lib.spoke"]
            import tidewall.lib.spoke as second
            assert second is not first and second.__name__ == "tidewall.lib.spoke"
            Globals.dry_run = True
            for module in (first, second):
                module.getSpokeInfo = lambda info, cidr, name=module: {"gw_name": id(name)}
                module.list_gateway_info = lambda **kwargs: type("R", (), {"json": lambda self: {"return": True, "results": [{}]}})()
            for module in (first, second):
                info = module.deployPrimaryHsSpoke("c", "u", "a", "p", "t", "v", "r", "10.0.0.0/24")
                assert info == {"gw_name": id(module)}, (info, id(module))
            print("ok")
            """
        )
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert result.stdout.strip() == "ok", result.stderr

    def test_help_shows_the_real_signatures(self, spoke):
        rendered = pydoc.render_doc(spoke, renderer=pydoc.plaintext)
        # From 3.13 pydoc puts each parameter of a long signature on a line of its own.
        rendered = re.sub(r"\(\n[ |]*((?:[^\n]*,\n[ |]*)*[^\n]*)\n[ |]*\)", _one_line, rendered)
        lines = [line.strip(" |") for line in rendered.splitlines()]
        for name, signature in OPERATIONS:
            assert f"{name}{signature}" in lines  # the whole line: nothing about the binding
        assert "class HsSpokeCmd(builtins.object)" in lines
        assert (
            "__init__(self, account_name=None, spoke_gw_name=None, spoke_gw_size=None, vpc_id=None, "
            "region=None, primary=True)" in lines
        )
        assert "create(self, subnet_cidr, eip, gw_size, ha_gw_name=None, tag=None)" in lines
        assert "class HsSpokeCreateMemento(tidewall.commands.memento.Memento)" in lines
        assert "toDict(self)" in lines

    def test_functions_present_themselves_as_the_modules_own(self, spoke):
        for name, _ in OPERATIONS:
            function = getattr(spoke, name)
            assert (function.__name__, function.__qualname__, function.__module__) == (
                name,
                name,
                spoke.__name__,
            )
            assert repr(function) == f"<built-in function {name}>"
        bound = spoke.SnatCmd("gw").enable
        assert bound.__self__.spoke_gw_name == "gw"
        assert bound.__func__ is spoke.SnatCmd.__dict__["enable"].__func__


def _one_line(wrapped):
    """A signature pydoc wrapped, one parameter a line, back on one line."""
    return "(" + " ".join(part.strip(" |") for part in wrapped.group(1).split("\n")) + ")"


def _stub_signature(function):
    args = function.args
    names = [a.arg for a in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    return "(" + ", ".join(n if d is None else f"{n}={d}" for n, d in zip(names, defaults, strict=True)) + ")"


def test_type_stub_matches_the_module(spoke):
    stub = Path(spoke.__file__).with_name("spoke.pyi")
    if not stub.exists():
        pytest.skip("no type stub next to the module")
    tree = ast.parse(stub.read_text())
    seen = []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            seen.append(node.name)
            assert str(inspect.signature(getattr(spoke, node.name))) == _stub_signature(node), node.name
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            seen.append(node.name)
            cls = getattr(spoke, node.name)
            for method in (n for n in node.body if isinstance(n, ast.FunctionDef)):
                assert str(inspect.signature(getattr(cls, method.name))) == _stub_signature(method), (
                    method.name
                )
    assert seen == [name for name, _ in OPERATIONS] + [c[0] for c in CLASSES]
