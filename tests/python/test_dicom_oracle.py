"""Our DICOM reader against pydicom on real files: where pydicom reads a file, we parse it, find
the same attribute values, and for native pixel data the same value bytes."""

import json
import os
import subprocess
from pathlib import Path

import pytest

pydicom = pytest.importorskip("pydicom")

ROOT = Path(__file__).resolve().parents[2]
CORPUS = ROOT.parent / "shared" / "corpus" / "dicom"
DUMP = Path(os.environ.get("QELVO_DICOM_DUMP", ROOT / "build" / "cpp" / "tests" / "cpp" / "dicom_dump"))


def files():
    found = sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.name != "MANIFEST.tsv") if CORPUS.is_dir() else []
    bundled = Path(pydicom.__file__).parent / "data"
    found += sorted(p for p in bundled.rglob("*") if p.is_file() and p.suffix not in (".py", ".pyc", ".json", ".txt"))
    return found


FILES = files()

# Files pydicom reads by guessing past a fault that the format makes an error; the reader reports
# them (and the archive stores them whole).
KNOWN_FAULTS = {
    "MR_truncated.dcm": "unexpected end of data at offset 1500",  # pixel data cut short
    "rtplan_truncated.dcm": "unexpected end of data at offset 1418",  # a sequence cut short
    "SC_rgb_jpeg.dcm": "malformed element (0008,0008) at offset 356: invalid value representation",  # implicit VR
}
DEFLATED = 3


@pytest.fixture(scope="module")
def ours():
    if not DUMP.exists():
        pytest.skip("the dicom_dump test program is not built")
    out = subprocess.run([str(DUMP), *map(str, FILES)], capture_output=True, text=True, check=True).stdout
    return {record["path"]: record for record in map(json.loads, out.splitlines())}


def theirs(path):
    try:
        return pydicom.dcmread(path, force=False)
    except Exception:
        return None


def scalar(dataset, keyword, convert):
    element = dataset.get(keyword)
    if element is None or element == "" or element is None:
        return None
    try:
        return convert(element)
    except (TypeError, ValueError):
        return None


def floats(dataset, keyword, count):
    value = dataset.get(keyword)
    if value is None or value == "":
        return None
    values = list(value) if isinstance(value, pydicom.multival.MultiValue) else [value]
    return [float(v) for v in values[:count]] if len(values) >= count else None


@pytest.mark.parametrize("path", FILES, ids=lambda p: str(p.relative_to(p.parents[2])))
def test_agrees_with_pydicom(path, ours):
    reference = theirs(path)
    if reference is None:
        pytest.skip("pydicom does not read this file")
    record = ours[str(path)]
    if path.name in KNOWN_FAULTS:
        assert record.get("error") == KNOWN_FAULTS[path.name]
        return
    assert "error" not in record, record.get("error")
    meta = reference.file_meta if hasattr(reference, "file_meta") else {}
    assert record["TransferSyntaxUID"] == (str(meta.get("TransferSyntaxUID")) if meta.get("TransferSyntaxUID") else None)
    if record["syntax"] == DEFLATED:
        assert record["kind"] == "Absent"  # a deflated data set is kept whole, not walked
        return
    for keyword in ("Rows", "Columns", "BitsAllocated", "BitsStored", "HighBit", "PixelRepresentation"):
        assert record[keyword] == scalar(reference, keyword, int), keyword
    frames = scalar(reference, "NumberOfFrames", int)
    assert record["NumberOfFrames"] == frames
    assert record["InstanceNumber"] == scalar(reference, "InstanceNumber", int)
    assert record["SeriesInstanceUID"] == scalar(reference, "SeriesInstanceUID", str)
    sop = scalar(reference, "SOPInstanceUID", str) or scalar(meta, "MediaStorageSOPInstanceUID", str)
    assert record["SOPInstanceUID"] == sop
    assert record["ImagePositionPatient"] == floats(reference, "ImagePositionPatient", 3)
    assert record["ImageOrientationPatient"] == floats(reference, "ImageOrientationPatient", 6)
    if record["kind"] == "Native":
        data = path.read_bytes()
        assert data[record["value_offset"] : record["value_end"]] == reference.PixelData
