# Thin driver over the CMake presets. `make run` and `make test` install what is
# missing (Debian packages listed in scripts/packages.txt), configure, build,
# then run or test. `make install` builds, then installs the programs, their
# desktop entry, icons, metainfo and manual pages under PREFIX (DESTDIR is
# honoured for staging).
.PHONY: all build run test install format clean

PREFIX ?= /usr/local

all: build

build:
	scripts/install-deps.sh
	cmake --preset default
	cmake --build --preset default -j $$(nproc)

run: build
	scripts/run.sh

test:
	scripts/test.sh

install: build
	cmake --install build/default --prefix "$(PREFIX)"

format:
	git ls-files '*.cpp' '*.h' | xargs -r clang-format -i

clean:
	rm -rf build
