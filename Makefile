# The README's commands. Everything real happens in CMake and scripts/.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
# Seconds each fuzz target runs; hostile sessions of the larger seeded run.
FUZZ_SECONDS ?= 60
HOSTILE_SESSIONS ?= 400
JOBS       ?= $(shell nproc)
# Compiles go through ccache (setup-deps installs it): the four builds of a
# CI run and a fresh clone's builds reuse what was compiled before. Paths are
# hashed relative to the checkout, so another clone's objects count too.
LAUNCHER    = $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
CTEST_ARGS ?=

.PHONY: all deps configure build check check-asan check-tsan fuzz demo bench package install \
  clean format

all: build

deps:
	@scripts/setup-deps

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja $(LAUNCHER)

configure: $(BUILD)/build.ninja

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

check-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DZARVION_ASAN=ON -DZARVION_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
	  $(LAUNCHER)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

check-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DZARVION_TSAN=ON -DZARVION_BENCH=OFF $(LAUNCHER)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DZARVION_FUZZ=ON -DZARVION_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_session fuzz_texts fuzz_registry fuzz_avi_repair fuzz_notice \
	  test_hostile_session
	@scripts/fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS) $(HOSTILE_SESSIONS)

# The Debian package (build/zarvion-viewer_VERSION_amd64.deb), and the same
# files installed under $(DESTDIR)/usr.
package: build
	cd $(BUILD) && cpack -G DEB

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix /usr --strip

demo: build
	@scripts/demo $(BUILD)

bench: build
	@scripts/bench $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
