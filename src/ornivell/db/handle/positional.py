"""Positional-only parameters without ``/``, which Python 3.7 lacks.

The handle's methods take a statement's parameters as keyword arguments,
so their own leading parameters (``sql``, ``table_name``...) must not be
keywords: a statement may well have a parameter named ``sql``. They take
``*args`` and split them here, with the errors Python gives for ``/``.
"""


def positional(function, args, keywords, required, optional=()):
    """The values of ``function``'s leading parameters: ``required`` names
    those given by position only, ``optional`` (``(name, default)`` pairs)
    those that may follow, by position or keyword, in order. The keywords
    of the optional ones are taken out of ``keywords``."""
    given = len(args)
    if given == len(required):
        # the usual call, the statement alone by position: on every read's
        # path, so a plain loop (a comprehension is a call of its own before 3.12)
        values = list(args)
        for name, default in optional:
            values.append(keywords.pop(name, default))
        return values
    if given < len(required):
        missing = ", ".join(repr(name) for name in required[given:])
        raise TypeError(f"{function}() missing {len(required) - given} required positional argument(s): {missing}")
    if given > len(required) + len(optional):
        raise TypeError(f"{function}() takes {len(required) + len(optional)} positional argument(s) "
                        f"but {given} were given")
    values = list(args[:len(required)])
    for position, (name, default) in enumerate(optional, len(required)):
        if position < given:
            if name in keywords:
                raise TypeError(f"{function}() got multiple values for argument {name!r}")
            values.append(args[position])
        else:
            values.append(keywords.pop(name, default))
    return values
