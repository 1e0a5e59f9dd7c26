"""Encodes and decodes every volume of the training corpus and prints, per volume and in total:
bits per sample, encode and decode Msamples/s on one thread and on all threads, and the peak
memory of a decode measured in a fresh process; beside the peers' bits per sample.

    python3 bench/codec_bench.py [corpus/train folder] [--quick]
"""

import csv
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import qelvo

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_CORPUS = ROOT.parent / "shared" / "corpus" / "train"
PEERS = ("jpegls", "j2k", "jxl_e7")

# Peak resident memory of a fresh process that decodes one container, beside the bytes of the
# container and of the decoded array (the interpreter and NumPy account for the rest).
PEAK_SCRIPT = """
import sys, numpy as np, qelvo
data = open(sys.argv[1], "rb").read()
volume = qelvo.decode(data, threads=1)
# VmHWM belongs to this program image; ru_maxrss would carry the parent's peak across exec.
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(peak, volume.nbytes, len(data))
"""


def timed(function, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def peers(corpus):
    table = {}
    path = corpus / "peers.tsv"
    if path.exists():
        with path.open() as f:
            for row in csv.DictReader(f, delimiter="\t"):
                table[(row["file"], row["codec"])] = int(row["bytes"])
    return table


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    quick = "--quick" in sys.argv
    corpus = Path(args[0]) if args else DEFAULT_CORPUS
    peer_bytes = peers(corpus)
    header = f"{'volume':32} {'samples':>10} {'bps':>7} " + " ".join(f"{p:>7}" for p in PEERS)
    header += f" {'enc1':>7} {'dec1':>7} {'encN':>7} {'decN':>7} {'peakMB':>7} {'in+out':>7}"
    print(header)
    totals = {"samples": 0, "bytes": 0, **{p: 0 for p in PEERS}}
    for path in sorted(corpus.glob("*.npy")):
        array = np.load(path)
        samples = array.size
        repeats = 1 if quick or samples > 5_000_000 else 3
        enc1, data = timed(lambda: qelvo.encode(array, threads=1), repeats)
        dec1, restored = timed(lambda: qelvo.decode(data, threads=1), repeats)
        assert np.array_equal(restored.reshape(array.shape), array), path.name
        encn, _ = timed(lambda: qelvo.encode(array), repeats)
        decn, _ = timed(lambda: qelvo.decode(data), repeats)
        scratch = ROOT / "build" / "bench_container.bin"
        scratch.parent.mkdir(exist_ok=True)
        scratch.write_bytes(data)
        peak_kb, out_bytes, in_bytes = map(int, subprocess.check_output([sys.executable, "-c", PEAK_SCRIPT, str(scratch)]).split())
        bps = 8 * len(data) / samples
        row = f"{path.stem:32} {samples:>10} {bps:>7.3f} "
        for p in PEERS:
            b = peer_bytes.get((path.name, p))
            row += f"{8 * b / samples:>7.3f} " if b else f"{'-':>7} "
            totals[p] += b or 0
        row += " ".join(f"{samples / t / 1e6:>7.2f}" for t in (enc1, dec1, encn, decn))
        row += f" {peak_kb / 1024:>7.1f} {(out_bytes + in_bytes) / 2**20:>7.1f}"
        print(row, flush=True)
        totals["samples"] += samples
        totals["bytes"] += len(data)
    s = totals["samples"]
    print(f"{'total':32} {s:>10} {8 * totals['bytes'] / s:>7.3f} " + " ".join(f"{8 * totals[p] / s:>7.3f}" for p in PEERS))


if __name__ == "__main__":
    main()
