"""Reads a valgrind memcheck log; fails on any error or definitely-lost block that project
code (the op modules, the kernels, the stand-in host) takes part in."""
import re
import sys

PROJECT = re.compile(r"_kestrel_kernels|_kestrel_sqlstore|kestrel\.cpython|tarnwell")


def records(lines):
    """Groups the log into records: a headline and its stack."""
    record = []
    for line in lines:
        text = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
        if not text.strip():
            if record:
                yield record
            record = []
        else:
            record.append(text)
    if record:
        yield record


def main(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.readlines()
    bad = []
    for record in records(lines):
        head = record[0]
        is_error = re.match(r"(Invalid|Conditional|Use of uninitialised|Mismatched|Syscall param|"
                            r"Source and destination|Argument)", head)
        is_lost = "definitely lost in loss record" in head
        if (is_error or is_lost) and any(PROJECT.search(line) for line in record[1:]):
            bad.append("\n".join(record))
    summary = [l.strip() for l in lines if "definitely lost:" in l or "ERROR SUMMARY" in l]
    print("\n".join(re.sub(r"^==\d+== ?", "", s) for s in summary))
    if bad:
        print(f"\n{len(bad)} problem(s) in project code:\n")
        print("\n\n".join(bad))
        return 1
    print("no errors and no definitely lost blocks in project code")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
