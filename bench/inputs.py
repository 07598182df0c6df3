"""The inputs every codec is measured on.

Real data comes from files that Debian packages install (scripts/bench.sh
installs the packages): English text from `fortunes` and the licence texts,
the Python interpreter's ELF binary, 16-bit speech from `alsa-utils` and an
8-bit grayscale photograph from `libjxl-testdata`. The generated 8-bit
signals come from fixed seeds, so every run sees the same bytes. An input
whose files are missing is left out with a note.
"""
import os
import re
import wave
from dataclasses import dataclass

import numpy as np

from .settings import Settings

FORTUNES_DIR = "/usr/share/games/fortunes"
LICENCES_DIR = "/usr/share/common-licenses"
SOUNDS_DIR = "/usr/share/sounds/alsa"
NOISE_SOUND = "Noise.wav"  # not speech
GRAYSCALE_PGM = "/usr/share/libjxl-testdata/jxl/flower/flower.pgm"
PYTHON_BINARY = "/usr/bin/python3"
# The input of the per-call and memory figures: a signal zelk shrinks even in
# short prefixes, so that both directions are measured.
SAMPLE_INPUT = "sine-noise-8bit"
PGM_HEADER = re.compile(rb"P5\s+(?:#[^\n]*\n\s*)*(\d+)\s+(\d+)\s+(\d+)\s")


@dataclass(frozen=True)
class Input:
    name: str
    source: str
    data: bytes


def _regular_files(directory: str, skip_suffixes: tuple[str, ...] = ()) -> list[str]:
    """The directory's plain files in name order; links are left out so that no text counts twice."""
    paths = (os.path.join(directory, name) for name in sorted(os.listdir(directory)))
    return [p for p in paths if os.path.isfile(p) and not os.path.islink(p) and not p.endswith(skip_suffixes)]


def _concatenate(paths: list[str], cap: int) -> bytes:
    parts, size = [], 0
    for path in paths:
        with open(path, "rb") as f:
            parts.append(f.read(cap - size))
        size += len(parts[-1])
        if size >= cap:
            break
    return b"".join(parts)


def fortunes(cap: int) -> bytes:
    return _concatenate(_regular_files(FORTUNES_DIR, (".dat", ".u8")), cap)


def licences(cap: int) -> bytes:
    return _concatenate(_regular_files(LICENCES_DIR), cap)


def elf_binary(cap: int) -> bytes:
    with open(os.path.realpath(PYTHON_BINARY), "rb") as f:
        data = f.read(cap)
    if not data.startswith(b"\x7fELF"):
        raise ValueError(f"{PYTHON_BINARY} is not an ELF file")
    return data


def speech(cap: int) -> bytes:
    """The raw little-endian 16-bit samples of the spoken channel names."""
    samples = []
    for path in _regular_files(SOUNDS_DIR):
        if not path.endswith(".wav") or os.path.basename(path) == NOISE_SOUND:
            continue
        with wave.open(path, "rb") as w:
            if w.getsampwidth() != 2:
                continue
            samples.append(w.readframes(w.getnframes()))
    if not samples:
        raise FileNotFoundError(f"no 16-bit WAV files in {SOUNDS_DIR}")
    return b"".join(samples)[: cap & ~1]


def grayscale_image(cap: int) -> bytes:
    """The pixels of an 8-bit binary PGM, cut at a whole row."""
    with open(GRAYSCALE_PGM, "rb") as f:
        raw = f.read()
    header = PGM_HEADER.match(raw)
    if not header or int(header.group(3)) > 255:
        raise ValueError(f"{GRAYSCALE_PGM} is not an 8-bit binary PGM")
    width = int(header.group(1))
    pixels = raw[header.end():]
    return pixels[: max(width, cap // width * width)]


def grayscale_photo() -> np.ndarray:
    """The 8-bit photograph as a rows x width array of uint8."""
    with open(GRAYSCALE_PGM, "rb") as f:
        raw = f.read()
    header = PGM_HEADER.match(raw)
    if not header or int(header.group(3)) > 255:
        raise ValueError(f"{GRAYSCALE_PGM} is not an 8-bit binary PGM")
    width, height = int(header.group(1)), int(header.group(2))
    return np.frombuffer(raw, np.uint8, width * height, header.end()).reshape(height, width)


def sine_with_noise(n: int) -> bytes:
    rng = np.random.default_rng(1)
    t = np.arange(n)
    signal = 128 + 96 * np.sin(2 * np.pi * t / 173.3) + rng.normal(0, 3, n)
    return np.clip(np.rint(signal), 0, 255).astype(np.uint8).tobytes()


def random_walk(n: int) -> bytes:
    """Steps of -3 to +3, wrapping modulo 256."""
    rng = np.random.default_rng(2)
    return (np.cumsum(rng.integers(-3, 4, n)) % 256).astype(np.uint8).tobytes()


def random_bytes(n: int) -> bytes:
    return np.random.default_rng(3).bytes(n)


def load_inputs(settings: Settings) -> tuple[list[Input], list[str]]:
    """The inputs that could be made, and a note for each that could not."""
    cap = settings.input_cap
    makers = [
        ("text-fortunes", f"fortune files in {FORTUNES_DIR}", lambda: fortunes(cap)),
        ("text-licences", f"licence texts in {LICENCES_DIR}", lambda: licences(cap)),
        ("elf-binary", f"start of {os.path.realpath(PYTHON_BINARY)}", lambda: elf_binary(cap)),
        ("speech-16bit", f"samples of the WAV files in {SOUNDS_DIR}", lambda: speech(cap)),
        ("image-8bit", f"pixels of {GRAYSCALE_PGM}", lambda: grayscale_image(cap)),
        ("sine-noise-8bit", "generated: sine, period 173.3, amplitude 96, Gaussian noise sd 3", lambda: sine_with_noise(cap)),
        ("random-walk-8bit", "generated: steps -3..+3, wrapping", lambda: random_walk(cap)),
        ("random", "generated: uniform random bytes", lambda: random_bytes(settings.random_size)),
    ]
    inputs, notes = [], []
    for name, source, make in makers:
        try:
            inputs.append(Input(name, source, make()))
        except (OSError, ValueError) as exc:
            notes.append(f"{name} left out: {exc}")
    return inputs, notes
