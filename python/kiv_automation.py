"""Kiv's automation object from Python, with the standard library only.

The class is found by its ProgID ("Kiv.KivIn") in the configuration store
(the file named by KIV_REGISTRY, default /etc/kiv/registry.reg), its module is
loaded with ctypes, and the object is driven through IDispatch::Invoke with
VARIANT arguments, as any automation client would. Events (incoming calls
and status changes) reach a Python IDispatch built here with ctypes.

Threads: events arrive on the library's own threads, several at once;
handlers must be thread-safe. Values both ways (see README.md):
None <-> VT_EMPTY, bool <-> VT_BOOL, int <-> VT_I4 (VT_I8 beyond 32 bits),
float <-> VT_R8, str <-> VT_BSTR, datetime.datetime <-> VT_DATE, bytes <->
vector of VT_UI1, list/tuple <-> vector of VT_VARIANT (nested lists are arrays
inside arrays); Int8 ... UInt64 and Float32 pick a sized type, TypedArray an
element type, dimensions and lower bounds.

Failures raise KivError subclasses: KivNotFoundError, KivTimeoutError,
KivRefusedError, KivTransportError, KivRemoteError (the remote handler's
non-zero code). A handler that raises answers KIV_RC_HANDLER_RAISED; a value
that has no form on the other side answers KIV_RC_VALUE_NOT_CONVERTIBLE; both
are logged (logger "kiv") on the handler's side.

    kiv = KivIn.create()
    kiv.on_service_requested = lambda source, service, value: (0, value)
    kiv.register("127.0.0.1", "PySat", [("Echo", "answers its input")])
    values = kiv.request("Other", "Echo", "hello", timeout=5)
    kiv.close()
"""

import ctypes
import datetime
import errno
import logging
import math
import operator
import os
import re
import sys
import threading
import traceback
import uuid

__all__ = [
    "KivIn",
    "KivError",
    "KivNotFoundError",
    "KivTimeoutError",
    "KivRefusedError",
    "KivTransportError",
    "KivRemoteError",
    "ServiceError",
    "Int8",
    "UInt8",
    "Int16",
    "UInt16",
    "Int32",
    "UInt32",
    "Int64",
    "UInt64",
    "Float32",
    "TypedArray",
    "find_server",
    "installed_library",
    "register_server",
    "KIV_NOFLAGS",
    "KIV_ASYNCHRONOUS",
    "KIV_BOUNDED",
    "KIV_RC_NOT_FOUND",
    "KIV_RC_TIMED_OUT",
    "KIV_RC_HANDLER_RAISED",
    "KIV_RC_VALUE_NOT_CONVERTIBLE",
]

KIV_NOFLAGS = 0
KIV_ASYNCHRONOUS = 1
KIV_BOUNDED = 2  # each target answers within 30 s (KIV_TIME_SCALE divides it)

KIV_UNKNOWN, KIV_ALIVE, KIV_DEAD, KIV_SHUTDOWN, KIV_ADDUSER, KIV_DELUSER = range(6)

PROGID = "Kiv.KivIn"
DEFAULT_REGISTRY = "/etc/kiv/registry.reg"

VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8 = 0, 1, 2, 3, 4, 5
VT_CY, VT_DATE, VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL = 6, 7, 8, 9, 10, 11
VT_VARIANT, VT_UNKNOWN, VT_I1, VT_UI1, VT_UI2, VT_UI4 = 12, 13, 16, 17, 18, 19
VT_I8, VT_UI8, VT_INT, VT_UINT = 20, 21, 22, 23
VT_ARRAY, VT_BYREF = 0x2000, 0x4000

DISPATCH_METHOD = 1
LOCALE_USER_DEFAULT = 0x400

# _IKivInEvents dispatch ids.
EVENT_SERVICE_REQUESTED = 1
EVENT_STATUS_REQUESTED = 2
EVENT_SERVICE_REQUESTED2 = 3
EVENT_ONLINE_STATUS_UPDATE = 4

S_OK = 0
E_NOINTERFACE = -2147467262  # 0x80004002
E_NOTIMPL = -2147467263  # 0x80004001
E_POINTER = -2147467261  # 0x80004003
# What the sink's Invoke answers for a failed handler; the object turns them
# into the two codes below for the caller.
DISP_E_EXCEPTION = -2147352567  # 0x80020009
DISP_E_TYPEMISMATCH = -2147352571  # 0x80020005

HRESULT = ctypes.c_int32


def _signed(code: int) -> int:
    """A 32-bit code as the library reports it (a signed LONG)."""
    return code - (1 << 32) if code >= 1 << 31 else code


KIV_RC_NOT_FOUND = 0x00020007
KIV_RC_TIMED_OUT = 0x00020026
KIV_RC_HANDLER_RAISED = 0x00020031
KIV_RC_VALUE_NOT_CONVERTIBLE = 0x00020032

# Meanings of the codes this client classifies, for its messages.
_MEANINGS = {
    0x00020001: "registration record could not be built",
    0x00020003: "listening socket could not be set up, or the target was terminated",
    KIV_RC_NOT_FOUND: "no engine, or no satellite offers the service",
    0x0002000A: "bounds of the services array could not be read",
    0x00020014: "out of memory while preparing a request",
    0x0002001A: "the handler faulted",
    0x00020023: "host name could not be resolved",
    0x00020024: "connect failed or timed out",
    0x00020025: "socket could not be created",
    KIV_RC_TIMED_OUT: "target did not answer in time",
    KIV_RC_HANDLER_RAISED: "the handler raised an exception",
    KIV_RC_VALUE_NOT_CONVERTIBLE: "a value could not be converted for the handler or its answer",
    0x80060001: "unknown message kind",
    0x80060003: "no engine",
    0x80060005: "message not written, flushed or read completely",
    0x80060023: "host name could not be resolved",
    0x80060024: "connect failed or timed out",
    0x80060025: "socket could not be created",
    0x80060026: "the other side did not answer within the time limit",
    0x80068001: "server holds its maximum of connections",
    0x80068002: "server could not start a worker",
    0x80068003: "server does not serve the caller's address (AllowedPeers)",
}


def _describe(code: int) -> str:
    """ "0x00020031 (the handler raised an exception)": the code, and its meaning where the library defines one."""
    key = code & 0xFFFFFFFF
    meaning = _MEANINGS.get(key)
    return "0x%08X (%s)" % (key, meaning) if meaning else "0x%08X" % key


class KivError(Exception):
    """A call failed; `code` holds the library's code (signed 32 bits) or None."""

    def __init__(self, message: str, code: "int | None" = None):
        super().__init__(message)
        self.code = code
        # Set for a failed request: what every target answered.
        self.values: "list | None" = None
        self.statuses: "list | None" = None


class KivNotFoundError(KivError):
    """No satellite offers the service, or the satellite is not known."""


class KivTimeoutError(KivError):
    """A target, or the call's own deadline, did not answer in time."""


class KivRefusedError(KivError):
    """The other side refused: the directory turned a registration down, or
    a satellite is full, has no worker or was terminated."""


class KivTransportError(KivError):
    """No exchange: the host did not resolve, the connection failed or broke."""


class KivRemoteError(KivError):
    """The remote handler answered a non-zero return code (`code`)."""


class ServiceError(Exception):
    """Raised by a service handler to answer the call with `code`."""

    def __init__(self, code, message=""):
        super().__init__(message or "service failed with code %d" % code)
        self.code = code


_TIMEOUT_CODES = frozenset({KIV_RC_TIMED_OUT, 0x80060026})
_TRANSPORT_CODES = frozenset(
    {0x00020023, 0x00020024, 0x00020025, 0x80060005, 0x80060023, 0x80060024, 0x80060025}
)
_REFUSED_CODES = frozenset({0x80060001, 0x80060003, 0x80068001, 0x80068002, 0x80068003})
_LOCAL_CODES = frozenset({0x00020001, 0x0002000A, 0x00020014})
# Registration: no listening socket; a call's result or a target: terminated.
_RC_TERMINATED_OR_NO_LISTENER = 0x00020003


def _failure(what: str, code: int, otherwise: type, also: "dict | None" = None) -> KivError:
    """The exception for a non-zero code: `also` first (codes whose meaning
    depends on the call), then the library's codes, `otherwise` for the rest
    (a handler's own code, a directory's refusal)."""
    key = code & 0xFFFFFFFF
    if also and key in also:
        kind = also[key]
    elif key in _LOCAL_CODES:
        kind = KivError
    elif key in _TIMEOUT_CODES:
        kind = KivTimeoutError
    elif key == KIV_RC_NOT_FOUND:
        kind = KivNotFoundError
    elif key in _TRANSPORT_CODES:
        kind = KivTransportError
    elif key in _REFUSED_CODES:
        kind = KivRefusedError
    else:
        kind = otherwise
    return kind("%s failed: %s" % (what, _describe(code)), _signed(key))


class _WhenUnconfigured(logging.StreamHandler):
    """Prints on standard error only while the application has set up no
    logging, so that a handler's failure is neither lost nor printed twice."""

    def emit(self, record: logging.LogRecord) -> None:
        if not logging.getLogger().handlers:
            super().emit(record)


_log = logging.getLogger("kiv")
_fallback = _WhenUnconfigured()
_fallback.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
_log.addHandler(_fallback)


# --------------------------------------------------------------------------
# Layouts shared with the library (x86-64: pointers 8 bytes, LONG 4 bytes).


class GUID(ctypes.Structure):
    _fields_ = [
        ("Data1", ctypes.c_uint32),
        ("Data2", ctypes.c_uint16),
        ("Data3", ctypes.c_uint16),
        ("Data4", ctypes.c_uint8 * 8),
    ]

    @classmethod
    def parse(cls, text):
        raw = uuid.UUID(text.strip().strip("{}")).bytes
        guid = cls()
        guid.Data1 = int.from_bytes(raw[0:4], "big")
        guid.Data2 = int.from_bytes(raw[4:6], "big")
        guid.Data3 = int.from_bytes(raw[6:8], "big")
        for i in range(8):
            guid.Data4[i] = raw[8 + i]
        return guid

    def __eq__(self, other):
        return bytes(self) == bytes(other)

    def __hash__(self):
        return hash(bytes(self))


class _VariantValue(ctypes.Union):
    _fields_ = [
        ("llVal", ctypes.c_int64),
        ("ullVal", ctypes.c_uint64),
        ("lVal", ctypes.c_int32),
        ("ulVal", ctypes.c_uint32),
        ("iVal", ctypes.c_int16),
        ("uiVal", ctypes.c_uint16),
        ("cVal", ctypes.c_int8),
        ("bVal", ctypes.c_uint8),
        ("fltVal", ctypes.c_float),
        ("dblVal", ctypes.c_double),
        ("boolVal", ctypes.c_int16),
        ("ptr", ctypes.c_void_p),
        ("pad", ctypes.c_uint8 * 16),
    ]


class VARIANT(ctypes.Structure):
    _fields_ = [
        ("vt", ctypes.c_uint16),
        ("wReserved1", ctypes.c_uint16),
        ("wReserved2", ctypes.c_uint16),
        ("wReserved3", ctypes.c_uint16),
        ("value", _VariantValue),
    ]


assert ctypes.sizeof(VARIANT) == 24, "VARIANT must keep its 24-byte layout"


class DISPPARAMS(ctypes.Structure):
    _fields_ = [
        ("rgvarg", ctypes.POINTER(VARIANT)),
        ("rgdispidNamedArgs", ctypes.POINTER(ctypes.c_int32)),
        ("cArgs", ctypes.c_uint32),
        ("cNamedArgs", ctypes.c_uint32),
    ]


IID_NULL = GUID()
IID_IUnknown = GUID.parse("00000000-0000-0000-C000-000000000046")
IID_IDispatch = GUID.parse("00020400-0000-0000-C000-000000000046")
IID_IClassFactory = GUID.parse("00000001-0000-0000-C000-000000000046")
IID_IConnectionPointContainer = GUID.parse("B196B284-BAB4-101A-B69C-00AA00341D07")
IID_IProvideClassInfo2 = GUID.parse("A6BC3AC0-DBAA-11CE-9DE3-00AA004BB851")
GUIDKIND_DEFAULT_SOURCE_DISP_IID = 1

# --------------------------------------------------------------------------
# Finding and loading the class.


def _registry_path():
    return os.environ.get("KIV_REGISTRY") or DEFAULT_REGISTRY


def _unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


def _decode_store(raw):
    """The store's text, in the encodings the library reads (README)."""
    if raw.startswith(b"\xff\xfe"):
        return raw[2:].decode("utf-16-le")
    if raw.startswith(b"\xef\xbb\xbf"):
        return raw[3:].decode("utf-8")
    if raw.splitlines()[:1] and raw.splitlines()[0].strip(b" \t") == b"REGEDIT4":
        return raw.decode("cp1252", errors="replace")  # five bytes it leaves open
    return raw.decode("utf-8")


def _read_store(path):
    """The store's keys: {lower-case key path: {lower-case value name: text}}.

    Only text values are kept (quoted, or hex(1) UTF-16); "" names the
    key's default value.
    """
    keys = {}
    current = None
    pending = ""
    try:
        with open(path, "rb") as f:
            lines = _decode_store(f.read()).splitlines()
    except FileNotFoundError:
        return keys
    for line in lines:
        if pending:
            line = pending + line.strip()
            pending = ""
        if line.endswith("\\") and "=hex" in line:
            pending = line[:-1]
            continue
        stripped = line.strip()
        if not stripped or stripped.startswith(";"):
            continue
        if stripped.startswith("[") and stripped.endswith("]"):
            current = keys.setdefault(stripped[1:-1].lower(), {})
            continue
        if current is None:
            continue
        match = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', stripped)
        if not match:
            continue
        name = "" if match.group(1) == "@" else _unescape(match.group(2))
        data = match.group(3)
        if data.startswith('"') and data.endswith('"'):
            current[name.lower()] = _unescape(data[1:-1])
        elif data.startswith("hex(1):"):
            raw = bytes(int(b, 16) for b in data[7:].split(",") if b.strip())
            current[name.lower()] = raw.decode("utf-16-le").split("\0")[0]
    return keys


def find_server(progid=PROGID, registry=None):
    """(class id, module path) of `progid` from the configuration store."""
    keys = _read_store(registry or _registry_path())
    root = "hkey_classes_root\\"
    clsid = keys.get(root + progid.lower() + "\\clsid", {}).get("")
    if not clsid:
        raise LookupError("%s is not registered in %s" % (progid, registry or _registry_path()))
    server = keys.get(root + "clsid\\" + clsid.lower() + "\\inprocserver32", {}).get("")
    if not server:
        raise LookupError("class %s of %s has no InprocServer32" % (clsid, progid))
    return GUID.parse(clsid), server


def installed_library():
    """The libkiv.so.0 installed with this module (<prefix>/lib, two folders
    above <prefix>/lib/python3*/dist-packages), else the bare name for the
    dynamic loader's own search."""
    here = os.path.dirname(os.path.abspath(__file__))
    beside = os.path.normpath(os.path.join(here, os.pardir, os.pardir, "libkiv.so.0"))
    return beside if os.path.exists(beside) else "libkiv.so.0"


def register_server(module_path=None):
    """Runs the module's DllRegisterServer against the configuration store;
    without a path, the library installed with this module.

    A store that cannot be written raises KivError naming the file and the
    way out (root, or KIV_REGISTRY pointing at a writable file).
    """
    hr = ctypes.CDLL(module_path or installed_library()).DllRegisterServer()
    if hr == S_OK:
        return
    path = _registry_path()
    problem = _store_problem(path)
    if problem is None:
        raise KivError(
            "cannot update the configuration store %s (DllRegisterServer: 0x%08X); check that it "
            "parses, or set KIV_REGISTRY to another file" % (path, hr & 0xFFFFFFFF),
            hr,
        )
    fix = "run as root or set" if problem.errno in (errno.EACCES, errno.EPERM, errno.EROFS) else "set"
    raise KivError(
        "cannot write the configuration store %s: %s; %s KIV_REGISTRY to a writable file"
        % (path, (problem.strerror or str(problem)).lower(), fix),
        hr,
    )


def _store_problem(path: str) -> "OSError | None":
    """Why `path` cannot be written, found by doing what an update of the
    store does first: create its folder and its lock file beside it."""
    folder = os.path.dirname(path) or "."
    try:
        os.makedirs(folder, exist_ok=True)
        with open(path + ".lock", "a", encoding="utf-8"):
            pass
        if not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.R_OK)):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
    except OSError as problem:
        return problem
    return None


# --------------------------------------------------------------------------
# Typed values.


class _SizedInt(int):
    """An int that travels as one VARIANT integer type; arithmetic on it
    gives plain ints. Values out of the type's range raise OverflowError."""

    vt, bits, signed = VT_I4, 32, True

    def __new__(cls, value=0):
        number = operator.index(value)  # refuses floats and text
        low = -(1 << (cls.bits - 1)) if cls.signed else 0
        high = (1 << (cls.bits - (1 if cls.signed else 0))) - 1
        if not low <= number <= high:
            raise OverflowError("%s holds %d..%d, not %d" % (cls.__name__, low, high, number))
        return super().__new__(cls, number)

    def __repr__(self):
        return "%s(%d)" % (type(self).__name__, self)


class Int8(_SizedInt):
    vt, bits, signed = VT_I1, 8, True


class UInt8(_SizedInt):
    vt, bits, signed = VT_UI1, 8, False


class Int16(_SizedInt):
    vt, bits, signed = VT_I2, 16, True


class UInt16(_SizedInt):
    vt, bits, signed = VT_UI2, 16, False


class Int32(_SizedInt):
    vt, bits, signed = VT_I4, 32, True


class UInt32(_SizedInt):
    vt, bits, signed = VT_UI4, 32, False


class Int64(_SizedInt):
    vt, bits, signed = VT_I8, 64, True


class UInt64(_SizedInt):
    vt, bits, signed = VT_UI8, 64, False


class Float32(float):
    """A float that travels as VT_R4 (single precision)."""

    vt = VT_R4

    def __repr__(self):
        return "Float32(%r)" % float(self)


_SIZED = {cls.vt: cls for cls in (Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64)}
_FIELDS = {
    VT_I1: "cVal",
    VT_UI1: "bVal",
    VT_I2: "iVal",
    VT_UI2: "uiVal",
    VT_I4: "lVal",
    VT_UI4: "ulVal",
    VT_I8: "llVal",
    VT_UI8: "ullVal",
    VT_R4: "fltVal",
    VT_R8: "dblVal",
    VT_DATE: "dblVal",
    VT_BOOL: "boolVal",
}
# Element type names, as the kiv programs' value notation spells them.
_KINDS = {
    "i1": VT_I1,
    "ui1": VT_UI1,
    "i2": VT_I2,
    "ui2": VT_UI2,
    "i4": VT_I4,
    "ui4": VT_UI4,
    "i8": VT_I8,
    "ui8": VT_UI8,
    "r4": VT_R4,
    "r8": VT_R8,
    "bool": VT_BOOL,
    "bstr": VT_BSTR,
    "date": VT_DATE,
    "variant": VT_VARIANT,
}
_KIND_OF = {vt: kind for kind, vt in _KINDS.items()}
_MAX_DIMS = 10


class TypedArray(list):
    """An array with an element type (`kind`, e.g. "i2"), `dims` dimensions
    and lower bounds, held as nested lists: self[i][j] is the element at
    index lower[0] + i of dimension 1 and lower[1] + j of dimension 2.

    Plain lists travel as vectors of VARIANT; this says otherwise. Arrays
    that arrive typed, with several dimensions or a lower bound other than 0
    come as TypedArray, so that answering one sends it back as it came. An
    empty array keeps no extent after its first empty dimension.
    """

    def __init__(self, kind: str, items=(), dims: int = 1, lower=None):
        if kind not in _KINDS:
            raise ValueError("unknown element type %r; use one of %s" % (kind, ", ".join(_KINDS)))
        if not 1 <= dims <= _MAX_DIMS:
            raise ValueError("an array has 1 to %d dimensions, not %d" % (_MAX_DIMS, dims))
        super().__init__(items)
        self.kind, self.dims = kind, dims
        self.lower = tuple(lower) if lower is not None else (0,) * dims
        if len(self.lower) != dims:
            raise ValueError("lower gives %d bounds for %d dimensions" % (len(self.lower), dims))
        self.shape  # checks that the nesting is rectangular

    @property
    def shape(self) -> tuple:
        """The element count of each dimension; ValueError for ragged nesting."""
        shape, level = [], [self]
        for depth in range(self.dims):
            if not all(isinstance(row, (list, tuple)) for row in level):
                raise ValueError("dimension %d of the array is not a list at every position" % (depth + 1))
            counts = {len(row) for row in level}
            if len(counts) > 1:
                lengths = sorted(counts)
                raise ValueError("dimension %d of the array is ragged: lengths %s" % (depth + 1, lengths))
            shape.append(counts.pop() if counts else 0)
            level = [item for row in level for item in row]
        return tuple(shape)

    def __repr__(self):
        extra = "" if self.dims == 1 else ", dims=%d" % self.dims
        if any(self.lower):
            extra += ", lower=%r" % (self.lower,)
        return "TypedArray(%r, %r%s)" % (self.kind, list(self), extra)


class SAFEARRAYBOUND(ctypes.Structure):
    _fields_ = [("cElements", ctypes.c_uint32), ("lLbound", ctypes.c_int32)]


_OLE_EPOCH = datetime.datetime(1899, 12, 30)
_DAY_US = 86_400_000_000
_FLOAT32_MAX = 3.4028234663852886e38


def _ole_date(moment) -> float:
    """A DATE: days since 1899-12-30, the time of day as the fraction's size
    (so 1899-12-29 06:00 is -1.25). An aware datetime is taken at UTC, the
    zone the kiv programs give DATE text."""
    if not isinstance(moment, datetime.datetime):
        raise TypeError("a date element takes a datetime.datetime, not %s" % type(moment).__name__)
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    day, time = divmod((moment - _OLE_EPOCH) // datetime.timedelta(microseconds=1), _DAY_US)
    return day - time / _DAY_US if day < 0 else day + time / _DAY_US


def _from_ole_date(value: float) -> datetime.datetime:
    """The naive datetime of a DATE, to the nearest microsecond the double
    holds (exact until about 2079, within 40 us near year 9999)."""
    if not math.isfinite(value):
        raise ValueError("DATE %r is no point in time" % value)
    whole = math.trunc(value)
    micros = whole * _DAY_US + round(abs(value - whole) * _DAY_US)
    try:
        return _OLE_EPOCH + datetime.timedelta(microseconds=micros)
    except OverflowError:
        raise ValueError("DATE %r lies outside the years 1 to 9999" % value) from None


def _type_name(vt: int) -> str:
    """ "VT_ARRAY|VT_I4", for messages about values that do not convert."""
    names = {v: k for k, v in globals().items() if k.startswith("VT_") and k not in ("VT_ARRAY", "VT_BYREF")}
    base = names.get(vt & 0x0FFF, "0x%04X" % (vt & 0x0FFF))
    return ("VT_ARRAY|" if vt & VT_ARRAY else "") + ("VT_BYREF|" if vt & VT_BYREF else "") + base


class _Library:
    """The loaded module and the value functions it exports."""

    def __init__(self, path):
        self.dll = ctypes.CDLL(path)
        d = self.dll
        d.SysAllocStringLen.restype = ctypes.c_void_p
        d.SysAllocStringLen.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
        d.SysFreeString.argtypes = [ctypes.c_void_p]
        d.SysStringLen.restype = ctypes.c_uint32
        d.SysStringLen.argtypes = [ctypes.c_void_p]
        d.VariantInit.argtypes = [ctypes.POINTER(VARIANT)]
        d.VariantClear.argtypes = [ctypes.POINTER(VARIANT)]
        d.VariantClear.restype = HRESULT
        d.VariantCopy.argtypes = [ctypes.POINTER(VARIANT), ctypes.POINTER(VARIANT)]
        d.VariantCopy.restype = HRESULT
        d.SafeArrayCreate.restype = ctypes.c_void_p
        d.SafeArrayCreate.argtypes = [ctypes.c_uint16, ctypes.c_uint32, ctypes.POINTER(SAFEARRAYBOUND)]
        for name in ("SafeArrayGetLBound", "SafeArrayGetUBound"):
            fn = getattr(d, name)
            fn.restype = HRESULT
            fn.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32)]
        d.SafeArrayGetDim.restype = ctypes.c_uint32
        d.SafeArrayGetDim.argtypes = [ctypes.c_void_p]
        for name in ("SafeArrayGetElement", "SafeArrayPutElement"):
            fn = getattr(d, name)
            fn.restype = HRESULT
            fn.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int32), ctypes.c_void_p]
        d.DllGetClassObject.restype = HRESULT
        d.DllGetClassObject.argtypes = [
            ctypes.POINTER(GUID),
            ctypes.POINTER(GUID),
            ctypes.POINTER(ctypes.c_void_p),
        ]

    # Strings: UTF-16, a character beyond U+FFFF as a surrogate pair.
    def bstr(self, text):
        data = text.encode("utf-16-le", errors="surrogatepass")
        buffer = ctypes.create_string_buffer(data, len(data) + 2)
        p = self.dll.SysAllocStringLen(buffer, len(data) // 2)
        if not p:
            raise MemoryError("SysAllocStringLen")
        return p

    def text(self, bstr):
        if not bstr:
            return ""
        n = self.dll.SysStringLen(bstr)
        return ctypes.string_at(bstr, n * 2).decode("utf-16-le", errors="surrogatepass")

    # Python value -> VARIANT (the caller clears it, also after an error).
    def to_variant(self, value, out):
        self.dll.VariantInit(ctypes.byref(out))
        if value is None:
            return
        if isinstance(value, bool):
            self._scalar(VT_BOOL, value, out)
        elif isinstance(value, _SizedInt):
            self._scalar(value.vt, value, out)
        elif isinstance(value, int):
            self._scalar(VT_I4 if -(2**31) <= value < 2**31 else VT_I8, value, out)
        elif isinstance(value, float):
            self._scalar(VT_R4 if isinstance(value, Float32) else VT_R8, value, out)
        elif isinstance(value, (str, datetime.datetime)):
            self._scalar(VT_BSTR if isinstance(value, str) else VT_DATE, value, out)
        elif isinstance(value, TypedArray):
            self._array(_KINDS[value.kind], value, value.shape, value.lower, out)
        elif isinstance(value, (bytes, bytearray)):
            self._array(VT_UI1, list(value), (len(value),), (0,), out)
        elif isinstance(value, (list, tuple)):
            self._array(VT_VARIANT, value, (len(value),), (0,), out)
        else:
            raise TypeError("a Python %s has no VARIANT form" % type(value).__name__)

    def _scalar(self, vt, value, out):
        """Writes one value of type `vt` into `out`; refuses what would not
        survive the conversion (a float for an integer, a value out of range)."""
        if vt == VT_BSTR:
            if not isinstance(value, str):
                raise TypeError("a bstr element takes a str, not %s" % type(value).__name__)
            out.value.ptr = self.bstr(value)
        elif vt == VT_BOOL:
            if not isinstance(value, bool):
                raise TypeError("a bool element takes a bool, not %s" % type(value).__name__)
            out.value.boolVal = -1 if value else 0
        elif vt == VT_DATE:
            out.value.dblVal = _ole_date(value)
        elif vt in (VT_R4, VT_R8):
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError("a real element takes a float, not %s" % type(value).__name__)
            number = float(value)
            if vt == VT_R4 and math.isfinite(number) and abs(number) > _FLOAT32_MAX:
                raise OverflowError("%r does not fit a single-precision real" % number)
            setattr(out.value, _FIELDS[vt], number)
        else:
            setattr(out.value, _FIELDS[vt], _SIZED[vt](value))
        out.vt = vt

    def _array(self, vt, items, shape, lower, out):
        bounds = (SAFEARRAYBOUND * len(shape))(*[SAFEARRAYBOUND(n, lb) for n, lb in zip(shape, lower)])
        array = self.dll.SafeArrayCreate(vt, len(shape), bounds)
        if not array:
            extents = "x".join(map(str, shape))
            raise MemoryError("SafeArrayCreate: %s elements of %s" % (extents, _type_name(vt)))
        out.value.ptr, out.vt = array, VT_ARRAY | vt
        item = VARIANT()
        for position, element in _positions(items, shape):
            index = (ctypes.c_int32 * len(shape))(*[lb + i for lb, i in zip(lower, position)])
            try:
                if vt == VT_VARIANT:
                    self.to_variant(element, item)
                    target = ctypes.byref(item)
                else:
                    self.dll.VariantInit(ctypes.byref(item))
                    self._scalar(vt, element, item)
                    target = ctypes.c_void_p(item.value.ptr) if vt == VT_BSTR else ctypes.byref(item.value)
                _check("SafeArrayPutElement", self.dll.SafeArrayPutElement(array, index, target))
            finally:
                self.dll.VariantClear(ctypes.byref(item))

    # VARIANT -> Python value (the variant stays the caller's). Types with no
    # Python form raise TypeError, values with none ValueError.
    def from_variant(self, v):
        vt = v.vt
        if vt & VT_BYREF:
            if vt == VT_BYREF | VT_VARIANT:
                return self.from_variant(ctypes.cast(v.value.ptr, ctypes.POINTER(VARIANT))[0])
            copy = VARIANT()
            copy.vt = vt & ~VT_BYREF
            wide = copy.vt in (VT_I8, VT_UI8, VT_R8, VT_DATE, VT_CY, VT_BSTR) or copy.vt & VT_ARRAY
            size = 8 if wide else 4
            ctypes.memmove(ctypes.byref(copy.value), v.value.ptr, size)
            return self.from_variant(copy)
        if vt & VT_ARRAY:
            return self._from_array(v.value.ptr, vt & 0x0FFF)
        u = v.value
        if vt in (VT_EMPTY, VT_NULL):
            return None
        if vt in (VT_I4, VT_INT, VT_ERROR):
            return u.lVal
        if vt == VT_UINT:
            return UInt32(u.ulVal)
        if vt in _SIZED:
            return _SIZED[vt](getattr(u, _FIELDS[vt]))
        if vt == VT_R4:
            return Float32(u.fltVal)
        if vt == VT_R8:
            return u.dblVal
        if vt == VT_DATE:
            return _from_ole_date(u.dblVal)
        if vt == VT_BOOL:
            return u.boolVal != 0
        if vt == VT_BSTR:
            return self.text(u.ptr)
        raise TypeError("%s has no Python form" % _type_name(vt))

    def _from_array(self, array, vt):
        if not array:
            return []
        if vt not in _KIND_OF:
            raise TypeError("%s has no Python form" % _type_name(VT_ARRAY | vt))
        dims = self.dll.SafeArrayGetDim(array)
        lower, shape = [], []
        for dim in range(1, dims + 1):
            low, high = ctypes.c_int32(), ctypes.c_int32()
            self.dll.SafeArrayGetLBound(array, dim, ctypes.byref(low))
            self.dll.SafeArrayGetUBound(array, dim, ctypes.byref(high))
            lower.append(low.value)
            shape.append(max(high.value - low.value + 1, 0))

        def nest(prefix):
            if len(prefix) == dims:
                return self._element(array, vt, [lb + i for lb, i in zip(lower, prefix)])
            return [nest(prefix + (i,)) for i in range(shape[len(prefix)])]

        items = nest(())
        if dims == 1 and lower[0] == 0 and vt in (VT_VARIANT, VT_UI1):
            return items if vt == VT_VARIANT else bytes(items)
        return TypedArray(_KIND_OF[vt], items, dims=dims, lower=lower)

    def _element(self, array, vt, indices):
        index = (ctypes.c_int32 * len(indices))(*indices)
        item = VARIANT()
        if vt != VT_VARIANT:
            item.vt = vt
        target = ctypes.byref(item) if vt == VT_VARIANT else ctypes.byref(item.value)
        _check("SafeArrayGetElement", self.dll.SafeArrayGetElement(array, index, target))
        try:
            value = self.from_variant(item)
        finally:
            self.dll.VariantClear(ctypes.byref(item))
        # Elements of a typed array are plain values: the array holds the type.
        if vt in _SIZED or vt == VT_R4:
            return int(value) if vt != VT_R4 else float(value)
        return value


def _positions(items, shape):
    """(index tuple, element) of nested lists `items`, dimension 1 first."""
    if len(shape) == 1:
        return [((i,), items[i]) for i in range(shape[0])]
    return [
        ((i,) + rest, element) for i in range(shape[0]) for rest, element in _positions(items[i], shape[1:])
    ]


# --------------------------------------------------------------------------
# Calling through vtables.


def _method(pointer, slot, *argtypes):
    """The function in `slot` of the object's vtable, `this` first."""
    vtable = ctypes.cast(pointer, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]
    prototype = ctypes.CFUNCTYPE(HRESULT, ctypes.c_void_p, *argtypes)
    return prototype(vtable[slot])


def _check(what, hr):
    if hr < 0:
        raise _com_error(what, hr)
    return hr


def _com_error(what, hr):
    """A refused COM call (a negative HRESULT) as KivError."""
    return KivError("%s failed: 0x%08X" % (what, hr & 0xFFFFFFFF), hr)


def _query(pointer, iid, what):
    out = ctypes.c_void_p()
    qi = _method(pointer, 0, ctypes.POINTER(GUID), ctypes.POINTER(ctypes.c_void_p))
    _check(what, qi(pointer, ctypes.byref(iid), ctypes.byref(out)))
    return out.value


def _release(pointer):
    ctypes.CFUNCTYPE(ctypes.c_uint32, ctypes.c_void_p)(
        ctypes.cast(pointer, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0][2]
    )(pointer)


class Ref:
    """An argument passed by reference: the method may write `value`."""

    def __init__(self, value=None):
        self.value = value


class _Dispatch:
    """IDispatch calls by name on one interface pointer (owned)."""

    def __init__(self, library, pointer):
        self._lib = library
        self._p = pointer
        self._ids = {}
        self._lock = threading.Lock()

    def dispid(self, name):
        with self._lock:
            if name in self._ids:
                return self._ids[name]
        get_ids = _method(
            self._p,
            5,
            ctypes.POINTER(GUID),
            ctypes.POINTER(ctypes.c_void_p),
            ctypes.c_uint32,
            ctypes.c_uint32,
            ctypes.POINTER(ctypes.c_int32),
        )
        raw = ctypes.create_string_buffer(name.encode("utf-16-le") + b"\0\0")
        names = (ctypes.c_void_p * 1)(ctypes.addressof(raw))
        dispid = ctypes.c_int32()
        _check(
            "GetIDsOfNames(%s)" % name,
            get_ids(self._p, ctypes.byref(IID_NULL), names, 1, LOCALE_USER_DEFAULT, ctypes.byref(dispid)),
        )
        with self._lock:
            self._ids[name] = dispid.value
        return dispid.value

    def call(self, name, *args):
        """Invokes method `name`; Ref arguments receive what it wrote.

        Returns the method's result code (the library's codes are positive,
        so they are returned, not raised). Refused arguments raise KivError.
        """
        lib = self._lib
        count = len(args)
        rgvarg = (VARIANT * max(count, 1))()
        targets = (VARIANT * max(count, 1))()
        try:
            # Arguments go last first, as IDispatch::Invoke takes them.
            for position, arg in enumerate(args):
                slot = rgvarg[count - 1 - position]
                if isinstance(arg, Ref):
                    lib.to_variant(arg.value, targets[position])
                    slot.vt = VT_BYREF | VT_VARIANT
                    slot.value.ptr = ctypes.addressof(targets[position])
                else:
                    lib.to_variant(arg, slot)
            params = DISPPARAMS(rgvarg, None, count, 0)
            result = VARIANT()
            arg_err = ctypes.c_uint32(0xFFFFFFFF)
            invoke = _method(
                self._p,
                6,
                ctypes.c_int32,
                ctypes.POINTER(GUID),
                ctypes.c_uint32,
                ctypes.c_uint16,
                ctypes.POINTER(DISPPARAMS),
                ctypes.POINTER(VARIANT),
                ctypes.c_void_p,
                ctypes.POINTER(ctypes.c_uint32),
            )
            hr = invoke(
                self._p,
                self.dispid(name),
                ctypes.byref(IID_NULL),
                LOCALE_USER_DEFAULT,
                DISPATCH_METHOD,
                ctypes.byref(params),
                ctypes.byref(result),
                None,
                ctypes.byref(arg_err),
            )
            if hr < 0:
                where = "" if arg_err.value == 0xFFFFFFFF else " (argument %d)" % (count - 1 - arg_err.value)
                raise _com_error("%s%s" % (name, where), hr)
            try:
                for position, arg in enumerate(args):
                    if isinstance(arg, Ref):
                        arg.value = lib.from_variant(targets[position])
            except (TypeError, ValueError) as problem:
                message = "%s: an output has no Python form: %s" % (name, problem)
                raise KivError(message, KIV_RC_VALUE_NOT_CONVERTIBLE) from None
            code = lib.from_variant(result)
            lib.dll.VariantClear(ctypes.byref(result))
            return code
        finally:
            for position in range(count):
                lib.dll.VariantClear(ctypes.byref(targets[position]))
                if not isinstance(args[position], Ref):
                    lib.dll.VariantClear(ctypes.byref(rgvarg[count - 1 - position]))

    def release(self):
        if self._p:
            _release(self._p)
            self._p = None


# --------------------------------------------------------------------------
# The event sink: an IDispatch whose vtable points at Python functions.

_QI = ctypes.CFUNCTYPE(HRESULT, ctypes.c_void_p, ctypes.POINTER(GUID), ctypes.POINTER(ctypes.c_void_p))
_REF = ctypes.CFUNCTYPE(ctypes.c_uint32, ctypes.c_void_p)
_COUNT = ctypes.CFUNCTYPE(HRESULT, ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32))
_TYPEINFO = ctypes.CFUNCTYPE(HRESULT, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_void_p)
_IDS = ctypes.CFUNCTYPE(
    HRESULT,
    ctypes.c_void_p,
    ctypes.c_void_p,
    ctypes.c_void_p,
    ctypes.c_uint32,
    ctypes.c_uint32,
    ctypes.c_void_p,
)
_INVOKE = ctypes.CFUNCTYPE(
    HRESULT,
    ctypes.c_void_p,
    ctypes.c_int32,
    ctypes.c_void_p,
    ctypes.c_uint32,
    ctypes.c_uint16,
    ctypes.POINTER(DISPPARAMS),
    ctypes.POINTER(VARIANT),
    ctypes.c_void_p,
    ctypes.c_void_p,
)


class _SinkObject(ctypes.Structure):
    _fields_ = [("vtable", ctypes.POINTER(ctypes.c_void_p))]


class EventSink:
    """A Python IDispatch for _IKivInEvents that forwards to an owner.

    The owner provides _service_event(source, service, value, sd) -> (code,
    output) and _status_event(sat_id, status). The sink must stay alive while
    connected; KivIn keeps it.
    """

    def __init__(self, library, events_iid, owner):
        self._lib = library
        self._iid = events_iid
        self._owner = owner
        self._refs = 0
        self._lock = threading.Lock()
        # The callbacks must outlive every call the library makes into them.
        self._functions = [
            _QI(self._query_interface),
            _REF(self._add_ref),
            _REF(self._release),
            _COUNT(self._type_info_count),
            _TYPEINFO(lambda this, index, lcid, out: E_NOTIMPL),
            _IDS(lambda this, riid, names, count, lcid, ids: E_NOTIMPL),
            _INVOKE(self._invoke),
        ]
        self._vtable = (ctypes.c_void_p * len(self._functions))(
            *[ctypes.cast(f, ctypes.c_void_p) for f in self._functions]
        )
        self._object = _SinkObject(ctypes.cast(self._vtable, ctypes.POINTER(ctypes.c_void_p)))
        self.pointer = ctypes.addressof(self._object)

    def _query_interface(self, this, riid, out):
        if not out:
            return E_POINTER
        iid = riid[0]
        if iid in (IID_IUnknown, IID_IDispatch, self._iid):
            out[0] = this
            self._add_ref(this)
            return S_OK
        out[0] = None
        return E_NOINTERFACE

    def _add_ref(self, this):
        with self._lock:
            self._refs += 1
            return self._refs

    def _release(self, this):
        with self._lock:
            self._refs -= 1
            return self._refs

    def _type_info_count(self, this, out):
        if out:
            out[0] = 0
        return S_OK

    def _invoke(self, this, dispid, riid, lcid, flags, params, result, excep_info, arg_err):
        try:
            p = params[0]
            # rgvarg holds the arguments last first.
            args = [p.rgvarg[p.cArgs - 1 - i] for i in range(p.cArgs)]
            if dispid in (EVENT_SERVICE_REQUESTED, EVENT_SERVICE_REQUESTED2):
                return self._serve(args, dispid == EVENT_SERVICE_REQUESTED2)
            if dispid == EVENT_ONLINE_STATUS_UPDATE and len(args) == 2:
                self._owner._status_event(self._lib.from_variant(args[0]), self._lib.from_variant(args[1]))
            return S_OK
        except BaseException:  # nothing may unwind into the library's thread
            _log.warning("event %d failed\n%s", dispid, traceback.format_exc().rstrip())
            return DISP_E_EXCEPTION

    def _serve(self, args, with_socket):
        """One call: the handler's code and answer, or a failing HRESULT
        that the object turns into a code for the caller (never status 0)."""
        lib = self._lib
        sd = None
        if with_socket:
            sd, args = lib.from_variant(args[0]), args[1:]
        source, service = lib.from_variant(args[0]), lib.from_variant(args[1])
        try:
            value = lib.from_variant(args[2])
        except (TypeError, ValueError) as problem:
            return self._unconvertible(service, "the argument, %s," % _type_name(args[2].vt), problem)
        try:
            code, output = self._owner._service_event(source, service, value, sd)
        except Exception:
            _log.warning(
                "service %s: the handler raised; the caller gets %s\n%s",
                service,
                _describe(KIV_RC_HANDLER_RAISED),
                traceback.format_exc().rstrip(),
            )
            return DISP_E_EXCEPTION
        answer = VARIANT()
        try:
            if not isinstance(code, int) or not -(2**31) <= code < 2**31:
                raise TypeError("the return code %r is no 32-bit integer" % (code,))
            lib.to_variant(output, answer)
            out = ctypes.cast(args[3].value.ptr, ctypes.POINTER(VARIANT))
            _check("VariantCopy", lib.dll.VariantCopy(out, ctypes.byref(answer)))
        except (TypeError, ValueError, OverflowError, MemoryError, KivError) as problem:
            return self._unconvertible(service, "the answer, a Python %s," % type(output).__name__, problem)
        finally:
            lib.dll.VariantClear(ctypes.byref(answer))
        ctypes.cast(args[4].value.ptr, ctypes.POINTER(ctypes.c_int32))[0] = code
        return S_OK

    @staticmethod
    def _unconvertible(service, what, problem):
        _log.warning(
            "service %s: %s has no form on the other side (%s); the caller gets %s",
            service,
            what,
            problem,
            _describe(KIV_RC_VALUE_NOT_CONVERTIBLE),
        )
        return DISP_E_TYPEMISMATCH


# --------------------------------------------------------------------------
# The automation object.


class KivIn:
    """One satellite: the automation object "Kiv.KivIn" and its events.

    Set on_service_requested(source, service, value) -> (code, output), or
    -> output for code 0, to answer calls (raise ServiceError(code) to fail
    one; any other exception answers KIV_RC_HANDLER_RAISED); on_status(sat_id,
    status) to follow the directory. Both run on the library's threads.
    """

    def __init__(self, library, dispatch):
        self._lib = library
        self._dispatch = dispatch
        self.on_service_requested = None
        self.on_status = None
        self.socket_of_last_call = None
        events = self._default_source()
        self._sink = EventSink(library, events, self)
        self._connection = self._advise(events)

    @classmethod
    def create(cls, progid=PROGID, registry=None):
        """Finds the class in the store, loads its module, creates an object."""
        clsid, module = find_server(progid, registry)
        library = _Library(module)
        factory = ctypes.c_void_p()
        _check(
            "DllGetClassObject",
            library.dll.DllGetClassObject(
                ctypes.byref(clsid), ctypes.byref(IID_IClassFactory), ctypes.byref(factory)
            ),
        )
        try:
            create = _method(
                factory.value, 3, ctypes.c_void_p, ctypes.POINTER(GUID), ctypes.POINTER(ctypes.c_void_p)
            )
            obj = ctypes.c_void_p()
            hr = create(factory.value, None, ctypes.byref(IID_IDispatch), ctypes.byref(obj))
            _check("CreateInstance", hr)
        finally:
            _release(factory.value)
        return cls(library, _Dispatch(library, obj.value))

    def _default_source(self):
        info = _query(self._dispatch._p, IID_IProvideClassInfo2, "QueryInterface(IProvideClassInfo2)")
        try:
            guid = GUID()
            get_guid = _method(info, 4, ctypes.c_uint32, ctypes.POINTER(GUID))
            _check("GetGUID", get_guid(info, GUIDKIND_DEFAULT_SOURCE_DISP_IID, ctypes.byref(guid)))
            return guid
        finally:
            _release(info)

    def _advise(self, events):
        container = _query(
            self._dispatch._p,
            IID_IConnectionPointContainer,
            "QueryInterface(IConnectionPointContainer)",
        )
        try:
            point = ctypes.c_void_p()
            find = _method(container, 4, ctypes.POINTER(GUID), ctypes.POINTER(ctypes.c_void_p))
            _check("FindConnectionPoint", find(container, ctypes.byref(events), ctypes.byref(point)))
        finally:
            _release(container)
        cookie = ctypes.c_uint32()
        advise = _method(point.value, 5, ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32))
        hr = advise(point.value, self._sink.pointer, ctypes.byref(cookie))
        if hr < 0:
            _release(point.value)
            raise _com_error("Advise", hr)
        return point.value, cookie.value

    # Events, on the library's threads.
    def _service_event(self, source, service, value, sd):
        """(code, output) of the handler; its exceptions reach the sink."""
        handler = self.on_service_requested
        if handler is None:
            return 0, None
        self.socket_of_last_call = sd
        try:
            answer = handler(source, service, value)
        except ServiceError as failure:
            return failure.code, None
        if isinstance(answer, tuple) and len(answer) == 2 and isinstance(answer[0], int):
            return answer
        return 0, answer

    def _status_event(self, sat_id, status):
        if self.on_status is not None:
            self.on_status(sat_id, status)

    # IKivIn through IDispatch::Invoke.
    def call(self, method, *args):
        """Any IKivIn method by name; Ref arguments receive outputs."""
        return self._dispatch.call(method, *args)

    def create_services(self, services):
        """A services array from [(name, description), ...], built by the object."""
        array = Ref()
        _check("CreateServices", self.call("CreateServices", array, len(services)))
        for index, (name, description) in enumerate(services):
            _check("SetService", self.call("SetService", array, index, name, description))
        return array.value

    def register(self, directory, name, services=()):
        """Registers with the directory on host `directory`; the satellite id.

        Raises KivTransportError (no directory there), KivTimeoutError,
        KivRefusedError (the directory said no) or KivError.
        """
        code = Ref()
        self._code("Register", self.call("Register", directory, name, self.create_services(services), code))
        self._registered("Register as %s at %s" % (name, directory), code.value)
        return self.get_satellite_id()

    def directory_register(self, directory, port, name, services=()):
        """As register, at a port; calls then also carry the socket (ServiceRequested2)."""
        code = Ref()
        self._code(
            "DirectoryRegister",
            self.call("DirectoryRegister", directory, port, name, self.create_services(services), code),
        )
        self._registered("Register as %s at %s:%d" % (name, directory, port), code.value)
        return self.get_satellite_id()

    def unregister(self, services):
        """Withdraws services from the directory; raises as register does."""
        code = Ref()
        self._code("UnRegister", self.call("UnRegister", self.create_services(services), code))
        self._registered("UnRegister", code.value)

    @staticmethod
    def _registered(what, codes):
        code = _first(codes)
        # A listening socket that could not be set up fails here, not there.
        if code:
            raise _failure(what, code, KivRefusedError, {_RC_TERMINATED_OR_NO_LISTENER: KivError})

    def request(self, destination, service, value=None, flags=KIV_NOFLAGS, timeout=None):
        """Calls `service` on `destination` (or "ALL"); one value per target.

        `timeout` (seconds) bounds the call: it sets KIV_BOUNDED, so every
        target answers within the library's 30 s or counts as timed out, and
        the call raises KivTimeoutError once `timeout` has passed; the request
        then ends in the background within that bound. None waits as long as
        the targets take. A target's non-zero status raises (KivNotFoundError,
        KivTimeoutError, KivRefusedError, KivTransportError, KivRemoteError
        for a handler's own code) with .values and .statuses of all targets.
        """
        what = "Request of %s on %s" % (service, destination)
        if timeout is not None:
            if not timeout > 0:
                raise ValueError("timeout takes a positive number of seconds, not %r" % (timeout,))
            flags |= KIV_BOUNDED
        out, statuses = Ref(), Ref()

        def send():
            self._code("Request", self.call("Request", destination, service, value, out, flags, statuses))

        if timeout is None:
            send()
        else:
            _within(timeout, send, what)
        values = list(out.value) if out.value is not None else []
        codes = list(statuses.value) if isinstance(statuses.value, list) else [statuses.value or 0]
        for code in codes:
            if code:
                # From a target, 0x00020003 means its object was terminated.
                error = _failure(what, code, KivRemoteError, {_RC_TERMINATED_OR_NO_LISTENER: KivRefusedError})
                error.values, error.statuses = values, codes
                raise error
        return values

    def get_satellite_id(self):
        sat_id = Ref(0)
        self.call("GetSatelliteId", sat_id)
        return sat_id.value

    def ping_satellite(self, name, sat_id):
        status = Ref(KIV_UNKNOWN)
        code = self.call("PingSatellite", name, sat_id, status)
        return code, status.value

    def directory_ping_satellite(self, name, host, port, sat_id):
        status = Ref(KIV_UNKNOWN)
        code = self.call("DirectoryPingSatellite", name, host, port, sat_id, status)
        return code, status.value

    def terminate(self):
        """Ends the satellite for good (unregisters it); the object stays usable for nothing else."""
        return self.call("TerminateSatellite")

    def close(self):
        """Terminates, disconnects the sink and releases the object."""
        if self._dispatch is None:
            return
        self.terminate()
        point, cookie = self._connection
        unadvise = _method(point, 6, ctypes.c_uint32)
        unadvise(point, cookie)
        _release(point)
        self._dispatch.release()
        self._dispatch = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @staticmethod
    def _code(method, code):
        """The method's own result: non-zero only when the object refused
        (it was terminated) or ran out of memory."""
        if code != 0:
            terminated = code == _RC_TERMINATED_OR_NO_LISTENER
            why = "the object was terminated" if terminated else _describe(code)
            raise KivError("%s failed: %s" % (method, why), code)


def _first(codes):
    """Element 0 of a return-code value (a number or an array of them)."""
    if isinstance(codes, list):
        return codes[0] if codes else None
    return codes


def _within(timeout, work, what):
    """Runs `work` on a thread of its own and waits at most `timeout` seconds
    for it; its exception, if any, is raised here."""
    done = threading.Event()
    failures = []

    def run():
        try:
            work()
        except BaseException as failure:  # handed to the waiting caller
            failures.append(failure)
        finally:
            done.set()

    threading.Thread(target=run, name="kiv-request", daemon=True).start()
    if not done.wait(timeout):
        raise KivTimeoutError("%s failed: no answer within %g s" % (what, timeout))
    if failures:
        raise failures[0]


if __name__ == "__main__":
    print(find_server())
    sys.exit(0)
