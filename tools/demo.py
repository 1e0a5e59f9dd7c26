"""What `make demo` shows: Qelvo packing real DICOM files that no one here wrote (the test files
shipped inside pydicom) into one archive, restoring them and proving every byte."""

import time
from pathlib import Path

import numpy as np
import pydicom

import qelvo


def dicom_files():
    folder = Path(pydicom.__file__).parent / "data"
    paths = sorted(p for p in folder.rglob("*") if p.is_file() and p.suffix not in (".py", ".pyc", ".json", ".txt"))
    return [(str(p.relative_to(folder)), p.read_bytes()) for p in paths]


def main():
    print(f"qelvo {qelvo.__version__}; built-in models {qelvo.builtin_models()['2d'][0]}, {qelvo.builtin_models()['3d'][0]}")
    files = dicom_files()
    start = time.perf_counter()
    archive, report = qelvo.pack_dicom(files)
    packed = time.perf_counter() - start
    start = time.perf_counter()
    restored = qelvo.unpack_dicom(archive)
    unpacked = time.perf_counter() - start
    identical = sum(1 for (n, a), (m, b) in zip(files, restored) if n == m and a == b)

    print(f"files {report['instances']}: coded {report['coded']} into {report['stacks']} stacks, "
          f"stored whole {report['instances'] - report['coded']}")
    print(f"input {report['input_bytes']:,} bytes -> archive {report['output_bytes']:,} bytes "
          f"(ratio {report['input_bytes'] / report['output_bytes']:.2f}; stacks {report['stack_bytes']:,}, "
          f"metadata {report['metadata_bytes']:,}, stored {report['stored_bytes']:,})")
    for reason, count in report["stored"].items():
        print(f"  stored {count:3} x {reason}")
    print(f"restored {identical} of {len(files)} files byte for byte; "
          f"pack {packed:.2f} s, unpack and verify {unpacked:.2f} s")
    if identical != len(files):
        raise SystemExit("a restored file differs")

    volume = (np.indices((8, 64, 64)).sum(axis=0) % 4096).astype(np.uint16)
    data = qelvo.encode(volume, bits=12)
    assert np.array_equal(qelvo.decode(data)[:, :, :], volume)
    print(f"a 8x64x64 12-bit volume: {len(data)} bytes, {qelvo.info(data)['bits_per_sample']:.3f} bits/sample")


if __name__ == "__main__":
    main()
