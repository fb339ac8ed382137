# PLACEHOLDER: replaced by the real module
single_phase_hardware_str_to_registry_str = {}
def is_three_phase(h): return h.startswith('P1.') or h == 'THREE_PHASE_UNKNOWN'
def is_twin_element(h): return False
