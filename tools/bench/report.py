"""The benchmarks' table and its shortfalls, shared by bench.py and packer_bench.py: each
row a dict with its figure, build, value and baseline (minimum, median), ratio, target,
whether it met it, its unit and its number of runs."""
import statistics


def summary(values):
    return min(values), statistics.median(values)


def fmt(value, unit):
    if unit == "B":
        return f"{value:,.0f}"
    if unit == "s":
        return f"{value:.2f}"
    return f"{value:.2f}"


def table(rows):
    lines = ["| figure | build | runs | min | median | baseline min | baseline median "
             "| ratio (median) | target | met |",
             "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | --- | --- |"]
    for r in rows:
        lines.append(f"| {r['figure']} | {r['build']} | {r['runs']} | "
                     f"{fmt(r['value'][0], r['unit'])} | "
                     f"{fmt(r['value'][1], r['unit'])} | {fmt(r['baseline'][0], r['unit'])} | "
                     f"{fmt(r['baseline'][1], r['unit'])} | {r['ratio']:.3f} | {r['target']} | "
                     f"{'-' if r['target'] == 'information' else ('yes' if r['met'] else 'NO')} |")
    return "\n".join(lines)


def shortfalls(rows):
    """The section's opening: the figures of this run that missed their targets."""
    missed = [r for r in rows if r["target"] != "information" and not r["met"]]
    if not missed:
        return "Nothing in the run above."
    return "\n".join(
        [f"{len(missed)} figure(s) in the run above missed the target:"] +
        [f"- {r['figure']}, {r['build']}: median {fmt(r['value'][1], r['unit'])} (minimum "
         f"{fmt(r['value'][0], r['unit'])}) against a baseline median of "
         f"{fmt(r['baseline'][1], r['unit'])} (minimum {fmt(r['baseline'][0], r['unit'])}); "
         f"target {r['target']}." for r in missed])
