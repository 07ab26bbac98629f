"""Demo pipeline: a noisy signal streamed in chunks through fifo_window_buffer -> average ->
csv_sink, giving a sliding-window mean and standard error per chunk in a CSV file; the
samples are checkpointed into a DuckDB file with duckdb_checkpoint_cpp, and duckdb_sql_cpp
then aggregates them into a summary table, exported and printed. Last, the window mean
with its standard-error band and the checkpoints are drawn into an SVG chart."""
import argparse
import math
import os
import random
import sys
import time

import kestrel
import _kestrel_kernels  # noqa: F401  (importing registers the ops with the host)
import _kestrel_sqlstore  # noqa: F401

import stream_chart

SIGNAL_OPS = ["fifo_window_buffer", "average", "csv_sink"]


def noisy_signal(rng, chunks, chunk_size):
    """Chunks of a slow sine wave with Gaussian noise."""
    t = 0
    for _ in range(chunks):
        chunk = []
        for _ in range(chunk_size):
            chunk.append(math.sin(t / 400.0) + rng.gauss(0.0, 0.25))
            t += 1
        yield chunk


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--work", default="work", help="folder for the output files")
    parser.add_argument("--chunks", type=int, default=3000)
    parser.add_argument("--chunk-size", type=int, default=32)
    parser.add_argument("--window", type=int, default=1024)
    parser.add_argument("--checkpoint-every", type=int, default=10,
                        help="chunks per checkpoint (each one opens and closes the database)")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    os.makedirs(args.work, exist_ok=True)
    csv_path = os.path.join(args.work, "signal_stats.csv")
    if os.path.exists(csv_path):
        os.remove(csv_path)

    db_path = os.path.join(args.work, "pipeline.duckdb")
    run_id = time.strftime("demo_%Y%m%d_%H%M%S")

    rng = random.Random(args.seed)
    fifo = f"demo-{os.getpid()}"
    start = time.perf_counter()
    payload, pending, checkpoint_chunks, storing = {}, [], [], 0.0
    for i, chunk in enumerate(noisy_signal(rng, args.chunks, args.chunk_size), 1):
        payload = {"sampleChunk": chunk, "windowSize": args.window, "fifoId": fifo,
                   "csvPath": csv_path}
        kestrel.run(SIGNAL_OPS, payload)
        pending += chunk
        if i % args.checkpoint_every == 0 or i == args.chunks:
            call_start = time.perf_counter()
            stored = kestrel.call("duckdb_checkpoint_cpp", {
                "run_id": run_id, "step": "raw", "duckdb_path": db_path, "values": pending,
                "sample_id": i, "window_mean": payload["mean"], "window_se": payload["se"]})
            storing += time.perf_counter() - call_start
            pending = []
            checkpoint_chunks.append(i)
        if i % 100 == 0 or i == args.chunks:
            print(f"\rchunk {i}/{args.chunks}: window {len(payload['window'])}, "
                  f"mean {payload['mean']:+.4f}, checkpoints {len(checkpoint_chunks)}",
                  end="", file=sys.stderr, flush=True)
    elapsed = time.perf_counter() - start
    print(file=sys.stderr)

    # Table to table: the checkpointed samples -> a summary table -> a CSV export of it.
    summary_csv = os.path.join(args.work, "summary.csv")
    stored.update(out_table=f"summary_{run_id}", sql=(
        "CREATE TABLE {out_table} AS SELECT count(*) AS samples, count(DISTINCT sample_id) "
        "AS batches, avg(value) AS mean, stddev_pop(value) / sqrt(count(*)) AS se, "
        "min(value) AS min, max(value) AS max, (SELECT count(*) FROM pipeline_state "
        f"WHERE run_id = '{run_id}') AS state_rows FROM {{in_table}}"))
    kestrel.call("duckdb_sql_cpp", stored)
    stored.update(out_table=stored["data_table"],
                  sql=f"COPY {{in_table}} TO '{summary_csv}' (HEADER)")
    kestrel.call("duckdb_sql_cpp", stored)

    with open(csv_path, encoding="utf-8") as f:
        rows = sum(1 for _ in f) - 1
    print(f"rows written: {rows} in {elapsed:.2f} s ({elapsed / args.chunks * 1e6:.0f} us per chunk)")
    print(f"storage: {storing:.2f} s of the {elapsed:.2f} s went to {len(checkpoint_chunks)} "
          f"checkpoints ({storing / len(checkpoint_chunks) * 1e3:.1f} ms each), the signal ops "
          f"took {(elapsed - storing) / args.chunks * 1e6:.0f} us per chunk")
    print(f"file: {os.path.abspath(csv_path)}")
    print(f"last window: {len(payload['window'])} samples, mean {payload['mean']:.6f}, "
          f"standard error {payload['se']:.6f}")
    print(f"database: {os.path.abspath(db_path)}, run {run_id}, "
          f"{len(checkpoint_chunks)} checkpoints")
    print(f"table {stored['data_table']}:")
    with open(summary_csv, encoding="utf-8") as f:
        print(f.read(), end="")

    chart_path = stream_chart.draw(csv_path, checkpoint_chunks, args.checkpoint_every,
                                   -(-args.window // args.chunk_size),
                                   os.path.join(args.work, "signal_stats.svg"))
    print(f"chart: {os.path.abspath(chart_path)}")


if __name__ == "__main__":
    main()
