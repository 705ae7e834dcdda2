# Every target provisions what it needs: the development root (tools/devroot,
# outside the checkout) and the build. Run as root on Debian.
DEVROOT := tools/devroot
BUILD := build
PYTEST_ARGS ?=

CONFIGURE := cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3
RUN := $(DEVROOT) run

.PHONY: all build test test-asan test-tsan test-clang test-arm64 leak-check demo install-check bench provision clean

all: build

provision:
	$(DEVROOT) ensure

build: provision
	$(RUN) '$(CONFIGURE) >/dev/null && cmake --build $(BUILD)'

test: build
	$(RUN) 'PYTHONPATH=$(BUILD) python3 -m pytest -q $(PYTEST_ARGS)'

# The whole suite on a build with AddressSanitizer and UBSan; the runtimes are
# preloaded into the (uninstrumented) interpreter and any report aborts the run.
# Tests marked slow are skipped; the interpreter's own leaks at exit are ignored.
ASAN_BUILD := build-asan
ASAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:detect_odr_violation=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
test-asan: provision
	$(RUN) 'cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELOR_SANITIZE=ON \
		-DPython_EXECUTABLE=/usr/bin/python3 >/dev/null && cmake --build $(ASAN_BUILD) && \
		$(ASAN_ENV) PYTHONPATH=$(ASAN_BUILD) python3 -m pytest -q -p no:cacheprovider -m "not slow" $(PYTEST_ARGS)'

# ThreadSanitizer: the module built with -fsanitize=thread, the runtime
# preloaded into the (uninstrumented, GIL) interpreter, running the thread
# tests and the multi-thread stress program. Any report fails the run: the
# runtime exits with status 66 in the process (or child process) that saw it.
TSAN_BUILD := build-tsan
TSAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" \
	PYTHONMALLOC=malloc \
	TSAN_OPTIONS=halt_on_error=1:exitcode=66:allocator_may_return_null=1:second_deadlock_stack=1
TSAN_TESTS := tests/test_threads.py tests/test_thread_stress.py tests/test_lock_release.py
test-tsan: provision
	$(RUN) 'cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELOR_TSAN=ON \
		-DPython_EXECUTABLE=/usr/bin/python3 >/dev/null && cmake --build $(TSAN_BUILD) && \
		$(TSAN_ENV) PYTHONPATH=$(TSAN_BUILD) python3 -m pytest -q -p no:cacheprovider $(TSAN_TESTS) $(PYTEST_ARGS)'

# The module built with Clang (Debian's clang, from the root's "clang" group),
# any warning an error, and the whole suite on that build.
CLANG_BUILD := build-clang
test-clang: provision
	$(DEVROOT) ensure clang
	$(RUN) 'cmake -S . -B $(CLANG_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
		-DPython_EXECUTABLE=/usr/bin/python3 >/dev/null && \
		cmake --build $(CLANG_BUILD) && \
		PYTHONPATH=$(CLANG_BUILD) python3 -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)'

# aarch64: the module cross-compiled in the development root (its "cross"
# group) against the arm64 root (tools/arm64root, mounted at /sysroot), then
# the whole suite run inside the arm64 root under qemu's user-mode emulation.
ARM64ROOT := tools/arm64root
ARM64_BUILD := build-arm64
test-arm64: provision
	$(DEVROOT) ensure cross
	$(ARM64ROOT) ensure
	PELOR_SYSROOT="$$($(ARM64ROOT) path)" $(RUN) 'cmake -S . -B $(ARM64_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		--toolchain cmake/aarch64-linux-gnu.cmake >/dev/null && \
		cmake --build $(ARM64_BUILD)'
	$(ARM64ROOT) run 'PYTHONPATH=$(ARM64_BUILD) python3 -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)'

# Reference and memory leaks: the module built for the debug interpreter
# (sys.gettotalrefcount, sys.getallocatedblocks), driven by tests/leak_check.py.
# Debian's debug include folder holds symbolic links into the release one; GCC
# would resolve them and read the release pyconfig.h (no Py_DEBUG, so no
# reference accounting in the module) unless told not to.
DEBUG_BUILD := build-dbg
leak-check: provision
	$(DEVROOT) ensure debug
	$(RUN) 'cmake -S . -B $(DEBUG_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_FLAGS=-fno-canonical-system-headers \
		-DPython_EXECUTABLE=/usr/bin/python3.14-dbg >/dev/null && cmake --build $(DEBUG_BUILD) && \
		PYTHONPATH=$(DEBUG_BUILD) python3.14-dbg tests/leak_check.py'

# The main job: train the digits network (seconds); the curves go
# to $(BUILD)/digits.png. DEMO_ARGS adds options, e.g. DEMO_ARGS=--check-torch.
DEMO_ARGS ?=
demo: build
	$(DEVROOT) ensure extras
	$(RUN) 'PYTHONPATH=$(BUILD) python3 examples/train_digits.py --plot $(BUILD)/digits.png $(DEMO_ARGS)'

# pip-install a copy of the source into a fresh venv and import it from elsewhere.
install-check: provision
	$(RUN) 'bash tests/install_check.sh'

bench: build
	$(DEVROOT) ensure extras
	$(RUN) 'PYTHONPATH=$(BUILD) python3 bench/run.py'

clean:
	rm -rf $(BUILD)
