"""A second process that serves searches with one long-lived ``DbPlus``, as
a worker of a deployment does: one JSON request a line on stdin (user,
model), one JSON answer a line on stdout (status and the columns of the
first row). Run as ``python request_server.py URL INTERVAL``."""

import json
import sys

from ornivell.db._dbplus import DbPlus
from ornivell.db.db import Database, Dict


def main(url, interval):
    dp = DbPlus(Database(url))
    dp.metadata_check_interval = float(interval)
    for line in sys.stdin:
        request = json.loads(line)
        payload, status = dp.search(Dict(request["user"]), request["model"], {"limit": 1})
        columns = sorted(payload.data[0]) if status == 200 and payload.data else []
        print(json.dumps({"status": status, "columns": columns}), flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
