# Every target provisions what it needs: the development root (tools/devroot,
# outside the checkout) and the build. Run as root on Debian.
DEVROOT := tools/devroot
BUILD := build
PYTEST_ARGS ?=

CONFIGURE := cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3
RUN := $(DEVROOT) run

.PHONY: all build test demo bench provision clean

all: build

provision:
	$(DEVROOT) ensure

build: provision
	$(RUN) '$(CONFIGURE) >/dev/null && cmake --build $(BUILD)'

test: build
	$(RUN) 'PYTHONPATH=$(BUILD) python3 -m pytest -q $(PYTEST_ARGS)'

demo: build
	$(RUN) 'PYTHONPATH=$(BUILD) python3 examples/demo.py'

bench: build
	$(DEVROOT) ensure extras
	$(RUN) 'PYTHONPATH=$(BUILD) python3 bench/run.py'

clean:
	rm -rf $(BUILD)
