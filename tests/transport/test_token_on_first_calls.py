"""The bearer token goes with every call, also with one that arrives while another thread
is still opening the channel."""

from norvo_halvex.mediator.grpc import client as client_module
from norvo_halvex.mediator.grpc import halvex_mediator_pb2 as pb
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from norvo_halvex.mediator.grpc.settings import ConnectionSettings
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O


def test_a_call_racing_the_channel_opening_carries_the_token(tmp_path, monkeypatch):
    token = tmp_path / "token"
    token.write_text("s3cret-token\n")
    token.chmod(0o600)
    sent = []

    class Stub:
        """Stands in for the generated stub; its second method is looked up after the first
        is already in place, which is where another thread's first call can slip in."""

        def __init__(self, channel):
            pass

        def ReadElement(self, request, timeout, metadata):
            sent.append(metadata)
            return pb.ReadElementReply(payload=b"HX1000001")

        @property
        def WriteElement(self):
            assert client.read_element("HX1000001", O.serial).serial == "HX1000001"
            return None

        SendMessage = None

    client = HalvexMediatorGrpcClient("127.0.0.1:1", settings=ConnectionSettings(token_file=str(token), timeout=1))
    monkeypatch.setattr(client_module._pb_grpc, "HalvexMediatorStub", Stub)
    with client:
        client.read_element("HX1000001", O.serial)
    assert sent == [(("authorization", "Bearer s3cret-token"),)] * 2
