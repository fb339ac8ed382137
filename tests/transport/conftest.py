"""Every test here starts without the HALVEX_* connection variables of the environment."""

import pytest

from norvo_halvex.mediator.grpc.settings import ENVIRONMENT_VARIABLES


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    for var in ENVIRONMENT_VARIABLES.values():
        monkeypatch.delenv(var, raising=False)
