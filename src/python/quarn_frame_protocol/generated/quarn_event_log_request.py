# PLACEHOLDER: replaced by the real module
class QuarnEventLogRequest: pass
