"""Writes the two built-in model files used until trained ones exist.

The networks carry no learned weights: every weight is 0, so the six outputs are the last layer's
biases. Those make the head predict base + w x (W - base), a fixed blend of the row's west
neighbour with the context base (N in 2-D, the clamped inter-slice gradient in 3-D), and take the
scale class straight from the local activity. The priors are a geometric token distribution, even
sign odds and run odds that favour hits. Deterministic: the same files on every run.

    python3 tools/make_placeholder_models.py codec/models
"""

import struct
import sys
from pathlib import Path

HEAD_SHIFT = 10


def layer(inputs, outputs, shift, activation, biases):
    assert len(biases) == outputs
    return (
        struct.pack("<HHBB", inputs, outputs, shift, activation)
        + bytes(inputs * outputs)
        + struct.pack(f"<{outputs}i", *biases)
    )


def network(inputs, shifts, west_weight):
    # o1 x l0 adds (o1 / 256) x (W - base) codes to the prediction.
    output_biases = [0, round(256 * west_weight), 0, 0, 0, 0]
    return bytes([3]) + (
        layer(inputs, 48, shifts[0], 1, [0] * 48)
        + layer(48, 48, shifts[1], 1, [0] * 48)
        + layer(48, 6, 0, 0, output_biases)
    )


def token_table(decay):
    weights = [decay**k for k in range(16)]
    total = sum(weights)
    cdf, running = [], 0.0
    for w in weights:
        cdf.append(round(32768 * running / total))
        running += w
    return cdf


def priors(run_priors):
    values = []
    for model in range(20):
        values += token_table(0.8 if model < 16 else 0.7)
    values += [16384] * 68
    values += run_priors
    assert len(values) == 392
    return struct.pack("<392H", *values)


def model_file(kind, name, net, run_priors):
    encoded = name.encode()
    return b"QVM1" + bytes([kind, HEAD_SHIFT, 0, 0, len(encoded)]) + encoded + net + priors(run_priors)


def main(folder):
    folder = Path(folder)
    files = {
        "qv1-2d-h48x48.qvm": model_file(2, "qv1-2d-h48x48", network(12, (7, 4), 0.5), [24576, 30000, 16384, 16384]),
        "qv1-3d-h48x48.qvm": model_file(3, "qv1-3d-h48x48", network(30, (6, 5), 0.25), [16384, 16384, 24576, 30000]),
    }
    for name, data in files.items():
        (folder / name).write_bytes(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "codec/models")
