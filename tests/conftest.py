import os

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci", deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("dev", deadline=None, max_examples=500)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


def _generator(tags):
    return (t for t in tags)


ITERABLE_KINDS = {
    "list": list,
    "tuple": tuple,
    "set": set,
    "frozenset": frozenset,
    "generator": _generator,
    "dict": dict.fromkeys,
}


@pytest.fixture(params=sorted(ITERABLE_KINDS))
def as_iterable(request):
    """Turns a list of tags into each kind of iterable a caller may pass."""
    return ITERABLE_KINDS[request.param]
