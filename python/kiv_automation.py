"""Kiv's automation object from Python, with the standard library only.

The class is found by its ProgID ("Kiv.KivIn") in the configuration store
(the file named by KIV_REGISTRY, default /etc/kiv/registry.reg), its module is
loaded with ctypes, and the object is driven through IDispatch::Invoke with
VARIANT arguments, as any automation client would. Events (incoming calls
and status changes) reach a Python IDispatch built here with ctypes.

Threads: events arrive on the library's own threads, several at once;
handlers must be thread-safe. Python values map to VARIANTs as follows:
None -> VT_EMPTY, bool -> VT_BOOL, int -> VT_I4 (VT_I8 beyond 32 bits),
float -> VT_R8, str -> VT_BSTR, bytes -> array of VT_UI1, list/tuple ->
array of VT_VARIANT; results come back the same way (one-dimensional arrays
become lists).

    kiv = KivIn.create()
    kiv.on_service_requested = lambda source, service, value: (0, value)
    kiv.register("127.0.0.1", "PySat", [("Echo", "answers its input")])
    values, statuses = kiv.request("Other", "Echo", "hello")
    kiv.terminate()
"""

import ctypes
import os
import re
import sys
import threading
import traceback
import uuid

__all__ = [
    "KivIn",
    "KivError",
    "ServiceError",
    "find_server",
    "register_server",
    "KIV_NOFLAGS",
    "KIV_ASYNCHRONOUS",
]

KIV_NOFLAGS = 0
KIV_ASYNCHRONOUS = 1

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

HRESULT = ctypes.c_int32


class KivError(Exception):
    """A COM call failed; `hresult` holds its code (a signed 32-bit value)."""

    def __init__(self, what, hresult):
        super().__init__("%s failed: 0x%08X" % (what, hresult & 0xFFFFFFFF))
        self.hresult = hresult


class ServiceError(Exception):
    """Raised by a service handler to answer the call with `code`."""

    def __init__(self, code, message=""):
        super().__init__(message or "service failed with code %d" % code)
        self.code = code


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


def _read_store(path):
    """The store's keys: {lower-case key path: {lower-case value name: text}}.

    Only text values are kept (quoted, or hex(1) UTF-16); "" names the
    key's default value.
    """
    keys = {}
    current = None
    pending = ""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
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


def register_server(module_path):
    """Runs the module's DllRegisterServer against the configuration store."""
    hr = ctypes.CDLL(module_path).DllRegisterServer()
    if hr != S_OK:
        raise KivError("DllRegisterServer", hr)


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
        d.SafeArrayCreateVector.restype = ctypes.c_void_p
        d.SafeArrayCreateVector.argtypes = [ctypes.c_uint16, ctypes.c_int32, ctypes.c_uint32]
        d.SafeArrayDestroy.argtypes = [ctypes.c_void_p]
        for name in ("SafeArrayGetLBound", "SafeArrayGetUBound"):
            fn = getattr(d, name)
            fn.restype = HRESULT
            fn.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32)]
        d.SafeArrayGetDim.restype = ctypes.c_uint32
        d.SafeArrayGetDim.argtypes = [ctypes.c_void_p]
        d.SafeArrayGetVartype.restype = HRESULT
        d.SafeArrayGetVartype.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint16)]
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
        data = text.encode("utf-16-le")
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

    # Python value -> VARIANT (the caller clears it).
    def to_variant(self, value, out):
        self.dll.VariantInit(ctypes.byref(out))
        if value is None:
            return
        if isinstance(value, bool):
            out.vt, out.value.boolVal = VT_BOOL, -1 if value else 0
        elif isinstance(value, int):
            if -(2**31) <= value < 2**31:
                out.vt, out.value.lVal = VT_I4, value
            elif -(2**63) <= value < 2**63:
                out.vt, out.value.llVal = VT_I8, value
            else:
                raise OverflowError("integer does not fit 64 bits: %d" % value)
        elif isinstance(value, float):
            out.vt, out.value.dblVal = VT_R8, value
        elif isinstance(value, str):
            out.value.ptr = self.bstr(value)
            out.vt = VT_BSTR
        elif isinstance(value, (bytes, bytearray)):
            array = self._new_array(VT_UI1, len(value))
            if value:
                data = (ctypes.c_uint8 * len(value)).from_buffer_copy(bytes(value))
                for i in range(len(value)):
                    index = ctypes.c_int32(i)
                    self.dll.SafeArrayPutElement(array, ctypes.byref(index), ctypes.byref(data, i))
            out.value.ptr, out.vt = array, VT_ARRAY | VT_UI1
        elif isinstance(value, (list, tuple)):
            array = self._new_array(VT_VARIANT, len(value))
            out.value.ptr, out.vt = array, VT_ARRAY | VT_VARIANT
            item = VARIANT()
            for i, element in enumerate(value):
                try:
                    self.to_variant(element, item)
                    index = ctypes.c_int32(i)
                    hr = self.dll.SafeArrayPutElement(array, ctypes.byref(index), ctypes.byref(item))
                    if hr != S_OK:
                        raise KivError("SafeArrayPutElement", hr)
                finally:
                    self.dll.VariantClear(ctypes.byref(item))
        else:
            raise TypeError("no VARIANT form for %r" % type(value).__name__)

    def _new_array(self, vt, count):
        array = self.dll.SafeArrayCreateVector(vt, 0, count)
        if not array:
            raise MemoryError("SafeArrayCreateVector")
        return array

    # VARIANT -> Python value (the variant stays the caller's).
    def from_variant(self, v):
        vt = v.vt
        if vt & VT_BYREF:
            if vt == VT_BYREF | VT_VARIANT:
                return self.from_variant(ctypes.cast(v.value.ptr, ctypes.POINTER(VARIANT))[0])
            copy = VARIANT()
            copy.vt = vt & ~VT_BYREF
            size = 8 if copy.vt in (VT_I8, VT_UI8, VT_R8, VT_DATE, VT_CY, VT_BSTR) else 4
            ctypes.memmove(ctypes.byref(copy.value), v.value.ptr, size)
            return self.from_variant(copy)
        if vt & VT_ARRAY:
            return self._from_array(v.value.ptr, vt & 0x0FFF)
        u = v.value
        scalars = {
            VT_EMPTY: lambda: None,
            VT_NULL: lambda: None,
            VT_I1: lambda: u.cVal,
            VT_UI1: lambda: u.bVal,
            VT_I2: lambda: u.iVal,
            VT_UI2: lambda: u.uiVal,
            VT_I4: lambda: u.lVal,
            VT_INT: lambda: u.lVal,
            VT_ERROR: lambda: u.lVal,
            VT_UI4: lambda: u.ulVal,
            VT_UINT: lambda: u.ulVal,
            VT_I8: lambda: u.llVal,
            VT_UI8: lambda: u.ullVal,
            VT_R4: lambda: u.fltVal,
            VT_R8: lambda: u.dblVal,
            VT_DATE: lambda: u.dblVal,
            VT_BOOL: lambda: u.boolVal != 0,
            VT_BSTR: lambda: self.text(u.ptr),
        }
        if vt not in scalars:
            raise TypeError("VARIANT type 0x%04X has no Python form here" % vt)
        return scalars[vt]()

    def _from_array(self, array, vt):
        if not array:
            return []
        if self.dll.SafeArrayGetDim(array) != 1:
            raise TypeError("only one-dimensional arrays are read")
        lower, upper = ctypes.c_int32(), ctypes.c_int32()
        self.dll.SafeArrayGetLBound(array, 1, ctypes.byref(lower))
        self.dll.SafeArrayGetUBound(array, 1, ctypes.byref(upper))
        result = []
        for i in range(lower.value, upper.value + 1):
            index = ctypes.c_int32(i)
            item = VARIANT()
            if vt == VT_VARIANT:
                target = ctypes.byref(item)
            else:
                item.vt = vt
                target = ctypes.byref(item.value)
            hr = self.dll.SafeArrayGetElement(array, ctypes.byref(index), target)
            if hr != S_OK:
                raise KivError("SafeArrayGetElement", hr)
            try:
                result.append(self.from_variant(item))
            finally:
                self.dll.VariantClear(ctypes.byref(item))
        if vt == VT_UI1:
            return bytes(result)
        return result


# --------------------------------------------------------------------------
# Calling through vtables.


def _method(pointer, slot, *argtypes):
    """The function in `slot` of the object's vtable, `this` first."""
    vtable = ctypes.cast(pointer, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]
    prototype = ctypes.CFUNCTYPE(HRESULT, ctypes.c_void_p, *argtypes)
    return prototype(vtable[slot])


def _check(what, hr):
    if hr < 0:
        raise KivError(what, hr)
    return hr


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
                raise KivError("%s%s" % (name, where), hr)
            for position, arg in enumerate(args):
                if isinstance(arg, Ref):
                    arg.value = lib.from_variant(targets[position])
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
                sd = None
                if dispid == EVENT_SERVICE_REQUESTED2:
                    sd, args = self._lib.from_variant(args[0]), args[1:]
                source = self._lib.from_variant(args[0])
                service = self._lib.from_variant(args[1])
                value = self._lib.from_variant(args[2])
                code, output = self._owner._service_event(source, service, value, sd)
                out = ctypes.cast(args[3].value.ptr, ctypes.POINTER(VARIANT))
                answer = VARIANT()
                self._lib.to_variant(output, answer)
                try:
                    self._lib.dll.VariantCopy(out, ctypes.byref(answer))
                finally:
                    self._lib.dll.VariantClear(ctypes.byref(answer))
                ctypes.cast(args[4].value.ptr, ctypes.POINTER(ctypes.c_int32))[0] = code
            elif dispid == EVENT_ONLINE_STATUS_UPDATE and len(args) == 2:
                self._owner._status_event(self._lib.from_variant(args[0]), self._lib.from_variant(args[1]))
            return S_OK
        except BaseException:  # nothing may unwind into the library's thread
            traceback.print_exc()
            return S_OK


# --------------------------------------------------------------------------
# The automation object.


class KivIn:
    """One satellite: the automation object "Kiv.KivIn" and its events.

    Set on_service_requested(source, service, value) -> (code, output), or
    -> output for code 0, to answer calls (raise ServiceError(code) to fail
    one); on_status(sat_id, status) to follow the directory. Both run on the
    library's threads.
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
            raise KivError("Advise", hr)
        return point.value, cookie.value

    # Events, on the library's threads.
    def _service_event(self, source, service, value, sd):
        handler = self.on_service_requested
        if handler is None:
            return 0, None
        self.socket_of_last_call = sd
        try:
            answer = handler(source, service, value)
        except ServiceError as failure:
            return failure.code, None
        except Exception:
            traceback.print_exc()
            return -1, None
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
        """Registers with the directory on `directory` (a host); the directory's code."""
        code = Ref()
        self._code("Register", self.call("Register", directory, name, self.create_services(services), code))
        return _first(code.value)

    def directory_register(self, directory, port, name, services=()):
        """As register, at a port; calls then also carry the socket (ServiceRequested2)."""
        code = Ref()
        self._code(
            "DirectoryRegister",
            self.call("DirectoryRegister", directory, port, name, self.create_services(services), code),
        )
        return _first(code.value)

    def unregister(self, services):
        code = Ref()
        self._code("UnRegister", self.call("UnRegister", self.create_services(services), code))
        return _first(code.value)

    def request(self, destination, service, value=None, flags=KIV_NOFLAGS):
        """Calls `service` on `destination` (or "ALL"): (values, statuses)."""
        out, statuses = Ref(), Ref()
        self._code("Request", self.call("Request", destination, service, value, out, flags, statuses))
        return out.value if out.value is not None else [], statuses.value

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
        if code != 0:
            raise KivError(method, code)


def _first(codes):
    """Element 0 of a return-code value (a number or an array of them)."""
    if isinstance(codes, list):
        return codes[0] if codes else None
    return codes


if __name__ == "__main__":
    print(find_server())
    sys.exit(0)
