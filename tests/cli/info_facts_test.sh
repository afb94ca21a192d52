#!/bin/bash
# What 'tabulon info' says about a file itself (release, encoding, compression, byte order, times,
# measurement levels), on real files of each format, checked against a table and against what
# ReadStat and PSPP say of the same files.
set -u
T="${TABULON_BUILD_DIR:?}/tabulon"
F="${TABULON_SOURCE_DIR:?}/tests/fixtures"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Files PSPP writes: zlib-compressed and uncompressed system files.
printf "GET FILE='%s'.\nSAVE OUTFILE='z.zsav' /ZCOMPRESSED.\nSAVE OUTFILE='u.sav' /UNCOMPRESSED.\n" \
  "$F/spss/pyreadstat_sample.sav" > w.sps
pspp w.sps >/dev/null 2>&1 || { echo "FAIL: PSPP could not write the system files"; exit 1; }

exec /usr/bin/python3 - "$T" "$F" <<'PY'
import csv, json, re, subprocess, sys
from datetime import datetime
import openpyxl
tool, fx = sys.argv[1], sys.argv[2]
fails = 0

# A workbook whose document properties say when it was made.
wb = openpyxl.Workbook()
wb.active.append(["a", "b"])
wb.active.append([1, "x"])
wb.properties.created = datetime(2020, 1, 2, 3, 4, 5)
wb.properties.modified = datetime(2021, 6, 7, 8, 9, 10)
wb.save("p.xlsx")

# file: the facts expected (None: the file does not say; a text ending in "*" is a prefix).
TABLE = [
    ("spss/pyreadstat_sample.sav", dict(release="$FL2 (release 25.0.0)", encoding="windows-1252", compression="bytecode",
        byte_order="little-endian", created="2018-08-16 17:22:33", software="IBM SPSS STATISTICS 64-bit MS Windows 25.0.0.0")),
    ("spss/srw_all_numeric_datetime_uncompressed.sav", dict(release="$FL2*", encoding="UTF-8", compression="none",
        byte_order="little-endian", created="2015-01-05 14:21:01")),
    ("z.zsav", dict(release="$FL3*", compression="zlib", byte_order="little-endian", encoding="WINDOWS-1252")),
    ("u.sav", dict(release="$FL2*", compression="none")),
    ("spss/pyreadstat_sample.por", dict(release="version A", created="2018-12-16 17:28:21",
        software="IBM SPSS Statistics 25.0", byte_order=None)),
    ("stata/pandas_stata-compat-be-118.dta", dict(release="118", encoding="UTF-8", byte_order="big-endian",
        created="2020-05-11 15:39", compression=None)),
    ("stata/pandas_stata14_be_119.dta", dict(release="119", byte_order="big-endian", created="2015-04-28 17:58")),
    ("stata/haven_notes.dta", dict(release="115", encoding=None, byte_order="little-endian", created="2016-07-29 14:34")),
    ("stata/pandas_stata-compat-be-103.dta", dict(release="103", byte_order="big-endian", created=None)),
    ("sas/haven_hadley.sas7bdat", dict(release="9.0401M1 (32-bit)", encoding="WINDOWS-1252", compression="none",
        byte_order="little-endian", created="2015-02-09 15:55:12", software="SAS X64_8PRO")),
    ("sas/pandas_test12.sas7bdat", dict(compression="RLE", byte_order="big-endian", encoding="ISO-8859-1",
        software="SAS Linux 2.6.32-573.7.1.e x86_64")),
    ("sas/pandas_productsales.sas7bdat", dict(label="Furniture sales data", encoding="ASCII", software="SAS X64_7PRO")),
    ("sas/pandas_test9.sas7bdat", dict(release="9.0401M1 (64-bit)", compression="RLE", byte_order="little-endian")),
    ("sas/parso_54-class.sas7bdat", dict(created="2019-09-09 15:43:00", modified="2019-09-12 13:15:54", byte_order="big-endian")),
    ("xpt/polars_nhanes_ACQ_G.xpt", dict(release="version 5, SAS 9.3", byte_order="big-endian",
        created="2014-06-03 09:05:16", software="SAS 9.3 W32_7PRO")),
    ("xpt/pyreadstat_dates_v8.xpt", dict(release="version 8, SAS 9.1", created="2020-08-23 20:55:44")),
    ("p.xlsx", dict(release="OOXML", encoding="UTF-8", created="2020-01-02 03:04:05", modified="2021-06-07 08:09:10",
        byte_order=None)),
    ("sheets/edr_TestUnicodeChars.xls", dict(release="BIFF8", encoding="UTF-16LE")),
    ("sheets/readxl_biff5-label-records.xls", dict(release="BIFF5", encoding="windows-1252")),
    ("sheets/edr_Test_git_issue_466_biff3.xls", dict(release="BIFF3")),
]
KEYS = ("release", "encoding", "compression", "byte_order", "created", "modified", "software")

def info(path):
    out = subprocess.run([tool, "info", path, "--json"], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return json.loads(out.stdout)

def readstat(path):
    out = subprocess.run(["readstat", path], capture_output=True, text=True)
    return dict(re.findall(r"^([^:\n]+): (.*)$", out.stdout, re.M)) if out.returncode == 0 else {}

ALIASES = {"WINDOWS-936": "CP936", "US-ASCII": "ASCII"}
for name, want in TABLE:
    path = name if "/" not in name else f"{fx}/{name}"
    try:
        d = info(path)
    except Exception as e:
        print(f"FAIL: {name}: {e}"); fails += 1; continue
    for k in KEYS:
        if k not in d or not (d[k] is None or isinstance(d[k], str)):
            print(f"FAIL: {name}: {k} is {d.get(k)!r}, not a text or null"); fails += 1
    for k, v in want.items():
        got = d.get(k)
        ok = got == v or (isinstance(v, str) and v.endswith("*") and isinstance(got, str) and got.startswith(v[:-1]))
        if not ok:
            print(f"FAIL: {name}: {k} = {got!r}, expected {v!r}"); fails += 1
    # The same facts as ReadStat sees them, where it reads the file.
    rs = readstat(path)
    if "Byte order" in rs and rs["Byte order"] != d["byte_order"]:
        print(f"FAIL: {name}: byte order {d['byte_order']!r}, readstat {rs['Byte order']!r}"); fails += 1
    if "Text encoding" in rs and d["encoding"]:
        a, b = rs["Text encoding"].upper(), d["encoding"].upper()
        if ALIASES.get(a, a) != ALIASES.get(b, b):
            print(f"FAIL: {name}: encoding {d['encoding']!r}, readstat {rs['Text encoding']!r}"); fails += 1
    if "Timestamp" in rs and d["created"] and not name.endswith(".por"):
        t = datetime.strptime(rs["Timestamp"], "%d %b %Y %H:%M").strftime("%Y-%m-%d %H:%M")
        if not d["created"].startswith(t):
            print(f"FAIL: {name}: created {d['created']!r}, readstat {rs['Timestamp']!r}"); fails += 1
    if rs and rs.get("Table label", "") != d["label"]:
        print(f"FAIL: {name}: label {d['label']!r}, readstat {rs.get('Table label')!r}"); fails += 1
    if "Format version" in rs and name.endswith(".dta") and rs["Format version"] != d["release"]:
        print(f"FAIL: {name}: release {d['release']!r}, readstat {rs['Format version']!r}"); fails += 1
    # readstat names any compression "rows" or "binary" and says nothing of an uncompressed file.
    if rs and d["compression"] is not None and (d["compression"] != "none") != ("Compression" in rs):
        print(f"FAIL: {name}: compression {d['compression']!r}, readstat {rs.get('Compression')!r}"); fails += 1

# Measurement levels as PSPP's DISPLAY DICTIONARY shows them.
for name in ("spss/pyreadstat_sample.sav", "spss/foreign_testdata.sav", "spss/pyreadstat_ordered_category.sav"):
    path = f"{fx}/{name}"
    with open("dd.sps", "w") as f:
        f.write(f"GET FILE='{path}'.\nDISPLAY DICTIONARY.\n")
    subprocess.run(["pspp", "-O", "format=csv", "-o", "dd.csv", "dd.sps"], capture_output=True)
    lines = open("dd.csv", encoding="utf-8").read().split("Table: Variables\n")[1].split("\n\n")[0].splitlines()
    rows = list(csv.reader(lines))
    col = rows[0].index("Measurement Level")
    pspp = {r[0].lower(): r[col].lower() for r in rows[1:]}
    ours = {v["name"].lower(): v["measure"] for v in info(path)["variables"]}
    if ours != pspp:
        print(f"FAIL: {name}: measures {ours}, PSPP {pspp}"); fails += 1

# A file that records no measurement level: null, not an empty text; the text listing leaves the column out.
d = info(f"{fx}/stata/haven_notes.dta")
if any(v["measure"] is not None for v in d["variables"]):
    print("FAIL: measure of a Stata variable"); fails += 1
txt = subprocess.run([tool, "info", f"{fx}/spss/pyreadstat_sample.sav"], capture_output=True, text=True).stdout
if not re.search(r"^Compression: bytecode$", txt, re.M) or not re.search(r"^  6 +myord +float +8 +2  ordinal F8\.2 ", txt, re.M):
    print("FAIL: text listing of facts and measures"); print(txt); fails += 1
txt = subprocess.run([tool, "info", f"{fx}/stata/haven_notes.dta"], capture_output=True, text=True).stdout
if "measure" in txt or "Compression" in txt:
    print("FAIL: a column or line for what the file does not record"); print(txt); fails += 1

# Columns line up in a terminal for wide scripts, accents and long names.
import unicodedata
def width(t):
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in t)
with open("w.csv", "w", encoding="utf-8") as f:
    f.write("名前,x,a_rather_long_variable_name_here,e\u0301t\u00e9\n\"山田\",1,2,3\n")
txt = subprocess.run([tool, "info", "w.csv"], capture_output=True, text=True).stdout
starts = {width(l[:l.index(t)]) for l in txt.splitlines() if re.match(r"^  \d", l) for t in re.findall(r" (string|int) ", l)[:1]}
if len(starts) != 1 or txt.count("\n  ") < 5:
    print("FAIL: columns of the variable list do not line up"); print(txt); fails += 1

if fails:
    print(f"{fails} failure(s)"); sys.exit(1)
print("info facts passed")
PY
