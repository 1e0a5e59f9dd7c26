"""info() on containers built byte by byte."""

import pytest

import qelvo
from containers import container


def test_info_returns_the_exact_header_dict():
    data = container(
        shape=(4, 100, 100),
        bits=12,
        signed=True,
        base=-2048,
        max_code=4095,
        slab=3,
        stripe=64,
        packing=b"\x01\x02",
        metadata=b"meta",
        streams=b"\x00" * 17,
    )
    result = qelvo.info(data)
    assert list(result) == [
        "shape",
        "bits",
        "signed",
        "histogram_packing",
        "slab",
        "stripe",
        "tiles",
        "model_2d",
        "model_3d",
        "sha256",
        "metadata",
        "bits_per_sample",
    ]
    assert result == {
        "shape": (4, 100, 100),
        "bits": 12,
        "signed": True,
        "histogram_packing": True,
        "slab": 3,
        "stripe": 64,
        "tiles": 4,
        "model_2d": bytes(range(16)).hex(),
        "model_3d": bytes(range(16, 32)).hex(),
        "sha256": bytes(range(32)).hex(),
        "metadata": b"meta",
        "bits_per_sample": len(data) * 8 / 40000,
    }


def test_info_without_packing_or_metadata_and_with_missing_streams():
    result = qelvo.info(container(tiles=[(1000, 1, 2)]))
    assert result["histogram_packing"] is False
    assert result["signed"] is False
    assert result["metadata"] == b""
    assert result["tiles"] == 1


def test_info_has_no_sample_limit_but_decode_does():
    data = container(shape=(2**16, 2**16, 5), slab=2**16 - 1, stripe=2**16 - 1)
    assert qelvo.info(data)["shape"] == (65536, 65536, 5)
    with pytest.raises(ValueError, match="^corrupt container: volume dimensions$"):
        qelvo.decode(data)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "not a Qelvo container"),
        (b"\x89QLV", "container is truncated"),
        (container()[:-1], "container is truncated"),
        (container(bits=0), "corrupt container: sample format or tiling"),
        (container()[:-4] + b"\x00\x00\x00\x00", "corrupt container: header checksum mismatch"),
    ],
)
def test_info_raises_value_error_with_the_codec_text(data, message):
    with pytest.raises(ValueError) as raised:
        qelvo.info(data)
    assert str(raised.value) == message


def test_info_takes_bytes_only():
    with pytest.raises(TypeError, match="data"):
        qelvo.info(bytearray(container()))
