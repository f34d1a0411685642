"""Roles created, renamed and deleted late-bound, as a host drives them."""

import contextlib
import os
import sqlite3
import tempfile
import unittest

from test_c_api import AutomationObject, make_store


class RoleTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.store = os.path.join(self.scratch.name, "roles.db")
        make_store(self.store, [
            "INSERT INTO Document_Counter VALUES ('C1', 'B2', 'RL', 6)",
            "INSERT INTO Role_Detail VALUES ('C1B2RL7', 'R1')",
            "INSERT INTO Access_Control VALUES ('C1B2RL7', 'G1')",
        ])

    def tearDown(self):
        self.scratch.cleanup()

    def rows(self, sql):
        with contextlib.closing(sqlite3.connect(self.store)) as db:
            return db.execute(sql).fetchall()

    def test_one_object_creates_renames_and_deletes(self):
        with AutomationObject("TavikUser.Role") as role:
            role.ADOConnectionString = "Provider=SQLite;Data Source=" + self.store
            role.CompanyPrefix = "C1"
            role.BranchPrefix = "B2"
            role.DocumentPrefix = "RL"
            role.RoleName = "Clerk"
            self.assertTrue(role.call("Create_Role"))
            role.RoleNumber = "C1B2RL7"
            role.RoleName = "Senior clerk"
            self.assertTrue(role.call("Update_Role"))
            self.assertEqual(self.rows("SELECT Role_No, Role_Name FROM Role_Master"),
                             [("C1B2RL7", "Senior clerk")])
            self.assertTrue(role.call("Delete_Role"))
            role.RoleNumber = "C1B2RL99"
            self.assertFalse(role.call("Update_Role"))
            self.assertIn("No current row", role.text("ErrDesc"))
        for table in ("Role_Master", "Role_Detail", "Access_Control"):
            self.assertEqual(self.rows(f"SELECT * FROM {table}"), [], table)


if __name__ == "__main__":
    unittest.main()
