#!/usr/bin/python3
"""Writes a C++ source that holds files as read-only byte arrays.

Usage: EmbedResources.py OUTPUT.cpp [--file N SOURCE]... [--entry DIR PATH SOURCE]...

--file N SOURCE        file resource number N
--entry DIR PATH SOURCE  the file PATH (with its leading "/") of directory resource DIR

Each file becomes one string literal: printable ASCII stays as it is and every
other byte becomes a three-digit octal escape, which keeps the source about the
size of the data and compiles far faster than a list of integers.
"""

import sys

LINE_WIDTH = 120


def encode(data):
    lines = []
    current = []
    width = 0
    for byte in data:
        if byte == 0x5C:
            piece = "\\\\"
        elif byte == 0x22:
            piece = '\\"'
        elif byte == 0x3F:
            piece = "\\?"   # no accidental digraph or trigraph
        elif 0x20 <= byte < 0x7F:
            piece = chr(byte)
        else:
            piece = "\\%03o" % byte
        current.append(piece)
        width += len(piece)
        if width >= LINE_WIDTH:
            lines.append('"' + "".join(current) + '"')
            current = []
            width = 0
    if current or not lines:
        lines.append('"' + "".join(current) + '"')
    return "\n    ".join(lines)


def cpp_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def parse_arguments(argv):
    if len(argv) < 2:
        raise SystemExit(__doc__)
    output = argv[1]
    files = []     # (number, source)
    entries = []   # (directory, path, source)
    i = 2
    while i < len(argv):
        if argv[i] == "--file" and i + 2 < len(argv):
            files.append((int(argv[i + 1]), argv[i + 2]))
            i += 3
        elif argv[i] == "--entry" and i + 3 < len(argv):
            if not argv[i + 2].startswith("/"):
                raise SystemExit("Embedded paths start with '/': " + argv[i + 2])
            entries.append((int(argv[i + 1]), argv[i + 2], argv[i + 3]))
            i += 4
        else:
            raise SystemExit("Bad argument: " + argv[i] + "\n" + __doc__)
    return output, files, entries


def main(argv):
    output, files, entries = parse_arguments(argv)

    out = []
    out.append("// Generated at build time from the web application's files; do not edit.")
    out.append('#include "WebInterface/EmbeddedResourceTables.h"')
    out.append("")
    out.append("namespace QuelbyCloud")
    out.append("{")
    out.append("  namespace")
    out.append("  {")

    blobs = []
    for index, source in enumerate([s for _, s in files] + [s for _, _, s in entries]):
        with open(source, "rb") as f:
            data = f.read()
        name = "blob%d" % index
        out.append("    // %s" % source.replace("*/", "* /"))
        out.append("    const char %s[] =\n    %s;" % (name, encode(data)))
        blobs.append((name, len(data)))

    out.append("")
    out.append("    const EmbeddedFileEntry fileEntries[] = {")
    for k, (number, _) in enumerate(files):
        name, size = blobs[k]
        out.append("      { %d, nullptr, %s, %du }," % (number, name, size))
    if not files:
        out.append("      { -1, nullptr, nullptr, 0u },")
    out.append("    };")

    out.append("    const EmbeddedFileEntry directoryEntries[] = {")
    for k, (directory, path, _) in enumerate(entries):
        name, size = blobs[len(files) + k]
        out.append("      { %d, %s, %s, %du }," % (directory, cpp_text(path), name, size))
    if not entries:
        out.append("      { -1, nullptr, nullptr, 0u },")
    out.append("    };")
    out.append("  }")
    out.append("")
    out.append("  const EmbeddedFileEntry* GetEmbeddedFileEntries(size_t& count)")
    out.append("  {")
    out.append("    count = %d;" % len(files))
    out.append("    return fileEntries;")
    out.append("  }")
    out.append("")
    out.append("  const EmbeddedFileEntry* GetEmbeddedDirectoryEntries(size_t& count)")
    out.append("  {")
    out.append("    count = %d;" % len(entries))
    out.append("    return directoryEntries;")
    out.append("  }")
    out.append("}")
    out.append("")

    with open(output, "w", encoding="ascii") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main(sys.argv)
