"""Build the typed-data corpus (PCM audio, sensor series, numeric arrays) in
bench/data/typed (or the folder given as the first argument).

Every file comes from real data installed on this machine:
  Debian: alsa-utils, asterisk-core-sounds-en-wav, deepin-sound-theme,
          sound-theme-freedesktop (Ogg, decoded with sox), python3-scipy (ecg.dat,
          taken from the .deb without installing it)
  pip:    matplotlib (mpl-data/sample_data)
Writes <name>.wav|.npy, <name>.raw (sample bytes only) and manifest.json.

    python -m bench.typed_corpus [FOLDER]
"""
import atexit, glob, gzip, hashlib, json, os, shutil, struct, subprocess, sys, tempfile, wave
import numpy as np

OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "typed")
TMP = tempfile.mkdtemp()
atexit.register(shutil.rmtree, TMP, True)
MPL = None  # matplotlib sample_data folder, set in main()


def riff_chunks(path):
    """Parse a RIFF/WAVE file: return (fmt dict, data offset, data length)."""
    with open(path, "rb") as f:
        blob = f.read()
    if blob[:4] != b"RIFF" or blob[8:12] != b"WAVE":
        raise ValueError(f"{path}: not RIFF/WAVE")
    pos, fmt, data = 12, None, None
    while pos + 8 <= len(blob):
        cid, size = blob[pos:pos + 4], struct.unpack_from("<I", blob, pos + 4)[0]
        body = pos + 8
        if cid == b"fmt ":
            tag, ch, rate, _, align, bits = struct.unpack_from("<HHIIHH", blob, body)
            if tag == 0xFFFE and size >= 40:  # WAVE_FORMAT_EXTENSIBLE: sub-format GUID
                tag = struct.unpack_from("<H", blob, body + 24)[0]
            fmt = dict(tag=tag, channels=ch, sample_rate=rate, block_align=align, bits=bits)
        elif cid == b"data":
            data = (body, min(size, len(blob) - body))
        pos = body + size + (size & 1)
    if fmt is None or data is None:
        raise ValueError(f"{path}: missing fmt or data chunk")
    return fmt, data[0], data[1]


def read_pcm(path):
    fmt, off, n = riff_chunks(path)
    if fmt["tag"] != 1:
        raise ValueError(f"{path}: not integer PCM (tag {fmt['tag']})")
    with open(path, "rb") as f:
        f.seek(off)
        return fmt, f.read(n)


def pkg_of(path):
    try:
        out = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True, check=True).stdout
        return out.split(":")[0]
    except subprocess.CalledProcessError:
        return "?"


def write_wav(path, samples, channels, rate, width):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(samples)


def dtype_for(fmt):
    return {8: "|u1", 16: "<i2", 24: "|V3", 32: "<i4"}[fmt["bits"]]


def add_pcm(manifest, name, wav_path, source, sources, derived=None):
    """Register a WAV already in OUT: parse it, copy its sample bytes to <name>.raw."""
    fmt, off, n = riff_chunks(wav_path)
    with open(wav_path, "rb") as f:
        f.seek(off)
        raw = f.read(n)
    with open(os.path.join(OUT, name + ".raw"), "wb") as f:
        f.write(raw)
    frames = n // fmt["block_align"]
    shape = [frames, fmt["channels"]] if fmt["channels"] > 1 else [frames]
    manifest.append(dict(
        name=name, path=wav_path, raw_path=os.path.join(OUT, name + ".raw"), kind="pcm",
        dtype=dtype_for(fmt), shape=shape, sample_rate=fmt["sample_rate"],
        channels=fmt["channels"], bits_per_sample=fmt["bits"], data_offset=off,
        data_length=n, bytes=n, sha256=hashlib.sha256(raw).hexdigest(),
        source_package=source, source_files=sources, derived=derived))


def concat_wavs(manifest, name, paths, limit=None, derived=None):
    """Concatenate same-format PCM WAVs (sorted order) into <name>.wav."""
    chunks, fmt0, used, total = [], None, [], 0
    for p in paths:
        fmt, data = read_pcm(p)
        key = (fmt["channels"], fmt["sample_rate"], fmt["bits"])
        if fmt0 is None:
            fmt0 = key
        if key != fmt0:
            continue
        chunks.append(data); used.append(p); total += len(data)
        if limit and total >= limit:
            break
    out = os.path.join(OUT, name + ".wav")
    write_wav(out, b"".join(chunks), fmt0[0], fmt0[1], fmt0[2] // 8)
    pkgs = sorted({pkg_of(p) for p in used})
    add_pcm(manifest, name, out, ", ".join(pkgs), [f"{len(used)} files, e.g. {used[0]}"], derived)
    return out


def add_array(manifest, name, arr, source, sources, derived=None, extra=None):
    arr = np.ascontiguousarray(arr)
    arr = arr.astype(arr.dtype.newbyteorder("<")) if arr.dtype.byteorder == ">" else arr
    npy, raw = os.path.join(OUT, name + ".npy"), os.path.join(OUT, name + ".raw")
    np.save(npy, arr)
    arr.tofile(raw)
    data = arr.tobytes()
    entry = dict(name=name, path=npy, raw_path=raw, kind="array", dtype=arr.dtype.str,
                 shape=list(arr.shape), bytes=len(data), sha256=hashlib.sha256(data).hexdigest(),
                 source_package=source, source_files=sources, derived=derived)
    entry.update(extra or {})
    manifest.append(entry)


def scipy_ecg():
    """ecg.dat from Debian's python3-scipy, extracted from the .deb (not installed)."""
    tmp = TMP
    subprocess.run(["apt-get", "download", "python3-scipy"], cwd=tmp, check=True, capture_output=True)
    deb = glob.glob(os.path.join(tmp, "python3-scipy_*.deb"))[0]
    member = "./usr/lib/python3/dist-packages/scipy/misc/ecg.dat"
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", tmp, member], input=tar, check=True)
    return np.load(os.path.join(tmp, member))["ecg"], os.path.basename(deb)


def main():
    global MPL
    os.makedirs(OUT, exist_ok=True)
    import matplotlib
    MPL = os.path.join(os.path.dirname(matplotlib.__file__), "mpl-data", "sample_data")
    mpl_src = f"pip: matplotlib {matplotlib.__version__}"
    m = []

    # --- PCM ---
    alsa = [p for p in sorted(glob.glob("/usr/share/sounds/alsa/*.wav")) if "Noise" not in p]
    concat_wavs(m, "alsa_speech_48k_s16", alsa)
    ast = sorted(glob.glob("/usr/share/asterisk/sounds/en_US_f_Allison/**/*.wav", recursive=True))
    ast_wav = concat_wavs(m, "asterisk_prompts_8k_s16", ast, limit=6_000_000)

    s16 = np.frombuffer(read_pcm(ast_wav)[1], "<i2").astype(np.int32)
    u8 = ((s16 + 32768) >> 8).astype(np.uint8).tobytes()
    out = os.path.join(OUT, "asterisk_prompts_8k_u8.wav")
    write_wav(out, u8, 1, 8000, 1)
    add_pcm(m, "asterisk_prompts_8k_u8", out, m[-1]["source_package"], [ast_wav],
            "derived: top 8 bits of asterisk_prompts_8k_s16 as unsigned 8-bit (truncation)")

    deepin = sorted(glob.glob("/usr/share/sounds/deepin/stereo/*.wav"))
    concat_wavs(m, "deepin_theme_44k_s16_stereo", deepin)
    src24 = "/usr/share/sounds/deepin/stereo/system-shutdown.wav"
    with open(src24, "rb") as f, open(os.path.join(OUT, "deepin_shutdown_48k_s24_stereo.wav"), "wb") as g:
        g.write(f.read())
    add_pcm(m, "deepin_shutdown_48k_s24_stereo", os.path.join(OUT, "deepin_shutdown_48k_s24_stereo.wav"),
            pkg_of(src24), [src24])

    tmp = TMP
    groups = {}
    for p in sorted(glob.glob("/usr/share/sounds/freedesktop/stereo/*.oga")):
        w = os.path.join(tmp, os.path.basename(p)[:-4] + ".wav")
        subprocess.run(["sox", "-D", p, "-b", "16", "-e", "signed-integer", w], check=True)
        fmt, _ = read_pcm(w)
        if fmt["channels"] == 2:
            groups.setdefault(fmt["sample_rate"], []).append(w)
    for rate in (44100, 48000):
        name = f"freedesktop_theme_{rate // 1000}k_s16_stereo"
        concat_wavs(m, name, groups[rate], derived="decoded from Ogg Vorbis with sox -D (no dither)")
        m[-1]["source_package"] = "sound-theme-freedesktop"
        m[-1]["source_files"] = [f"{len(groups[rate])} files in /usr/share/sounds/freedesktop/stereo/*.oga"]

    # --- arrays ---
    ecg, deb = scipy_ecg()
    add_array(m, "ecg_mitbih_360hz_i2", ecg.astype(np.int16) - 1024, f"python3-scipy ({deb})",
              ["scipy/misc/ecg.dat (MIT-BIH Arrhythmia record 208 excerpt)"],
              "derived: ADC baseline 1024 subtracted from the stored uint16 values",
              {"sample_rate": 360, "channels": 1})
    dem = np.load(os.path.join(MPL, "jacksboro_fault_dem.npz"))["elevation"]
    add_array(m, "jacksboro_dem_i2", dem, mpl_src, ["jacksboro_fault_dem.npz:elevation"])
    mri = np.frombuffer(gzip.open(os.path.join(MPL, "s1045.ima.gz")).read(), ">u2").reshape(256, 256)
    add_array(m, "mri_s1045_u2", mri, mpl_src, ["s1045.ima.gz"],
              "derived: byte-swapped from the file's big-endian uint16", {"original_dtype": ">u2"})
    topo = np.load(os.path.join(MPL, "topobathy.npz"))["topo"]
    add_array(m, "topobathy_f4", topo, mpl_src, ["topobathy.npz:topo"])
    add_array(m, "membrane_potential_f4", np.fromfile(os.path.join(MPL, "membrane.dat"), "<f4"),
              mpl_src, ["membrane.dat"])
    add_array(m, "eeg_4ch_f8", np.fromfile(os.path.join(MPL, "eeg.dat"), "<f8").reshape(800, 4),
              mpl_src, ["eeg.dat"])
    goog = np.load(os.path.join(MPL, "goog.npz"))["price_data"]
    cols = ["open", "high", "low", "close", "adj_close"]
    add_array(m, "goog_prices_f8_columns", np.stack([goog[c] for c in cols]), mpl_src,
              ["goog.npz:price_data"], None, {"columns": cols})
    lines = [l for l in open(os.path.join(MPL, "Stocks.csv")) if not l.startswith("#")]
    head = lines[0].strip().split(",")[1:]
    rows = [[float(v) if v else np.nan for v in l.strip().split(",")[1:]] for l in lines[1:]]
    add_array(m, "stocks_f8_columns", np.array(rows, "<f8").T, mpl_src, ["Stocks.csv"],
              "parsed from CSV (empty cells -> NaN)", {"columns": head})
    # The same tables as a program holds them: a row per day, a column per series.
    add_array(m, "stocks_f8_rows", np.array(rows, "<f8"), mpl_src, ["Stocks.csv"],
              "parsed from CSV (empty cells -> NaN)", {"columns": head})
    cols = ["open", "high", "low", "close", "volume", "adj_close"]
    add_array(m, "goog_ohlcv_f8_rows", np.stack([goog[c].astype("<f8") for c in cols], 1), mpl_src,
              ["goog.npz:price_data"], "derived: volume (int64) as float64", {"columns": cols})

    with open(os.path.join(OUT, "manifest.json"), "w") as f:
        json.dump({"files": m}, f, indent=1)
    for e in m:
        print(f"{e['name']:34s} {e['dtype']:4s} {str(e['shape']):14s} {e['bytes']:>9d}  {e['source_package']}")


if __name__ == "__main__":
    sys.exit(main())
