"""Writes the fuzz targets' seed inputs: small containers and archives made by the installed
package, the built-in model files and their networks, and the small files of the DICOM corpus.

    python3 fuzz/make_seeds.py OUT_DIR [DICOM_DIR]
"""
import pathlib
import sys

import numpy as np
import qelvo

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODEL_HEADER = 9          # magic, kind, head shift, flags, name length
PRIOR_BYTES = 392 * 2     # the priors that follow the network
MAX_DICOM_BYTES = 64 << 10


def volumes():
    ramp = np.arange(24 * 17, dtype=np.int64).reshape(24, 17)
    yield np.uint8((ramp * 3) % 256)
    yield np.uint16(np.stack([ramp * 7 + z * 100 for z in range(3)]) % 4096)
    yield np.int16(np.stack([ramp - 200 + z for z in range(4)]))
    yield np.zeros((2, 5, 5), np.uint16)
    yield np.int8(np.random.default_rng(1).integers(-128, 128, (9, 31)))


def write(directory, name, data):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


def main():
    out = pathlib.Path(sys.argv[1])
    dicom_dir = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else ROOT.parent / "shared" / "corpus" / "dicom"

    for i, array in enumerate(volumes()):
        write(out / "container", f"volume{i}", qelvo.encode(array, slab=2, stripe=8))
        write(out / "container", f"volume{i}_meta", qelvo.encode(array, packing=False, metadata=b"seed"))
        raw = np.ascontiguousarray(array).tobytes()
        slices, rows, columns = array.shape if array.ndim == 3 else (1, *array.shape)
        flags = (array.dtype.kind == "i") | (i % 2) << 1
        shape = bytes([array.itemsize * 8 - 1, flags, slices - 1, rows - 1, columns - 1, 1, 7])
        write(out / "round_trip", f"volume{i}", shape + raw)

    for model in sorted((ROOT / "codec" / "models").glob("*.qvm")):
        data = model.read_bytes()
        write(out / "model", model.name, data)
        write(out / "network", model.stem, data[MODEL_HEADER + data[8]:-PRIOR_BYTES])

    files = sorted(p for p in dicom_dir.rglob("*") if p.is_file() and p.name != "MANIFEST.tsv"
                   and p.stat().st_size <= MAX_DICOM_BYTES)
    for i, path in enumerate(files):
        write(out / "dicom", f"{i:03}_{path.name}", path.read_bytes())
        write(out / "pack", f"{i:03}_{path.name}", path.read_bytes())
    for i in range(0, len(files), 25):
        group = [(p.name, p.read_bytes()) for p in files[i:i + 3]]
        write(out / "archive", f"archive{i // 25}", qelvo.pack_dicom(group, zstd_level=1)[0])


if __name__ == "__main__":
    main()
