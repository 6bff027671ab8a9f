# Two entry points for a fresh Debian 12 machine: `make demo` and `make test`.
# Both install what is missing first (scripts/install-deps.sh).
# BUILD lets several working copies or people share one machine.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_GEN := -G Ninja
# ccache shares compiled objects between rebuilds and between working copies
# (paths are taken relative to the working copy).
CMAKE_GEN += $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR := $(CURDIR)

.PHONY: all deps build host win64 win32 test test-host test-win64 demo fuzz bench clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/host/build.ninja:
	cmake -S . -B $(BUILD)/host $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
$(BUILD)/win64/build.ninja:
	cmake -S . -B $(BUILD)/win64 $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=MinSizeRel \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-win64.cmake -DTESSEL_PACK=$(CURDIR)/$(BUILD)/host/tessel-pack
# The product is linked with link-time optimisation: across the layers and
# the program it drops about 4 KiB from the downloaded stub.
$(BUILD)/win32/build.ninja:
	cmake -S . -B $(BUILD)/win32 $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=MinSizeRel \
	  -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-win32.cmake -DTESSEL_PACK=$(CURDIR)/$(BUILD)/host/tessel-pack

host: deps $(BUILD)/host/build.ninja
	cmake --build $(BUILD)/host -j $(JOBS)
win64: deps host $(BUILD)/win64/build.ninja
	cmake --build $(BUILD)/win64 -j $(JOBS)
win32: deps host $(BUILD)/win32/build.ninja
	cmake --build $(BUILD)/win32 -j $(JOBS)

build: host win64 win32

test-host: host
	ctest --test-dir $(BUILD)/host --output-on-failure -j $(JOBS)
test-win64: win64
	scripts/test-win64.sh $(BUILD)/win64
test: build
	scripts/run-tests.sh $(BUILD)

demo: build
	scripts/demo.sh $(BUILD)

fuzz: host
	scripts/fuzz.sh $(BUILD) 600

bench: deps
	cmake -S . -B $(BUILD)/bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTESSEL_SANITIZE=OFF -DTESSEL_TESTS=OFF
	cmake --build $(BUILD)/bench -j $(JOBS)
	scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
