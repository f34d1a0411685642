"""User groups created, updated, read back and deleted late-bound, as a host
drives them from Python."""

import contextlib
import os
import sqlite3
import tempfile
import unittest

from test_c_api import AutomationObject, make_store


class UserGroupTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.store = os.path.join(self.scratch.name, "groups.db")
        make_store(self.store, [
            "INSERT INTO Document_Counter VALUES ('01', 'HQ', 'UG', 6)"])
        self.connection_string = "Provider=SQLite;Data Source=" + self.store

    def tearDown(self):
        self.scratch.cleanup()

    def execute(self, statement):
        with contextlib.closing(sqlite3.connect(self.store)) as db:
            rows = db.execute(statement).fetchall()
            db.commit()
            return rows

    def new_group(self):
        group = AutomationObject("TavikUser.UserGroup")
        group.ADOConnectionString = self.connection_string
        group.CompanyPrefix = "01"
        group.BranchPrefix = "HQ"
        group.DocumentPrefix = "UG"
        return group

    def test_one_object_creates_updates_reads_and_deletes(self):
        with self.new_group() as group:
            group.GroupName = "Payables clerks"
            group.GroupDescription = "Supplier invoices"
            self.assertTrue(group.call("Create_Group"))
            self.assertEqual(group.text("GroupNumber"), "01HQUG7")

            group.GroupName = "Payables"
            group.GroupDescription = ""
            self.assertTrue(group.call("Update_Group"))
            self.assertEqual(
                self.execute("SELECT User_Group_No, User_Group_Identity,"
                             " User_Group_Name, User_Group_Desc"
                             " FROM User_Group"),
                [("01HQUG7", 7, "Payables", "Supplier invoices")])

            group.GroupName = "to be replaced"
            self.assertTrue(group.call("Get_UserGroup", "01HQUG7"))
            self.assertEqual(group.text("GroupName"), "Payables")

            self.execute("INSERT INTO Group_Detail VALUES ('01HQUG7', 'R1')")
            self.assertFalse(group.call("Delete_Group"))
            self.assertEqual(
                group.text("ErrDesc"),
                "Group could not be deleted, due to user existence!")
            self.execute("DELETE FROM Group_Detail")
            self.assertTrue(group.call("Delete_Group"))
            self.assertEqual(self.execute("SELECT * FROM User_Group"), [])

    def test_lookup_texts_differ_by_the_full_stop(self):
        with self.new_group() as group:
            self.assertFalse(group.call("Get_UserGroup", "01HQUG9"))
            self.assertEqual(group.text("ErrDesc"),
                             "Invalid User Group Number")
            self.assertEqual(group.text("GroupNumber"), "01HQUG9")
            self.assertFalse(group.call("Get_UserGroup", ""))
            self.assertEqual(group.text("ErrDesc"),
                             "Invalid User Group Number.")
            self.assertEqual(group.text("GroupNumber"), "")


if __name__ == "__main__":
    unittest.main()
