"""Syntax check of a udev rules file, for machines without udevadm.

Every rule is a comma-separated list of KEY[{attr}] OP "value" items; match
keys take == or !=, assignment keys take =, += , -= or :=, and every rule
has at least one match and one assignment."""
import re
import sys

MATCH = {"ACTION", "DEVPATH", "KERNEL", "KERNELS", "NAME", "SYMLINK", "SUBSYSTEM",
         "SUBSYSTEMS", "DRIVER", "DRIVERS", "ATTR", "ATTRS", "SYSCTL", "ENV", "TAG",
         "TAGS", "TEST", "PROGRAM", "RESULT", "CONST"}
ASSIGN = {"NAME", "SYMLINK", "OWNER", "GROUP", "MODE", "SECLABEL", "ATTR", "SYSCTL",
          "ENV", "TAG", "RUN", "LABEL", "GOTO", "IMPORT", "OPTIONS"}
ITEM = re.compile(r'\s*([A-Z]+)(\{[A-Za-z0-9_.]+\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*$')


def check(path):
    errors = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            text = line.strip()
            if not text or text.startswith("#"):
                continue
            matches = assigns = 0
            for item in text.split(","):
                m = ITEM.match(item)
                if not m:
                    errors.append(f"{path}:{number}: cannot parse {item.strip()!r}")
                    continue
                key, _, op, _ = m.groups()
                if op in ("==", "!="):
                    ok = key in MATCH
                    matches += 1
                else:
                    ok = key in ASSIGN
                    assigns += 1
                if not ok:
                    errors.append(f"{path}:{number}: {key} cannot take {op}")
            if not matches or not assigns:
                errors.append(f"{path}:{number}: a rule needs a match and an assignment")
    return errors


if __name__ == "__main__":
    problems = check(sys.argv[1])
    for p in problems:
        print(p, file=sys.stderr)
    sys.exit(1 if problems else 0)
