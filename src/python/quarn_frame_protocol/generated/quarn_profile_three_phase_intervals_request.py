# PLACEHOLDER: replaced by the real module
class QuarnProfileThreePhaseIntervalsRequest: pass
