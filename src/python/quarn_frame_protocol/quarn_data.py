# PLACEHOLDER: replaced by the real module
class QuarnData: pass
