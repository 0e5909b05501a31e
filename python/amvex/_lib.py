"""Finding and loading the Amvex shared library, the exports' prototypes, and
the error every failed call becomes."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import pathlib
import sys

from ctypes import POINTER, c_double, c_int16, c_int32, c_uint32, c_void_p, c_char_p

_i32p = POINTER(c_int32)
_u32p = POINTER(c_uint32)
_i16p = POINTER(c_int16)

# Every export this package calls: name -> (result type, argument types).
_PROTOTYPES = {
    "GetAmxCount": (c_int32, []),
    "GetAmxID": (c_int32, [c_int32]),
    "AmxOpen": (c_int32, [c_int32]),
    "AmxClose": (c_int32, [c_int32]),
    "AmxReset": (c_int32, [c_int32]),
    "AmxInfo": (c_int32, [c_int32, c_void_p, c_int32]),
    "AmxInternalInfo": (c_int32, [c_int32, c_void_p, c_int32]),
    "AmxDebugState": (c_int32, [c_int32, _i32p]),
    "AmxStart": (c_int32, [c_int32]),
    "AmxStop": (c_int32, [c_int32]),
    "AmxRead": (c_int32, [c_int32, c_void_p, c_int32, _i32p]),
    "AmxGetSampling": (c_int32, [c_int32, _i32p]),
    "AmxSetSampling": (c_int32, [c_int32, c_int32]),
    "AmxGetSync": (c_int32, [c_int32, _i32p, _i32p]),
    "AmxSetSync": (c_int32, [c_int32, c_int32, c_int32]),
    "AmxPullUp": (c_int32, [c_int32, c_int32, c_int32]),
    "AmxSetAnalogConfig": (c_int32, [c_int32, c_uint32]),
    "AmxGetAnalogConfig": (c_int32, [c_int32, _u32p]),
    "AmxSetUartBound": (c_int32, [c_int32, c_int32]),
    "AmxGetUartBound": (c_int32, [c_int32, _i32p]),
    "AmxUartRead": (c_int32, [c_int32, c_void_p, c_int32, _i32p]),
    "AmxReadSystemEEPROM": (c_int32, [c_int32, c_void_p, c_int32]),
    "AmxWriteSystemEEPROM": (c_int32, [c_int32, c_void_p, c_int32]),
    "AmxReadUserEEPROM": (c_int32, [c_int32, c_void_p, c_int32]),
    "AmxWriteUserEEPROM": (c_int32, [c_int32, c_void_p, c_int32]),
    "AmxGetCalibrateFlag": (c_int32, [c_int32, _i32p]),
    "AmxSetCalibrateFlag": (c_int32, [c_int32, c_int32]),
    "AmxMeasureImpedanceStart": (c_int32, [c_int32]),
    "AmxMeasureImpedanceStop": (c_int32, [c_int32]),
    "AmxMeasureImpedanceRead": (c_int32, [c_int32, _i32p, c_int32]),
    "AmxSetImpedanceRef": (c_int32, [c_int32, c_int32]),
    "AmxGetImpedanceRef": (c_int32, [c_int32, _i32p]),
    "AmxLCD": (c_int32, [c_int32, c_char_p]),
}
for _family in ("BF", "WF", "AF", "HF"):
    _PROTOTYPES[_family + "Create"] = (c_uint32, [])
    _PROTOTYPES[_family + "Destroy"] = (None, [c_uint32])
    _PROTOTYPES[_family + "Process32"] = (None, [c_uint32, _i32p, _i32p, c_int32])
_PROTOTYPES["BFSet"] = (c_int32, [c_uint32, c_int32, c_int32, c_double, c_double, c_double])
_PROTOTYPES["WFSet"] = (None, [c_uint32, c_double, c_double, c_double])
_PROTOTYPES["AFSetEx"] = (None, [c_uint32, c_double, c_double])
_PROTOTYPES["HFSet"] = (None, [c_uint32, c_double, c_double, c_double])

# The device functions' status codes (amvex.h's AmxStatus) and BFSet's results.
STATUS_NAMES = {
    0: "AMX_OK",
    1: "AMX_NO_DEVICE",
    2: "AMX_NOT_OPEN",
    3: "AMX_START_FAILED",
    4: "AMX_CLOSED",
    5: "AMX_STOP_FAILED",
    6: "AMX_LCD_FAILED",
    7: "AMX_BAD_SAMPLING",
    8: "AMX_RESET_FAILED",
    0x7FFFFFFF: "AMX_FAILED",
}
BF_NAMES = {
    0: "AMX_BF_DONE",
    1: "AMX_BF_NO_FILTER",
    2: "AMX_BF_OUT_OF_RANGE",
    3: "AMX_BF_EQUAL_CORNERS",
    4: "AMX_BF_NOT_REAL",
    0x7FFFFFFF: "AMX_BF_FAILED",
}


class AmvexError(Exception):
    """A library call that failed: ``code`` is its status, ``name`` the status's
    name in amvex.h (such as ``AMX_START_FAILED``), ``function`` the export."""

    def __init__(self, function: str, code: int, name: str | None = None, detail: str = "") -> None:
        self.function = function
        self.code = code
        self.name = name or STATUS_NAMES.get(code, "unknown status")
        super().__init__(f"{function}: {self.name} ({code}){': ' + detail if detail else ''}")


class LibraryNotFound(OSError):
    """No Amvex shared library could be loaded."""


def _library_file_names() -> list[str]:
    if sys.platform == "win32":
        return ["Amvex.dll"]
    return ["libamvex.so.1", "libamvex.so"]


def _candidates() -> list[tuple[str, str]]:
    """(where, path) in the order they are tried: AMVEX_LIBRARY alone when set."""
    if os.environ.get("AMVEX_LIBRARY"):
        return [("AMVEX_LIBRARY", os.environ["AMVEX_LIBRARY"])]
    found = []
    here = pathlib.Path(__file__).resolve().parent
    found += [("next to the package", str(here / name)) for name in _library_file_names()]
    system = ctypes.util.find_library("amvex") or _library_file_names()[0]
    found.append(("the system's library path", system))
    return found


def _load() -> ctypes.CDLL:
    # The exports are __stdcall: on 32-bit Windows that is WinDLL's convention;
    # 64-bit Windows and Linux have one C convention (CDLL).
    loader = ctypes.WinDLL if sys.platform == "win32" and ctypes.sizeof(c_void_p) == 4 else ctypes.CDLL
    tried = []
    for where, path in _candidates():
        if where == "next to the package" and not os.path.exists(path):
            tried.append(f"{where}: {path} does not exist")
            continue
        try:
            lib = loader(path)
        except OSError as e:
            tried.append(f"{where}: {e}")
            continue
        for name, (restype, argtypes) in _PROTOTYPES.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        return lib
    if os.environ.get("AMVEX_LIBRARY"):
        # A library named on purpose is not silently replaced by another one.
        raise LibraryNotFound(f"cannot load the Amvex library that AMVEX_LIBRARY names ({tried[0]}); "
                              "fix or unset AMVEX_LIBRARY")
    tried.insert(0, "AMVEX_LIBRARY: not set")
    raise LibraryNotFound(
        "cannot load the Amvex library; set AMVEX_LIBRARY to its path, put it next to the amvex package, "
        "or install it on the system's library path (tried: " + "; ".join(tried) + ")"
    )


_lib: ctypes.CDLL | None = None


def lib() -> ctypes.CDLL:
    """The loaded library (loaded on first use)."""
    global _lib
    if _lib is None:
        _lib = _load()
    return _lib


def check(function: str, *args) -> None:
    """Calls a device export and raises AmvexError unless it returns AMX_OK."""
    status = getattr(lib(), function)(*args)
    if status != 0:
        raise AmvexError(function, status)
