"""The demo's numbered sequences (``_seq``) and their counters per
department (``_seq_value``), which continue from the numbers the generated
rows already carry."""

from collections import Counter
from typing import NamedTuple

from sqlalchemy import delete, select

from .. import schema


class Sequence(NamedTuple):
    name: str
    prefix: str
    time_format: str
    digits: int

    def number(self, moment, counter):
        """The text the extension issues for ``counter`` at ``moment``."""
        return f"{self.prefix}{moment.strftime(self.time_format)}{counter:0{self.digits}d}"


# QT, the day, and a counter per department: QT202511040001
QUOTE_NUMBERS = Sequence("quote_no", "QT", "%Y%m%d", 4)
SEQUENCES = (QUOTE_NUMBERS,)
_NAMES = [sequence.name for sequence in SEQUENCES]


def remove_sequences(connection):
    """Delete the demo's sequences and their counters."""
    seq, seq_value = schema.seq, schema.seq_value
    connection.execute(delete(seq_value).where(seq_value.c.seqId.in_(select(seq.c.id).where(seq.c.name.in_(_NAMES)))))
    connection.execute(delete(seq).where(seq.c.name.in_(_NAMES)))


def write_sequences(connection, quotes):
    """Define the sequences; each department's counter stands at the number
    of its generated ``quotes``."""
    seq_ids = {}
    for sequence in SEQUENCES:
        row = {"name": sequence.name, "prefix": sequence.prefix, "timeFormat": sequence.time_format,
               "digits": sequence.digits}
        seq_ids[sequence.name] = connection.execute(schema.seq.insert(), row).inserted_primary_key[0]
    counters = Counter(quote["orgId"] for quote in quotes)
    rows = [{"seqId": seq_ids[QUOTE_NUMBERS.name], "orgId": org, "value": count}
            for org, count in sorted(counters.items())]
    if rows:
        connection.execute(schema.seq_value.insert(), rows)
