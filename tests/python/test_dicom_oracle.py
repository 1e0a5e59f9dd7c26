"""Our DICOM reader against pydicom on real files: where pydicom reads a file, we parse it, find
the same attribute values, and for native pixel data the same value bytes.

The reader is seen through the test program dicom_dump (one JSON line per file), found through
QELVO_DICOM_DUMP or in the C++ test build."""

import json
import os
import subprocess
from pathlib import Path

import pytest

pydicom = pytest.importorskip("pydicom")

ROOT = Path(__file__).resolve().parents[2]
CORPUS = ROOT.parent / "shared" / "corpus" / "dicom"
BUNDLED = Path(pydicom.__file__).parent / "data"
DUMP = Path(os.environ.get("QELVO_DICOM_DUMP", ROOT / "build" / "cpp" / "tests" / "cpp" / "dicom_dump"))
NOT_DICOM = {".py", ".pyc", ".json", ".txt", ".md", ".tsv"}


def files():
    found = []
    for label, root in (("corpus", CORPUS), ("pydicom", BUNDLED)):
        if root.is_dir():
            found += [
                pytest.param(path, id=f"{label}/{path.relative_to(root)}")
                for path in sorted(root.rglob("*"))
                if path.is_file() and path.suffix not in NOT_DICOM and path.name != "MANIFEST.tsv"
            ]
    return found


FILES = files()

# Files pydicom reads by guessing past a fault that makes them unreadable to a strict walker; the
# reader reports the fault (and the archive stores such files whole).
KNOWN_FAULTS = {
    "MR_truncated.dcm": "unexpected end of data at offset 1500",  # pixel data cut short
    "rtplan_truncated.dcm": "unexpected end of data at offset 1418",  # a sequence cut short
    # The meta group names explicit VR, the data set is implicit VR.
    "SC_rgb_jpeg.dcm": "malformed element (0008,0008) at offset 356: invalid value representation",
}
DEFLATED = 3


@pytest.fixture(scope="module")
def ours():
    if not DUMP.exists():
        pytest.skip("the dicom_dump test program is not built")
    paths = [str(param.values[0]) for param in FILES]
    out = subprocess.run([str(DUMP), *paths], capture_output=True, text=True, check=True).stdout
    records = {record["path"]: record for record in map(json.loads, out.splitlines())}
    assert sorted(records) == sorted(paths)
    return records


def read_with_pydicom(path):
    try:
        return pydicom.dcmread(path, force=False)
    except Exception:
        return None


def scalar(dataset, keyword, convert):
    value = dataset.get(keyword)
    if value is None or value == "":
        return None
    try:
        return convert(value)
    except (TypeError, ValueError):
        return None


def floats(dataset, keyword, count):
    value = dataset.get(keyword)
    if value is None or value == "":
        return None
    values = list(value) if isinstance(value, pydicom.multival.MultiValue) else [value]
    return [float(v) for v in values[:count]] if len(values) >= count else None


def sop_instance_uid(dataset, meta):
    # The data set's element replaces the meta group's, even when empty.
    if "SOPInstanceUID" in dataset:
        return scalar(dataset, "SOPInstanceUID", str)
    return scalar(meta, "MediaStorageSOPInstanceUID", str)


@pytest.mark.parametrize("path", FILES)
def test_agrees_with_pydicom(path, ours):
    reference = read_with_pydicom(path)
    if reference is None:
        pytest.skip("pydicom does not read this file")
    record = ours[str(path)]
    if path.name in KNOWN_FAULTS:
        assert record.get("error") == KNOWN_FAULTS[path.name]
        return
    assert "error" not in record, record["error"]
    meta = getattr(reference, "file_meta", None) or pydicom.Dataset()
    assert record["TransferSyntaxUID"] == scalar(meta, "TransferSyntaxUID", str)
    if record["syntax"] == DEFLATED:
        assert record["kind"] == "Absent"  # a deflated data set is kept whole, not walked
        return
    expected = {
        keyword: scalar(reference, keyword, int)
        for keyword in ("Rows", "Columns", "BitsAllocated", "BitsStored", "HighBit", "PixelRepresentation")
    }
    expected |= {
        "NumberOfFrames": scalar(reference, "NumberOfFrames", int),
        "InstanceNumber": scalar(reference, "InstanceNumber", int),
        "SeriesInstanceUID": scalar(reference, "SeriesInstanceUID", str),
        "SOPInstanceUID": sop_instance_uid(reference, meta),
        "ImagePositionPatient": floats(reference, "ImagePositionPatient", 3),
        "ImageOrientationPatient": floats(reference, "ImageOrientationPatient", 6),
    }
    assert {keyword: record[keyword] for keyword in expected} == expected
    if "PixelData" not in reference:
        assert record["kind"] == "Absent"
    elif reference["PixelData"].is_undefined_length:
        assert record["kind"] == "Encapsulated"
    else:
        assert record["kind"] == "Native"
        data = path.read_bytes()
        assert data[record["value_offset"] : record["value_end"]] == reference.PixelData
