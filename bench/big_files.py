"""Big files through the command: thread scaling and long-distance matching.

    python -m bench.big_files [--zelk PATH] [--out DIR]

Inputs, built from what every Debian system holds: a tar of /usr/share/doc
(its first 100 MB, names sorted), the largest shared library under /usr/lib,
and the first 10 MB of each and of the C headers under /usr/include.

- Thread scaling: `zelk -9` on the 10 MB files and `zelk -3` on the 100 MB
  ones, with one thread and with two, beside zstd at the same level; the
  speed-up is the ratio of wall-clock times measured in the same run.
- Long matches: `zelk -9` with and without `--long`, beside `zstd -19` with and
  without `--long` and `xz -9`, two threads each (xz: one, as it is multi-
  threaded only by cutting the input into independent blocks).

Every output is decompressed and compared. Writes `big_files.md` and
`big_files.json` beside the other results.
"""
import argparse
import json
import os
import shutil
import subprocess
import sysconfig
import tarfile
import tempfile
import time

MB = 10**6
BIG, SMALL = 100 * MB, 10 * MB


def _docs_tar(path: str) -> None:
    with tarfile.open(path, "w", format=tarfile.GNU_FORMAT) as tar:
        for root, dirs, files in os.walk("/usr/share/doc"):
            dirs.sort()
            for name in sorted(files):
                tar.add(os.path.join(root, name), recursive=False)
            if os.path.getsize(path) > BIG:
                return


def _largest_library() -> str:
    found = []
    for root, _, files in os.walk("/usr/lib"):
        found += [os.path.join(root, n) for n in files if ".so" in n]
    return max((p for p in found if not os.path.islink(p)), key=os.path.getsize)


def build_inputs(directory: str) -> dict[str, str]:
    tar = os.path.join(directory, "docs.tar")
    _docs_tar(tar)
    with open(tar, "rb") as f:
        docs = f.read(BIG)
    library = _largest_library()
    with open(library, "rb") as f:
        lib = f.read(BIG)
    headers, length = [], 0
    for root, dirs, files in os.walk("/usr/include"):
        dirs.sort()
        for name in sorted(files):
            if name.endswith(".h") and length < SMALL:
                with open(os.path.join(root, name), "rb") as f:
                    headers.append(f.read())
                length += len(headers[-1])
    headers = b"".join(headers)
    inputs = {"docs.tar": docs, os.path.basename(library): lib, "docs.tar 10 MB": docs[:SMALL],
              os.path.basename(library) + " 10 MB": lib[:SMALL], "C headers 10 MB": headers[:SMALL]}
    paths = {}
    for name, data in inputs.items():
        paths[name] = os.path.join(directory, name.replace(" ", "_"))
        with open(paths[name], "wb") as f:
            f.write(data)
    return paths


def run(compress: list[str], decompress: list[str], path: str) -> dict:
    """Size and MB/s of one compression of `path`, its output checked."""
    with open(path, "rb") as source, tempfile.TemporaryFile() as packed:
        start = time.perf_counter()
        subprocess.run(compress, stdin=source, stdout=packed, check=True)
        seconds = time.perf_counter() - start
        size = packed.tell()
        packed.seek(0)
        restored = subprocess.run(decompress, stdin=packed, stdout=subprocess.PIPE, check=True).stdout
    with open(path, "rb") as f:
        if restored != f.read():
            raise RuntimeError(f"{compress} did not restore {path}")
    return {"size": size, "mbps": os.path.getsize(path) / MB / seconds}


def thread_scaling(zelk: str, paths: dict[str, str]) -> list[dict]:
    rows = []
    for name, path in paths.items():
        level, zstd_level = (9, 19) if os.path.getsize(path) <= SMALL else (3, 3)
        row = {"input": name, "level": level}
        for threads in (1, 2):
            row[f"zelk T{threads}"] = run([zelk, f"-{level}", f"-T{threads}", "-c"], [zelk, "-dc"], path)
            row[f"zstd T{threads}"] = run(["zstd", f"-{zstd_level}", f"-T{threads}", "-c"], ["zstd", "-dc"], path)
        rows.append(row)
    return rows


def long_matches(zelk: str, paths: dict[str, str]) -> list[dict]:
    codecs = {
        "zelk -9": ([zelk, "-9", "-T2", "-c"], [zelk, "-dc"]),
        "zelk -9 --long": ([zelk, "-9", "--long", "-T2", "-c"], [zelk, "-dc"]),
        "zstd -19": (["zstd", "-19", "-T2", "-c"], ["zstd", "-dc"]),
        "zstd --long -19": (["zstd", "-19", "--long", "-T2", "-c"], ["zstd", "-dc", "--long"]),
        "xz -9": (["xz", "-9", "-c"], ["xz", "-dc"]),
    }
    rows = []
    for name, path in paths.items():
        if os.path.getsize(path) > SMALL:
            rows.append({"input": name, "bytes": os.path.getsize(path),
                         **{codec: run(c, d, path) for codec, (c, d) in codecs.items()}})
    return rows


def markdown(scaling: list[dict], long: list[dict], paths: dict[str, str]) -> str:
    lines = ["## Thread scaling (wall clock, one run; MB/s of input)", "",
             "| input | level | zelk -T1 | zelk -T2 | speed-up | size -T2 vs -T1 | zstd -T1 | zstd -T2 | zstd speed-up |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    for r in scaling:
        one, two, z1, z2 = r["zelk T1"], r["zelk T2"], r["zstd T1"], r["zstd T2"]
        lines.append(f"| {r['input']} | {r['level']} | {one['mbps']:.1f} | {two['mbps']:.1f} | "
                     f"{two['mbps'] / one['mbps']:.2f}x | {two['size'] / one['size'] - 1:+.2%} | {z1['mbps']:.1f} | "
                     f"{z2['mbps']:.1f} | {z2['mbps'] / z1['mbps']:.2f}x |")
    codecs = [k for k in long[0] if k not in ("input", "bytes")] if long else []
    lines += ["", "## Long matches (two threads; ratio · MB/s)", "",
              "| input | bytes | " + " | ".join(codecs) + " | zelk --long -9 / zstd --long -19 |",
              "|---|---:|" + "---|" * len(codecs) + "---:|"]
    for r in long:
        cells = [f"{r['bytes'] / r[c]['size']:.3f} · {r[c]['mbps']:.1f}" for c in codecs]
        lines.append(f"| {r['input']} | {r['bytes']:,} | " + " | ".join(cells) +
                     f" | {r['zelk -9 --long']['size'] / r['zstd --long -19']['size']:.4f} |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    installed = os.path.join(sysconfig.get_path("scripts"), "zelk")
    parser.add_argument("--zelk", default=installed if os.path.exists(installed) else shutil.which("zelk") or "zelk")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "results"))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        paths = build_inputs(directory)
        scaling = thread_scaling(args.zelk, paths)
        long = long_matches(args.zelk, paths)
    os.makedirs(args.out, exist_ok=True)
    text = markdown(scaling, long, paths)
    with open(os.path.join(args.out, "big_files.md"), "w") as f:
        f.write(text)
    with open(os.path.join(args.out, "big_files.json"), "w") as f:
        json.dump({"thread_scaling": scaling, "long_matches": long}, f, indent=1)
    print(text, end="")


if __name__ == "__main__":
    main()
