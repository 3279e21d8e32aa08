"""The command line: `zemvara run INPUT... --out DIR ...` (also `python -m zemvara run`).

Exit status: 0 when every file was written or skipped, 1 when any failed, 2
for a usage error, which prints a message (no traceback) and writes nothing.
"""

import json
import os

import click

from .steps import UsageError

STEPS_HELP = "comma-separated, applied in order: resize:WxH, upscale:ENGINE, convert:uint8|uint16|float16|float32"


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
@click.option("--steps", default="", metavar="STEPS", help=STEPS_HELP)
@click.option("--ext", default=None, metavar="EXT", help="New extension of the outputs (.tif or tif).")
@click.option("--workers", type=click.IntRange(min=1), default=None, metavar="N",
              help="Run on a local Dask cluster of N worker processes (one per GPU).")
@click.option("--scheduler", default=None, metavar="ADDRESS", help="Run on the Dask cluster at this address.")
@click.option("--resume", is_flag=True, help="Skip outputs that already exist and read back as images.")
@click.option("--dry-run", is_flag=True, help="List what would be written; write nothing.")
@click.option("--report", "report_path", default=None, metavar="PATH", help="Write the report as JSON here.")
@click.option("--no-progress", is_flag=True, help="No progress bar.")
def run_command(inputs, out, steps, ext, workers, scheduler, resume, dry_run, report_path, no_progress):
    """Read every image of INPUT (files, or folders walked recursively), apply STEPS, write each under DIR.

    An output is DIR plus the input's path relative to the folder it was
    found in (a file named directly: its name), its extension replaced by
    EXT. A file that fails is reported and the run goes on.
    """
    from . import execution, paths
    from .steps import parse_steps

    if workers is not None and scheduler is not None:
        raise click.UsageError("--workers and --scheduler exclude each other")
    pipeline = execution.Pipeline.of(_usage(parse_steps, steps, param_hint="'--steps'"))
    _usage(paths.normalise_ext, ext, param_hint="'--ext'")
    if dry_run:
        for job in _usage(paths.plan, inputs, out, ext):
            if job.error is not None:
                click.echo(f"{job.source}: {job.error}")
            elif resume and paths.reads_back(job.output):
                click.echo(f"{job.source} -> {job.output} (exists, skipped)")
            else:
                click.echo(f"{job.source} -> {job.output}")
        return
    if workers is not None or scheduler is not None:
        try:
            import distributed  # noqa: F401
        except ImportError:
            raise click.UsageError("--workers and --scheduler need Dask: pip install 'zemvara[dask]'") from None
    try:
        report = _usage(execution.run, inputs, out, pipeline, ext, workers, scheduler, resume, not no_progress)
    except ConnectionError as exc:
        raise click.ClickException(str(exc)) from None  # exit status 1: no file could be run
    click.echo(summary(report))
    if report_path is not None:
        try:
            folder = os.path.dirname(report_path)
            if folder:
                os.makedirs(folder, exist_ok=True)
            with open(report_path, "w", encoding="utf-8") as f:
                json.dump(report, f, indent=2)
                f.write("\n")
        except OSError as exc:
            raise click.ClickException(f"cannot write the report: {exc}") from None
    click.get_current_context().exit(1 if report["failed"] else 0)


def summary(report):
    """The lines printed at the end of a run: the counts, then each failed input with its error."""
    lines = [f"written {len(report['written'])}, skipped {len(report['skipped'])}, failed {len(report['failed'])}"]
    lines += [f"  failed: {entry['input']}: {entry['error']}" for entry in report["failed"]]
    return "\n".join(lines)


if __name__ == "__main__":
    main()
