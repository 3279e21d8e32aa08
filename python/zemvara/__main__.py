"""`python -m zemvara run ...`: the same command line as the `zemvara` script."""

from zemvara.pipeline.cli import main

if __name__ == "__main__":
    main(prog_name="zemvara")
