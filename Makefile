# The two set-up commands of the README: `make demo` (the main job on a built-in example) and `make test`.
.PHONY: demo test bench setup wheel

setup:
	scripts/setup.sh

demo: setup
	.venv/bin/python examples/demo.py

test:
	scripts/test.sh

bench: setup
	.venv/bin/python -m pip install -q ".[bench]" --no-build-isolation
	.venv/bin/python bench/bench.py

# A manylinux wheel in dist/ that carries its native libraries.
wheel: setup
	scripts/wheel.sh
