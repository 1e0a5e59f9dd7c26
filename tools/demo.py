"""What `make demo` shows: Qelvo's surface on this machine."""

import inspect

import qelvo


def main():
    print(f"qelvo {qelvo.__version__}")
    for name in ("encode", "decode", "info", "pack_dicom", "unpack_dicom", "builtin_models"):
        print(f"  {name}{inspect.signature(getattr(qelvo, name))}")


if __name__ == "__main__":
    main()
