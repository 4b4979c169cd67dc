#!/usr/bin/python3
"""Reads the built launcher: GUI subsystem, 64-bit, system DLL imports only, version
resource strings and fixed version 0.1.2.0, the asInvoker manifest naming Windows 10 as a
supported OS, one icon group with the sizes Explorer and the Start menu use; and for the launcher and the addon alike, the image flags for address space
layout randomisation (64-bit) and no execution from data pages.

Usage: launcher_pe_test.py LAUNCHER_EXE QUORVEX_NODE"""
import re
import sys

import pefile

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def check_hardening(image, name):
    flags = image.OPTIONAL_HEADER.DllCharacteristics
    for flag in ('DYNAMIC_BASE', 'HIGH_ENTROPY_VA', 'NX_COMPAT'):
        bit = pefile.DLL_CHARACTERISTICS['IMAGE_DLLCHARACTERISTICS_' + flag]
        check(flags & bit == bit, '%s: %s (DllCharacteristics 0x%x)' % (name, flag, flags))
    # DYNAMIC_BASE means nothing without relocations to apply.
    reloc = image.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_BASERELOC']]
    check(reloc.Size > 0, '%s: base relocations present' % name)


pe = pefile.PE(sys.argv[1])
check_hardening(pe, 'launcher')
check_hardening(pefile.PE(sys.argv[2]), 'quorvex.node')
check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_AMD64'], 'x64 image')
check(pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE['IMAGE_SUBSYSTEM_WINDOWS_GUI'],
      'GUI subsystem')

imports = sorted(e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT)
print('imports: ' + ', '.join(imports))
check(set(imports) <= {'kernel32.dll', 'advapi32.dll', 'msvcrt.dll'} and
      {'kernel32.dll', 'advapi32.dll'} <= set(imports),
      'imports only KERNEL32, ADVAPI32 and the CRT')
delay = getattr(pe, 'DIRECTORY_ENTRY_DELAY_IMPORT', [])
check(len(delay) == 0, 'no delay-loaded imports')
advapi = [i.name.decode() for e in pe.DIRECTORY_ENTRY_IMPORT
          if e.dll.lower() == b'advapi32.dll' for i in e.imports]
check(advapi == ['RegGetValueW'], 'ADVAPI32 serves the registry read alone: %s' % advapi)

fixed = pe.VS_FIXEDFILEINFO[0]
check((fixed.FileVersionMS, fixed.FileVersionLS) == (0x00000001, 0x00020000),
      'fixed file version 0.1.2.0')
check((fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x00000001, 0x00020000),
      'fixed product version 0.1.2.0')

strings = {}
for info in pe.FileInfo[0]:
    for table in getattr(info, 'StringTable', []):
        strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
expected = {
    'CompanyName': 'Tarnwell',
    'FileDescription': 'Kestovar Output Bridge Launcher',
    'FileVersion': '0.1.2.0',
    'InternalName': 'kestovar-output-bridge-launcher',
    'OriginalFilename': 'Kestovar Output Bridge.exe',
    'ProductName': 'Kestovar Output Bridge',
    'ProductVersion': '0.1.2',
}
for key, value in expected.items():
    check(strings.get(key) == value, 'version string %s = %r (got %r)' % (key, value, strings.get(key)))

manifests = []
for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    if rtype.id == pefile.RESOURCE_TYPE['RT_MANIFEST']:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                data = lang.data.struct
                manifests.append((name.id, pe.get_data(data.OffsetToData, data.Size).decode()))
check([m[0] for m in manifests] == [1], 'one manifest, resource id 1')
text = manifests[0][1] if manifests else ''
levels = re.findall(r'<requestedExecutionLevel\s+level="([^"]*)"\s+uiAccess="([^"]*)"', text)
check(levels == [('asInvoker', 'false')], 'manifest requests asInvoker, uiAccess false')
windows10 = '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'
supported = re.findall(r'<supportedOS\s+Id="([^"]*)"', text)
check(windows10 in supported, 'manifest names Windows 10 as a supported OS: %s' % supported)

# The icon group (RT_GROUP_ICON): a header, then one 14-byte entry per image, whose width
# byte is 0 for 256 pixels; each names an RT_ICON resource that must be there.
def resources(type_name):
    found = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if rtype.id == pefile.RESOURCE_TYPE[type_name]:
            for name in rtype.directory.entries:
                data = name.directory.entries[0].data.struct
                found[name.id] = pe.get_data(data.OffsetToData, data.Size)
    return found


groups = resources('RT_GROUP_ICON')
icons = resources('RT_ICON')
check(list(groups) == [1], 'one icon group, resource id 1: %s' % list(groups))
group = groups.get(1, b'\0' * 6)
count = int.from_bytes(group[4:6], 'little')
entries = [group[6 + 14 * i:20 + 14 * i] for i in range(count)]
sizes = sorted(e[0] or 256 for e in entries)
check(sizes == [16, 24, 32, 48, 256], 'icon sizes 16, 24, 32, 48 and 256: %s' % sizes)
check(all(int.from_bytes(e[12:14], 'little') in icons for e in entries), 'every icon image present')

print('launcher_pe: %d failures' % len(failures))
sys.exit(1 if failures else 0)
