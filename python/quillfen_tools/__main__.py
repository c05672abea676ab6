"""python -m quillfen_tools: the `quillfen` command."""
from .cli import console_main

if __name__ == "__main__":
    console_main()
