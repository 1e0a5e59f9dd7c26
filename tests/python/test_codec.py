"""encode / decode round trips through the module, with the dtype rules of the results."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import qelvo

CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpus" / "train"


def textured(shape, dtype, bits=None, seed=0):
    info = np.iinfo(dtype)
    bits = bits or info.bits
    lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if info.min < 0 else (0, (1 << bits) - 1)
    rng = np.random.default_rng(seed)
    grid = np.indices(shape).sum(axis=0) * 3
    values = lo + grid % (hi - lo + 1) + rng.integers(-3, 4, size=shape)
    return np.clip(values, lo, hi).astype(dtype)


@pytest.mark.parametrize(
    "dtype, bits, shape",
    [
        (np.uint8, None, (3, 17, 19)),
        (np.int8, None, (2, 5, 7)),
        (np.uint16, None, (4, 9, 33)),
        (np.int16, None, (2, 31, 3)),
        (np.uint16, 12, (3, 16, 16)),
        (np.int16, 10, (1, 40, 40)),
        (np.uint8, 1, (2, 8, 8)),
        (np.int8, 1, (2, 8, 8)),
        (np.uint8, 3, (1, 1, 1)),
        (np.uint16, 16, (1, 1, 50)),
        (np.int16, 16, (50, 1, 1)),
    ],
)
def test_round_trip_keeps_values_and_follows_the_dtype_rules(dtype, bits, shape):
    array = textured(shape, dtype, bits)
    data = qelvo.encode(array, bits=bits)
    restored = qelvo.decode(data)
    declared = bits or np.iinfo(dtype).bits
    signed = np.iinfo(dtype).min < 0
    expected_dtype = {(False, False): np.uint8, (False, True): np.int8, (True, False): np.uint16, (True, True): np.int16}[
        (declared > 8, signed)
    ]
    assert restored.dtype == expected_dtype
    assert restored.shape == shape
    assert np.array_equal(restored, array)
    assert restored.flags.c_contiguous and restored.flags.writeable


def test_narrow_dtypes_widen_and_wide_dtypes_narrow():
    a = np.arange(100, dtype=np.uint8).reshape(10, 10)
    restored = qelvo.decode(qelvo.encode(a, bits=12))
    assert restored.dtype == np.uint16 and restored.shape == (1, 10, 10)
    assert np.array_equal(restored[0], a)
    b = np.arange(-50, 50, dtype=np.int16).reshape(10, 10)
    restored = qelvo.decode(qelvo.encode(b, bits=8))
    assert restored.dtype == np.int8
    assert np.array_equal(restored[0], b)
    c = np.arange(-50, 50, dtype=np.int8).reshape(10, 10)
    assert qelvo.decode(qelvo.encode(c, bits=16)).dtype == np.int16


def test_layouts_encode_to_identical_containers():
    array = textured((5, 12, 14), np.uint16, 12, seed=3)
    reference = qelvo.encode(np.ascontiguousarray(array))
    fortran = np.asfortranarray(array)
    assert qelvo.encode(fortran) == reference
    readonly = array.copy()
    readonly.flags.writeable = False
    assert qelvo.encode(readonly) == reference
    flipped = np.ascontiguousarray(array[::-1, :, ::-1])
    assert qelvo.encode(array[::-1, :, ::-1]) == qelvo.encode(flipped)


def test_threads_and_kernels_give_identical_bytes(tmp_path):
    array = textured((9, 70, 40), np.uint16, 12, seed=4)
    reference = qelvo.encode(array, slab=4, stripe=32)
    for threads in (1, 2, 0, 8):
        assert qelvo.encode(array, slab=4, stripe=32, threads=threads) == reference
        assert np.array_equal(qelvo.decode(reference, threads=threads), array)
    np.save(tmp_path / "a.npy", array)
    script = (
        "import numpy as np, qelvo, sys;"
        f"a = np.load({str(tmp_path / 'a.npy')!r});"
        "sys.stdout.buffer.write(qelvo.encode(a, slab=4, stripe=32))"
    )
    scalar = subprocess.run(
        [sys.executable, "-c", script], env={**os.environ, "QELVO_KERNEL": "scalar"}, capture_output=True, check=True
    )
    assert scalar.stdout == reference


def test_constant_and_sparse_volumes():
    constant = np.full((3, 20, 20), 1234, np.uint16)
    data = qelvo.encode(constant)
    assert qelvo.info(data)["histogram_packing"] is False
    assert np.array_equal(qelvo.decode(data), constant)
    sparse = (np.indices((2, 30, 30)).sum(axis=0) % 3 * 20000).astype(np.uint16)
    packed, plain = qelvo.encode(sparse), qelvo.encode(sparse, packing=False)
    assert qelvo.info(packed)["histogram_packing"] is True
    assert qelvo.info(plain)["histogram_packing"] is False
    assert np.array_equal(qelvo.decode(packed), sparse)
    assert np.array_equal(qelvo.decode(plain), sparse)


def test_metadata_is_stored_verbatim():
    array = textured((1, 8, 8), np.uint8)
    assert qelvo.info(qelvo.encode(array, metadata=b"\x00patient"))["metadata"] == b"\x00patient"
    assert qelvo.info(qelvo.encode(array, metadata=b""))["metadata"] == b""


def test_encoder_errors_are_value_errors():
    array = textured((2, 8, 8), np.uint8)
    with pytest.raises(ValueError, match="^invalid volume: tile dimensions must be positive$"):
        qelvo.encode(array, slab=0)
    with pytest.raises(ValueError, match="^invalid volume: metadata larger than 16 MiB$"):
        qelvo.encode(array, metadata=bytes(16 * 1024 * 1024 + 1))


def test_decoded_array_outlives_the_container():
    array = textured((2, 16, 16), np.int16, seed=8)
    data = qelvo.encode(array)
    restored = qelvo.decode(data)
    del data
    restored[0, 0, 0] += 1
    restored[0, 0, 0] -= 1
    assert np.array_equal(restored, array)


CORPUS_FILES = sorted(CORPUS.glob("*.npy")) if CORPUS.is_dir() else []


@pytest.mark.skipif(not CORPUS_FILES, reason="the corpus is not present")
@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.stem)
def test_real_volumes_round_trip(path):
    array = np.load(path)
    if array.size > 8_000_000:
        array = array[: max(1, 8_000_000 // (array.shape[-1] * array.shape[-2]))]
    data = qelvo.encode(array)
    restored = qelvo.decode(data)
    expected = array if array.ndim == 3 else array[np.newaxis]
    assert restored.dtype == array.dtype
    assert np.array_equal(restored, expected)


FAILED_RESERVATION = """
import resource, sys
import numpy as np
import qelvo
sys.path.insert(0, sys.argv[1])
from containers import container

ids = qelvo.info(qelvo.encode(np.zeros((1, 2, 2), np.uint8)))
# 2^31 samples (8 GiB while decoding) behind streams long enough to pass the length bound.
data = container(shape=(1, 32768, 65536), bits=16, max_code=65535, tiles=[(128, 0, 0)] * 64,
                 model_2d=bytes.fromhex(ids["model_2d"]), model_3d=bytes.fromhex(ids["model_3d"]),
                 streams=bytes(range(128)) * 64)
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
try:
    qelvo.decode(data, threads=1)
except ValueError as error:
    print(error)
"""


def test_a_volume_too_large_for_memory_is_an_error_not_a_crash():
    tests = str(Path(__file__).resolve().parent)
    done = subprocess.run([sys.executable, "-c", FAILED_RESERVATION, tests], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "cannot allocate 2147483648 samples\n"
