/*
 * The C entry points of libtavikuser: the five classes driven late-bound, by
 * programmatic identifier and member name, from any host that can call C.
 *
 *   tavik_object *check = NULL;
 *   int granted = 0;
 *   char *why = NULL;
 *   tavik_create("TavikUser.CheckAccessRights", &check);
 *   tavik_let_text(check, "ADOConnectionString",
 *                  "Provider=SQLite;Data Source=tavik.db");
 *   tavik_let_text(check, "RightsNo", "C1B2RG45");
 *   tavik_let_text(check, "UserNo", "C1B2US7");
 *   if (tavik_call_bool(check, "Check_Access_Rights", NULL, &granted) ==
 *           TAVIK_OK && !granted &&
 *       tavik_get_text(check, "ErrDesc", &why) == TAVIK_OK) {
 *     show(why);
 *     tavik_free(why);
 *   }
 *   tavik_object_release(check);
 *
 * Conventions that hold for every function:
 * - Text crosses as NUL-terminated UTF-8. A date-time crosses as the
 *   automation date: days since 1899-12-30 00:00, the time of day as the
 *   fraction.
 * - A `char *` handed out is the caller's: free it with tavik_free. A
 *   `const char *` is borrowed (see each function for how long it lives).
 * - A `tavik_value *` handed out is the caller's: destroy it with
 *   tavik_value_destroy.
 * - Member names and programmatic identifiers are matched without regard to
 *   letter case.
 * - No function lets a failure escape as anything but its result: a null
 *   handle or pointer gives TAVIK_E_INVALID_ARG, never a crash. Any status
 *   other than TAVIK_OK leaves a description for tavik_last_error() on the
 *   calling thread.
 * - On failure an out-parameter is left null (or zero); nothing needs freeing.
 */
#ifndef TAVIKUSER_TAVIKUSER_H_
#define TAVIKUSER_TAVIKUSER_H_

#include <stddef.h>
#include <stdint.h>

#include "tavikuser/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An automation object; reference counted. */
typedef struct tavik_object tavik_object;
/* A variant; owned by whoever received it. */
typedef struct tavik_value tavik_value;

typedef enum {
  TAVIK_OK = 0,
  /* a null handle or pointer, a bad argument count */
  TAVIK_E_INVALID_ARG = -1,
  /* no class registered under that programmatic identifier */
  TAVIK_E_UNKNOWN_CLASS = -2,
  /* the object has no member of that name */
  TAVIK_E_UNKNOWN_MEMBER = -3,
  /* e.g. reading a write-only property, calling a property */
  TAVIK_E_WRONG_KIND = -4,
  /* a value that cannot be converted to the member's type */
  TAVIK_E_TYPE_MISMATCH = -5,
  /* the operation itself raised an error to its caller */
  TAVIK_E_CALL = -6,
  TAVIK_E_NO_MEMORY = -7
} tavik_status;

typedef enum {
  TAVIK_VT_EMPTY = 0,
  TAVIK_VT_NULL = 1,
  TAVIK_VT_I4 = 3,
  TAVIK_VT_DATE = 7,
  TAVIK_VT_TEXT = 8,
  TAVIK_VT_OBJECT = 9,
  TAVIK_VT_BOOL = 11
} tavik_vartype;

typedef enum {
  TAVIK_MEMBER_GET = 1,
  TAVIK_MEMBER_LET = 2,
  TAVIK_MEMBER_SET = 3,
  TAVIK_MEMBER_FUNCTION = 4
} tavik_member_kind;

/* ---- Objects ---------------------------------------------------------- */

/* Creates an object of the class registered as `progid` (TavikUser.Rights,
 * TavikUser.Role, TavikUser.UserGroup, TavikUser.CheckAccessRights,
 * TavikUser.User, ADODB.Connection, TavikSystem.CounterTransaction, or one a
 * host registered). `*out` receives it holding one reference, which the
 * caller drops with tavik_object_release. */
TAVIK_EXPORT tavik_status tavik_create(const char *progid, tavik_object **out);

/* Adds a reference to `obj`; each needs its own tavik_object_release. Null is
 * ignored. */
TAVIK_EXPORT void tavik_object_addref(tavik_object *obj);

/* Drops one reference; the object goes with its last one. Null is ignored. */
TAVIK_EXPORT void tavik_object_release(tavik_object *obj);

/* ---- Members, late-bound ---------------------------------------------- */

/* Reads a property. `*out` receives a new value: tavik_value_destroy. */
TAVIK_EXPORT tavik_status tavik_get(tavik_object *obj, const char *member,
                                    tavik_value **out);

/* Assigns a value to a property. `value` stays the caller's. */
TAVIK_EXPORT tavik_status tavik_let(tavik_object *obj, const char *member,
                                    const tavik_value *value);

/* Assigns an object to an object property; the object property takes its own
 * reference, `value` stays the caller's. */
TAVIK_EXPORT tavik_status tavik_set(tavik_object *obj, const char *member,
                                    tavik_object *value);

/* Runs a Function member with `nargs` arguments (`args` may be null when
 * `nargs` is 0; an optional argument may be left out). The arguments stay the
 * caller's. `*out` receives the result, a new value: tavik_value_destroy.
 * When the operation raises an error to its caller instead of returning a
 * result, the status is TAVIK_E_CALL, `*out` is left null and
 * tavik_last_error() holds that error's description. */
TAVIK_EXPORT tavik_status tavik_call(tavik_object *obj, const char *member,
                                     const tavik_value *const *args,
                                     size_t nargs, tavik_value **out);

/* Assigns text to a property. `utf8` stays the caller's. */
TAVIK_EXPORT tavik_status tavik_let_text(tavik_object *obj, const char *member,
                                         const char *utf8);

/* Reads a property as text. `*out` receives a copy: tavik_free. A date-time
 * property is TAVIK_E_TYPE_MISMATCH: it has no text form to agree on. */
TAVIK_EXPORT tavik_status tavik_get_text(tavik_object *obj, const char *member,
                                         char **out);

/* Assigns an automation date to a property. */
TAVIK_EXPORT tavik_status tavik_let_date(tavik_object *obj, const char *member,
                                         double oadate);

/* Reads a date-time property as an automation date. Any other property is
 * TAVIK_E_TYPE_MISMATCH. */
TAVIK_EXPORT tavik_status tavik_get_date(tavik_object *obj, const char *member,
                                         double *out);

/* Runs a Function member whose result is a Boolean. `arg` is its one text
 * argument (that of Get_User, Get_User_Unique or Get_UserGroup), null for
 * none; it stays the caller's. `*out` receives 1 for true, 0 for false. */
TAVIK_EXPORT tavik_status tavik_call_bool(tavik_object *obj, const char *member,
                                          const char *arg, int *out);

/* Frees a `char *` that this library handed out. Null is ignored. */
TAVIK_EXPORT void tavik_free(void *p);

/* The description left by the last call on this thread that did not return
 * TAVIK_OK; the empty text when the last such call succeeded. Never null.
 * Borrowed: it lives until the next call on this thread. */
TAVIK_EXPORT const char *tavik_last_error(void);

/* ---- Values ----------------------------------------------------------- */

/* Each returns a new value, the caller's (tavik_value_destroy), or null when
 * memory runs out or an argument is null. */
TAVIK_EXPORT tavik_value *tavik_value_empty(void);
/* Copies `utf8`. */
TAVIK_EXPORT tavik_value *tavik_value_text(const char *utf8);
/* Any non-zero `b` is true; the value holds the automation Boolean (-1). */
TAVIK_EXPORT tavik_value *tavik_value_bool(int b);
TAVIK_EXPORT tavik_value *tavik_value_i4(int32_t i);
TAVIK_EXPORT tavik_value *tavik_value_date(double oadate);
/* Takes its own reference to `obj`: the caller keeps its own. */
TAVIK_EXPORT tavik_value *tavik_value_object(tavik_object *obj);

/* The type of the value held; TAVIK_VT_EMPTY for null. */
TAVIK_EXPORT tavik_vartype tavik_value_type(const tavik_value *v);

/* The text held, borrowed for the life of `v`; null when `v` is null or holds
 * no text (nothing is converted). */
TAVIK_EXPORT const char *tavik_value_as_text(const tavik_value *v);

/* The value converted by the automation rules. A value that cannot be
 * converted, or a null `v`, gives 0 (0.0, null) and leaves a description for
 * tavik_last_error(). */
/* 1 for true, 0 for false. */
TAVIK_EXPORT int tavik_value_as_bool(const tavik_value *v);
/* A Boolean true is -1. */
TAVIK_EXPORT int32_t tavik_value_as_i4(const tavik_value *v);
TAVIK_EXPORT double tavik_value_as_date(const tavik_value *v);
/* Borrowed for the life of `v`: add a reference to keep it longer. */
TAVIK_EXPORT tavik_object *tavik_value_as_object(const tavik_value *v);

/* Destroys a value, releasing an object it holds. Null is ignored. */
TAVIK_EXPORT void tavik_value_destroy(tavik_value *v);

/* ---- Type information ------------------------------------------------- */

/* The number of members of the object's class. */
TAVIK_EXPORT tavik_status tavik_member_count(tavik_object *obj, size_t *out);

/* The member at `index` (0 .. count-1, in interface order; the dispatch
 * identifier is index + 1). A property with both a getter and a setter has
 * two entries, in the class's own order. `*name` is borrowed and lives as
 * long as the library. An index past the end is TAVIK_E_INVALID_ARG. */
TAVIK_EXPORT tavik_status tavik_member_info(tavik_object *obj, size_t index,
                                            const char **name,
                                            tavik_member_kind *kind);

/* ---- What a user holds, and why --------------------------------------- */

/* The same questions as TavikUser.CheckAccessRights asks, answered in one
 * statement each (C++: tavikuser/access_report.h). Both functions are
 * thread-safe. A failure that Check_Access_Rights would leave in ErrDesc (an
 * empty connection string or number, a number with a single quote, the
 * store's own failure) is TAVIK_E_CALL with that text in tavik_last_error().
 * Every text in a result is borrowed from the result and lives until it is
 * freed. */

/* One right held, and how: `direct` is 1 when an Access_Control_Rights row
 * grants it; `groups` lists the user's groups whose Group_Detail rows grant
 * it (sorted, each once; null when `group_count` is 0). */
typedef struct tavik_held_right {
  const char *rights_no;
  const char *rights_name; /* empty when the catalogue row has none */
  int direct;
  const char *const *groups;
  size_t group_count;
} tavik_held_right;

/* Every right that a user holds, sorted by rights number. */
typedef struct tavik_effective_rights {
  const tavik_held_right *rights; /* null when `count` is 0 */
  size_t count;
} tavik_effective_rights;

/* Every catalogue row that a direct or a group grant leads `user_no` to: the
 * rows Check_Access_Rights finds for this user. `*out` receives a new result,
 * the caller's: tavik_effective_rights_free. */
TAVIK_EXPORT tavik_status
tavik_effective_rights_get(const char *connection_string, const char *user_no,
                           tavik_effective_rights **out);

/* Frees a result of tavik_effective_rights_get. Null is ignored. */
TAVIK_EXPORT void tavik_effective_rights_free(tavik_effective_rights *rights);

/* The first link missing between a user and a right. */
typedef enum {
  TAVIK_MISSING_NONE = 0,          /* granted */
  TAVIK_MISSING_CATALOGUE_ROW = 1, /* no Rights_Master row for the number */
  TAVIK_MISSING_USER = 2,          /* no User_Master row for the number */
  TAVIK_MISSING_GRANT = 3 /* no direct grant; no group of the user grants */
} tavik_missing_link;

/* Why Check_Access_Rights answers as it does. Flags are 1 or 0; each list
 * is sorted, each number once, null when its count is 0. */
typedef struct tavik_access_explanation {
  int granted; /* Check_Access_Rights's answer */
  tavik_missing_link missing;
  int in_catalogue;
  const char *rights_name; /* empty without a catalogue row or a name */
  int user_known;
  int direct; /* a direct grant leads to the catalogue row */
  const char *const *granting_groups; /* the user's groups that lead to it */
  size_t granting_group_count;
  const char *const *user_groups; /* all the user's groups */
  size_t user_group_count;
} tavik_access_explanation;

/* Explains the access check of `user_no` for `rights_no`. `*out` receives a
 * new result, the caller's: tavik_access_explanation_free. */
TAVIK_EXPORT tavik_status tavik_access_explain(const char *connection_string,
                                               const char *user_no,
                                               const char *rights_no,
                                               tavik_access_explanation **out);

/* Frees a result of tavik_access_explain. Null is ignored. */
TAVIK_EXPORT void tavik_access_explanation_free(
    tavik_access_explanation *explanation);

/* ---- Library lifetime ------------------------------------------------- */

/* 1 when no object created through this library is alive (in values too),
 * so the host may unload it; 0 otherwise. */
TAVIK_EXPORT int tavik_can_unload_now(void);

#ifdef __cplusplus
}
#endif

#endif /* TAVIKUSER_TAVIKUSER_H_ */
