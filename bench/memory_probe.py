"""Peak resident memory of one codec call, measured in a fresh process.

Run by the harness as `python -m bench.memory_probe CODEC encode|decode IN OUT`:
reads IN, resets the kernel's resident high-water mark, makes one call,
writes the call's output, if any, to OUT and prints, as JSON, how far the high-water
mark rose above the resident size just before the call. Where the kernel
refuses the reset, the rise of the high-water mark itself is printed, which
can only understate the peak.
"""
import gc
import json
import sys

from .codecs import codec_by_name, refusal_text, reraise_interrupts
from .console import divert_native_stdout


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def main(codec_name: str, direction: str, in_path: str, out_path: str) -> dict:
    codec = codec_by_name(codec_name)
    call = codec.compress if direction == "encode" else codec.decompress
    with open(in_path, "rb") as f:
        data = f.read()
    gc.collect()
    reset = _reset_peak()
    before = _status_kib("VmRSS" if reset else "VmHWM")
    out, refusal = None, ""
    try:
        out = call(data)
    except BaseException as exc:  # a refused call has a peak too
        reraise_interrupts(exc)
        refusal = refusal_text(exc)
    rise_kib = _status_kib("VmHWM") - before
    if out is not None:
        with open(out_path, "wb") as f:
            f.write(out)
    return {"peak_rise_kib": rise_kib, "output_size": None if out is None else len(out),
            "peak_reset": reset, "refusal": refusal}

if __name__ == "__main__":
    divert_native_stdout()
    print(json.dumps(main(*sys.argv[1:5])))
