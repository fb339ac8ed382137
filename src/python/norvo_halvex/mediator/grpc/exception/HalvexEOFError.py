# PLACEHOLDER: replaced by the real module
class HalvexEOFError(Exception):
    def __init__(self, message):
        super().__init__(message)
        self.message = message
