"""Client library for Halvex electricity meters reached through a mediator service."""
