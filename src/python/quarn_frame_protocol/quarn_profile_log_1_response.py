# PLACEHOLDER: replaced by the real module
class QuarnProfileLog1Response: pass
def quarn_decode_profile_log_1_response(data): raise NotImplementedError
