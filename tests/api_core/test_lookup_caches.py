"""The core keeps its late lookups cheap with caches (module names, plain class attributes, what a
type holds under a method's name), kept against watchers of the dicts and types involved; every
change must still be seen by the very next call. Each case warms the caches, changes the world,
and calls again."""

from __future__ import annotations

import builtins
from types import SimpleNamespace

import pytest

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from support.logs import RecordingLogger

from python_model import model_class

REC = SimpleNamespace(csq=5)
MODEL = model_class(api_core)


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


# ---- a method looked up before its call's arguments (self.log.info(..., csq=data.csq, ...)) -----


class Getter:
    """A non-data descriptor giving `value`; a case gives its class a __set__ as well."""

    def __init__(self, value):
        self.value = value

    def __get__(self, obj, owner=None):
        return self.value


def info_function(seen):
    return lambda self, message, **fields: seen.append(("function", message))


def instance_attribute(classes, log, seen):
    log.info = lambda message, **fields: seen.append(("instance", message))


def class_function(classes, log, seen):
    classes[1].info = info_function(seen)


def base_function(classes, log, seen):
    classes[0].info = info_function(seen)


def static_method(classes, log, seen):
    classes[1].info = staticmethod(lambda message, **fields: seen.append(("static", message)))


def class_property(classes, log, seen):
    classes[1].info = property(lambda self: lambda message, **fields: seen.append(("property", message)))


def non_data_descriptor_under_an_instance_attribute(classes, log, seen):
    log.info = lambda message, **fields: seen.append(("instance", message))
    classes[1].info = Getter(lambda message, **fields: seen.append(("getter", message)))


def data_descriptor_over_an_instance_attribute(classes, log, seen):
    non_data_descriptor_under_an_instance_attribute(classes, log, seen)
    type(classes[1].__dict__["info"]).__set__ = lambda self, obj, value: None


def own_lookup(classes, log, seen):
    del classes[0].info
    classes[1].__getattr__ = lambda self, name: lambda message, **fields: seen.append(("__getattr__", message))


def class_assigned(classes, log, seen):
    log.__class__ = type("Other", (classes[0],), {"info": info_function(seen)})


def deleted(classes, log, seen):
    del classes[0].info


@pytest.mark.parametrize("change", [instance_attribute, class_function, base_function, static_method, class_property,
                                    non_data_descriptor_under_an_instance_attribute,
                                    data_descriptor_over_an_instance_attribute, own_lookup, class_assigned, deleted])
def test_logger_method_change_is_seen_by_the_next_call(core, change):
    """Warm calls, then a change of what log.info is: the next call uses (or misses) it as the
    same class written in Python does."""
    outcomes = []
    for cls in (core.module.HalvexMediatorAPI, MODEL):
        base = type("Base", (RecordingLogger,), {"info": RecordingLogger.info})
        classes = (base, type("Logger", (base,), {}))
        client, seen = cls("127.0.0.1:1"), []
        client.log = classes[1]()
        core.transport.replies["read_element"] = REC
        for _ in range(3):
            client.csq("HX1")
        change(classes, client.log, seen)
        try:
            outcomes.append((client.csq("HX1"), seen, [e.message for e in client.log.entries][3:]))
        except AttributeError as e:
            outcomes.append((type(e), str(e)))
    assert outcomes[0] == outcomes[1]


# ---- methods called through the object --------------------------------------------------------


def on_instance(client, read):
    client._read_element = read


def on_subclass(client, read):
    type(client)._read_element = staticmethod(read)


@pytest.mark.parametrize("install", [on_instance, on_subclass])
def test_method_replaced_after_warm_calls(core, install):
    class Sub(core.module.HalvexMediatorAPI):
        pass

    client = Sub("127.0.0.1:1")
    core.transport.replies["read_element"] = REC
    for _ in range(3):
        assert client.csq("HX1") == 5
    install(client, lambda serial, object_id: SimpleNamespace(csq=9))
    assert client.csq("HX1") == 9
    if install is on_instance:
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
