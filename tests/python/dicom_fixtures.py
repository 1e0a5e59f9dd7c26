"""Small DICOM files written with pydicom for the archive tests."""

import io

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRBigEndian, ExplicitVRLittleEndian, generate_uid

CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"


def dicom_file(
    pixels,
    *,
    series="1.2.3.4",
    instance=1,
    position=(0.0, 0.0, 0.0),
    orientation=(1.0, 0.0, 0.0, 0.0, 1.0, 0.0),
    bits_stored=None,
    high_bit=None,
    signed=False,
    words=None,
    big_endian=False,
    pad_byte=False,
    sop_uid=None,
):
    """One CT-like file. `pixels` is (rows, columns) or (frames, rows, columns); `words`, when
    given, are the raw stored words (to set bits outside the stored range)."""
    pixels = np.asarray(pixels)
    frames = pixels.shape[0] if pixels.ndim == 3 else 1
    rows, columns = pixels.shape[-2:]
    bits_allocated = 16 if pixels.dtype.itemsize == 2 else 8
    bits_stored = bits_stored or bits_allocated
    high_bit = bits_stored - 1 if high_bit is None else high_bit

    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = CT_IMAGE_STORAGE
    meta.MediaStorageSOPInstanceUID = sop_uid or generate_uid()
    meta.TransferSyntaxUID = ExplicitVRBigEndian if big_endian else ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID = CT_IMAGE_STORAGE
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = "CT"
    ds.SeriesInstanceUID = series
    ds.InstanceNumber = instance
    if position is not None:
        ds.ImagePositionPatient = list(position)
    if orientation is not None:
        ds.ImageOrientationPatient = list(orientation)
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows, ds.Columns = rows, columns
    if frames > 1:
        ds.NumberOfFrames = frames
    ds.BitsAllocated, ds.BitsStored, ds.HighBit = bits_allocated, bits_stored, high_bit
    ds.PixelRepresentation = 1 if signed else 0
    raw = np.asarray(words if words is not None else pixels)
    dtype = (">" if big_endian else "<") + ("u2" if bits_allocated == 16 else "u1")
    value = raw.astype(raw.dtype.newbyteorder("=")).view(raw.dtype.str.replace("i", "u")).astype(dtype).tobytes()
    if pad_byte:
        value += b"\x00"
    ds.PixelData = value
    ds["PixelData"].VR = "OW" if bits_allocated == 16 else "OB"
    out = io.BytesIO()
    pydicom.dcmwrite(out, ds, enforce_file_format=True, little_endian=not big_endian, implicit_vr=False)
    return out.getvalue()
