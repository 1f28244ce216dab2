"""A hand-made Arrow C stream producer (ctypes), for streams that real
producers never make: malformed layouts, failing callbacks, and a count of
every release so that each structure is seen to be released exactly once."""

import ctypes as C
import struct


class ArrowSchema(C.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", C.c_char_p),
    ("name", C.c_char_p),
    ("metadata", C.c_char_p),
    ("flags", C.c_int64),
    ("n_children", C.c_int64),
    ("children", C.POINTER(C.POINTER(ArrowSchema))),
    ("dictionary", C.POINTER(ArrowSchema)),
    ("release", C.c_void_p),
    ("private_data", C.c_void_p),
]


class ArrowArray(C.Structure):
    pass


ArrowArray._fields_ = [
    ("length", C.c_int64),
    ("null_count", C.c_int64),
    ("offset", C.c_int64),
    ("n_buffers", C.c_int64),
    ("n_children", C.c_int64),
    ("buffers", C.POINTER(C.c_void_p)),
    ("children", C.POINTER(C.POINTER(ArrowArray))),
    ("dictionary", C.POINTER(ArrowArray)),
    ("release", C.c_void_p),
    ("private_data", C.c_void_p),
]


class ArrowArrayStream(C.Structure):
    _fields_ = [
        ("get_schema", C.c_void_p),
        ("get_next", C.c_void_p),
        ("get_last_error", C.c_void_p),
        ("release", C.c_void_p),
        ("private_data", C.c_void_p),
    ]


SCHEMA_RELEASE = C.CFUNCTYPE(None, C.POINTER(ArrowSchema))
ARRAY_RELEASE = C.CFUNCTYPE(None, C.POINTER(ArrowArray))
GET_SCHEMA = C.CFUNCTYPE(C.c_int, C.POINTER(ArrowArrayStream), C.POINTER(ArrowSchema))
GET_NEXT = C.CFUNCTYPE(C.c_int, C.POINTER(ArrowArrayStream), C.POINTER(ArrowArray))
GET_LAST_ERROR = C.CFUNCTYPE(C.c_void_p, C.POINTER(ArrowArrayStream))
STREAM_RELEASE = C.CFUNCTYPE(None, C.POINTER(ArrowArrayStream))

_capsule_new = C.pythonapi.PyCapsule_New
_capsule_new.restype = C.py_object
_capsule_new.argtypes = [C.c_void_p, C.c_char_p, C.c_void_p]


def bitmap(bits):
    """Validity or boolean bits, least significant bit first."""
    out = bytearray((len(bits) + 7) // 8)
    for i, b in enumerate(bits):
        if b:
            out[i // 8] |= 1 << (i % 8)
    return bytes(out)


def i64s(values):
    return struct.pack(f"<{len(values)}q", *values)


def i32s(values):
    return struct.pack(f"<{len(values)}i", *values)


def view(text, buffer_index=0, offset=0):
    """One 16-byte string view; longer than 12 bytes refers to a data buffer."""
    data = text.encode() if isinstance(text, str) else text
    if len(data) <= 12:
        return struct.pack("<i", len(data)) + data.ljust(12, b"\0")
    return struct.pack("<i4sii", len(data), data[:4], buffer_index, offset)


class Col:
    """One column of one batch: its buffers (bytes or None) and counts."""

    def __init__(self, length, buffers, null_count=0, offset=0, n_buffers=None):
        self.length, self.buffers, self.null_count, self.offset = length, buffers, null_count, offset
        self.n_buffers = len(buffers) if n_buffers is None else n_buffers


class FakeStream:
    """fields: [(name, format)], a name as str or bytes; batches: [[Col per field]] or
    ("fail", message) for a failing get_next. The stream is handed out through
    __arrow_c_stream__ as a capsule; `released` counts every release."""

    def __init__(self, fields, batches, schema_error=None, capsule_name=b"arrow_array_stream", batch_offset=0,
                 batch_length=None):
        self.released = {"stream": 0, "schema": 0, "array": 0}
        self.arrays_out = 0
        self._keep = []
        self._fields, self._batches = fields, list(batches)
        self._schema_error, self._capsule_name, self._batch_offset = schema_error, capsule_name, batch_offset
        self._batch_length = batch_length
        self._error = C.create_string_buffer(b"")
        self._cb = {
            "schema_release": SCHEMA_RELEASE(self._schema_release),
            "array_release": ARRAY_RELEASE(self._array_release),
            "get_schema": GET_SCHEMA(self._get_schema),
            "get_next": GET_NEXT(self._get_next),
            "get_last_error": GET_LAST_ERROR(self._get_last_error),
            "stream_release": STREAM_RELEASE(self._stream_release),
        }

    def _addr(self, name):
        return C.cast(self._cb[name], C.c_void_p).value

    def _schema_release(self, p):
        self.released["schema"] += 1
        p.contents.release = None

    def _array_release(self, p):
        self.released["array"] += 1
        p.contents.release = None

    def _stream_release(self, p):
        self.released["stream"] += 1
        p.contents.release = None

    def _get_last_error(self, _p):
        return C.addressof(self._error)

    def _get_schema(self, _stream, out):
        if self._schema_error:
            self._error = C.create_string_buffer(self._schema_error.encode())
            return 22
        children = []
        for name, fmt in self._fields:
            # A bytes name goes out as it is, valid UTF-8 or not.
            raw = name if isinstance(name, bytes) else name.encode()
            s = ArrowSchema(format=fmt.encode(), name=raw, flags=2)
            self._keep.append(s)
            children.append(C.pointer(s))
        arr = (C.POINTER(ArrowSchema) * max(1, len(children)))(*children)
        self._keep.append(arr)
        out.contents.format = b"+s"
        out.contents.name = b""
        out.contents.metadata = None
        out.contents.flags = 0
        out.contents.n_children = len(children)
        out.contents.children = C.cast(arr, C.POINTER(C.POINTER(ArrowSchema)))
        out.contents.dictionary = None
        out.contents.release = self._addr("schema_release")
        return 0

    def _get_next(self, _stream, out):
        if not self._batches:
            out.contents.release = None
            return 0
        batch = self._batches.pop(0)
        if isinstance(batch, tuple):
            self._error = C.create_string_buffer(batch[1].encode())
            return 5
        children = []
        length = None
        for col in batch:
            bufs = []
            for b in col.buffers:
                if b is None:
                    bufs.append(None)
                else:
                    cb = C.create_string_buffer(b, len(b) + 8)
                    self._keep.append(cb)
                    bufs.append(C.addressof(cb))
            ptrs = (C.c_void_p * max(1, len(bufs)))(*bufs)
            self._keep.append(ptrs)
            a = ArrowArray(length=col.length, null_count=col.null_count, offset=col.offset, n_buffers=col.n_buffers,
                           n_children=0, buffers=C.cast(ptrs, C.POINTER(C.c_void_p)),
                           release=self._addr("array_release"))
            self._keep.append(a)
            children.append(C.pointer(a))
            length = col.length if length is None else min(length, col.length)
        arr = (C.POINTER(ArrowArray) * max(1, len(children)))(*children)
        self._keep.append(arr)
        validity = (C.c_void_p * 1)(None)
        self._keep.append(validity)
        if self._batch_length is not None:
            length = self._batch_length + self._batch_offset
        out.contents.length = (length or 0) - self._batch_offset
        out.contents.null_count = 0
        out.contents.offset = self._batch_offset
        out.contents.n_buffers = 1
        out.contents.n_children = len(children)
        out.contents.buffers = C.cast(validity, C.POINTER(C.c_void_p))
        out.contents.children = C.cast(arr, C.POINTER(C.POINTER(ArrowArray)))
        out.contents.dictionary = None
        out.contents.release = self._addr("array_release")
        self.arrays_out += 1
        return 0

    def __arrow_c_stream__(self, requested_schema=None):
        stream = ArrowArrayStream(
            get_schema=self._addr("get_schema"),
            get_next=self._addr("get_next"),
            get_last_error=self._addr("get_last_error"),
            release=self._addr("stream_release"),
        )
        self._keep.append(stream)
        return _capsule_new(C.addressof(stream), self._capsule_name, None)
