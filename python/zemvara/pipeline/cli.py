"""The command line: `zemvara run INPUT... --out DIR ...` (also `python -m zemvara run`).

Exit status: 0 when every file was written or skipped, 1 when any failed, 2
for a usage error, which prints a message (no traceback) and writes nothing.
"""

import click

from .steps import STEPS, UsageError

# Exit status of a run stopped by Ctrl-C, as a shell reports a command killed by SIGINT.
INTERRUPTED = 130


def _steps_help():
    rows = ", ".join(f"{form.name}:{form.syntax} ({form.help})" for form in STEPS)
    return f"Comma-separated steps, applied in order: {rows}."


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
def main():
    """GPU image processing over folders of images."""


def _usage(fn, *args, param_hint=None):
    """fn(*args), a UsageError turned into click's (exit status 2, no traceback)."""
    try:
        return fn(*args)
    except UsageError as exc:
        if param_hint is not None:
            raise click.BadParameter(str(exc), param_hint=param_hint) from None
        raise click.UsageError(str(exc)) from None


@main.command("run")
@click.argument("inputs", metavar="INPUT...", nargs=-1, required=True)
@click.option("--out", "out", required=True, metavar="DIR", help="Folder the outputs are written to.")
@click.option("--steps", default="", metavar="STEPS", help=_steps_help())
@click.option("--ext", default=None, metavar="EXT", help="New extension of the outputs (.tif or tif).")
@click.option("--keep-orientation", is_flag=True,
              help="Keep each image as stored; by default it is turned upright by its EXIF orientation.")
@click.option("--quality", type=int, default=None, metavar="1..100",
              help="JPEG and WebP quality (JPEG 95 by default, WebP lossless).")
@click.option("--compression", type=int, default=None, metavar="0..9",
              help="PNG zlib level (3 by default); TIFF: 0 uncompressed, 1..9 deflate (LZW by default).")
@click.option("--keep-profile", is_flag=True,
              help="Write each input's ICC profile into its output (8-bit JPEG, PNG, WebP, TIFF) instead of "
                   "converting the pixels to sRGB.")
@click.option("--no-shrink-on-load", is_flag=True,
              help="Decode every JPEG whole; by default one that the first step resizes to half or less is decoded "
                   "at 1/2, 1/4 or 1/8 scale.")
@click.option("--workers", type=click.IntRange(min=1), default=None, metavar="N",
              help="Run on a local Dask cluster of N worker processes (one per GPU).")
@click.option("--scheduler", default=None, metavar="ADDRESS", help="Run on the Dask cluster at this address.")
@click.option("--batch", type=click.IntRange(min=1), default=None, metavar="N",
              help="Process N files at a time, each resize, fit or warp step as one launch per pass for all.")
@click.option("--resume", is_flag=True, help="Skip outputs that already exist and read back as images.")
@click.option("--dry-run", is_flag=True, help="List what would be written; write nothing.")
@click.option("--report", "report_path", default=None, metavar="PATH", help="Write the report as JSON here.")
@click.option("--no-progress", is_flag=True, help="No progress bar.")
@click.option("--linear", is_flag=True,
              help="Resize, fit and warp in linear light (values taken as sRGB-encoded), not on the encoded values.")
@click.option("--memory-budget", default=None, metavar="SIZE",
              help="Device memory for one image (256MiB, 2G): larger TIFF inputs are resized and warped tile by "
                   "tile, results that do not fit written as tiled TIFF.")
def run_command(inputs, out, steps, ext, keep_orientation, quality, compression, keep_profile, no_shrink_on_load, workers, scheduler, batch, resume, dry_run, report_path,
                no_progress, linear, memory_budget):
    """Read every image of INPUT (files, or folders walked recursively), apply STEPS, write each under DIR.

    An output is DIR plus the input's path relative to the folder it was
    found in (a file named directly: its name), its extension replaced by
    EXT. Each image keeps its element type (8-bit stays 8-bit) unless a
    convert step changes it or the output format cannot store it (JPEG, WebP,
    BMP: 8-bit). A file that fails is reported and the run goes on. Ctrl-C
    stops the run (exit status 130); --resume then finishes it.
    """
    from . import large, paths
    from .steps import Load, Store, parse_steps

    if workers is not None and scheduler is not None:
        raise click.UsageError("--workers and --scheduler exclude each other")
    items = _usage(parse_steps, steps, param_hint="'--steps'")
    store = _usage(Store, -1, False, quality, compression, keep_profile)
    budget = None if memory_budget is None else _usage(large.parse_size, memory_budget, param_hint="'--memory-budget'")
    _usage(paths.normalise_ext, ext, param_hint="'--ext'")
    if dry_run:
        for job in _usage(paths.plan, inputs, out, ext, resume):
            if job.error is not None:
                click.echo(shown(f"{job.source}: {job.error}"))
            elif resume and paths.reads_back(job.output):
                click.echo(shown(f"{job.source} -> {job.output} (exists, skipped)"))
            else:
                click.echo(shown(f"{job.source} -> {job.output}"))
        return
    if workers is not None or scheduler is not None:
        try:
            import distributed  # noqa: F401
        except ImportError:
            raise click.UsageError("--workers and --scheduler need Dask: pip install 'zemvara[dask]'") from None
    from . import execution

    pipeline = execution.Pipeline.of([Load(exif=not keep_orientation, shrink=not no_shrink_on_load), *items, store])
    try:
        report = _usage(execution.run, inputs, out, pipeline, ext, workers, scheduler, resume, not no_progress,
                        None, report_path, budget, batch, linear)
    except execution.Interrupted as stop:
        click.echo(summary(stop.report))
        click.echo(f"interrupted: {len(stop.report['pending'])} files not done; run the same command with "
                   "--resume to finish", err=True)
        click.get_current_context().exit(INTERRUPTED)
    except KeyboardInterrupt:  # before the first file: while planning or starting a cluster
        click.echo("interrupted before any file was run", err=True)
        click.get_current_context().exit(INTERRUPTED)
    except ConnectionError as exc:
        raise click.ClickException(str(exc)) from None  # exit status 1: no file could be run
    except execution.ReportError as exc:
        raise click.ClickException(str(exc)) from None
    click.echo(summary(report))
    click.get_current_context().exit(1 if report["failed"] else 0)


def shown(text):
    """Text that any terminal prints: a file name's bytes that are not UTF-8 as \\xNN escapes."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def summary(report):
    """The lines printed at the end of a run: the counts, then each failed input with its error."""
    lines = [f"written {len(report['written'])}, skipped {len(report['skipped'])}, failed {len(report['failed'])}"]
    lines += [shown(f"  failed: {entry['input']}: {entry['error']}") for entry in report["failed"]]
    return "\n".join(lines)


if __name__ == "__main__":
    main()
