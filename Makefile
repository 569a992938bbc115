# make deps | build | test | demo | bench (./run brings in make itself where it is missing)
PYTHON ?= /usr/bin/python3
BUILD ?= build
JOBS ?= $(shell nproc)
export PYTHONPATH := $(CURDIR)$(if $(PYTHONPATH),:$(PYTHONPATH))

DEBIAN_PACKAGES = g++ cmake make python3-dev pybind11-dev python3-pandas python3-numpy \
                  python3-scipy python3-sklearn python3-statsmodels python3-matplotlib \
                  python3-pytest

.PHONY: deps build test demo bench clean

deps:
	@missing=$$(for p in $(DEBIAN_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update && \
	    $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: build
	$(PYTHON) -m pytest -q tests

demo: build
	$(PYTHON) examples/demo.py

bench: build
	$(PYTHON) bench/run.py

clean:
	rm -rf $(BUILD) algo/Talvo/*.so algo/Quenda/*.so
