# Two entry points: `make demo` installs, builds and plays; `make check`
# installs, builds and runs every test (plain, ASan+UBSan, TSan, fuzzing,
# the board's build, the Debian packages).
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja
FUZZ_SECONDS ?= 30
# CI builds treat warnings as errors.
WERROR ?= $(if $(CI),ON,OFF)

.PHONY: all deps format build test asan tsan fuzz armhf deb deb-check check demo clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B build $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLAYERS_WERROR=$(WERROR)
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

asan: deps
	cmake -S . -B build-asan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLAYERS_WERROR=$(WERROR) -DPLAYERS_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

tsan: deps
	cmake -S . -B build-tsan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLAYERS_WERROR=$(WERROR) -DPLAYERS_SANITIZE=thread -DPLAYERS_TSAN_ONLY=ON
	cmake --build build-tsan -j $(JOBS) --target threaded_tests
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L threaded

fuzz: deps
	CMAKE_FLAGS="$(CMAKE_FLAGS)" JOBS=$(JOBS) tools/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# The target board's build: unit tests under qemu-arm (the process tests
# need the players to run natively: the cross build leaves them out).
armhf: deps
	cmake -S . -B build-armhf $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLAYERS_WERROR=$(WERROR) -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
	cmake --build build-armhf -j $(JOBS)
	ctest --test-dir build-armhf --output-on-failure -j $(JOBS) -LE process

# Debian packages (brisa, lumen, korvo, korvod) for this machine and for the board,
# built from a copy of the sources in build-deb/ and checked by lintian.
deb: deps
	JOBS=$(JOBS) tools/make-debs.sh build-deb armhf

# The packages installed into a throw-away root and run there; the board's
# checked by their contents.
deb-check: deb
	tools/check-debs.sh build-deb armhf

# Every C++ source follows .clang-format.
format: deps
	tools/check-format.sh

check: format test asan tsan fuzz armhf deb-check

demo: build
	@tools/demo.sh build

clean:
	rm -rf build build-asan build-tsan build-fuzz build-armhf build-deb
