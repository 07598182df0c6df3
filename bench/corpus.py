"""The files the frame benchmark compresses: real data of twelve kinds, each
cut to at most `cap` bytes, from files that Debian packages install
(bench/README.md lists them). Speech is synthesised by espeak-ng from the
licence texts. A file whose sources are missing is left out with a note.
"""
import bz2
import io
import os
import re
import subprocess
import tarfile
import tempfile
import wave

import numpy as np

from .inputs import _concatenate, fortunes, grayscale_image, licences

PYTHON_LIB = "/usr/lib/python3.11"
WORDS = "/usr/share/dict/american-english-huge"
UNICODE_DIR = "/usr/share/unicode"
UNIHAN_TABLES = ("Unihan_Readings.txt.bz2", "Unihan_IRGSources.txt.bz2", "Unihan_DictionaryIndices.txt.bz2")
EXECUTABLE = "/usr/bin/python3.11"
LIBRARY = "/usr/lib/x86_64-linux-gnu/libLLVM-16.so.1"
DOC_DIR = "/usr/share/doc"
RGB_PPM = "/usr/share/libjxl-testdata/jxl/flower/flower.pnm"
PPM_HEADER = re.compile(rb"P6\s+(\d+)\s+(\d+)\s+255\s")
WAV_BYTES_PER_CHAR = 1000  # espeak-ng speaks ~2400 bytes of 16-bit WAV per character of text


def english(cap: int) -> bytes:
    text = licences(cap)
    return text + fortunes(cap - len(text))


def tree(directory: str, suffix: str = "") -> list[str]:
    """The files under the directory, in name order."""
    paths = []
    for root, dirs, files in os.walk(directory):
        dirs.sort()
        paths += [os.path.join(root, name) for name in sorted(files) if name.endswith(suffix)]
    return paths


def read_prefix(path: str, cap: int, offset: int = 0) -> bytes:
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(cap)


def unicode_tables(cap: int) -> bytes:
    """UnicodeData.txt (fields split by ';') followed by Unihan's tab-separated tables."""
    data = read_prefix(os.path.join(UNICODE_DIR, "UnicodeData.txt"), cap)
    for name in UNIHAN_TABLES:
        if len(data) < cap:
            with bz2.open(os.path.join(UNICODE_DIR, name)) as f:
                data += f.read(cap - len(data))
    return data[:cap]


def library_middle(cap: int) -> bytes:
    """Bytes from 4 MiB before the middle of the library on, at a page boundary: its machine code."""
    return read_prefix(LIBRARY, cap, (os.path.getsize(LIBRARY) // 2 - (4 << 20)) & ~4095)


def doc_tar(cap: int) -> bytes:
    """A tar of /usr/share/doc in name order (changelogs, copyright files, many gzipped)."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for path in tree(DOC_DIR):
            if out.tell() < cap:
                tar.add(path, recursive=False)
    return out.getvalue()[:cap]


def speak(text: bytes, voice: str) -> np.ndarray:
    """espeak-ng's 16-bit mono samples (22050 Hz) of the text."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "speech.wav")
        subprocess.run(["espeak-ng", "-v", voice, "-w", path], input=text, check=True)
        with wave.open(path, "rb") as w:
            return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")


def speech_16bit(cap: int) -> bytes:
    return speak(read_prefix("/usr/share/common-licenses/GPL-3", cap // WAV_BYTES_PER_CHAR), "en")[: cap // 2].tobytes()


def speech_8bit(cap: int) -> bytes:
    """Another voice and text, as unsigned 8-bit samples (the way an 8-bit WAV stores them)."""
    samples = speak(read_prefix("/usr/share/common-licenses/Apache-2.0", cap // WAV_BYTES_PER_CHAR * 2), "en-us")
    return ((samples[:cap] >> 8) + 128).astype(np.uint8).tobytes()


def rgb_pixels(cap: int) -> np.ndarray:
    """The rows of the RGB photograph that fit in `cap` bytes, as a rows x width x 3 array."""
    with open(RGB_PPM, "rb") as f:
        raw = f.read()
    header = PPM_HEADER.match(raw)
    if not header:
        raise ValueError(f"{RGB_PPM} is not an 8-bit binary PPM")
    width, height = int(header.group(1)), int(header.group(2))
    rows = min(height, max(1, cap // (3 * width)))
    pixels = np.frombuffer(raw, np.uint8, rows * width * 3, header.end())
    return pixels.reshape(rows, width, 3)


def luminance_float64(cap: int) -> bytes:
    """The photograph's luminance in [0, 1] as float64 (weights of ITU-R BT.709)."""
    rgb = rgb_pixels(cap // 8 * 3).astype(np.float64) / 255
    return (rgb @ np.array([0.2126, 0.7152, 0.0722])).astype("<f8").tobytes()


MAKERS = [
    ("text-english", english),
    ("python-sources", lambda cap: _concatenate(tree(PYTHON_LIB, ".py"), cap)),
    ("word-list", lambda cap: read_prefix(WORDS, cap)),
    ("unicode-tables", unicode_tables),
    ("elf-executable", lambda cap: read_prefix(EXECUTABLE, cap)),
    ("elf-library", library_middle),
    ("doc-tar", doc_tar),
    ("speech-16bit", speech_16bit),
    ("speech-8bit", speech_8bit),
    ("image-gray8", grayscale_image),
    ("image-rgb8", lambda cap: rgb_pixels(cap).tobytes()),
    ("float64-luminance", luminance_float64),
]


def build(directory: str, cap: int) -> tuple[list[str], list[str]]:
    """Writes every file that can be made into `directory`; returns their paths and a note per file left out."""
    paths, notes = [], []
    for name, make in MAKERS:
        try:
            data = make(cap)
        except (OSError, ValueError, subprocess.CalledProcessError) as exc:
            notes.append(f"{name} left out: {exc}")
            continue
        paths.append(os.path.join(directory, name))
        with open(paths[-1], "wb") as f:
            f.write(data)
    return paths, notes
