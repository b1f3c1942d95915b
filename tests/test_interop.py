"""What independent implementations make of our bytes, and we of theirs (our own round
trips are in test_properties)."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quoril import Packer, packb, unpackb

msgspec = None
ormsgpack = None
try:
    import msgspec
except ImportError:
    pass
try:
    import ormsgpack
except ImportError:
    pass

needs_msgspec = pytest.mark.skipif(msgspec is None, reason="msgspec only builds for the GIL build")
needs_ormsgpack = pytest.mark.skipif(ormsgpack is None, reason="ormsgpack only builds for the GIL build")

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False)
    | st.text()
    | st.binary()
)
keys = st.text(max_size=40) | st.binary(max_size=8)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=8) | st.dictionaries(keys, inner, max_size=8),
    max_leaves=40,
)
SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@needs_msgspec
@SETTINGS
@given(values)
def test_msgspec_reads_our_bytes(value):
    assert msgspec.msgpack.decode(packb(value)) == value


@needs_msgspec
@SETTINGS
@given(values)
def test_we_read_msgspec_bytes(value):
    assert unpackb(msgspec.msgpack.encode(value)) == value


@needs_ormsgpack
@SETTINGS
@given(st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False)
    | st.text() | st.binary(),
    lambda inner: st.lists(inner, max_size=8) | st.dictionaries(st.text(max_size=20), inner, max_size=8),
    max_leaves=40,
))
def test_we_read_ormsgpack_bytes(value):
    assert unpackb(ormsgpack.packb(value)) == value


@needs_msgspec
def test_msgspec_reads_the_bench_documents(bench_docs):
    for name, doc in bench_docs.items():
        assert msgspec.msgpack.decode(packb(doc)) == doc, name
        assert msgspec.msgpack.decode(Packer().pack(doc)) == doc, name
