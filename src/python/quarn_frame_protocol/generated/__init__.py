"""Request records of the data-record exchanges (written by the client, read by mediators)."""
