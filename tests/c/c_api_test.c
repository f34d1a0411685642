/* The C entry points driven as a plain C host drives them: by programmatic
 * identifier and member name, checking every status.
 *
 * Usage: c_api_test <schema/sqlite.sql> <scratch directory> */
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tavikuser/tavikuser.h"

static int passed;
static int failed;

static void record(int ok, const char *file, int line, const char *what) {
  if (ok) {
    ++passed;
    return;
  }
  ++failed;
  fprintf(stderr, "%s:%d: failed: %s\n", file, line, what);
}

#define CHECK(condition) \
  record((condition) != 0, __FILE__, __LINE__, #condition)

static void check_status(tavik_status expected, tavik_status actual,
                         const char *file, int line, const char *call) {
  /* Every failure must leave a description; a success must not. */
  const int described = tavik_last_error()[0] != '\0';
  record(actual == expected && described == (expected != TAVIK_OK), file, line,
         call);
  if (actual != expected) {
    fprintf(stderr, "  status %d, expected %d; last error: \"%s\"\n",
            (int)actual, (int)expected, tavik_last_error());
  }
}

#define CHECK_STATUS(expected, call) \
  check_status((expected), (call), __FILE__, __LINE__, #call)

/* Reads `member` as text and compares it with `expected`. */
static void check_text(tavik_object *obj, const char *member,
                       const char *expected, const char *file, int line) {
  char *text = NULL;
  const tavik_status status = tavik_get_text(obj, member, &text);
  record(status == TAVIK_OK && text != NULL && strcmp(text, expected) == 0,
         file, line, member);
  if (status != TAVIK_OK || text == NULL || strcmp(text, expected) != 0) {
    fprintf(stderr, "  %s: status %d, \"%s\", expected \"%s\" (%s)\n", member,
            (int)status, text ? text : "(null)", expected, tavik_last_error());
  }
  tavik_free(text);
}

#define CHECK_TEXT(obj, member, expected) \
  check_text((obj), (member), (expected), __FILE__, __LINE__)

static tavik_object *create(const char *progid) {
  tavik_object *obj = NULL;
  CHECK_STATUS(TAVIK_OK, tavik_create(progid, &obj));
  CHECK(obj != NULL);
  return obj;
}

static void test_creation_by_progid(void) {
  tavik_object *obj = NULL;

  tavik_object_release(create("tavikuser.checkaccessrights"));
  tavik_object_release(create("TAVIKUSER.RIGHTS"));
  tavik_object_release(create("ADODB.Connection"));

  CHECK_STATUS(TAVIK_E_UNKNOWN_CLASS, tavik_create("TavikUser.Nothing", &obj));
  CHECK(obj == NULL);
  CHECK(strstr(tavik_last_error(), "TavikUser.Nothing") != NULL);
}

static void test_member_resolution(void) {
  tavik_object *check = create("TavikUser.CheckAccessRights");
  /* Any non-null pointer: a failed call must leave null in its place. */
  tavik_value *result = (tavik_value *)&passed;
  tavik_value *argument = tavik_value_text("extra");
  const tavik_value *arguments[1];
  char *text = NULL;
  int granted = 0;

  arguments[0] = argument;
  CHECK_STATUS(TAVIK_E_UNKNOWN_MEMBER,
               tavik_get_text(check, "NoSuchMember", &text));
  CHECK(text == NULL);
  CHECK(strstr(tavik_last_error(), "NoSuchMember") != NULL);
  /* UserNo is write-only, ErrDesc read-only and a property, not a function. */
  CHECK_STATUS(TAVIK_E_WRONG_KIND, tavik_get_text(check, "UserNo", &text));
  CHECK_STATUS(TAVIK_E_WRONG_KIND, tavik_let_text(check, "ErrDesc", "x"));
  CHECK_STATUS(TAVIK_E_WRONG_KIND,
               tavik_call_bool(check, "ErrDesc", NULL, &granted));
  CHECK_STATUS(TAVIK_E_INVALID_ARG,
               tavik_call(check, "Check_Access_Rights", arguments, 1, &result));
  CHECK(result == NULL);
  CHECK_TEXT(check, "eRRdESC", "");

  tavik_value_destroy(argument);
  tavik_object_release(check);
}

static void test_property_values(void) {
  tavik_object *rights = create("TavikUser.Rights");
  tavik_value *value = tavik_value_i4(42);
  char *text = NULL;
  double date = -1.0;

  CHECK_STATUS(TAVIK_OK, tavik_get_date(rights, "LastUpdate", &date));
  CHECK(date == 0.0);
  CHECK_STATUS(TAVIK_OK, tavik_let_date(rights, "LastUpdate", 45000.75));
  CHECK_STATUS(TAVIK_OK, tavik_get_date(rights, "LastUpdate", &date));
  CHECK(date == 45000.75);
  CHECK_STATUS(TAVIK_E_TYPE_MISMATCH,
               tavik_get_text(rights, "LastUpdate", &text));
  CHECK(text == NULL);
  CHECK_STATUS(TAVIK_E_TYPE_MISMATCH,
               tavik_let_text(rights, "LastUpdate", "not a date"));
  CHECK_STATUS(TAVIK_E_TYPE_MISMATCH,
               tavik_get_date(rights, "RightsName", &date));

  CHECK_STATUS(TAVIK_OK, tavik_let_text(rights, "RightsName",
                                        "Journal \xc3\xa9"
                                        "critures"));
  CHECK_TEXT(rights, "RightsName",
             "Journal \xc3\xa9"
             "critures");
  /* A number assigned to a text property becomes its decimal text. */
  CHECK_STATUS(TAVIK_OK, tavik_let(rights, "RightsName", value));
  CHECK_TEXT(rights, "RightsName", "42");
  tavik_value_destroy(value);

  /* ErrDesc of a new object is the empty text, not an empty value. */
  value = NULL;
  CHECK_STATUS(TAVIK_OK, tavik_get(rights, "ErrDesc", &value));
  CHECK(tavik_value_type(value) == TAVIK_VT_TEXT);
  CHECK(tavik_value_as_text(value) != NULL &&
        strcmp(tavik_value_as_text(value), "") == 0);
  tavik_value_destroy(value);

  tavik_object_release(rights);
}

static void test_object_properties(void) {
  tavik_object *user = create("TavikUser.User");
  tavik_object *connection = create("ADODB.Connection");

  CHECK_STATUS(TAVIK_OK, tavik_set(user, "AdoConnectionObject", connection));
  CHECK_STATUS(TAVIK_E_WRONG_KIND, tavik_set(user, "UserName", connection));

  tavik_object_release(connection);
  tavik_object_release(user);
}

static void test_type_information(void) {
  static const struct {
    const char *name;
    tavik_member_kind kind;
  } expected[] = {{"ADOConnectionString", TAVIK_MEMBER_LET},
                  {"RightsNo", TAVIK_MEMBER_LET},
                  {"UserNo", TAVIK_MEMBER_LET},
                  {"Check_Access_Rights", TAVIK_MEMBER_FUNCTION},
                  {"ErrDesc", TAVIK_MEMBER_GET}};
  const size_t expected_count = sizeof expected / sizeof expected[0];
  tavik_object *check = create("TavikUser.CheckAccessRights");
  size_t count = 0;
  size_t i;
  const char *name = NULL;
  tavik_member_kind kind = TAVIK_MEMBER_GET;

  CHECK_STATUS(TAVIK_OK, tavik_member_count(check, &count));
  CHECK(count == expected_count);
  for (i = 0; i < expected_count; ++i) {
    CHECK_STATUS(TAVIK_OK, tavik_member_info(check, i, &name, &kind));
    CHECK(name != NULL && strcmp(name, expected[i].name) == 0);
    CHECK(kind == expected[i].kind);
  }
  CHECK_STATUS(TAVIK_E_INVALID_ARG,
               tavik_member_info(check, expected_count, &name, &kind));

  tavik_object_release(check);
}

static void test_null_handles(void) {
  tavik_object *rights = create("TavikUser.Rights");
  tavik_value *value = tavik_value_empty();
  tavik_object *obj = NULL;
  tavik_value *out = NULL;
  char *text = NULL;
  double date = 0.0;
  int flag = 0;
  size_t count = 0;
  const char *name = NULL;
  tavik_member_kind kind = TAVIK_MEMBER_GET;

  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_create(NULL, &obj));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_create("TavikUser.Rights", NULL));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_get(NULL, "ErrDesc", &out));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_get(rights, NULL, &out));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_get(rights, "ErrDesc", NULL));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_let(rights, "RightsNo", NULL));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_let(NULL, "RightsNo", value));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_set(rights, "RightsNo", NULL));
  CHECK_STATUS(TAVIK_E_INVALID_ARG,
               tavik_call(rights, "Anything", NULL, 1, &out));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_let_text(rights, "RightsNo", NULL));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_get_text(NULL, "ErrDesc", &text));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_get_text(rights, "ErrDesc", NULL));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_let_date(NULL, "LastUpdate", 1.0));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_get_date(rights, NULL, &date));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_call_bool(NULL, "X", NULL, &flag));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_member_count(NULL, &count));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_member_info(rights, 0, NULL, &kind));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_member_info(rights, 0, &name, NULL));
  CHECK(out == NULL && text == NULL && obj == NULL);

  /* The functions without a status take null as nothing. */
  CHECK(tavik_value_text(NULL) == NULL);
  CHECK(tavik_value_object(NULL) == NULL);
  CHECK(tavik_value_type(NULL) == TAVIK_VT_EMPTY);
  CHECK(tavik_value_as_text(NULL) == NULL);
  CHECK(tavik_value_as_bool(NULL) == 0);
  CHECK(tavik_value_as_object(NULL) == NULL);
  tavik_object_addref(NULL);
  tavik_object_release(NULL);
  tavik_value_destroy(NULL);
  tavik_free(NULL);

  tavik_value_destroy(value);
  tavik_object_release(rights);
}

/* A value holding an object keeps it alive; the library may be unloaded only
 * once the last reference, the value's included, is gone. */
static void test_library_lifetime(void) {
  tavik_object *rights;
  tavik_value *holder;

  CHECK(tavik_can_unload_now() == 1);
  rights = create("TavikUser.Rights");
  CHECK(tavik_can_unload_now() == 0);
  holder = tavik_value_object(rights);
  tavik_object_release(rights);
  CHECK(tavik_value_type(holder) == TAVIK_VT_OBJECT);
  CHECK(tavik_value_as_object(holder) == rights);
  CHECK(tavik_can_unload_now() == 0);
  tavik_value_destroy(holder);
  CHECK(tavik_can_unload_now() == 1);
}

/* Creates a store with the host schema, one right and one direct grant. */
static int make_store(const char *schema_path, const char *store_path) {
  FILE *schema_file = fopen(schema_path, "rb");
  char *schema = NULL;
  long size;
  sqlite3 *db = NULL;
  int ok = 0;

  if (schema_file == NULL || fseek(schema_file, 0, SEEK_END) != 0 ||
      (size = ftell(schema_file)) < 0 || fseek(schema_file, 0, SEEK_SET) != 0 ||
      (schema = malloc((size_t)size + 1)) == NULL ||
      fread(schema, 1, (size_t)size, schema_file) != (size_t)size) {
    fprintf(stderr, "cannot read %s\n", schema_path);
  } else {
    schema[size] = '\0';
    remove(store_path);
    ok = sqlite3_open(store_path, &db) == SQLITE_OK &&
         sqlite3_exec(db, schema, NULL, NULL, NULL) == SQLITE_OK &&
         sqlite3_exec(db,
                      "INSERT INTO Rights_Master (Rights_No) VALUES ('R1');"
                      "INSERT INTO Access_Control_Rights (User_No, Rights_No)"
                      " VALUES ('U1', 'R1');",
                      NULL, NULL, NULL) == SQLITE_OK;
    if (!ok) fprintf(stderr, "cannot make the store: %s\n", sqlite3_errmsg(db));
    sqlite3_close(db);
  }
  free(schema);
  if (schema_file != NULL) fclose(schema_file);
  return ok;
}

/* Sets one more property, runs the check and compares its result and, on
 * false, ErrDesc. */
static void check_access(tavik_object *check, const char *member,
                         const char *value, int expected,
                         const char *expected_err_desc, const char *file,
                         int line) {
  int granted = -1;
  if (member != NULL) {
    check_status(TAVIK_OK, tavik_let_text(check, member, value), file, line,
                 member);
  }
  check_status(TAVIK_OK,
               tavik_call_bool(check, "Check_Access_Rights", NULL, &granted),
               file, line, "Check_Access_Rights");
  record(granted == expected, file, line, "the check's result");
  if (!expected) check_text(check, "ErrDesc", expected_err_desc, file, line);
}

#define CHECK_ACCESS(check, member, value, expected, err_desc)               \
  check_access((check), (member), (value), (expected), (err_desc), __FILE__, \
               __LINE__)

static void test_check_access_rights(const char *schema_path,
                                     const char *scratch_dir) {
  char store_path[4096];
  char connection_string[4200];
  tavik_object *check;
  tavik_value *result = NULL;

  snprintf(store_path, sizeof store_path, "%s/c_api_store.db", scratch_dir);
  snprintf(connection_string, sizeof connection_string,
           "Provider=SQLite;Data Source=%s", store_path);
  CHECK(make_store(schema_path, store_path));

  /* Each validation in turn, then a grant and a refusal. */
  check = create("TavikUser.CheckAccessRights");
  CHECK_ACCESS(check, NULL, NULL, 0, "Invalid Connection string Property.");
  CHECK_ACCESS(check, "ADOConnectionString", connection_string, 0,
               "Invalid Rights Code.");
  CHECK_ACCESS(check, "RightsNo", "R1", 0, "Invalid User No.");
  CHECK_ACCESS(check, "UserNo", "U1", 1, NULL);
  CHECK_ACCESS(check, "UserNo", "U2", 0, "Access Denied");

  /* The general call hands back the automation Boolean. */
  CHECK_STATUS(TAVIK_OK, tavik_let_text(check, "UserNo", "U1"));
  CHECK_STATUS(TAVIK_OK,
               tavik_call(check, "Check_Access_Rights", NULL, 0, &result));
  CHECK(tavik_value_type(result) == TAVIK_VT_BOOL);
  CHECK(tavik_value_as_i4(result) == -1);
  tavik_value_destroy(result);

  tavik_object_release(check);
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <sqlite schema> <scratch directory>\n", argv[0]);
    return 2;
  }
  test_creation_by_progid();
  test_member_resolution();
  test_property_values();
  test_object_properties();
  test_type_information();
  test_null_handles();
  test_check_access_rights(argv[1], argv[2]);
  /* Last, so that it also finds any object an earlier test leaked. */
  test_library_lifetime();

  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
