"""How objects and properties are named: a new name is free, and a default one is made so."""


def free_name(base, taken):
    """`base`, or `base_2`, `base_3`... : the first that `taken` does not hold."""
    name, n = base, 2
    while name in taken:
        name, n = f"{base}_{n}", n + 1
    return name


def check_new_name(name, taken, what):
    """Raise ValueError unless `name` is a non-empty string that `taken` does not hold."""
    if not isinstance(name, str) or not name.strip():
        raise ValueError(f"a {what} name must be a non-empty string, got {name!r}")
    if name in taken:
        raise ValueError(f"a {what} named {name!r} already exists")
