"""Rights created and updated late-bound, as a host drives them from Python."""

import contextlib
import os
import sqlite3
import tempfile
import unittest

from test_c_api import AutomationObject, make_store


class RightsTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.store = os.path.join(self.scratch.name, "rights.db")
        make_store(self.store, [
            "INSERT INTO Document_Counter VALUES ('C1', 'B2', 'RG', 44)"])
        self.connection_string = "Provider=SQLite;Data Source=" + self.store

    def tearDown(self):
        self.scratch.cleanup()

    def rows(self):
        with contextlib.closing(sqlite3.connect(self.store)) as db:
            return db.execute(
                "SELECT Rights_No, Rights_Identity, Rights_Name, Rights_Parent"
                " FROM Rights_Master ORDER BY Rights_Identity").fetchall()

    def test_one_object_creates_then_updates(self):
        with AutomationObject("TavikUser.Rights") as rights:
            rights.ADOConnectionString = self.connection_string
            rights.CompanyPrefix = "C1"
            rights.BranchPrefix = "B2"
            rights.DocumentPrefix = "RG"
            rights.RightsName = "Post journals"
            self.assertTrue(rights.call("Create_Rights"))
            self.assertTrue(rights.call("Create_Rights"))
            rights.RightsNo = "C1B2RG45"
            rights.RightsName = "Post and reverse journals"
            rights.RightsParent = "Ledger"
            self.assertTrue(rights.call("Update_Rights"))
            self.assertEqual(rights.text("ErrDesc"), "")
        self.assertEqual(self.rows(), [
            ("C1B2RG45", 45, "Post and reverse journals", "Ledger"),
            ("C1B2RG46", 46, "Post journals", ""),
        ])

    def test_validation_message_reaches_the_host(self):
        with AutomationObject("TavikUser.Rights") as rights:
            rights.ADOConnectionString = self.connection_string
            rights.CompanyPrefix = "C1"
            rights.BranchPrefix = "B2"
            rights.DocumentPrefix = "RG"
            self.assertFalse(rights.call("Create_Rights"))
            self.assertEqual(rights.text("ErrDesc"), "Invalid Rights Name")
        self.assertEqual(self.rows(), [])


if __name__ == "__main__":
    unittest.main()
