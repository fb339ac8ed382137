# PLACEHOLDER: replaced by the real module
class QuarnMessage: pass
