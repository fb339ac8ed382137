# PLACEHOLDER: replaced by the real module
class ObjectIdEnum: pass
