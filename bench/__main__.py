"""Runs the benchmark: `python -m bench [--quick] [--only zelk,zlib] [--out DIR]`.

Writes results.md, results.json and chart.png into the results folder and
prints a short summary. scripts/bench.sh installs everything first and runs this.
"""
import argparse
import dataclasses
import datetime
import json
import os
import platform
import sys
import time

from . import call_cost, chart, matrix, memory, summary, targets, throughput
from .codecs import all_codecs, select
from .console import divert_native_stdout
from .inputs import SAMPLE_INPUT, load_inputs
from .report import Run, markdown
from .settings import FULL, QUICK

DEFAULT_OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small inputs and short timings (about a minute)")
    parser.add_argument("--only", metavar="CODECS", help="comma list of codecs or families, e.g. zelk,zlib")
    parser.add_argument("--out", default=DEFAULT_OUT, help="results folder (default: bench/results)")
    return parser.parse_args(argv)


def section(title: str) -> None:
    print(f"== {title}")


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    divert_native_stdout()
    settings = QUICK if args.quick else FULL
    started = time.perf_counter()
    load_before = os.getloadavg()[0]
    codecs, zelk_about = all_codecs()
    codecs = select(codecs, args.only)
    if not codecs:
        print(f"no codec matches --only {args.only}")
        return 2
    inputs, notes = load_inputs(settings)
    for note in notes:
        print(f"note: {note}")
    sample = next(i for i in inputs if i.name == SAMPLE_INPUT)

    section("ratio and throughput")
    throughput_rows = throughput.run(inputs, codecs, settings.throughput)
    section("cost per call")
    call_cost_rows = call_cost.run(sample, codecs, settings.call_cost_sizes, settings.call_cost)
    section("peak memory (a fresh process per call)")
    memory_rows = memory.run(sample, codecs, settings.memory_sizes)
    matrix_rows = []
    if any(c.name == "zelk" for c in codecs):
        section("compress_matrix_v1")
        matrix_rows = matrix.run(settings.matrix_shapes, settings.matrix)

    about = {
        "zelk": zelk_about,
        "run": "quick" if args.quick else "full",
        "started": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "took": f"{time.perf_counter() - started:.0f} s",
        "load average": f"{load_before:.1f} at start, {os.getloadavg()[0]:.1f} at end, {os.cpu_count()} CPUs",
        "python": f"{platform.python_version()} on {platform.platform()}",
    }
    run = Run(about, inputs, notes, sample.name, throughput_rows, call_cost_rows, memory_rows, matrix_rows,
              targets.judge(throughput_rows, call_cost_rows, memory_rows))
    write_results(run, args.out)
    print()
    print("\n".join(summary.lines(run)))
    print(f"\nwritten: {', '.join(os.path.join(args.out, n) for n in ('results.md', 'results.json', 'chart.png'))}")
    return 0


def write_results(run: Run, out: str) -> None:
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(markdown(run))
    record = {field.name: getattr(run, field.name) for field in dataclasses.fields(run)}
    record["inputs"] = [{"name": i.name, "source": i.source, "size": len(i.data)} for i in run.inputs]
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump(record, f, indent=1, default=dataclasses.asdict)
    chart.draw(run.throughput, os.path.join(out, "chart.png"),
               f"zelk and its peers: {run.about['run']} run, {run.about['started']}")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
