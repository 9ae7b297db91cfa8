"""The application: one ``DbPlus`` over one ``Database``, its calls run on
a pool of threads as large as the database's pool of connections."""

import time
from contextlib import asynccontextmanager

import anyio.to_thread
from anyio import CapacityLimiter
from starlette.applications import Starlette
from starlette.routing import Mount
from starlette.staticfiles import StaticFiles

from .openapi import DOCS_ASSETS, docs_files
from .routes import ROUTES

# threads when the database's pool does not say how many connections it keeps
_DEFAULT_THREADS = 5


def _pool_size(database):
    pool = database.engine.pool
    size = getattr(pool, "size", None)
    if not callable(size):
        return _DEFAULT_THREADS
    # a pool's overflow connections serve as many more callers at once
    return max(1, size() + max(0, getattr(pool, "_max_overflow", 0)))


class Api:
    """What every route uses: the database, the module, who asks, and the threads."""

    def __init__(self, database, authenticator, threads=None, grants_interval=None):
        from .._dbplus import DbPlus

        self.database = database
        self.dp = DbPlus(database)
        self.authenticator = authenticator
        self.threads = threads or _pool_size(database)
        self.limiter = None
        self.grants_interval = grants_interval
        self._read_at = time.monotonic()

    def _forget_old_grants(self):
        # models and grants are cached per process: read them again after the interval,
        # so that a change made elsewhere (another worker, another server) holds here too
        now = time.monotonic()
        if self.grants_interval is not None and now - self._read_at >= self.grants_interval:
            self._read_at = now
            self.dp.clear_cache()

    async def run(self, call, *args, **kwargs):
        """``call`` on one of the server's threads: the module blocks while the database works."""
        if self.limiter is None:
            self.limiter = CapacityLimiter(self.threads)
        return await anyio.to_thread.run_sync(lambda: call(*args, **kwargs), limiter=self.limiter)

    async def user(self, request):
        self._forget_old_grants()
        claims = self.authenticator.claims(request.headers.get("authorization"))
        if not self.authenticator.needs_database:
            return self.authenticator.user(claims, None)
        return await self.run(self.authenticator.user, claims, self.database)

    def ping(self):
        with self.database.engine.connect() as connection:
            connection.exec_driver_sql("select 1")

    def export(self, user, model, args):
        # one statement read page after page, as the command line's export does
        with self.database.session(stream_pages=True) as session:
            return self.dp.export(user, model, args, session=session)


def create_app(database=None, authenticator=None, *, url=None, threads=None, grants_interval=None,
               dispose=False):
    """The ASGI application over ``database`` (a ``Database``; or one made
    from ``url``), its users made by ``authenticator`` (an ``auth.Authenticator``).
    ``grants_interval``: seconds after which models and grants are read
    again (default: never; evict the module's cache yourself). With
    ``dispose`` the database's connections are closed when the application
    stops."""
    from ..db import Database

    if authenticator is None:
        raise ValueError("say how users are known: give an Authenticator")
    if database is None:
        database, dispose = Database(url), True
    api = Api(database, authenticator, threads, grants_interval)

    @asynccontextmanager
    async def lifespan(app):
        try:
            yield
        finally:
            if dispose:
                database.engine.dispose()

    assets = Mount(DOCS_ASSETS, app=StaticFiles(directory=docs_files()))
    app = Starlette(routes=ROUTES + [assets], lifespan=lifespan)
    app.state.api = api
    return app
