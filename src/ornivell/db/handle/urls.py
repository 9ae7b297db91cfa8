"""Where the handle connects when no URL is given: a light module, so that
the command line can name the default without loading SQLAlchemy."""

URL_VARIABLE = "DBPLUS_DATABASE_URL"
DEFAULT_URL = "sqlite:///dbplus.sqlite3"
