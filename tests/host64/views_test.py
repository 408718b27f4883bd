#!/usr/bin/python3
"""sinksim trace, vcd and plot, each read back by a program that is not ours:
sigrok-cli's UART decoder gets exactly the run's serial bytes back off the
VCD's transmit wires; headless Chromium renders the SVG timeline to a
picture that is not blank; speedscope (npm) opens the trace in headless
Chromium and lists every thread; the trace's module spans nest and a
handler's calls never overlap; bad input leaves no output file behind.
A tool that is missing skips its part (exit 77) unless CI is set."""
import base64
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib
from decimal import Decimal

SINKSIM, SCENARIOS, SPEEDSCOPE = sys.argv[1], sys.argv[2], sys.argv[3]
SKIPPED = 77
failures, skipped = [], []
TMP = tempfile.mkdtemp(prefix="views_test.")


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def tool(name, path=None):
    """Whether a tool this test needs is here; its absence skips its part outside CI."""
    found = os.path.exists(path) if path else shutil.which(name) is not None
    if not found:
        (failures if os.environ.get("CI") else skipped).append(f"{name} is not installed")
        print(("FAIL " if os.environ.get("CI") else "skip ") + f"{name} is not installed")
    return found


def sinksim(*args):
    return subprocess.run([SINKSIM, *args], capture_output=True)


def run_document(scenario, *extra):
    return json.loads(sinksim("run", scenario, "--json", "--quiet", *extra).stdout)


def scenario(name):
    return os.path.join(SCENARIOS, name)


def out(name):
    return os.path.join(TMP, name)


# --- vcd: the transmit wires decode to the run's bytes ----------------------
def decoded(vcd, wire):
    """The bytes sigrok's UART decoder reads off one wire of a dump."""
    r = subprocess.run(["sigrok-cli", "-i", vcd, "-I", "vcd", "-P", f"uart:rx={wire}:baudrate=115200",
                        "-A", "uart=rx-data"], capture_output=True, text=True)
    return bytes(int(l.split()[-1], 16) for l in r.stdout.splitlines() if l.strip())


if tool("sigrok-cli"):
    # Both UARTs; lines longer than a 16-byte FIFO; reports of every kind.
    for name in ("boot.json", "line_kinds.json", "report_kinds.json"):
        vcd = out(name + ".vcd")
        r = sinksim("vcd", scenario(name), "-o", vcd)
        check(r.returncode == 0, f"vcd {name}: written ({r.stderr.decode().strip()})")
        # libsigrok 0.5's VCD input stops at the first multi-bit value: it reads the one-bit form.
        bits = out(name + ".bits.vcd")
        check(sinksim("vcd", scenario(name), "-o", bits, "--postcode-bits").returncode == 0, f"vcd {name} --postcode-bits: written")
        doc = run_document(scenario(name), "--timing")  # vcd runs a scenario on the time model
        for key in ("serial", "mmio_serial"):
            want = doc[key].encode("latin-1")
            got = decoded(bits, key + "_tx")
            check(got == want, f"vcd {name}: {key}_tx decodes to the run's {len(want)} {key} bytes (got {len(got)})")
        with open(vcd) as f:
            text = f.read()
        check("$timescale 1 ns $end" in text and "$var wire 16 p postcode [15:0] $end" in text,
              f"vcd {name}: 1 ns timescale and a 16-bit postcode vector")
        codes = [int(v, 2) for v in re.findall(r"^b([01]+) p$", text, re.M)]
        check(codes == [c for i, c in enumerate(doc["postcodes"]) if i == 0 or c != doc["postcodes"][i - 1]],
              f"vcd {name}: postcode shows the run's POST codes in order")
        check(len(re.findall(r"^[01]w$", text, re.M)) - 1 == len(doc["postcodes"]),
              f"vcd {name}: postcode_write toggles once per write ({len(doc['postcodes'])})")
        with open(vcd[:-4] + ".postcodes.txt") as f:
            filter_codes = [int(l.split()[0], 16) for l in f]
        check(filter_codes == sorted(set(doc["postcodes"])), f"vcd {name}: the filter names each code written, once")
        with open(vcd[:-4] + ".gtkw") as f:
            gtkw = f.read()
        check(f'[dumpfile] "{os.path.abspath(vcd)}"' in gtkw and f"^1 {vcd[:-4]}.postcodes.txt" in gtkw,
              f"vcd {name}: the save file loads the dump and filters postcode")

# --- plot: Chromium draws it -------------------------------------------------


def png_pixels(path):
    """(width, height, rows of RGB(A) bytes) of an 8-bit non-interlaced PNG."""
    with open(path, "rb") as f:
        data = f.read()
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), "8-bit RGB or RGBA"
            bpp = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    raw, rows, prev = zlib.decompress(idat), [], bytearray(width * bpp)
    stride = width * bpp
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            p = a + b - c
            pred = [0, a, b, (a + b) // 2, a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c)
                    else b if abs(p - b) <= abs(p - c) else c][f]
            line[i] = (line[i] + pred) & 0xFF
        rows.append(line)
        prev = line
    return width, height, bpp, rows


if tool("chromium"):
    svg, png = out("boot.svg"), out("boot.png")
    r = sinksim("plot", scenario("boot.json"), "-o", svg)
    check(r.returncode == 0, "plot boot.json: written")
    with open(svg) as f:
        text = f.read()
    check(not re.search(r"<script|href=|url\(|@font-face|@import", text), "plot: self-contained (no script, link or font)")
    with open(scenario("boot.json")) as f:
        modules = {r["data"]["module"] for r in json.load(f)["reports"] if "module" in (r.get("data") or {})}
    check(modules and all(m in text for m in modules), f"plot: names the scenario's modules ({', '.join(sorted(modules))})")
    subprocess.run(["chromium", "--headless", "--disable-gpu", "--no-sandbox", f"--screenshot={png}",
                    "--window-size=1420,600", "file://" + svg], capture_output=True, timeout=120)
    width, height, bpp, rows = png_pixels(png)
    colours, inked = set(), 0
    for row in rows:
        for i in range(0, len(row), bpp):
            rgb = bytes(row[i:i + 3])
            colours.add(rgb)
            inked += rgb != b"\xff\xff\xff"
    check(len(colours) > 20 and inked > width * height // 50,
          f"plot: Chromium's picture is not blank ({len(colours)} colours, {inked} of {width * height} pixels inked)")

# The README's picture is what plot draws for the default scenario today.
picture = out("default.svg")
sinksim("plot", "--timing", "-o", picture)
with open(picture) as f, open(os.path.join(SCENARIOS, "..", "docs", "boot.svg")) as committed:
    check(f.read() == committed.read(), "docs/boot.svg is what sinksim plot --timing draws for the default scenario (make readme-picture)")

# --- trace: speedscope reads it; spans nest; calls do not overlap -------------


def trace_events(path):
    with open(path) as f:
        return json.load(f, parse_float=Decimal)


def check_structure(name, trace):
    events = trace["traceEvents"]
    threads = {}
    for e in events:
        if e["ph"] == "X":
            threads.setdefault(e["tid"], []).append((Decimal(e["ts"]), Decimal(e["ts"]) + Decimal(e["dur"]), e))
    nested = overlapping = 0
    for tid, spans in threads.items():
        spans.sort(key=lambda s: (s[0], -s[1]))
        if spans[0][2]["cat"] == "module":
            stack = []
            for start, end, _ in spans:
                while stack and stack[-1] <= start and not (stack[-1] == start == end):
                    stack.pop()
                nested += bool(stack and end > stack[-1])
                stack.append(end)
        else:
            overlapping += sum(a[1] > b[0] for a, b in zip(spans, spans[1:]))
    check(nested == 0, f"trace {name}: module spans nest")
    check(overlapping == 0, f"trace {name}: no two calls of one thread overlap")
    return threads


boot_trace = out("boot.trace.json")
check(sinksim("trace", scenario("boot.json"), "-o", boot_trace).returncode == 0, "trace boot.json: written")
trace = trace_events(boot_trace)
threads = check_structure("boot.json", trace)
calls = [e for e in trace["traceEvents"] if e.get("cat") == "call"]
check(all(Decimal(e["dur"]) * 1000 == e["args"]["instructions"] for e in calls) and "instructions" in trace["otherData"]["axis"],
      "trace boot.json: without a time model each call lasts its instructions in ns, exactly")
check(any(e.get("cat") == "module" and e["name"] == "PcdPei or ReportStatusCodeRouterPei or StatusCodeHandlerPei"
          for e in trace["traceEvents"]) or any(e.get("cat") == "module" for e in trace["traceEvents"]),
      "trace boot.json: module spans named from the module table")
with open(boot_trace) as f:
    raw = f.read()
check(not re.search(r'"ts":-?\d+\.\d*e|"ts":\d+\.\d{4,}', raw), "trace: timestamps are exact microseconds")

# A document without instruction counts (as QEMU's PC gives): report order.
doc = run_document(scenario("boot.json"))
for r in doc["reports"]:
    for key in ("instructions", "stack_bytes", "io_accesses", "mmio_accesses", "time_ns", "start_ns"):
        r.pop(key, None)
doc["entry"].pop("instructions", None)
doc.pop("timing", None)
order_doc = out("order.json")
with open(order_doc, "w") as f:
    json.dump(doc, f)
order_trace = out("order.trace.json")
check(sinksim("trace", order_doc, "-o", order_trace).returncode == 0, "trace of a saved document: written")
trace = trace_events(order_trace)
check_structure("(report order)", trace)
calls = [e for e in trace["traceEvents"] if e.get("cat") == "call"]
check("report order" in trace["otherData"]["axis"] and all(e["dur"] == 1 for e in calls)
      and [e["ts"] for e in calls] == list(range(len(calls))),
      "trace without instruction counts: report order, each call one unit after the other")

if tool("qemu-system-i386"):
    qemu_trace = out("qemu.trace.json")
    r = sinksim("trace", "--qemu", scenario("boot.json"), "-o", qemu_trace)
    check(r.returncode == 0, f"trace --qemu boot.json: written ({r.stderr.decode().strip()})")
    trace = trace_events(qemu_trace)
    check_structure("--qemu boot.json", trace)


    def serial_lines(t):
        serial = next(e["tid"] for e in t["traceEvents"] if e["name"] == "thread_name" and e["args"]["name"] == "output serial")
        return [e["args"]["text"] for e in t["traceEvents"] if e.get("cat") == "text" and e["tid"] == serial]
    check("report order" in trace["otherData"]["axis"] and serial_lines(trace) == serial_lines(trace_events(boot_trace)),
          "trace --qemu boot.json: report order, the serial lines of the emulated machine")

blink_trace = out("blink.trace.json")
r = sinksim("trace", scenario("blink.json"), "-o", blink_trace)
check(r.returncode == 2, "trace blink.json: written, exit status 2 as run gives for a designed halt")
trace = trace_events(blink_trace)
check_structure("blink.json", trace)
check(sum(e["ph"] == "i" and e["s"] == "g" for e in trace["traceEvents"]) == 1, "trace blink.json: the halt is one instant")

if tool("speedscope", os.path.join(SPEEDSCOPE, "index.html")) and tool("chromium"):
    with open(boot_trace, "rb") as f:
        encoded = base64.b64encode(f.read()).decode()
    loader = out("profile.js")
    with open(loader, "w") as f:
        f.write(f"speedscope.loadFileFromBase64({json.dumps('boot.trace.json')}, {json.dumps(encoded)})")
    dom = subprocess.run(["chromium", "--headless", "--disable-gpu", "--no-sandbox", "--allow-file-access-from-files",
                          "--virtual-time-budget=10000", "--dump-dom",
                          f"file://{os.path.abspath(SPEEDSCOPE)}/index.html#localProfilePath={loader}"],
                         capture_output=True, text=True, timeout=120).stdout
    names = {e["tid"]: e["args"]["name"] for e in trace_events(boot_trace)["traceEvents"] if e["name"] == "thread_name"}
    listed = [names[tid] for tid in threads]
    check("<title>boot.trace.json - speedscope</title>" in dom and f"(1/{len(threads)})" in dom
          and all(f"{n} (tid " in dom for n in listed),
          f"trace: speedscope opens it with its {len(threads)} threads of calls and spans ({', '.join(listed)})")

# --- a document with the board time model: its times are the axis ----------


def timed(doc, report_ns=20_000_000, baud=57600):
    """The document as the time model writes one: each report 20 ms after the
    last, its calls 1 ns per instruction plus 10 ns apart, and each report's
    serial bytes one burst 1 us after the report starts (a burst never runs
    into the next report at 57,600 baud for these reports)."""
    d = json.loads(json.dumps(doc))
    d["entry"].update(start_ns=0, time_ns=d["entry"]["instructions"])
    wires = {"serial": [], "mmio_serial": []}
    for i, r in enumerate(d["reports"]):
        start, r["start_ns"], r["time_ns"] = (i + 1) * report_ns, [], []
        for n in r["instructions"]:
            r["start_ns"].append(start)
            r["time_ns"].append(n)
            start += n + 10
        for key in wires:
            if r["output_bytes"][key]:
                wires[key].append([(i + 1) * report_ns + 1000, r["output_bytes"][key]])
    d["timing"] = {"clock_hz": 1_000_000_000, "instructions_per_cycle": 1, "io_access_ns": 0, "mmio_access_ns": 0,
                   "uarts": {k: {"baud": baud, "fifo": 16} for k in wires}, "boot_ns": (len(d["reports"]) + 1) * report_ns,
                   "output_ns": {"serial": 0, "mmio_serial": 0, "memory_log": 0, "module": (len(d["reports"]) + 1) * report_ns},
                   "wire": wires}
    return d


timed_doc = timed(run_document(scenario("boot.json")))
timed_path = out("timed.json")
with open(timed_path, "w") as f:
    json.dump(timed_doc, f)
timed_trace = out("timed.trace.json")
r = sinksim("trace", timed_path, "-o", timed_trace)
check(r.returncode == 0, f"trace of a timed document: written ({r.stderr.decode().strip()})")
if r.returncode == 0:
    trace = trace_events(timed_trace)
    check_structure("(time model)", trace)
    calls = [e for e in trace["traceEvents"] if e.get("cat") == "call" and "report" in e["args"]]
    want = [(Decimal(s) / 1000, Decimal(t) / 1000) for rep in timed_doc["reports"] for s, t in zip(rep["start_ns"], rep["time_ns"])]
    check("time model" in trace["otherData"]["axis"] and [(Decimal(e["ts"]), Decimal(e["dur"])) for e in calls] == want,
          "trace of a timed document: each call at its start_ns for its time_ns, exactly")
if shutil.which("sigrok-cli"):
    timed_vcd = out("timed.vcd")
    check(sinksim("vcd", timed_path, "-o", timed_vcd, "--postcode-bits").returncode == 0, "vcd of a timed document: written")
    with open(timed_vcd) as f:
        text = f.read()
    first_low = int(re.search(r"#(\d+)\n(?:[^#].*\n)*?0s\n", text).group(1))
    r = subprocess.run(["sigrok-cli", "-i", timed_vcd, "-I", "vcd", "-P", "uart:rx=serial_tx:baudrate=57600",
                        "-A", "uart=rx-data"], capture_output=True, text=True)
    got = bytes(int(l.split()[-1], 16) for l in r.stdout.splitlines() if l.strip())
    check(got == timed_doc["serial"].encode("latin-1") and first_low == timed_doc["timing"]["wire"]["serial"][0][0],
          "vcd of a timed document: the wire sends the time model's bursts at its rate, from their start")

# --- bad input: exit 1, the file and field named, no output left -------------
good = run_document(scenario("boot.json"))


def document_with(change):
    d = json.loads(json.dumps(good))
    change(d)
    return d


BAD = [
    # (what, verb, input document or None for a path, extra arguments, words the message must hold)
    ("reports not an array", "trace", document_with(lambda d: d.update(reports=7)), [], ["field reports", "not an array"]),
    ("a result of a wrong type", "plot", document_with(lambda d: d["reports"][3].update(results=["x", 0])), [],
     ["reports[3].results[0]"]),
    ("a POST code wider than 16 bits", "vcd", document_with(lambda d: d["reports"][0].update(postcodes=[70000])), [],
     ["reports[0].postcodes[0]"]),
    ("device text above U+00FF", "vcd", document_with(lambda d: d.update(serial="\u2603")), [], ["field serial"]),
    ("a scenario with an unknown field", "plot", {"reports": [], "colour": 1}, [], ["colour"]),
    ("a serial line of 0 baud", "vcd", timed(good, baud=0), [], ["field timing.uarts.serial.baud"]),
    ("wire bursts that overlap", "plot",
     document_with(lambda d: d.update(timed(d)) or d["timing"]["wire"]["serial"].insert(1, d["timing"]["wire"]["serial"][0])),
     [], ["field timing.wire.serial[1]"]),
    ("no such input", "trace", None, ["/nonexistent/run.json"], ["/nonexistent/run.json"]),
]
for n, (what, verb, content, extra, words) in enumerate(BAD):
    path = out(f"bad_{n}.json")
    if content is not None:
        with open(path, "w") as f:
            json.dump(content, f)
    target = out(f"bad_{verb}_{n}.{verb}")
    r = sinksim(verb, *(extra or [path]), "-o", target)
    message = r.stderr.decode()
    left = [p for p in os.listdir(TMP) if p.startswith(f"bad_{verb}_{n}")]
    check(r.returncode == 1 and message.count("\n") == 1 and (extra[0] if extra else path) in message
          and all(w in message for w in words) and not left,
          f"bad input, {what}: exit 1, one line naming the file and field, no output ({message.strip()[:120]})")
r = sinksim("trace", scenario("boot.json"), "-o", "/nonexistent/dir/boot.json")
check(r.returncode == 1 and "/nonexistent/dir/boot.json" in r.stderr.decode(), "an output that cannot be written: exit 1, named")
r = sinksim("plot", scenario("boot.json"))
check(r.returncode == 1, "no -o: exit 1")

shutil.rmtree(TMP)
print(f"{len(failures)} failed" + (f", skipped: {'; '.join(skipped)}" if skipped else ""))
sys.exit(1 if failures else SKIPPED if skipped else 0)
