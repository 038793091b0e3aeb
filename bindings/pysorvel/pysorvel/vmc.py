"""The solved pose of a kit over OSC, from an asyncio program: `PoseSender` sends a Body's pose
of what a poll returns to a VMC receiver, or to VRChat's OSC trackers, so many times a second.
Needs the osc extra: pip install "pysorvel[osc]"."""

from ._vmc import require_osc

require_osc()

from ._osc_sender import VMC_PORT, VRCHAT_PORT, PoseSender  # noqa: E402

__all__ = ["PoseSender", "VMC_PORT", "VRCHAT_PORT"]
