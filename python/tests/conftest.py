"""Shared fixtures: the tests run against the emulated amplifiers that
AMVEX_EMULATE names (ctest sets it and AMVEX_LIBRARY)."""

import pytest

import amvex


@pytest.fixture
def amp():
    """The first device, open; stopped and closed afterwards."""
    with amvex.Amplifier(amvex.devices()[0]) as a:
        yield a
