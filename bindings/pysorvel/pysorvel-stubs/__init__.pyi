import asyncio
from typing import final

@final
class Report:
    @property
    def acc(self) -> tuple[float, float, float]: ...
    @property
    def rot(self) -> tuple[float, float, float, float]: ...
    @property
    def accuracy(self) -> int: ...
    @property
    def location(self) -> str: ...

@final
class Sorvel:
    def __init__(self) -> None: ...
    def status(self) -> str: ...
    def connect(self, group: str) -> asyncio.Future[None]:
        """This function will automatically connected to a recognized receiver."""
    def start(self) -> asyncio.Future[None]:
        """Start data collecting, you can only invoke this function when connected."""
    def poll(self) -> list[tuple[Report, bool]]:
        """Poll one frame from the sensor report buffer, you can only call this function after
        data collection is started"""

def enable_log(level: str) -> None:
    """Enable logging for underlying driver. Available levels are "info", "debug" and "error"."""
