"""The module's public surface: attributes, docstrings, argument checks, exception classes."""

import importlib
import importlib.machinery
import importlib.util
import inspect

import pytest

import pysorvel
from conftest import CODES, NAMES, RECEIVER_NOT_FOUND, run, run_child


def test_module_exposes_only_sorvel_body_and_enable_log():
    public = {name for name in dir(pysorvel) if not name.startswith("_")}
    assert public == {"Sorvel", "Body", "enable_log"}
    private = {name for name in dir(pysorvel) if name.startswith("_") and name[1] != "_"}
    assert private == {"_ask_virtual_person"}
    assert isinstance(pysorvel.__doc__, str) and "\n" not in pysorvel.__doc__.strip()


def test_the_tools_body_part_table_is_the_extensions():
    extension = importlib.import_module("pysorvel._pysorvel")
    assert extension._BODY_PARTS == tuple(zip(CODES, NAMES))


def test_reloading_the_package_keeps_one_working_module():
    child = run_child(f"""
        import asyncio, importlib, json, os, sys
        import pysorvel
        sorvel_type = pysorvel.Sorvel
        reloaded = importlib.reload(pysorvel)
        assert reloaded is sys.modules["pysorvel"] and reloaded.Sorvel is sorvel_type
        assert "_pysorvel" not in dir(reloaded)
        os.environ["SORVEL_VIRTUAL_KIT"] = json.dumps({{}})
        kit = reloaded.Sorvel()

        async def first_frame():
            with kit.frames() as stream:
                await kit.connect("HE")
                await kit.start()
                async for frame in stream:
                    return frame.body_part

        print(asyncio.run(first_frame()), kit.status())
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.decode().strip() == "Head reporting data"


@pytest.mark.parametrize(
    "function, doc",
    [
        (pysorvel.Sorvel.status, "status($self)\n--\n\n"),
        (pysorvel.Sorvel.connect, "connect($self, group)\n--\n\nThis function will automatically "
                                  "connected to a recognized receiver."),
        (pysorvel.Sorvel.start, "start($self)\n--\n\nStart data collecting, you can only invoke "
                                "this function when connected."),
        (pysorvel.Sorvel.poll, "poll($self)\n--\n\nPoll one frame from the sensor report buffer, "
                               "you can only call this function after\ndata collection is started"),
        (pysorvel.Sorvel.lost_trackers, "lost_trackers($self)\n--\n\nThe paired trackers the "
                                        "receiver reported lost and has not reported back since, "
                                        "by body part."),
        (pysorvel.enable_log, "enable_log(level)\n--\n\nEnable logging for underlying driver. "
                              "Available levels are \"info\", \"debug\" and \"error\""),
    ],
)
def test_docstrings_carry_text_signatures(function, doc):
    signature_line, _, text = doc.partition("\n--\n\n")
    assert function.__text_signature__ == signature_line[signature_line.index("("):]
    assert (function.__doc__ or "") == text


def test_signatures_seen_by_inspect():
    assert str(inspect.signature(pysorvel.Sorvel)) == "()"
    assert str(inspect.signature(pysorvel.Sorvel.connect)) == "(self, /, group)"
    assert str(inspect.signature(pysorvel.enable_log)) == "(level)"


@pytest.mark.parametrize("args, kwargs", [((1,), {}), (("LLA",), {}), ((), {"group": "LLA"})])
def test_constructor_rejects_arguments_before_usb_access(kit, args, kwargs):
    kit(present=False)  # an open attempt would raise OSError instead
    with pytest.raises(TypeError, match="Sorvel"):
        pysorvel.Sorvel(*args, **kwargs)


@pytest.mark.parametrize("value, type_name", [(1, "int"), (b"LLA", "bytes"), (None, "NoneType"),
                                              (["LLA"], "list")])
def test_connect_group_must_be_str(kit, value, type_name):
    kit()
    sorvel = pysorvel.Sorvel()
    for call in (lambda: sorvel.connect(value), lambda: sorvel.connect(group=value)):
        with pytest.raises(TypeError) as raised:
            call()
        message = str(raised.value)
        assert "group" in message and type_name in message
    assert sorvel.status() == "not connected"


@pytest.mark.parametrize(
    "call, method",
    [
        (lambda s: s.connect(), "connect"),
        (lambda s: s.connect("LLA", "RLA"), "connect"),
        (lambda s: s.connect(groups="LLA"), "connect"),
        (lambda s: s.status(1), "status"),
        (lambda s: s.start(1), "start"),
        (lambda s: s.poll(None), "poll"),
        (lambda s: s.lost_trackers(1), "lost_trackers"),
    ],
    ids=["connect-missing", "connect-surplus", "connect-keyword", "status", "start", "poll",
         "lost_trackers"],
)
def test_argument_count_errors_name_the_method(kit, call, method):
    kit()
    sorvel = pysorvel.Sorvel()
    with pytest.raises(TypeError, match=method):
        call(sorvel)
    assert sorvel.status() == "not connected"


def test_connect_accepts_group_as_keyword(kit):
    kit()
    sorvel = pysorvel.Sorvel()

    async def main():
        await sorvel.connect(group="LLA")

    run(main())
    assert sorvel.status() == "connected"


@pytest.mark.parametrize("value, type_name", [(3, "int"), (None, "NoneType"), (b"info", "bytes")])
def test_enable_log_level_must_be_str(value, type_name):
    for call in (lambda: pysorvel.enable_log(value), lambda: pysorvel.enable_log(level=value)):
        with pytest.raises(TypeError) as raised:
            call()
        assert "level" in str(raised.value) and type_name in str(raised.value)


def test_panic_exception_is_a_base_exception_outside_the_module(panic_type):
    assert issubclass(panic_type, BaseException)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__name__ == "PanicException"
    assert not hasattr(pysorvel, "PanicException")


def test_report_type_is_not_a_module_attribute_and_cannot_be_called(kit):
    kit()
    sorvel = pysorvel.Sorvel()

    async def main():
        await sorvel.connect("LLA")
        await sorvel.start()

    run(main())
    report, _ = sorvel.poll()[0]
    report_type = type(report)
    assert report_type.__name__ == "Report"
    assert not hasattr(pysorvel, "Report")
    with pytest.raises(TypeError, match="^No constructor defined for Report$"):
        report_type()
    for name in ("acc", "rot", "accuracy", "location"):
        with pytest.raises(AttributeError):
            setattr(report, name, 0)


def test_support_module_init_is_exported_with_its_failure_class():
    extension = importlib.util.find_spec("pysorvel._pysorvel").origin
    loader = importlib.machinery.ExtensionFileLoader("pysorvel_runtime", extension)
    spec = importlib.util.spec_from_loader("pysorvel_runtime", loader)
    support = importlib.util.module_from_spec(spec)
    public = {name for name in dir(support) if not name.startswith("__")}
    assert public == {"TaskFailure"}
    assert issubclass(support.TaskFailure, Exception)
    assert not hasattr(pysorvel, "TaskFailure")


def test_reimport_in_the_same_interpreter_returns_the_same_module():
    child = run_child("""
        import sys, pysorvel
        first, extension = pysorvel, sys.modules["pysorvel._pysorvel"]
        del sys.modules["pysorvel"], sys.modules["pysorvel._pysorvel"]
        import pysorvel
        print(sys.modules["pysorvel._pysorvel"] is extension, pysorvel.Sorvel is first.Sorvel,
              pysorvel.enable_log is first.enable_log)
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.decode().split() == ["True", "True", "True"]


def test_names_belong_to_the_package(kit, panic_type):
    kit()
    sorvel = pysorvel.Sorvel()

    async def main():
        await sorvel.connect("LLA")
        await sorvel.start()

    run(main())
    report_type = type(sorvel.poll()[0][0])
    for thing, name in [(pysorvel.Sorvel, "Sorvel"), (report_type, "Report"),
                        (panic_type, "PanicException"), (pysorvel.enable_log, "enable_log"),
                        (RECEIVER_NOT_FOUND, "ReceiverNotFoundError")]:
        assert (thing.__module__, thing.__qualname__) == ("pysorvel", name)


def test_sub_interpreter_import_raises_import_error(tmp_path):
    result = tmp_path / "result.txt"
    inner = (
        "try:\n"
        "    import pysorvel\n"
        "    outcome = 'imported'\n"
        "except ImportError as error:\n"
        "    outcome = 'ImportError: ' + str(error)\n"
        f"open({str(result)!r}, 'w').write(outcome)\n"
    )
    child = run_child(f"""
        import pysorvel
        try:  # 3.13 and later; a legacy interpreter shares the lock and loads any module
            import _interpreters as interpreters
            interpreters.exec(interpreters.create("legacy"), {inner!r})
        except ImportError:
            import _xxsubinterpreters as interpreters
            interpreters.run_string(interpreters.create(), {inner!r})
    """)
    assert child.returncode == 0, child.stderr
    outcome = result.read_text()
    assert outcome.startswith("ImportError: ")
    assert "sub-interpreters are not supported" in outcome


def test_extension_file_also_loads_by_the_modules_former_name():
    extension = importlib.util.find_spec("pysorvel._pysorvel").origin
    loader = importlib.machinery.ExtensionFileLoader("pysorvel", extension)
    spec = importlib.util.spec_from_loader("pysorvel", loader)
    module = importlib.util.module_from_spec(spec)
    assert module.Sorvel is pysorvel.Sorvel
