# PLACEHOLDER: replaced by the real module
class QuarnProfileLogRequest: pass
