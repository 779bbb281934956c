# The hostile and ordinary objects that the fuzz tests throw at every callable, and the exceptions that
# may come out of a call given them.
import math

from hypothesis import strategies as st


class EvilError(Exception):
    """Raised by the hostile objects' own conversion methods; allowed to pass through unchanged."""


class BadIndex:
    def __index__(self):
        raise EvilError("index")


class BadFloat:
    def __float__(self):
        raise EvilError("float")


class BadStr:
    def __str__(self):
        raise EvilError("str")


class HugeIndex:
    def __index__(self):
        return 2**70


class SmallIndex:
    def __index__(self):
        return 3


OBJECTS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**80), max_value=2**80),
    st.integers(min_value=0, max_value=20),
    st.floats(allow_nan=True, allow_infinity=True),
    st.just(math.nan),
    st.text(max_size=8),
    st.binary(max_size=8),
    st.lists(st.integers(min_value=-300, max_value=300), max_size=4),
    st.sampled_from([BadIndex(), BadFloat(), BadStr(), HugeIndex(), SmallIndex(), object(), print]),
)
ALLOWED = (TypeError, OverflowError, ValueError, EvilError)
