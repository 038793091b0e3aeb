"""Awaitables: running-loop lookup, cancellation, delivery context, failed delivery, exit."""

import asyncio
import contextvars
import gc
import sys
import threading
import time

import pytest

import pysorvel
from conftest import run, run_child, scenario_text, tracker


@pytest.mark.parametrize("call", [lambda s: s.connect("LLA"), lambda s: s.start()],
                         ids=["connect", "start"])
def test_without_running_loop_raises_runtime_error(kit, call):
    kit()
    sorvel = pysorvel.Sorvel()
    with pytest.raises(RuntimeError, match="no running event loop"):
        call(sorvel)
    assert sorvel.status() == "not connected"


def test_bad_group_is_reported_before_the_loop_lookup(kit, panic_type):
    kit()
    sorvel = pysorvel.Sorvel()
    with pytest.raises(panic_type, match="^Unexpected point expression$"):
        sorvel.connect("LLA, XX")


def test_future_belongs_to_the_running_loop_and_outlives_the_object(kit):
    kit()
    sorvel = pysorvel.Sorvel()

    async def main():
        future = sorvel.connect("LLA")
        assert isinstance(future, asyncio.Future)
        assert future.get_loop() is asyncio.get_running_loop()
        return future

    async def outlive():
        future = await main()
        nonlocal sorvel
        del sorvel
        gc.collect()
        assert await future is None

    run(outlive())
    gc.collect()
    # The finished pairing released its handle: the receiver opens again.
    assert pysorvel.Sorvel().status() == "not connected"


def test_cancelled_connect_leaves_status_and_pairs_again_afterwards(kit):
    kit(trackers=[tracker(1, "LLA", announce="silent"), tracker(2, "RLA")])
    sorvel = pysorvel.Sorvel()

    async def main():
        await sorvel.connect("RLA")
        future = sorvel.connect("LLA")  # never completes on its own: LLA stays silent
        await asyncio.sleep(0.05)
        future.cancel()
        with pytest.raises(asyncio.CancelledError):
            await future
        assert sorvel.status() == "connected"
        # The dropped pairing holds nothing: a new one runs to completion.
        await sorvel.connect("RLA")

    run(main())
    assert sorvel.status() == "connected"


@pytest.mark.parametrize("delay", [0, 0.05], ids=["before-first-step", "while-pairing"])
def test_cancelled_pairing_is_dropped_and_releases_the_receiver(kit, panic_type, delay):
    # A silent tracker keeps the pairing waiting (300 s), holding the driver, unless it is
    # dropped: only then can the receiver be opened again once the object is gone.
    kit(trackers=[tracker(1, "LLA", announce="silent")])
    sorvel = pysorvel.Sorvel()

    async def main():
        future = sorvel.connect("LLA")
        await asyncio.sleep(delay)
        future.cancel()
        with pytest.raises(asyncio.CancelledError):
            await future

    run(main())
    assert sorvel.status() == "not connected"
    del sorvel
    gc.collect()
    deadline = time.monotonic() + 20
    while True:
        try:
            reopened = pysorvel.Sorvel()
            break
        except panic_type as error:  # the dropped task lets go of its handle on its own thread
            assert "busy" in str(error) and time.monotonic() < deadline, str(error)
            time.sleep(0.02)
    assert reopened.status() == "not connected"


def test_each_result_is_delivered_on_the_loop_thread_in_the_callers_context(kit):
    kit()
    sorvel = pysorvel.Sorvel()
    var = contextvars.ContextVar("var", default="unset")

    class RecordingFuture(asyncio.Future):
        def set_result(self, result):
            self.seen = (var.get(), threading.get_ident())
            super().set_result(result)

        def set_exception(self, exception):
            self.seen = (var.get(), threading.get_ident())
            super().set_exception(exception)

    class RecordingLoop(asyncio.SelectorEventLoop):
        def create_future(self):
            return RecordingFuture(loop=self)

    async def main():
        await sorvel.connect("LLA")
        var.set("first")
        first = sorvel.start()
        var.set("second")
        second = sorvel.start()
        var.set("later")
        await asyncio.gather(first, second)
        return first.seen, second.seen

    with asyncio.Runner(loop_factory=RecordingLoop) as runner:
        seen = runner.run(main())
    loop_thread = threading.get_ident()
    assert seen == (("first", loop_thread), ("second", loop_thread))
    assert sorvel.status() == "reporting data"


def test_failed_delivery_to_a_closed_loop_is_reported_as_unraisable(kit, monkeypatch):
    kit(ready_to_report=False)  # the pairing fails only after the ReadyToReport time-out
    sorvel = pysorvel.Sorvel()
    reported = []
    delivered = threading.Event()

    def hook(unraisable):
        reported.append(unraisable.exc_value)
        delivered.set()

    monkeypatch.setattr(sys, "unraisablehook", hook)

    async def make():
        return sorvel.connect("LLA")

    loop = asyncio.new_event_loop()
    future = loop.run_until_complete(make())
    loop.close()
    assert delivered.wait(60)
    assert len(reported) == 1
    assert isinstance(reported[0], RuntimeError) and "closed" in str(reported[0])
    assert not future.done()


@pytest.mark.parametrize("scenario, body", [
    # Pairing never ends: the task is still waiting when the interpreter exits.
    (dict(trackers=[{"address": [16, 0, 0, 0, 0, 1], "body_part": "LLA", "announce": "silent"}]),
     """
        async def main():
            s.connect("LLA")
            await asyncio.sleep(0.1)
        asyncio.run(main())
     """),
    # Streaming and logging while the interpreter shuts down.
    ({}, """
        pysorvel.enable_log("info")
        async def main():
            await s.connect("LLA, RLA")
            await s.start()
        asyncio.run(main())
        s.poll()
     """),
    # The result arrives for a loop that never runs again.
    ({}, """
        async def make():
            return s.connect("LLA")
        loop = asyncio.new_event_loop()
        future = loop.run_until_complete(make())
     """),
], ids=["pending-connect", "streaming", "idle-loop"])
def test_process_exits_cleanly_with_work_in_flight(scenario, body):
    import textwrap
    code = "import asyncio, pysorvel\ns = pysorvel.Sorvel()\n" + textwrap.dedent(body)
    child = run_child(code, env={"SORVEL_VIRTUAL_KIT": scenario_text(**scenario)})
    assert child.returncode == 0, child.stderr
    assert child.stderr == b""
