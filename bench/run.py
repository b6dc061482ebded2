#!/usr/bin/env python3
"""Benchmark of relamor against the sqlite3 tool doing the same copy.

Builds synthetic old and new installations in a scratch folder, converts them
with relamor and measures wall time and peak resident memory of the relamor
process.  Each scenario is also done by one sqlite3 process with plain
ATTACH + INSERT ... SELECT into an identical fresh new database (the "floor"):
the ratio relamor/floor says how far the converter is from what the engine
itself needs for the same rows.  bench/README.md describes the scenarios, their
floors and goals, and the latest figures.

Scenarios (R = --rows, default 1000000):
  general    plain append of R rows, 7 typed columns, new columns renamed and reordered
  identical  plain append of R rows, old and new table identical
  B, C       second / first field numbered, min(R, 32767) rows
  D          first two fields numbered, the rest filled in a second pass, min(R, 32767) rows
  F          single-field copy (id only) into an empty new table, R rows
  EXCCS      R old rows overwrite a new EXCCS table pre-filled with 1000 categories
  EXCCS-null min(R, 100000) categories, one old row each after one with a Null category,
             once per copy strategy (reported as null-auto and null-rows)
  writers    the special writers of relamor2035 at --writer-rows (default 12000)
  sites      --sites site databases (default 500x10000,500x10: 500 of 10,000 rows
             and 500 of 10 rows), mode A with boards and the board fix-up; each round
             runs the floor, relamor --jobs 1 and relamor --jobs N (--jobs, default the
             number of CPUs; only --jobs 1 when N is 1), and reports both and the
             speed-up from 1 to N jobs

Every relamor run is checked: exit status 0, RelamorResult "True", and every
row and value (types included) of the written tables equal to the floor's.
A failed check stops the benchmark and keeps the scratch folder.

Usage: python3 bench/run.py [--quick] [--rows N] [--repeat 5] [--scenarios ...]
                            [--sites 500x10000,500x10] [--writer-rows 12000]
                            [--bin build/relamor | --bin-dir build] [--keep] [--floor-only]
                            [--data real,plain] [--jobs N]
The last line is:
  ratio_general_1M=<x> ratio_identical_1M=<x> ratio_exccs_1M=<x> ratio_sites_500=<x> rss_max_MiB=<y>
"""

import argparse
import hashlib
import json
import os
import shutil
import signal
import sqlite3
import statistics
import subprocess
import sys
import threading
import time

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEY_PATH = os.path.join("HKEY_LOCAL_MACHINE", "SOFTWARE", "Kestrun", "Tervanis")
MARKER = ".relamor-bench"
MAX_RUNNING_NUMBER = 32767
EXCCS_CATEGORIES = 1000
MAX_NULL_CATEGORIES = 100000               # the EXCCS-null scenario's largest category count
BOARD_TYPES = [5, 12, 18, 19, 23, 25]      # old board types of every site

ITEM_COLUMNS = [("id", "LONG"), ("qty", "LONG"), ("price", "DOUBLE"),
                ("name", "TEXT(40)"), ("note", "TEXT(80)"), ("created", "DATETIME"),
                ("active", "YESNO")]
EXCCS_COLUMNS = [("CAT", "TEXT(10)")] + ITEM_COLUMNS[1:]

# The new table of the general scenario: the old columns renamed and in
# another order (old name -> new name, new column order below).
GENERAL_NAMES = {"id": "ItemNo", "qty": "Quantity", "price": "UnitPrice", "name": "Label",
                 "note": "Remark", "created": "Created", "active": "IsActive"}
GENERAL_COLUMNS = [("Created", "DATETIME"), ("ItemNo", "LONG"), ("Label", "TEXT(40)"),
                   ("Quantity", "LONG"), ("IsActive", "YESNO"), ("UnitPrice", "DOUBLE"),
                   ("Remark", "TEXT(80)")]

# Numbering flag per mapped field of the items table, in mapping order.
MODE_FLAGS = {
    "general": [0, 0, 0, 0, 0, 0, 0],
    "identical": [0, 0, 0, 0, 0, 0, 0],
    "B": [0, -1, 0, 0, 0, 0, 0],
    "C": [-1, 0, 0, 0, 0, 0, 0],
    "D": [-1, -1, 0, 0, 0, 0, 0],
    "F": [0],
}
NUMBERED_MODES = ("B", "C", "D")
SCENARIOS = ["general", "identical", "B", "C", "D", "F", "EXCCS", "EXCCS-null", "writers",
             "sites"]
MODE_SCENARIOS = SCENARIOS[:-2]

# Goal per scenario: the largest ratio to the floor the issue accepts.
GOALS = {"general": 1.25, "identical": 0.9, "B": 1.3, "C": 1.3, "D": 1.4, "F": 1.2,
         "EXCCS": 1.5, "writers": 1.5, "sites": 1.3, "sites-small": 1.25}
# The site scenarios at --jobs N > 1: the large sites must gain from the
# workers; the small ones, whose time is the fixed cost per database, must not
# lose by them.
JOBS_GOALS = {"sites": 0.75, "sites-small": 1.25}
# The identical scenario's second floor, SQLite's record copy of identical
# tables (INSERT INTO t SELECT * FROM old.t), and its goal.
RECORD_COPY_GOAL = 1.05
# relamor's CPU time (user and system, every thread) against the floor's, for
# every scenario with a goal: none of them needs a value converted.
CPU_GOAL = 1.5
SHORT_SECONDS = 0.25     # measurements whose floor run is shorter get --short-repeat runs
SMALL_SITE_ROWS = 10     # sites of at most this many rows measure the fixed cost

# Values of row i (1-based) of a generated table; :base offsets the ids.
# Two data sets (--data): "plain", ASCII texts well below their columns'
# lengths, every date with a time, no Null, positive reals; and "real", like
# a real installation's: accented names and notes at their columns' full
# length in characters (more bytes than characters), Nulls in five columns,
# dates with and without a time, negative reals with and without a fraction.
ROW_VALUES_SQL = {"plain": """
       (i * 7919) % 10000,
       ((i * 104729) % 1000000) / 100.0,
       'Item ' || i,
       'Delivery note ' || i || ' for depot ' || (i % 97) || ', batch ' || (i % 13),
       datetime(1577836800 + (i * 3571) % 157680000, 'unixepoch'),
       CASE WHEN i % 3 = 0 THEN 0 ELSE -1 END
""", "real": """
       CASE WHEN i % 11 = 0 THEN NULL ELSE (i * 7919) % 10000 - 2500 END,
       CASE WHEN i % 13 = 0 THEN NULL
            ELSE ((i * 104729) % 1000000 - 300000) / CASE WHEN i % 4 = 0 THEN 1.0 ELSE 100.0 END
       END,
       CASE WHEN i % 5 = 0 THEN 'Item ' || i
            ELSE substr(i || ' Zoë Ångström-Müller, Gärtnerei Øresund Łódź Čapek',
                        1, CASE WHEN i % 3 = 0 THEN 24 ELSE 40 END) END,
       CASE WHEN i % 4 = 0 THEN NULL
            ELSE substr('Lieferschein ' || i || ' für Depot ' || (i % 97) ||
                        ' – Straße Brückenkopf, Größe Ü, Schön, Crème brûlée, Déjà vu, Smørrebrød',
                        1, CASE WHEN i % 2 = 0 THEN 80 ELSE 50 END) END,
       CASE WHEN i % 17 = 0 THEN NULL
            WHEN i % 2 = 0 THEN date(1577836800 + (i * 3571) % 157680000, 'unixepoch')
            ELSE datetime(1577836800 + (i * 3571) % 157680000, 'unixepoch') END,
       CASE WHEN i % 19 = 0 THEN NULL WHEN i % 3 = 0 THEN 0 ELSE -1 END
"""}
DATA_SETS = ["real", "plain"]
SEQUENCE_CTE = ("WITH RECURSIVE seq(i) AS "
                "(SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < :n) ")


class BenchError(Exception):
    pass


# --------------------------------------------------------------------------
# Database generation

def create_table_sql(table, columns, key=None):
    cols = ", ".join(
        f"{name} {kind}{' PRIMARY KEY' if name == key else ''}" for name, kind in columns)
    return f"CREATE TABLE {table} ({cols});"


def execute(path, script, params=None, many=None):
    """Runs DDL `script`, then optionally one parameterised statement."""
    con = sqlite3.connect(path, isolation_level=None)
    try:
        # Generation only: no journal and no syncing (neither is persistent).
        con.executescript("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;\n" + script)
        if many is not None:
            con.execute("BEGIN")
            sql, values = many
            con.execute(sql, values)
            con.execute("COMMIT")
    finally:
        con.close()


def fill_items(path, table, rows, data, base=0):
    cols = ", ".join(name for name, _ in ITEM_COLUMNS)
    sql = (f"INSERT INTO {table} ({cols}) {SEQUENCE_CTE}"
           f"SELECT :base + i, {ROW_VALUES_SQL[data]} FROM seq")
    execute(path, "", many=(sql, {"n": rows, "base": base}))


def fill_old_exccs(path, rows, data):
    cols = ", ".join(name for name, _ in EXCCS_COLUMNS)
    sql = (f"INSERT INTO EXCCS ({cols}) {SEQUENCE_CTE}"
           f"SELECT printf('C%04d', i % {EXCCS_CATEGORIES}), {ROW_VALUES_SQL[data]} FROM seq")
    execute(path, "", many=(sql, {"n": rows}))


OLD_MAIN_SCHEMA = """
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.5', 0, 1);
CREATE TABLE sites (siteID LONG, Name TEXT(50), region TEXT(20));
CREATE TABLE customers (id LONG, siteID LONG, Name TEXT(50));
"""

NEW_RELEASES = """
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 1);
INSERT INTO qorreleases VALUES (2, '3.5', 0, 2);
INSERT INTO qorreleases VALUES (3, '4.0', 0, 3);
CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                     newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO,
                     releaseversion LONG);
"""

BOARDS_SCHEMA = "CREATE TABLE boards (boardID LONG, boardtype LONG, Name TEXT(50));"


def export_rows(sno, table, fields, flags, new_fields=None):
    return "".join(
        f"INSERT INTO export VALUES ({sno}, '{table}', '{field}', '{table}', '{new}', "
        f"{flag}, 1);\n" for field, new, flag in zip(fields, new_fields or fields, flags))


def make_stat(path):
    rows = "".join(f"INSERT INTO boards VALUES ({t}, 'Board type {t}');\n"
                   for t in range(1, 31))
    execute(path, 'CREATE TABLE boards ("index" LONG, name TEXT(50));\n' + rows)


def make_old_main(folder, rows, data):
    """Old release 3.5 main database: no sites, `items` and `EXCCS` of `rows` rows."""
    os.makedirs(folder)
    path = os.path.join(folder, "qorsite.mdb")
    execute(path, OLD_MAIN_SCHEMA + create_table_sql("items", ITEM_COLUMNS)
            + create_table_sql("EXCCS", EXCCS_COLUMNS))
    fill_items(path, "items", rows, data)
    fill_old_exccs(path, rows, data)


def make_new_for_mode(folder, scenario, data):
    """New installation whose mapping copies `items` (or `EXCCS`) in one mode;
    with the real data the general scenario's new table has no key."""
    os.makedirs(folder)
    path = os.path.join(folder, "qorsite.mdb")
    if scenario == "EXCCS":
        fields = [name for name, _ in EXCCS_COLUMNS]
        script = (NEW_RELEASES + export_rows(1, "EXCCS", fields, [0] * len(fields))
                  + create_table_sql("EXCCS", EXCCS_COLUMNS) + BOARDS_SCHEMA)
        cols = ", ".join(fields)
        prefill = (f"INSERT INTO EXCCS ({cols}) {SEQUENCE_CTE}"
                   "SELECT printf('C%04d', i - 1), 0, 0.0, 'Category ' || i, '', "
                   "'2000-01-01 00:00:00', 0 FROM seq")
        execute(path, script, many=(prefill, {"n": EXCCS_CATEGORIES}))
    elif scenario == "general":
        fields = [name for name, _ in ITEM_COLUMNS]
        execute(path, NEW_RELEASES
                + export_rows(1, "items", fields, MODE_FLAGS[scenario],
                              [GENERAL_NAMES[f] for f in fields])
                + create_table_sql("items", GENERAL_COLUMNS,
                                   key=None if data == "real" else "ItemNo")
                + BOARDS_SCHEMA)
    else:
        flags = MODE_FLAGS[scenario]
        fields = [name for name, _ in ITEM_COLUMNS][:len(flags)]
        key = None if scenario == "identical" else "id"
        execute(path, NEW_RELEASES + export_rows(1, "items", fields, flags)
                + create_table_sql("items", ITEM_COLUMNS, key=key) + BOARDS_SCHEMA)
    shutil.copyfile(path, os.path.join(folder, "qordxxx.mdb"))
    make_stat(os.path.join(folder, "qorstat.mdb"))


def make_exccs_null(old, new, categories, data):
    """Old main database whose EXCCS holds a row with a Null category, then one
    row per category; new main database whose EXCCS holds the empty category
    (which the Null one finds) and every category, in another letter case."""
    os.makedirs(old)
    os.makedirs(new)
    cols = ", ".join(name for name, _ in EXCCS_COLUMNS)
    old_main = os.path.join(old, "qorsite.mdb")
    execute(old_main, OLD_MAIN_SCHEMA + create_table_sql("EXCCS", EXCCS_COLUMNS)
            + f"INSERT INTO EXCCS ({cols}) SELECT NULL, {ROW_VALUES_SQL[data]} FROM (SELECT 0 AS i);")
    execute(old_main, "", many=(f"INSERT INTO EXCCS ({cols}) {SEQUENCE_CTE}"
                                f"SELECT printf('K%06d', i), {ROW_VALUES_SQL[data]} FROM seq",
                                {"n": categories}))
    path = os.path.join(new, "qorsite.mdb")
    fields = [name for name, _ in EXCCS_COLUMNS]
    execute(path, NEW_RELEASES + export_rows(1, "EXCCS", fields, [0] * len(fields))
            + create_table_sql("EXCCS", EXCCS_COLUMNS) + BOARDS_SCHEMA
            + f"INSERT INTO EXCCS ({cols}) VALUES ('', 0, 0.0, 'empty', '', "
            "'2000-01-01 00:00:00', 0);")
    execute(path, "", many=(f"INSERT INTO EXCCS ({cols}) {SEQUENCE_CTE}"
                            "SELECT printf('k%06d', i), 0, 0.0, 'Category ' || i, '', "
                            "'2000-01-01 00:00:00', 0 FROM seq", {"n": categories}))
    shutil.copyfile(path, os.path.join(new, "qordxxx.mdb"))
    make_stat(os.path.join(new, "qorstat.mdb"))


def exccs_null_floor_script(old_main):
    """Each old row overwrites the first new row of its category (letter case
    ignored, Null as the empty text), CAT included."""
    sets = ", ".join(f"{name} = o.{name}" for name, _ in EXCCS_COLUMNS)
    return (f"ATTACH '{old_main}' AS old;\nBEGIN;\n"
            f"UPDATE main.EXCCS SET {sets} FROM old.EXCCS AS o "
            "WHERE EXCCS.CAT = coalesce(o.CAT, '') COLLATE NOCASE;\nCOMMIT;\n")


def site_name(number):
    return f"qord{number:03d}"


def make_sites(old, new, sites, rows, data):
    """Old installation with `sites` site databases of `rows` items and a few
    boards each; new installation whose template maps items and boards."""
    os.makedirs(old)
    main = os.path.join(old, "qorsite.mdb")
    execute(main, OLD_MAIN_SCHEMA, many=(
        f"INSERT INTO sites {SEQUENCE_CTE}"
        "SELECT i, 'Site ' || i, 'Region ' || (i % 7) FROM seq", {"n": sites}))
    execute(main, "", many=(
        f"INSERT INTO customers {SEQUENCE_CTE}"
        "SELECT 1000 + i, i, 'Customer ' || i FROM seq", {"n": sites}))
    boards = "".join(f"INSERT INTO boards VALUES ({n}, {t}, 'Old board {t}');\n"
                     for n, t in enumerate(BOARD_TYPES, 1))
    for number in range(1, sites + 1):
        path = os.path.join(old, site_name(number) + ".mdb")
        execute(path, create_table_sql("items", ITEM_COLUMNS) + BOARDS_SCHEMA + boards)
        fill_items(path, "items", rows, data, base=number * 100000)

    os.makedirs(new)
    site_fields = ["siteID", "Name", "region"]
    execute(os.path.join(new, "qorsite.mdb"),
            NEW_RELEASES + export_rows(1, "sites", site_fields, [0, 0, 0])
            + "CREATE TABLE sites (siteID LONG PRIMARY KEY, Name TEXT(50), region TEXT(20));"
            + BOARDS_SCHEMA)
    item_fields = [name for name, _ in ITEM_COLUMNS]
    execute(os.path.join(new, "qordxxx.mdb"),
            NEW_RELEASES + export_rows(1, "items", item_fields, [0] * 7)
            + export_rows(2, "boards", ["boardID", "boardtype", "Name"], [0, 0, 0])
            + create_table_sql("items", ITEM_COLUMNS, key="id") + BOARDS_SCHEMA)
    make_stat(os.path.join(new, "qorstat.mdb"))


# --------------------------------------------------------------------------
# Floor statements

def floor_select(scenario):
    """Column list and select list the floor uses for a mode scenario."""
    flags = MODE_FLAGS[scenario]
    names = [name for name, _ in ITEM_COLUMNS][:len(flags)]
    exprs = ["row_number() OVER (ORDER BY rowid)" if flag == -1 else name
             for name, flag in zip(names, flags)]
    if scenario == "general":
        names = [GENERAL_NAMES[name] for name in names]
    return ", ".join(names), ", ".join(exprs)


def floor_script(scenario, old_main):
    lines = [f"ATTACH '{old_main}' AS old;", "BEGIN;"]
    if scenario == "EXCCS":
        # Each old row overwrites the row of its category, so the last old row
        # of a category decides; the floor writes that row once per category.
        sets = ", ".join(f"{name} = o.{name}" for name, _ in EXCCS_COLUMNS[1:])
        lines.append(
            f"UPDATE main.EXCCS SET {sets} FROM (SELECT * FROM old.EXCCS WHERE rowid IN "
            "(SELECT max(rowid) FROM old.EXCCS GROUP BY CAT)) AS o WHERE EXCCS.CAT = o.CAT;")
    else:
        # With a column list SQLite converts every row (no record copy), as a
        # plain INSERT ... SELECT does.
        cols, exprs = floor_select(scenario)
        lines.append(f"INSERT INTO main.items ({cols}) SELECT {exprs} FROM old.items;")
    lines.append("COMMIT;")
    return "\n".join(lines) + "\n"


def record_copy_script(old_main):
    """The identical scenario's second floor: SQLite's record copy, which it
    makes of INSERT INTO t SELECT * FROM old.t when the tables are alike."""
    return (f"ATTACH '{old_main}' AS old;\nBEGIN;\n"
            "INSERT INTO main.items SELECT * FROM old.items;\nCOMMIT;\n")


def sites_floor_script(old, floor_new, sites):
    """One sqlite3 process doing the site scenario's work: the main database's
    sites, then per site a copy of the template (VACUUM INTO, not synced), and
    in one transaction the items and boards copy and the board fix-up (shift
    types above 18, names from qorstat.mdb)."""
    item_cols = ", ".join(name for name, _ in ITEM_COLUMNS)
    lines = [f"ATTACH '{os.path.join(old, 'qorsite.mdb')}' AS old;",
             "BEGIN;",
             "INSERT INTO main.sites (siteID, Name, region) "
             "SELECT siteID, Name, region FROM old.sites;",
             "COMMIT;",
             "DETACH old;",
             f"ATTACH '{os.path.join(floor_new, 'qordxxx.mdb')}' AS tpl;",
             # VACUUM INTO syncs its output as the source's setting says: off
             # makes it a plain file copy, as cp would do it.
             "PRAGMA tpl.synchronous = OFF;",
             f"ATTACH '{os.path.join(floor_new, 'qorstat.mdb')}' AS stat;"]
    for number in range(1, sites + 1):
        name = site_name(number) + ".mdb"
        lines += [
            f"VACUUM tpl INTO '{os.path.join(floor_new, name)}';",
            f"ATTACH '{os.path.join(floor_new, name)}' AS n;",
            f"ATTACH '{os.path.join(old, name)}' AS o;",
            "BEGIN;",
            f"INSERT INTO n.items ({item_cols}) SELECT {item_cols} FROM o.items;",
            "INSERT INTO n.boards (boardID, boardtype, Name) "
            "SELECT boardID, boardtype, Name FROM o.boards;",
            "UPDATE n.boards SET boardtype = boardtype - 1 WHERE boardtype > 18;",
            'UPDATE n.boards SET Name = (SELECT s.name FROM stat.boards AS s '
            'WHERE s."index" = boardtype) '
            'WHERE boardtype IN (SELECT "index" FROM stat.boards);',
            "COMMIT;",
            "DETACH n;",
            "DETACH o;"]
    return "\n".join(lines) + "\n"


# --------------------------------------------------------------------------
# Special writers of relamor2035: a release 2.0 main database

# Slot codes (slot1..slot5) of old channel row i (1-based) cycle through these
# patterns: every 4 rows give 10 channels, 4 modem (2), 4 IP (3), 2 serial (1).
CHANNEL_PATTERNS = [(2, 3, 0, 0, 0), (2, 0, 1, 0, 0), (3, 2, 0, 3, 0), (0, 1, 2, 0, 3)]
# Channel numbers are 16-bit: 2.5 channels per old row stay below 32767 up to
# this many old channel rows.
MAX_WRITER_ROWS = MAX_RUNNING_NUMBER * len(CHANNEL_PATTERNS) // sum(
    sum(1 for code in p if code) for p in CHANNEL_PATTERNS)
# Prompt pairs of old prompt row j: PROMPT_PAIRS[j % 5] (1.6 on average).
PROMPT_PAIRS = [1, 2, 3, 0, 2]
WRITERS = ["channel", "modem", "serial", "prompt", "Customers", "IP", "all", "IP-random"]
IP_SIZED_WRITERS = ("IP", "all", "IP-random")     # sized by --writer-ip-max

OLD20_SCHEMA = """
CREATE TABLE sites (id LONG, siteName TEXT(50), city TEXT(50), active YESNO);
CREATE TABLE customers (id LONG, siteID LONG, name TEXT(50), address TEXT(80), city TEXT(50),
                        region TEXT(50), zipCode TEXT(10), country TEXT(50));
CREATE TABLE channel (id LONG, siteID LONG, location TEXT(50), installed DATETIME,
                      technician TEXT(50), remarks TEXT(100), active YESNO,
                      slot1 SHORT, slot2 SHORT, slot3 SHORT, slot4 SHORT, slot5 SHORT);
CREATE TABLE modemconnection (id LONG, siteID LONG, phoneNumber TEXT(30), initString TEXT(50),
                              baudRate LONG);
CREATE TABLE ipconnection (id LONG, siteID LONG, ipAddress TEXT(15), port LONG);
CREATE TABLE ipconnection_shuffled (id LONG, siteID LONG, ipAddress TEXT(15), port LONG);
CREATE TABLE serialconnection (id LONG, siteID LONG, comPort TEXT(10), baudRate LONG);
CREATE TABLE prompt (id LONG, siteID LONG, name TEXT(50), timeout LONG,
                     expect1 TEXT(50), send1 TEXT(50), expect2 TEXT(50), send2 TEXT(50),
                     expect3 TEXT(50), send3 TEXT(50), expect4 TEXT(50), send4 TEXT(50),
                     expect5 TEXT(50), send5 TEXT(50));
"""

NEW20_SCHEMA = """
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.5', 0, 214);
CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                     newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO,
                     releaseversion LONG);
CREATE TABLE customers (customerID SHORT PRIMARY KEY, Name TEXT(50), address TEXT(80),
                        city TEXT(50), region TEXT(50), zipcode TEXT(10), country TEXT(50));
CREATE TABLE channel (channelID LONG PRIMARY KEY, siteID LONG, channelName TEXT(50),
                      channeltype TEXT(2));
CREATE TABLE modemconnection (channelID LONG, modemID LONG PRIMARY KEY, phoneNumber TEXT(30),
                              initString TEXT(50), baudRate LONG);
CREATE TABLE ipconnection (ipConnectionID LONG PRIMARY KEY, channelID LONG,
                           ipAddress TEXT(15), port LONG DEFAULT 5000);
CREATE TABLE serialconnection (serialConnectionID LONG PRIMARY KEY, channelID LONG,
                               comPort TEXT(10));
CREATE TABLE prompt (promptID LONG PRIMARY KEY, modemID LONG, expectText TEXT(50),
                     sendText TEXT(50));
"""

# Per writer: sno, old table, new table (as the dispatch names it), mapping
# (old field, new field), the tables it writes, the tables that must already
# be converted (pre-filled by the floor's statements when the installation is
# generated).
WRITER_MAPPINGS = {
    "Customers": (10, "customers", "Customers",
                  [("id", "customerID"), ("name", "Name"), ("address", "address")]),
    "channel": (30, "channel", "channel",
                [("id", "channelID"), ("siteID", "siteID"), ("location", "channelName[1]"),
                 ("slot1", "channeltype")]),
    "modem": (40, "modemconnection", "modemconnection",
              [("id", "channelID"), ("id", "modemID"), ("phoneNumber", "phoneNumber"),
               ("initString", "initString"), ("baudRate", "baudRate")]),
    "IP": (50, "ipconnection", "ipconnection",
           [("id", "channelID"), ("id", "ipConnectionID"), ("ipAddress", "ipAddress")]),
    "IP-random": (50, "ipconnection_shuffled", "ipconnection",
                    [("id", "channelID"), ("id", "ipConnectionID"), ("ipAddress", "ipAddress")]),
    "serial": (60, "serialconnection", "serialconnection",
               [("id", "channelID"), ("id", "serialConnectionID"), ("comPort", "comPort")]),
    "prompt": (70, "prompt", "prompt",
               [("id", "promptID"), ("id", "modemID"), ("expect1", "expectText"),
                ("send1", "sendText")]),
}
WRITER_TABLES = {"Customers": ["customers"], "channel": ["channel"],
                 "modem": ["modemconnection"], "IP": ["ipconnection"],
                 "serial": ["serialconnection"], "prompt": ["prompt"],
                 "IP-random": ["ipconnection"]}
WRITER_TABLES["all"] = [t for w in ("Customers", "channel", "modem", "IP", "serial", "prompt")
                        for t in WRITER_TABLES[w]]
WRITER_PREREQUISITES = {"modem": ["channel"], "IP": ["channel"], "IP-random": ["channel"],
                        "serial": ["channel"],
                        "prompt": ["channel", "modem"]}
# The new tables whose writer has a set-based shortcut.
WRITERS_WITH_SHORTCUT = ("customers", "modemconnection", "ipconnection", "serialconnection")
WRITER_PLAN = {"all": ["Customers", "channel", "modem", "IP", "serial", "prompt"]}


def slot_case(slot):
    """SQL for the code of `slot` (0-based) of old channel row i."""
    arms = " ".join(f"WHEN {k} THEN {p[slot]}" for k, p in enumerate(CHANNEL_PATTERNS))
    return f"CASE (i - 1) % {len(CHANNEL_PATTERNS)} {arms} END"


def rows_of_kind(code):
    """SQL selecting i for every old channel row with a slot of `code`."""
    patterns = [str(k) for k, p in enumerate(CHANNEL_PATTERNS) if code in p]
    return f"(i - 1) % {len(CHANNEL_PATTERNS)} IN ({', '.join(patterns)})"


def customer_permutation(rows):
    """A multiplier m coprime with rows: id of old customer row n is
    ((n - 1) * m) % rows + 1, so the ids come in scrambled order."""
    for m in (7919, 7907, 7901):
        if rows % m:
            return m
    return 1


def make_old20(folder, rows, data):
    """Old release 2.0 main database with `rows` channel rows (one site each,
    siteID = i), their connection rows and prompts, and `rows` customers."""
    os.makedirs(folder)
    path = os.path.join(folder, "qorsite.mdb")
    execute(path, OLD20_SCHEMA)
    slots = ", ".join(slot_case(s) for s in range(5))
    execute(path, "", many=(
        f"INSERT INTO channel {SEQUENCE_CTE}"
        "SELECT i, i, 'Location ' || i, date(10000 + i % 3000), 'Technician ' || (i % 17), "
        f"CASE WHEN i % 3 = 0 THEN NULL ELSE 'Remark ' || i END, -1, {slots} FROM seq",
        {"n": rows}))
    # One modem row per old channel row (every pattern has one modem slot).
    execute(path, "", many=(
        f"INSERT INTO modemconnection {SEQUENCE_CTE}"
        "SELECT i, i, printf('+31 10 555 %05d', i), "
        "CASE i % 3 WHEN 0 THEN 'ATZ' WHEN 1 THEN 'AT&F' ELSE 'ATZ S0=1' END, "
        "9600 * (1 + i % 4) FROM seq", {"n": rows}))
    # The prompts of the modem rows: PROMPT_PAIRS[j % 5] pairs, an absent pair
    # after them ('' or Null) and one more that is never read; some second
    # texts are Null.
    cols = []
    pairs = "CASE i % 5 " + " ".join(
        f"WHEN {k} THEN {n}" for k, n in enumerate(PROMPT_PAIRS)) + " END"
    for k in range(1, 6):
        cols.append(f"CASE WHEN {k} <= p THEN 'expect ' || {k} || ' of ' || i "
                    f"WHEN {k} = p + 1 THEN CASE WHEN i % 2 = 0 THEN '' END "
                    f"WHEN {k} = p + 2 THEN 'after the gap' END")
        cols.append(f"CASE WHEN {k} <= p AND (i + {k}) % 4 <> 0 THEN 'send ' || {k} || '/' || i "
                    "END")
    execute(path, "", many=(
        f"INSERT INTO prompt {SEQUENCE_CTE}"
        f"SELECT i, i, 'Dial-in ' || i, 30 + i % 60, {', '.join(cols)} "
        f"FROM (SELECT i, {pairs} AS p FROM seq)", {"n": rows}))
    # IP rows in site order: none for sites i % 7 = 0, two adjacent rows (the
    # later decides) for sites i % 5 = 0.
    execute(path, "", many=(
        f"INSERT INTO ipconnection {SEQUENCE_CTE}"
        "SELECT row_number() OVER (ORDER BY i, n), i, "
        "printf('10.%d.%d.%d', i / 256 % 256, i % 256, n), 5000 + n FROM "
        f"(SELECT i, 1 AS n FROM seq WHERE {rows_of_kind(3)} AND i % 7 <> 0 "
        f" UNION ALL SELECT i, 2 FROM seq WHERE {rows_of_kind(3)} AND i % 7 <> 0 AND i % 5 = 0) "
        "ORDER BY i, n", {"n": rows}))
    # The same rows in scrambled order, for the IP writer's worst case.
    ip_rows = query(path, "SELECT count(*) FROM ipconnection")[0][0]
    execute(path, "", many=(
        "INSERT INTO ipconnection_shuffled SELECT * FROM ipconnection "
        f"ORDER BY (id - 1) * {customer_permutation(ip_rows)} % :n", {"n": max(ip_rows, 1)}))
    execute(path, "", many=(
        f"INSERT INTO serialconnection {SEQUENCE_CTE}"
        "SELECT row_number() OVER (ORDER BY i), i, 'COM' || (1 + i % 8), 9600 FROM seq "
        f"WHERE {rows_of_kind(1)} ORDER BY i", {"n": rows}))
    # Customers: ids 1..rows in scrambled order, a second (billing) row for
    # every third id after all of them; the first row of an id decides.
    m = customer_permutation(rows)
    execute(path, "", many=(
        f"INSERT INTO customers {SEQUENCE_CTE}"
        "SELECT id, id, CASE WHEN n = 1 THEN 'Customer ' ELSE 'Billing ' END || id, "
        + ("'Street ' || id, "
           if data == "plain" else
           # Accented addresses at the column's full length, some Null.
           "CASE WHEN id % 6 = 0 THEN NULL ELSE substr('Straße ' || id || ' – Große "
           "Brückengasse, Ærøskøbing, Île-de-Bréhat, Łódź, Čeština, Smørrebrød', 1, 80) END, ")
        + "'City ' || (id % 50), CASE WHEN id % 4 = 0 THEN NULL ELSE "
        "'Region ' || (id % 12) END, printf('%04d AB', id % 10000), 'Netherlands' FROM "
        f"(SELECT 1 AS n, i, (i - 1) * {m} % :n + 1 AS id FROM seq "
        f" UNION ALL SELECT 2, i, (i - 1) * {m} % :n + 1 FROM seq "
        f"  WHERE ((i - 1) * {m} % :n + 1) % 3 = 0) ORDER BY n, i", {"n": rows}))


def writer_counts(rows):
    """Rows each writer writes for `rows` old channel rows."""
    kinds = {1: 0, 2: 0, 3: 0}
    for i in range(1, rows + 1):
        for code in CHANNEL_PATTERNS[(i - 1) % len(CHANNEL_PATTERNS)]:
            if code:
                kinds[code] += 1
    counts = {"channel": sum(kinds.values()), "modem": kinds[2], "IP": kinds[3],
              "serial": kinds[1], "Customers": rows,
              "prompt": sum(PROMPT_PAIRS[j % 5] for j in range(1, rows + 1))}
    counts["all"] = sum(counts.values())
    counts["IP-random"] = counts["IP"]
    return counts


def writer_floor_statements(writer):
    """Set-based SQL producing what `writer` writes (main = new, old = old)."""
    def kind(code):
        return (f"(SELECT channelID, siteID, row_number() OVER (ORDER BY rowid) AS k "
                f"FROM main.channel WHERE channeltype = '{code}')")

    def by_position(table, columns):
        return (f"(SELECT {', '.join(columns)}, row_number() OVER (ORDER BY rowid) AS n "
                f"FROM old.{table})")

    if writer == "all":
        return [s for w in WRITER_PLAN["all"] for s in writer_floor_statements(w)]
    if writer == "Customers":
        return ["INSERT INTO main.customers (customerID, Name, address, city, region, zipcode, "
                "country) SELECT id, name, address, city, region, zipCode, country "
                "FROM old.customers WHERE rowid IN "
                "(SELECT min(rowid) FROM old.customers GROUP BY id) ORDER BY rowid;"]
    if writer == "channel":
        slots = " UNION ALL ".join(
            f"SELECT rowid AS r, {s} AS slot, siteID, slot{s} AS code FROM old.channel"
            for s in range(1, 6))
        return ["INSERT INTO main.channel (channelID, siteID, channelName, channeltype) "
                "SELECT n, siteID, 'Channel' || n, "
                "CASE code WHEN 1 THEN '1' WHEN 2 THEN '2' WHEN 3 THEN '3' END "
                "FROM (SELECT row_number() OVER (ORDER BY r, slot) AS n, siteID, code "
                f"FROM ({slots}) WHERE code <> 0) ORDER BY n;"]
    if writer == "modem":
        return ["INSERT INTO main.modemconnection (channelID, modemID, phoneNumber, initString, "
                "baudRate) SELECT c.channelID, c.k, o.phoneNumber, o.initString, o.baudRate "
                f"FROM {kind(2)} AS c LEFT JOIN "
                f"{by_position('modemconnection', ['phoneNumber', 'initString', 'baudRate'])} "
                "AS o ON o.n = c.k ORDER BY c.k;"]
    if writer == "serial":
        return ["INSERT INTO main.serialconnection (serialConnectionID, channelID, comPort) "
                f"SELECT c.k, c.channelID, o.comPort FROM {kind(1)} AS c LEFT JOIN "
                f"{by_position('serialconnection', ['comPort'])} AS o ON o.n = c.k "
                "ORDER BY c.k;"]
    if writer in ("IP", "IP-random"):
        # The last old row of a site decides.
        old_table = WRITER_MAPPINGS[writer][1]
        return ["WITH last AS (SELECT siteID, ipAddress FROM (SELECT siteID, ipAddress, "
                "row_number() OVER (PARTITION BY siteID ORDER BY rowid DESC) AS rn "
                f"FROM old.{old_table}) WHERE rn = 1) "
                "INSERT INTO main.ipconnection (ipConnectionID, channelID, ipAddress) "
                f"SELECT c.k, c.channelID, last.ipAddress FROM {kind(3)} AS c "
                "LEFT JOIN last ON last.siteID = c.siteID ORDER BY c.k;"]
    if writer == "prompt":
        present = []
        members = []
        for k in range(1, 6):
            present.append(f"coalesce(expect{k}, '') <> ''")
            members.append(f"SELECT r, pos, {k} AS j, expect{k} AS e, send{k} AS s FROM p "
                           f"WHERE {' AND '.join(present)}")
        return ["WITH m AS (SELECT modemID, row_number() OVER (ORDER BY rowid) AS pos "
                "FROM main.modemconnection), "
                "p AS (SELECT *, rowid AS r, row_number() OVER (ORDER BY rowid) AS pos "
                "FROM old.prompt), "
                f"pairs AS ({' UNION ALL '.join(members)}) "
                "INSERT INTO main.prompt (promptID, modemID, expectText, sendText) "
                "SELECT row_number() OVER (ORDER BY pairs.r, pairs.j), m.modemID, e, "
                "coalesce(s, '') FROM pairs JOIN m ON m.pos = pairs.pos "
                "ORDER BY pairs.r, pairs.j;"]
    raise ValueError(writer)


def writer_floor_script(writer, old_main):
    return "\n".join([f"ATTACH '{old_main}' AS old;", "BEGIN;"]
                     + writer_floor_statements(writer) + ["COMMIT;"]) + "\n"


def make_new20(folder, writer, old_main):
    """New release 2.0 installation whose `export` plans only `writer`'s
    tables ("all": every writer); the tables the writer reads are converted
    already."""
    os.makedirs(folder)
    path = os.path.join(folder, "qorsite.mdb")
    mapping = ""
    for w in WRITER_PLAN.get(writer, [writer]):
        sno, old_table, new_table, fields = WRITER_MAPPINGS[w]
        mapping += "".join(
            f"INSERT INTO export VALUES ({sno}, '{old_table}', '{old_field}', '{new_table}', "
            f"'{new_field}', 0, 1);\n" for old_field, new_field in fields)
    execute(path, NEW20_SCHEMA + mapping)
    prefill = [s for w in WRITER_PREREQUISITES.get(writer, [])
               for s in writer_floor_statements(w)]
    if prefill:
        con = sqlite3.connect(path, isolation_level=None)
        try:
            con.execute("ATTACH ? AS old", (old_main,))
            con.execute("BEGIN")
            for statement in prefill:
                con.execute(statement)
            con.execute("COMMIT")
        finally:
            con.close()


# --------------------------------------------------------------------------
# Measurement

# A process started straight from this script inherits the script's own peak
# resident set (Linux keeps the peak of the memory image replaced by exec), so
# the measured program is started by a short-lived sh that forks it and exits.
# This script is the program's subreaper: the orphan is handed to it, and
# os.wait4 returns the program's own rusage.
LAUNCHER = 'i=$1 o=$2 e=$3; shift 3; "$@" <"$i" >"$o" 2>"$e" & echo $!'
PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


class Measured(tuple):
    """A run's (wall seconds, peak RSS MiB), with its CPU seconds (user and
    system, every thread) as `cpu`."""

    def __new__(cls, seconds, rss, cpu):
        measured = super().__new__(cls, (seconds, rss))
        measured.cpu = cpu
        return measured


def measured_run(argv, workdir, env=None, stdin_text=None, timeout=3600):
    """Runs argv to its end; returns (exit status, wall seconds, peak RSS MiB)
    and, as a fourth item, its CPU seconds. Standard input, output and error
    go to files in workdir."""
    stdin_path = os.path.join(workdir, "stdin.txt")
    with open(stdin_path, "w") as f:
        f.write(stdin_text or "")
    timed_out = []
    # Dirty pages of earlier runs and copies are written out first, so that
    # the kernel's writeback of them does not land inside this measurement.
    os.sync()
    start = time.perf_counter()
    streams = [stdin_path] + [os.path.join(workdir, n) for n in ("stdout.txt", "stderr.txt")]
    launcher = subprocess.run(["/bin/sh", "-c", LAUNCHER, "sh"] + streams + argv, env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, check=True)
    pid = int(launcher.stdout)

    def kill():
        timed_out.append(True)
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    timer = threading.Timer(timeout, kill)
    timer.start()
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    timer.cancel()
    if timed_out:
        raise BenchError(f"{argv[0]} did not finish within {timeout} s (killed)")
    return (os.waitstatus_to_exitcode(status), elapsed, usage.ru_maxrss / 1024.0,
            usage.ru_utime + usage.ru_stime)


def table_paths(report, trace):
    """The way each table of a relamor run went, {(database, table): (mode,
    path)}, path "set-based", "rows" or "unknown": the report's key `path`
    where the report has it, otherwise the RELAMOR_TRACE_PATHS lines of the
    run's standard error, which say it for the table copies (modes A to G)."""
    traced = {}
    if os.path.exists(trace):
        with open(trace, errors="replace") as f:
            for line in f:
                parts = line.split()
                if line.startswith("relamor path: ") and len(parts) >= 6:
                    traced[(parts[2], " ".join(parts[3:-2]))] = parts[-1]
    paths = {}
    with open(report) as f:
        databases = json.load(f)["databases"]
    for database in databases:
        for table in database["tables"]:
            key = (database["name"], table["name"])
            mode = table["mode"]
            if "path" in table:
                path = table["path"]
            elif len(mode) == 1 and mode in "ABCDEFG":
                path = traced.get(key, "unknown")
            else:
                path = "unknown"
            paths[key] = (mode, path)
    return paths


def tail(path, lines=15):
    try:
        with open(path, "r", errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return "(missing)\n"


def query(path, sql, params=()):
    con = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return con.execute(sql, params).fetchall()
    finally:
        con.close()


def table_digest(path, table, digest=None):
    """Row count and a digest of every value of `table` in rowid order (types
    included), equal exactly when the two tables hold the same rows. With
    `digest`, the rows are added to that running digest."""
    digest = digest or hashlib.sha1()
    count = 0
    con = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        for row in con.execute(f"SELECT * FROM {table} ORDER BY rowid"):
            digest.update(repr(row).encode())
            count += 1
    finally:
        con.close()
    return count, digest.hexdigest()


def sites_digest(folder, sites):
    """Rows of the main database's sites, rows of items per site (the same in
    every site, else an error) and one digest of every site's items and
    boards."""
    digest = hashlib.sha1()
    items = None
    for number in range(1, sites + 1):
        path = os.path.join(folder, site_name(number) + ".mdb")
        if not os.path.exists(path):
            raise BenchError(f"{path} was not created")
        count, _ = table_digest(path, "items", digest)
        table_digest(path, "boards", digest)
        if items is None:
            items = count
        if count != items:
            raise BenchError(f"{path}: items holds {count} rows, other sites {items}")
    main, _ = table_digest(os.path.join(folder, "qorsite.mdb"), "sites", digest)
    return main, items, digest.hexdigest()


class Bench:
    def __init__(self, args):
        self.args = args
        self.scratch = os.path.abspath(args.scratch)
        self.registry = os.path.join(self.scratch, "registry")
        self.key = os.path.join(self.registry, KEY_PATH)
        self.old_dirs = {}
        self.results = []           # dicts, one per measured scenario
        self.data = DATA_SETS[0]    # the data set being measured
        self.paths = {}             # the ways the tables of the last relamor run went

    # scratch folder -------------------------------------------------------
    def prepare_scratch(self):
        if "," in self.scratch:
            raise BenchError(f"scratch folder {self.scratch} contains a comma")
        if os.path.exists(self.scratch):
            if os.listdir(self.scratch) and not os.path.exists(
                    os.path.join(self.scratch, MARKER)):
                raise BenchError(f"{self.scratch} exists and was not made by this "
                                 "benchmark; remove it or choose --scratch")
            shutil.rmtree(self.scratch)
        os.makedirs(self.key)
        open(os.path.join(self.scratch, MARKER), "w").close()

    def old_dir(self, rows):
        if (rows, self.data) not in self.old_dirs:
            folder = os.path.join(self.scratch, f"old-{self.data}-{rows}")
            t = time.perf_counter()
            make_old_main(folder, rows, self.data)
            log(f"generated {folder} ({rows} rows, {self.data} data) in "
                f"{time.perf_counter() - t:.1f} s")
            self.old_dirs[(rows, self.data)] = folder
        return self.old_dirs[(rows, self.data)]

    def fresh_copy(self, pristine, name):
        target = os.path.join(self.scratch, name)
        if os.path.exists(target):
            shutil.rmtree(target)
        shutil.copytree(pristine, target)
        return target

    def runs(self, floors):
        """Counts the runs of a measurement as they are made: --repeat, or
        --short-repeat once the first floor run took under SHORT_SECONDS; a
        run that short moves by a third from one run to the next with the
        disk's and the scheduler's hiccups, so its median needs more runs."""
        wanted = self.args.repeat
        i = 0
        while i < wanted:
            yield i
            if i == 0 and floors and floors[0][0] < SHORT_SECONDS:
                wanted = max(wanted, self.args.short_repeat)
            i += 1

    # one relamor run ------------------------------------------------------
    def run_relamor(self, old, new, program=None, strategy=None, jobs=None):
        program = program or self.args.bin
        result = os.path.join(self.key, "RelamorResult")
        if os.path.exists(result):
            os.remove(result)
        env = dict(os.environ, RELAMOR_REGISTRY=self.registry, RELAMOR_TRACE_PATHS="1")
        if strategy:
            env["RELAMOR_COPY_STRATEGY"] = strategy
        workdir = os.path.join(self.scratch, "relamor-io")
        os.makedirs(workdir, exist_ok=True)
        report = os.path.join(workdir, "report.json")
        if os.path.exists(report):
            os.remove(report)
        options = ["--jobs", str(jobs)] if jobs else []
        status, seconds, rss, cpu = measured_run(
            [program, *options, "--report", report, f"{old}/,{new}/"], workdir, env=env,
            timeout=self.args.timeout)
        value = open(result).read() if os.path.exists(result) else None
        if status != 0 or value != "True":
            raise BenchError(
                f"{os.path.basename(program)} {old}/,{new}/ exited {status}, RelamorResult {value!r}\n"
                f"--- end of {new}/RelamorLog.txt:\n{tail(os.path.join(new, 'RelamorLog.txt'))}"
                f"--- standard error:\n{tail(os.path.join(workdir, 'stderr.txt'))}")
        self.paths = table_paths(report, os.path.join(workdir, "stderr.txt"))
        return Measured(seconds, rss, cpu)

    def check_paths(self, what, meant):
        """Fails when a table that `meant(database, table, mode)` says is meant
        for the set-based way went row by row in the last run; returns the
        count of tables per way."""
        counts = {}
        for (database, table), (mode, path) in self.paths.items():
            if not meant(database, table, mode):
                continue
            counts[path] = counts.get(path, 0) + 1
            if path == "rows":
                raise BenchError(f"{what}: table {table} of {database} (mode {mode}) went row "
                                 "by row; it is meant for the set-based way")
        return counts

    def run_floor(self, db, script):
        workdir = os.path.join(self.scratch, "floor-io")
        os.makedirs(workdir, exist_ok=True)
        status, seconds, rss, cpu = measured_run(
            [self.args.sqlite3, "-bail", db], workdir, stdin_text=script,
            timeout=self.args.timeout)
        errors = tail(os.path.join(workdir, "stderr.txt"))
        if status != 0 or os.path.getsize(os.path.join(workdir, "stderr.txt")):
            raise BenchError(f"floor sqlite3 {db} exited {status}:\n{errors}")
        return Measured(seconds, rss, cpu)

    # scenarios ------------------------------------------------------------
    def mode_scenario(self, scenario, rows, requested):
        old = self.old_dir(rows)
        pristine = os.path.join(self.scratch, f"new-{self.data}-{scenario}")
        if not os.path.exists(pristine):
            make_new_for_mode(pristine, scenario, self.data)
        table = "EXCCS" if scenario == "EXCCS" else "items"
        expected = EXCCS_CATEGORIES if scenario == "EXCCS" else rows
        script = floor_script(scenario, os.path.join(old, "qorsite.mdb"))

        runs, floors, paths = [], [], {}
        floors2 = [] if scenario == "identical" else None
        floor_print = None
        for _ in self.runs(floors):
            floor_new = self.fresh_copy(pristine, "floor")
            floor_db = os.path.join(floor_new, "qorsite.mdb")
            floors.append(self.run_floor(floor_db, script))
            if floor_print is None:     # the floor's statement is deterministic
                floor_print = table_digest(floor_db, table)
                if floor_print[0] != expected:
                    raise BenchError(f"floor {scenario}: {table} holds {floor_print[0]} rows, "
                                     f"expected {expected}")
            if floors2 is not None:
                copy_new = self.fresh_copy(pristine, "floor")
                copy_db = os.path.join(copy_new, "qorsite.mdb")
                floors2.append(self.run_floor(
                    copy_db, record_copy_script(os.path.join(old, "qorsite.mdb"))))
                if len(floors2) == 1 and table_digest(copy_db, table) != floor_print:
                    raise BenchError(f"floor {scenario}: the record copy stores other rows "
                                     "than the column-list statement")
            if self.args.floor_only:
                continue
            new = self.fresh_copy(pristine, "new")
            runs.append(self.run_relamor(old, new))
            paths = self.check_paths(f"relamor {scenario} R={rows}",
                                     lambda d, t, m: t.lower() == table.lower())
            new_db = os.path.join(new, "qorsite.mdb")
            relamor_print = table_digest(new_db, table)
            if relamor_print != floor_print:
                raise BenchError(f"relamor {scenario} R={rows}: {table} differs from the "
                                 f"floor's (rows {relamor_print[0]}, floor {floor_print[0]}); "
                                 f"compare {new_db} with {floor_db}")
        self.record(scenario, requested, rows, runs, floors, paths, floors2)

    def exccs_null_scenario(self, categories, requested):
        old = os.path.join(self.scratch, f"exccs-null-old-{self.data}-{categories}")
        pristine = os.path.join(self.scratch, f"exccs-null-new-{self.data}-{categories}")
        t = time.perf_counter()
        make_exccs_null(old, pristine, categories, self.data)
        log(f"generated EXCCS of {categories} categories and a Null one in "
            f"{time.perf_counter() - t:.1f} s")
        script = exccs_null_floor_script(os.path.join(old, "qorsite.mdb"))
        for strategy in ("auto", "rows"):
            runs, floors = [], []
            floor_print = None
            for _ in self.runs(floors):
                floor_new = self.fresh_copy(pristine, "floor")
                floor_db = os.path.join(floor_new, "qorsite.mdb")
                floors.append(self.run_floor(floor_db, script))
                if floor_print is None:
                    floor_print = table_digest(floor_db, "EXCCS")
                if self.args.floor_only:
                    continue
                new = self.fresh_copy(pristine, "new")
                runs.append(self.run_relamor(old, new, strategy=strategy))
                if table_digest(os.path.join(new, "qorsite.mdb"), "EXCCS") != floor_print:
                    raise BenchError(f"relamor EXCCS-null ({strategy}) {categories}: EXCCS "
                                     f"differs from the floor's; compare {new} with {floor_new}")
            self.record("null-" + strategy, requested, categories + 1, runs, floors)

    def sites_scenario(self, sites, rows):
        """Each round: the floor, relamor --jobs 1, then relamor --jobs N (N = --jobs,
        else the number of CPUs; the second run is left out when N is 1). Both
        relamor runs are checked against the round's floor."""
        old = os.path.join(self.scratch, f"sites-old-{self.data}-{sites}x{rows}")
        pristine = os.path.join(self.scratch, f"sites-new-{self.data}-{sites}x{rows}")
        t = time.perf_counter()
        make_sites(old, pristine, sites, rows, self.data)
        log(f"generated {sites} site databases of {rows} rows in "
            f"{time.perf_counter() - t:.1f} s")
        jobs = self.args.jobs or os.cpu_count() or 1
        job_counts = [1] if jobs == 1 else [1, jobs]
        runs, paths = {j: [] for j in job_counts}, {}
        floors = []
        floor_print = None
        for _ in self.runs(floors):
            floor_new = self.fresh_copy(pristine, "floor")
            script = sites_floor_script(old, floor_new, sites)
            floors.append(self.run_floor(os.path.join(floor_new, "qorsite.mdb"), script))
            if floor_print is None:
                floor_print = sites_digest(floor_new, sites)
                if floor_print[:2] != (sites, rows):
                    raise BenchError(f"floor sites: {floor_print[:2]}, expected "
                                     f"{(sites, rows)}")
            if self.args.floor_only:
                continue
            for j in job_counts:
                what = f"relamor --jobs {j} sites {sites}x{rows}"
                new = self.fresh_copy(pristine, "new")
                runs[j].append(self.run_relamor(old, new, jobs=j))
                # Every table, the main database's sites and each site
                # database's items and boards, is a plain copy.
                paths[j] = self.check_paths(what, lambda d, t, m: True)
                relamor_print = sites_digest(new, sites)
                if relamor_print != floor_print:
                    raise BenchError(f"{what}: sites rows and items rows per site "
                                     f"{relamor_print[:2]}, floor {floor_print[:2]}; the rows "
                                     "of items or boards differ from the floor's")
        name = f"{sites}x{rows}"
        self.record(name, ("sites", sites, rows, 1), sites * rows, runs[1], floors,
                    paths.get(1))
        if jobs > 1 and not self.args.floor_only:
            # The speed-up of a round: its --jobs 1 time over its --jobs N time.
            speedups = [a / b for (a, _), (b, _) in zip(runs[1], runs[jobs])]
            self.record(f"{name}, --jobs {jobs}", ("sites", sites, rows, jobs), sites * rows,
                        runs[jobs], floors, paths.get(jobs), speedups=speedups)

    def writers_group(self, rows, writers):
        """The special writers of relamor2035 on `rows` old channel rows."""
        old = os.path.join(self.scratch, f"old20-{self.data}-{rows}")
        t = time.perf_counter()
        make_old20(old, rows, self.data)
        log(f"generated {old} (release 2.0, {rows} channel rows) in "
            f"{time.perf_counter() - t:.1f} s")
        old_main = os.path.join(old, "qorsite.mdb")
        counts = writer_counts(rows)
        for writer in writers:
            if writer in IP_SIZED_WRITERS and rows > self.args.writer_ip_max:
                log(f"writer {writer}: skipped at {rows} rows (above --writer-ip-max "
                    f"{self.args.writer_ip_max})")
                continue
            pristine = os.path.join(self.scratch, f"new20-{self.data}-{rows}-{writer}")
            make_new20(pristine, writer, old_main)
            tables = WRITER_TABLES[writer]
            script = writer_floor_script(writer, old_main)
            runs, floors, paths = [], [], {}
            for _ in self.runs(floors):
                floor_new = self.fresh_copy(pristine, "floor")
                floor_db = os.path.join(floor_new, "qorsite.mdb")
                floors.append(self.run_floor(floor_db, script))
                floor_print = [table_digest(floor_db, t) for t in tables]
                written = sum(c for c, _ in floor_print)
                if written != counts[writer]:
                    raise BenchError(f"floor writer {writer} R={rows}: {written} rows in "
                                     f"{', '.join(tables)}, expected {counts[writer]}")
                if self.args.floor_only:
                    continue
                new = self.fresh_copy(pristine, "new")
                runs.append(self.run_relamor(old, new, self.args.bin2035))
                # A writer's way is known from the report's key alone; the
                # channel and prompt writers have no shortcut and always walk.
                paths = self.check_paths(f"relamor2035 writer {writer} R={rows}",
                                         lambda d, t, m: t.lower() in tables
                                         and t.lower() in WRITERS_WITH_SHORTCUT)
                new_db = os.path.join(new, "qorsite.mdb")
                relamor_print = [table_digest(new_db, t) for t in tables]
                for table, mine, floor in zip(tables, relamor_print, floor_print):
                    if mine != floor:
                        raise BenchError(
                            f"relamor2035 writer {writer} R={rows}: table {table} differs from "
                            f"the floor's (rows {mine[0]}, floor {floor[0]}); compare "
                            f"{new_db} with {floor_db}")
            self.record(writer, ("writers", rows), counts[writer], runs, floors, paths)

    def record(self, scenario, requested, rows, runs, floors, paths=None, floors2=None,
               speedups=None):
        entry = {"scenario": scenario, "requested": requested, "rows": rows,
                 "data": self.data, "paths": paths or {},
                 "floor_s": statistics.median(s for s, _ in floors),
                 "floor_rss": statistics.median(r for _, r in floors),
                 "rounds": len(floors), "floors": [s for s, _ in floors],
                 "load": os.getloadavg()[0]}
        if floors2:
            entry["floor2_s"] = statistics.median(s for s, _ in floors2)
            entry["floors2"] = [s for s, _ in floors2]
            if runs:
                entry["ratios2"] = [r / f for (r, _), (f, _) in zip(runs, floors2)]
                entry["ratio2"] = statistics.median(entry["ratios2"])
        if runs:
            entry["runs"] = [s for s, _ in runs]
            entry["relamor_s"] = statistics.median(s for s, _ in runs)
            entry["relamor_rss"] = statistics.median(r for _, r in runs)
            entry["relamor_rss_max"] = max(r for _, r in runs)
            # Each relamor run is paired with the floor run of its round (made
            # just before it): the machine's speed drifts by a third over
            # seconds, and a drift that moves both runs of a round cancels in
            # their ratio; the median of those ratios is the scenario's.
            entry["ratios"] = [r / f for (r, _), (f, _) in zip(runs, floors)]
            entry["ratio"] = statistics.median(entry["ratios"])
            # The CPU time of each round's relamor run against its floor run's.
            cpu = [r.cpu / f.cpu for r, f in zip(runs, floors) if f.cpu > 0]
            if cpu:
                entry["cpu_ratio"] = statistics.median(cpu)
        if speedups:
            entry["speedups"] = speedups
            entry["speedup"] = statistics.median(speedups)
        self.results.append(entry)
        log(format_row(entry))
        if "floor2_s" in entry:
            log(f"   record copy floor {entry['floor2_s']:.3f} s"
                + (f", ratio {entry['ratio2']:.2f}" if "ratio2" in entry else ""))
        if self.args.each:
            if floors2:
                log("   each run, record copy floor: " + " ".join(f"{s:.3f}" for s, _ in floors2)
                    + ("; ratio: " + " ".join(f"{r:.2f}" for r in entry["ratios2"])
                       if "ratios2" in entry else ""))
            log("   each run, floor: " + " ".join(f"{s:.3f}" for s, _ in floors)
                + ("; relamor: " + " ".join(f"{s:.3f}" for s, _ in runs)
                   + "; ratio: " + " ".join(f"{r:.2f}" for r in entry["ratios"])
                   if runs else ""))
        if speedups:
            # After the round lines, which bench/pool.py reads under the scenario's row.
            log(f"   speed-up from --jobs 1 to --jobs {requested[3]}: {entry['speedup']:.2f}x"
                + ("; each round: " + " ".join(f"{x:.2f}" for x in speedups)
                   if self.args.each else ""))


# --------------------------------------------------------------------------
# Output

SITE_WIDTH = 20     # the scenario column of the site table ("500x10000, --jobs 2")


def header(width=10):
    return (f"{'scenario':<{width}} {'rows':>8} {'rows/s':>11} {'time s':>9} {'RSS MiB':>8} "
            f"{'floor s':>8} {'floor MiB':>9} {'ratio':>7} {'cpu':>5}  path")


def is_sites(e):
    return isinstance(e["requested"], tuple) and e["requested"][0] == "sites"


def format_row(e):
    width = SITE_WIDTH if is_sites(e) else 10
    if "relamor_s" in e:
        rate = f"{e['rows'] / e['relamor_s']:11.0f}"
        rel = f"{e['relamor_s']:9.3f} {e['relamor_rss']:8.1f}"
        ratio = f"{e['ratio']:7.2f} {e.get('cpu_ratio', 0):5.2f}"
    else:
        rate, rel, ratio = f"{'-':>11}", f"{'-':>9} {'-':>8}", f"{'-':>7} {'-':>5}"
    paths = " ".join(f"{path} {count}" for path, count in sorted(e["paths"].items()))
    return (f"{e['scenario']:<{width}} {e['rows']:>8} {rate} {rel} "
            f"{e['floor_s']:8.3f} {e['floor_rss']:9.1f} {ratio}  {paths or '-'}")


def log(text):
    print(text, file=sys.stderr, flush=True)


def goal_of(e):
    requested = e["requested"]
    if isinstance(requested, tuple) and requested[0] == "writers":
        return GOALS["writers"]
    if isinstance(requested, tuple) and requested[0] == "sites":
        goals = GOALS if requested[3] == 1 else JOBS_GOALS
        return goals["sites-small" if requested[2] <= SMALL_SITE_ROWS else "sites"]
    return GOALS.get(e["scenario"])


def print_report(bench, rows_list, data_sets):
    args = bench.args
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"relamor benchmark: {args.bin} (and relamor2035 beside it), median of "
          f"{args.repeat} run(s) ({args.short_repeat} for a floor under {SHORT_SECONDS} s), "
          "RSS = peak resident set of the process")
    print(f"machine: {os.cpu_count()} CPUs, load average at the end {load}")
    print("path: how many of the tables meant for the set-based way went it (set-based), "
          "and how many the run does not say (unknown); one that went row by row fails "
          "the benchmark")
    all_results = bench.results
    for data in data_sets:
        bench.results = [e for e in all_results if e["data"] == data]
        print()
        print(f"######## {data} data ########")
        print_data_set(bench, rows_list)
    bench.results = all_results
    goals = goal_rows(bench.results)
    if goals:
        print()
        print("== goals (median of the rounds' ratios to the floor) ==")
        print(f"{'data':<6} {'scenario':<28} {'rows':>8} {'ratio':>7} {'goal':>6}  met")
        for g in goals:
            print(f"{g['data']:<6} {g['name']:<28} {g['rows']:>8} {g['ratio']:7.2f} "
                  f"{g['goal']:6.2f}  {'met' if g['met'] else 'NOT MET'}")


def goal_rows(results):
    """One row per measured ratio that has a goal: data set, name, rows,
    ratio, goal, met, rounds."""
    rows = []
    for e in results:
        goal = goal_of(e)
        if "ratio" not in e or goal is None:
            continue
        name = scenario_name(e)
        rows.append({"data": e["data"], "name": name + (" (column list)" if "ratio2" in e else ""),
                     "rows": e["rows"], "ratio": e["ratio"], "goal": goal,
                     "met": e["ratio"] <= goal, "rounds": len(e["ratios"])})
        if "ratio2" in e:
            rows.append({"data": e["data"], "name": name + " (record copy)", "rows": e["rows"],
                         "ratio": e["ratio2"], "goal": RECORD_COPY_GOAL,
                         "met": e["ratio2"] <= RECORD_COPY_GOAL, "rounds": len(e["ratios2"])})
    return rows


def scenario_name(e):
    requested = e["requested"]
    if isinstance(requested, tuple) and requested[0] == "sites":
        return f"sites {e['scenario']}"
    if isinstance(requested, tuple) and requested[0] == "writers":
        return f"writer {e['scenario']}" if e["scenario"] != "all" else "all writers"
    return e["scenario"]


def print_data_set(bench, rows_list):
    for requested in rows_list:
        group = [e for e in bench.results if e["requested"] == requested]
        if not group:
            continue
        print()
        print(f"== R = {requested} rows ==")
        print(header())
        for e in group:
            print(format_row(e))
        if requested > MAX_RUNNING_NUMBER:
            print(f"   B, C, D number their rows with 16-bit running numbers: measured at "
                  f"{MAX_RUNNING_NUMBER} rows (once)")
    sites = [e for e in bench.results if is_sites(e)]
    if sites:
        print()
        print("== site databases (sites x rows; mode A, boards and the board fix-up) ==")
        print(header(SITE_WIDTH))
        for e in sites:
            print(format_row(e))
        jobs = max(e["requested"][3] for e in sites)
        if jobs > 1:
            print(f"   a row without --jobs is relamor --jobs 1; each round runs the floor, "
                  f"--jobs 1, then --jobs {jobs}")
        line = speedup_line(sites)
        if line:
            print("   " + line[0].lower() + line[1:])
    writer_sizes = sorted({e["requested"][1] for e in bench.results
                           if isinstance(e["requested"], tuple)
                           and e["requested"][0] == "writers"})
    for rows in writer_sizes:
        print()
        print(f"== writers of relamor2035: R = {rows} old channel rows ({bench.args.bin2035}) ==")
        print(header())
        for e in bench.results:
            if e["requested"] == ("writers", rows):
                print(format_row(e))
    if writer_sizes:
        print("   rows = rows the writer writes; 'all' runs every writer, IP-random is the IP "
              "writer with the old IP rows in scrambled site order.")


def speedup_line(results):
    """"Speed-up from --jobs 1 to --jobs N: 500x10000 1.62x, ..." for the site
    scenarios among `results` that ran at --jobs N, or None."""
    parallel = [e for e in results if "speedup" in e]
    if not parallel:
        return None
    jobs = parallel[0]["requested"][3]
    return (f"Speed-up from --jobs 1 to --jobs {jobs} (median of the rounds' --jobs 1 time / "
            f"--jobs {jobs} time): "
            + ", ".join(f"{e['requested'][1]}x{e['requested'][2]} {e['speedup']:.2f}x"
                        for e in parallel))


README_BEGIN = "<!-- figures: begin (written by {tool}; edit by rerunning it) -->"
README_END = "<!-- figures: end ({tool}) -->"


def replace_readme_section(path, tool, text):
    """Replaces the part of `path` between the markers of `tool` with `text`
    (appended with its markers when there is none yet)."""
    begin, end = README_BEGIN.format(tool=tool), README_END.format(tool=tool)
    with open(path) as f:
        content = f.read()
    section = f"{begin}\n{text.rstrip()}\n{end}"
    if begin in content and end in content:
        head, rest = content.split(begin, 1)
        content = head + section + rest.split(end, 1)[1]
    else:
        content = content.rstrip() + "\n\n" + section + "\n"
    with open(path, "w") as f:
        f.write(content)


def git_commit():
    try:
        head = subprocess.run(["git", "-C", REPO_ROOT, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", REPO_ROOT, "status", "--porcelain",
                                "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return head + (" with changes not committed" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def markdown_report(bench, data_sets, command):
    """The figures of a run as Markdown: what ran, per data set a table of
    every scenario, and per goal whether the median met it."""
    args = bench.args
    loads = [e["load"] for e in bench.results if "load" in e]
    out = [f"Made by `{command}`, on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
           f"from the build of commit {bench.commit} ({args.bin}); {os.cpu_count()} CPUs, "
           f"the one-minute load average between {min(loads):.1f} and {max(loads):.1f} while "
           f"it ran (this machine is shared: a load above about 1 means other work ran "
           "beside the benchmark, and the times move with it)." if loads else
           f"Made by `{command}`.",
           "",
           f"Rounds: {args.repeat} ({args.short_repeat} for a scenario whose first floor run "
           f"took under {SHORT_SECONDS} s). Times and peak RSS are the medians of the runs; "
           "the ratio is the median of the rounds' ratios (relamor time / floor time of the "
           "same round); met: that median is at most the goal."]
    for data in data_sets:
        results = [e for e in bench.results if e["data"] == data and "ratio" in e]
        if not results:
            continue
        out += ["", f"**{data} data**", "",
                "| scenario | rows | rounds | relamor s | floor s | ratio | goal | met | "
                "CPU ratio | RSS MiB | path |",
                "|---|---:|---:|---:|---:|---:|---:|---|---:|---:|---|"]
        for e in results:
            goal = goal_of(e)
            paths = ", ".join(f"{p} {n}" for p, n in sorted(e["paths"].items())) or "-"
            met = "-" if goal is None else ("met" if e["ratio"] <= goal else "not met")
            name = scenario_name(e) + (", column-list floor" if "ratio2" in e else "")
            out.append(f"| {name} | {e['rows']:,} | {len(e['ratios'])} | {e['relamor_s']:.3f} | "
                       f"{e['floor_s']:.3f} | {e['ratio']:.2f} | "
                       f"{'none' if goal is None else f'{goal:g}'} | {met} | "
                       f"{e['cpu_ratio']:.2f} | {e['relamor_rss']:.1f} | {paths} |")
            if "ratio2" in e:
                met2 = "met" if e["ratio2"] <= RECORD_COPY_GOAL else "not met"
                out.append(f"| {scenario_name(e)}, record-copy floor | {e['rows']:,} | "
                           f"{len(e['ratios2'])} | {e['relamor_s']:.3f} | {e['floor2_s']:.3f} | "
                           f"{e['ratio2']:.2f} | {RECORD_COPY_GOAL:g} | {met2} | | "
                           f"{e['relamor_rss']:.1f} | |")
        line = speedup_line(results)
        if line:
            out += ["", line + "."]
    goals = goal_rows(bench.results)
    if goals:
        missed = [g for g in goals if not g["met"]]
        out += ["", f"Goals met: {len(goals) - len(missed)} of {len(goals)}."
                + (" Not met: " + "; ".join(f"{g['name']} on {g['data']} data ({g['ratio']:.2f} "
                                            f"against {g['goal']:g})" for g in missed) + "."
                   if missed else " Every goal is met by its median.")]
    cpu = [e for e in bench.results if "cpu_ratio" in e and goal_of(e) is not None]
    if cpu:
        over = [e for e in cpu if e["cpu_ratio"] > CPU_GOAL]
        out += ["", f"CPU time (the CPU ratio: relamor's user and system time, every thread, "
                f"against the floor's, median of the rounds) at most {CPU_GOAL:g} times the "
                f"floor's: met in {len(cpu) - len(over)} of {len(cpu)}."
                + (" Above it: " + "; ".join(f"{scenario_name(e)} on {e['data']} data "
                                             f"({e['cpu_ratio']:.2f})" for e in over) + "."
                   if over else "")]
    rss = [(e["relamor_rss_max"], e) for e in bench.results if "relamor_rss_max" in e]
    if rss:
        high, low = max(rss, key=lambda x: x[0]), min(rss, key=lambda x: x[0])
        out += ["", f"Peak RSS of relamor: from {low[0]:.1f} MiB ({scenario_name(low[1])}, "
                f"{low[1]['rows']:,} rows, {low[1]['data']}) to {high[0]:.1f} MiB "
                f"({scenario_name(high[1])}, {high[1]['rows']:,} rows, {high[1]['data']}); "
                f"goal at most 64 MiB: {'met' if high[0] <= 64 else 'not met'}."]
    return "\n".join(out) + "\n"


def summary_line(bench, rows_list, data_sets):
    all_results = bench.results
    for data in data_sets:
        bench.results = [e for e in all_results if e["data"] == data]
        print(f"data={data} ", end="")
        data_summary_line(bench, rows_list)
    bench.results = all_results


def data_summary_line(bench, rows_list):
    largest = max(rows_list)
    if largest != 1000000:
        print(f"note: 1M rows were not run; the ratio_..._1M values below are for R={largest}")

    def ratio(entries):
        return f"{entries[0]['ratio']:.2f}" if entries else "n/a"

    at = [e for e in bench.results if e["requested"] == largest and "ratio" in e]
    sites = [e for e in bench.results if "ratio" in e and is_sites(e)
             and e["requested"][2] > SMALL_SITE_ROWS and e["requested"][3] == 1]
    sites.sort(key=lambda e: -e["requested"][1])
    if sites and sites[0]["requested"][1] != 500:
        print(f"note: ratio_sites_500 below is for {sites[0]['scenario']} site databases")
    rss = [e["relamor_rss_max"] for e in bench.results if "relamor_rss_max" in e]
    rss_text = f"{max(rss):.1f}" if rss else "n/a"
    print(f"ratio_general_1M={ratio([e for e in at if e['scenario'] == 'general'])} "
          f"ratio_identical_1M={ratio([e for e in at if e['scenario'] == 'identical'])} "
          f"ratio_exccs_1M={ratio([e for e in at if e['scenario'] == 'EXCCS'])} "
          f"ratio_sites_500={ratio(sites)} "
          f"rss_max_MiB={rss_text}")


# --------------------------------------------------------------------------

# --------------------------------------------------------------------------
# Jet scenario (--jet): old site databases that are Jet files

JET_SAMPLES = [os.path.join(REPO_ROOT, "tests", "data", "jet", name)
               for name in ("nwind.mdb", "DateTestDatabase.mdb")]


def jet_scenario(bench):
    """For each sample Jet file: relamor converts an installation whose one old
    site database is that file, with a template mapping every column of every
    table; the anchor is mdb-export of the same tables (OLE values in hex, one
    process per table,
    times summed, largest peak RSS). Returns report lines."""
    import csv
    import io
    args = bench.args
    if not shutil.which("mdb-export"):
        raise BenchError("mdb-export not found; install the Debian package mdbtools")
    lines = ["== Jet site databases: relamor copies every table; anchor mdb-export of the "
             "same tables ==",
             f"{'file':<22} {'tables':>6} {'rows':>6} {'load s':>8} {'time s':>8} {'RSS MiB':>8} "
             f"{'export s':>9} {'exp MiB':>8} {'ratio':>7}"]
    for sample in JET_SAMPLES:
        name = os.path.basename(sample)
        tables = subprocess.run(["mdb-tables", "-1", sample], check=True, capture_output=True,
                                text=True).stdout.splitlines()
        tables = [t for t in tables if t]
        workdir = os.path.join(bench.scratch, "jet-export-io")
        os.makedirs(workdir, exist_ok=True)
        columns, counts, data, export_times, export_rss = {}, {}, {}, [], []
        for _ in range(args.repeat):
            seconds, rss = 0.0, 0.0
            for table in tables:
                status, s, r, _ = measured_run(["mdb-export", "-b", "hex", sample, table], workdir,
                                            timeout=args.timeout)
                if status != 0:
                    raise BenchError(f"mdb-export {sample} {table} exited {status}")
                seconds, rss = seconds + s, max(rss, r)
                with open(os.path.join(workdir, "stdout.txt"), newline="") as f:
                    rows = list(csv.reader(io.StringIO(f.read())))
                columns[table], counts[table] = rows[0], len(rows) - 1
                data[table] = rows[1:]
            export_times.append(seconds)
            export_rss.append(rss)

        pristine = os.path.join(bench.scratch, "jet-" + name)
        old, new = os.path.join(pristine, "old"), os.path.join(pristine, "new")
        os.makedirs(old)
        os.makedirs(new)
        execute(os.path.join(old, "qorsite.mdb"),
                OLD_MAIN_SCHEMA + "INSERT INTO sites VALUES (1, 'Site 1', 'Region 1');")
        shutil.copyfile(sample, os.path.join(old, site_name(1) + ".mdb"))
        execute(os.path.join(new, "qorsite.mdb"),
                NEW_RELEASES + export_rows(1, "sites", ["siteID"], [0])
                + "CREATE TABLE sites (siteID LONG);" + BOARDS_SCHEMA)
        template = NEW_RELEASES + BOARDS_SCHEMA
        for sno, table in enumerate(tables, 1):
            template += export_rows(sno, table, columns[table], [0] * len(columns[table]))
            template += ('CREATE TABLE "' + table + '" ('
                         + ", ".join('"' + c + '"' for c in columns[table]) + ");\n")
        execute(os.path.join(new, "qordxxx.mdb"), template)
        make_stat(os.path.join(new, "qorstat.mdb"))

        # The same rows in an SQLite site database: the run without any Jet import.
        sqlite_old = os.path.join(pristine, "old-sqlite")
        shutil.copytree(old, sqlite_old)
        os.remove(os.path.join(sqlite_old, site_name(1) + ".mdb"))
        con = sqlite3.connect(os.path.join(sqlite_old, site_name(1) + ".mdb"))
        for table in tables:
            con.execute(f'CREATE TABLE "{table}" ('
                        + ", ".join('"' + c + '"' for c in columns[table]) + ")")
            con.executemany(f'INSERT INTO "{table}" VALUES ('
                            + ",".join("?" * len(columns[table])) + ")", data[table])
        con.commit()
        con.close()
        base_times = []
        for _ in range(args.repeat):
            base_times.append(bench.run_relamor(bench.fresh_copy(sqlite_old, "jet-old"),
                                                bench.fresh_copy(new, "jet-new"))[0])

        times, rss_list = [], []
        for _ in range(args.repeat):
            run_old = bench.fresh_copy(old, "jet-old")
            run_new = bench.fresh_copy(new, "jet-new")
            seconds, rss = bench.run_relamor(run_old, run_new)
            times.append(seconds)
            rss_list.append(rss)
            site = os.path.join(run_new, site_name(1) + ".mdb")
            for table in tables:
                got = query(site, f'SELECT count(*) FROM "{table}"')[0][0]
                if got != counts[table]:
                    raise BenchError(f"{name}: table {table} has {got} rows after relamor, "
                                     f"mdb-export gives {counts[table]}")
        t, e = statistics.median(times), statistics.median(export_times)
        load = max(0.0, (t - statistics.median(base_times)) / 2)
        lines.append(f"{name:<22} {len(tables):>6} {sum(counts.values()):>6} {load:8.3f} {t:8.3f} "
                     f"{statistics.median(rss_list):8.1f} {e:9.3f} "
                     f"{statistics.median(export_rss):8.1f} {t / e:7.2f}")
    lines.append("   time s: the whole relamor run, which reads the Jet file twice (the site "
                 "probe and the conversion) and copies every row;")
    lines.append("   load s: one read of the Jet file, (time - the same run on an SQLite site "
                 "database holding the same rows) / 2; ratio = time / export s.")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", default="1000000",
                        help="comma-separated row counts of the table scenarios (default "
                        "1000000)")
    parser.add_argument("--repeat", type=int, default=5,
                        help="runs per measurement, the median is reported (default 5)")
    parser.add_argument("--short-repeat", type=int, default=9,
                        help=f"runs per measurement whose first floor run took under "
                        f"{SHORT_SECONDS} s (default 9)")
    parser.add_argument("--each", action="store_true",
                        help="also print the time of every run of a measurement")
    parser.add_argument("--quick", action="store_true",
                        help="a smaller run to try a build: 100000 rows, sites 50x1000 and "
                        "50x10, writers at R = 3000, one run each")
    parser.add_argument("--bin", default=os.path.join(REPO_ROOT, "build", "relamor"),
                        help="relamor executable (default build/relamor)")
    parser.add_argument("--sqlite3", default=shutil.which("sqlite3") or "sqlite3",
                        help="sqlite3 command-line tool for the floor")
    parser.add_argument("--scratch", default="/tmp/relamor-bench",
                        help="scratch folder (default /tmp/relamor-bench)")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    parser.add_argument("--sites", default="500x10000,500x10",
                        help="site scenarios, SITESxROWS separated by commas (default "
                        "500x10000,500x10)")
    parser.add_argument("--scenarios", default=",".join(SCENARIOS),
                        help=f"scenarios (default {','.join(SCENARIOS)}); general to EXCCS "
                        "run for each --rows count, writers for each --writer-rows count, "
                        "sites for each --sites entry")
    parser.add_argument("--writer-rows", default="12000",
                        help="old channel rows of the writers scenarios (default 12000; "
                        f"at most {MAX_WRITER_ROWS})")
    parser.add_argument("--writer-ip-max", type=int, default=MAX_WRITER_ROWS,
                        help="largest old channel row count at which the IP writer and the "
                        f"whole run are measured (default {MAX_WRITER_ROWS})")
    parser.add_argument("--writers", default=",".join(WRITERS),
                        help=f"writers of the writers scenarios (default {','.join(WRITERS)}; "
                        "IP-random is the IP writer with the old IP rows in scrambled site "
                        "order)")
    parser.add_argument("--bin-dir",
                        help="build folder holding relamor and relamor2035 (instead of --bin)")
    parser.add_argument("--timeout", type=float, default=3600,
                        help="seconds before one run is killed (default 3600)")
    parser.add_argument("--jet", action="store_true",
                        help="run only the Jet scenario: relamor on the sample Jet files of "
                        "tests/data/jet against mdb-export")
    parser.add_argument("--data", default=",".join(DATA_SETS),
                        help=f"data sets, separated by commas (default {','.join(DATA_SETS)}): "
                        "real, like a real installation's (accented texts at their columns' "
                        "full length, Nulls, dates without a time, negative reals), and plain")
    parser.add_argument("--jobs", type=int,
                        help="N of the sites scenarios' second relamor run, --jobs N after "
                        "--jobs 1 in each round (default: the number of CPUs; 1: only the "
                        "--jobs 1 run)")
    parser.add_argument("--readme", metavar="FILE",
                        help="also write the figures as Markdown into FILE (bench/README.md) "
                        "between its markers for this script, naming this command")
    parser.add_argument("--floor-only", action="store_true",
                        help="generate and measure the floor only (checks the generator)")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.repeat, args.short_repeat = "100000", 1, 1
        args.sites, args.writer_rows = "50x1000,50x10", "3000"
    try:
        rows_list = sorted({int(r) for r in args.rows.split(",") if r.strip()})
    except ValueError:
        parser.error(f"--rows {args.rows}: comma-separated whole numbers expected")
    scenarios = [s.strip() for s in args.scenarios.split(",") if s.strip()]
    unknown = [s for s in scenarios if s not in SCENARIOS]
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs needs at least 1")
    if not rows_list or min(rows_list) < 1 or args.repeat < 1 or unknown:
        parser.error("--rows needs positive counts, --repeat at least 1, "
                     f"--scenarios from {','.join(SCENARIOS)}")
    try:
        writer_rows = sorted({int(r) for r in args.writer_rows.split(",") if r.strip()})
    except ValueError:
        parser.error(f"--writer-rows {args.writer_rows}: comma-separated whole numbers expected")
    writers = [w.strip() for w in args.writers.split(",") if w.strip()]
    data_sets = [d.strip() for d in args.data.split(",") if d.strip()]
    if not data_sets or any(d not in DATA_SETS for d in data_sets):
        parser.error(f"--data {args.data}: data sets from {','.join(DATA_SETS)} expected")
    site_runs = []
    if "sites" in scenarios:
        try:
            site_runs = [tuple(int(n) for n in item.lower().split("x"))
                         for item in args.sites.split(",") if item.strip()]
        except ValueError:
            site_runs = [()]
        if any(len(r) != 2 or min(r) < 1 for r in site_runs):
            parser.error(f"--sites {args.sites}: SITESxROWS entries expected, e.g. 500x10000")
    if "writers" in scenarios and (
            not writer_rows or min(writer_rows) < 1 or max(writer_rows) > MAX_WRITER_ROWS
            or not writers or any(w not in WRITERS for w in writers)):
        parser.error(f"--writer-rows needs counts from 1 to {MAX_WRITER_ROWS} (16-bit channel "
                     f"numbers), --writers names from {','.join(WRITERS)}")

    if args.bin_dir:
        args.bin = os.path.join(args.bin_dir, "relamor")
    args.bin = os.path.abspath(args.bin)
    args.bin2035 = os.path.join(os.path.dirname(args.bin), "relamor2035")
    needs_relamor = bool(site_runs) or any(s in MODE_SCENARIOS for s in scenarios)
    if ("writers" in scenarios and not args.floor_only
            and not os.access(args.bin2035, os.X_OK)):
        print(f"relamor2035 executable not found: {args.bin2035}\n"
              "Build it first, or point --bin-dir at another build.", file=sys.stderr)
        return 2
    if needs_relamor and not args.floor_only and not os.access(args.bin, os.X_OK):
        print(f"relamor executable not found: {args.bin}\n"
              "Build it first: ./test.sh, or cmake -S . -B build && cmake --build build -j2 "
              "(or point --bin at another build).", file=sys.stderr)
        return 2
    if not shutil.which(args.sqlite3):
        print(f"sqlite3 command-line tool not found ({args.sqlite3}); "
              "install the Debian package sqlite3.", file=sys.stderr)
        return 2

    if not become_subreaper():
        print("cannot become a child subreaper (Linux prctl); peak RSS cannot be "
              "measured", file=sys.stderr)
        return 2
    bench = Bench(args)
    bench.commit = git_commit()
    if args.jet:
        try:
            bench.prepare_scratch()
            print("\n".join(jet_scenario(bench)))
        except BenchError as e:
            print(f"BENCHMARK FAILED: {e}", file=sys.stderr)
            return 1
        if not args.keep:
            shutil.rmtree(bench.scratch, ignore_errors=True)
        return 0
    try:
        bench.prepare_scratch()
        for data in data_sets:
            bench.data = data
            measure_data_set(bench, args, rows_list, scenarios, site_runs, writer_rows, writers)
    except BenchError as e:
        print(f"BENCHMARK FAILED: {e}", file=sys.stderr)
        print(f"scratch folder kept: {bench.scratch}", file=sys.stderr)
        return 1
    print_report(bench, rows_list, data_sets)
    if not args.floor_only:
        summary_line(bench, rows_list, data_sets)
        if args.readme:
            command = "python3 bench/run.py " + " ".join(
                a for a in sys.argv[1:] if a != "--readme" and a != args.readme)
            replace_readme_section(args.readme, "bench/run.py",
                                   markdown_report(bench, data_sets, command.strip()))
    if not args.keep:
        shutil.rmtree(bench.scratch, ignore_errors=True)
    return 0


def measure_data_set(bench, args, rows_list, scenarios, site_runs, writer_rows, writers):
    """Every requested scenario on the data set bench.data."""
    numbered_done = set()
    for requested in rows_list:
        for scenario in scenarios:
            if scenario not in MODE_SCENARIOS:
                continue
            if scenario == "EXCCS-null":
                bench.exccs_null_scenario(min(requested, MAX_NULL_CATEGORIES), requested)
                continue
            rows = requested
            if scenario in NUMBERED_MODES:
                rows = min(requested, MAX_RUNNING_NUMBER)
                if (scenario, rows) in numbered_done:
                    continue
                numbered_done.add((scenario, rows))
            bench.mode_scenario(scenario, rows, requested)
    for sites, rows in site_runs:
        bench.sites_scenario(sites, rows)
    if "writers" in scenarios:
        for rows in writer_rows:
            bench.writers_group(rows, writers)


if __name__ == "__main__":
    sys.exit(main())
