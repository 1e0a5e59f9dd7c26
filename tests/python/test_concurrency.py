"""Many Python threads calling the module at once, every result checked."""

import threading
import time

import numpy as np

import qelvo


def volume(seed):
    rng = np.random.default_rng(seed)
    base = np.indices((3, 24, 20)).sum(axis=0) * (seed + 1)
    return (base + rng.integers(0, 5, size=base.shape)).astype(np.uint16)


def test_threads_encode_and_decode_at_once():
    inputs = [volume(seed) for seed in range(8)]
    expected = [qelvo.encode(a, threads=1) for a in inputs]
    failures = []
    deadline = time.monotonic() + 3

    def worker(i):
        rounds = 0
        while time.monotonic() < deadline or rounds == 0:
            data = qelvo.encode(inputs[i], threads=None if i % 2 else 2)
            if data != expected[i] or not np.array_equal(qelvo.decode(data, threads=i % 3), inputs[i]):
                failures.append(i)
                return
            rounds += 1

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
