#!/usr/bin/python3 -S
# Node script of the example gateway: gatewayd's node bridge runs it as
# ./pynodes.py (from gatewayd's working directory) once per publish interval
# and publishes what it prints, unchanged, as one data record.
#
# It simulates the nodes a small building gateway would have attached: a
# climate sensor, a smart plug, a door contact and a water meter, each with
# readings that drift plausibly from one call to the next (the state lives in
# a small file in $STATE_DIRECTORY, which the gatewayd service sets, or else
# next to the script). It prints one JSON document on one line.
#
# The interpreter is named by absolute path and started with -S (no site
# packages): the script's start-up is most of a publish cycle's cost, and this
# keeps it short. Standard library only.
import json
import os
import random
import time

STATE_FILE = os.path.join(
    os.environ.get("STATE_DIRECTORY") or os.path.dirname(os.path.abspath(__file__)),
    ".pynodes-state.json")

INITIAL = {
    "meter_litres": 18234.5,
    "plug_energy_wh": 5120.0,
    "door_changes": 0,
    "door_open": False,
}


def load_state():
    try:
        with open(STATE_FILE) as f:
            state = json.load(f)
        if isinstance(state, dict):
            return {**INITIAL, **state}
    except (OSError, ValueError):
        pass
    return dict(INITIAL)


def save_state(state):
    try:
        with open(STATE_FILE + ".tmp", "w") as f:
            json.dump(state, f)
        os.replace(STATE_FILE + ".tmp", STATE_FILE)
    except OSError:
        pass  # a read-only folder: readings simply restart next time


def climate(now):
    # Indoor temperature follows the day, with a little noise.
    hour = time.localtime(now).tm_hour + time.localtime(now).tm_min / 60.0
    base = 21.0 + 1.5 * (1 - abs(hour - 15) / 12)
    return {
        "id": "node-climate-01",
        "type": "climate",
        "temperature_c": round(base + random.uniform(-0.2, 0.2), 1),
        "humidity_pct": round(45 + random.uniform(-3, 3), 1),
        "battery_pct": 87,
        "rssi_dbm": random.randint(-78, -64),
    }


def plug(state):
    watts = round(random.choice([0.0, 0.0, 4.2, 63.5, 118.0]) + random.uniform(0, 1.5), 1)
    state["plug_energy_wh"] = round(state["plug_energy_wh"] + watts / 240.0, 2)
    return {
        "id": "node-plug-02",
        "type": "smart-plug",
        "on": watts > 1.5,
        "power_w": watts,
        "energy_wh": state["plug_energy_wh"],
        "rssi_dbm": random.randint(-70, -55),
    }


def door(state):
    if random.random() < 0.1:
        state["door_open"] = not state["door_open"]
        state["door_changes"] += 1
    return {
        "id": "node-door-03",
        "type": "door-contact",
        "open": state["door_open"],
        "changes": state["door_changes"],
        "battery_pct": 64,
    }


def meter(state):
    state["meter_litres"] = round(state["meter_litres"] + random.choice([0, 0, 0.5, 2.25]), 2)
    return {
        "id": "node-water-04",
        "type": "water-meter",
        "total_l": state["meter_litres"],
        "leak": False,
    }


def main():
    now = time.time()
    state = load_state()
    document = {
        "time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now)),
        "nodes": [climate(now), plug(state), door(state), meter(state)],
    }
    save_state(state)
    print(json.dumps(document, separators=(",", ":")))


main()
