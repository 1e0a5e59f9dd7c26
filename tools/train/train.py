"""Trains the two built-in models and writes them into codec/models/.

    python3 tools/train/train.py --tool build/train/tools/train/qelvo_trace --out codec/models

Steps: trace every training volume with the codec's own tile walk (2-D samples with one slice per
tile, 3-D samples with the default tiles), train each network on the code length of the true codes
(quantisation-aware), write the files, trace again with them to check that the codec computes what
training computed and to collect the coder's decisions, fit the priors to those and write the final
files. Deterministic: fixed seeds, one thread, the same files on every run."""

import argparse
import time
from pathlib import Path

import numpy as np
import torch

import data
import net
import priors
import qvm
from trace import Trace, trace

SEED = 20261210
CAP = 200_000  # training samples per volume and model
SMALL = 20_000  # volumes with fewer samples than this weigh less (sqrt), so they are not overfitted
EPOCHS = 20
BATCH = 2048
LEARNING_RATE = 0.02


def log(*args) -> None:
    print(f"[{time.strftime('%H:%M:%S')}]", *args, flush=True)


def traces_of(tool, volumes, work, is_3d):
    """One trace per volume: all slices in 2-D (slab 1), or the encoder's default tiles for 3-D."""
    out = []
    for v in volumes:
        if is_3d and (v.array.ndim == 2 or v.array.shape[0] == 1):
            out.append(None)
            continue
        keep = max(1, v.array.size // (3 * CAP))
        out.append(trace(tool, v, work, "3d" if is_3d else "2d", 32 if is_3d else 1, keep))
    return out


def dataset(volumes, traces, is_3d, rng):
    """Features, head inputs and per-sample weights of one model's training set."""
    parts, weights, names = [], [], []
    for v, t in zip(volumes, traces):
        if t is None:
            continue
        r = t.records[t.records["is_3d"] == is_3d]
        if len(r) == 0:
            continue
        if len(r) > CAP:
            r = r[np.sort(rng.choice(len(r), CAP, replace=False))]
        parts.append((r, t.max_code))
        weights.append(np.full(len(r), v.weight * min(1.0, np.sqrt(len(r) / SMALL)) / len(r)))
        names.append(np.full(len(r), len(names)))
    records = np.concatenate([p[0] for p in parts])
    max_code = np.concatenate([np.full(len(p[0]), p[1]) for p in parts])
    width = 30 if is_3d else 12
    w = np.concatenate(weights)
    return {
        "features": torch.from_numpy(records["features"][:, :width].astype(np.float32)),
        "head": {k: torch.from_numpy(a) for k, a in net.head_inputs(records, max_code).items()},
        "weight": torch.from_numpy((w / w.mean()).astype(np.float32)),
        "volume": np.concatenate(names),
    }


def train(model: net.Predictor, d: dict, rng) -> None:
    n = len(d["weight"])
    steps = EPOCHS * ((n + BATCH - 1) // BATCH)
    optimiser = torch.optim.Adam(model.parameters(), lr=LEARNING_RATE)
    schedule = torch.optim.lr_scheduler.OneCycleLR(optimiser, LEARNING_RATE, total_steps=steps, pct_start=0.1)
    for epoch in range(EPOCHS):
        order = torch.from_numpy(rng.permutation(n))
        total = 0.0
        for start in range(0, n, BATCH):
            idx = order[start : start + BATCH]
            head = {k: a[idx] for k, a in d["head"].items()}
            bits = net.code_length(model(d["features"][idx]), head)
            loss = (bits * d["weight"][idx]).mean()
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            schedule.step()
            total += loss.item() * len(idx)
        log(f"  epoch {epoch + 1}/{EPOCHS}: {total / n:.4f} weighted bits/sample")


def per_volume_bits(model, d, names) -> None:
    with torch.no_grad():
        bits = net.code_length(model(d["features"]), d["head"]).numpy()
    for k, name in enumerate(names):
        chosen = d["volume"] == k
        if chosen.any():
            log(f"  {name:40} {bits[chosen].mean():7.3f} bits/residual (model)")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", type=Path, required=True, help="the qelvo_trace program")
    parser.add_argument("--out", type=Path, default=data.ROOT / "codec" / "models")
    parser.add_argument("--work", type=Path, default=data.ROOT / "build" / "train-work")
    args = parser.parse_args()
    torch.set_num_threads(1)
    torch.use_deterministic_algorithms(True)
    torch.manual_seed(SEED)
    rng = np.random.default_rng(SEED)

    volumes = data.training_volumes()
    log(f"{len(volumes)} volumes")
    models = {}
    for is_3d in (False, True):
        kind = "3d" if is_3d else "2d"
        traces = traces_of(args.tool, volumes, args.work, is_3d)
        d = dataset(volumes, traces, is_3d, rng)
        log(f"{kind}: {len(d['weight'])} samples")
        model = net.Predictor(is_3d, SEED)
        train(model, d, rng)
        per_volume_bits(model, d, [v.name for v, t in zip(volumes, traces) if t is not None])
        models[is_3d] = model

    # Files with neutral priors first: the coder's decisions depend on the networks only.
    paths = (args.work / "net-2d.qvm", args.work / "net-3d.qvm")
    for is_3d, path in zip((False, True), paths):
        path.write_bytes(qvm.model_file(is_3d, models[is_3d].integer_layers(), qvm.uniform_priors()))
    # Traced as the encoder tiles by default: the 2-D state then sees the first slice of each tile.
    coded = []
    for v in volumes:
        t = trace(args.tool, v, args.work, "final", 32, max(1, v.array.size // 50_000), paths)
        for is_3d in (False, True):
            qvm.check_exact(models[is_3d].integer_layers(), t, is_3d)
        coded.append((v.weight, t))
    log("the codec's predictions and scale classes equal the trained networks'")
    for is_3d in (False, True):
        fitted = priors.fit(coded, is_3d)
        data_file = qvm.model_file(is_3d, models[is_3d].integer_layers(), fitted)
        (args.out / qvm.file_name(is_3d)).write_bytes(data_file)
        log(f"wrote {qvm.file_name(is_3d)}: {len(data_file)} bytes")


if __name__ == "__main__":
    main()
