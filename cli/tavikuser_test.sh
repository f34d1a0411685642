#!/usr/bin/env bash
# End-to-end tests of the tavikuser command: what it does to a real SQLite
# store, what it prints and how it exits. Usage: tavikuser_test.sh TAVIKUSER
set -uo pipefail

tavikuser="$(realpath "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# run EXPECTED_STATUS ARGS...: runs the command; its output is in out/err.
run() {
  local expected="$1"
  shift
  "$tavikuser" "$@" >out 2>err
  local status=$?
  if ((status != expected)); then
    fail "tavikuser $* exited $status, not $expected; stdout: $(cat out) stderr: $(cat err)"
  fi
}

expect_output() {
  grep -qF -- "$1" out || fail "stdout lacks '$1': $(cat out)"
}

expect_error() {
  grep -qF -- "$1" err || fail "stderr lacks '$1': $(cat err)"
}

tables() { sqlite3 "$1" "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name" | tr '\n' ' '; }

all_tables="Access_Control Access_Control_Groups Access_Control_Rights Branch_Master Document_Counter Group_Detail Rights_Master Role_Detail Role_Master User_Group User_Master "

test_init() {
  run 0 init
  [[ "$(tables tavik.db)" == "$all_tables" ]] || fail "init made: $(tables tavik.db)"

  run 1 init
  expect_error "already exists"

  run 0 init "Provider=sqlite;data source=books.db"
  [[ "$(tables books.db)" == "$all_tables" ]] || fail "init by connection string made: $(tables books.db)"

  # One table of the schema is there already: the rest must not be created.
  sqlite3 partial.db "CREATE TABLE Document_Counter (x)"
  run 1 init partial.db
  [[ "$(tables partial.db)" == "Document_Counter " ]] || fail "a failed init left: $(tables partial.db)"

  # Through ODBC the schema is the one for the database the driver reaches.
  run 0 init "Driver={SQLite3};Database=$work/odbc.db"
  [[ "$(tables odbc.db)" == "$all_tables" ]] || fail "init through ODBC made: $(tables odbc.db)"
  run 1 init "DSN=books"
  expect_error "Data source name not found"

  run 1 init 'Provider=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User ID=u;Password="se;cret"'
  expect_error "Password=***"
  grep -qF cret err && fail "init printed a password: $(cat err)"

  run 1 init 'Provider=SQLite;Data Source="open'
  expect_error "is never closed"

  run 2 init one.db two.db
}

check_access() {
  run "$1" call TavikUser.CheckAccessRights Check_Access_Rights \
    --let "ADOConnectionString=Provider=SQLite;Data Source=tavik.db" \
    --let "RightsNo=$2" --let "UserNo=$3" "${@:4}"
}

test_call() {
  sqlite3 tavik.db "INSERT INTO Rights_Master (Rights_No) VALUES ('R1');
                    INSERT INTO Access_Control_Rights VALUES ('U1', 'R1');"
  check_access 0 R1 U1
  [[ "$(cat out)" == "True" ]] || fail "a granted check printed: $(cat out)"

  check_access 1 R1 U2 --show ErrDesc
  [[ "$(cat out)" == $'False\nErrDesc: Access Denied\nErrDesc: Access Denied' ]] ||
    fail "a refused check printed: $(cat out)"

  run 1 call tavikuser.checkaccessrights check_access_rights --let userno=U1
  expect_output "ErrDesc: Invalid Connection string Property."

  run 2 call TavikUser.NoSuchClass Check
  expect_error "TavikUser.NoSuchClass"
  run 2 call TavikUser.CheckAccessRights NoSuchMember
  run 2 call TavikUser.CheckAccessRights Check_Access_Rights --let NoSuchProperty=1
  run 2 call TavikUser.CheckAccessRights Check_Access_Rights --show UserNo
  expect_error "UserNo"
  run 2 call TavikUser.CheckAccessRights
  run 2 call TavikUser.CheckAccessRights Check_Access_Rights --let RightsNo
  run 2 call TavikUser.CheckAccessRights Check_Access_Rights --frobnicate
}

test_demo() {
  local expected=(
    "Create_Rights +Close the period +C1B2RG3 +True$"
    "Delete_Role +C1B2RL1 and its two link rows +True$"
    "Delete_Group .* False: Group could not be deleted, due to user existence!$"
    "Get_User +by number C1B2US1 +UserID ada +True$"
    "Change_Password +ada, a wrong old one +False: Invalid old password\.$"
    "a direct grant .* True$"
    "a grant to a group .* True$"
    "no grant .* False: Access Denied$"
    "a group the user is not in .* False: Access Denied$"
    "no user number .* False: Invalid User No\.$"
    "a quote in a value .* False: .*single quote"
    "a store without the tables .* False: .*Rights_Master"
    "tavikuser grant C1B2RG2 --user C1B2US1 +Wrote the Access_Control_Rights row"
    "^   refused: Access Denied$"
    "groups +C1B2GR1, none of which grants it$"
    "groups +C1B2GR1 grants it$"
  )
  local round
  mkdir -p tmp
  for round in first second; do
    TMPDIR="$work/tmp" run 0 demo
    local line
    for line in "${expected[@]}"; do
      grep -qE -- "$line" out || fail "$round demo run lacks /$line/: $(cat out)"
    done
  done
  [[ -z "$(ls tmp)" ]] || fail "the demo left its store without tables: $(ls tmp)"

  run 1 demo "Provider=Nowhere"
  expect_error "'Nowhere' is not supported"
}

test_verbs() {
  local db="Provider=SQLite;Data Source=ops.db"
  run 0 init ops.db
  sqlite3 ops.db "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES ('R1', 'View'), ('R2', 'Post \"all\"');
                  INSERT INTO User_Master (User_No, User_ID, User_Name, Company_Prefix, Branch_Prefix)
                    VALUES ('U1', 'ann', 'Ann', 'C1', 'B1'), ('U2', 'bob', 'Bob', 'C1', 'B2');
                  INSERT INTO User_Group (User_Group_No, User_Group_Name) VALUES ('G1', 'Clerks');"
  # Each write is refused for an unknown number, and is made once.
  local step expected_status text words
  while IFS='|' read -r step expected_status text; do
    read -ra words <<<"$step"
    run "$expected_status" "${words[@]}" --db ops.db
    cat out err | grep -qF -- "$text" || fail "tavikuser $step: lacks '$text': $(cat out err)"
  done <<'STEPS'
grant R9 --user U1|1|No right R9 in Rights_Master
grant R1 --user U9|1|No user U9 in User_Master
grant R1 --group G9|1|No group G9 in User_Group
grant R1 --user U1|0|Wrote the Access_Control_Rights row
grant R1 --user U1|0|is there already
grant R2 --group G1|0|Wrote the Group_Detail row
member add U2 G1|0|Wrote the Access_Control_Groups row
member add U2 G9|1|No group G9
revoke R2 --user U1|1|There is no Access_Control_Rights row
STEPS
  local grants
  grants="$(sqlite3 ops.db "SELECT COUNT(*) FROM Access_Control_Rights")"
  [[ "$grants" == 1 ]] || fail "granting twice left $grants rows"

  # The store comes from the environment when --db is not given.
  TAVIKUSER_DB="$db" run 0 rights U2
  [[ "$(cat out)" == $'RIGHT  NAME        HELD\nR2     Post "all"  group G1' ]] ||
    fail "rights printed: $(cat out)"
  run 0 rights U2 --json --db ops.db
  [[ "$(cat out)" == '{"user_no":"U2","rights":[{"rights_no":"R2","rights_name":"Post \"all\"","direct":false,"groups":["G1"]}]}' ]] ||
    fail "rights --json printed: $(cat out)"

  run 1 can U2 R1 --explain --db ops.db
  expect_output "missing    a grant: tavikuser grant R1 --user U2"
  run 0 can U2 R2 --json --explain --db ops.db
  expect_output '"granted":true,"explanation":{"missing":"none"'
  run 1 can U9 R1 --explain --db ops.db
  expect_output "missing    the user"

  run 0 list users --company C1 --branch B2 --db ops.db
  [[ "$(cat out)" == $'NUMBER  ID   NAME  COMPANY  BRANCH\nU2      bob  Bob   C1       B2' ]] ||
    fail "list users printed: $(cat out)"
  run 0 list rights --json --db ops.db
  expect_output '[{"number":"R1","name":"View","company":"","branch":""},'

  run 0 revoke R1 --user U1 --db ops.db
  run 0 member remove U2 G1 --db ops.db
  run 0 rights U2 --db ops.db
  expect_output "U2 holds no rights."

  run 2 rights U1 --db missing.db
  expect_error "missing.db"
  run 2 grant R1 --user U1 --group G1 --db ops.db
  run 2 list everything --db ops.db
  run 2 member join U1 G1 --db ops.db
  run 2 can U1 --db ops.db
}

test_help() {
  local subcommand
  for subcommand in "" init call demo grant revoke member rights can list; do
    run 0 $subcommand --help
    expect_output "Usage: tavikuser"
  done
  run 2
  run 2 frobnicate
}

test_init
test_call
test_demo
test_verbs
test_help

if ((failures > 0)); then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all tavikuser command tests passed"
