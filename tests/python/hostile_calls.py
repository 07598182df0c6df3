"""Calls with hostile arguments, shared by the leak tests of the running
interpreter and of a debug interpreter in a subprocess (so no pytest here).

Exceptions are raised afresh on every call: re-raising one instance would
grow its traceback and look like a leak."""

import struct

import zelk_native as z

matrix = z.compress_matrix_v1
NAN = float("nan")


def fresh(error):
    return type(error)(*error.args)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise fresh(self.value)
        if callable(self.value):
            return self.value()
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise fresh(self.value)
        if callable(self.value):
            return self.value()
        return self.value


class Items:
    """A sequence (old protocol) that raises at position `fail`."""

    def __init__(self, fail, error):
        self.fail, self.error = fail, error

    def __len__(self):
        return self.fail + 1

    def __getitem__(self, i):
        if i == self.fail:
            raise fresh(self.error)
        return 1.0


class Liar(bytes):
    """A bytes subclass whose Python-level protocol lies about its contents."""

    def __len__(self):
        return 3

    def __iter__(self):
        return iter([7, 7, 7])

    def __getitem__(self, i):
        return 7

    def __bytes__(self):
        return b"lie"

    def __buffer__(self, flags):  # noqa: PLW3201 - only honoured by newer interpreters
        return memoryview(b"lie")


def nested_fault():
    matrix([1.0], 1, 1, NAN)


DATA = bytes(20 + (i % 100) for i in range(300))
WEIGHTS = struct.pack("<12i", *range(9000, 21000, 1000))
CHUNK = z.encode_bytes(DATA, 0, WEIGHTS)

# Cheap calls: conversions and refusals, thousands of rounds.
CHEAP = [
    (matrix, ([1.0, Float(2.0), 3, True], 2, 2, 0.1)),
    (matrix, ([1.0, Float(TypeError("t"))], 1, 2, 0.1)),
    (matrix, ([1.0, Float(ValueError("v"))], 1, 2, 0.1)),
    (matrix, (Items(3, TypeError("i")), 1, 4, 0.1)),
    (matrix, (Items(0, KeyError("k")), 1, 1, 0.1)),
    (matrix, ([NAN], 2**64 - 1, 2**64 - 1, 0.1)),
    (matrix, ([1.0], Index(2**64), 1, 0.1)),
    (matrix, ([1.0], 1, Index(TypeError("i")), 0.1)),
    (matrix, ([1.0], Index("1"), 1, 0.1)),
    (matrix, (Liar(b"\x01\x02"), 1, 3, Float(0.5))),
    (matrix, ([1.0, NAN], 1, 2, 0.1)),
    (z.get_residuals_py, (Liar(b"abc"), Index(7), Liar(b""))),
    (z.get_residuals_py, (b"x", Index(1.0))),
    (z.decode_bytes, (b"\xa1\0\0\0\0",)),
    (z.decode_bytes, (Liar(b"\xa2\0\0\0\0"),)),
    (z.encode_bytes, (DATA, Index(300))),
]

# Calls that run the codec (each builds its models): hundreds of rounds.
CODEC = [
    (z.encode_bytes, (Liar(DATA), Index(1), WEIGHTS)),
    (z.decode_bytes, (Liar(CHUNK), Index(9), Liar(WEIGHTS))),
    (z.decode_bytes, (CHUNK[:40],)),
    (z.compress_adaptive, (b"short",)),
]

# Faults that come back through Python code (each writes a report and a traceback).
RESUMED = [
    (matrix, ([1.0, Float(nested_fault)], 1, 2, 0.5)),
    (z.encode_bytes, (DATA, Index(nested_fault))),
    (matrix, ([1.0], 1, 1, Float(nested_fault))),
]

TABLES = {"cheap": (CHEAP, 1500), "codec": (CODEC, 40), "resumed": (RESUMED, 100)}


def run(table, rounds):
    for _ in range(rounds):
        for function, args in table:
            try:
                function(*args)
            except BaseException:  # noqa: B036 - InternalFault is a BaseException
                pass


def arguments(table):
    """The argument objects of the table that nothing else shares (small
    ints are cached process-wide), for reference counts."""
    return [a for _, args in table for a in args if not isinstance(a, int)]
