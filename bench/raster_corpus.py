"""Build the raster corpus (photographs, an MRI slice, elevation grids, MRI volumes) in
bench/data/raster (or the folder given as the first argument).

Every file comes from data bundled in installed Python packages (nothing is downloaded):
  pip: scikit-image (skimage/data: photographs, textures and its RGBA logo, loaded
       with skimage.data's functions), matplotlib (mpl-data/sample_data: an MRI slice,
       elevation and topography grids, a photograph and two RGBA graphics), nibabel
       (nibabel/tests/data: NIfTI MRI volumes)
Writes <name>.raw (the pixels or voxels in C order, little-endian) and manifest.json.
Kinds: gray8, rgb8, rgba8, gray16, grid-int, grid-float, volume.

    python -m bench.raster_corpus [FOLDER]
"""
import gzip, hashlib, json, os, sys
import numpy as np

OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "raster")

# skimage.data function -> bundled file; rocket is a JPEG, the others PNG
SKIMAGE_GRAY = {"camera": "camera.png", "moon": "moon.png", "coins": "coins.png", "text": "text.png",
                "cell": "cell.png", "brick": "brick.png", "grass": "grass.png", "gravel": "gravel.png"}
SKIMAGE_RGB = {"astronaut": "astronaut.png", "coffee": "coffee.png", "rocket": "rocket.jpg",
               "chelsea": "chelsea.png"}
SKIMAGE_RGBA = {"logo": "logo.png"}
CHANNELS = {"gray8": None, "rgb8": 3, "rgba8": 4}


def add_array(manifest, name, kind, arr, source, sources, derived=None, extra=None):
    arr = np.ascontiguousarray(arr)
    arr = arr.astype(arr.dtype.newbyteorder("<")) if arr.dtype.byteorder == ">" else arr
    raw = os.path.join(OUT, name + ".raw")
    data = arr.tobytes()
    with open(raw, "wb") as f:
        f.write(data)
    entry = dict(name=name, raw_path=raw, kind=kind, dtype=arr.dtype.str, shape=list(arr.shape),
                 bytes=len(data), sha256=hashlib.sha256(data).hexdigest(),
                 source_package=source, source_files=sources, derived=derived)
    entry.update(extra or {})
    manifest.append(entry)


def skimage_images(m):
    import skimage, skimage.data
    src = f"pip: scikit-image {skimage.__version__}"
    folder = os.path.dirname(skimage.data.__file__)
    for names, kind in ((SKIMAGE_GRAY, "gray8"), (SKIMAGE_RGB, "rgb8"), (SKIMAGE_RGBA, "rgba8")):
        for fn, file in names.items():
            path = os.path.join(folder, file)
            if not os.path.exists(path):  # not bundled: skimage would try to download it
                print(f"skipped skimage.data.{fn}(): {file} is not bundled", file=sys.stderr)
                continue
            img = getattr(skimage.data, fn)()
            channels = CHANNELS[kind]
            assert img.dtype == np.uint8 and (img.ndim == 2 if channels is None else img.shape[2:] == (channels,)), \
                (fn, img.shape)
            derived = "decoded from a JPEG by skimage.data.rocket() (its block artefacts are in the pixels)" \
                if file.endswith(".jpg") else None
            add_array(m, f"skimage_{fn}_{kind}", kind, img, src, [f"skimage/data/{file}"], derived,
                      {"original_format": os.path.splitext(file)[1][1:].upper()})


def matplotlib_samples(m):
    import imagecodecs, matplotlib
    mpl = os.path.join(os.path.dirname(matplotlib.__file__), "mpl-data", "sample_data")
    src = f"pip: matplotlib {matplotlib.__version__}"

    mri = np.frombuffer(gzip.open(os.path.join(mpl, "s1045.ima.gz")).read(), ">u2").reshape(256, 256)
    add_array(m, "mri_s1045_gray16", "gray16", mri, src, ["s1045.ima.gz"],
              "derived: byte-swapped from the file's big-endian uint16", {"original_dtype": ">u2"})

    dem = np.load(os.path.join(mpl, "jacksboro_fault_dem.npz"))["elevation"]
    assert dem.dtype.kind == "i", dem.dtype  # stored as int16 metres
    add_array(m, "jacksboro_dem_i2", "grid-int", dem, src, ["jacksboro_fault_dem.npz:elevation"])

    topo = np.load(os.path.join(mpl, "topobathy.npz"))["topo"]
    add_array(m, f"topobathy_{topo.dtype.str[1:]}", "grid-float", topo, src,
              ["topobathy.npz:topo"])

    hopper = imagecodecs.imread(os.path.join(mpl, "grace_hopper.jpg"))
    add_array(m, "grace_hopper_rgb8", "rgb8", hopper, src, ["grace_hopper.jpg"],
              f"decoded from a JPEG with imagecodecs {imagecodecs.__version__} (libjpeg-turbo); "
              "its block artefacts are in the pixels", {"original_format": "JPEG"})

    for file, name in (("Minduka_Present_Blue_Pack.png", "minduka_present"), ("logo2.png", "mpl_logo2")):
        img = imagecodecs.imread(os.path.join(mpl, file))
        assert img.dtype == np.uint8 and img.ndim == 3 and img.shape[2] in (3, 4), (file, img.shape)
        derived = None
        if img.shape[2] == 4 and (img[..., 3] == img[0, 0, 3]).all():
            img, derived = img[..., :3], f"derived: constant alpha ({img[0, 0, 3]}) dropped"
        kind = "rgb8" if img.shape[2] == 3 else "rgba8"
        add_array(m, f"{name}_{kind}", kind, img, src, [file], derived, {"original_format": "PNG"})


def nibabel_volumes(m):
    import nibabel
    folder = os.path.join(os.path.dirname(nibabel.__file__), "tests", "data")
    src = f"pip: nibabel {nibabel.__version__}"

    def stored(file):
        """The voxels as stored (no scaling), axes reversed to [.., z, y, x] so that the
        bytes keep the file's voxel order (x fastest)."""
        img = nibabel.load(os.path.join(folder, file))
        vox = np.asarray(img.dataobj.get_unscaled())
        return vox.T, vox.dtype.str, [float(z) for z in img.header.get_zooms()]

    vol, dt, zooms = stored("anatomical.nii")
    add_array(m, "nifti_anatomical_i2", "volume", vol, src, ["anatomical.nii"],
              "axes reversed to [z, y, x]" + (", byte-swapped from big-endian" if dt[0] == ">" else ""),
              {"original_dtype": dt, "voxel_size": zooms})

    vol, dt, zooms = stored("functional.nii")  # [t, z, y, x]: 20 time points of 3 slices
    t, z = vol.shape[:2]
    add_array(m, "nifti_functional_i2", "volume", vol.reshape(t * z, *vol.shape[2:]), src,
              ["functional.nii"],
              f"stored int16 values (unscaled); axes reversed, then the {t} time points of {z} slices "
              f"stacked into {t * z} slices [t*z, y, x]", {"original_dtype": dt, "voxel_size": zooms})

    vol, dt, zooms = stored("example4d.nii.gz")  # [t, z, y, x]
    add_array(m, "nifti_example4d_vol0_i2", "volume", vol[0], src, ["example4d.nii.gz"],
              f"the first of {vol.shape[0]} volumes, axes reversed to [z, y, x]",
              {"original_dtype": dt, "voxel_size": zooms})


def main():
    os.makedirs(OUT, exist_ok=True)
    m = []
    skimage_images(m)
    matplotlib_samples(m)
    nibabel_volumes(m)

    with open(os.path.join(OUT, "manifest.json"), "w") as f:
        json.dump({"files": m}, f, indent=1)
    for e in m:
        print(f"{e['name']:28s} {e['kind']:10s} {e['dtype']:4s} {str(e['shape']):15s} {e['bytes']:>9d}  "
              f"{e['source_package']}")
    print(f"{'total':28s} {'':10s} {'':4s} {'':15s} {sum(e['bytes'] for e in m):>9d}")


if __name__ == "__main__":
    sys.exit(main())
