"""Runs qelvo_trace (the codec's own tile walk) over a volume and loads what it wrote."""

import subprocess
from pathlib import Path

import numpy as np

from data import TrainingVolume, write_raw

RECORD = np.dtype(
    [
        ("features", "i1", 30),
        ("is_3d", "u1"),
        ("pad", "u1"),
        ("base", "<i4"),
        ("scale", "<i4"),
        ("locals", "<i2", 3),
        ("pad2", "<i2"),
        ("code", "<i4"),
        ("prediction", "<i4"),
        ("scale_class", "<i4"),
        ("tile", "<u4"),
    ]
)
EVENT = np.dtype([("state", "<u4"), ("kind", "u1"), ("context", "u1"), ("value", "u1"), ("pad", "u1")])
TOKEN, SIGN, RUN = 0, 1, 2


class Trace:
    def __init__(self, prefix: Path):
        self.records = np.fromfile(Path(f"{prefix}.samples"), dtype=RECORD)
        self.events = np.fromfile(Path(f"{prefix}.events"), dtype=EVENT)
        summary = Path(f"{prefix}.txt").read_text().split("\n")
        fields = [line.split() for line in summary if line]
        self.max_code = int(fields[0][1])
        self.residuals = int(fields[2][1])
        self.run_counts = np.array([[int(f[2]), int(f[3])] for f in fields[3:]])  # (context, hit/miss)


def trace(
    tool: Path,
    volume: TrainingVolume,
    workdir: Path,
    tag: str,
    slab: int,
    keep: int,
    models: tuple[Path, Path] | None = None,
) -> Trace:
    workdir.mkdir(parents=True, exist_ok=True)
    raw = workdir / f"{volume.name}.raw"
    write_raw(volume, raw)  # always anew: a file left by an earlier run may hold other data
    prefix = workdir / f"{volume.name}.{tag}"
    command = [str(tool), str(raw), str(prefix), "--slab", str(slab), "--keep", str(keep)]
    if models:
        command += ["--models", str(models[0]), str(models[1])]
    subprocess.run(command, check=True)
    return Trace(prefix)
