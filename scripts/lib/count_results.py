"""Adds up the results of every suite run by scripts/test and prints one closing line.

GoogleTest executables report their own test cases (their XML files); every other CTest
test (replays, end-to-end scripts) counts as one case from CTest's JUnit file.
"""
import os
import sys
import xml.etree.ElementTree as ET

passed = failed = 0
for preset in sys.argv[1:]:
    folder = os.path.join("build", preset, "test-results")
    if not os.path.isdir(folder):
        continue
    gtest_names = set()
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".xml") or name == "ctest.xml":
            continue
        try:
            root = ET.parse(os.path.join(folder, name)).getroot()
        except ET.ParseError:
            continue
        if root.tag != "testsuites":
            continue
        gtest_names.add(name[:-4])
        for case in root.iter("testcase"):
            if case.get("result", "completed") in ("suppressed", "skipped") or \
                    case.get("status") == "notrun" or case.find("skipped") is not None:
                continue
            if case.find("failure") is not None:
                failed += 1
            else:
                passed += 1
    ctest = os.path.join(folder, "ctest.xml")
    if os.path.exists(ctest):
        for case in ET.parse(ctest).getroot().iter("testcase"):
            name = case.get("name")
            bad = case.find("failure") is not None or case.get("status") == "fail"
            if name in gtest_names and not bad:
                continue
            if name in gtest_names and bad:
                # The executable failed outside its cases (a crash, a sanitizer report).
                failed += 1
                continue
            if case.get("status") == "disabled" or case.find("skipped") is not None:
                continue
            if bad:
                failed += 1
            else:
                passed += 1
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
