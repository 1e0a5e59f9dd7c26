"""QVM1 model files: writing them, and checking that the codec's integer network and head give
exactly what the trained network gives."""

import struct

import numpy as np

import net

NAMES = {False: "qv1-2d-h48x48", True: "qv1-3d-h48x48"}
PRIOR_COUNT = 392


def file_name(is_3d: bool) -> str:
    return NAMES[is_3d] + ".qvm"


def uniform_priors() -> np.ndarray:
    values = np.full(PRIOR_COUNT, 16384, dtype=np.uint16)
    values[:320] = np.tile(np.arange(16) * 2048, 20)
    return values


def model_file(is_3d: bool, layers, priors: np.ndarray) -> bytes:
    name = NAMES[is_3d].encode()
    out = b"QVM1" + bytes([3 if is_3d else 2, net.HEAD_SHIFT, 0, 0, len(name)]) + name + bytes([len(layers)])
    for weights, biases, shift, activation in layers:
        outputs, inputs = weights.shape
        out += struct.pack("<HHBB", inputs, outputs, shift, activation)
        out += weights.astype(np.int8).tobytes() + biases.astype("<i4").tobytes()
    assert priors.shape == (PRIOR_COUNT,)
    return out + priors.astype("<u2").tobytes()


def integer_outputs(layers, features: np.ndarray) -> np.ndarray:
    x = features.astype(np.int64)
    for weights, biases, shift, activation in layers:
        acc = x @ weights.astype(np.int64).T + biases.astype(np.int64)
        if activation:
            if shift:
                acc = (acc + (1 << (shift - 1))) >> shift
            acc = np.clip(acc, 0, 127)
        x = acc
    return x


def check_exact(layers, t, is_3d: bool) -> None:
    """The codec's predictions and scale classes of a trace made with these layers must equal ours."""
    r = t.records[t.records["is_3d"] == is_3d]
    if len(r) == 0:
        return
    width = 30 if is_3d else 12
    o = integer_outputs(layers, r["features"][:, :width])
    l = r["locals"].astype(np.int64)
    h = net.HEAD_SHIFT
    m = np.clip(256 * o[:, 0] + o[:, 1] * l[:, 0] + o[:, 2] * l[:, 1] + o[:, 3] * l[:, 2], -(2**40), 2**40)
    scale, base = r["scale"].astype(np.int64), r["base"].astype(np.int64)
    prediction = np.clip(16 * base + (((1 << (h + 3)) + scale * m) >> (h + 4)), 0, 16 * t.max_code)
    lw = net.head_inputs(r, np.full(len(r), t.max_code))["lw"].astype(np.int64)
    scale_class = net.logq(scale) + (((1 << (h - 1)) + 8 * o[:, 4] + o[:, 5] * lw) >> h)
    if not (np.array_equal(prediction, r["prediction"]) and np.array_equal(scale_class, r["scale_class"])):
        raise SystemExit("the codec's predictions differ from the trained network's")
