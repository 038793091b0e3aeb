"""Every frame of a kit on the Lab Streaming Layer, from an asyncio program: `Publisher` pairs,
starts and publishes a kit (and a calibrated body's pose), `FrameOutlets` publishes frames taken
elsewhere, `PoseOutlet` poses solved elsewhere. Needs the lsl extra:
pip install "pysorvel[lsl]"."""

from ._lsl import require_pylsl

require_pylsl()

from ._lsl_outlets import FrameOutlets, PoseOutlet, Publisher  # noqa: E402

__all__ = ["FrameOutlets", "PoseOutlet", "Publisher"]
