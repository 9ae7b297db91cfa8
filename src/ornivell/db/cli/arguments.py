"""Reading the command line: values checked against the ranges that the
databases and the tool take, before anything reaches a driver, and usage
mistakes answered like every other error, in one line with exit status 1."""

import argparse
import math

# the widest integer that SQLite, MariaDB and PostgreSQL all store and compare
INT64_MIN, INT64_MAX = -(2 ** 63), 2 ** 63 - 1


class OneLineParser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line and exit status 1;
    its subcommands' parsers are of the same kind."""

    def error(self, message):
        self.exit(1, f"{self.prog}: {message} (see {self.prog} --help)\n")


def _as_int(text):
    try:
        return int(text)
    except ValueError:
        return None


def whole_number(low, high):
    """An argument type: an integer from ``low`` to ``high``."""

    def read(text):
        value = _as_int(text)
        if value is None or not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be a whole number from {low} to {high}, not {text!r}")
        return value

    return read


_ANY_INTEGER = whole_number(INT64_MIN, INT64_MAX)


def record_id(text):
    """An argument type: a record's id, an integer when it reads as one
    (and then in the databases' range), else the text as given."""
    return text if _as_int(text) is None else _ANY_INTEGER(text)


def user_id(text):
    """An argument type: a user's id, an integer in the databases' range."""
    return _ANY_INTEGER(text)


def bounded_number(high):
    """An argument type: a finite number more than 0 and at most ``high``."""

    def read(text):
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not 0 < value <= high:
            raise argparse.ArgumentTypeError(f"must be a number more than 0 and at most {high}, not {text!r}")
        return value

    return read
