"""The C entry points driven from Python through ctypes, as a host would.

TAVIK_LIBRARY names the built libtavikuser.so and TAVIK_SCHEMA the SQLite
schema of the host tables.
"""

import contextlib
import ctypes
import os
import sqlite3
import tempfile
import threading
import unittest

OK = 0
E_INVALID_ARG = -1
E_UNKNOWN_CLASS = -2
E_UNKNOWN_MEMBER = -3
E_WRONG_KIND = -4
E_TYPE_MISMATCH = -5

VT_EMPTY, VT_I4, VT_DATE, VT_TEXT, VT_OBJECT, VT_BOOL = 0, 3, 7, 8, 9, 11


class HeldRight(ctypes.Structure):
    _fields_ = [("rights_no", ctypes.c_char_p),
                ("rights_name", ctypes.c_char_p),
                ("direct", ctypes.c_int),
                ("groups", ctypes.POINTER(ctypes.c_char_p)),
                ("group_count", ctypes.c_size_t)]


class EffectiveRights(ctypes.Structure):
    _fields_ = [("rights", ctypes.POINTER(HeldRight)),
                ("count", ctypes.c_size_t)]


class AccessExplanation(ctypes.Structure):
    _fields_ = [("granted", ctypes.c_int),
                ("missing", ctypes.c_int),
                ("in_catalogue", ctypes.c_int),
                ("rights_name", ctypes.c_char_p),
                ("user_known", ctypes.c_int),
                ("direct", ctypes.c_int),
                ("granting_groups", ctypes.POINTER(ctypes.c_char_p)),
                ("granting_group_count", ctypes.c_size_t),
                ("user_groups", ctypes.POINTER(ctypes.c_char_p)),
                ("user_group_count", ctypes.c_size_t)]


MISSING_NONE, MISSING_CATALOGUE_ROW, MISSING_USER, MISSING_GRANT = 0, 1, 2, 3


def load_library(path):
    lib = ctypes.CDLL(path)
    obj = ctypes.c_void_p
    value = ctypes.c_void_p
    text = ctypes.c_char_p
    status = ctypes.c_int
    # Texts handed out must reach tavik_free, so they come back as raw
    # pointers, never as Python bytes.
    owned_text = ctypes.POINTER(ctypes.c_char)
    signatures = {
        "tavik_create": (status, [text, ctypes.POINTER(obj)]),
        "tavik_object_addref": (None, [obj]),
        "tavik_object_release": (None, [obj]),
        "tavik_get": (status, [obj, text, ctypes.POINTER(value)]),
        "tavik_let": (status, [obj, text, value]),
        "tavik_set": (status, [obj, text, obj]),
        "tavik_call": (status, [obj, text, ctypes.POINTER(value),
                                ctypes.c_size_t, ctypes.POINTER(value)]),
        "tavik_let_text": (status, [obj, text, text]),
        "tavik_get_text": (status, [obj, text, ctypes.POINTER(owned_text)]),
        "tavik_let_date": (status, [obj, text, ctypes.c_double]),
        "tavik_get_date": (status, [obj, text,
                                    ctypes.POINTER(ctypes.c_double)]),
        "tavik_call_bool": (status, [obj, text, text,
                                     ctypes.POINTER(ctypes.c_int)]),
        "tavik_free": (None, [ctypes.c_void_p]),
        "tavik_last_error": (text, []),
        "tavik_value_empty": (value, []),
        "tavik_value_text": (value, [text]),
        "tavik_value_bool": (value, [ctypes.c_int]),
        "tavik_value_i4": (value, [ctypes.c_int32]),
        "tavik_value_date": (value, [ctypes.c_double]),
        "tavik_value_object": (value, [obj]),
        "tavik_value_type": (ctypes.c_int, [value]),
        "tavik_value_as_text": (text, [value]),
        "tavik_value_as_bool": (ctypes.c_int, [value]),
        "tavik_value_as_i4": (ctypes.c_int32, [value]),
        "tavik_value_as_date": (ctypes.c_double, [value]),
        "tavik_value_as_object": (obj, [value]),
        "tavik_value_destroy": (None, [value]),
        "tavik_member_count": (status, [obj, ctypes.POINTER(ctypes.c_size_t)]),
        "tavik_member_info": (status, [obj, ctypes.c_size_t,
                                       ctypes.POINTER(text),
                                       ctypes.POINTER(ctypes.c_int)]),
        "tavik_can_unload_now": (ctypes.c_int, []),
        "tavik_effective_rights_get": (status, [
            text, text, ctypes.POINTER(ctypes.POINTER(EffectiveRights))]),
        "tavik_effective_rights_free": (None, [
            ctypes.POINTER(EffectiveRights)]),
        "tavik_access_explain": (status, [
            text, text, text,
            ctypes.POINTER(ctypes.POINTER(AccessExplanation))]),
        "tavik_access_explanation_free": (None, [
            ctypes.POINTER(AccessExplanation)]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


LIB = load_library(os.environ["TAVIK_LIBRARY"])


class TavikError(Exception):
    def __init__(self, status, description):
        super().__init__(f"status {status}: {description}")
        self.status = status
        self.description = description


def checked(status):
    if status != OK:
        raise TavikError(status, LIB.tavik_last_error().decode())


class AutomationObject:
    """One reference to an object, released when the `with` block ends."""

    def __init__(self, progid):
        handle = ctypes.c_void_p()
        checked(LIB.tavik_create(progid.encode(), ctypes.byref(handle)))
        self.handle = handle

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        LIB.tavik_object_release(self.handle)
        self.handle = None

    def __setattr__(self, name, value):
        if name == "handle":
            super().__setattr__(name, value)
        else:
            checked(LIB.tavik_let_text(self.handle, name.encode(),
                                       value.encode()))

    def text(self, member):
        out = ctypes.POINTER(ctypes.c_char)()
        checked(LIB.tavik_get_text(self.handle, member.encode(),
                                   ctypes.byref(out)))
        try:
            return ctypes.string_at(out).decode()
        finally:
            LIB.tavik_free(out)

    def date(self, member):
        out = ctypes.c_double()
        checked(LIB.tavik_get_date(self.handle, member.encode(),
                                   ctypes.byref(out)))
        return out.value

    def call(self, member, argument=None):
        out = ctypes.c_int(-1)
        checked(LIB.tavik_call_bool(
            self.handle, member.encode(),
            None if argument is None else argument.encode(),
            ctypes.byref(out)))
        return out.value == 1


@contextlib.contextmanager
def value(handle):
    """A value handed out by the library, destroyed at the end."""
    try:
        yield handle
    finally:
        LIB.tavik_value_destroy(handle)


def make_store(path, statements):
    with open(os.environ["TAVIK_SCHEMA"], encoding="utf-8") as schema:
        script = schema.read()
    with contextlib.closing(sqlite3.connect(path)) as db:
        db.executescript(script)
        for statement in statements:
            db.execute(statement)
        db.commit()


class CheckAccessRightsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        store = os.path.join(cls.scratch.name, "rights.db")
        make_store(store, [
            "INSERT INTO Rights_Master (Rights_No) VALUES ('R1'), ('R2')",
            "INSERT INTO Access_Control_Rights VALUES ('U1', 'R1')",
            "INSERT INTO Group_Detail VALUES ('G1', 'R2')",
            "INSERT INTO Access_Control_Groups VALUES ('U2', 'G1')",
            "INSERT INTO User_Master (User_No) VALUES ('U1'), ('U2')",
        ])
        cls.connection_string = "Provider=SQLite;Data Source=" + store

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def check(self, user_no, rights_no):
        check = AutomationObject("TavikUser.CheckAccessRights")
        check.ADOConnectionString = self.connection_string
        check.UserNo = user_no
        check.RightsNo = rights_no
        return check

    def test_direct_and_group_grants(self):
        for user_no, rights_no, granted in [("U1", "R1", True),
                                            ("U2", "R2", True),
                                            ("U1", "R2", False),
                                            ("U2", "R1", False)]:
            with self.subTest(user=user_no, right=rights_no):
                with self.check(user_no, rights_no) as check:
                    self.assertEqual(check.call("Check_Access_Rights"),
                                     granted)
                    self.assertEqual(check.text("ErrDesc"),
                                     "" if granted else "Access Denied")

    def test_grant_leaves_an_earlier_refusal_in_err_desc(self):
        with self.check("U3", "R1") as check:
            self.assertFalse(check.call("Check_Access_Rights"))
            check.UserNo = "U1"
            self.assertTrue(check.call("Check_Access_Rights"))
            self.assertEqual(check.text("ErrDesc"), "Access Denied")

    def test_effective_rights_and_explanations(self):
        def texts(pointer, count):
            return [pointer[i].decode() for i in range(count)]

        out = ctypes.POINTER(EffectiveRights)()
        checked(LIB.tavik_effective_rights_get(
            self.connection_string.encode(), b"U2", ctypes.byref(out)))
        try:
            held = [(r.rights_no.decode(), r.direct,
                     texts(r.groups, r.group_count))
                    for r in out.contents.rights[:out.contents.count]]
        finally:
            LIB.tavik_effective_rights_free(out)
        self.assertEqual(held, [("R2", 0, ["G1"])])

        for user_no, rights_no, granted, missing, groups in [
                ("U2", "R2", 1, MISSING_NONE, ["G1"]),
                ("U1", "R2", 0, MISSING_GRANT, []),
                ("U3", "R1", 0, MISSING_USER, []),
                ("U1", "R9", 0, MISSING_CATALOGUE_ROW, [])]:
            with self.subTest(user=user_no, right=rights_no):
                why = ctypes.POINTER(AccessExplanation)()
                checked(LIB.tavik_access_explain(
                    self.connection_string.encode(), user_no.encode(),
                    rights_no.encode(), ctypes.byref(why)))
                try:
                    self.assertEqual(why.contents.granted, granted)
                    self.assertEqual(why.contents.missing, missing)
                    self.assertEqual(texts(why.contents.granting_groups,
                                           why.contents.granting_group_count),
                                     groups)
                finally:
                    LIB.tavik_access_explanation_free(why)

        why = ctypes.POINTER(AccessExplanation)()
        with self.assertRaises(TavikError) as raised:
            checked(LIB.tavik_access_explain(
                self.connection_string.encode(), b"U1", b"", ctypes.byref(why)))
        self.assertEqual(raised.exception.description, "Invalid Rights Code.")
        self.assertFalse(why)

    def test_single_quote_in_user_no_is_refused(self):
        with self.check("U1' OR '1'='1", "R1") as check:
            self.assertFalse(check.call("Check_Access_Rights"))
            self.assertNotEqual(check.text("ErrDesc"), "")


class StatusTest(unittest.TestCase):
    def assertStatus(self, status, action):
        with self.assertRaises(TavikError) as raised:
            action()
        self.assertEqual(raised.exception.status, status)
        self.assertNotEqual(raised.exception.description, "")

    def test_failures_are_statuses_with_descriptions(self):
        self.assertStatus(E_UNKNOWN_CLASS,
                          lambda: AutomationObject("TavikUser.Missing"))
        with AutomationObject("TavikUser.Rights") as rights:
            self.assertStatus(E_UNKNOWN_MEMBER, lambda: rights.text("Nope"))
            self.assertStatus(E_TYPE_MISMATCH,
                              lambda: rights.text("LastUpdate"))
            self.assertStatus(E_TYPE_MISMATCH, lambda: rights.date("RightsNo"))
            self.assertStatus(E_WRONG_KIND, lambda: rights.call("RightsNo"))
            self.assertStatus(E_INVALID_ARG,
                              lambda: checked(LIB.tavik_get_text(
                                  rights.handle, b"ErrDesc", None)))
            self.assertStatus(E_INVALID_ARG,
                              lambda: checked(LIB.tavik_let_text(
                                  None, b"RightsNo", b"R1")))

    def test_last_error_belongs_to_its_thread(self):
        self.assertStatus(E_UNKNOWN_CLASS,
                          lambda: AutomationObject("Here.Missing"))
        other = threading.Thread(target=lambda: LIB.tavik_create(
            b"There.Missing", ctypes.byref(ctypes.c_void_p())))
        other.start()
        other.join()
        self.assertIn(b"Here.Missing", LIB.tavik_last_error())


class ValueTest(unittest.TestCase):
    def test_scalars_round_trip(self):
        with value(LIB.tavik_value_i4(-7)) as v:
            self.assertEqual(LIB.tavik_value_type(v), VT_I4)
            self.assertEqual(LIB.tavik_value_as_i4(v), -7)
        with value(LIB.tavik_value_date(45292.25)) as v:
            self.assertEqual(LIB.tavik_value_type(v), VT_DATE)
            self.assertEqual(LIB.tavik_value_as_date(v), 45292.25)
        with value(LIB.tavik_value_text("\u00e9t\u00e9".encode())) as v:
            self.assertEqual(LIB.tavik_value_type(v), VT_TEXT)
            self.assertEqual(LIB.tavik_value_as_text(v).decode(),
                             "\u00e9t\u00e9")
        with value(LIB.tavik_value_empty()) as v:
            self.assertEqual(LIB.tavik_value_type(v), VT_EMPTY)
            self.assertIsNone(LIB.tavik_value_as_text(v))

    def test_booleans_hold_minus_one_and_read_as_one(self):
        for given, held, read in [(1, -1, 1), (42, -1, 1), (0, 0, 0)]:
            with self.subTest(given=given):
                with value(LIB.tavik_value_bool(given)) as v:
                    self.assertEqual(LIB.tavik_value_type(v), VT_BOOL)
                    self.assertEqual(LIB.tavik_value_as_i4(v), held)
                    self.assertEqual(LIB.tavik_value_as_bool(v), read)

    def test_unconvertible_value_gives_zero_and_a_description(self):
        with value(LIB.tavik_value_text(b"not a number")) as v:
            self.assertEqual(LIB.tavik_value_as_i4(v), 0)
            self.assertIn(b"not a number", LIB.tavik_last_error())

    def test_values_cross_let_get_and_call(self):
        with AutomationObject("TavikUser.Rights") as rights:
            with value(LIB.tavik_value_i4(12)) as number:
                checked(LIB.tavik_let(rights.handle, b"RightsNo", number))
            out = ctypes.c_void_p()
            checked(LIB.tavik_get(rights.handle, b"RightsNo",
                                  ctypes.byref(out)))
            with value(out) as v:
                self.assertEqual(LIB.tavik_value_as_text(v), b"12")

        with AutomationObject("TavikUser.CheckAccessRights") as check:
            out = ctypes.c_void_p()
            checked(LIB.tavik_call(check.handle, b"Check_Access_Rights",
                                   None, 0, ctypes.byref(out)))
            with value(out) as result:
                self.assertEqual(LIB.tavik_value_type(result), VT_BOOL)
                self.assertEqual(LIB.tavik_value_as_bool(result), 0)
            self.assertEqual(check.text("ErrDesc"),
                             "Invalid Connection string Property.")


if __name__ == "__main__":
    unittest.main()
