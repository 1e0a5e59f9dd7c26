"""The module's surface: names, signatures, docstrings and argument rules."""

import inspect

import numpy as np
import pytest

import qelvo
from qelvo import _qelvo

SIGNATURES = {
    "encode": "(array, *, bits=None, slab=32, stripe=512, packing=True, metadata=None, models=None, threads=None)",
    "decode": "(data, *, models=None, verify=True, threads=None)",
    "info": "(data)",
    "pack_dicom": "(files, *, zstd_level=19, models=None)",
    "unpack_dicom": "(data, *, models=None)",
    "builtin_models": "()",
}

DOCSTRINGS = {
    "encode": "Compresses a volume (2-D or 3-D array of uint8, int8, uint16 or int16).\n\n"
    "`bits` declares the significant bits (default: the width of the dtype);\n"
    "`metadata` is stored verbatim in the container.",
    "decode": "Decompresses a volume; returns a (slices, rows, columns) array.",
    "info": "The header of a container as a dict.",
    "pack_dicom": "Packs DICOM files, given as (name, bytes) pairs, into a byte-exact\n"
    "archive. Returns (archive bytes, report dict).",
    "unpack_dicom": "Restores every file of an archive; returns a list of (name, bytes).",
    "builtin_models": "Identifiers and names of the built-in models.",
}


def test_version_and_exports():
    assert qelvo.__version__ == "0.2.0" == _qelvo.__version__
    public = {name for name in dir(_qelvo) if not name.startswith("_")}
    assert public == {"Models", *SIGNATURES}
    assert _qelvo.__doc__ in ("", None)
    assert qelvo.Models.__module__ == "qelvo"


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signatures_and_docstrings(name):
    function = getattr(qelvo, name)
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__doc__ == DOCSTRINGS[name]


def test_models_class_documentation():
    assert str(inspect.signature(qelvo.Models)) == "(model_2d, model_3d)"
    assert qelvo.Models.__doc__ == "A pair of predictor models (2-D and 3-D)."


ARRAY = np.zeros((2, 3), np.uint8)


@pytest.mark.parametrize(
    "kwargs, error, name",
    [
        ({"bits": "8"}, TypeError, "bits"),
        ({"bits": 1.0}, TypeError, "bits"),
        ({"bits": 256}, OverflowError, "bits"),
        ({"bits": -1}, OverflowError, "bits"),
        ({"slab": -1}, OverflowError, "slab"),
        ({"slab": 70000}, OverflowError, "slab"),
        ({"stripe": 2**16}, OverflowError, "stripe"),
        ({"packing": 1}, TypeError, "packing"),
        ({"packing": "yes"}, TypeError, "packing"),
        ({"metadata": bytearray(b"x")}, TypeError, "metadata"),
        ({"metadata": memoryview(b"x")}, TypeError, "metadata"),
        ({"models": "builtin"}, TypeError, "models"),
        ({"threads": -1}, OverflowError, "threads"),
        ({"threads": 2**64}, OverflowError, "threads"),
        ({"threads": "2"}, TypeError, "threads"),
    ],
)
def test_encode_argument_errors_name_the_argument(kwargs, error, name):
    with pytest.raises(error, match=name):
        qelvo.encode(ARRAY, **kwargs)


def test_arguments_are_converted_in_signature_order():
    # `bits` is converted before `threads`, and the keywords before the array.
    with pytest.raises(OverflowError, match="bits"):
        qelvo.encode(ARRAY, bits=300, threads="x")
    with pytest.raises(TypeError, match="packing"):
        qelvo.encode([[1]], packing=1)


@pytest.mark.parametrize(
    "call",
    [
        lambda: qelvo.encode(),
        lambda: qelvo.encode(ARRAY, 8),
        lambda: qelvo.encode(ARRAY, bitz=8),
        lambda: qelvo.encode(ARRAY, array=ARRAY),
        lambda: qelvo.decode(),
        lambda: qelvo.decode(b"", None),
        lambda: qelvo.info(b"", b""),
        lambda: qelvo.builtin_models(1),
        lambda: qelvo.pack_dicom([], 19),
        lambda: qelvo.unpack_dicom(b"", None),
    ],
)
def test_calls_that_break_the_signature_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "kwargs, error, name",
    [
        ({"data": bytearray(b"abc")}, TypeError, "data"),
        ({"data": "abc"}, TypeError, "data"),
        ({"data": b"abc", "verify": 1}, TypeError, "verify"),
        ({"data": b"abc", "verify": None, "threads": -1}, OverflowError, "threads"),
        ({"data": b"abc", "models": object()}, TypeError, "models"),
    ],
)
def test_decode_argument_errors(kwargs, error, name):
    with pytest.raises(error, match=name):
        qelvo.decode(**kwargs)


def test_numpy_booleans_are_booleans():
    with pytest.raises(ValueError, match="not a Qelvo container"):
        qelvo.decode(b"abc", verify=np.bool_(False))


def test_decode_of_three_bytes_is_not_a_container():
    with pytest.raises(ValueError, match="^not a Qelvo container$"):
        qelvo.decode(b"abc")
