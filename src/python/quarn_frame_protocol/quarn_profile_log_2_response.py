# PLACEHOLDER: replaced by the real module
class QuarnProfileLog2Response: pass
def quarn_decode_profile_log_2_response(is_twin_element, data): raise NotImplementedError
