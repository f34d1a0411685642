"""User accounts created, found, and given new passwords late-bound, as a
host drives them from Python, with connection objects handed in through
tavik_set."""

import contextlib
import ctypes
import os
import sqlite3
import tempfile
import unittest

from test_c_api import LIB, VT_BOOL, AutomationObject, checked, make_store, \
    value


class UserTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.store = os.path.join(self.scratch.name, "users.db")
        make_store(self.store, [
            "INSERT INTO Document_Counter VALUES ('C1', 'B2', 'US', 7)"])
        self.connection_string = "Provider=SQLite;Data Source=" + self.store

    def tearDown(self):
        self.scratch.cleanup()

    def execute(self, statement):
        with contextlib.closing(sqlite3.connect(self.store)) as db:
            return db.execute(statement).fetchall()

    def new_user(self):
        user = AutomationObject("TavikUser.User")
        user.ADOConnectionString = self.connection_string
        user.CompanyPrefix = "C1"
        user.BranchPrefix = "B2"
        user.DocumentPrefix = "US"
        user.UserID = "jdoe"
        user.UserName = "Jane Doe"
        return user

    def test_created_found_by_id_and_by_number_then_password_changed(self):
        with self.new_user() as user:
            user.UserPassword = "café"
            self.assertTrue(user.call("Create_User"))
            self.assertEqual(user.text("UserNo"), "")
            self.assertTrue(user.call("Get_User", "jdoe"))
            self.assertEqual(user.text("UserNo"), "C1B2US8")

        with AutomationObject("TavikUser.User") as user:
            user.ADOConnectionString = self.connection_string
            user.UserNo = "C1B2US8"
            out = ctypes.c_void_p()
            checked(LIB.tavik_call(user.handle, b"Get_User", None, 0,
                                   ctypes.byref(out)))
            with value(out) as found:
                self.assertEqual(LIB.tavik_value_type(found), VT_BOOL)
                self.assertEqual(LIB.tavik_value_as_bool(found), 1)
            self.assertEqual(user.text("UserID"), "jdoe")
            self.assertEqual(user.text("UserPassword"), "café")

            user.UserPassword = "CAFÉ"
            user.NewPassword = "Thé Vert"
            self.assertTrue(user.call("Change_Password"))
            self.assertEqual(user.text("ErrDesc"), "")
        self.assertEqual(self.execute("SELECT User_Password FROM User_Master"),
                         [("Thé Vert",)])

    def hand_in_connection(self, user, opened):
        connection = AutomationObject("ADODB.Connection")
        if opened:
            connection.ConnectionString = self.connection_string
            out = ctypes.c_void_p()
            checked(LIB.tavik_call(connection.handle, b"Open", None, 0,
                                   ctypes.byref(out)))
            LIB.tavik_value_destroy(out)
        checked(LIB.tavik_set(user.handle, b"AdoConnectionObject",
                              connection.handle))
        return connection

    def test_connection_objects_handed_in_through_tavik_set(self):
        with self.new_user() as user:
            self.assertTrue(user.call("Create_User"))
            with self.hand_in_connection(user, opened=False) as closed:
                user.UserID = "second"
                self.assertTrue(user.call("Create_User"))
                self.assertEqual(closed.text("ConnectionString"),
                                 self.connection_string)
            with self.hand_in_connection(user, opened=True):
                user.UserID = "refused"
                self.assertFalse(user.call("Create_User"))
                self.assertIn("while the connection is open",
                              user.text("ErrDesc"))
        self.assertEqual(
            self.execute("SELECT User_No, User_ID FROM User_Master"
                         " ORDER BY User_Identity"),
            [("C1B2US8", "jdoe"), ("C1B2US9", "second")])


if __name__ == "__main__":
    unittest.main()
