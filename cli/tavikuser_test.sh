#!/usr/bin/env bash
# End-to-end tests of the tavikuser command on real SQLite stores: its verbs,
# what it prints for people and with --json, the store it picks, and how it
# exits (0 done or granted, 1 refused, 2 bad usage or a failure). Usage:
# tavikuser_test.sh TAVIKUSER
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

# run STATUS TEXT ARGS...: runs the command with ARGS, which must exit with
# STATUS; its output, in out and err, must hold TEXT.
run() {
  local expected="$1" text="$2"
  shift 2
  "$tavikuser" "$@" >out 2>err
  local status=$?
  ((status == expected)) || fail "tavikuser $* exited $status, not $expected: $(cat out err)"
  cat out err | grep -qF -- "$text" || fail "tavikuser $* printed no '$text': $(cat out err)"
}

tables() { sqlite3 "$1" "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'"; }

# init creates every table in one transaction, or none.
run 0 "Created the tables" init
[[ "$(tables tavik.db)" == 11 ]] || fail "init made $(tables tavik.db) tables"
run 1 "already exists" init
sqlite3 partial.db "CREATE TABLE Document_Counter (x)"
run 1 "Nothing was created" init "Provider=sqlite;data source=partial.db"
[[ "$(tables partial.db)" == 1 ]] || fail "a failed init left $(tables partial.db) tables"
run 1 "Password=***" init 'Provider=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;Password="se;cret"'
grep -qF cret err && fail "init printed a password: $(cat err)"
run 2 "too many arguments" init one.db two.db
# Through ODBC the schema is the one for the database the driver reaches.
run 0 "Created the tables" init "Driver={SQLite3};Database=$work/odbc.db"
[[ "$(tables odbc.db)" == 11 ]] || fail "init through ODBC made $(tables odbc.db) tables"

# call prints the result, ErrDesc after False, then each --show.
sqlite3 tavik.db "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES ('R1', 'View'), ('R2', 'Post \"all\"');
                  INSERT INTO User_Master (User_No, User_ID, User_Name, Company_Prefix, Branch_Prefix)
                    VALUES ('U1', 'ann', 'Ann', 'C1', 'B1'), ('U2', 'bob', NULL, 'C1', 'B2');
                  INSERT INTO User_Group (User_Group_No) VALUES ('G1');
                  INSERT INTO Role_Master (Role_No) VALUES ('L1');"
check=(call tavikuser.checkaccessrights check_access_rights --let "ADOConnectionString=Provider=SQLite;Data Source=tavik.db" --let RightsNo=R1)
run 1 "" "${check[@]}" --let UserNo=U1 --show ErrDesc
[[ "$(cat out)" == $'False\nErrDesc: Access Denied\nErrDesc: Access Denied' ]] || fail "a refused call printed: $(cat out)"
run 2 "TavikUser.Nothing" call TavikUser.Nothing Check
run 2 "--let needs Name=Value" "${check[@]}" --let RightsNo

# The verbs write each link row once and refuse numbers their registers lack,
# naming the first such number.
while IFS='|' read -r status text step; do
  read -ra words <<<"$step"
  run "$status" "$text" "${words[@]}"
done <<'STEPS'
1|No user U9 in User_Master|grant R9 --user U9
1|No right R9 in Rights_Master|grant R9 --user U1
0|Wrote the Access_Control_Rights row|grant R1 --user U1
0|is there already|grant R1 --user U1
0|Wrote the Group_Detail row|grant R2 --group G1
0|Wrote the Role_Detail row|grant R2 --role L1
0|Wrote the Access_Control_Groups row|member add U2 G1
0|Wrote the Access_Control row|member add L1 G1 --role
1|No user U9 in User_Master|revoke R1 --user U9
1|There is no Access_Control_Rights row|revoke R2 --user U1
2|name one of --user, --group or --role|grant R1 --user U1 --group G1
2|add or remove|member join U1 G1
0|Deleted the Role_Detail row|revoke R2 --role L1
STEPS
run 0 "True" "${check[@]}" --let UserNo=U1
[[ "$(cat out)" == True ]] || fail "a granted call printed: $(cat out)"

# The store is --db, else TAVIKUSER_DB, else tavik.db.
mv tavik.db ops.db
TAVIKUSER_DB="Provider=SQLite;Data Source=ops.db" run 0 "" rights U2
[[ "$(cat out)" == $'RIGHT  NAME        HELD\nR2     Post "all"  group G1' ]] || fail "rights printed: $(cat out)"
run 0 "" rights U2 --json --db ops.db
[[ "$(cat out)" == '{"user_no":"U2","rights":[{"rights_no":"R2","rights_name":"Post \"all\"","direct":false,"groups":["G1"]}]}' ]] ||
  fail "rights --json printed: $(cat out)"
run 2 "tavik.db" rights U2
run 1 "missing    a grant: tavikuser grant R1 --user U2" can U2 R1 --explain --db ops.db
run 0 '"granted":true,"explanation":{"missing":"none"' can U2 R2 --json --explain --db ops.db
run 0 "" list users --company C1 --branch B2 --db ops.db
[[ "$(cat out)" == $'NUMBER  ID   NAME  COMPANY  BRANCH\nU2      bob        C1       B2' ]] || fail "list users printed: $(cat out)"
run 0 '[{"number":"R1","name":"View","company":"","branch":""},' list rights --json --db ops.db
run 2 "list users, groups, rights or roles" list everything --db ops.db

# The demo creates its store afresh on each run, and leaves nothing behind.
mkdir tmp
for round in first second; do
  TMPDIR="$work/tmp" run 0 "groups     C1B2GR1 grants it" demo
  grep -qF "False: Group could not be deleted, due to user existence!" out || fail "the $round demo: $(cat out)"
done
[[ -z "$(ls tmp)" ]] || fail "the demo left its store without tables: $(ls tmp)"
run 1 "'Nowhere' is not supported" demo "Provider=Nowhere"

run 0 "Usage: tavikuser COMMAND" --help
run 0 "Usage: tavikuser grant RIGHT" grant --help
run 2 "Usage: tavikuser"
run 2 "unknown command frobnicate" frobnicate

((failures == 0)) || { echo "$failures failure(s)" >&2 && exit 1; }
echo "all tavikuser command tests passed"
