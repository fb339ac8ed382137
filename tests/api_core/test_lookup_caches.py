"""The core keeps its late lookups cheap with caches; every change must still be seen by the very
next call. Each case warms the cache with one call, changes the world, and calls again."""

from __future__ import annotations

import builtins
from types import SimpleNamespace

import pytest

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure

REC = SimpleNamespace(csq=5)


def read_ids(core):
    return [args[1] for _, args in core.transport.calls]


def csq_twice(core, client, change):
    core.transport.replies["read_element"] = REC
    assert client.csq("HX1") == 5
    first = read_ids(core)[-1]
    change()
    assert client.csq("HX1") == 5
    return first, read_ids(core)[-1]


# ---- module-level names and class attributes read as ObjectIdEnum.csq_net_op -------------------


class Meta(type):
    pass


def ids_class(value=1):
    return Meta("Ids", (), {"csq_net_op": value})


def replace_global(core):
    core.set("ObjectIdEnum", ids_class(1))
    return lambda: core.set("ObjectIdEnum", ids_class(2))


def set_class_attribute(core):
    ids = ids_class(1)
    core.set("ObjectIdEnum", ids)
    return lambda: setattr(ids, "csq_net_op", 2)


def set_base_attribute(core):
    base = ids_class(1)
    core.set("ObjectIdEnum", Meta("Sub", (base,), {}))
    return lambda: setattr(base, "csq_net_op", 2)


def metatype_data_descriptor(core):
    core.set("ObjectIdEnum", ids_class(1))
    return lambda: setattr(Meta, "csq_net_op", property(lambda cls: 2))


def value_becomes_descriptor(core):
    class Value:
        def __eq__(self, other):
            return other == 1

        __hash__ = object.__hash__

    ids = ids_class(Value())
    core.set("ObjectIdEnum", ids)
    return lambda: setattr(Value, "__get__", lambda self, obj, owner: 2)


def class_swapped_for_another_of_the_same_shape(core):
    core.set("ObjectIdEnum", ids_class(1))
    return lambda: core.set("ObjectIdEnum", SimpleNamespace(csq_net_op=2))


@pytest.mark.parametrize("arrange", [replace_global, set_class_attribute, set_base_attribute, metatype_data_descriptor,
                                     value_becomes_descriptor, class_swapped_for_another_of_the_same_shape])
def test_object_id_change_is_seen_by_the_next_call(core, client, arrange):
    change = arrange(core)
    first, second = csq_twice(core, client, change)
    assert first == 1 and second == 2
    if arrange is metatype_data_descriptor:
        del Meta.csq_net_op


def test_deleted_global_is_a_name_error_at_once(core, client):
    core.transport.replies["read_element"] = REC
    client.csq("HX1")
    core.monkeypatch.delattr(core.module, "ObjectIdEnum")
    with pytest.raises(NameError, match="^name 'ObjectIdEnum' is not defined$"):
        client.csq("HX1")


# ---- builtins ---------------------------------------------------------------------------------


def test_builtins_change_is_seen(core, client):
    core.transport.replies["read_element"] = KeyError("k")
    assert client._safe_read_element("HX1", 1) is None  # `Exception` found among the builtins
    core.monkeypatch.setattr(builtins, "Exception", ValueError)
    with pytest.raises(KeyError):
        client._safe_read_element("HX1", 1)
    core.monkeypatch.undo()
    core.transport.replies["read_element"] = KeyError("k")
    assert client._safe_read_element("HX1", 1) is None


@pytest.mark.parametrize("frame_builtins, caught", [({"Exception": ValueError}, False), ({"Exception": KeyError}, True)])
def test_builtins_of_the_calling_frame_count(core, client, frame_builtins, caught):
    core.transport.replies["read_element"] = KeyError("k")
    assert client._safe_read_element("HX1", 1) is None  # warm, from a frame with the real builtins
    scope = {"__builtins__": frame_builtins, "client": client, "out": []}
    code = "out.append(client._safe_read_element('HX1', 1))"
    if caught:
        exec(code, scope)
        assert scope["out"] == [None]
    else:
        with pytest.raises(KeyError):
            exec(code, scope)


# ---- methods called through the object --------------------------------------------------------


def instance_attribute(client, read):
    client._read_element = read


def subclass_attribute(client, read):
    type(client)._read_element = staticmethod(read)


@pytest.mark.parametrize("install", [instance_attribute, subclass_attribute])
def test_method_replaced_after_warm_calls(core, install):
    class Sub(core.module.HalvexMediatorAPI):
        pass

    client = Sub("127.0.0.1:1")
    core.transport.replies["read_element"] = REC
    for _ in range(3):
        assert client.csq("HX1") == 5
    install(client, lambda serial, object_id: SimpleNamespace(csq=9))
    assert client.csq("HX1") == 9
    if install is instance_attribute:
        del client._read_element
    else:
        del Sub._read_element
    assert client.csq("HX1") == 5


def test_instance_without_shadowing_attribute_after_others_change(core, client):
    core.transport.replies["read_element"] = REC
    client.csq("HX1")
    other = core.client("127.0.0.1:2")
    other._read_element = lambda serial, object_id: SimpleNamespace(csq=3)
    assert (client.csq("HX1"), other.csq("HX1")) == (5, 3)


def test_failure_mapping_after_warm_calls(core, client):
    core.transport.replies["read_element"] = REC
    client.csq("HX1")
    core.transport.replies["read_element"] = HalvexConnectionFailure("down")
    with pytest.raises(core.module.MediatorClientException):
        client.csq("HX1")
