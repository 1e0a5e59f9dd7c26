"""The predictor network and head as the codec computes them, in PyTorch for training.

Weights and biases are trained as floats and used rounded (straight-through): int8 weights, int32
biases; every hidden layer applies its shift with rounding half up and clips to 0..127 as the
integer network does, so with rounded parameters the forward pass is the codec's, bit for bit, up
to the head. The head's prediction and scale class are kept continuous for the loss: the loss is
the code length of the true code under a discretised Laplace distribution centred on the
prediction, whose scale follows the scale class (b = KAPPA x 2^((class + 16) / 8)). KAPPA ties the
class to the coder's low-bit shift: the coder sends (class >> 3) - 1 low bits raw, which costs
almost nothing while 2^bits stays well below b."""

import math

import numpy as np
import torch
from torch import nn

HEAD_SHIFT = 10
KAPPA = 0.3
WEIGHT_SCALE = 16.0  # integer weight per unit of the trained parameter
OUTPUT_BIAS_SCALE = 64.0
EIGHTH_BITS = np.array([0, 1, 3, 4, 5, 6, 6, 7])

# (inputs, layer shifts) fixed by the model format.
SHAPES = {False: (12, (7, 4)), True: (30, (6, 5))}
HIDDEN = 48
OUTPUTS = 6


def ste_round(x: torch.Tensor) -> torch.Tensor:
    return x + (torch.floor(x + 0.5) - x).detach()


class QuantLinear(nn.Module):
    def __init__(self, inputs: int, outputs: int, bias_scale: float, generator: torch.Generator):
        super().__init__()
        bound = 1.0 / math.sqrt(inputs)
        self.weight = nn.Parameter((torch.rand(outputs, inputs, generator=generator) * 2 - 1) * bound * 4)
        self.bias = nn.Parameter(torch.zeros(outputs))
        self.bias_scale = bias_scale

    def int_weight(self) -> torch.Tensor:
        return ste_round(torch.clamp(self.weight * WEIGHT_SCALE, -127, 127))

    def int_bias(self) -> torch.Tensor:
        return ste_round(self.bias * self.bias_scale)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x @ self.int_weight().T + self.int_bias()


class Predictor(nn.Module):
    def __init__(self, is_3d: bool, seed: int):
        super().__init__()
        generator = torch.Generator().manual_seed(seed)
        inputs, self.shifts = SHAPES[is_3d]
        self.is_3d = is_3d
        self.layers = nn.ModuleList(
            [
                QuantLinear(inputs, HIDDEN, 2.0 ** self.shifts[0], generator),
                QuantLinear(HIDDEN, HIDDEN, 2.0 ** self.shifts[1], generator),
                QuantLinear(HIDDEN, OUTPUTS, OUTPUT_BIAS_SCALE, generator),
            ]
        )
        with torch.no_grad():
            # Start as a fixed blend of the west neighbour with the base and the activity's class.
            self.layers[2].weight.mul_(0.1)
            self.layers[2].bias[1] = (64 if is_3d else 128) / OUTPUT_BIAS_SCALE
            for layer, shift in zip(self.layers[:2], self.shifts):
                layer.bias.fill_(8.0 / 2.0**shift)  # in activation units: every unit starts alive

    def forward(self, features: torch.Tensor) -> torch.Tensor:
        x = features
        for layer, shift in zip(self.layers[:2], self.shifts):
            x = torch.clamp(ste_round(layer(x) / 2.0**shift), 0, 127)
        return self.layers[2](x)

    def integer_layers(self) -> list[tuple[np.ndarray, np.ndarray, int, int]]:
        """(int8 weights, int32 biases, shift, activation) per layer, as the model file stores them."""
        out = []
        with torch.no_grad():
            for k, layer in enumerate(self.layers):
                weights = layer.int_weight().numpy().astype(np.int8)
                biases = layer.int_bias().numpy().astype(np.int64)
                assert np.all(np.abs(biases) < 2**30)
                last = k == len(self.layers) - 1
                out.append((weights, biases.astype(np.int32), 0 if last else self.shifts[k], 0 if last else 1))
        return out


def logq(s: np.ndarray) -> np.ndarray:
    """8 x log2(s) - 16 in eighth bits, s >= 1."""
    s = s.astype(np.int64)
    r = np.floor(np.log2(s)).astype(np.int64)
    r -= (np.left_shift(1, r) > s).astype(np.int64)  # guard against rounding up in log2
    r += (np.left_shift(1, r + 1) <= s).astype(np.int64)
    q = ((s * 8) >> r) & 7
    return 8 * r + EIGHTH_BITS[q] - 16


def head_inputs(records: np.ndarray, max_code: np.ndarray) -> dict[str, np.ndarray]:
    """The per-sample values the head and the loss need, from trace records."""
    l = records["locals"].astype(np.int64)
    magnitude = np.abs(l[:, 0]) + 256
    big_l = np.floor(np.log2(magnitude)).astype(np.int64)
    lw = EIGHTH_BITS[(magnitude >> (big_l - 3)) & 7] + 8 * big_l - 64
    base = records["base"].astype(np.int64)
    return {
        "residual": (records["code"] - base).astype(np.float32),
        "low": (-base).astype(np.float32),
        "high": (max_code - base).astype(np.float32),
        "scale": records["scale"].astype(np.float32),
        "locals": l.astype(np.float32),
        "logq": logq(records["scale"]).astype(np.float32),
        "lw": lw.astype(np.float32),
    }


def code_length(outputs: torch.Tensor, h: dict[str, torch.Tensor]) -> torch.Tensor:
    """Bits of each true code under the discretised Laplace distribution the head describes."""
    o = outputs
    m = 256 * o[:, 0] + o[:, 1] * h["locals"][:, 0] + o[:, 2] * h["locals"][:, 1] + o[:, 3] * h["locals"][:, 2]
    shift = h["scale"] * m / 2.0 ** (HEAD_SHIFT + 8)
    x = h["residual"] - torch.minimum(torch.maximum(shift, h["low"]), h["high"])
    scale_class = h["logq"] + (8 * o[:, 4] + o[:, 5] * h["lw"]) / 2.0**HEAD_SHIFT
    log_b = math.log(KAPPA) + (torch.clamp(scale_class, -40, 140) + 16) / 8 * math.log(2)
    inv_b = torch.exp(-log_b)
    a = torch.abs(x)
    # P(|x| >= 1/2 side) = 1/2 e^(-(|a| - 1/2)/b) (1 - e^(-1/b)); near the centre the mass of [-1/2, 1/2].
    # Each branch sees only its own range of x, so the other's exponentials cannot overflow.
    tail = math.log(0.5) - (torch.clamp(a, min=0.5) - 0.5) * inv_b + torch.log(-torch.expm1(-inv_b))
    inner = torch.clamp(x, -0.5, 0.5)
    centre = torch.log(torch.clamp(1 - 0.5 * torch.exp(-(0.5 - inner) * inv_b) - 0.5 * torch.exp(-(0.5 + inner) * inv_b), min=1e-12))
    log_p = torch.where(a >= 0.5, tail, centre)
    return -log_p / math.log(2)
