# Set-up, build, tests and demo.  `make demo` and `make test` do everything
# from a fresh clone (the interpreters are provided by `make setup`).

PY314 := $(CURDIR)/.toolchain/bin/python3.14
PY312 := $(CURDIR)/.toolchain/bin/python3.12
BUILD := $(CURDIR)/build
PYTEST_FLAGS ?= -q -p no:cacheprovider

CMAKE_FLAGS := -DPYTHON314=$(PY314) -DPYTHON312=$(PY312)
ifeq ($(CI),true)
CMAKE_FLAGS += -DWERROR=ON
endif

# make test SANITIZE=1: build with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/ and run the suites with their runtimes preloaded into the
# (uninstrumented) interpreters.
ifeq ($(SANITIZE),1)
BUILD := $(CURDIR)/build-asan
CMAKE_FLAGS += -DSANITIZE=ON
RUN_ENV := TOVANA_BUILD=$(BUILD) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)"
endif

.PHONY: all setup build test demo chat bench soak clean

all: build

setup:
	@bash tools/setup-toolchain.sh

build: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j2

test: build
	$(RUN_ENV) $(PY314) -m pytest $(PYTEST_FLAGS) tests/runtime tests/jobwarden
	$(RUN_ENV) $(PY312) -m pytest $(PYTEST_FLAGS) tests/runtime tests/chatferry

demo: build
	$(PY314) examples/jobwarden_demo.py
	$(PY312) examples/chatferry_demo.py

chat: build
	$(PY312) examples/chatferry_demo.py --interactive

bench: build
	$(PY314) bench/run.py $(PY314) $(PY312)

soak: build
	$(PY314) bench/soak_jobwarden.py
	$(PY312) bench/soak_chatferry.py

clean:
	rm -rf $(CURDIR)/build $(CURDIR)/build-asan
