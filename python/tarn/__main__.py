"""`python -m tarn`: the command line (see `python -m tarn --help`)."""

from ._cli import main

if __name__ == "__main__":
    raise SystemExit(main())
