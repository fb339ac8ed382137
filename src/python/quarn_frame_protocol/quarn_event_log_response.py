# PLACEHOLDER: replaced by the real module
class QuarnEventLogResponse: pass
