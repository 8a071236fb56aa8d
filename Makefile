# Set-up, build, tests and demo.  `make demo` and `make test` do everything
# from a fresh clone (the interpreters are provided by `make setup`).
# Each step prints one progress line; a failing compiler's messages still show.

TC := $(CURDIR)/.toolchain
# The interpreters set-up provides as $(TC)/bin/python<version>.
VERSIONS := 3.14 3.13 3.12
PY314 := $(TC)/bin/python3.14
PY312 := $(TC)/bin/python3.12
# scikit-build-core, build and pip, brought by set-up for every interpreter.
WHEEL_TOOLS := $(TC)/sysroot/usr/lib/python3/dist-packages
BUILD := $(CURDIR)/build
DIST := $(CURDIR)/dist
PYTEST_FLAGS ?= -q -p no:cacheprovider

CMAKE_FLAGS := $(foreach v,$(VERSIONS),-DPYTHON$(subst .,,$(v))=$(TC)/bin/python$(v))
WHEEL_FLAGS :=
ifeq ($(CI),true)
CMAKE_FLAGS += -DWERROR=ON
WHEEL_FLAGS += -Ccmake.define.WERROR=ON
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

# suite VERSION DIRS: one pytest run of the given test folders on one interpreter.
define suite
	@echo "test: python$(1): $(2)"
	@$(RUN_ENV) $(TC)/bin/python$(1) -m pytest $(PYTEST_FLAGS) $(addprefix tests/,$(2))
endef

.PHONY: all setup build test test-all test-rest wheel test-wheel demo chat bench soak clean

all: build

setup:
	@bash tools/setup-toolchain.sh

build: setup
	@bash tools/build.sh $(BUILD) $(CMAKE_FLAGS)

# The primary pairing: jobwarden on 3.14, chatferry on 3.12.
test: build
	$(call suite,3.14,runtime jobwarden)
	$(call suite,3.12,runtime chatferry)

# Both modules on each of CPython 3.14, 3.13 and 3.12, then the wheels
# (not with SANITIZE=1: the wheels are not instrumented).
test-all: test test-rest

# What test-all adds to make test.
test-rest: build
	$(call suite,3.14,chatferry)
	$(call suite,3.13,runtime jobwarden)
	$(call suite,3.13,chatferry)
	$(call suite,3.12,jobwarden)
ifneq ($(SANITIZE),1)
	@$(MAKE) --no-print-directory test-wheel
endif

# One wheel per interpreter into dist/ (CMake builds in build/wheel/<tag>/).
wheel: setup
	@mkdir -p $(DIST) $(BUILD)
	@rm -f $(DIST)/tovana_native-*.whl
	@for v in $(VERSIONS); do \
	    printf 'wheel: python%s ...' $$v; \
	    env PYTHONPATH=$(WHEEL_TOOLS) CMAKE_BUILD_PARALLEL_LEVEL=2 $(TC)/bin/python$$v -m build --wheel --no-isolation \
	        --skip-dependency-check --outdir $(DIST) $(WHEEL_FLAGS) . >$(BUILD)/wheel-$$v.log 2>&1 || \
	        { echo " failed:"; grep -vE '^\[ *[0-9]+/[0-9]+\] ' $(BUILD)/wheel-$$v.log >&2; \
	          echo "wheel: python$$v failed (full log in build/wheel-$$v.log)" >&2; exit 1; }; \
	    echo " dist/$$(sed -n 's/^Successfully built //p' $(BUILD)/wheel-$$v.log)"; \
	done

# Each wheel installed into a fresh venv, used from outside the source tree.
test-wheel: wheel
	@for v in $(VERSIONS); do \
	    echo "test: python$$v: the wheel in a fresh venv"; \
	    TOVANA_WHEEL_DIR=$(DIST) TOVANA_WHEEL_TOOLS=$(WHEEL_TOOLS) $(TC)/bin/python$$v -m pytest $(PYTEST_FLAGS) tests/wheel || exit 1; \
	done

demo: build
	@echo "demo: jobwarden on python3.14"
	@$(PY314) examples/jobwarden_demo.py
	@echo "demo: chatferry on python3.12"
	@$(PY312) examples/chatferry_demo.py

chat: build
	@$(PY312) examples/chatferry_demo.py --interactive

bench: build
	$(PY314) bench/run.py $(PY314) $(PY312)

soak: build
	$(PY314) bench/soak_jobwarden.py
	$(PY312) bench/soak_chatferry.py

clean:
	rm -rf $(CURDIR)/build $(CURDIR)/build-asan $(CURDIR)/dist
