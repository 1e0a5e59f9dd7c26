"""Threads, child processes and interrupts around calls into the module, every result checked."""

import multiprocessing
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import qelvo
from dicom_fixtures import dicom_file


def volume(seed, shape=(3, 24, 20)):
    rng = np.random.default_rng(seed)
    base = np.indices(shape).sum(axis=0) * (seed + 1)
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


def _code_in_child(array, files, queue):
    data = qelvo.encode(array, threads=None)
    queue.put((data, np.array_equal(qelvo.decode(data, threads=None), array),
               qelvo.unpack_dicom(qelvo.pack_dicom(files)[0]) == files))


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_child_processes_after_the_module_was_used(method):
    array = volume(6, (6, 64, 64))
    files = [(f"{z}", dicom_file(array[z], position=(0, 0, z))) for z in range(3)]
    reference = qelvo.encode(array)  # starts the shared pool in the parent
    qelvo.pack_dicom(files)
    context = multiprocessing.get_context(method)
    queue = context.Queue()
    child = context.Process(target=_code_in_child, args=(array, files, queue))
    child.start()
    result = queue.get(timeout=120)
    child.join(timeout=60)
    assert child.exitcode == 0
    assert result == (reference, True, True)


INTERRUPTED_PACK = textwrap.dedent("""
    import os, signal, sys, threading, time
    import numpy as np
    import qelvo
    sys.path.insert(0, sys.argv[1])
    from dicom_fixtures import dicom_file

    rng = np.random.default_rng(0)
    slices = rng.integers(0, 4096, size=(40, 256, 256)).astype(np.uint16)
    files = [(str(z), dicom_file(slices[z], position=(0, 0, z))) for z in range(len(slices))]
    # A shell starting this in the background may have set SIGINT to be ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        qelvo.pack_dicom(files)  # runs for a second or more with the interpreter lock released
        time.sleep(5)
        print("not interrupted")
    except KeyboardInterrupt:
        print("interrupted")
    small = files[:2]
    print("usable", qelvo.unpack_dicom(qelvo.pack_dicom(small)[0]) == small,
          np.array_equal(qelvo.decode(qelvo.encode(slices[:3])), slices[:3]))
""")


def test_keyboard_interrupt_during_a_long_pack_leaves_the_interpreter_usable():
    tests = str(Path(__file__).resolve().parent)
    done = subprocess.run([sys.executable, "-c", INTERRUPTED_PACK, tests], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["interrupted", "usable True True"]
