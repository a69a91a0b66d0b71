# The two README commands are `make run` and `make test`; plain `make` builds
# everything into build/bin without running tests.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS      ?= 60
FUZZ_TEST_SECONDS ?= 10
JOBS       ?= $(shell nproc)
CMAKE_TYPE ?= RelWithDebInfo

PREFIX     ?= /usr/local

.PHONY: all deps configure run test test-format format test-plain test-soak test-asan test-tsan test-fuzz fuzz bench install package clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps.sh

configure:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(CMAKE_TYPE) >/dev/null

# Installs what is missing, builds what the demo runs (not the tests), and
# starts the server in a demo folder.
DEMO_TARGETS ?= qmxd qmx qmx-vport

run: deps configure
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	scripts/demo.sh $(BUILD)/bin

# Every test: the formatting check, the normal build and a one-minute soak of qmxd, then
# AddressSanitizer + UndefinedBehaviorSanitizer, then ThreadSanitizer, then a
# short run of every fuzz target.
test: deps test-format test-plain test-soak test-asan test-tsan test-fuzz

# The committed .clang-format on every source; `make format` applies it.
test-format:
	@scripts/check-format.sh

format:
	@scripts/check-format.sh --fix

test-plain: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# A minute of mixed load and faults against qmxd; fails on any lost byte,
# error, or descriptor or thread left behind. Run longer by hand:
#   build/bin/qmx-soak --seconds 3600
test-soak: all
	$(BUILD)/bin/qmx-soak --seconds 60 --report-every 0

test-asan:
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DQMX_SANITIZE=ON -DQMX_BUILD_UI=ON >/dev/null
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-tsan:
	cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=Debug -DQMX_TSAN=ON -DQMX_BUILD_UI=OFF >/dev/null
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS)

# Measures qmxd against socat (installed when missing) and prints the table.
# Options go in BENCH_ARGS, e.g. make bench BENCH_ARGS="--quick --json bench.json".
bench:
	@scripts/install-deps.sh socat
	@$(MAKE) --no-print-directory configure
	cmake --build $(BUILD) -j $(JOBS) --target qmxd qmx-bench
	$(BUILD)/bin/qmx-bench $(BENCH_ARGS)

# Copies the executables, manuals, unit and desktop entry under $(PREFIX)
# (DESTDIR works). The service user and /var/lib/qmx come from the package.
install: all
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian packages: build/qmxd_<version>_<arch>.deb (the server, no Qt) and
# build/qmx_<version>_<arch>.deb (the window application).
package: deps all
	cmake --build $(BUILD) --target package

test-fuzz:
	FUZZ_BUILD=$(BUILD_FUZZ) FUZZ_JOBS=$(JOBS) FUZZ_SECONDS=$(FUZZ_TEST_SECONDS) fuzz/run.sh

# Fuzzes every parser of outside input for FUZZ_SECONDS each.
fuzz: deps
	FUZZ_BUILD=$(BUILD_FUZZ) FUZZ_JOBS=$(JOBS) FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ)
