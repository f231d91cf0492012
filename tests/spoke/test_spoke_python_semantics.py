"""The operations behave as Python functions do: comparisons, lookups and bad call forms."""

import inspect
import subprocess
import sys
import textwrap

import pytest
from spoke_support import nat

URL = "https://ctl.example/v2/api"


class NeverEqual:
    """A value that answers every comparison with "not equal", even against itself."""

    def __eq__(self, other):
        return False

    def __ne__(self, other):
        return True

    __hash__ = object.__hash__


class Reply:
    def __init__(self, body):
        self.body = body

    def json(self):
        return self.body


class Transport:
    """Stands in for `requests`; each request gets the next reply, decoded as given."""

    def __init__(self, *bodies):
        self.bodies = list(bodies)
        self.calls = []

    def get(self, url, **kwargs):
        self.calls.append(("GET", kwargs))
        return Reply(self.bodies.pop(0))

    def post(self, url, **kwargs):
        self.calls.append(("POST", kwargs))
        return Reply(self.bodies.pop(0))


class TestComparisonsAskTheValues:
    """`a == b` asks the values even when both are the same object, as Python's `==` does."""

    def test_subnet_match_in_spoke_info(self, spoke):
        cidr = NeverEqual()
        info = {
            "gw_name": "gw",
            "public_subnet": cidr,
            "private_ip": "p",
            "public_ip": "q",
            "gw_subnet_id": "s",
        }
        assert spoke.getSpokeInfo(info, cidr) == {"gw_name": None}

    def test_current_size_in_resize(self, spoke, monkeypatch):
        size = NeverEqual()
        transport = Transport(
            {"return": True, "results": {"vpc_size": size}}, {"return": True, "results": "ok"}
        )
        monkeypatch.setattr(spoke, "requests", transport)
        spoke.changeSpokeSize("cid", URL, "gw", size)
        assert [method for method, _ in transport.calls] == ["GET", "POST"]


class TestServedSubnets:
    """Every existing gateway record is compared with the subnet, also after a first match."""

    def test_record_without_cidr_after_a_match_raises_key_error(self, spoke, monkeypatch, log):
        monkeypatch.setattr(spoke, "requests", Transport({"return": True, "results": []}))
        monkeypatch.setattr(
            spoke,
            "getSubnetWithSpokeGw",
            lambda *args: [{"gw_name": "gw", "cidr": "10.0.1.0/24"}, {"gw_name": "gw-hagw"}],
        )
        with pytest.raises(KeyError) as caught:
            spoke.deployHsSpoke("cid", URL, "acct", "gw", None, "vpc", "r", [nat("10.0.1.0/24", "n0")], 1)
        assert caught.value.args == ("cidr",)
        assert not any("already has" in m for m in log.messages)

    def test_first_of_several_gateways_in_the_subnet_is_named(self, spoke, monkeypatch, log):
        monkeypatch.setattr(spoke, "requests", Transport({"return": True, "results": []}))
        monkeypatch.setattr(
            spoke,
            "getSubnetWithSpokeGw",
            lambda *args: [
                {"gw_name": "gw-a", "cidr": "10.0.9.0/24"},
                {"gw_name": "gw-b", "cidr": "10.0.1.0/24"},
                {"gw_name": "gw-c", "cidr": "10.0.1.0/24"},
            ],
        )
        spoke.deployHsSpoke("cid", URL, "acct", "gw", None, "vpc", "r", [nat("10.0.1.0/24", "n0")], 1)
        assert log.messages[-1] == "  subnet 10.0.1.0/24 already has a spoke gw gw-b"


# ---- call forms: the TypeError a Python function of the same signature raises

OPERATIONS = [
    "getSpokeInfo",
    "list_gateway_info",
    "getSubnetWithSpokeGw",
    "changeSpokeSize",
    "deployClassicSpoke",
    "deployPrimaryHsSpoke",
    "deployHaHsSpoke",
    "deployHsSpoke",
    "deleteSpoke",
    "deleteHsSpoke",
    "deleteAllHsSpokes",
    "enableSNAT",
    "disable_snat",
]
METHODS = [
    ("HsSpokeCreateMemento", ["__init__", "getSpokeInfo", "restore", "toDict"]),
    ("HsSpokeCmd", ["__init__", "_saveMememto", "create", "delete"]),
    ("DeployHsSpokeGwCmd", ["__init__", "execute", "undo", "save_backup"]),
    ("DeployClassicSpokeGwCmd", ["__init__", "execute", "undo"]),
    ("SnatEnableMemento", ["__init__", "restore", "toDict"]),
    ("SnatCmd", ["__init__", "_saveMemento", "enable", "disable"]),
    ("ResizeSpokeGatewayMemento", ["__init__", "restore", "toDict"]),
    ("ResizeSpokeGatewayCmd", ["__init__", "_saveMemento", "execute"]),
]


def python_twin(function, qualname):
    """A Python function with the same signature and qualified name."""
    namespace = {}
    exec(f"def twin{inspect.signature(function)}: pass", namespace)  # noqa: S102 - test-built source
    twin = namespace["twin"]
    twin.__qualname__ = qualname
    return twin


def bad_calls(function):
    """Argument lists that do not fit the signature, in every way Python reports."""
    names = list(inspect.signature(function).parameters)
    calls = [
        ((), {}),
        ((None,) * (len(names) + 1), {}),
        ((None,) * (len(names) + 3), {}),
        ((), {"no_such_parameter": 1}),
        ((None,) * len(names), {"no_such_parameter": 1}),
        ((None,) * (len(names) + 1), {"no_such_parameter": 1}),
    ]
    if names:
        calls.append(((None,), {names[0]: None}))
        calls.append(((), {names[-1]: None}))
    if len(names) > 1:
        calls.append(((None,) * (len(names) + 1), {names[0]: None}))
    return calls


def raised(call):
    try:
        call()
    except TypeError as exc:
        return str(exc)
    return None


def assert_same_errors(function, twin, bound_to=()):
    for args, kwargs in bad_calls(twin):
        expected = raised(lambda a=args, k=kwargs: twin(*bound_to, *a, **k))
        if expected is None:
            continue  # the call fits the signature
        assert raised(lambda a=args, k=kwargs: function(*a, **k)) == expected, (args, kwargs)


class TestCallForms:
    @pytest.mark.parametrize("name", OPERATIONS)
    def test_operation(self, spoke, name):
        function = getattr(spoke, name)
        assert_same_errors(function, python_twin(function, name))

    @pytest.mark.parametrize(("cls_name", "methods"), METHODS)
    def test_methods_bound_and_unbound(self, spoke, cls_name, methods):
        cls = getattr(spoke, cls_name)
        instance = cls.__new__(cls)
        for name in methods:
            function = cls.__dict__[name]
            twin = python_twin(function, f"{cls_name}.{name}")
            assert_same_errors(getattr(instance, name), twin, bound_to=(instance,))
            assert_same_errors(getattr(cls, name), twin)

    @pytest.mark.parametrize(("cls_name", "methods"), METHODS)
    def test_constructor_call(self, spoke, cls_name, methods):
        cls = getattr(spoke, cls_name)
        twin = python_twin(cls.__dict__["__init__"], f"{cls_name}.__init__")
        assert_same_errors(cls, twin, bound_to=(object(),))

    def test_constructor_is_named_init(self, spoke):
        for cls_name, _ in METHODS:
            init = getattr(spoke, cls_name).__dict__["__init__"]
            assert init.__name__ == "__init__"
            assert inspect.signature(init).parameters.keys() >= {"self"}

    def test_arguments_by_name_in_any_order(self, spoke):
        info = {
            "public_subnet": "c",
            "gw_name": "gw",
            "private_ip": "p",
            "public_ip": "q",
            "gw_subnet_id": "s",
        }
        assert spoke.getSpokeInfo(subnet_cidr="c", info=info)["gw_name"] == "gw"
        cmd = spoke.HsSpokeCmd(primary=False, spoke_gw_name="gw")
        assert (cmd.spoke_gw_name, cmd.primary, cmd.account_name) == ("gw", False, None)


# ---- class calls: what `cls(...)` does for a Python class with that __init__

CLASS_ARGUMENTS = [
    ("HsSpokeCreateMemento", ({"gw_name": "gw"},)),
    ("HsSpokeCmd", ("acct", "gw", None, "vpc-1", "r")),
    ("DeployHsSpokeGwCmd", ("acct", "gw", "t3.small", "vpc-1", "r", ["n"], 2)),
    ("DeployClassicSpokeGwCmd", ("acct", "gw")),
    ("SnatEnableMemento", ("gw",)),
    ("SnatCmd", ("gw",)),
    ("ResizeSpokeGatewayMemento", ("gw", "A", "B")),
    ("ResizeSpokeGatewayCmd", ("gw", "A", "B")),
]
CLASS_IDS = [name for name, _ in CLASS_ARGUMENTS]


def parameters(cls):
    return [p for p in inspect.signature(cls.__dict__["__init__"]).parameters if p != "self"]


class TestClassCalls:
    @pytest.mark.parametrize(("cls_name", "args"), CLASS_ARGUMENTS, ids=CLASS_IDS)
    def test_every_call_form_stores_the_same_attributes(self, spoke, cls_name, args):
        import functools

        cls = getattr(spoke, cls_name)
        expected = vars(cls(*args))
        by_name = dict(zip(parameters(cls), args, strict=False))
        assert vars(cls(**by_name)) == expected
        assert vars(cls(*args[:1], **dict(list(by_name.items())[1:]))) == expected
        assert vars(functools.partial(cls, *args[:1])(*args[1:])) == expected
        assert vars(cls.__call__(*args)) == expected
        assert list(vars(cls(**dict(reversed(by_name.items()))))) == parameters(cls)

    @pytest.mark.parametrize(("cls_name", "args"), CLASS_ARGUMENTS, ids=CLASS_IDS)
    def test_subclasses_initialise_through_the_base(self, spoke, cls_name, args):
        cls = getattr(spoke, cls_name)

        class Own(cls):
            def __init__(self, *a, **k):
                self.first = True
                super().__init__(*a, **k)

        class Inherited(cls):
            pass

        assert list(vars(Own(*args))) == ["first", *parameters(cls)]
        assert vars(Inherited(*args)) == vars(cls(*args))
        assert type(Inherited(*args)) is Inherited

    @pytest.mark.parametrize(("cls_name", "args"), CLASS_ARGUMENTS, ids=CLASS_IDS)
    def test_stores_go_through_the_attribute_protocol(self, spoke, cls_name, args):
        cls = getattr(spoke, cls_name)
        first = parameters(cls)[0]
        seen = []

        class Watched(cls):
            def __setattr__(self, name, value):
                seen.append(name)
                super().__setattr__(name, value)

        Watched(*args)
        assert seen == parameters(cls)

        class Guarded(cls):
            def _refuse(self, value):
                raise ValueError(f"no {value!r}")

        setattr(Guarded, first, property(lambda self: "read", Guarded._refuse))
        with pytest.raises(ValueError, match="no "):
            Guarded(*args)

    def test_replaced_init_and_new_are_honoured(self):
        # In a fresh interpreter: the classes are changed for good.
        script = textwrap.dedent(
            """
            import tidewall.lib.spoke as spoke
            for cls, args in ((spoke.HsSpokeCmd, ("a", "gw")), (spoke.DeployHsSpokeGwCmd, ("a", "gw"))):
                original = cls.__dict__["__init__"]
                cls.__init__ = lambda self, *a, **k: setattr(self, "seen", (a, k))
                assert vars(cls(*args, region="r")) == {"seen": (args, {"region": "r"})}
                cls.__init__ = original
                assert vars(cls(*args))["spoke_gw_name"] == "gw"
                made = object()
                cls.__new__ = staticmethod(lambda c, *a, **k: made)
                assert cls(*args) is made
            def refuse(self, value):
                raise ValueError(value)
            spoke.SnatCmd.spoke_gw_name = property(lambda self: "read", refuse)
            try:
                spoke.SnatCmd("gw")
            except ValueError as e:
                assert e.args == ("gw",)
            else:
                raise AssertionError("stored past the property")
            print("ok")
            """
        )
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert result.stdout.strip() == "ok", result.stderr
