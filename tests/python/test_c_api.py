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
# Texts handed out must reach tavik_free, so they come back as raw pointers.
OWNED_TEXT = ctypes.POINTER(ctypes.c_char)
for name, restype, argtypes in [
        ("tavik_create", ctypes.c_int, [ctypes.c_char_p, ctypes.c_void_p]),
        ("tavik_object_release", None, [ctypes.c_void_p]),
        ("tavik_let_text", ctypes.c_int,
         [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]),
        ("tavik_get_text", ctypes.c_int,
         [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(OWNED_TEXT)]),
        ("tavik_call_bool", ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p,
                                           ctypes.c_char_p, ctypes.c_void_p]),
        ("tavik_free", None, [ctypes.c_void_p]),
        ("tavik_last_error", ctypes.c_char_p, [])]:
    getattr(LIB, name).restype = restype
    getattr(LIB, name).argtypes = argtypes


class LateBoundHostTest(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.store = os.path.join(scratch.name, "groups.db")
        with open(os.environ["TAVIK_SCHEMA"], encoding="utf-8") as schema:
            self.sql(schema.read() + "INSERT INTO Document_Counter "
                     "VALUES ('01', 'HQ', 'UG', 6);")
        handle = ctypes.c_void_p()
        self.assertEqual(LIB.tavik_create(b"TavikUser.UserGroup",
                                          ctypes.byref(handle)), 0)
        self.addCleanup(LIB.tavik_object_release, handle)
        self.group = handle

    def sql(self, script):
        with contextlib.closing(sqlite3.connect(self.store)) as db:
            db.executescript(script)

    def let(self, member, value):
        self.assertEqual(LIB.tavik_let_text(self.group, member.encode(),
                                            value.encode()), 0)

    def text(self, member):
        out = OWNED_TEXT()
        self.assertEqual(LIB.tavik_get_text(self.group, member.encode(),
                                            ctypes.byref(out)), 0)
        try:
            return ctypes.string_at(out).decode()
        finally:
            LIB.tavik_free(out)

    def call(self, member):
        result = ctypes.c_int(-1)
        status = LIB.tavik_call_bool(self.group, member.encode(), None,
                                     ctypes.byref(result))
        return status, result.value

    def test_creates_reads_and_is_refused_with_the_text_to_show(self):
        for member, value in [("ADOConnectionString",
                               "Provider=SQLite;Data Source=" + self.store),
                              ("CompanyPrefix", "01"), ("BranchPrefix", "HQ"),
                              ("DocumentPrefix", "UG"),
                              ("GroupName", "Clérks")]:
            self.let(member, value)
        self.assertEqual(self.call("Create_Group"), (0, 1))
        self.assertEqual(self.text("GroupNumber"), "01HQUG7")

        self.sql("INSERT INTO Group_Detail VALUES ('01HQUG7', 'R1');")
        self.assertEqual(self.call("Delete_Group"), (0, 0))
        self.assertEqual(self.text("ErrDesc"),
                         "Group could not be deleted, due to user existence!")

        self.assertEqual(self.call("Delete_Everything"), (-3, 0))
        self.assertIn(b"Delete_Everything", LIB.tavik_last_error())
        with contextlib.closing(sqlite3.connect(self.store)) as db:
            self.assertEqual(db.execute("SELECT User_Group_Name FROM "
                                        "User_Group").fetchall(), [("Clérks",)])


if __name__ == "__main__":
    unittest.main()
