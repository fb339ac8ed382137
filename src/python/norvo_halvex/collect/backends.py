"""Which store ``--db`` names: a PostgreSQL database for a ``postgresql://`` URL, else a DuckDB
file. psycopg is imported only for a URL."""

from __future__ import annotations

import os

from norvo_halvex.collect.store import DEFAULT_DB, BaseStore, Store, is_server


def open_store(db: str | os.PathLike[str] = DEFAULT_DB, *, read_only: bool = False, wait: float = 0.0,
               hold: bool = True) -> BaseStore:
    """The store ``db`` names: a ``postgresql://`` (or ``postgres://``) URL, else the path of a
    DuckDB file. ``read_only``: for readers (a store must exist). ``wait``: seconds to retry a
    DuckDB file another process holds (StoreLocked after that). ``hold=False``: a DuckDB file
    is let go of now and then, so that readers get in between (the collector's way); a server
    needs neither."""
    if is_server(db):
        from norvo_halvex.collect.pgstore import PostgresStore

        return PostgresStore(os.fspath(db), read_only=read_only)
    return Store(db, read_only=read_only, wait=wait, hold=hold)
