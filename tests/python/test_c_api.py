"""A late-bound host in Python: the C entry points through ctypes, by class
and member name, on a SQLite store of its own. TAVIK_LIBRARY names the built
libtavikuser.so and TAVIK_SCHEMA the SQLite schema of the host tables."""

import contextlib
import ctypes
import os
import sqlite3
import tempfile
import unittest

LIB = ctypes.CDLL(os.environ["TAVIK_LIBRARY"])
# Every argument is a ctypes object and every result a status or nothing, so
# ctypes' defaults serve. Texts handed out must reach tavik_free: they come
# back as raw pointers.
OWNED_TEXT = ctypes.POINTER(ctypes.c_char)


class LateBoundHostTest(unittest.TestCase):
    def test_a_group_created_by_name_reads_back(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        store = os.path.join(scratch.name, "groups.db")
        with open(os.environ["TAVIK_SCHEMA"], encoding="utf-8") as schema, \
                contextlib.closing(sqlite3.connect(store)) as db:
            db.executescript(schema.read() + "INSERT INTO Document_Counter "
                             "VALUES ('01', 'HQ', 'UG', 6);")
        group = ctypes.c_void_p()
        self.assertEqual(LIB.tavik_create(b"TavikUser.UserGroup",
                                          ctypes.byref(group)), 0)
        self.addCleanup(LIB.tavik_object_release, group)
        for member, value in [("ADOConnectionString",
                               "Provider=SQLite;Data Source=" + store),
                              ("CompanyPrefix", "01"), ("BranchPrefix", "HQ"),
                              ("DocumentPrefix", "UG"),
                              ("GroupName", "Clérks")]:
            self.assertEqual(LIB.tavik_let_text(group, member.encode(),
                                                value.encode()), 0)
        result = ctypes.c_int(-1)
        self.assertEqual(LIB.tavik_call_bool(group, b"Create_Group", None,
                                             ctypes.byref(result)), 0)
        self.assertEqual(result.value, 1)

        number = OWNED_TEXT()
        self.assertEqual(LIB.tavik_get_text(group, b"GroupNumber",
                                            ctypes.byref(number)), 0)
        try:
            self.assertEqual(ctypes.string_at(number).decode(), "01HQUG7")
        finally:
            LIB.tavik_free(number)
        with contextlib.closing(sqlite3.connect(store)) as db:
            self.assertEqual(db.execute("SELECT User_Group_Name FROM "
                                        "User_Group").fetchall(), [("Clérks",)])


if __name__ == "__main__":
    unittest.main()
