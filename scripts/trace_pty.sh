#!/usr/bin/env bash
# What the kernel does with a pulse's write(2) to a pty (a command, not a test; root, tracefs).
# trigout sends N pulses of DURATION ms (DURATION + 3 ms apart) through the serial port library to
# a pty whose far end (build/bench/serial_bench far) sleeps in poll(), while ftrace records the
# system calls, the scheduler's wake-ups and switches, the tty's work items and the
# inter-processor interrupts of every process. For each write of the box's byte, by the calling
# thread (the pulse's value) and by the timer thread (its reset), it prints medians and p99 in us:
#  - the write(2) itself, from its entry to its exit;
#  - how often the writer is switched out at the write's exit for the kernel worker it woke (the
#    tty hands each write to a worker, events_unbound's flush_to_ldisc), and for how long;
#  - the worker's wake-up (its item queued to its start), and whether it ran on the writer's
#    processor;
#  - the far end's wake-up (the worker waking it to its poll(2) returning), and how often that
#    took an inter-processor interrupt;
#  - the whole: from the write's entry to the far end's read(2) returning.
# The tracing itself slows every event by a few us: the figures are the path's shape, not its
# cost; bench_trigout.sh gives the costs.
# Usage: scripts/trace_pty.sh [N=200] [DURATION_ms=10]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
n=${1:-200}
duration=${2:-10}
T=/sys/kernel/tracing
[ -e "$T/trace" ] || mount -t tracefs nodev "$T"
[ -w "$T/trace" ] || { echo "trace_pty.sh: needs root and tracefs at $T" >&2; exit 1; }
cmake --build "$build" -j2 --target trigout_octave_native serialport serial_bench >/dev/null
tmp=$(mktemp -d /tmp/trace_pty.XXXXXX)
clock=$(sed 's/.*\[\(.*\)\].*/\1/' "$T/trace_clock")
restore() {
  echo 0 >"$T/tracing_on"
  echo >"$T/set_event"
  echo "$clock" >"$T/trace_clock"
  rm -f "$tmp/box"
}
trap 'restore; rm -rf "$tmp"' EXIT
"$build/bench/serial_bench" far "$tmp/box" "$tmp/far.txt" 3600 &
far=$!
for _ in $(seq 100); do [ -L "$tmp/box" ] && break; sleep 0.05; done
echo 0 >"$T/tracing_on"
echo mono >"$T/trace_clock"
echo 16384 >"$T/buffer_size_kb"
echo >"$T/set_event"
for e in raw_syscalls:sys_enter raw_syscalls:sys_exit sched:sched_switch sched:sched_waking \
  workqueue:workqueue_queue_work workqueue:workqueue_execute_start ipi:ipi_send_cpu; do
  echo "$e" >>"$T/set_event"
done
echo >"$T/trace"
EEGMEX_SERIALPORT= octave-cli -H --no-gui --quiet --eval "
addpath('$build');
global IO_LIB
IO_LIB = eegmex_serialport('$tmp/box');
trigout(888, 0, 0); pause(0.05);   % the open comes with the first call
system('echo 1 > $T/tracing_on');
for i = 1:$n
  trigout(888, 1 + mod(i, 255), $duration);
  pause(($duration + 3) / 1000);
end
pause(0.05);
system('echo 0 > $T/tracing_on');
clear trigout
" >/dev/null
cp "$T/trace" "$tmp/trace.txt"
restore
wait "$far" 2>/dev/null || true
FAR=$far python3 - "$tmp/trace.txt" <<'EOF'
import os, re, statistics, sys

far = os.environ["FAR"]
line_re = re.compile(r"^\s*(.+?)-(\d+)\s+\[(\d+)\]\s+(\S+)\s+([\d.]+):\s+(\w+):\s*(.*)$")
events = []
for text in open(sys.argv[1]):
    m = line_re.match(text)
    if m:
        comm, tid, cpu, flags, ts, name, rest = m.groups()
        events.append((comm, tid, int(cpu), flags, float(ts) * 1e6, name, rest))

# The box's writes: one-byte writes by Octave's threads to the descriptor most of them go to.
fds = {}
for e in events:
    if e[0] == "octave-cli" and e[5] == "sys_enter" and e[6].startswith("NR 1 ("):
        fd = e[6][6:].split(",")[0]
        fds[fd] = fds.get(fd, 0) + 1
box = max((fd for fd in fds if fd not in ("1", "2")), key=lambda fd: fds[fd])
main = None  # the calling thread: the one that writes first (the value)

rows = {"value": [], "reset": []}
for i, e in enumerate(events):
    if not (e[0] == "octave-cli" and e[5] == "sys_enter" and e[6].startswith("NR 1 (" + box + ",")):
        continue
    tid, t0, cpu = e[1], e[4], e[2]
    main = main or tid
    r = {"cpu": cpu}
    work = None
    j = i + 1
    while j < len(events) and j < i + 400:
        x = events[j]
        if x[1] == tid and x[5] == "workqueue_queue_work" and "flush_to_ldisc" in x[6] and work is None:
            work = re.search(r"work struct=(\S+)", x[6]).group(1)
            r["queued"] = x[4]
        if x[1] == tid and x[5] == "sys_exit" and x[6].startswith("NR 1 "):
            r["exit"] = x[4]
            r["preempted"] = "N" in x[3]
            break
        j += 1
    if "exit" not in r or work is None:
        continue
    k = j + 1
    while k < len(events) and k < j + 2000:
        x = events[k]
        if "back" not in r and r["preempted"] and x[5] == "sched_switch" and f"next_pid={tid} " in x[6] + " ":
            r["back"] = x[4]
        if "start" not in r and x[5] == "workqueue_execute_start" and work in x[6]:
            r["start"], r["workerCpu"], r["worker"] = x[4], x[2], x[1]
        if "start" in r and "waking" not in r and x[1] == r["worker"] and x[5] == "sched_waking" and f"pid={far} " in x[6]:
            r["waking"] = x[4]
        if "waking" in r and "ipi" not in r and x[1] == r["worker"] and x[5] == "ipi_send_cpu":
            r["ipi"] = True
        if "waking" in r and "running" not in r and x[1] == far and x[5] == "sys_exit" and x[6].startswith("NR 7 "):
            r["running"] = x[4]
        if "running" in r and x[1] == far and x[5] == "sys_exit" and x[6].startswith("NR 0 "):
            r["read"] = x[4]
            break
        k += 1
    if "read" in r:
        r["enter"] = t0
        rows["value" if tid == main else "reset"].append(r)


def spread(xs):
    xs = sorted(xs)
    if not xs:
        return "      none"
    return f"median {statistics.median(xs):7.1f}  p99 {xs[min(len(xs) - 1, int(0.99 * len(xs)))]:7.1f}"


print(f"what the kernel does with each pulse's write(2) to a pty, us (traced: every event a few us slower)")
for who, rs in rows.items():
    if not rs:
        continue
    writer = "calling thread" if who == "value" else "timer thread"
    pre = [r for r in rs if r["preempted"] and "back" in r]
    same = sum(1 for r in rs if r["workerCpu"] == r["cpu"])
    print(f"  the {who}'s write, {len(rs)} of them, by the {writer}:")
    print(f"    write(2), entry to exit                                     {spread([r['exit'] - r['enter'] for r in rs])}")
    print(f"    the writer switched out for the worker at the exit: {len(pre)} of {len(rs)}, for {spread([r['back'] - r['exit'] for r in pre])}")
    print(f"    the worker's wake-up (queued to started); on the writer's processor {same} of {len(rs)}: {spread([r['start'] - r['queued'] for r in rs])}")
    print(f"    the worker's start to its waking the far end                {spread([r['waking'] - r['start'] for r in rs])}")
    print(f"    the far end's wake-up (woken to its poll returning); by an interrupt from the other processor {sum(1 for r in rs if r.get('ipi'))} of {len(rs)}: {spread([r['running'] - r['waking'] for r in rs])}")
    print(f"    the whole: write(2)'s entry to the far end's read(2) returning {spread([r['read'] - r['enter'] for r in rs])}")
EOF
