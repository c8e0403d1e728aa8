#!/usr/bin/env python3
"""A satellite written in Python on Kiv's automation object.

It registers the service "Upper" (answers its text in capitals; code 1 for
anything that is not a text), prints each status change, optionally calls
"Echo" on a native satellite, and serves until SIGINT or SIGTERM, printing
one line per event:

    status SATID STATUS      the directory's view changed (1: alive)
    ready NAME               registered; calls are answered from now on
    echo VALUES              the answer of the native satellite's Echo
    served SOURCE VALUE      one call answered

    python_satellite.py [--register LIBKIV] [--directory HOST] [--name NAME]
                        [--call SATELLITE]
"""

import argparse
import json
import os
import signal
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import kiv_automation  # noqa: E402


def say(*words):
    print(*words, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--register", metavar="LIBKIV", help="register this library first")
    parser.add_argument("--directory", default="127.0.0.1")
    parser.add_argument("--name", default="PySatellite")
    parser.add_argument("--call", metavar="SATELLITE", help="call Echo on this satellite")
    options = parser.parse_args()

    if options.register:
        kiv_automation.register_server(options.register)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())

    def upper(source, service, value):
        if not isinstance(value, str):
            raise kiv_automation.ServiceError(1, "Upper takes a text")
        say("served", source, json.dumps(value))
        return value.upper()

    with kiv_automation.KivIn.create() as kiv:
        kiv.on_status = lambda sat_id, status: say("status", sat_id, status)
        kiv.on_service_requested = upper
        try:
            kiv.register(options.directory, options.name, [("Upper", "answers in capitals")])
        except kiv_automation.KivError as failure:
            say("register failed:", failure)
            return 3
        say("ready", options.name)
        if options.call:
            values = kiv.request(options.call, "Echo", ["hello", 42, 2.5], timeout=10)
            say("echo", json.dumps(values))
        while not stop.wait(0.2):
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
