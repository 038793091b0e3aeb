"""Every frame of a kit on the Lab Streaming Layer, from an asyncio program: `Publisher` pairs,
starts and publishes a kit, `FrameOutlets` publishes frames taken elsewhere. Needs the lsl extra:
pip install "pysorvel[lsl]"."""

from ._lsl import require_pylsl

require_pylsl()

from ._lsl_outlets import FrameOutlets, Publisher  # noqa: E402

__all__ = ["FrameOutlets", "Publisher"]
