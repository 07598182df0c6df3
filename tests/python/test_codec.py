"""encode_bytes, compress_adaptive and decode_bytes from Python: round trips,
the chunk's visible fields, refusals, the decoder's tolerance of odd chunks,
the debug line on descriptor 1, and the conformance vectors."""

import contextlib
import io
import json
import pathlib
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zelk_native as z

EXPANSION = ("CompressionError: Expansion detected",)
DEBUG_LINE = "DEBUG: Running Optimized Encoder\n"
VECTORS = pathlib.Path(__file__).resolve().parents[1] / "data" / "vectors"
WEIGHT_LENGTHS = [0, 10, 24, 47, 48, 60]


def plausible_weights(n):
    """n bytes of mixer-like 16.16 words (8000, 9000, ...), or None for 0."""
    if n == 0:
        return None
    return struct.pack("<15i", *range(8000, 23000, 1000))[:n]


def ramp(n):
    return bytes((i // 3) & 0xFF for i in range(n))


def triangle(n):
    return bytes(20 + (i % 200 if i % 200 < 100 else 200 - i % 200) for i in range(n))


def periodic(n, period=b"zelk!\x01\xf0"):
    return (period * (n // len(period) + 1))[:n]


COMPRESSIBLE = {
    "run": bytes([0x42]) * 700,
    "ramp": ramp(3000),
    "triangle": triangle(6000),
    "periodic": periodic(5000),
}


def encode_or_refuse(data, predictor_id=0, weights=None):
    """The chunk, or None when the input is refused as not shrinking."""
    try:
        chunk = z.encode_bytes(data, predictor_id, weights)
    except OSError as e:
        assert e.args == EXPANSION
        return None
    assert len(chunk) < len(data)
    assert chunk[1:5] == struct.pack("<I", len(data))
    assert chunk[0] == (0xA2 if weights else 0xA0)
    return chunk


# Structured data of every length from 10 bytes up: runs, ramps, periods,
# text, binary noise and mixtures of them.
structured = st.one_of(
    st.binary(min_size=10, max_size=3000),
    st.builds(lambda b, n: b * n, st.binary(min_size=1, max_size=1), st.integers(10, 3000)),
    st.builds(lambda n, step: bytes((i * step) & 0xFF for i in range(n)), st.integers(10, 3000), st.integers(0, 5)),
    st.builds(lambda p, n: periodic(n, p), st.binary(min_size=1, max_size=40), st.integers(10, 4000)),
    st.builds(lambda t, n: (t.encode() * n)[: max(10, len(t.encode()) * n)], st.text(min_size=1, max_size=60), st.integers(10, 200)),
).filter(lambda d: len(d) >= 10)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    data=structured,
    weights=st.sampled_from(WEIGHT_LENGTHS).flatmap(
        lambda n: st.none() if n == 0 else st.binary(min_size=n, max_size=n)
    ),
    encoder_id=st.integers(0, 2),
    decoder_id=st.integers(0, 255),
)
def test_every_accepted_input_round_trips(data, weights, encoder_id, decoder_id):
    chunk = encode_or_refuse(data, encoder_id, weights)
    if chunk is None:
        return
    assert z.compress_adaptive(data, encoder_id, weights) == chunk
    assert z.decode_bytes(chunk, decoder_id, weights) == data
    if weights is not None and len(weights) < 48:
        assert z.decode_bytes(chunk, decoder_id) == data


@pytest.mark.parametrize("name", COMPRESSIBLE)
@pytest.mark.parametrize("w", WEIGHT_LENGTHS)
def test_structured_data_compresses_under_every_weight_length(name, w):
    data = COMPRESSIBLE[name]
    weights = plausible_weights(w)
    chunk = encode_or_refuse(data, 0, weights)
    assert chunk is not None, "refused"
    assert z.decode_bytes(chunk, 0, weights) == data
    if w < 48:
        assert z.decode_bytes(chunk) == data
    assert all(z.encode_bytes(data, pid, weights) == chunk for pid in (1, 2))


def test_empty_weights_are_no_weights():
    data = COMPRESSIBLE["ramp"]
    assert z.encode_bytes(data, 0, b"") == z.encode_bytes(data) == z.encode_bytes(data, weights=None)


def test_anchor_weights_must_be_given_again():
    data = COMPRESSIBLE["triangle"]
    w48 = plausible_weights(48)
    chunk = z.encode_bytes(data, 0, w48)
    # The chunk carries the initial weights: the caller's first 24 bytes are not used.
    assert z.decode_bytes(chunk, 0, bytes(24) + w48[24:]) == data
    other_anchors = w48[:24] + struct.pack("<6i", *[-(1 << 20)] * 6)
    assert z.decode_bytes(chunk, 0, other_anchors) != data


@pytest.mark.parametrize("n", range(10))
def test_inputs_of_nine_bytes_or_fewer_are_refused(n, capfd):
    for weights in (None, b"\x01"):
        with pytest.raises(OSError) as info:
            z.encode_bytes(bytes(n), 0, weights)
        assert info.value.args == EXPANSION
    # The refusal comes after the model ran: the debug line is out.
    assert capfd.readouterr().out == DEBUG_LINE * 2


@pytest.mark.parametrize("function", [z.encode_bytes, z.compress_adaptive])
@pytest.mark.parametrize("predictor_id", [3, 200, 255])
def test_unsupported_predictor_is_refused_without_debug_line(function, predictor_id, capfd):
    with pytest.raises(OSError) as info:
        function(COMPRESSIBLE["run"], predictor_id)
    assert type(info.value) is OSError
    assert info.value.args == (f"InvalidInput: Unsupported Predictor ID: {predictor_id}",)
    assert info.value.errno is None
    assert capfd.readouterr().out == ""


def test_debug_line_goes_to_descriptor_one_not_sys_stdout(capfd):
    captured = io.StringIO()
    with contextlib.redirect_stdout(captured):
        z.encode_bytes(COMPRESSIBLE["run"])
        z.compress_adaptive(COMPRESSIBLE["run"])
        z.decode_bytes(z.encode_bytes(COMPRESSIBLE["run"]))
    assert captured.getvalue() == ""
    assert capfd.readouterr().out == DEBUG_LINE * 3


def test_debug_line_to_closed_or_failing_descriptor(run_python):
    closed = run_python(
        """
        import os, zelk_native as z
        os.close(1)
        chunk = z.encode_bytes(bytes(1000))
        os.write(2, b"ok %d" % len(z.decode_bytes(chunk)))
        """
    )
    assert closed.stderr == "ok 1000"
    full = run_python(
        """
        import os, sys, zelk_native as z
        os.dup2(os.open("/dev/full", os.O_WRONLY), 1)
        try:
            z.encode_bytes(bytes(1000))
        except BaseException as e:
            print(type(e).__name__, "|", e, file=sys.stderr)
        print("usable", len(z.decode_bytes(b"\\xa0\\x05\\0\\0\\0")), file=sys.stderr)
        """
    )
    assert "InternalFault | failed printing to stdout: No space left on device" in full.stderr
    assert full.stderr.endswith("usable 5\n")


def test_decoder_reads_exactly_the_stated_length():
    data = COMPRESSIBLE["triangle"]
    chunk = z.encode_bytes(data)
    assert z.decode_bytes(chunk + b"\xde\xad\xbe\xef" * 9) == data
    cut = chunk[:-9]
    assert len(z.decode_bytes(cut)) == len(data)
    assert z.decode_bytes(cut) == z.decode_bytes(cut + bytes(9))
    assert z.decode_bytes(b"\xa0\0\0\0\0garbage") == b""
    assert len(z.decode_bytes(b"\xa2\xe8\x03\0\0" + bytes(24))) == 1000
    # A Plain chunk read with 24+ weight bytes runs another model, silently.
    other = z.decode_bytes(chunk, 0, plausible_weights(24))
    assert len(other) == len(data) and other != data
    assert z.decode_bytes(chunk, 0, plausible_weights(23)) == data


@pytest.mark.parametrize(
    "chunk, text",
    [
        (b"\0\0\0\0", "InvalidData: Chunk too short"),
        (b"\x00\0\0\0\0", "InvalidData: Version Mismatch: File v0 != Library v10"),
        (b"\xb0\0\0\0\0", "InvalidData: Version Mismatch: File v11 != Library v10"),
        (b"\xa4\0\0\0\0", "InvalidData: Unknown codec mode: 0x4"),
        (b"\xaf\0\0\0\0", "InvalidData: Unknown codec mode: 0xf"),
        (b"\xa1\0\0\0\0", "CompressionError: Zstd fallback chunk - handle externally"),
        (b"\xa2" + bytes(27), "InvalidData: Chunk too short for Neural Header"),
        (b"\xa3\0\0\0\0", "Other: Split not reimplemented yet"),
    ],
)
def test_bad_headers_raise_oserror_with_the_codec_text(chunk, text):
    with pytest.raises(OSError) as info:
        z.decode_bytes(chunk)
    assert type(info.value) is OSError
    assert info.value.args == (text,)
    assert info.value.errno is None and info.value.strerror is None


def test_unaffordable_length_is_memory_error_and_module_stays_usable(run_python):
    result = run_python(
        """
        import resource, zelk_native as z
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            z.decode_bytes(b"\\xa0\\xff\\xff\\xff\\xff")
        except MemoryError:
            print("MemoryError", flush=True)
        print(z.decode_bytes(z.encode_bytes(bytes(500))) == bytes(500))
        """
    )
    assert result.stdout == "MemoryError\n" + DEBUG_LINE + "True\n"


def manifest_cases():
    return json.loads((VECTORS / "manifest.json").read_text())["cases"]


def hex_or_none(field):
    return None if field is None else bytes.fromhex(field)


@pytest.mark.parametrize("case", manifest_cases(), ids=lambda c: c["name"])
def test_conformance_vector(case):
    data = (VECTORS / case["input"]).read_bytes()
    function = z.encode_bytes if case["op"] == "encode" else z.decode_bytes
    if case["error"] is not None:
        with pytest.raises(OSError) as info:
            function(data, case["predictor_id"], hex_or_none(case["weights"]))
        assert info.value.args == (case["error"],)
        return
    expected = (VECTORS / case["expected"]).read_bytes()
    assert function(data, case["predictor_id"], hex_or_none(case["weights"])) == expected
    for weights in case.get("roundtrip_weights", []):
        assert z.decode_bytes(expected, 0, hex_or_none(weights)) == data
