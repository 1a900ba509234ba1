#!/usr/bin/env python3
"""The main job: the sample release installed by setup.exe in a fresh Wine prefix.

    run_demo.py --build BUILD_DIR --work WORK_DIR --port PORT [--interactive]

Serves BUILD_DIR/sample-release on PORT (the port compiled into setup.exe) and runs
BUILD_DIR/setup/setup.exe in a new prefix under WORK_DIR. With --interactive the wizard is left
to the person at the display. Otherwise (run it under Xvfb) the wizard driver goes through the
four pages, saves a screenshot of each, answers the completion question with Yes so the
launcher starts, and the installation log and where everything landed are printed.
"""

import argparse
import os
import shutil
import sys

from wizard_session import (IDC_API_KEY, IDC_STATUS, IDYES, UpdateServer, WinePrefix, convert_screenshots, drive_wizard,
                            install_walk, run_to_the_end, wait_for_file)

DEMO_KEY = "sk-demo-0000"


def drive(prefix, args, release):
    shots = os.path.join(args.work, "screenshots-bmp")

    def finish(shot):
        return [*run_to_the_end(), *shot("4-progress"), "expect-box 20000", f"answer-box {IDYES}", "wait-exit 30000"]

    script = install_walk(shots, [f"set {IDC_API_KEY} {DEMO_KEY}"], finish)
    with UpdateServer(release, args.port, os.path.join(args.work, "server.log")):
        report, exit_code = drive_wizard(prefix, os.path.join(args.build, "setup", "setup.exe"),
                                         os.path.join(args.build, "tests", "wizard_driver.exe"), script, args.work)
    pngs = convert_screenshots(shots, os.path.join(args.work, "screenshots"))
    shutil.rmtree(shots, ignore_errors=True)

    print("== installation log ==")
    for line in report.log() if report.all("log-count") else []:
        print(line)
    install = prefix.unix_path("C:\\Quillmere")
    launcher_started = wait_for_file(os.path.join(install, "launcher-started.txt"), 20)
    prefix.run("taskkill.exe", "/f", "/im", "launcher.exe")
    profile = prefix.unix_path(prefix.expand("%USERPROFILE%"))
    print("== where everything landed ==")
    print("screenshots:      " + "\n                  ".join(pngs))
    print("installation:     " + install)
    print("agent state:      " + os.path.join(profile, ".harrowby"))
    print("browsers:         " + os.path.join(prefix.unix_path(prefix.expand("%LOCALAPPDATA%")), "ms-playwright"))
    print("registry:         HKCU\\Software\\Quillmere in " + prefix.path)
    statuses = [fields[1] for fields in report.all("text") if fields[0] == str(IDC_STATUS)]
    print("status line:      " + (statuses[-1] if statuses else "(not reached)"))
    print("launcher started: " + ("yes" if launcher_started else "no"))
    errors = report.errors()
    if errors:
        print("the wizard walk stopped: " + " ".join(errors[0][1:]), file=sys.stderr)
        print("driver report: " + os.path.join(args.work, "report.txt"), file=sys.stderr)
    return 0 if not errors and exit_code == 0 and launcher_started else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--interactive", action="store_true")
    args = parser.parse_args()
    args.build, args.work = os.path.abspath(args.build), os.path.abspath(args.work)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    release = os.path.join(args.work, "release")
    shutil.copytree(os.path.join(args.build, "sample-release"), release)

    prefix = WinePrefix(args.work)
    print("creating a fresh Wine prefix in " + prefix.path)
    try:
        prefix.create(os.path.join(args.build, "tests", "wine_warmup.exe"))
        if args.interactive:
            with UpdateServer(release, args.port, os.path.join(args.work, "server.log")):
                code = prefix.start(os.path.join(args.build, "setup", "setup.exe")).wait()
            print(f"setup.exe ended with exit code {code}")
            return 0
        print("no display: the wizard driver goes through the pages under Xvfb")
        return drive(prefix, args, release)
    finally:
        prefix.stop()


if __name__ == "__main__":
    sys.exit(main())
