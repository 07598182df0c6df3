"""The frame targets, judged from the figures of one `python -m bench.frames` run:
zelk's sizes and speeds as ratios to zstd's on the same files."""
from typing import Optional

BLOCK = 1 << 20                       # the default level's block size
BLOCK_RECORD, FRAME_RECORDS = 17, 43  # bytes a frame adds per block, and per frame


def zelk_chunk_only_sizes(paths: list[str]) -> Optional[dict[str, int]]:
    """Per file name, the size of a frame of 1 MiB blocks each stored as a zelk
    chunk (raw where the encoder declines it), from the zelk_native module;
    None when the module is not installed."""
    try:
        import zelk_native
    except ImportError:
        return None
    sizes = {}
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        total = FRAME_RECORDS
        for start in range(0, len(data), BLOCK):
            block = data[start:start + BLOCK]
            try:
                stored = min(len(block), len(zelk_native.encode_bytes(block)))
            except OSError:  # declined: the data does not shrink, or the coder stopped
                stored = len(block)
            total += BLOCK_RECORD + stored
        sizes[path.rsplit("/", 1)[-1]] = total
    return sizes


def _line(met: bool, target: str, figure: str) -> str:
    return f"- {'PASS' if met else 'FAIL'} {target}: {figure}"


def _total(results: dict, names: list[str], codec: str, field: str) -> float:
    return sum(getattr(results[n, codec], field) for n in names)


def _size_target(results: dict, names: list[str], zelk: str, peer: str, label: str) -> str:
    ratio = _total(results, names, zelk, "stored") / _total(results, names, peer, "stored")
    return _line(ratio <= 1.03, f"{label} corpus within 3% of {peer}'s size",
                 f"{_total(results, names, zelk, 'stored'):,} B against {_total(results, names, peer, 'stored'):,} B, "
                 f"{ratio:.4f}x")


def _per_file_target(results: dict, names: list[str], chunk_only: Optional[dict[str, int]]) -> str:
    excess = {}
    for n in names:
        bound = results[n, "zstd -3"].stored
        if chunk_only:
            bound = min(bound, chunk_only[n])
        excess[n] = results[n, "zelk -3"].stored / bound - 1
    worst = max(names, key=excess.get)
    over = [n for n in names if excess[n] > 0.005]
    against = "min(zstd -3, zelk chunks only)" if chunk_only else \
        "zstd -3 (zelk_native is not installed, so the zelk-chunk-only size is not known)"
    return _line(not over, f"(b) every file at the default level within 0.5% of {against}",
                 f"worst {worst} {excess[worst]:+.2%}" + (f"; over: {', '.join(over)}" if over else ""))


def _speed_targets(results: dict, names: list[str]) -> list[str]:
    def speed(codec: str, files: list[str], field: str) -> float:
        return _total(results, files, codec, "size") / _total(results, files, codec, field)

    encode = speed("zelk -3", names, "encode_s") / speed("zstd -3", names, "encode_s")
    lines = [_line(encode >= 0.5, "(c) default-level compression at least 0.5x zstd -3's speed on the corpus",
                   f"{speed('zelk -3', names, 'encode_s') / 1e6:.1f} MB/s against "
                   f"{speed('zstd -3', names, 'encode_s') / 1e6:.1f} MB/s, {encode:.2f}x")]
    zstd_files = [n for n in names if results[n, "zelk -3"].blocks[1] * 2 > sum(results[n, "zelk -3"].blocks)]
    if not zstd_files:
        return lines + ["- (no file where zstd blocks dominate: decompression speed not judged)"]
    ratios = {n: speed("zelk -3", [n], "decode_s") / speed("zstd -3", [n], "decode_s") for n in zstd_files}
    worst = min(zstd_files, key=ratios.get)
    return lines + [_line(ratios[worst] >= 0.5, "(c) default-level decompression at least 0.5x zstd -3's on every "
                          f"file where zstd blocks dominate ({len(zstd_files)} files)",
                          f"worst {worst} {ratios[worst]:.2f}x; all together "
                          f"{speed('zelk -3', zstd_files, 'decode_s') / speed('zstd -3', zstd_files, 'decode_s'):.2f}x")]


def judge(results: dict, names: list[str], chunk_only: Optional[dict[str, int]]) -> list[str]:
    return [
        _size_target(results, names, "zelk -3", "zstd -3", "(a) default level:"),
        _per_file_target(results, names, chunk_only),
        *_speed_targets(results, names),
        _size_target(results, names, "zelk -9", "zstd -19", "(d) zelk -9:"),
    ]
