# PLACEHOLDER: replaced by the real module
def quarn_datetime_to_epoch_seconds(*a): raise NotImplementedError
def quarn_encode_datetime_to_time_rec(*a): raise NotImplementedError
def quarn_encode_object_id(*a): raise NotImplementedError
def quarn_format_firmware_version(*a): raise NotImplementedError
def quarn_obis_triplet_to_decimal(*a): raise NotImplementedError
