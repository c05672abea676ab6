"""Runs every benchmark module of this folder (bench_*.py) in name order, or those named on the command line."""
import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def main(argv):
    names = argv or sorted(p.stem for p in HERE.glob("bench_*.py"))
    for name in names:
        module = importlib.import_module(name)
        print(f"== {name}")
        module.main()


if __name__ == "__main__":
    main(sys.argv[1:])
