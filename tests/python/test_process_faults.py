"""What a hostile or unlucky caller does to the process: fork, Ctrl-C, drops and cancellations
racing the receiver's release."""

import textwrap

import pytest

import pysorvel
from conftest import run, run_child, scenario_text, windows_lacks

# Child scripts start with this: a kit of their own and the usual connect-and-start.
PRELUDE = """
import asyncio, os, signal, sys, threading, time
import pysorvel

async def connect_and_start(sorvel, group):
    await sorvel.connect(group)
    await sorvel.start()

def fresh_frame(sorvel, deadline=10.0):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if any(fresh for _, fresh in sorvel.poll()):
            return True
        time.sleep(0.005)
    return False
"""

FORK_CHILDREN = {
    # The inherited object dropped by hand, then a receiver of the child's own.
    "del": """
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)
            del parent
            child = pysorvel.Sorvel()
            asyncio.run(connect_and_start(child, "HE"))
            os._exit(0 if fresh_frame(child) else 3)
    """,
    # The child ends the normal way: finalisation drops the inherited object.
    "exit": """
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)
            child = pysorvel.Sorvel()
            asyncio.run(connect_and_start(child, "HE"))
            sys.exit(0 if fresh_frame(child) else 3)
    """,
    "multiprocessing": """
        import multiprocessing
        def work():
            child = pysorvel.Sorvel()
            asyncio.run(connect_and_start(child, "HE"))
            sys.exit(0 if fresh_frame(child) else 3)
        process = multiprocessing.get_context("fork").Process(target=work)
        process.start()
        process.join(20)
        pid = None
        if process.exitcode != 0:
            print("child exit code", process.exitcode)
    """,
}


@windows_lacks("os.fork")
@pytest.mark.parametrize("mode", sorted(FORK_CHILDREN))
def test_forked_child_opens_its_own_receiver_and_the_parent_streams_on(mode):
    code = PRELUDE + """
parent = pysorvel.Sorvel()
asyncio.run(connect_and_start(parent, "LLA, RLA"))
assert fresh_frame(parent)
""" + textwrap.dedent(FORK_CHILDREN[mode]) + """
if pid is not None:
    _, status = os.waitpid(pid, 0)
    print("child exit code", os.waitstatus_to_exitcode(status))
print("parent status", parent.status())
print("parent fresh", fresh_frame(parent))
"""
    env = {"SORVEL_VIRTUAL_KIT": scenario_text(stream={"rate_hz": 200})}
    child = run_child(code, env=env, timeout=60)
    out = child.stdout.decode()
    assert child.returncode == 0, out + child.stderr.decode()
    assert "child exit code" not in out or "child exit code 0" in out
    assert "parent status reporting data" in out
    assert "parent fresh True" in out


@windows_lacks("os.fork")
def test_inherited_objects_refuse_use_in_the_child_and_go_without_touching_the_parents(panic_type):
    code = PRELUDE + """
parent = pysorvel.Sorvel()
stream = parent.frames()
pid = os.fork()
if pid == 0:
    signal.alarm(20)
    for call in (parent.status, parent.poll, lambda: parent.connect("HE"), parent.start,
                 stream.drain, lambda: stream.dropped, stream.close, stream.__enter__,
                 lambda: stream.__exit__(None, None, None), stream.__anext__):
        try:
            call()
        except BaseException as error:
            print(type(error).__name__, error)
    del call, stream, parent
    print("let go")
    sys.stdout.flush()
    os._exit(0)
_, status = os.waitpid(pid, 0)
print("child exit code", os.waitstatus_to_exitcode(status))
print("parent", parent.status(), stream.drain())
"""
    child = run_child(code, env={"SORVEL_VIRTUAL_KIT": scenario_text()}, timeout=60)
    lines = child.stdout.decode().splitlines()
    refused = "PanicException this {} was opened by the parent process; open a new one here"
    assert lines == [refused.format("Sorvel")] * 4 + [refused.format("FrameStream")] * 6 + [
        "let go", "child exit code 0", "parent not connected []"], child.stderr.decode()


@windows_lacks("SIGINT sent to a process from another one")
def test_ctrl_c_interrupts_the_constructor_and_releases_the_receiver():
    code = PRELUDE + """
# From another process, as a terminal would: no thread of this one runs while the lock is held.
import subprocess
subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
started = time.monotonic()
try:
    pysorvel.Sorvel()
except KeyboardInterrupt:
    print("interrupted before the time-out", time.monotonic() - started < 2.0)
# Released: the next open reaches the silent receiver again instead of finding it busy.
try:
    pysorvel.Sorvel()
except BaseException as error:
    print(type(error).__name__, str(error).split(": ")[-1])
"""
    env = {"SORVEL_VIRTUAL_KIT": scenario_text(silent=["GetInfo"])}
    child = run_child(code, env=env, timeout=60)
    assert child.stdout.decode().splitlines() == [
        "interrupted before the time-out True",
        "PanicException ResponseTimeout",
    ], child.stderr.decode()


def test_receiver_is_free_once_the_last_awaitable_of_a_dropped_object_is_done(kit):
    kit()

    async def main():
        for _ in range(40):
            sorvel = pysorvel.Sorvel()
            pending = sorvel.connect("HE")
            del sorvel
            await pending
            pysorvel.Sorvel()  # raises when the receiver is still held

    run(main())
