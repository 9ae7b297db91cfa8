"""Connections of an engine's pool held through the pool's own records.

``pool.connect()`` wraps each checkout in a proxy with a finalizer, so that
a connection its holder loses track of goes back when the proxy is
collected: about half of what taking a connection and giving it back
costs, several times a short read's own work. A holder that surely gives
the connection back (``DirectReads`` does, on every path) may hold the
pool's record instead, where the pool asks nothing of a checkout (no
pre-ping, no checkout, checkin or reset listeners, no debug logging, a
rollback on return): ``RecordConnection`` takes it, invalidates it and gives
it back as the proxy would, reset and order included.
"""

import logging

from sqlalchemy.pool import QueuePool
from sqlalchemy.pool.base import reset_rollback


def takes_records(pool):
    """Whether a connection of ``pool`` may be held through its record."""
    dispatch = pool.dispatch
    # the logger test is the pool's own _should_log_debug, without its call
    return (type(pool) is QueuePool and not pool._pre_ping and pool._reset_on_return is reset_rollback
            and not (dispatch.checkout or dispatch.checkin or dispatch.reset)
            and not pool.logger.isEnabledFor(logging.DEBUG))


class RecordConnection:
    """A connection of ``pool`` held through its record, with the members of
    the pool's proxy that a holder uses (and ``Pool._invalidate`` reads)."""

    __slots__ = ("dbapi_connection", "_connection_record", "_pool")

    def __init__(self, pool):
        record = pool._do_get()
        try:
            self.dbapi_connection = record.get_connection()
        except BaseException as error:
            record._checkin_failed(error, _fairy_was_created=False)
            raise
        self._connection_record = record
        self._pool = pool

    @property
    def is_valid(self):
        return self.dbapi_connection is not None

    def invalidate(self, error=None):
        """Closes the connection and gives the record back: it connects anew at its next checkout."""
        if self.dbapi_connection is None:
            return
        self.dbapi_connection = None
        self._connection_record._checkin_failed(error, _fairy_was_created=False)

    def _close_special(self, transaction_reset=False):
        """Gives the connection back, rolled back unless ``transaction_reset``
        (its transaction ended); the proxy's name for that return."""
        if not transaction_reset:
            try:
                self._pool._dialect.do_rollback(self.dbapi_connection)
            except BaseException as error:
                # as the pool does when a reset fails: the connection is not given to anyone else
                self._pool.logger.error("Exception during reset or similar", exc_info=True)
                self.invalidate(error)
                if not isinstance(error, Exception):
                    raise
                return
        self._connection_record.checkin(_fairy_was_created=False)
