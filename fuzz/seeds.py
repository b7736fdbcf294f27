"""The seed corpus: one short program per family of the vocabulary.

    python fuzz/seeds.py CORPUS [OTHER]  write each program's bytes to CORPUS,
                                         those that differ now to OTHER
    python fuzz/seeds.py --check       print which of them differ now

The bytes of a program are what ``harness.build`` reads back into it, so a
seed stays valid while the vocabulary keeps its order.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

S = ("str", 0, "none")            # "VELTROCAM_LICENSE"
A = ("str", 1, "none")            # "FZ_A"
V = ("value", 0, "none")          # "user:pw"
NOCOLON = ("value", 2, "none")
GET = ("get", "()", S)

SEEDS = {
    "get-set-unset": [GET, ("env_set", S, V), GET, ("get", "(license_name=n)", S),
                      ("env_del", S), GET],
    "get-shapes": [("get", "(n)", A), ("get", "(*[n])", S), ("get", "(**{'license_name': n})", S),
                   ("get", "(n, n)", S), ("get", "(bad=n)", S)],
    "no-colon": [("env_set", S, NOCOLON), ("get", "(n)", ("sub", 0, "none"))],
    "set-list": [("set", "(v, x)", "list2", A, ("str", 2, "none"), V), ("get", "(n)", A),
                 ("set", "(variables=v, value=x)", "name", S, A, ("subvalue", 1, "none"))],
    "set-errors": [("set", "(v)", "name", A, A, V), ("set", "(v, x)", "tuple", A, A, V),
                   ("set", "(v, x)", "list", ("int", 3, "none"), A, V)],
    "store-mutates": [("global", "update_bash_file", "append", "none"),
                      ("set", "(v, x)", "list", A, A, V), GET],
    "os-replaced": [("global", "os", "namespace", "none"), GET, ("global", "os", "restore", "none"),
                    GET, ("global", "os", "delete", "none"), GET],
    "click-replaced": [("env_set", S, NOCOLON), ("global", "click", "logging", "none"), GET,
                       ("global", "click", "real", "none"), GET,
                       ("global", "click", "delete", "none"), GET],
    "windows": [("global", "sys", "win32", "none"), ("set", "(v, x)", "list2", A, ("str", 2, "none"), V),
                ("set", "(v, x)", "name", ("str", 6, "none"), A, V)],
    "environ-dict": [("environ", "dict_sub", "none"), GET, ("environ", "environ_copy", "none"),
                     ("env_set", S, V), GET, ("environ", "restore", "none"), GET],
    "data-dict": [("data", "dict_sub", "none"), GET, ("data", "bsub_key", "none"), ("get", "(n)", A),
                  ("data", "str_key", "none"), ("get", "(n)", A), ("data", "restore", "none"), GET],
    "data-entries": [("data_set", ("bytes", 0, "none"), "bsub", 0), GET,
                     ("data_set", ("bsub", 1, "none"), "bytes", 0), ("get", "(n)", A),
                     ("data_set", ("str", 0, "none"), "bytes", 1), GET, ("data_del", ("bytes", 0, "none"))],
    "codecs": [("env_set", S, V), ("codec", "encodekey", "logging", "none"), GET,
               ("codec", "decodevalue", "upper", "none"), GET, ("codec", "decodevalue", "restore", "none"),
               ("codec", "encodekey", "partial", "none"), GET],
    "class-attributes": [("env_set", S, V), ("class_attr", "_Environ", "__getitem__", "set", "none"),
                         GET, ("class_attr", "_Environ", "__getitem__", "restore", "none"),
                         ("class_attr", "Mapping", "get", "set", "none"), GET,
                         ("class_attr", "_Environ", "_data", "set", "none"), GET],
    "code-objects": [("env_set", S, V), ("code", "Mapping.get", "logging"), GET,
                     ("code", "Mapping.get", "restore"), ("code", "Mapping.get", "defaults"),
                     ("get", "(n)", A), ("code", "encode", "cell"), ("get", "(n)", ("str", 4, "none"))],
    "instance": [("env_set", S, V), ("instance", "class_plain_sub", "none"), GET,
                 ("instance", "dict_copy", "none"), GET, ("instance", "attr_get", "none"), GET,
                 ("instance", "restore", "none"), GET],
    "str-hooks": [("env_set", S, V), ("get", "(license_name=n)", ("sub", 0, "get")),
                  ("env_set", ("sub", 1, "gc"), ("subvalue", 0, "none")), ("get", "(n)", A)],
    "watchers": [("watchers", "take"), GET, ("env_set", S, V), GET, ("watchers", "release"), GET],
    "echo-order": [("env_set", S, NOCOLON), ("global", "click", "logging", "none"),
                   ("get", "(license_name=n)", ("sub", 0, "none"))],
    "tracer": [("env_set", S, V), ("tracer", "settrace", "none"), GET, ("tracer", "off", "none")],
    "recursion": [("env_set", S, V), ("recursion", 1, "()", S)],
    "recursion-room": [("env_set", S, V), ("recursion", 8, "()", S),
                       ("recursion", 12, "(n)", ("sub", 0, "none"))],
    # A colliding key is met by a lookup only when it lies before the real
    # one on the probe sequence: the name deleted and bound again after it.
    "collide": [("global", "os", "delete", "none"), ("collide", "os", "none"),
                ("global", "os", "restore", "none"), GET, GET],
    "lifetime": [("global", "os", "namespace", "none"), GET, ("global", "os", "restore", "none")],
}


def main(argv):
    if argv[:1] == ["--check"]:
        for name, program in SEEDS.items():
            data = harness.encode_program(program)
            assert harness.build(data) == program, name
            found = harness.difference(program)
            print(f"{name}: {'differs (' + harness.category(found) + ')' if found else 'same'}")
        return 0
    # Programs that differ now go to the second folder, if one is given:
    # a corpus holds only programs on which both sides agree.
    folder, differing = argv[0], (argv[1] if len(argv) > 1 else argv[0])
    for name, program in SEEDS.items():
        data = harness.encode_program(program)
        assert harness.build(data) == program, name
        found = harness.difference(program)
        where = differing if found else folder
        os.makedirs(where, exist_ok=True)
        with open(os.path.join(where, ("seed-" if where != folder else "") + name), "wb") as file:
            file.write(data)
        if found and where != folder:
            with open(os.path.join(where, f"seed-{name}.txt"), "w", encoding="utf-8") as file:
                file.write(f"python {sys.version.split()[0]}; {harness.category(found)}\n\n"
                           + harness.format_finding(program, found) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
