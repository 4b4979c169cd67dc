#!/usr/bin/env python3
"""Checks the stand-in NDI runtimes as built: undecorated C entry points, exactly the set
each variant promises, and nothing imported but Windows system DLLs.
Usage: check_exports.py BUILD_DIR"""
import os
import sys

import pefile

ALL = {"NDIlib_initialize", "NDIlib_destroy", "NDIlib_send_create", "NDIlib_send_destroy",
       "NDIlib_send_send_video_v2", "NDIlib_send_send_video_async_v2"}
VARIANTS = {
    "full": ALL,
    "noasync": ALL - {"NDIlib_send_send_video_async_v2"},
    "nosend": ALL - {"NDIlib_send_send_video_v2"},
    "decoy": ALL,
}
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}

failures = 0
for variant, wanted in VARIANTS.items():
    path = os.path.join(sys.argv[1], "standin", variant, "Processing.NDI.Lib.x64.dll")
    pe = pefile.PE(path)
    exports = {e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name}
    imports = {i.dll.decode().lower() for i in pe.DIRECTORY_ENTRY_IMPORT}
    ok = (pe.FILE_HEADER.Machine == 0x8664 and exports == wanted and imports <= SYSTEM_DLLS)
    print(f"{variant:8} {'ok' if ok else 'WRONG'}: exports {sorted(exports)}, imports {sorted(imports)}")
    failures += not ok
print("result:", "all stand-in builds as promised" if failures == 0 else f"{failures} wrong")
sys.exit(1 if failures else 0)
