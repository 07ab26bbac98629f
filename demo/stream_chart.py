"""The demo's chart: the window mean per chunk with its standard-error band, and the chunks
at which the samples were checkpointed. The Vega-Lite spec is built here and drawn to SVG
by chart/render.mjs in Node, with the vega packages that scripts/bootstrap installs."""
import csv
import json
import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
RENDERER = os.path.join(HERE, "chart", "render.mjs")
DEFAULT_PREFIX = os.path.join(os.path.dirname(HERE), "deps", "vega")

BLUE, BAND, GREY, SHADE = "#1f5f99", "#9ecae9", "#666666", "#f8dc8c"


def read_stats(csv_path):
    """Rows of the csv_sink file as {chunk, mean, se}, chunk counted from 1."""
    with open(csv_path, encoding="utf-8", newline="") as f:
        return [{"chunk": i, "mean": float(row["mean"]), "se": float(row["se"])}
                for i, row in enumerate(csv.DictReader(f), 1)]


def detail_range(stats, first_full, span=30):
    """The span + 1 chunks centred on the highest window mean once the window is full
    (from chunk first_full on): a crest, where the curve is flat enough for its band to read."""
    full = [row for row in stats if row["chunk"] >= first_full] or stats
    crest = max(full, key=lambda row: row["mean"])["chunk"]
    low = max(1, min(crest - span // 2, stats[-1]["chunk"] - span))
    return [low, min(low + span, stats[-1]["chunk"])]


def stream_spec(stats, checkpoints, every, detail):
    """A Vega-Lite spec: the whole stream on top, with the checkpoints as a row of short ticks
    along its bottom and the detail range shaded; below it the chunks of the detail range,
    with a dashed rule at each checkpoint."""
    last = stats[-1]["chunk"]

    def panel(title, height, x_domain, extra_layers, y_padding=0):
        x = {"field": "chunk", "type": "quantitative", "title": "chunk",
             "scale": {"domain": x_domain, "nice": False, "zero": False}}
        band = [{"filter": {"field": "chunk", "range": x_domain}},
                {"calculate": "datum.mean - datum.se", "as": "low"},
                {"calculate": "datum.mean + datum.se", "as": "high"}]
        return {
            "title": {"text": title, "anchor": "start", "fontSize": 12, "fontWeight": "normal"},
            "width": 760, "height": height,
            "layer": extra_layers(x, height) + [
                {"data": {"name": "stats"}, "transform": band, "layer": [
                    {"mark": {"type": "area", "color": BAND},
                     "encoding": {"x": x, "y": {"field": "low", "type": "quantitative",
                                                "title": "window mean",
                                                "scale": {"zero": False, "padding": y_padding}},
                                  "y2": {"field": "high"}}},
                    {"mark": {"type": "line", "color": BLUE, "strokeWidth": 1.2},
                     "encoding": {"x": x, "y": {"field": "mean", "type": "quantitative"}}},
                ]},
            ],
        }

    def overview_layers(x, height):
        shade = {"data": {"values": [{}]}, "mark": {"type": "rect", "color": SHADE},
                 "encoding": {"x": {"datum": detail[0], "type": "quantitative",
                                    "scale": x["scale"]},
                              "x2": {"datum": detail[1]}}}
        ticks = {"data": {"name": "checkpoints"},
                 "mark": {"type": "rule", "color": GREY, "strokeWidth": 0.6},
                 "encoding": {"x": x, "y": {"value": height}, "y2": {"value": height - 7}}}
        return [shade, ticks]

    def detail_layers(x, height):
        rules = {"data": {"name": "checkpoints"},
                 "transform": [{"filter": {"field": "chunk", "range": detail}}],
                 "mark": {"type": "rule", "color": GREY, "strokeWidth": 1, "strokeDash": [3, 3]},
                 "encoding": {"x": x}}
        labels = dict(rules, mark={"type": "text", "text": "checkpoint", "color": GREY,
                                   "fontSize": 10, "align": "left", "baseline": "top",
                                   "dx": 3, "dy": 2},
                      encoding={"x": x, "y": {"value": 0}})
        return [rules, labels]

    return {
        "$schema": "https://vega.github.io/schema/vega-lite/v6.json",
        "title": {
            "text": "Sliding-window mean of the demo stream",
            "subtitle": [
                "line: the window mean after each chunk; band: mean \u00b1 standard error",
                f"grey: the {len(checkpoints)} DuckDB checkpoints, one every {every} chunks"],
            "anchor": "start", "subtitleColor": "#444", "subtitlePadding": 6, "offset": 10},
        "datasets": {"stats": stats, "checkpoints": [{"chunk": c} for c in checkpoints]},
        "background": "white",
        "padding": 10,
        "config": {"view": {"stroke": None}, "axis": {"gridColor": "#eee"}},
        "vconcat": [
            panel(f"all {last} chunks; ticks along the bottom: checkpoints; shaded: the detail "
                  "below", 200, [1, last],
                  overview_layers, y_padding=10),
            panel(f"detail: chunks {detail[0]}\u2013{detail[1]}, around the highest mean",
                  200, detail, detail_layers),
        ],
    }


def draw(csv_path, checkpoints, every, first_full, svg_path, prefix=DEFAULT_PREFIX):
    """Charts the csv_sink file and the checkpoint chunks into svg_path; the spec is kept
    beside it (same name, .vl.json). first_full is the first chunk with a full window."""
    node = shutil.which("node")
    if node is None:
        raise SystemExit("error: 'node' is missing; the demo draws its chart with Node (v20)")
    if not os.path.isdir(os.path.join(prefix, "node_modules", "vega-lite")):
        raise SystemExit(f"error: vega-lite is not installed under {prefix}; "
                         "run scripts/bootstrap")
    stats = read_stats(csv_path)
    spec = stream_spec(stats, checkpoints, every, detail_range(stats, first_full))
    spec_path = os.path.splitext(svg_path)[0] + ".vl.json"
    with open(spec_path, "w", encoding="utf-8") as f:
        json.dump(spec, f)
    subprocess.run([node, RENDERER, prefix, spec_path, svg_path], check=True)
    return svg_path
