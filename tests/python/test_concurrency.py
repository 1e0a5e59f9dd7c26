"""Many Python threads calling the module at once, every result checked."""

import threading
import time

import numpy as np

import qelvo
from dicom_fixtures import dicom_file


def volume(seed):
    rng = np.random.default_rng(seed)
    base = np.indices((3, 24, 20)).sum(axis=0) * (seed + 1)
    return (base + rng.integers(0, 5, size=base.shape)).astype(np.uint16)


def test_threads_encode_decode_pack_and_unpack_at_once():
    inputs = [volume(seed) for seed in range(8)]
    expected = [qelvo.encode(a, threads=1) for a in inputs]
    series = [[(f"{i}-{z}", dicom_file(inputs[i][z], position=(0, 0, z))) for z in range(3)] for i in range(8)]
    archives = [qelvo.pack_dicom(files)[0] for files in series]
    failures = []
    deadline = time.monotonic() + 3

    def worker(i):
        rounds = 0
        while time.monotonic() < deadline or rounds == 0:
            data = qelvo.encode(inputs[i], threads=None if i % 2 else 2)
            if data != expected[i] or not np.array_equal(qelvo.decode(data, threads=i % 3), inputs[i]):
                failures.append(("codec", i))
                return
            archive, _ = qelvo.pack_dicom(series[i])
            if archive != archives[i] or qelvo.unpack_dicom(archive) != series[i]:
                failures.append(("archive", i))
                return
            rounds += 1

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
