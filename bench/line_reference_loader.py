#!/usr/bin/python3
"""The reference loader for qxline's benchmark: Python's json and sqlite3 loading the same
rows into the same tables (a database whose schema qxline made), one transaction per record
keyed by its id, with the same settings (WAL, synchronous NORMAL). It checks nothing.

Usage: line_reference_loader.py DB FOLDER     prints "stored N, already there M" and seconds
"""
import datetime
import json
import pathlib
import sqlite3
import struct
import sys
import time


def ms(text):
    d = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
    return int(d.timestamp() * 1000 + 0.5)


def shortest(x):
    if x is None:
        return "null"
    r = repr(float(x))
    return r[:-2] if r.endswith(".0") else r


def main(db_path, folder):
    db = sqlite3.connect(db_path, isolation_level=None)
    for pragma in ("journal_mode=WAL", "synchronous=NORMAL", "busy_timeout=10000",
                   "cache_size=-8192", "temp_store=MEMORY"):
        db.execute("PRAGMA " + pragma)
    quantities = dict(db.execute("SELECT signature, quantity_key FROM quantities"))
    stored = already = 0
    started = time.perf_counter()
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.000Z")
    for path in sorted(pathlib.Path(folder).rglob("*.json")):
        r = json.loads(path.read_bytes())
        d, j = r["device"], r["jig"]
        station = r["station"] or ("mask-" + r["mask"] if r["mask"] else "upgrade")
        jig_values = None if j["values"] is None else "[" + ",".join(shortest(v) for v in j["values"]) + "]"
        db.execute("BEGIN IMMEDIATE")
        # The quantities first: the run's row carries their keys (runs.value_pack).
        keys, pack, added = [], bytearray(), []
        for t in r["tests"]:
            for m in t["measurements"]:
                signature = "[" + json.dumps(m["name"], ensure_ascii=False) + "," + \
                    json.dumps(m["unit"], ensure_ascii=False) + "," + shortest(m["low"]) + "," + \
                    shortest(m["high"]) + "]"
                q = quantities.get(signature)
                if q is None:
                    q = db.execute("INSERT INTO quantities (signature, name, unit, low, high)"
                                   " VALUES (?, ?, ?, ?, ?) RETURNING quantity_key",
                                   (signature, m["name"], m["unit"], m["low"], m["high"])).fetchone()[0]
                    quantities[signature] = q
                    added.append(signature)
                keys.append(q)
                pack += struct.pack("<Id", q, m["value"])
        row = db.execute(
            "INSERT INTO runs (id, program, version, build, host, station, mask, start_ms, end_ms,"
            " result, cause, serial_number, mac, device_name, edition, firmware, bootloader, jig_type,"
            " jig_code, jig_values, limits, value_pack, source, stored_at)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
            " ON CONFLICT (id) DO NOTHING RETURNING run_key",
            (r["id"], r["program"], r["version"], r["build"], r["host"], station, r["mask"],
             ms(r["start"]), ms(r["end"]), r["result"], r["cause"], d["serialNumber"], d["mac"],
             d["name"], d["edition"], d["firmware"], d["bootloader"], j["type"], j["code"],
             jig_values, r["limits"], bytes(pack), str(path), now)).fetchone()
        if row is None:
            db.execute("ROLLBACK")
            for signature in added:  # rolled back with the record
                del quantities[signature]
            already += 1
            continue
        key = row[0]
        tests = r["tests"]
        db.executemany("INSERT INTO tests (run_key, position, name, status, details, duration_ms, cause)"
                       " VALUES (?, ?, ?, ?, ?, ?, ?)",
                       [(key, i, t["name"], t["status"], t["details"], t["durationMs"], t["cause"])
                        for i, t in enumerate(tests)])
        it = iter(keys)
        rows = [(key, i, k, next(it), m["value"], m["outcome"])
                for i, t in enumerate(tests) for k, m in enumerate(t["measurements"])]
        db.executemany("INSERT INTO measurements (run_key, test, position, quantity_key, value, outcome)"
                       " VALUES (?, ?, ?, ?, ?, ?)", rows)
        db.execute("COMMIT")
        stored += 1
    print(f"stored {stored}, already there {already}")
    print(f"{time.perf_counter() - started:.3f} s")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
