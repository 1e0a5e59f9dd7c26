"""Qelvo: lossless compression of medical image volumes and byte-exact DICOM archives."""

from qelvo._qelvo import (
    Models,
    __version__,
    builtin_models,
    decode,
    encode,
    info,
    pack_dicom,
    unpack_dicom,
)

__all__ = [
    "Models",
    "__version__",
    "builtin_models",
    "decode",
    "encode",
    "info",
    "pack_dicom",
    "unpack_dicom",
]
