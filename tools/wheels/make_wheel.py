"""Packs one built module into a wheel and checks what it asks of the system that installs it.

    make_wheel.py MODULE.so TAG OUT_DIR

The module must export only PyInit_kestro and may leave undefined only the interpreter's own symbols (which
carry no version) and versioned symbols of glibc and libgcc_s; auditwheel does not look at unversioned ones,
which would otherwise fail only when the module is loaded.
"""

import base64
import csv
import hashlib
import io
import os
import sys
import tomllib
import zipfile

from elftools.elf.elffile import ELFFile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ALLOWED_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "libgcc_s.so.1",
    "ld-linux-x86-64.so.2",
    "ld-linux-aarch64.so.1",
}


def check_symbols(path):
    """Returns the list of faults of the module's dynamic symbols and libraries."""
    faults = []
    with open(path, "rb") as f:
        elf = ELFFile(f)
        dynsym = elf.get_section_by_name(".dynsym")
        versym = elf.get_section_by_name(".gnu.version")
        exported = []
        for i, sym in enumerate(dynsym.iter_symbols()):
            if not sym.name:
                continue
            defined = sym["st_shndx"] != "SHN_UNDEF"
            if defined and sym["st_info"]["bind"] != "STB_LOCAL":
                exported.append(sym.name)
                continue
            if defined:
                continue
            version = versym.get_symbol(i)["ndx"] if versym else "VER_NDX_LOCAL"
            unversioned = version in ("VER_NDX_LOCAL", "VER_NDX_GLOBAL")
            if unversioned and not sym.name.startswith(("Py", "_Py")) and sym["st_info"]["bind"] != "STB_WEAK":
                faults.append(f"undefined symbol without a version: {sym.name}")
        if sorted(exported) != ["PyInit_kestro"]:
            faults.append(f"exports {sorted(exported)}, not only PyInit_kestro")
        dynamic = elf.get_section_by_name(".dynamic")
        for tag in dynamic.iter_tags():
            if tag.entry.d_tag == "DT_NEEDED" and tag.needed not in ALLOWED_LIBRARIES:
                faults.append(f"needs {tag.needed}")
    return faults


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return [name, f"sha256={digest}", str(len(data))]


def metadata(project, readme):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"License: {project['license']['text']}",
        f"Requires-Python: {project['requires-python']}",
        "Description-Content-Type: text/markdown",
        "",
        readme,
    ]
    return "\n".join(lines).encode()


def make_wheel(module, tag, out_dir):
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    with open(os.path.join(ROOT, project["readme"]), encoding="utf-8") as f:
        readme = f.read()
    name, version = project["name"], project["version"]
    dist_info = f"{name}-{version}.dist-info"
    files = {
        os.path.basename(module): open(module, "rb").read(),
        "kestro.pyi": open(os.path.join(ROOT, "src/lib/kestro.pyi"), "rb").read(),
        f"{dist_info}/METADATA": metadata(project, readme),
        f"{dist_info}/WHEEL": (
            f"Wheel-Version: 1.0\nGenerator: kestro tools/wheels\nRoot-Is-Purelib: false\nTag: {tag}\n"
        ).encode(),
    }
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for file_name, data in files.items():
        writer.writerow(record_line(file_name, data))
    writer.writerow([f"{dist_info}/RECORD", "", ""])
    files[f"{dist_info}/RECORD"] = record.getvalue().encode()

    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, f"{name}-{version}-{tag}.whl")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for file_name, data in files.items():
            info = zipfile.ZipInfo(file_name, date_time=(2026, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if file_name.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return path


def main():
    module, tag, out_dir = sys.argv[1:4]
    faults = check_symbols(module)
    if faults:
        for fault in faults:
            print(f"{os.path.basename(module)}: {fault}", file=sys.stderr)
        sys.exit(1)
    print(make_wheel(module, tag, out_dir))


if __name__ == "__main__":
    main()
