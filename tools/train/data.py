"""The training volumes: the shared training corpus and a few real CT and MR images that PyPI
wheels ship (pydicom-data's DICOM test files). Every volume comes with its modality and the weight
it gets in training: volumes, not samples, are weighed, so one large template family cannot drown
out the CT and the 12 to 16-bit MR volumes."""

from dataclasses import dataclass
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
CORPUS = ROOT.parent / "shared" / "corpus" / "train"

# Uncompressed single-channel CT and MR files of the pydicom-data wheel (module `data_store`).
# Files that repeat another's pixels in a different encoding (693_UNCR, MR2_UNCR) are left out.
WHEEL_FILES = {
    "693_UNCI.dcm": "CT",
    "eCT_Supplemental.dcm": "CT",
    "MR2_UNCI.dcm": "MR",
    "MR-SIEMENS-DICOM-WithOverlays.dcm": "MR",
    "emri_small.dcm": "MR",
}

# The three Colin27 volumes are one subject in three versions: together they weigh as much as two
# volumes.
FAMILY_WEIGHT = {"mr_colin27": 2.0 / 3.0}


@dataclass
class TrainingVolume:
    name: str
    modality: str
    array: np.ndarray  # (slices, rows, columns) or (rows, columns), integer samples
    weight: float
    in_corpus: bool

    @property
    def bits(self) -> int:
        return 8 if self.array.dtype.itemsize == 1 else 16


def corpus_volumes(corpus: Path = CORPUS) -> list[TrainingVolume]:
    volumes = []
    for path in sorted(corpus.glob("*.npy")):
        weight = next((w for prefix, w in FAMILY_WEIGHT.items() if path.stem.startswith(prefix)), 1.0)
        modality = path.stem.split("_")[0].upper()
        volumes.append(TrainingVolume(path.stem, modality, np.load(path), weight, True))
    return volumes


def wheel_volumes() -> list[TrainingVolume]:
    import data_store  # pydicom-data
    import pydicom

    folder = Path(data_store.__file__).parent / "data"
    volumes = []
    for name, modality in WHEEL_FILES.items():
        pixels = pydicom.dcmread(folder / name).pixel_array  # stored values, no rescale
        volumes.append(TrainingVolume("wheel_" + Path(name).stem, modality, np.ascontiguousarray(pixels), 1.0, False))
    return volumes


def training_volumes() -> list[TrainingVolume]:
    return corpus_volumes() + wheel_volumes()


def write_raw(volume: TrainingVolume, path: Path) -> None:
    """The tracer's input: six int64 (slices, rows, columns, bits, signed, 0), then int32 samples."""
    a = volume.array if volume.array.ndim == 3 else volume.array[None]
    header = np.array([*a.shape, volume.bits, int(a.dtype.kind == "i"), 0], dtype="<i8")
    path.write_bytes(header.tobytes() + a.astype("<i4").tobytes())
