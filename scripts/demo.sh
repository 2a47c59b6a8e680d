#!/bin/bash
# The demonstration: the service keeps a user's program running under Wine, from a fresh prefix.
# Every step checks its outcome; a step that fails says so and the demo exits non-zero.
# Usage: demo.sh BUILD_DIR PREFIX
set -u

build="$1"
prefix="$2"
dist="dist/x64"
testbin="$build/testbin"

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

install_dir="$prefix/drive_c/QuorbelDemo"
win_install='C:\QuorbelDemo'
program_dir="$install_dir/Programs"
program="DemoApp.exe"
win_program="$win_install\\Programs\\$program"
started_file="$program_dir/$program.started"
crash="CrashApp.exe"  # the same sample program, told to end at once with exit code 3
win_crash="$win_install\\Programs\\$crash"
crash_exit_code=3
crashy="CrashyApp.exe"  # the same sample program, told to crash (write to address 0) after 10.5 s
win_crashy="$win_install\\Programs\\$crashy"
crashy_started_file="$program_dir/$crashy.started"
service="QuorbelService"
list_key='HKCU\Software\QUORBEL\QuorbelService'
interval_ms=10000

step=0
say()  { printf '\n%s\n' "$*"; }
step() { step=$((step + 1)); printf '\n[%d] %s\n' "$step" "$*"; }
ok()   { printf '    ok: %s\n' "$*"; }
fail() {
  printf '    FAILED: %s\n' "$*"
  cleanup
  exit 1
}

# The command line of the product. While the service runs, Wine puts it in the same session as
# this copy, so the single-instance event would turn a same-named command-line copy away: the
# watch-list commands go through a copy under another file name.
cli()     { wine "$win_install\\QuorbelService.exe" "$@"; }
cli_ctl() { wine "$win_install\\QuorbelCtl.exe" "$@"; }
# answer EXPECTED_EXIT_CODE EXE ARGS...: runs a command, shows its answer and its exit code, and
# fails the demo when the exit code is not the expected one.
answer() {
  local expected="$1" exe="$2"; shift 2
  local out rc
  out=$(wine "$win_install\\$exe" "$@" 2>&1); rc=$?
  out=$(printf '%s' "$out" | tr -d '\r')
  printf '    > %s %s\n' "$exe" "$*"
  printf '%s\n' "$out" | sed 's/^/      /'
  printf '      (exit code %s)\n' "$rc"
  [ "$rc" = "$expected" ] || fail "$exe $* exited with $rc, expected $expected"
  last_answer="$out"
}

service_state() { wine sc query "$service" 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4; exit}'; }
starts()        { [ -f "$started_file" ] && wc -l < "$started_file" | tr -d ' ' || echo 0; }
last_pid()      { tail -n 1 "$started_file" | awk '{print $1}'; }
# The program's parent: the console (cmd.exe) the service started it through.
last_console()  { tail -n 1 "$started_file" | awk '{print $2}'; }
wait_for() {  # wait_for SECONDS COMMAND...: polls the command every 0.2 s
  local deadline=$(( $(date +%s) + $1 )); shift
  until "$@"; do
    [ "$(date +%s)" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}
more_starts_than() { [ "$(starts)" -gt "$1" ]; }
trace_lines()      { cat "$install_dir"/Log/*.log 2>/dev/null | iconv -f UTF-16LE -t UTF-8; }
trace_count()      { trace_lines | grep -c -- "$1"; }
traced_more_than() { [ "$(trace_count "$1")" -gt "$2" ]; }
state_is()         { [ "$(service_state)" = "$1" ]; }

cleanup() {
  wine sc stop "$service" >/dev/null 2>&1
  wait_for 10 state_is STOPPED >/dev/null 2>&1
  wine sc delete "$service" >/dev/null 2>&1
  wine taskkill /f /im "$program" >/dev/null 2>&1
  wine taskkill /f /im "$crash" >/dev/null 2>&1
  wine taskkill /f /im "$crashy" >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1
}

say "Quorbel Service Monitor: keeping a user's program running (Wine prefix $prefix)"
scripts/wine-prefix.sh "$prefix" >/dev/null || { echo "Wine prefix could not be prepared"; exit 1; }
cleanup >/dev/null 2>&1
scripts/wine-prefix.sh "$prefix" >/dev/null

step "Install the files in $win_install"
rm -rf "$install_dir"
mkdir -p "$program_dir"
cp "$dist/QuorbelService.exe" "$dist/QuorbelServiceManager.exe" "$install_dir/"
cp "$dist/QuorbelService.exe" "$install_dir/QuorbelCtl.exe"
cp "$testbin/fixture_sleeper.exe" "$program_dir/$program"
cp "$testbin/fixture_sleeper.exe" "$program_dir/$crash"
cp "$testbin/fixture_sleeper.exe" "$program_dir/$crashy"
# The sample program leaves at once, with the code this file holds, when the file is there.
printf '%s' "$crash_exit_code" > "$program_dir/$crash.exit"
: > "$install_dir/trace.txt"
# Wine reports no terminal-services session; the test stand-in reports the user's session.
cp "$testbin/wtsapi32.dll" "$install_dir/"
for exe in QuorbelService.exe QuorbelCtl.exe; do
  wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe\\DllOverrides" /v wtsapi32 /d native /f >/dev/null
done
wine reg delete "$list_key" /f >/dev/null 2>&1
ok "QuorbelService.exe, QuorbelServiceManager.exe, trace.txt, the sample program $program, and $crash (the same program, set to end at once with exit code $crash_exit_code)"

step "Register the service: QuorbelService.exe svc install"
answer 0 QuorbelService.exe svc install
wine reg query 'HKLM\System\CurrentControlSet\Services\QuorbelService' >/dev/null 2>&1 ||
  fail "the service is not registered"
wine reg query 'HKLM\System\CurrentControlSet\Services\QuorbelService' /v ImagePath | grep -i ImagePath | sed 's/^ */    /'
ok "registered as \"$service\" (Quorbel Service Monitor)"

step "Put the sample program on the watch list: QuorbelService.exe add $win_program"
answer 0 QuorbelService.exe add "$win_program"
wine reg query "$list_key\\$program" | sed -n 's/^ *\(Path\|Status\)/    \1/p'
wine reg query "$list_key\\$program" /v Status 2>/dev/null | grep -q 'REG_SZ *1' ||
  fail "the entry $program is not active"
wine reg add "$list_key" /v Interval /d "$interval_ms" /f >/dev/null
ok "entry $program is active; the service looks every $interval_ms ms"

step "Start the service through the service manager"
wine sc start "$service" >/dev/null
wait_for 15 state_is RUNNING || fail "the service did not reach RUNNING (state $(service_state))"
# From here on the commands go through QuorbelCtl.exe, the copy under another file name.
answer 0 QuorbelCtl.exe svc status
case "$last_answer" in *"QuorbelService: running"*) ;; *) fail "svc status does not say running" ;; esac
ok "service state RUNNING"

step "The service starts the program on the user's desktop"
wait_for 20 more_starts_than 0 || fail "$program was not started"
first_pid=$(last_pid)
first_console=$(last_console)
ok "$program is running, process id $first_pid, started through the console cmd.exe $first_console"

step "Terminate the program from outside: it comes back at once"
# A run shorter than 10 s counts as a quick exit, after which the next start waits a second;
# this one has run longer, so the service starts it again as soon as it sees the end.
sleep 10
before=$(starts)
killed_at=$(date +%s%N)
wine taskkill /f /im "$program" >/dev/null 2>&1
until more_starts_than "$before"; do
  [ $(( ($(date +%s%N) - killed_at) / 1000000 )) -gt 20000 ] && fail "$program did not come back"
  sleep 0.02
done
back_ms=$(( ($(date +%s%N) - killed_at) / 1000000 ))
second_pid=$(last_pid)
second_console=$(last_console)
ok "$program is running again after $back_ms ms (the interval is $interval_ms ms), process id $second_pid (was $first_pid), console cmd.exe $second_console"
seen=$(trace_count "Running Process $program")
wait_for $(( interval_ms / 1000 + 5 )) traced_more_than "Running Process $program" "$seen" ||
  fail "the service did not see $program running"
ok "the service's next pass finds $program running and starts nothing"

step "Ask the command line for the watch list: QuorbelCtl.exe list"
answer 0 QuorbelCtl.exe list
case "$last_answer" in *"$program  active  running"*) ;; *) fail "list does not show $program active and running" ;; esac
ok "list shows $program active and running, and the interval in effect"

step "Pause the entry (QuorbelCtl.exe pause $program) and terminate the program: it stays down"
answer 0 QuorbelCtl.exe pause "$program"
answer 4 QuorbelCtl.exe pause NoSuchApp.exe
wine reg query "$list_key\\$program" /v Status | grep -q 'REG_SZ *0' || fail "the entry is not paused"
wine taskkill /f /im "$program" >/dev/null 2>&1
before=$(starts)
# An active entry would be back within about a second, the end of its program waking the service.
sleep 5
[ "$(starts)" -eq "$before" ] || fail "$program was started although its entry is paused"
ok "no start during 5 s while paused"

step "A program that ends at once (QuorbelCtl.exe add $win_crash): the service backs off"
answer 0 QuorbelCtl.exe add "$win_crash"
# Each end within 10 s of its start is a quick exit: the next start waits 1 s, then 2, 4, 8, ...
# An end that comes before the service saw the program running is traced as "ended unseen".
crash_end="$crash (process [0-9]+ ended|ended unseen)"
backoff_line() { printf '%s backing off: quick exit %s in a row, next start in %s s' "$crash" "$1" "$2"; }
wait_for 30 traced_more_than "$(backoff_line 3 4)" 0 ||
  fail "the service did not back off after the third quick exit of $crash"
trace_lines | tr -d '\r' | grep -E "$crash_end|$crash backing off" | head -n 6 |
  sed 's/^\(([^)]*)\) [^ ]* :  /    \1 /'
for gap in "1 1" "2 2" "3 4"; do
  trace_lines | grep -q -- "$(backoff_line $gap)" || fail "the trace lacks \"$(backoff_line $gap)\""
done
[ "$(trace_lines | grep -cE "$crash_end")" -ge 3 ] || fail "the trace does not show $crash ending three times"
trace_lines | grep -qE "$crash_end, exit code $crash_exit_code([^0-9]|\$)" ||
  fail "the trace does not show $crash ending with exit code $crash_exit_code"
trace_lines | grep -q "$crash ended unseen" && cat <<EXPLAIN
    "ended unseen" is an end that came before the service saw the program running; its exit code
    is the one its console (cmd.exe /c) ended with, which is the program's.
EXPLAIN
ok "$crash kept ending at once (exit code $crash_exit_code); the service waited 1 s, 2 s, then 4 s before starting it again"
# The next start is a few seconds away; list is asked until it catches the entry backing off.
says_backing_off() {
  [ "$last_rc" = 0 ] && printf '%s\n' "$last_answer" |
    grep -Eq "^$crash +active +backing off, next start in [0-9]+ s .*exit code $crash_exit_code "
}
list_says_backing_off() {
  last_answer=$(wine "$win_install\\QuorbelCtl.exe" list 2>&1); last_rc=$?
  last_answer=$(printf '%s' "$last_answer" | tr -d '\r')
  says_backing_off
}
wait_for 20 list_says_backing_off
printf '    > QuorbelCtl.exe list\n'
printf '%s\n' "$last_answer" | sed 's/^/      /'
printf '      (exit code %s)\n' "$last_rc"
says_backing_off || fail "list does not say (with exit code 0) that $crash is backing off with exit code $crash_exit_code"
ok "list says $crash is backing off, when it is started next, and its last exit code $crash_exit_code"

step "A program that crashes (QuorbelCtl.exe add $win_crashy): it is back at once, and named a crash"
# It runs 10.5 s before its crash, past a quick exit, so that no hold comes into the time. The
# crash is a real one: the program writes to address 0. Wine's debugger takes it; where the
# service sees the debugger holding the program it ends both.
printf '10500' > "$program_dir/$crashy.crash"
answer 0 QuorbelCtl.exe add "$win_crashy"
crashy_starts() { [ -f "$crashy_started_file" ] && wc -l < "$crashy_started_file" | tr -d ' ' || echo 0; }
crashy_back()   { [ "$(crashy_starts)" -gt 1 ]; }
crashed_noted() { [ -s "$program_dir/$crashy.crashed" ]; }
wait_for 30 crashed_noted || fail "$crashy did not crash"
crashed_at=$(date +%s%N)
rm -f "$program_dir/$crashy.crash"  # the next run of it does not crash
until crashy_back; do
  [ $(( ($(date +%s%N) - crashed_at) / 1000000 )) -gt 20000 ] && fail "$crashy did not come back after its crash"
  sleep 0.02
done
crashy_back_ms=$(( ($(date +%s%N) - crashed_at) / 1000000 ))
ok "$crashy crashed and is running again after $crashy_back_ms ms (the interval is $interval_ms ms)"
trace_lines | tr -d '\r' | grep -E "$crashy (process [0-9]+ crashed|crashed: crash reporter)" |
  sed 's/^\(([^)]*)\) [^ ]* :  /    \1 /'
trace_lines | grep -qE "$crashy process [0-9]+ crashed" || fail "the trace does not name the crash of $crashy"
crashy_line() {
  last_answer=$(wine "$win_install\\QuorbelCtl.exe" list 2>&1 | tr -d '\r')
  printf '%s\n' "$last_answer" | grep -E "^$crashy +active +running, .*; crashed"
}
wait_for 10 crashy_line >/dev/null || fail "list does not name the crash of $crashy"
printf '    > QuorbelCtl.exe list\n'
printf '%s\n' "$last_answer" | grep -E "^$crashy " | sed 's/^/      /'
ok "list shows $crashy running again and names its last end a crash"
answer 0 QuorbelCtl.exe pause "$crashy"

step "Stop the service: QuorbelCtl.exe svc stop"
answer 0 QuorbelCtl.exe svc stop
state_is STOPPED || fail "the service did not stop (state $(service_state))"
ok "service state STOPPED"

step "Remove the service: QuorbelService.exe svc uninstall"
answer 0 QuorbelService.exe svc uninstall
wait_for 10 bash -c "! wine reg query 'HKLM\\System\\CurrentControlSet\\Services\\QuorbelService' >/dev/null 2>&1" ||
  fail "the service is still registered"
ok "the service is gone"

step "What the trace log recorded (Log beside the executable, UTF-16LE)"
for console in "$first_console" "$second_console"; do
  trace_lines | grep -q "ret = $console" || fail "the trace log does not show the start through console $console"
done
trace_lines | tr -d '\r' | sort -s -k1,1 |
  grep -E "main\(|run service|watchList\[[0-9]+\] : $program|Running Process $program|$program, (ret = )?($first_console|$second_console)\$" |
  awk '{ line = $0; sub(/^\([^)]*\) /, "", line); if (!seen[line]++) print }' | sed 's/^/    /'
cat <<EXPLAIN

    The service started $program twice, each time through a console (cmd.exe $first_console,
    then cmd.exe $second_console) in the user's session; "ret = N" names that console.
    "Immediately Kill CMD for $program, N" means that a second after the start the program was
    running, so the service closed the console N that carried the start: the console, not the
    program, which ($first_pid, then $second_pid) went on running. A program not yet up after
    that second has its console recorded instead ("AddCMDWatchList + $program, N"), and
    forgotten once the program is seen running ("Running Process $program").
EXPLAIN
ok "both starts and their consoles are in the trace log"

cleanup >/dev/null 2>&1
say "Demo complete: the service kept $program running, left it alone once paused, backed off from $crash, which kept ending, and had $crashy back at once after its crash."
