"""SORVEL_CAPTURE: a capture asked for is made or the constructor fails; a file closes with its
receiver, and the next receiver writes a file of its own."""

import asyncio
import contextlib
import errno
import gc
import os
import struct
import tempfile
from collections import namedtuple

import pytest

import pysorvel
from conftest import run_child, scenario_text, windows_lacks

Record = namedtuple("Record", "kind device endpoint data")

GET_INFO = 0x01


def read_pcap(path):
    """The usbmon records of `path`; fails on a second header, a cut record or a wrong length."""
    data = open(path, "rb").read()
    assert len(data) >= 24, "no pcap header"
    magic, major, minor, _, _, _, link = struct.unpack_from("<IHHiIII", data)
    assert (magic, major, minor, link) == (0xA1B2C3D4, 2, 4, 220)
    records = []
    offset = 24
    while offset < len(data):
        assert len(data) - offset >= 16, f"record header cut at {offset}"
        included, original = struct.unpack_from("<II", data, offset + 8)
        assert included == original and included >= 64, f"bad record at {offset}"
        body = offset + 16
        assert body + included <= len(data), f"record cut at {offset}"
        kind, _, endpoint, device = struct.unpack_from("<cBBB", data, body + 8)
        (captured,) = struct.unpack_from("<I", data, body + 36)
        assert captured == included - 64, f"length mismatch at {offset}"
        records.append(Record(kind.decode(), device, endpoint, data[body + 64:body + included]))
        offset = body + included
    return records


async def connect(sorvel):
    await sorvel.connect("LLA")


def commands(records):
    """The first byte of every command sent (OUT submissions on 0x01)."""
    return [r.data[0] for r in records if r.kind == "S" and r.endpoint == 0x01]


def open_paths():
    """What this process has open, as paths."""
    paths = set()
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            paths.add(os.readlink(f"/proc/self/fd/{fd}"))
    return paths


@contextlib.contextmanager
def unprivileged():
    """Runs the body as nobody when the tests run as root, so permissions apply."""
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        yield
        return
    os.seteuid(65534)
    try:
        yield
    finally:
        os.seteuid(0)


@pytest.fixture
def capture(monkeypatch, tmp_path):
    path = tmp_path / "session.pcap"
    monkeypatch.setenv("SORVEL_CAPTURE", str(path))
    return path


# ---- A capture that cannot be made fails the constructor, with nothing claimed ----

def missing_folder(tmp):
    return os.path.join(tmp, "missing", "session.pcap")


def read_only_file(tmp):
    path = os.path.join(tmp, "read-only.pcap")
    open(path, "wb").close()
    os.chmod(path, 0o444)
    if not hasattr(os, "geteuid"):  # no seteuid to give up privileges: see whether they bypass it
        try:
            open(path, "ab").close()
        except PermissionError:
            pass
        else:
            pytest.skip("this system writes read-only files for us (Wine run by root)")
    return path


@pytest.mark.parametrize("make_path, error_type, code", [
    (missing_folder, FileNotFoundError, errno.ENOENT),
    (lambda tmp: tmp, IsADirectoryError, errno.EISDIR),
    pytest.param(lambda tmp: "/dev/full", OSError, None, marks=windows_lacks("/dev/full")),
    (read_only_file, PermissionError, errno.EACCES),
], ids=["missing folder", "directory", "device", "read-only file"])
def test_unwritable_capture_fails_the_constructor_and_claims_nothing(
        kit, monkeypatch, make_path, error_type, code):
    kit()
    # A folder of its own that nobody may enter, so that only the file's own mode can refuse.
    tmp = tempfile.mkdtemp()
    os.chmod(tmp, 0o755)
    try:
        path = make_path(tmp)
        monkeypatch.setenv("SORVEL_CAPTURE", path)
        with unprivileged(), pytest.raises(OSError) as raised:
            pysorvel.Sorvel()
        assert type(raised.value) is error_type
        assert raised.value.errno == code
        assert raised.value.filename == (path if code else None)
        text = str(raised.value)
        assert "SORVEL_CAPTURE" in text and repr(path) in text, text
        if code is None:
            assert text.endswith(f"not a regular file: {path!r}"), text
        else:
            assert text.startswith(f"[Errno {code}] "), text
            assert os.strerror(code) in text, text

        monkeypatch.delenv("SORVEL_CAPTURE")
        assert pysorvel.Sorvel().status() == "not connected", "the receiver was left claimed"
    finally:
        with contextlib.suppress(OSError):
            os.chmod(os.path.join(tmp, "read-only.pcap"), 0o644)
        for name in os.listdir(tmp):
            os.remove(os.path.join(tmp, name))
        os.rmdir(tmp)


# A FIFO would block an ordinary open until a reader comes: run in a child that can be killed.
@windows_lacks("FIFOs")
@pytest.mark.parametrize("reader", [False, True], ids=["no reader", "a reader"])
def test_fifo_is_refused_without_blocking(tmp_path, reader):
    fifo = tmp_path / "capture.fifo"
    os.mkfifo(fifo)
    child = run_child(f"""
        import os, pysorvel
        if {reader}:
            reader = os.open({str(fifo)!r}, os.O_RDONLY | os.O_NONBLOCK)
        try:
            pysorvel.Sorvel()
        except OSError as error:
            print(type(error).__name__, error.errno, error)
    """, env={"SORVEL_VIRTUAL_KIT": scenario_text(), "SORVEL_CAPTURE": str(fifo)}, timeout=30)
    assert child.returncode == 0, child.stderr
    assert child.stdout.decode() == (
        f"OSError None cannot write the USB capture named by SORVEL_CAPTURE: "
        f"not a regular file: {str(fifo)!r}\n")


@windows_lacks("file size limits (RLIMIT_FSIZE)")
def test_header_that_cannot_be_written_fails_the_constructor(tmp_path):
    path = tmp_path / "session.pcap"
    # No file may grow: the header's write fails with EFBIG (SIGXFSZ ignored).
    child = run_child("""
    import resource, signal, pysorvel
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
    try:
        pysorvel.Sorvel()
    except OSError as error:
        print(type(error).__name__, error.errno, error.filename)
    """, env={"SORVEL_VIRTUAL_KIT": scenario_text(), "SORVEL_CAPTURE": str(path)})
    assert child.returncode == 0, child.stderr
    assert child.stdout.decode() == f"OSError {errno.EFBIG} {path}\n"


# ---- One file per receiver, closed with it ----

@windows_lacks("/proc to list open files")
def test_file_is_closed_with_its_receiver_and_replaced_by_the_next(kit, capture):
    kit()
    first = pysorvel.Sorvel()
    assert str(capture) in open_paths()
    asyncio.run(connect(first))
    del first
    gc.collect()
    assert str(capture) not in open_paths()
    assert len(commands(read_pcap(capture))) > 1

    second = pysorvel.Sorvel()
    records = read_pcap(capture)  # one header: the first receiver's records are gone
    assert commands(records) == [GET_INFO]
    assert {r.device for r in records} == {1}
    del second


@windows_lacks("deletion of a file held open (sharing violation)")
def test_deleted_file_is_not_reused_by_a_later_receiver(kit, capture):
    kit()
    first = pysorvel.Sorvel()
    os.remove(capture)
    kit()
    second = pysorvel.Sorvel()
    records = read_pcap(capture)
    assert commands(records) == [GET_INFO]
    assert {r.device for r in records} == {1}
    del first, second

