# PLACEHOLDER: replaced by the real module
class HalvexMediatorGrpcClient:
    def __init__(self, mediator_address='0.0.0.0:50051'):
        self.mediator_address = mediator_address
