"""A dict whose keys read and write as attributes."""


class Dict(dict):
    """Rows, pages and records: ``row.name`` is ``row["name"]``.

    The extension reads attributes of a ``Dict`` straight from the dict when
    ``type(obj).__getattr__`` is this class's ``__getattr__``, so that method
    must stay exactly "the item, else AttributeError"; ``get`` stays
    ``dict.get`` for the same reason.
    """

    __slots__ = ()

    def __getattr__(self, key):
        try:
            return self[key]
        except KeyError:
            raise AttributeError(key) from None

    __setattr__ = dict.__setitem__

    def __delattr__(self, key):
        try:
            del self[key]
        except KeyError:
            raise AttributeError(key) from None
