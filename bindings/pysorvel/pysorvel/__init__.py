"""Driver of the Sorvel wireless body-tracking kit."""

# Everything public lives in the extension, whose classes and functions already name this package
# as their module. The submodule itself stays out of the package's namespace, so that the names
# users see are exactly the extension's.
from ._pysorvel import *  # noqa: F403

# Bound by the import system when it first loads the submodule; a reload finds it loaded already
# and binds nothing.
globals().pop("_pysorvel", None)

# For the tools that walk a user through calibration: the virtual kit's person plays along.
from ._pysorvel import _ask_virtual_person  # noqa: E402, F401

# Body.hold's coroutine, loaded now so that its first use does not bind it here either.
from . import _hold  # noqa: E402, F401

globals().pop("_hold", None)
