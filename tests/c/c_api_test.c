/* The C entry points as a plain C99 host calls them, for their own contract:
 * who frees what, the status codes, the last error of each thread, and the
 * conversions of values between C and the automation types.
 * Usage: c_api_test <schema/sqlite.sql> <scratch directory> */
#define _POSIX_C_SOURCE 200112L

#include <pthread.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>

#include "tavikuser/tavikuser.h"

static int failed;

static void expect(int ok, int line, const char *what) {
  if (ok) return;
  ++failed;
  fprintf(stderr, "c_api_test.c:%d: failed: %s (last error: \"%s\")\n", line,
          what, tavik_last_error());
}

#define CHECK(condition) expect((condition) != 0, __LINE__, #condition)

/* Every status but TAVIK_OK leaves a description; TAVIK_OK clears it. */
#define CHECK_STATUS(expected, call)                               \
  expect((call) == (expected) &&                                   \
             (tavik_last_error()[0] != '\0') == ((expected) != 0), \
         __LINE__, #call)

/* A non-null pointer that a failed call must overwrite with null. */
#define STALE ((void *)&failed)

static double date_of(tavik_object *obj, const char *iso_text) {
  double date = -1.0;
  tavik_let_text(obj, "LastUpdate", iso_text);
  tavik_get_date(obj, "LastUpdate", &date);
  return date;
}

static void *fail_on_another_thread(void *unused) {
  tavik_object *obj = NULL;
  (void)unused;
  return tavik_create("There.Nothing", &obj) == TAVIK_OK ? obj : NULL;
}

static void test_statuses(tavik_object *rights) {
  tavik_object *obj = STALE;
  tavik_value *out = STALE;
  tavik_value *argument = tavik_value_text("extra");
  char *text = STALE;
  double date = -1.0;
  int flag = -1;
  size_t count = 0;
  const char *name = NULL;
  tavik_member_kind kind = TAVIK_MEMBER_LET;
  pthread_t other;

  /* The last error is the calling thread's own. */
  CHECK_STATUS(TAVIK_E_UNKNOWN_CLASS, tavik_create("TavikUser.Nothing", &obj));
  CHECK(pthread_create(&other, NULL, fail_on_another_thread, NULL) == 0 &&
        pthread_join(other, NULL) == 0);
  CHECK(obj == NULL && strstr(tavik_last_error(), "TavikUser.Nothing"));
  CHECK_STATUS(TAVIK_E_UNKNOWN_MEMBER, tavik_get_text(rights, "Nope", &text));
  CHECK(text == NULL && strstr(tavik_last_error(), "Nope"));
  CHECK_STATUS(TAVIK_E_WRONG_KIND,
               tavik_call_bool(rights, "RightsNo", NULL, &flag));
  CHECK(flag == 0);
  /* An error the operation raises to its caller is the call's own. */
  CHECK_STATUS(TAVIK_OK, tavik_create("ADODB.Connection", &obj));
  tavik_let_text(obj, "ConnectionString", "Provider=Nowhere");
  CHECK_STATUS(TAVIK_E_CALL, tavik_call(obj, "Open", NULL, 0, &out));
  CHECK(out == NULL && strstr(tavik_last_error(), "Nowhere"));
  tavik_object_release(obj);
  CHECK_STATUS(TAVIK_E_INVALID_ARG,
               tavik_call(rights, "Update_Rights",
                          (const tavik_value *const *)&argument, 1, &out));
  CHECK(out == NULL);
  /* Text and date-times never convert into each other. */
  CHECK_STATUS(TAVIK_E_TYPE_MISMATCH,
               tavik_get_text(rights, "LastUpdate", &text));
  CHECK_STATUS(TAVIK_E_TYPE_MISMATCH,
               tavik_get_date(rights, "RightsName", &date));
  CHECK(date == 0.0);

  CHECK_STATUS(TAVIK_OK, tavik_member_count(rights, &count));
  CHECK_STATUS(TAVIK_OK, tavik_member_info(rights, count - 1, &name, &kind));
  CHECK(strcmp(name, "ErrDesc") == 0 && kind == TAVIK_MEMBER_GET);
  CHECK_STATUS(TAVIK_E_INVALID_ARG,
               tavik_member_info(rights, count, &name, &kind));

  /* Null handles and pointers are refused by every entry point, never
   * followed: the object, the class or member name, the value, the argument
   * array, an out pointer. */
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_create(NULL, &obj));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_get(rights, NULL, &out));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_let(rights, "RightsNo", NULL));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_set(rights, "RightsNo", NULL));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_call(rights, "X", NULL, 1, &out));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_let_text(NULL, "RightsNo", "R"));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_get_text(rights, "ErrDesc", NULL));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_get_date(rights, NULL, &date));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_call_bool(NULL, "X", NULL, &flag));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_member_count(NULL, &count));
  CHECK_STATUS(TAVIK_E_INVALID_ARG, tavik_member_info(rights, 0, NULL, &kind));
  CHECK(out == NULL && obj == NULL);
  tavik_value_destroy(argument);
}

static void test_conversions(tavik_object *rights,
                             const char *connection_string) {
  static const char *const numbers[] = {" 17 ", "2.5", "3.5", "-2.5"};
  static const int32_t rounded_half_to_even[] = {17, 2, 4, -2};
  static const char *const not_dates[] = {"2023-02-29", "2024-05-06 24:00",
                                          "2024-05-06 07:08:09.", "2024-5-6"};
  tavik_value *value;
  char *text = NULL;
  int flag = -1;
  size_t i;

  for (i = 0; i < sizeof numbers / sizeof numbers[0]; ++i) {
    value = tavik_value_text(numbers[i]);
    CHECK(tavik_value_as_i4(value) == rounded_half_to_even[i]);
    tavik_value_destroy(value);
  }
  value = tavik_value_text("12abc");
  CHECK(tavik_value_as_i4(value) == 0 && strstr(tavik_last_error(), "12abc"));
  tavik_value_destroy(value);

  /* A Boolean true is held as -1 and read as 1, and is "True" as text. */
  value = tavik_value_bool(42);
  CHECK(tavik_value_type(value) == TAVIK_VT_BOOL &&
        tavik_value_as_i4(value) == -1 && tavik_value_as_bool(value) == 1);
  CHECK_STATUS(TAVIK_OK, tavik_let(rights, "RightsName", value));
  CHECK_STATUS(TAVIK_OK, tavik_get_text(rights, "RightsName", &text));
  CHECK(strcmp(text, "True") == 0);
  tavik_free(text);
  tavik_value_destroy(value);

  /* Days since 1899-12-30, the time of day as the fraction, which counts
   * forwards before that day too. */
  CHECK(date_of(rights, "1899-12-29 06:00") == -1.25);
  CHECK(date_of(rights, "1900-01-01T12:00:00") == 2.5);
  CHECK_STATUS(TAVIK_OK, tavik_let_date(rights, "LastUpdate", 45000.75));
  CHECK(date_of(rights, "not a date") == 45000.75);
  for (i = 0; i < sizeof not_dates / sizeof not_dates[0]; ++i) {
    CHECK_STATUS(TAVIK_E_TYPE_MISMATCH,
                 tavik_let_text(rights, "LastUpdate", not_dates[i]));
  }

  /* An operation's result: the automation Boolean, or 1 for true. */
  tavik_let_text(rights, "ADOConnectionString", connection_string);
  tavik_let_text(rights, "RightsNo", "R9");
  CHECK_STATUS(TAVIK_OK, tavik_call(rights, "Update_Rights", NULL, 0, &value));
  CHECK(tavik_value_type(value) == TAVIK_VT_BOOL &&
        tavik_value_as_i4(value) == -1);
  tavik_value_destroy(value);
  CHECK_STATUS(TAVIK_OK, tavik_call_bool(rights, "update_rights", NULL, &flag));
  CHECK(flag == 1);
  CHECK(tavik_value_type(NULL) == TAVIK_VT_EMPTY);
  CHECK(tavik_value_as_text(NULL) == NULL && tavik_value_text(NULL) == NULL);
}

/* What the library hands out is the caller's to free, once; an object lives
 * as long as any reference to it, a value's included. */
static void test_ownership(const char *connection_string) {
  tavik_object *user = NULL, *connection = NULL;
  tavik_value *holder;
  tavik_effective_rights *held = NULL;
  tavik_access_explanation *why = STALE;

  CHECK(tavik_can_unload_now() == 1);
  CHECK_STATUS(TAVIK_OK, tavik_create("TavikUser.User", &user));
  CHECK_STATUS(TAVIK_OK, tavik_create("ADODB.Connection", &connection));
  CHECK_STATUS(TAVIK_OK, tavik_set(user, "AdoConnectionObject", connection));
  tavik_object_release(connection);
  holder = tavik_value_object(user);
  tavik_object_release(user);
  CHECK(tavik_value_as_object(holder) == user && !tavik_can_unload_now());
  tavik_value_destroy(holder);
  CHECK(tavik_can_unload_now() == 1);

  CHECK_STATUS(TAVIK_OK,
               tavik_effective_rights_get(connection_string, "U1", &held));
  CHECK(held->count == 1 && held->rights[0].direct == 1 &&
        held->rights[0].group_count == 1 &&
        strcmp(held->rights[0].groups[0], "G1") == 0);
  tavik_effective_rights_free(held);
  /* A failure that the check leaves in ErrDesc is the call's error; with
   * both numbers empty, the right's is refused first, as the check does. */
  CHECK_STATUS(TAVIK_E_CALL,
               tavik_access_explain(connection_string, "", "", &why));
  CHECK(why == NULL && strcmp(tavik_last_error(), "Invalid Rights Code.") == 0);
  tavik_effective_rights_free(NULL);
  tavik_access_explanation_free(NULL);
  tavik_object_release(NULL);
}

/* A store with the host schema and one right, granted to U1 directly and
 * through the group G1. */
static int make_store(const char *schema_path, const char *store_path) {
  char schema[16384] = "";
  FILE *file = fopen(schema_path, "rb");
  sqlite3 *db = NULL;
  int ok = file && fread(schema, 1, sizeof schema - 1, file) > 0;
  if (file) fclose(file);
  remove(store_path);
  ok = ok && sqlite3_open(store_path, &db) == SQLITE_OK &&
       sqlite3_exec(db, schema, NULL, NULL, NULL) == SQLITE_OK &&
       sqlite3_exec(db,
                    "INSERT INTO Rights_Master (Rights_No) VALUES ('R1');"
                    "INSERT INTO Access_Control_Rights VALUES ('U1', 'R1');"
                    "INSERT INTO Access_Control_Groups VALUES ('U1', 'G1');"
                    "INSERT INTO Group_Detail VALUES ('G1', 'R1');",
                    NULL, NULL, NULL) == SQLITE_OK;
  if (!ok) fprintf(stderr, "cannot make the store %s\n", store_path);
  sqlite3_close(db);
  return ok;
}

int main(int argc, char **argv) {
  char store_path[4096], connection_string[4200];
  tavik_object *rights = NULL;
  if (argc != 3) return 2;
  snprintf(store_path, sizeof store_path, "%s/c_api_store.db", argv[2]);
  snprintf(connection_string, sizeof connection_string,
           "Provider=SQLite;Data Source=%s", store_path);
  if (!make_store(argv[1], store_path)) return 1;

  CHECK_STATUS(TAVIK_OK, tavik_create("TAVIKUSER.RIGHTS", &rights));
  test_statuses(rights);
  test_conversions(rights, connection_string);
  tavik_object_release(rights);
  /* Last, so that it also finds any object an earlier test leaked. */
  test_ownership(connection_string);
  printf("%s\n", failed == 0 ? "all passed" : "failed");
  return failed == 0 ? 0 : 1;
}
