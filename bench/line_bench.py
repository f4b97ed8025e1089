#!/usr/bin/python3
"""qxline's benchmark: records of a calibration station's size (about 150 measurements each)
loaded into SQLite and PostgreSQL, beside the Python reference loader on the same files in the
same run; then yield and stats over them on SQLite; the loader's memory at a tenth of the
records and at all of them. Run by bench/line_bench.sh, which builds first.

Usage: line_bench.py BIN_DIR SOURCE_DIR WORK_DIR RECORDS
"""
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time


def timed(args):
    """Runs a command to its end: (wall seconds, processor seconds, peak RSS in MiB, output)."""
    started = time.perf_counter()
    with tempfile.TemporaryFile() as err:
        p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=err)
        out = p.stdout.read()
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.perf_counter() - started
        if status != 0:
            err.seek(0)
            sys.exit(f"{' '.join(args)} failed ({status}): {err.read().decode()}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, out.decode()


def fresh(path):
    for suffix in ("", "-wal", "-shm"):
        pathlib.Path(path + suffix).unlink(missing_ok=True)


def main(bin_dir, source, work, records):
    qxline, qxrecords = f"{bin_dir}/qxline", f"{bin_dir}/qxrecords"
    work = pathlib.Path(work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    folder, tenth = work / "records", work / "tenth"
    devices = records  # every device once at the calibration station, until the count is reached
    timed([qxrecords, "--out", str(folder), "--devices", str(devices), "--no-upgrades", "--no-final",
           "--records", str(records)])
    files = sorted(folder.glob("*.json"))
    tenth.mkdir()
    for f in files[: len(files) // 10]:
        (tenth / f.name).symlink_to(f)
    size = sum(f.stat().st_size for f in files) / 2**20
    print(f"{len(files)} records, {size:.0f} MiB")

    # Interleaved, best of two each: the machine is shared.
    db, ref = str(work / "qxline.sqlite"), str(work / "reference.sqlite")
    best = {}
    for attempt in range(2):
        fresh(ref)
        timed([qxline, "yield", "--db", ref])  # makes the schema
        wall = timed(["/usr/bin/python3", f"{source}/bench/line_reference_loader.py", ref, str(folder)])[0]
        best["reference"] = min(best.get("reference", wall), wall)
        fresh(db)
        wall, _, _, out = timed([qxline, "ingest", "--db", db, str(folder)])
        assert out.startswith(f"stored {len(files)},"), out
        best["qxline"] = min(best.get("qxline", wall), wall)
    # Flat memory: the peak for a tenth of the records and for all of them.
    peak = {}
    for label, path in (("tenth", tenth), ("all", folder)):
        fresh(str(work / "memory.sqlite"))
        peak[label] = timed([qxline, "ingest", "--db", str(work / "memory.sqlite"), str(path)])[2]

    stats = json.loads(timed([qxline, "stats", "--db", db, "--json"])[3])
    measurements = sum(s["n"] for s in stats)

    pg_wall = None
    cluster = work / "pg"
    cluster.mkdir()
    started = subprocess.run(["bash", f"{source}/tests/line/pg_cluster.sh", "start", str(cluster)],
                             capture_output=True, text=True)
    if started.returncode == 0:
        url = started.stdout.strip()
        try:
            pg_wall = timed([qxline, "ingest", "--db", url, str(folder)])[0]
            pg_yield = min(timed([qxline, "yield", "--db", url, "--json"])[0] for _ in range(3))
            pg_stats = min(timed([qxline, "stats", "--db", url, "--json"])[0] for _ in range(3))
        finally:
            subprocess.run(["bash", f"{source}/tests/line/pg_cluster.sh", "remove", str(cluster)])
    else:
        print(f"PostgreSQL skipped: {started.stderr.strip()}")

    queries = {}
    for command in ("yield", "stats"):
        runs = [timed([qxline, command, "--db", db, "--json"]) for _ in range(5)]
        queries[command] = (min(r[0] for r in runs), min(r[1] for r in runs))

    print()
    print(f"{'ingest of ' + str(len(files)) + ' records':<44}{'seconds':>10}{'records/s':>12}")
    print(f"{'  Python reference (json + executemany)':<44}{best['reference']:>10.2f}{len(files) / best['reference']:>12.0f}")
    print(f"{'  qxline, SQLite':<44}{best['qxline']:>10.2f}{len(files) / best['qxline']:>12.0f}")
    if pg_wall is not None:
        print(f"{'  qxline, PostgreSQL':<44}{pg_wall:>10.2f}{len(files) / pg_wall:>12.0f}")
    ratio = best["qxline"] / best["reference"]
    print(f"qxline / reference on SQLite: {ratio:.2f} (goal: at most 0.50) {'met' if ratio <= 0.5 else 'NOT MET'}")
    print(f"measurements with limits in the stats: {measurements}")
    for command, (wall, cpu) in queries.items():
        print(f"qxline {command} --json on SQLite: {wall * 1000:.0f} ms wall, {cpu * 1000:.0f} ms processor"
              f" (goal: under 200 ms) {'met' if wall < 0.2 else 'NOT MET'}")
    if pg_wall is not None:
        print(f"qxline yield / stats --json on PostgreSQL: {pg_yield * 1000:.0f} / {pg_stats * 1000:.0f} ms wall")
    print(f"qxline ingest peak memory: {peak['tenth']:.1f} MiB for {len(files) // 10} records,"
          f" {peak['all']:.1f} MiB for {len(files)}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]))
