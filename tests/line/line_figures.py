#!/usr/bin/env python3
"""Figures of the line worked out by hand from the records themselves,
against what qxline --json gives for the same records.

    line_figures.py QXLINE DB RECORDS

Prints one line per disagreement and exits 1 when there is any."""
import collections
import json
import math
import pathlib
import subprocess
import sys


def qxline(program, db, command):
    out = subprocess.run([program, command, "--db", db, "--json"], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def close(a, b):
    if a is None or b is None:
        return a is b
    return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)


def yields(records):
    identified = [r for r in records if r["device"]["serialNumber"] is not None]
    stations = collections.defaultdict(list)
    for r in sorted(identified, key=lambda r: r["start"]):
        stations[r["station"]].append(r)
    out = []
    rolled = 1.0
    for station in sorted(stations):
        runs = stations[station]
        by_unit = collections.defaultdict(list)
        for r in runs:
            by_unit[r["device"]["serialNumber"]].append(r)
        units = len(by_unit)
        first = sum(1 for u in by_unit.values() if u[0]["result"] == "passed") / units
        final = sum(1 for u in by_unit.values() if u[-1]["result"] == "passed") / units
        causes = collections.Counter(r["cause"] for r in runs if r["result"] != "passed")
        rolled *= first
        out.append({"station": station, "units": units, "runs": len(runs),
                    "first_pass_yield": first, "final_yield": final,
                    "retest_rate": (len(runs) - units) / units, "causes": dict(causes)})
    return {"stations": out, "rolled_first_pass_yield": rolled,
            "unidentified": len(records) - len(identified)}


def pareto(records):
    tests = collections.Counter()
    details = collections.defaultdict(collections.Counter)
    for r in records:
        if r["result"] == "passed":
            continue
        first = next((t for t in r["tests"] if t["status"] != "Passed"), None)
        if first is None:
            continue
        tests[first["name"]] += 1
        details[first["name"]][first["details"]] += 1
    total = sum(tests.values())
    out, cumulative = [], 0
    for name, count in sorted(tests.items(), key=lambda kv: (-kv[1], kv[0])):
        cumulative += count
        out.append({"test": name, "count": count, "share": count / total,
                    "cumulative": cumulative / total,
                    "details": sorted(({"text": t, "count": c} for t, c in details[name].items()),
                                      key=lambda d: (-d["count"], d["text"]))})
    return out


def alarms(values, mean, sigma):
    """The Western Electric rules against the series' own mean and sigma."""
    if not sigma:
        return []
    z = [(v - mean) / sigma for v in values]

    def side(k, limit):  # 1 above, -1 below, 0 within `limit` sigma
        return 1 if z[k] > limit else (-1 if z[k] < -limit else 0)

    found = []
    for i in range(len(values)):
        if side(i, 3):
            found.append({"rule": 1, "index": i})
        for rule, window, need, limit in ((2, 3, 2, 2), (3, 5, 4, 1)):
            s = side(i, limit)
            if s and sum(1 for k in range(max(0, i - window + 1), i + 1)
                         if side(k, limit) == s) >= need:
                found.append({"rule": rule, "index": i})
        last8 = values[i - 7:i + 1] if i >= 7 else []
        if last8 and (all(v > mean for v in last8) or all(v < mean for v in last8)):
            found.append({"rule": 4, "index": i})
    return found


def stats(records):
    series = collections.defaultdict(list)
    # Time order: the run's start, then its id, then the place in the record.
    for r in sorted(records, key=lambda r: (r["start"], r["id"])):
        for t in r["tests"]:
            for m in t["measurements"]:
                if m["low"] is not None or m["high"] is not None:
                    series[(m["name"], m["low"], m["high"])].append(m["value"])
    out = {}
    for (name, low, high), values in series.items():
        n = len(values)
        mean = sum(values) / n
        sigma = math.sqrt(sum((v - mean) ** 2 for v in values) / (n - 1)) if n > 1 else None
        sides = [s for s in ((high - mean) if high is not None else None,
                             (mean - low) if low is not None else None) if s is not None]
        cpk = min(sides) / (3 * sigma) if sigma else None
        outside = sum(1 for v in values
                      if (low is not None and v < low) or (high is not None and v > high))
        ci = None
        if cpk is not None:
            half = 1.96 * math.sqrt(1 / (9 * n) + cpk * cpk / (2 * (n - 1)))
            ci = [cpk - half, cpk + half]
        out[(name, low, high)] = {"n": n, "mean": mean, "sigma": sigma, "min": min(values),
                                  "max": max(values), "cpk": cpk, "cpk_ci95": ci,
                                  "outside": outside, "alarms": alarms(values, mean, sigma)}
    return out


def main(argv):
    program, db, folder = argv[1:4]
    records = [json.loads(p.read_text()) for p in sorted(pathlib.Path(folder).glob("*.json"))]
    problems = []

    got, want = qxline(program, db, "yield"), yields(records)
    got_stations = {s["station"]: s for s in got["stations"]}
    for s in want["stations"]:
        g = got_stations.get(s["station"])
        if g is None:
            problems.append(f"yield: no station {s['station']}")
            continue
        for key in ("units", "runs", "causes"):
            if g[key] != s[key]:
                problems.append(f"yield {s['station']} {key}: {g[key]} != {s[key]}")
        for key in ("first_pass_yield", "final_yield", "retest_rate"):
            if not close(g[key], s[key]):
                problems.append(f"yield {s['station']} {key}: {g[key]} != {s[key]}")
    if len(got["stations"]) != len(want["stations"]):
        problems.append(f"yield: {len(got['stations'])} stations, not {len(want['stations'])}")
    if not close(got["rolled_first_pass_yield"], want["rolled_first_pass_yield"]):
        problems.append("yield: rolled first-pass yield")
    if got["unidentified"] != want["unidentified"]:
        problems.append(f"yield: unidentified {got['unidentified']} != {want['unidentified']}")

    got_pareto, want_pareto = qxline(program, db, "pareto"), pareto(records)
    if sorted(json.dumps(p, sort_keys=True) for p in got_pareto) != \
            sorted(json.dumps(p, sort_keys=True) for p in want_pareto):
        problems.append(f"pareto: {got_pareto} != {want_pareto}")

    got_stats, want_stats = qxline(program, db, "stats"), stats(records)
    for g in got_stats:
        w = want_stats.pop((g["name"], g["low"], g["high"]), None)
        if w is None:
            problems.append(f"stats: {g['name']} {g['low']}..{g['high']} not in the records")
            continue
        for key, value in w.items():
            if key == "cpk_ci95":
                same = (g[key] is None) == (value is None) and (
                    value is None or all(close(a, b) for a, b in zip(g[key], value)))
            elif key in ("n", "outside", "alarms"):
                same = g[key] == value
            else:
                same = close(g[key], value)
            if not same:
                problems.append(f"stats {g['name']} {key}: {g[key]} != {value}")
    for key in want_stats:
        problems.append(f"stats: {key} missing")

    for p in problems:
        print(p)
    print(f"{len(records)} records, {len(got_stats)} measurement series: "
          f"{len(problems)} disagreement(s)")
    return 1 if problems or not records else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
