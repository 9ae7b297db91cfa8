"""The database handle's internals: sessions, direct reads, dialect texts, row values."""
