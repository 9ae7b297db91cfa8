"""Answers: the module's result pairs, refused requests and failures as
JSON responses with their HTTP status."""

import json
import logging
import uuid

from starlette.responses import Response

from ..cli.render import json_default

log = logging.getLogger("ornivell.db.server")

# the module's status for an export without any column the user may export:
# there is no workbook to give, as there is no record for a hidden id
_STATUS = {600: 404}


def domains_json(domains):
    """Value lists with their codes as JSON keys: a date code becomes its ISO text."""
    def key(code):
        return code if code is None or isinstance(code, (str, int, float)) else json_default(code)

    return {name: {key(code): entry for code, entry in entries.items()} for name, entries in domains.items()}


class JSONAnswer(Response):
    media_type = "application/json"

    def render(self, content):
        return json.dumps(content, ensure_ascii=False, separators=(",", ":"), default=json_default).encode()


class Refusal(Exception):
    """A request refused before the module is asked: ``status`` and message."""

    def __init__(self, status, message, path=None):
        super().__init__(message)
        self.status, self.message, self.path = status, message, path

    def payload(self):
        payload = {"message": self.message}
        if self.path is not None:
            payload["path"] = self.path
        return payload


def refused(status, message, path=None):
    return JSONAnswer(Refusal(status, message, path).payload(), status_code=status)


def pair_answer(result):
    """The response for a ``(payload, status)`` pair."""
    payload, status = result
    return JSONAnswer(payload, status_code=_STATUS.get(status, status))


def bad_input(error):
    """400 for a ValueError of a request; a filter error's message starts with its JSON path."""
    message = str(error)
    path, colon, rest = message.partition(": ")
    if colon and path.startswith("$"):
        return refused(400, rest, path)
    return refused(400, message)


def failure(request, error):
    """500 with an id to find the logged traceback by; nothing of the error is told."""
    request_id = uuid.uuid4().hex[:16]
    log.error("request %s %s %s failed", request_id, request.method, request.url.path,
              exc_info=(type(error), error, error.__traceback__))
    return JSONAnswer({"message": "internal error", "requestId": request_id}, status_code=500)
