#!/usr/bin/env python3
"""Checks that the library's areas build on each other in one direction.

The areas and their order come from src/QMFoundation/CMakeLists.txt: each
qmf_add_package_library(<Library> AREAS ...) lists a library's folders in the order they build on
each other. A file of an area may include headers of its own area, of the areas listed before it
in its library, and of Core (for Network and Storage); never of a later area or of another
library. A class's members are defined in its own area: a source file that defines members of a
class declared in another area's header is reported too. An installed header (QMF_<AREA>_HEADERS
in <area>/sources.cmake) includes installed headers only, as <QMFoundation/<area>/<Header>.h>.

Usage: scripts/check-layers.py   (exit 1 and one line per fault when the layering is broken)
"""
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')
SRC = os.path.join(ROOT, 'src', 'QMFoundation')


def libraries():
    text = open(os.path.join(SRC, 'CMakeLists.txt'), encoding='utf-8').read()
    found = []
    for library, areas in re.findall(r'qmf_add_package_library\((\w+) AREAS([^)]*)\)', text):
        found.append((library, areas.split()))
    return found


def main():
    libs = libraries()
    if not libs or libs[0][0] != 'Core':
        print('check-layers: no qmf_add_package_library(Core AREAS ...) in src/QMFoundation/CMakeLists.txt')
        return 1
    rank = {}       # area -> (library, position)
    for library, areas in libs:
        for position, area in enumerate(areas):
            rank[area] = (library, position)
    faults = []
    include = re.compile(r'^\s*#\s*include\s*[<"]QMFoundation/(\w+)/[\w.]+[>"]', re.M)
    on_disk = sorted(d for d in os.listdir(SRC) if os.path.isdir(os.path.join(SRC, d)))
    for area in on_disk:
        if area not in rank:
            faults.append(f'src/QMFoundation/{area}/ belongs to no library')
    installed = set()
    for area in on_disk:
        cmake = os.path.join(SRC, area, 'sources.cmake')
        if os.path.exists(cmake):
            text = open(cmake, encoding='utf-8').read()
            for body in re.findall(r'(?:set|list\(APPEND)\(?\s*QMF_\w+_HEADERS([^)]*)\)', text):
                installed.update(body.split())
    any_include = re.compile(r'^\s*#\s*include\s*([<"])(QMFoundation/[\w/.]+)[>"]', re.M)
    for header in sorted(installed):
        text = open(os.path.join(SRC, header), encoding='utf-8').read()
        for quote, used in any_include.findall(text):
            inner = used[len('QMFoundation/'):]
            if '/' in inner and inner not in installed:
                faults.append(f'src/QMFoundation/{header} is installed but includes {used}, which is not')
            elif quote != '<':
                faults.append(f'src/QMFoundation/{header} includes "{used}"; installed headers use <{used}>')
    # The area of each class declared in a header.
    declared = {}
    for area in on_disk:
        for name in os.listdir(os.path.join(SRC, area)):
            if name.endswith('.h'):
                text = open(os.path.join(SRC, area, name), encoding='utf-8').read()
                for cls in re.findall(r'^(?:class|struct)\s+(?:QMF_\w+_EXPORT\s+)?(\w+)\b[^;]*$', text, re.M):
                    declared.setdefault(cls, area)
    definition = re.compile(r'^(?!\s)(?:[\w:<>,*&\s]+?\s)?[*&]?(\w+)::~?\w+\s*\(', re.M)
    for area in on_disk:
        if area not in rank:
            continue
        library, position = rank[area]
        for name in sorted(os.listdir(os.path.join(SRC, area))):
            if not name.endswith(('.h', '.cpp')):
                continue
            path = f'src/QMFoundation/{area}/{name}'
            text = open(os.path.join(SRC, area, name), encoding='utf-8').read()
            for used in sorted(set(include.findall(text))):
                if used not in rank:
                    faults.append(f'{path} includes a header of {used}/, which belongs to no library')
                    continue
                used_library, used_position = rank[used]
                if used_library == library:
                    if used_position > position:
                        faults.append(f'{path} includes {used}/, which comes after {area}/ in {library}')
                elif used_library != 'Core':
                    faults.append(f'{path} ({library}) includes {used}/ of {used_library}')
            if name.endswith('.cpp'):
                for cls in sorted(set(definition.findall(text))):
                    owner = declared.get(cls)
                    if owner and owner != area:
                        faults.append(f'{path} defines members of {cls}, which {owner}/ declares')
    for fault in faults:
        print(fault)
    if faults:
        print(f'check-layers: {len(faults)} fault(s); the order is in src/QMFoundation/CMakeLists.txt')
        return 1
    print('check-layers: ' + '; '.join(f'{lib}: {" < ".join(areas)}' for lib, areas in libs))
    return 0


if __name__ == '__main__':
    sys.exit(main())
