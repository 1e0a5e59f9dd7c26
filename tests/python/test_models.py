"""The Models class, builtin_models and model selection in encode and decode."""

from pathlib import Path

import numpy as np
import pytest

import qelvo

MODELS = Path(__file__).resolve().parents[2] / "codec" / "models"
MODEL_2D = (MODELS / "qv1-2d-h48x48.qvm").read_bytes()
MODEL_3D = (MODELS / "qv1-3d-h48x48.qvm").read_bytes()


def renamed(model: bytes, name: bytes) -> bytes:
    """The same model under another name (which changes its identifier)."""
    old_length = model[8]
    return model[:8] + bytes([len(name)]) + name + model[9 + old_length :]


def test_builtin_models_names_and_identifiers():
    result = qelvo.builtin_models()
    assert list(result) == ["2d", "3d"]
    assert result["2d"][0] == "qv1-2d-h48x48"
    assert result["3d"][0] == "qv1-3d-h48x48"
    models = qelvo.Models(MODEL_2D, MODEL_3D)
    assert models.ids == (result["2d"][1], result["3d"][1])
    assert all(len(i) == 32 and set(i) <= set("0123456789abcdef") for i in models.ids)
    assert repr(models) == "Models(2d=qv1-2d-h48x48, 3d=qv1-3d-h48x48)"


def test_constructor_rules():
    assert len(set(qelvo.Models(MODEL_2D, MODEL_2D).ids)) == 1
    with pytest.raises(TypeError, match="model_2d"):
        qelvo.Models("x", MODEL_3D)
    with pytest.raises(TypeError, match="model_3d"):
        qelvo.Models(MODEL_2D, bytearray(MODEL_3D))
    with pytest.raises(ValueError, match="^invalid model: not a QVM1 model$"):
        qelvo.Models(b"", MODEL_3D)
    with pytest.raises(ValueError, match="^invalid model: trailing bytes after the priors$"):
        qelvo.Models(MODEL_2D, MODEL_3D + b"\x00")
    assert qelvo.Models(model_3d=MODEL_3D, model_2d=MODEL_2D).ids == qelvo.Models(MODEL_2D, MODEL_3D).ids


def test_a_user_pair_is_needed_to_decode_what_it_encoded():
    user = qelvo.Models(renamed(MODEL_2D, b"user-2d"), renamed(MODEL_3D, b"user-3d"))
    assert repr(user) == "Models(2d=user-2d, 3d=user-3d)"
    array = (np.indices((3, 16, 16)).sum(axis=0) % 50).astype(np.uint8)
    data = qelvo.encode(array, models=user)
    assert (qelvo.info(data)["model_2d"], qelvo.info(data)["model_3d"]) == user.ids
    assert np.array_equal(qelvo.decode(data, models=user), array)
    with pytest.raises(ValueError, match=f"^model {user.ids[0]} is not available$"):
        qelvo.decode(data)
    # The built-in files passed as a user pair resolve to the built-in models.
    builtin_data = qelvo.encode(array, models=qelvo.Models(MODEL_2D, MODEL_3D))
    assert builtin_data == qelvo.encode(array)


def test_a_pair_in_the_wrong_roles_is_refused_when_encoding():
    swapped = qelvo.Models(MODEL_3D, MODEL_2D)
    with pytest.raises(ValueError, match="model kinds do not match their roles"):
        qelvo.encode(np.zeros((2, 4, 4), np.uint8), models=swapped)
