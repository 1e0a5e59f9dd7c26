"""The proof: the real codec encodes and decodes every volume of the training corpus with the given
model files, and the sizes it writes are compared with the peers' (peers.tsv) and with coding
every slice with the 2-D model (slab 1).

    python3 tools/train/evaluate.py [MODEL_2D MODEL_3D]   (default: codec/models/)
"""

import csv
import sys
from pathlib import Path

import numpy as np

import qelvo

from data import CORPUS, ROOT

PEERS = ("jpegls", "j2k", "jxl_e7")


def peer_bytes() -> dict:
    with (CORPUS / "peers.tsv").open() as f:
        return {(r["file"], r["codec"]): int(r["bytes"]) for r in csv.DictReader(f, delimiter="\t")}


def main() -> None:
    folder = ROOT / "codec" / "models"
    paths = [Path(p) for p in sys.argv[1:3]] or [folder / "qv1-2d-h48x48.qvm", folder / "qv1-3d-h48x48.qvm"]
    models = qelvo.Models(paths[0].read_bytes(), paths[1].read_bytes())
    peers = peer_bytes()
    columns = ("qelvo", *PEERS, "slab1")
    print(f"{'volume':30} {'samples':>9} " + " ".join(f"{c:>7}" for c in columns) + "  3-D gain")
    totals = {group: dict.fromkeys(("samples", *columns), 0) for group in ("all", "CT", "MR")}
    for path in sorted(CORPUS.glob("*.npy")):
        array = np.load(path)
        data = qelvo.encode(array, models=models)
        if not np.array_equal(qelvo.decode(data, models=models).reshape(array.shape), array):
            raise SystemExit(f"{path.name} does not round-trip")
        sizes = {"qelvo": len(data), "slab1": len(qelvo.encode(array, models=models, slab=1))}
        sizes.update({p: peers[(path.name, p)] for p in PEERS})
        bps = {c: 8 * sizes[c] / array.size for c in columns}
        gain = 1 - sizes["qelvo"] / sizes["slab1"]
        print(f"{path.stem:30} {array.size:>9} " + " ".join(f"{bps[c]:>7.3f}" for c in columns) + f"  {gain:>7.1%}")
        for group in ("all", path.stem[:2].upper()):
            totals[group]["samples"] += array.size
            for c in columns:
                totals[group][c] += sizes[c]
    for group, t in totals.items():
        bps = {c: 8 * t[c] / t["samples"] for c in columns}
        vs = ", ".join(f"{1 - bps['qelvo'] / bps[p]:.1%} below {p}" for p in PEERS)
        print(f"{'total ' + group:30} {t['samples']:>9} " + " ".join(f"{bps[c]:>7.3f}" for c in columns) + f"  ({vs})")


if __name__ == "__main__":
    main()
