"""pack_dicom / unpack_dicom: byte-exact archives of real and constructed DICOM files."""

import struct
from pathlib import Path

import numpy as np
import pytest

import qelvo
from containers import crc32c
from dicom_fixtures import dicom_file

pydicom = pytest.importorskip("pydicom")

CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpus" / "dicom"


def real_files():
    paths = sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.name not in ("MANIFEST.tsv",)) if CORPUS.is_dir() else []
    bundled = Path(pydicom.__file__).parent / "data" / "test_files"
    paths += sorted(p for p in bundled.rglob("*") if p.is_file() and p.suffix not in (".py", ".txt", ".json", ".gz", ".bz2"))
    return [(str(p), p.read_bytes()) for p in paths]


def round_trip(files, **kwargs):
    archive, report = qelvo.pack_dicom(files, **kwargs)
    assert qelvo.unpack_dicom(archive, models=kwargs.get("models")) == [(n, bytes(b)) for n, b in files]
    assert report["instances"] == len(files)
    assert report["coded"] + sum(report["stored"].values()) == len(files)
    assert report["output_bytes"] == len(archive)
    assert report["input_bytes"] == sum(len(b) for _, b in files)
    return archive, report


def ramp(rows, columns, offset=0, dtype=np.uint16):
    return ((np.indices((rows, columns)).sum(axis=0) * 7 + offset) % 4000).astype(dtype)


def test_every_real_file_restores_together_and_alone():
    files = real_files()
    archive, report = round_trip(files)
    assert report["coded"] > 0
    for name, data in files:
        _, alone = round_trip([(name, data)])
        assert alone["coded"] + sum(alone["stored"].values()) == 1


def test_empty_list_gives_a_72_byte_archive():
    archive, report = qelvo.pack_dicom([])
    assert len(archive) == 72
    assert report == {
        "instances": 0,
        "coded": 0,
        "stacks": 0,
        "input_bytes": 0,
        "output_bytes": 72,
        "stack_bytes": 0,
        "metadata_bytes": 0,
        "stored_bytes": 0,
        "stored": {},
    }
    assert qelvo.unpack_dicom(archive) == []


def test_a_series_in_reverse_order_becomes_one_stack():
    files = [(f"s{z}.dcm", dicom_file(ramp(8, 9, z), instance=z, position=(0, 0, float(z)))) for z in (3, 2, 1, 0)]
    _, report = round_trip(files)
    assert (report["stacks"], report["coded"]) == (1, 4)


def test_grouping_into_stacks():
    cases = {
        "missing positions": [dicom_file(ramp(6, 6, z), instance=z, position=None) for z in (2, 1)],
        "multi-frame beside single-frame": [
            dicom_file(np.stack([ramp(6, 6, k) for k in range(3)])),
            dicom_file(ramp(6, 6, 9), position=(0, 0, 5)),
        ],
        "orientation beyond 0.001": [
            dicom_file(ramp(6, 6), orientation=(1, 0, 0, 0, 1, 0)),
            dicom_file(ramp(6, 6), orientation=(1, 0, 0, 0, 0.998, 0.0632), position=(0, 0, 1)),
        ],
        "different bits stored": [
            dicom_file(ramp(6, 6), bits_stored=12),
            dicom_file(ramp(6, 6), bits_stored=13, position=(0, 0, 1)),
        ],
    }
    expected_stacks = {
        "missing positions": 1,
        "multi-frame beside single-frame": 2,
        "orientation beyond 0.001": 2,
        "different bits stored": 2,
    }
    for name, datas in cases.items():
        _, report = round_trip([(f"{name}{i}", d) for i, d in enumerate(datas)])
        assert report["stacks"] == expected_stacks[name], name


def test_bits_outside_the_stored_range_come_back():
    values = (np.arange(-40, 41, dtype=np.int16)[:80]).reshape(8, 10) * 20
    sign_extended = values.astype(np.int16)
    zero_high = (values.astype(np.int32) & 0x0FFF).astype(np.uint16)
    irregular = zero_high.copy()
    irregular[3, 4] |= 0x8000
    irregular[5, 5] |= 0x2000
    files = [
        ("signed-extended", dicom_file(values, signed=True, bits_stored=12, words=sign_extended)),
        ("signed-zero-high", dicom_file(values, signed=True, bits_stored=12, words=zero_high, position=(0, 0, 1))),
        ("irregular", dicom_file(values, signed=True, bits_stored=12, words=irregular, position=(0, 0, 2))),
        ("shifted", dicom_file(ramp(5, 5) & 0x3FF, bits_stored=10, high_bit=11, words=(ramp(5, 5) & 0x3FF) << 2)),
    ]
    _, report = round_trip(files)
    assert report["coded"] == 4


def test_big_endian_pad_byte_and_equal_names():
    files = [
        ("same.dcm", dicom_file(ramp(7, 5), big_endian=True)),
        ("same.dcm", dicom_file(ramp(3, 5, dtype=np.uint8), position=(0, 0, 3))),  # 15 bytes: padded to 16
        ("same.dcm", dicom_file(ramp(4, 4), pad_byte=True, position=(0, 0, 9))),
    ]
    _, report = round_trip(files)
    assert report["coded"] == 3


def test_stored_reasons_are_counted_under_their_debug_form():
    not_dicom = [("a.txt", b"plain text that is not DICOM"), ("b.bin", bytes(range(256)))]
    no_pixels = pydicom.dcmread(io_bytes(dicom_file(ramp(4, 4))))
    del no_pixels.PixelData
    files = not_dicom + [("np1", to_bytes(no_pixels)), ("np2", to_bytes(no_pixels))]
    _, report = round_trip(files)
    keys = sorted(report["stored"])
    assert report["stored"]["NoPixelData"] == 2
    unparsable = [k for k in keys if k.startswith('Unparsable("')]
    assert sum(report["stored"][k] for k in unparsable) == 2 and all(k.endswith('")') for k in unparsable)


def io_bytes(data):
    import io

    return io.BytesIO(data)


def to_bytes(dataset):
    import io

    out = io.BytesIO()
    pydicom.dcmwrite(out, dataset, enforce_file_format=True)
    return out.getvalue()


def test_argument_rules():
    good = [("a", dicom_file(ramp(4, 4)))]
    with pytest.raises(TypeError, match="files"):
        qelvo.pack_dicom("abc")
    with pytest.raises(TypeError, match="files"):
        qelvo.pack_dicom(5)
    with pytest.raises(TypeError):
        qelvo.pack_dicom([("a", "text")])
    with pytest.raises(ValueError):
        qelvo.pack_dicom([("a", b"x", b"y")])
    with pytest.raises(TypeError, match="zstd_level"):
        qelvo.pack_dicom(good, zstd_level=None)
    with pytest.raises(OverflowError, match="zstd_level"):
        qelvo.pack_dicom(good, zstd_level=2**40)
    assert qelvo.unpack_dicom(qelvo.pack_dicom([("l", list(b"\x01\x02"))])[0]) == [("l", b"\x01\x02")]
    with pytest.raises(TypeError, match="data"):
        qelvo.unpack_dicom(bytearray(b"abc"))
    with pytest.raises(RuntimeError, match="^not a Qelvo DICOM archive$"):
        qelvo.unpack_dicom(b"abc")


def test_a_custom_model_pair_is_needed_to_unpack():
    models_dir = Path(__file__).resolve().parents[2] / "codec" / "models"
    def renamed(model, name):
        return model[:8] + bytes([len(name)]) + name + model[9 + model[8]:]
    user = qelvo.Models(
        renamed((models_dir / "qv1-2d-h48x48.qvm").read_bytes(), b"u2"),
        renamed((models_dir / "qv1-3d-h48x48.qvm").read_bytes(), b"u3"),
    )
    files = [("a", dicom_file(ramp(6, 6)))]
    archive, _ = qelvo.pack_dicom(files, models=user)
    assert qelvo.unpack_dicom(archive, models=user) == files
    with pytest.raises(RuntimeError, match=f"^model {user.ids[0]} is not available$"):
        qelvo.unpack_dicom(archive)


# Offsets of the archive header.
def header_fields(archive):
    return struct.unpack_from("<IHHIIQQQQQQII", archive, 0)


def reseal(archive):
    """Recomputes both checksums after a deliberate change."""
    a = bytearray(archive)
    _, _, _, _, stacks, inst_off, inst_len, *_ = header_fields(a)
    struct.pack_into("<I", a, 64, crc32c(bytes(a[inst_off : inst_off + inst_len])))
    struct.pack_into("<I", a, 68, crc32c(bytes(a[:68]) + bytes(a[72 : 72 + 16 * stacks])))
    return bytes(a)


def test_damaged_archives():
    files = [("one", dicom_file(ramp(6, 6))), ("two", b"not dicom at all")]
    archive, _ = qelvo.pack_dicom(files)
    _, _, _, _, stacks, inst_off, inst_len, *_ = header_fields(archive)
    coded_entry = inst_off  # the first entry is the coded one
    name_len = struct.unpack_from("<H", archive, coded_entry + 40)[0]
    kind_at = coded_entry + 42 + name_len  # the coded fields follow at these offsets

    def patch(offset, fmt, value, seal=True):
        a = bytearray(archive)
        struct.pack_into(fmt, a, offset, value)
        return reseal(bytes(a)) if seal else bytes(a)

    cases = [
        (archive[:71], "not a Qelvo DICOM archive"),
        (b"\x00" * 72, "not a Qelvo DICOM archive"),
        (patch(4, "<H", 2, seal=False), "unsupported archive: archive version 2"),
        (patch(6, "<H", 1, seal=False), "unsupported archive: archive flags"),
        (patch(12, "<I", 1000), "corrupt archive: truncated"),
        (patch(72, "<B", archive[72] ^ 1, seal=False), "corrupt archive: header checksum mismatch"),
        (patch(inst_off + 3, "<B", archive[inst_off + 3] ^ 1, seal=False), "corrupt archive: instance table checksum mismatch"),
        (patch(24, "<Q", len(archive)), "corrupt archive: section outside the archive"),
        (patch(24, "<Q", 2**64 - inst_off + 5), "corrupt archive: section bounds"),
        (patch(kind_at, "<B", 2), "corrupt archive: instance kind"),
        (patch(kind_at + 21, "<B", 12), "corrupt archive: pixel layout of an instance"),
        (patch(kind_at + 26, "<B", 3), "corrupt archive: bit convention of an instance"),
        (patch(kind_at + 1, "<I", stacks), "corrupt archive: instance refers to a missing stack"),
        (patch(kind_at + 13, "<I", 7), "corrupt archive: instance geometry does not match its stack"),
        (patch(kind_at + 5, "<I", 1), "corrupt archive: instance slices outside its stack"),
        (patch(kind_at + 27, "<Q", 1), "corrupt archive: section outside the archive"),
        (patch(coded_entry, "<Q", len(files[0][1]) + 1), "instance 0 does not match its SHA-256"),
        (patch(coded_entry + 8, "<B", archive[coded_entry + 8] ^ 1), "instance 0 does not match its SHA-256"),
    ]
    for damaged, message in cases:
        with pytest.raises(RuntimeError) as raised:
            qelvo.unpack_dicom(damaged)
        assert str(raised.value) == message


def test_long_names_are_cut_and_many_tiny_files_restore():
    data = dicom_file(ramp(4, 4))
    archive, _ = qelvo.pack_dicom([("n" * 70_000, data)])
    assert qelvo.unpack_dicom(archive) == [("n" * 65_535, data)]
    tiny = [(f"f{i}", bytes([i % 251]) * (i % 7)) for i in range(10_000)]
    archive, report = qelvo.pack_dicom(tiny, zstd_level=1)
    # Fewer than 8 bytes cannot hold an element; no bytes at all is an empty data set.
    assert report["stored"] == {
        'Unparsable("unexpected end of data at offset 0")': sum(1 for _, b in tiny if b),
        "NoPixelData": sum(1 for _, b in tiny if not b),
    }
    assert qelvo.unpack_dicom(archive) == tiny
