#!/usr/bin/python3
"""Reads the built addon's PE import and export tables.

Checks: load-time imports come only from Windows system DLLs (no libstdc++, libgcc or
winpthread DLL, nothing from node.exe); the Node-API functions are delay-imported from
"node.exe" and all belong to Node-API version 8 or earlier; the module exports exactly
napi_register_module_v1 and node_api_module_get_api_version_v1. Also checks that the
upper-case test module's delay descriptor really names "NODE.EXE".

GNU ld 2.40 leaves the PE delay-import data directory empty, so the delay descriptors are
found by their content: attributes 1 (RVA-based) and a name RVA pointing at the DLL name.

Usage: quorvex_imports_test.py QUORVEX_NODE SYMBOLS_JS UPPER_CASE_MODULE
"""
import re
import struct
import sys

import pefile

SYSTEM_DLLS = {'kernel32.dll', 'advapi32.dll', 'msvcrt.dll', 'ucrtbase.dll', 'ntdll.dll',
               'user32.dll', 'shell32.dll', 'ole32.dll', 'ws2_32.dll', 'bcrypt.dll'}

failures = 0


def expect(ok, what):
    global failures
    print(('ok   ' if ok else 'FAIL ') + what)
    if not ok:
        failures += 1


def node_api_symbols(symbols_js, version):
    """Node-API function names of the given version and earlier, from symbols.js."""
    text = open(symbols_js, encoding='utf-8').read()
    table = {}
    for number, body in re.findall(r'const v(\d+) = \{(.*?)\n\}', text, re.S):
        names = set()
        for spread in re.findall(r'\.\.\.v(\d+)\.\w+', body):
            names |= table[int(spread)]
        names |= set(re.findall(r"'(\w+)'", body))
        table[int(number)] = names
    return table[version]


def delay_descriptors(pe):
    """(dll name, [function names], ordinal count) for every RVA-based delay descriptor."""
    image = pe.get_memory_mapped_image()
    found = []
    for section in pe.sections:
        start = section.VirtualAddress
        end = start + section.Misc_VirtualSize
        for at in range(start, end - 32 + 1, 4):
            attrs, name_rva, hmod, iat, int_rva = struct.unpack_from('<5I', image, at)
            if attrs != 1 or not (0 < name_rva < len(image)) or not (0 < int_rva < len(image)):
                continue
            name = pe.get_string_at_rva(name_rva, 64)
            if not name or not re.fullmatch(rb'[\w.\-]+\.(exe|dll)', name, re.I):
                continue
            functions, ordinals = [], 0
            while True:
                entry, = struct.unpack_from('<Q', image, int_rva + 8 * len(functions) + 8 * ordinals)
                if entry == 0:
                    break
                if entry >> 63:
                    ordinals += 1
                else:
                    functions.append(pe.get_string_at_rva(entry + 2, 256).decode())
            found.append((name.decode(), functions, ordinals))
    return found


def main():
    addon_path, symbols_js, upper_path = sys.argv[1:4]
    pe = pefile.PE(addon_path)
    v8 = node_api_symbols(symbols_js, 8)
    expect(len(v8) > 100 and 'napi_create_function' in v8 and 'node_api_get_module_file_name' not in v8,
           f'symbols.js read: {len(v8)} functions up to Node-API 8')

    imports = [d.dll.decode().lower() for d in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', [])]
    print('load-time imports:', ', '.join(imports))
    expect(all(d in SYSTEM_DLLS or d.startswith('api-ms-win-') for d in imports),
           'load-time imports only Windows system DLLs')
    expect(not any(re.match(r'lib(stdc\+\+|gcc|winpthread)', d) for d in imports),
           'no libstdc++, libgcc or libwinpthread DLL')
    expect('node.exe' not in imports and 'libnode.dll' not in imports, 'no load-time import of node.exe')

    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT']]
    print(f'delay-import data directory: rva 0x{directory.VirtualAddress:x} size {directory.Size}')
    delays = delay_descriptors(pe)
    node = [d for d in delays if d[0] == 'node.exe']
    expect(len(delays) == 1 and len(node) == 1, 'one delay descriptor, naming "node.exe": '
           + ', '.join(d[0] for d in delays))
    if node:
        _, functions, ordinals = node[0]
        print(f'delay imports from node.exe ({len(functions)}):', ' '.join(sorted(functions)))
        expect(ordinals == 0 and len(functions) > 0, 'imported by name')
        outside = sorted(set(functions) - v8)
        expect(not outside, 'all are Node-API functions of version 8 or earlier'
               + (': not ' + ', '.join(outside) if outside else ''))
        expect('napi_create_function' in functions, 'napi_create_function among them')

    exports = sorted(e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name)
    print('exports:', ', '.join(exports))
    expect(exports == ['napi_register_module_v1', 'node_api_module_get_api_version_v1'],
           'exports exactly napi_register_module_v1 and node_api_module_get_api_version_v1')

    upper = [d[0] for d in delay_descriptors(pefile.PE(upper_path))]
    expect(upper == ['NODE.EXE'], 'upper-case test module delay-imports from "NODE.EXE": ' + ', '.join(upper))

    print('quorvex imports: FAILED' if failures else 'quorvex imports: as required')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
