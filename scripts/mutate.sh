#!/usr/bin/env bash
# Mutation testing: shows that the suite catches real faults. Puts each
# fault of scripts/mutations.txt into src/ in turn, builds build-mutate/
# incrementally, runs the suite and puts the source back; then lists the
# faults no test caught, with the score. A developer tool, not a test.
#   scripts/mutate.sh              every mutation
#   scripts/mutate.sh WORD...      those whose names contain a WORD
#   scripts/mutate.sh --list       list the mutations and check the list
# The C++ suite stops at its first failure; the C, Python and command tests
# run only when it passed. A suite that outlives its time limit
# (MUTATE_TIMEOUT seconds; by default three times the unmutated run plus a
# minute) counts as caught. Exits 0 when every mutation was caught, 1 when
# one was not or did not build, 2 for an unusable list.
set -euo pipefail
# A '&' in a replacement text is the text itself, not the matched pattern.
shopt -u patsub_replacement 2>/dev/null || true

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
list="$root/scripts/mutations.txt"
build="$root/build-mutate"
logs="$build/mutate-logs"

# The machine is shared: everything this starts runs at the lowest priority.
renice -n 19 -p $$ >/dev/null

# Reads $list into these arrays; see the head of the list for its form.
names=() files=() abouts=() finds=() intos=()
read_list() {
  local line key value n=-1
  while IFS= read -r line || [[ -n $line ]]; do
    case "$line" in
      '' | '#'*) continue ;;
      # Each line of a text is added after a newline, dropped at the end.
      -*) finds[n]+=$'\n'${line:1} && continue ;;
      +*) intos[n]+=$'\n'${line:1} && continue ;;
    esac
    read -r key value <<<"$line"
    case "$key" in
      mutation)
        n=$((n + 1))
        names[n]=$value files[n]='' abouts[n]='' finds[n]='' intos[n]=''
        ;;
      file) files[n]=$value ;;
      about) abouts[n]=$value ;;
      *) echo "mutations.txt: cannot read: $line" >&2 && exit 2 ;;
    esac
  done <"$list"
  for n in "${!names[@]}"; do
    finds[n]=${finds[n]#$'\n'} intos[n]=${intos[n]#$'\n'}
  done
}

# The whole text of file $1, trailing newlines kept.
contents() { IFS= read -r -d '' "$2" <"$1" || true; }

# Refuses the list when an entry is incomplete, named twice, or its text is
# not found exactly once: the list must say what it tests.
check_list() {
  local i text without bad=0
  local -A seen=()
  for i in "${!names[@]}"; do
    local name=${names[i]} file="$root/${files[i]}" problem=''
    if [[ -n ${seen[$name]:-} ]]; then
      problem="the name is used twice"
    elif [[ -z ${abouts[i]} || -z ${finds[i]} ]]; then
      problem="it lacks its 'about' or its text to find"
    elif [[ ! -f $file ]]; then
      problem="no file ${files[i]}"
    elif [[ ${finds[i]} == "${intos[i]}" ]]; then
      problem="its replacement changes nothing"
    else
      contents "$file" text
      without=${text//"${finds[i]}"/}
      local count=$(((${#text} - ${#without}) / ${#finds[i]}))
      ((count == 1)) || problem="its text occurs $count times in ${files[i]}"
    fi
    seen[$name]=1
    [[ -z $problem ]] || { echo "mutation $name: $problem" >&2; bad=1; }
  done
  ((bad == 0)) || exit 2
}

read_list
check_list

if [[ ${1:-} == --list ]]; then
  for i in "${!names[@]}"; do
    printf '%-38s %-44s %s\n' "${names[i]}" "${files[i]}" "${abouts[i]}"
  done
  echo "${#names[@]} mutations; every text occurs once."
  exit 0
fi
# Any other option: the help at the head of this file.
[[ ${1:-} != -* ]] || { sed -n '2,/^set /s/^# \{0,1\}//p' "$0" >&2; exit 2; }

# The mutations to run: all, or those whose names contain an argument.
chosen=()
for i in "${!names[@]}"; do
  (($# == 0)) && chosen+=("$i") && continue
  for word in "$@"; do
    [[ ${names[i]} == *"$word"* ]] && chosen+=("$i") && break
  done
done
((${#chosen[@]})) || { echo "No mutation's name contains: $*" >&2; exit 2; }

# The source is put back from a copy; the check at the end compares it with
# the last commit, so the run starts from a clean src/.
if ! git -C "$root" diff --quiet HEAD -- src ||
  [[ -n $(git -C "$root" ls-files --others --exclude-standard -- src) ]]; then
  echo "src/ has changes that are not committed; commit or stash them." >&2
  exit 2
fi

mutated='' saved="$build/mutate-original" running=''

# Puts the mutated file back. Written afresh rather than copied with its old
# time stamp: the build must see it as newer than the mutated object file.
restore() {
  [[ -z $mutated ]] || cat "$saved" >"$root/$mutated"
  mutated=''
}

# Also on Ctrl-C and on failure: the source first, then the running suite.
on_exit() {
  restore
  [[ -z $running ]] || kill "$running" 2>/dev/null || true
  [[ -z $running ]] || wait "$running" 2>/dev/null || true
}
trap on_exit EXIT
# To the first standard error: while the suite runs, 2 is its log.
exec 3>&2
trap 'echo; echo "Interrupted; the source is put back." >&3; exit 130' INT TERM

# The suite writes its SQLite stores and server folders under /tmp, where
# every commit waits for the disk: on a memory file system of its own it
# runs about four times as fast, so that the whole C++ suite (the cluster
# failover test included) fits each mutation. A process namespace of its own
# also ends the database servers it started when a time limit ends it.
sandbox=()
if unshare --mount --pid --fork --mount-proc \
  mount -t tmpfs tavik-mutate /tmp 2>/dev/null; then
  # shellcheck disable=SC2016 # "$@" is the inner shell's
  sandbox=(unshare --mount --pid --fork --kill-child --mount-proc bash -c
    'mount -t tmpfs -o mode=1777 tavik-mutate /tmp && "$@"; status=$?
     exit $status' sandbox)
else
  echo "No private /tmp (unshare needs root): the suite runs slower." >&2
fi

# Runs a command for at most $1 seconds. In the background, so that Ctrl-C
# is handled at once rather than when the command ends.
limited() {
  local seconds=$1 status=0
  shift
  timeout --kill-after=10 "$seconds" "${sandbox[@]}" "$@" &
  running=$!
  wait "$running" || status=$?
  running=''
  return "$status"
}

# Runs the suite into the log $1 and sets `outcome` to what ended it:
# "passed", the failing test, or how the C++ program ended. A test that
# fails now and then must not pass for a catch: a failure counts once the
# test fails again when run alone; otherwise that test is noted in `flaky`
# and the suite runs once more without it.
suite() {
  local status failed excluded='' run="$1.run"
  while :; do
    status=0
    limited "$limit" "$build/tests/tavikuser_tests" --gtest_fail_fast \
      --gtest_brief=1 --gtest_filter="*${excluded:+-$excluded}" >"$run" 2>&1 ||
      status=$?
    cat "$run" >>"$1"
    # The test's name, up to the parameter that gtest adds after a comma.
    failed=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\.[^ ,]*\).*/\1/p;T;q' "$run")
    if ((status == 124 || status == 137)); then
      outcome="timed out after ${limit}s" && return
    elif ((status > 128)); then
      outcome="the C++ suite crashed (signal $((status - 128)))" && return
    elif ((status != 0)) && [[ -z $failed ]]; then
      outcome="the C++ suite ended with status $status" && return
    elif ((status == 0)); then
      break
    fi
    echo "== $failed again, alone" >>"$1"
    if ! limited "$limit" "$build/tests/tavikuser_tests" \
      --gtest_filter="$failed" >>"$1" 2>&1; then
      outcome=$failed && return
    fi
    flaky[$failed]+=" ${name:-unmutated}"
    excluded+="${excluded:+:}$failed"
  done
  outcome=passed
  if ! limited 300 ctest --test-dir "$build" -E '^unit$' --output-on-failure \
    >>"$1" 2>&1; then
    outcome="$(sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p;T;q' "$1")"
    outcome+=" (C, Python or command tests)"
  fi
}

mkdir -p "$logs"
declare -A flaky=()
started=$SECONDS
echo "== building build-mutate/ and running the unmutated suite"
generator=()
[[ -f "$build/CMakeCache.txt" ]] || generator=(-G Ninja)
# As the plain stage of scripts/test.sh, without the benchmark.
cmake -S "$root" -B "$build" "${generator[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVIK_WERROR=ON -DTAVIK_BUILD_BENCH=OFF \
  -DTAVIK_SANITIZE= >/dev/null
cmake --build "$build" -j2 >"$logs/unmutated.log" 2>&1 ||
  { echo "The build fails; see $logs/unmutated.log" >&2; exit 1; }
limit=${MUTATE_TIMEOUT:-1800}
suite_started=$SECONDS
suite "$logs/unmutated.log"
if [[ $outcome != passed ]]; then
  echo "The unmutated suite fails ($outcome); see $logs/unmutated.log" >&2
  exit 1
fi
baseline=$((SECONDS - suite_started))
limit=${MUTATE_TIMEOUT:-$((3 * baseline + 60))}
echo "   the suite passes in ${baseline}s; limit per mutation ${limit}s"

caught=0 survivors=() unbuilt=()
mutations_started=$SECONDS
for i in "${chosen[@]}"; do
  name=${names[i]} file=${files[i]} log="$logs/${names[i]}.log"
  one_started=$SECONDS
  contents "$root/$file" text
  cp "$root/$file" "$saved"
  mutated=$file
  printf '%s' "${text/"${finds[i]}"/"${intos[i]}"}" >"$root/$file"
  git -C "$root" diff -- "$file" >"$log"
  if ! cmake --build "$build" -j2 >>"$log" 2>&1; then
    outcome="DOES NOT BUILD"
    unbuilt+=("$i")
  else
    suite "$log"
    if [[ $outcome == passed ]]; then
      outcome="NOT CAUGHT"
      survivors+=("$i")
    else
      outcome="caught: $outcome"
      caught=$((caught + 1))
    fi
  fi
  restore
  printf '%-38s %4ss  %s\n' "$name" $((SECONDS - one_started)) "$outcome"
done

built=$((${#chosen[@]} - ${#unbuilt[@]}))
spent=$((SECONDS - mutations_started))
echo
echo "Score: $caught/$built caught ($((SECONDS - started))s in all," \
  "$((spent / ${#chosen[@]}))s per mutation)."
for i in "${survivors[@]}"; do
  echo "  not caught: ${names[i]}: ${abouts[i]}"
done
for i in "${unbuilt[@]}"; do echo "  does not build, fix it: ${names[i]}"; done
for test in "${!flaky[@]}"; do
  echo "  failed once, then passed alone: $test (with:${flaky[$test]})"
done
echo "Logs: $logs/"

if ! git -C "$root" diff --quiet -- src; then
  echo "src/ differs from the last commit after the run; check git diff." >&2
  exit 1
fi
((${#survivors[@]} + ${#unbuilt[@]} == 0))
