"""Packs and unpacks DICOM series and prints MB/s both ways, the archive size beside zstd -19
of the same files, and the peak memory of each direction (measured in a fresh process).

    python3 bench/archive_bench.py [--slices 300]

Series: the corpus DICOM files (when ../shared/corpus/dicom is present) and a synthetic CT-like
series of 512x512 slices written with pydicom."""

import io
import pickle
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

ROOT = Path(__file__).resolve().parents[1]
CORPUS = ROOT.parent / "shared" / "corpus" / "dicom"

MEASURE = """
import pickle, resource, sys, time, qelvo
files = pickle.load(open(sys.argv[1], "rb"))
start = time.perf_counter()
if sys.argv[2] == "pack":
    archive, report = qelvo.pack_dicom(files)
    open(sys.argv[3], "wb").write(archive)
else:
    archive = open(sys.argv[3], "rb").read()
    restored = qelvo.unpack_dicom(archive)
    assert restored == files
print(time.perf_counter() - start, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def ct_like_series(slices):
    """Smooth anatomy-like blobs with noise, 12-bit values in int16, one file per slice."""
    rng = np.random.default_rng(0)
    y, x = np.mgrid[-1:1:512j, -1:1:512j]
    series, files = generate_uid(), []
    for z in range(slices):
        t = z / max(1, slices - 1)
        body = (x**2 / 0.8 + y**2 / 0.6) < 1
        organ = ((x - 0.2 * np.sin(3 * t)) ** 2 + (y + 0.1) ** 2) < 0.1 + 0.05 * t
        image = np.where(body, 1000 + 40 * np.sin(8 * x + 5 * t), 0) + np.where(organ, 300, 0)
        image = (image + rng.normal(0, 12, image.shape)).clip(0, 4095).astype(np.int16)
        meta = FileMetaDataset()
        meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
        meta.MediaStorageSOPInstanceUID = generate_uid()
        meta.TransferSyntaxUID = ExplicitVRLittleEndian
        ds = Dataset()
        ds.file_meta = meta
        ds.SOPClassUID, ds.SOPInstanceUID = meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID
        ds.Modality, ds.SeriesInstanceUID, ds.InstanceNumber = "CT", series, z + 1
        ds.ImagePositionPatient, ds.ImageOrientationPatient = [0, 0, float(z)], [1, 0, 0, 0, 1, 0]
        ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
        ds.Rows, ds.Columns, ds.BitsAllocated, ds.BitsStored, ds.HighBit = 512, 512, 16, 12, 11
        ds.PixelRepresentation, ds.PixelData = 1, image.tobytes()
        out = io.BytesIO()
        pydicom.dcmwrite(out, ds, enforce_file_format=True)
        files.append((f"ct/{z:04d}.dcm", out.getvalue()))
    return files


def zstd19(files):
    try:
        import zstandard
    except ImportError:
        return None
    return len(zstandard.ZstdCompressor(level=19).compress(b"".join(b for _, b in files)))


def measure(name, files):
    with tempfile.TemporaryDirectory() as folder:
        listing, archive = Path(folder) / "files.pickle", Path(folder) / "archive.qvd"
        listing.write_bytes(pickle.dumps(files))
        runs = {}
        for direction in ("pack", "unpack"):
            out = subprocess.check_output([sys.executable, "-c", MEASURE, str(listing), direction, str(archive)])
            seconds, peak_kb = out.split()
            runs[direction] = (float(seconds), int(peak_kb) / 1024)
        size = archive.stat().st_size
    total = sum(len(b) for _, b in files)
    z = zstd19(files)
    print(f"{name:24} {len(files):6} files {total / 1e6:9.1f} MB -> {size / 1e6:8.2f} MB "
          f"(zstd -19: {z / 1e6 if z else float('nan'):8.2f} MB)  "
          f"pack {total / 1e6 / runs['pack'][0]:6.1f} MB/s peak {runs['pack'][1]:7.0f} MB  "
          f"unpack {total / 1e6 / runs['unpack'][0]:6.1f} MB/s peak {runs['unpack'][1]:7.0f} MB")


def main():
    slices = int(sys.argv[sys.argv.index("--slices") + 1]) if "--slices" in sys.argv else 300
    if CORPUS.is_dir():
        paths = sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.name != "MANIFEST.tsv")
        measure("corpus DICOM files", [(str(p), p.read_bytes()) for p in paths])
    measure(f"CT-like {slices}x512x512", ct_like_series(slices))


if __name__ == "__main__":
    main()
