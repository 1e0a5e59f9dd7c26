"""The committed built-in model files: exact headers, names, shapes and sizes, trained weights,
valid priors with the other kind's run priors left even. (That the codec accepts them and builds
them in is tested in test_models.py.) Earlier built-in pairs, kept for old containers, still
decode what they encoded when passed as Models."""

import struct
from pathlib import Path

import numpy as np
import pytest

import qelvo

MODELS = Path(__file__).resolve().parents[2] / "codec" / "models"
HISTORY = sorted(p for p in (MODELS / "history").iterdir() if p.is_dir())

# file, size, kind, name, (inputs, outputs, shift, activation) per layer, run priors left at 16384
CASES = [
    ("qv1-2d-h48x48.qvm", 4401, 2, "qv1-2d-h48x48", [(12, 48, 7, 1), (48, 48, 4, 1), (48, 6, 0, 0)], (2, 3)),
    ("qv1-3d-h48x48.qvm", 5265, 3, "qv1-3d-h48x48", [(30, 48, 6, 1), (48, 48, 5, 1), (48, 6, 0, 0)], (0, 1)),
]


def parse(data: bytes):
    assert data[:4] == b"QVM1"
    kind, head_shift, flag_1, flag_2, name_length = data[4:9]
    name = data[9 : 9 + name_length].decode()
    at = 9 + name_length
    layers, weights = [], []
    count = data[at]
    at += 1
    for _ in range(count):
        inputs, outputs, shift, activation = struct.unpack_from("<HHBB", data, at)
        at += 6
        weights.append(np.frombuffer(data, np.int8, inputs * outputs, at))
        at += inputs * outputs + 4 * outputs
        layers.append((inputs, outputs, shift, activation))
    priors = np.frombuffer(data, "<u2", 392, at)
    return (kind, head_shift, flag_1, flag_2, name), layers, weights, priors, at + 784


@pytest.mark.parametrize("file, size, kind, name, layers, even_runs", CASES)
def test_builtin_file_layout(file, size, kind, name, layers, even_runs):
    data = (MODELS / file).read_bytes()
    assert len(data) == size
    header, parsed_layers, weights, priors, end = parse(data)
    assert header == (kind, 10, 0, 0, name)
    assert parsed_layers == layers
    assert end == size
    assert all(w.any() for w in weights), "every layer has trained weights"
    assert all(priors[388 + i] == 16384 for i in even_runs)
    tables = priors[:320].reshape(20, 16).astype(int)
    assert (tables[:, 0] == 0).all() and (np.diff(tables, axis=1) >= 0).all() and (tables[:, 15] <= 32768).all()
    assert ((priors[320:] >= 1) & (priors[320:] <= 32767)).all()



@pytest.mark.parametrize("folder", HISTORY, ids=lambda p: p.name)
def test_an_earlier_pair_decodes_its_containers_as_models(folder):
    old = qelvo.Models(*((folder / case[0]).read_bytes() for case in CASES))
    assert old.ids != tuple(qelvo.builtin_models()[k][1] for k in ("2d", "3d"))
    array = (np.indices((3, 20, 24)).sum(axis=0) * 37 % 1000).astype(np.uint16)
    data = qelvo.encode(array, models=old)
    with pytest.raises(ValueError, match="is not available"):
        qelvo.decode(data)
    assert np.array_equal(qelvo.decode(data, models=old), array)
