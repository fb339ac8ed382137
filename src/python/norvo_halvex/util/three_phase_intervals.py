# PLACEHOLDER: replaced by the real module
def blocks_to_intervals_rec(blocks): raise NotImplementedError
def export_three_phase_intervals_to_csv(intervals, csv, meter_type, include_statuses): raise NotImplementedError
