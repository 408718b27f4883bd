#!/usr/bin/env python3
"""Writes cut_records.json beside this script: each data record kind the
module reads (assertion, debug message, 8-bit string and a string of another
kind, status-code-specific data naming a module), whole in the report area
but cut by its Size to every length from 0 to one past its last field. Each
kind's run comes after two long records, so the report area behind a cut
record holds the rest of the record and an earlier report's text: a field the
record does not wholly hold must print as absent (a number as 0, a text as
empty), never as what lies behind it.
Usage: python3 scenarios/hostile/cut_records.py"""
import json
import pathlib

HEADER = 20  # bytes of the data header; Size counts the payload behind it
ASSERT, DEBUG, PROGRESS = "0x90000002", "0x03", "0x01"
ASSERT_VALUE, DEBUG_VALUE, MODULE_BEGIN = "0x03010007", "0x03020000", "0x03020002"

EARLIER = [
    {"note": "an earlier assertion", "type": ASSERT, "value": ASSERT_VALUE,
     "data": {"kind": "assert", "file": "EarlierFile.c", "line": 1234, "description": "EarlierDescription"}},
    {"note": "an earlier debug message", "type": DEBUG, "value": DEBUG_VALUE,
     "data": {"kind": "debug", "level": "0x40", "format": "Earlier %a %d\n", "args": [{"string": "message"}, 99]}},
]

FILE, DESCRIPTION, FORMAT = "Foo.c", "x > 0", "%a|%d\n"
# (type, value, record, payload bytes of the whole record)
KINDS = [
    (ASSERT, ASSERT_VALUE, {"kind": "assert", "file": FILE, "line": 77, "description": DESCRIPTION},
     52 + len(FILE) + 1 + len(DESCRIPTION) + 1 - HEADER),
    (DEBUG, DEBUG_VALUE, {"kind": "debug", "level": "0x40", "format": FORMAT, "args": [{"string": "arg"}, 5]},
     120 + len(FORMAT) + 1 - HEADER),
    (DEBUG, DEBUG_VALUE, {"kind": "string", "text": "hello"}, 8),
    (DEBUG, DEBUG_VALUE, {"kind": "string", "string_kind": 1, "text": "hello"}, 8),
    (PROGRESS, MODULE_BEGIN, {"kind": "specific", "module": "PcdPei"}, 4),
]


def main():
    reports = []
    for kind_type, value, record, payload in KINDS:
        reports += EARLIER
        for size in range(payload + 2):
            name = record["kind"] + (" of kind 1" if record.get("string_kind") else "")
            reports.append({"note": f"{name}, Size {size} of {payload}", "type": kind_type, "value": value,
                            "data": dict(record, size=size)})
    scenario = {
        "name": "hostile/cut_records",
        "description": "records cut by their Size to every length up to one past their last field, after long "
                       "records: only the fields a record wholly holds may print (written by cut_records.py)",
        "platform": {"control_byte": "0x91", "host_bridge_dc": "0x10000000",
                     "mmio_serial": {"present": True, "stride": 4, "status": "ready"}},
        "reports": reports,
    }
    lines = ["{"]
    for key in ("name", "description", "platform"):
        lines.append(f"  {json.dumps(key)}: {json.dumps(scenario[key])},")
    lines.append('  "reports": [')
    lines.append(",\n".join("    " + json.dumps(r) for r in reports))
    lines.append("  ]")
    lines.append("}")
    out = pathlib.Path(__file__).with_suffix(".json")
    out.write_text("\n".join(lines) + "\n")
    print(f"{out}: {len(reports)} reports")


if __name__ == "__main__":
    main()
