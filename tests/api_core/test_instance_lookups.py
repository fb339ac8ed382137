"""Attributes of instances and methods called through them: the core reads them where the
interpreter keeps them (inline values, the instance dict) against facts it keeps per type. Every
way of changing an instance, its class or the class of a class attribute must be seen by the next
call. Each case warms the core (and the interpreter's own specialisations) with several calls
first."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from support.logs import RecordingLogger

REC = SimpleNamespace(csq=5)
WARM = 6


def warm(core, client, reply=REC):
    core.transport.replies["read_element"] = reply
    for _ in range(WARM):
        client.csq("HX1")


def info_messages(logger):
    return [e.message for e in logger.entries if e.level == "info"]


# ---- the client's own attributes (self.log, self.grpc_client) ----------------------------------


def plain_store(client, name, value):
    # One store site, run until the interpreter has specialised it, then storing the new value.
    exec(f"for x in [c.{name}] * {WARM} + [v]:\n    c.{name} = x", {"c": client, "v": value})


def dict_item(client, name, value):
    client.__dict__[name] = value


def dict_update(client, name, value):
    vars(client).update({name: value})


def dict_replaced(client, name, value):
    client.__dict__ = {**client.__dict__, name: value}


def non_str_key_then_store(client, name, value):
    client.__dict__[1] = "not a name"  # the instance's attributes leave their inline layout
    setattr(client, name, value)


def beyond_the_shared_keys(client, name, value):
    for i in range(40):
        setattr(client, f"extra_{i}", i)
    setattr(client, name, value)


@pytest.mark.parametrize("store", [plain_store, dict_item, dict_update, dict_replaced, non_str_key_then_store,
                                   beyond_the_shared_keys])
def test_new_logger_and_transport_are_used_by_the_next_call(core, client, store):
    warm(core, client)
    logger = RecordingLogger()
    store(client, "log", logger)
    transport = SimpleNamespace(read_element=lambda serial, object_id: SimpleNamespace(csq=8))
    store(client, "grpc_client", transport)
    assert client.csq("HX1") == 8
    assert info_messages(logger) == ["received csq"]


class Getter:
    """A non-data descriptor; tests give its class a __set__ to turn it into a data descriptor."""

    def __init__(self, value):
        self.value = value

    def __get__(self, obj, owner=None):
        return self.value


@pytest.mark.parametrize("data", [False, True])
def test_descriptor_on_the_class_wins_only_when_it_is_a_data_descriptor(core, data):
    class Sub(core.module.HalvexMediatorAPI):
        pass

    client = Sub("127.0.0.1:1")
    warm(core, client)
    own = client.log
    other = RecordingLogger()
    getter_class = type("G", (Getter,), {})
    Sub.log = getter_class(other)
    client.csq("HX1")
    assert info_messages(own)[-1] == "received csq" and info_messages(other) == []
    if data:
        getter_class.__set__ = lambda self, obj, value: None
        client.csq("HX1")
        assert info_messages(other) == ["received csq"]


@pytest.mark.parametrize("hook", ["__getattr__", "__getattribute__"])
def test_class_with_its_own_lookup_is_asked(core, hook):
    other = RecordingLogger()

    def lookup(self, name):
        if name == "log":
            return other
        return object.__getattribute__(self, name)

    class Sub(core.module.HalvexMediatorAPI):
        pass

    client = Sub("127.0.0.1:1")
    warm(core, client)
    if hook == "__getattr__":
        del client.log  # __getattr__ runs only for what is not found
    setattr(Sub, hook, lookup)
    client.csq("HX1")
    assert info_messages(other) == ["received csq"]


# ---- methods of the transport and the logger ---------------------------------------------------


def test_instance_attribute_on_the_transport_wins_over_its_class_method(core, client):
    warm(core, client)
    transport = client.grpc_client
    sibling = type(transport)()
    sibling.read_element = lambda serial, object_id: SimpleNamespace(csq=1)  # the name joins the shared keys
    assert client.csq("HX1") == 5
    transport.read_element = lambda serial, object_id: SimpleNamespace(csq=2)
    assert client.csq("HX1") == 2
    del transport.read_element
    assert client.csq("HX1") == 5


@pytest.mark.parametrize("attribute, expected", [
    (lambda self, serial, object_id: SimpleNamespace(csq=2), 2),
    (staticmethod(lambda serial, object_id: SimpleNamespace(csq=3)), 3),
    (property(lambda self: lambda serial, object_id: SimpleNamespace(csq=4)), 4),
    (Getter(lambda serial, object_id: SimpleNamespace(csq=6)), 6),
])
def test_transport_class_attribute_of_any_kind(core, client, attribute, expected):
    warm(core, client)
    type(client.grpc_client).read_element = attribute
    assert client.csq("HX1") == expected


def test_logger_method_shadowed_on_the_instance(core, client):
    warm(core, client)
    seen = []
    client.log.info = lambda message, **fields: seen.append((message, fields))
    client.csq("HX1")
    assert seen == [("received csq", {"csq": 5, "serial": "HX1"})]


# ---- attributes of the records the transport returns -------------------------------------------


class Plain:
    def __init__(self, csq):
        self.csq = csq


class Slotted:
    __slots__ = ("csq",)

    def __init__(self, csq):
        self.csq = csq


class FromClass:
    csq = 12


class Computed:
    @property
    def csq(self):
        return 13


class DictBased(dict):
    def __init__(self, csq):
        super().__init__()
        self.csq = csq


@pytest.mark.parametrize("record, expected", [
    (Plain(10), 10), (Slotted(11), 11), (FromClass(), 12), (Computed(), 13), (DictBased(14), 14),
    (SimpleNamespace(csq=15), 15),
])
def test_record_fields_wherever_they_live(core, client, record, expected):
    warm(core, client, reply=record)
    assert client.csq("HX1") == expected
    if not isinstance(record, (FromClass, Computed)):
        record.csq = expected + 100
        assert client.csq("HX1") == expected + 100


def client_without_log(core, client):
    del client.log
    return client, "log"


def record_without_field(core, client):
    record = Plain(2)
    del record.csq
    core.transport.replies["read_element"] = record
    return record, "csq"


@pytest.mark.parametrize("remove", [client_without_log, record_without_field])
def test_missing_attribute_gives_the_interpreters_error(core, client, remove):
    warm(core, client, reply=Plain(1))
    obj, name = remove(core, client)
    with pytest.raises(AttributeError) as expected:
        getattr(obj, name)
    with pytest.raises(AttributeError) as raised:
        client.csq("HX1")
    assert str(raised.value) == str(expected.value)
    assert (raised.value.name, raised.value.obj) == (name, obj)


def record_with_deleted_field():
    record = SimpleNamespace(csq=0, other=1)
    del record.csq
    record.csq = 24  # a new entry after the deleted one
    return record


def record_with_non_str_key():
    record = SimpleNamespace(csq=25)
    record.__dict__[7] = "seven"
    return record


def test_records_of_different_layouts_one_after_another(core, client):
    records = [SimpleNamespace(csq=21), SimpleNamespace(a=0, csq=22), SimpleNamespace(a=0, b=0, csq=23),
               record_with_deleted_field(), record_with_non_str_key(), SimpleNamespace(csq=26), Plain(27)]
    seen = []
    for _ in range(3):
        for record in records:
            core.transport.replies["read_element"] = record
            seen.append(client.csq("HX1"))
    assert seen == [21, 22, 23, 24, 25, 26, 27] * 3


# ---- a callee breaking the calling convention --------------------------------------------------


def shape(error):
    return type(error), str(error), type(error.__context__), type(error.__cause__)


@pytest.mark.parametrize("callee", ["return_null_without_error", "return_result_with_error"])
def test_callee_breaking_the_convention_fails_as_in_the_interpreter(core, client, callee):
    testcapi = pytest.importorskip("_testcapi")
    grpc = pytest.importorskip("grpc")
    failure = grpc.RpcError()
    failure.code = lambda: SimpleNamespace(name="UNAVAILABLE")
    failure.details = getattr(testcapi, callee)  # a C function, called with no arguments
    try:
        try:
            raise failure
        except grpc.RpcError as e:
            e.details()
    except SystemError as error:
        expected = shape(error)
    warm(core, client)
    core.transport.replies["read_element"] = failure
    with pytest.raises(SystemError) as raised:
        client.csq("HX1")
    assert shape(raised.value) == expected
