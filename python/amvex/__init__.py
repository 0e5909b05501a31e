"""Amvex amplifiers from Python: ctypes over the shared library, samples as
numpy arrays, host timestamps, MNE export.

The library is the one the AMVEX_LIBRARY environment variable names (an error
when it cannot be loaded), else the one next to this package, else the one on
the system's library path.
"""

from ._lib import AmvexError, LibraryNotFound, lib
from .clock import Clock
from .device import Amplifier, Block, Impedance, Info, UartRecord, devices
from .filters import Adaptive, Butterworth, Hardware, Window
from . import net  # streams served across the network (amvex.net.Inlet)

__version__ = "1.0.0"
__all__ = [
    "AmvexError",
    "LibraryNotFound",
    "lib",
    "Clock",
    "Amplifier",
    "Block",
    "Impedance",
    "Info",
    "UartRecord",
    "devices",
    "Adaptive",
    "Butterworth",
    "Hardware",
    "Window",
    "net",
]
