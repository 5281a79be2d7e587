#!/usr/bin/env python3
"""tools/check-layers.py on small trees: one tree per case, each the same
small layered tree plus the files of its case, and what the check must say.

Usage: check_layers_test.py   (exits 1 when a case fails)
"""

import os
import subprocess
import sys
import tempfile

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "check-layers.py")

# A tree that keeps to the layers: links through aliases, keywords, a variable
# set in an included file, generator expressions and calls over several lines.
BASE = {
    "platform/CMakeLists.txt": "add_library(quarlix_platform STATIC Text.cpp)\n"
                               "add_library(quarlix::platform ALIAS quarlix_platform)\n"
                               "target_link_libraries(quarlix_platform PRIVATE PkgConfig::EWF)\n",
    "platform/Text.h": "#pragma once\n",
    "app/CMakeLists.txt": "add_library(quarlix_log STATIC Log.cpp)\n"
                          "add_library(quarlix::log ALIAS quarlix_log)\n"
                          "target_link_libraries(quarlix_log PRIVATE quarlix::platform)\n"
                          "add_subdirectory(update)\n",
    "app/Log.h": '#pragma once\n#include "platform/Text.h"\n',
    "app/update/CMakeLists.txt": "add_library(quarlix_update STATIC UpdateService.cpp)\n"
                                 "add_library(quarlix::update ALIAS quarlix_update)\n"
                                 "target_link_libraries(quarlix_update PRIVATE quarlix::log PkgConfig::CURL)\n",
    "app/update/UpdateService.h": '#pragma once\n#include "app/Log.h"\n',
    "engine/volume/CMakeLists.txt": "include(libs.cmake)\n"
                                    "add_library(quarlix_volume STATIC Volume.cpp)\n"
                                    "target_link_libraries(quarlix_volume # the base\n"
                                    "  PUBLIC quarlix::platform\n"
                                    '  PRIVATE "$<$<CONFIG:Debug>:quarlix::log>" ${VOLUME_LIBS})\n',
    "engine/volume/libs.cmake": "set(VOLUME_LIBS $<BUILD_INTERFACE:quarlix_log> ZLIB::ZLIB)\n",
    "engine/volume/Volume.h": '#pragma once\n#include "app/Log.h"\n',
    "ui/CMakeLists.txt": "add_library(quarlix_ui STATIC Main.cpp)\n"
                         "target_link_libraries(quarlix_ui PUBLIC Qt6::Widgets quarlix_volume\n"
                         "                      $<LINK_ONLY:quarlix::update>)\n",
    "ui/UpdateCheck.h": '#pragma once\n#include "app/update/UpdateService.h"\n#include "engine/volume/Volume.h"\n',
}

# (case, files added to BASE, the line the check must print; None: it passes)
CASES = [
    ("the layered tree passes", {}, None),
    ("the engine includes the update check",
     {"engine/volume/Volume.cpp": '#include "app/update/UpdateService.h"\n'},
     'engine/volume/Volume.cpp:1: "app/update/UpdateService.h" goes to app/update, which only ui may use'),
    ("app outside app/update includes it",
     {"app/Log.cpp": '#include "app/Log.h"\n#include "update/UpdateService.h"\n'},
     'app/Log.cpp:2: "update/UpdateService.h" goes to app/update, which only ui may use: app -> app/update'),
    ("the update check includes the engine",
     {"app/update/UpdateService.cpp": '#include "engine/volume/Volume.h"\n'},
     'app/update/UpdateService.cpp:1: "engine/volume/Volume.h" goes up: app/update (2) -> engine/volume (3)'),
    ("a program links the update check inside a generator expression, on a later line",
     {"cli/CMakeLists.txt": "add_executable(quarlix Main.cpp)\n"
                            "target_link_libraries(quarlix PRIVATE\n"
                            "  quarlix_volume\n"
                            "  $<$<BOOL:ON>:quarlix_update>)\n"},
     "cli/CMakeLists.txt:4: link quarlix_update goes to app/update, which only ui may use: cli -> app/update"),
    ("a lower layer links a higher one through a variable",
     {"platform/extra.cmake": "list(APPEND PLATFORM_LIBS quarlix::log)\n"
                              "target_link_libraries(quarlix_platform INTERFACE ${PLATFORM_LIBS})\n"},
     "platform/extra.cmake:2: link quarlix::log goes up: platform (0) -> app (1)"),
    ("a link to a library of the project that does not exist",
     {"engine/fat/CMakeLists.txt": "add_library(quarlix_fat STATIC Fat.cpp)\n"
                                   "target_link_libraries(quarlix_fat PUBLIC quarlix::volum)\n"},
     "engine/fat/CMakeLists.txt:2: link quarlix::volum names no library of the layers"),
]


def run_case(files):
    with tempfile.TemporaryDirectory() as root:
        for rel, text in {**BASE, **files}.items():
            path = os.path.join(root, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        r = subprocess.run([sys.executable, SCRIPT, root], capture_output=True, text=True)
        return r.returncode, r.stdout + r.stderr


def main():
    failed = 0
    for name, files, want in CASES:
        code, out = run_case(files)
        problems = [line for line in out.splitlines() if not line.startswith("layers:")]
        if want is None:
            ok = code == 0 and not problems and " 7 links " in out  # every link of the base tree was seen
        else:
            ok = code == 1 and problems == [p for p in problems if p.startswith(want)] and len(problems) == 1
        print(f"{'ok' if ok else 'FAILED'}: {name}")
        if not ok:
            print("  expected: " + (want or "no problem, 7 links") + "\n  got (exit " + str(code) + "):\n    " +
                  out.strip().replace("\n", "\n    "))
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
