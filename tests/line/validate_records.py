#!/usr/bin/python3
"""Validates records against the record schema with a real validator.

Usage: validate_records.py SCHEMA PATH...      every record (file, or *.json in a folder) is valid
       validate_records.py SCHEMA --invalid PATH...  every one is refused
       validate_records.py SCHEMA --fixtures DIR  the fixtures are valid, each breach below is
                                                  refused and each allowed addition accepted
Exit 0 when everything is as expected, 1 otherwise.
"""
import copy
import json
import pathlib
import sys

import jsonschema

REMOVE = object()

# fixture | JSON pointer | new value (REMOVE drops it) | expected valid
CASES = [
    # What a reader relies on is required and typed.
    ("station_passed", "/id", REMOVE, False),
    ("station_passed", "/id", "has space", False),
    ("station_passed", "/schema/version", 1, False),
    ("station_passed", "/schema/name", "other", False),
    ("station_passed", "/start", "2026-03-02T08:15:30Z", False),
    ("station_passed", "/end", "2026-03-02T08:15:30.125+01:00", False),
    ("station_passed", "/result", "pass", False),
    ("station_passed", "/cause", "device", False),
    ("station_failed", "/cause", None, False),
    ("station_failed", "/cause", "operator", False),
    ("station_passed", "/device/serialNumber", REMOVE, False),
    ("station_passed", "/device/serialNumber", "470012", False),
    ("station_passed", "/device/mac", "00:80:2F:00:12:3C", False),
    ("station_passed", "/device/firmware", 1.03, False),
    ("station_passed", "/jig/values", [1, 2, 3], False),
    ("station_passed", "/jig", None, False),
    ("station_passed", "/mask", None, False),
    ("station_passed", "/mask", "840400", False),
    ("station_passed", "/limits", None, False),
    ("station_passed", "/upgrade", {}, False),
    ("station_passed", "/tests/1/status", "Failed", False),
    ("station_passed", "/tests/1/cause", "device", False),
    ("station_passed", "/tests/1/durationMs", -1, False),
    ("station_passed", "/tests/1/details", None, False),
    ("station_failed", "/tests/1/cause", None, False),
    ("station_passed", "/tests/1/measurements/0/outcome", None, False),
    ("station_passed", "/tests/2/measurements/0/outcome", "pass", False),
    ("station_passed", "/tests/1/measurements/0/unit", REMOVE, False),
    ("station_passed", "/tests/1/measurements/0/value", None, False),
    ("station_passed", "/tests/1/measurements/0/value", "5.03", False),
    ("station_passed", "/tests/1/measurements/0/nominal", 5.0, False),
    ("station_aborted", "/tests/1/cause", None, False),
    ("station_aborted", "/tests/2/measurements",
     [{"name": "x", "value": 1, "unit": "", "low": None, "high": None, "outcome": None}], False),
    ("upgrade_passed", "/upgrade", REMOVE, False),
    ("upgrade_passed", "/upgrade/image/sha256", "9F86D0", False),
    ("upgrade_passed", "/upgrade/pagesWritten", REMOVE, False),
    ("upgrade_passed", "/mask", "0x840400", False),
    # Open where later additions are likely.
    ("station_passed", "/operator", "A. Tester", True),
    ("station_passed", "/device/hardware", "rev B", True),
    ("station_passed", "/jig/meter", "bench meter 2", True),
    ("station_passed", "/tests/1/retries", 1, True),
    ("upgrade_passed", "/upgrade/image/firmware", "1.0300", True),
    # Unknown values are null.
    ("station_passed", "/device/serialNumber", None, True),
    ("station_passed", "/tests/1/measurements/0/high", None, True),
    ("upgrade_passed", "/upgrade/after/firmware", None, True),
]


def load_fixtures(folder):
    return {p.stem: json.loads(p.read_text()) for p in sorted(pathlib.Path(folder).glob("*.json"))}


def changed(record, pointer, value):
    out = copy.deepcopy(record)
    parts = [int(p) if p.isdigit() else p for p in pointer.strip("/").split("/")]
    node = out
    for part in parts[:-1]:
        node = node[part]
    if value is REMOVE:
        del node[parts[-1]]
    else:
        node[parts[-1]] = value
    return out


def main(argv):
    validator = jsonschema.Draft202012Validator(json.loads(pathlib.Path(argv[1]).read_text()))
    failures = checked = 0

    def expect(label, record, valid):
        nonlocal failures, checked
        checked += 1
        errors = list(validator.iter_errors(record))
        if bool(errors) == valid:
            failures += 1
            why = errors[0].message if errors else "accepted"
            print(f"FAIL {label}: wanted {'valid' if valid else 'refused'}, got {why}")

    if argv[2] == "--fixtures":
        fixtures = load_fixtures(argv[3])
        for name, record in fixtures.items():
            expect(name, record, True)
        for name, pointer, value, valid in CASES:
            expect(f"{name} {pointer}={value!r}", changed(fixtures[name], pointer, value), valid)
    else:
        valid = argv[2] != "--invalid"
        for arg in argv[2 if valid else 3:]:
            path = pathlib.Path(arg)
            for p in sorted(path.glob("*.json")) if path.is_dir() else [path]:
                expect(str(p), json.loads(p.read_text()), valid)
    print(f"{checked - failures} passed, {failures} failed")
    return 1 if failures or not checked else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
