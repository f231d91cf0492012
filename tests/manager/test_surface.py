"""Loading of tidewall.commands.natgw_eip_handover and the shape of class Manager."""

import inspect
import logging
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tidewall

from .conftest import HANDOVER, OUTSIDE

# Where the tidewall under test is importable from (the sources in development, site-packages in CI).
SRC = str(Path(tidewall.__file__).resolve().parents[1])


class TestModuleBindings:
    def test_outside_names_are_module_attributes(self, handover):
        for module, names in OUTSIDE.items():
            for name in names:
                assert hasattr(handover, name), f"{name} from {module}"
        assert handover.os is sys.modules["os"]
        assert handover.logging is logging
        assert handover.traceback is sys.modules["traceback"]

    @pytest.mark.parametrize(
        "prepare, error, text",
        [
            (
                "import tidewall.lib.natgw as m; del m.NatGwCmd",
                ImportError,
                "cannot import name 'NatGwCmd' from 'tidewall.lib.natgw'",
            ),
            (
                "sys.modules['tidewall.commands.history'] = None",
                ModuleNotFoundError,
                "import of tidewall.commands.history halted; None in sys.modules",
            ),
            (
                "import tidewall.lib.test as m; del m.TestCmd",
                ImportError,
                "cannot import name 'TestCmd' from 'tidewall.lib.test'",
            ),
        ],
    )
    def test_missing_name_fails_the_load_with_the_interpreters_import_error(self, prepare, error, text):
        script = textwrap.dedent(
            f"""
            import sys
            {prepare}
            try:
                import {HANDOVER}
            except ImportError as e:
                print(type(e).__name__, "|", e, "|", e.name, "|", e.__cause__)
            else:
                print("loaded")
            """
        )
        out = subprocess.run(
            [sys.executable, "-c", script],
            env={"PYTHONPATH": SRC},
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert out.returncode == 0, out.stderr
        kind, message, name, cause = (part.strip() for part in out.stdout.split("|"))
        assert kind == error.__name__
        assert message.startswith(text)
        assert name.startswith("tidewall.")
        assert cause == "None"  # the interpreter's own error, not a wrapper


class TestManagerClass:
    def test_class_statement_equivalent(self, Manager, handover):
        from tidewall.commands.base_case_handler import BaseCaseHandler

        assert issubclass(Manager, BaseCaseHandler)
        assert Manager.__module__ == HANDOVER
        assert Manager.__qualname__ == "Manager"
        assert handover.Manager is Manager

    def test_methods_in_order_all_class_level(self, Manager):
        own = [k for k, v in vars(Manager).items() if isinstance(v, classmethod)]
        assert own == ["get_natgw_id_by_subnet", "get_natgw_infos", "execute", "revert", "cleanup"]

    @pytest.mark.parametrize(
        "name, params",
        [
            ("get_natgw_id_by_subnet", ["ec2_client", "subnet_id", "vpc_id"]),
            ("get_natgw_infos", ["ec2_client", "ca"]),
            ("execute", ["config"]),
            ("revert", ["config"]),
            ("cleanup", ["config"]),
        ],
    )
    def test_signatures(self, Manager, name, params):
        assert list(inspect.signature(getattr(Manager, name)).parameters) == params

    def test_execute_and_revert_are_wrapped_by_logged_cleanup_is_not(self, Manager):
        for name in ("execute", "revert"):
            func = vars(Manager)[name].__func__
            assert func.__wrapped__.__name__ == name
            assert func.__code__.co_filename.endswith("base_case_handler.py")
            assert func.__module__ == HANDOVER
        assert not hasattr(vars(Manager)["cleanup"].__func__, "__wrapped__")

    def test_help_renders(self, Manager):
        import pydoc

        text = pydoc.render_doc(Manager)
        assert "execute(config)" in text and "revert(config)" in text


class TestCallForms:
    """A call that does not fit a Manager method fails with the interpreter's own TypeError text."""

    @pytest.mark.parametrize(
        "name, params",
        [
            ("get_natgw_id_by_subnet", "ec2_client, subnet_id, vpc_id"),
            ("get_natgw_infos", "ec2_client, ca"),
            ("execute", "config"),
            ("revert", "config"),
            ("cleanup", "config"),
        ],
    )
    def test_wrong_calls(self, Manager, name, params):
        namespace = {}
        exec(f"class Manager:\n    @classmethod\n    def {name}(cls, {params}): pass", namespace)  # noqa: S102
        twin = getattr(namespace["Manager"], name)
        count = len(params.split(", "))
        calls = [
            ((), {}),
            ((None,) * (count + 1), {}),
            ((), {"nope": 1}),
            ((None,), {params.split(", ")[0]: 1}),
        ]
        for args, kwargs in calls:
            with pytest.raises(TypeError) as expected:
                twin(*args, **kwargs)
            with pytest.raises(TypeError) as got:
                getattr(Manager, name)(*args, **kwargs)
            assert str(got.value) == str(expected.value), (args, kwargs)
