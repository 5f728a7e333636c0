#!/usr/bin/env python3
"""Times the modemctl demonstration against a responsive modem simulator.

Runs build/<preset>/tools/modemsim/modemsim --verbose (its traffic log carries
monotonic times) and build/<preset>/modem/modemctl pointed at it, for a while,
then reports from the simulator's log:
  - start to first publish: from starting modemctl to the simulator receiving
    the first AT+QMTPUB, and to its "+QMTPUB: 0,0,0" reply;
  - the publish cycle: time between publishes, and how long one publish call
    (two probes, status query, publish) takes;
  - every exchange against its bound. An exchange is a drain of 0.5 s of
    silence, the command, and up to k wait cycles of 10 ms plus a read that
    ends after 0.5 s of silence. From one command to the next the log shows
    this exchange's wait and the next one's drain: k * 0.51 s + 0.5 s by the
    nominal arithmetic. The kernel ends a half-second read a little late
    (timer granularity), so the bound checked uses the read timeout measured
    on a pseudo-terminal here, T: k * (0.01 s + T) + T, plus 0.1 s for
    printing and scheduling on a busy machine.

usage: python3 bench/modem_timing.py [--build build/default] [--seconds 32]
       [--broker tcp://127.0.0.1:PORT]
Without --broker the simulator answers from its own small broker.
"""
import argparse
import os
import re
import subprocess
import sys
import termios
import time
import tty

WAIT_CYCLES = {  # command prefix -> wait cycles of its exchange
    "AT+QMTCONN?": 5, "AT+QMTOPEN=": 9, "AT+QMTCONN=": 9, "AT+QMTSUB=": 9,
    "AT+QMTPUB=": 9, "AT+QMTCLOSE=": 5, "AT": 1,
}
PAUSE = 0.01  # the sleep before each wait cycle
TIMEOUT = 0.5  # VTIME 5
SLACK = 0.1  # printing and scheduling


def cycles_of(command):
    for prefix in sorted(WAIT_CYCLES, key=len, reverse=True):
        if command.startswith(prefix):
            return WAIT_CYCLES[prefix]
    return 1


def measured_read_timeout():
    """Mean time a one-byte read with VMIN 0, VTIME 5 takes on a silent pty."""
    master, device = os.openpty()
    tty.setraw(device)
    settings = termios.tcgetattr(device)
    settings[6][termios.VMIN] = 0
    settings[6][termios.VTIME] = 5
    termios.tcsetattr(device, termios.TCSANOW, settings)
    times = []
    for _ in range(4):
        start = time.monotonic()
        os.read(device, 1)
        times.append(time.monotonic() - start)
    os.close(device)
    os.close(master)
    return sum(times) / len(times)


def read_log(path):
    """(time, direction, text) per logged chunk; \\r and \\n unescaped."""
    entries = []
    with open(path, encoding="utf-8", errors="replace") as log:
        for line in log:
            match = re.match(r"^(\d+\.\d+) (<<|>>) (.*)$", line.rstrip("\n"))
            if match:
                text = match.group(3).replace("\\r", "\r").replace("\\n", "\n")
                entries.append((float(match.group(1)), match.group(2), text))
    return entries


def commands(entries):
    """(time received, command line) for each command the tool wrote."""
    found = []
    for when, direction, text in entries:
        if direction == "<<":
            found += [(when, part) for part in text.split("\r\n") if part]
    return found


def first_reply_time(entries, text):
    for when, direction, chunk in entries:
        if direction == ">>" and text in chunk:
            return when
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/default")
    parser.add_argument("--seconds", type=float, default=32.0)
    parser.add_argument("--broker", default="")
    args = parser.parse_args()

    simulator_log = os.path.join(args.build, "modem_timing.log")
    simulator_command = [os.path.join(args.build, "tools/modemsim/modemsim"), "--verbose"]
    if args.broker:
        simulator_command += ["--broker", args.broker]
    with open(simulator_log, "w") as log:
        simulator = subprocess.Popen(simulator_command, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=log, text=True)
    device = simulator.stdout.readline().strip()
    environment = dict(os.environ, MODEMCTL_DEVICE=device, MODEMCTL_BROKER_HOST="127.0.0.1")
    start = time.monotonic()
    demo = subprocess.Popen([os.path.join(args.build, "modem/modemctl")], env=environment,
                            stdout=subprocess.DEVNULL)
    try:
        demo.wait(timeout=args.seconds)
        print("modemctl ended early", file=sys.stderr)
        return 1
    except subprocess.TimeoutExpired:
        pass
    finally:
        demo.kill()
        demo.wait()
        simulator.terminate()
        simulator.wait()

    timeout = measured_read_timeout()
    print("half-second read timeout measured on a pty here: %.3f s" % timeout)
    entries = read_log(simulator_log)
    sent = commands(entries)
    publishes = [when for when, command in sent if command.startswith("AT+QMTPUB=")]
    if not publishes:
        print("no publish seen; log in " + simulator_log, file=sys.stderr)
        return 1
    confirmed = first_reply_time(entries, "+QMTPUB: 0,0,0")
    print("start to first AT+QMTPUB received:  %.3f s" % (publishes[0] - start))
    if confirmed is not None:
        print("start to first publish confirmed:   %.3f s" % (confirmed - start))
    gaps = [b - a for a, b in zip(publishes, publishes[1:])]
    if gaps:
        print("publish to publish: %s s (mean %.3f)"
              % (", ".join("%.3f" % g for g in gaps), sum(gaps) / len(gaps)))
    # A publish call starts with its two probes: the "AT" two commands
    # before its status query.
    calls = []
    for i, (when, command) in enumerate(sent):
        if command.startswith("AT+QMTPUB=") and i >= 3 and sent[i - 3][1] == "AT":
            calls.append(when - sent[i - 3][0])
    if calls:
        print("one publish call, first probe to publish command: %s s (+ its own drain of 0.5 s)"
              % ", ".join("%.3f" % c for c in calls))

    replies = []
    for when in publishes:
        answered = [t for t, direction, chunk in entries
                    if direction == ">>" and t >= when and "+QMTPUB:" in chunk]
        if answered:
            replies.append(answered[0] - when)
    if replies:
        print("publish command to its +QMTPUB reply (9 cycles allowed, 4.6 s): max %.3f s"
              % max(replies))

    print("\n%-36s %2s %8s %8s %8s %s" % ("command", "k", "to next", "nominal", "bound", ""))
    worst = 0.0
    over = 0
    for (when, command), (next_when, next_command) in zip(sent, sent[1:]):
        if next_command == "AT" and command.startswith("AT+QMTPUB="):
            continue  # the loop's pause between publishes, not an exchange
        k = cycles_of(command)
        nominal = k * (PAUSE + TIMEOUT) + TIMEOUT
        bound = k * (PAUSE + timeout) + timeout + SLACK
        gap = next_when - when
        worst = max(worst, gap / bound)
        verdict = "ok" if gap <= bound else "OVER"
        over += verdict == "OVER"
        print("%-36s %2d %8.3f %8.3f %8.3f %s" % (command[:36], k, gap, nominal, bound, verdict))
    print("\nworst exchange at %.0f%% of its bound; %d over" % (worst * 100, over))
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
