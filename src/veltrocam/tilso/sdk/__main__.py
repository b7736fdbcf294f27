"""``python -m veltrocam.tilso.sdk``: the ``veltrocam-license`` command line."""

from veltrocam.tilso.sdk.cli import main

if __name__ == "__main__":
    main()
