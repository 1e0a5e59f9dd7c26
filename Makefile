# `make demo` and `make test` do all the set-up on a fresh Debian 12 machine (root, Python 3 with pip).
PYTHON ?= python3
APT_PACKAGES := libzstd-dev libssl-dev libgtest-dev pkg-config
PIP_PACKAGES := scikit-build-core cmake ninja "numpy>=2" pytest pydicom
CPP_BUILD := build/cpp

.PHONY: deps install test test-cpp test-python test-sanitize demo bench fuzz

deps:
	@if ! dpkg -s $(APT_PACKAGES) >/dev/null 2>&1; then \
		apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $(APT_PACKAGES); fi
	@$(PYTHON) -m pip install --quiet --disable-pip-version-check $(PIP_PACKAGES)

install: deps
	$(PYTHON) -m pip install --quiet --disable-pip-version-check --no-build-isolation .

test-cpp: deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DQELVO_BUILD_TESTS=ON
	cmake --build $(CPP_BUILD) -j2
	cd $(CPP_BUILD) && ctest --output-on-failure -j2

test-python: install
	$(PYTHON) -m pytest -q tests/python

test: test-cpp test-python

# The C++ tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B build/sanitize -G Ninja -DQELVO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
	cmake --build build/sanitize -j2
	cd build/sanitize && ctest --output-on-failure -j2

demo: install
	$(PYTHON) tools/demo.py

# Every fuzz target for FUZZ_SECONDS each, under AddressSanitizer and UndefinedBehaviorSanitizer;
# the corpus grows in build/fuzz/corpus and findings land in build/fuzz/findings.
FUZZ_SECONDS ?= 60
fuzz: install
	@if ! dpkg -s clang-19 libclang-rt-19-dev >/dev/null 2>&1; then \
		apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y clang-19 libclang-rt-19-dev; fi
	CC=clang-19 CXX=clang++-19 cmake -S . -B build/fuzz -G Ninja -DQELVO_BUILD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer -DFUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION"
	cmake --build build/fuzz -j2
	$(PYTHON) fuzz/make_seeds.py build/fuzz/seeds
	fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

bench: deps
	cmake -S . -B build/bench -G Ninja -DQELVO_BUILD_BENCH=ON
	cmake --build build/bench -j2

# Trains the two built-in models from the training corpus and the DICOM test files of the
# pydicom-data wheel, writes codec/models/*.qvm and proves them with the real codec (see
# tools/train/README.md). Deterministic: the same files on every run.
.PHONY: models
models: install
	$(PYTHON) -m pip install --quiet --disable-pip-version-check torch==2.13.0 pydicom-data==1.0.0
	cmake -S . -B build/train -G Ninja -DQELVO_BUILD_TOOLS=ON
	cmake --build build/train -j2 --target qelvo_trace
	cd tools/train && $(PYTHON) train.py --tool ../../build/train/tools/train/qelvo_trace --out ../../codec/models
	$(PYTHON) tools/train/evaluate.py
