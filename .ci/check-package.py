#!/usr/bin/env python3
"""Checks a release zip made by `cmake --build --preset ARCH --target package`.

    check-package.py BUILD_DIR ARCH        (ARCH: win64 or win32)

The project version comes from BUILD_DIR's CMake cache. The zip
BUILD_DIR/vardlet-<version>-<ARCH>.zip must unpack into one folder holding the
required files and nothing but those and further DLLs and EXEs; every DLL and
EXE must be built for ARCH and carry one VERSIONINFO resource whose file and
product versions, numeric and text, are the project version, with the product
name "vardlet" and a description. Prints what it checked; exit status 1 on
any failure.
"""
import struct
import sys
import zipfile

# What a user needs in every package. New binaries are found and checked
# without being listed here; list them to make them required.
REQUIRED = ["vardlet.dll", "vardletmon.dll", "vardletui.dll", "vardlet-spool.exe", "vardlet-sum.exe", "README.md", "INSTALL.txt"]
MACHINES = {"win64": 0x8664, "win32": 0x014C}
RT_VERSION = 16


class PeError(Exception):
    pass


def rva_to_offset(sections, rva):
    for virtual_address, virtual_size, raw_size, raw_offset in sections:
        if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
            return raw_offset + rva - virtual_address
    raise PeError("RVA 0x%x is in no section" % rva)


def read_pe(image):
    """Returns the machine type and the data of every RT_VERSION resource."""
    if image[:2] != b"MZ":
        raise PeError("no MZ header")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise PeError("no PE header")
    machine, section_count = struct.unpack_from("<HH", image, pe + 4)
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    resource_rva, resource_size = struct.unpack_from("<II", image, directories + 2 * 8)
    sections = []
    for index in range(section_count):
        header = optional + optional_size + 40 * index
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", image, header + 8)
        sections.append((virtual_address, virtual_size, raw_size, raw_offset))
    if resource_size == 0:
        return machine, []
    base = rva_to_offset(sections, resource_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", image, base + directory + 12)
        for index in range(named + numbered):
            name, target = struct.unpack_from("<II", image, base + directory + 16 + 8 * index)
            yield name, target

    versions = []
    for type_id, names in entries(0):
        if type_id != RT_VERSION or not names & 0x80000000:
            continue
        for _, languages in entries(names & 0x7FFFFFFF):
            for _, leaf in entries(languages & 0x7FFFFFFF):
                data_rva, data_size = struct.unpack_from("<II", image, base + leaf)
                offset = rva_to_offset(sections, data_rva)
                versions.append(image[offset:offset + data_size])
    return machine, versions


def parse_block(data, offset=0):
    """One node of a VS_VERSIONINFO tree: (key, value bytes, is text, children)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    value_start = (key_end + 2 + 3) & ~3
    value_end = value_start + (value_length * 2 if is_text else value_length)
    children = []
    child = (value_end + 3) & ~3
    while child < end:
        node = parse_block(data, child)
        children.append(node)
        child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3
    return key, data[value_start:value_end], is_text, children


def version_problems(resource, version):
    """What is wrong with a VERSIONINFO resource; an empty list when nothing."""
    key, fixed, _, children = parse_block(resource)
    if key != "VS_VERSION_INFO" or len(fixed) < 52 or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        return ["no VS_FIXEDFILEINFO"]
    numbers = [int(part) for part in version.split(".")] + [0] * 4
    wanted = ((numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3])
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", fixed, 8)
    problems = []
    if (file_ms, file_ls) != wanted:
        problems.append("numeric file version %d.%d.%d.%d" % (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF))
    if (product_ms, product_ls) != wanted:
        problems.append("numeric product version differs")
    strings = {}
    for child_key, _, _, tables in children:
        if child_key == "StringFileInfo":
            for _, _, _, values in tables:
                for name, value, _, _ in values:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    for name, wanted_text in (("FileVersion", version), ("ProductVersion", version), ("ProductName", "vardlet")):
        if strings.get(name) != wanted_text:
            problems.append("%s is %r, not %r" % (name, strings.get(name), wanted_text))
    if not strings.get("FileDescription"):
        problems.append("no FileDescription")
    return problems


def main():
    build_dir, arch = sys.argv[1], sys.argv[2]
    version = None
    with open(build_dir + "/CMakeCache.txt", encoding="utf-8") as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                version = line.split("=", 1)[1].strip()
    if not version:
        sys.exit("check-package: no CMAKE_PROJECT_VERSION in %s/CMakeCache.txt" % build_dir)
    folder = "vardlet-%s-%s" % (version, arch)
    failures = []
    try:
        package = zipfile.ZipFile("%s/%s.zip" % (build_dir, folder))
    except (OSError, zipfile.BadZipFile) as error:
        sys.exit("check-package: FAIL %s" % error)
    with package:
        names = [name for name in package.namelist() if not name.endswith("/")]
        print("check-package: %s.zip holds %s" % (folder, ", ".join(sorted(names))))
        for name in REQUIRED:
            if folder + "/" + name not in names:
                failures.append("%s is missing" % name)
        for name in names:
            inside = name[len(folder) + 1:] if name.startswith(folder + "/") else None
            if inside is None or "/" in inside:
                failures.append("%s is not at the top of %s/" % (name, folder))
            elif inside.lower().endswith((".dll", ".exe")):
                try:
                    machine, versions = read_pe(package.read(name))
                except (PeError, struct.error, KeyError) as error:
                    failures.append("%s: not a readable PE file (%s)" % (inside, error))
                    continue
                if machine != MACHINES[arch]:
                    failures.append("%s: machine 0x%04x, not %s" % (inside, machine, arch))
                if len(versions) != 1:
                    failures.append("%s: %d VERSIONINFO resources, not 1" % (inside, len(versions)))
                for problem in (version_problems(versions[0], version) if len(versions) == 1 else []):
                    failures.append("%s: %s" % (inside, problem))
            elif inside not in REQUIRED:
                failures.append("%s is not meant to be in the package" % inside)
    for failure in failures:
        print("check-package: FAIL %s" % failure)
    if failures:
        return 1
    print("check-package: %s.zip: every file present, every binary %s with version %s" % (folder, arch, version))
    return 0


if __name__ == "__main__":
    sys.exit(main())
