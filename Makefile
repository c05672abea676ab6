# The two set-up commands of the README: `make demo` (the main job on a built-in example) and `make test`.
.PHONY: demo test bench setup wheel fuzz

setup:
	scripts/setup.sh

demo: setup
	.venv/bin/python -m quillfen_tools demo demo-output

test:
	scripts/test.sh

bench: setup
	.venv/bin/python -m pip install -q ".[bench]" --no-build-isolation
	.venv/bin/python bench/bench.py

# A manylinux wheel in dist/ that carries its native libraries.
wheel: setup
	scripts/wheel.sh

# Long fuzz runs: every target for FUZZ_SECONDS each (the corpus grows in build/fuzz/corpus between runs).
FUZZ_SECONDS ?= 600
fuzz: setup
	nice -n 19 scripts/fuzz.sh $(FUZZ_SECONDS)
