"""Shows that encode and decode release the interpreter lock: the same work done by one Python
thread and split over two (each call with threads=1).

    python3 bench/gil_bench.py"""

import threading
import time

import numpy as np

import qelvo


def run(jobs, thread_count):
    chunks = [jobs[i::thread_count] for i in range(thread_count)]

    def work(chunk):
        for array in chunk:
            qelvo.decode(qelvo.encode(array, threads=1), threads=1)

    threads = [threading.Thread(target=work, args=(chunk,)) for chunk in chunks]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def main():
    rng = np.random.default_rng(0)
    base = (np.indices((8, 128, 128)).sum(axis=0) * 5).astype(np.uint16)
    jobs = [base + rng.integers(0, 8, size=base.shape, dtype=np.uint16) for _ in range(8)]
    one, two = run(jobs, 1), run(jobs, 2)
    print(f"one thread {one:.2f} s, two threads {two:.2f} s: speed-up {one / two:.2f}")


if __name__ == "__main__":
    main()
