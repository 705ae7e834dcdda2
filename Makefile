# Every target provisions what it needs: the development root (tools/devroot,
# outside the checkout) and the build. Run as root on Debian.
DEVROOT := tools/devroot
BUILD := build
PYTEST_ARGS ?=

CONFIGURE := cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3
RUN := $(DEVROOT) run

.PHONY: all build test demo install-check bench provision clean

all: build

provision:
	$(DEVROOT) ensure

build: provision
	$(RUN) '$(CONFIGURE) >/dev/null && cmake --build $(BUILD)'

test: build
	$(RUN) 'PYTHONPATH=$(BUILD) python3 -m pytest -q $(PYTEST_ARGS)'

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
