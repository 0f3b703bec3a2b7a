# Thin driver over the CMake presets. `make run` and `make test` install what is
# missing (Debian packages listed in scripts/packages.txt), configure, build,
# then run or test.
.PHONY: all build run test format clean

all: build

build:
	scripts/install-deps.sh
	cmake --preset default
	cmake --build --preset default -j $$(nproc)

run: build
	scripts/run.sh

test:
	scripts/test.sh

format:
	git ls-files '*.cpp' '*.h' | xargs -r clang-format -i

clean:
	rm -rf build
