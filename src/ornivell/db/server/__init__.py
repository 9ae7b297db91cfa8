"""An HTTP API over ``DbPlus``: ``create_app`` makes the ASGI application
that ``dbplus serve`` runs with uvicorn."""

from .app import create_app
from .auth import Authenticator, TokenRules

__all__ = ["Authenticator", "TokenRules", "create_app"]
