# Entry points: make (build into build/), make deps, make check, make demo,
# make install. CMake does the work; this file only drives it.
BUILD      ?= build
ASAN_BUILD ?= build/asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX     ?= /usr/local

.PHONY: all deps configure check check-fast check-asan demo install bench clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	@cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null

deps:
	@sh scripts/install-deps.sh

# Every test, in the normal build and again with AddressSanitizer and UBSan.
check: deps
	$(MAKE) check-fast
	$(MAKE) check-asan

check-fast: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

check-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DDORVEX_SANITIZE=ON -DDORVEX_BENCH=OFF >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

demo: deps all
	@sh scripts/demo.sh $(BUILD)

bench: all
	@sh scripts/bench.sh $(BUILD)

install: all
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
