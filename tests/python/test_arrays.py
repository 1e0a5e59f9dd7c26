"""Array checks made before any coding."""

import numpy as np
import pytest

import qelvo


@pytest.mark.parametrize(
    "array",
    [
        [[1, 2], [3, 4]],
        np.zeros((2, 2), np.uint32),
        np.zeros((2, 2), np.float32),
        np.zeros((2, 2), np.bool_),
        np.zeros(4, np.float64),
        np.zeros((2, 2), ">u2"),
        np.zeros((2, 2), ">i2"),
    ],
)
def test_unsupported_types_raise_type_error(array):
    with pytest.raises(TypeError, match="^expected a NumPy array of uint8, int8, uint16 or int16$"):
        qelvo.encode(array)


@pytest.mark.parametrize("shape", [(), (4,), (1, 2, 3, 4)])
def test_wrong_dimensions_raise_value_error(shape):
    with pytest.raises(ValueError, match=r"^expected a 2-D \(rows, columns\) or 3-D \(slices, rows, columns\) array$"):
        qelvo.encode(np.zeros(shape, np.uint8))


@pytest.mark.parametrize(
    "array, bits, message",
    [
        (np.zeros((0, 3), np.uint8), None, "invalid volume: empty dimension"),
        (np.zeros((2, 0, 3), np.int16), None, "invalid volume: empty dimension"),
        (np.full((2, 2), 5000, np.uint16), 12, "invalid volume: value 5000 outside [0, 4095]"),
        (np.full((2, 2), -3, np.int8), 2, "invalid volume: value -3 outside [-2, 1]"),
        (np.zeros((2, 2), np.uint8), 0, "invalid volume: 0 bits per sample; 1 to 16 are supported"),
        (np.zeros((2, 2), np.uint8), 17, "invalid volume: 17 bits per sample; 1 to 16 are supported"),
    ],
)
def test_volume_checks_raise_value_error(array, bits, message):
    with pytest.raises(ValueError) as raised:
        qelvo.encode(array, bits=bits)
    assert str(raised.value) == message


def test_values_are_read_in_logical_order_over_any_strides():
    # The first value outside the format is reported, so the reported value shows the read order.
    base = np.zeros((3, 4, 5), np.uint16)
    base[2, 1, 0] = 300
    base[0, 3, 4] = 400
    assert base.ravel().tolist().index(400) < base.ravel().tolist().index(300)
    transposed = np.asfortranarray(base)
    with pytest.raises(ValueError, match=r"value 400 outside \[0, 255\]"):
        qelvo.encode(transposed, bits=8)
    reversed_view = base[::-1, :, ::-2]
    first = next(v for v in reversed_view.ravel() if v > 255)
    with pytest.raises(ValueError, match=rf"value {first} outside"):
        qelvo.encode(reversed_view, bits=8)
