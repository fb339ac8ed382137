# PLACEHOLDER: replaced by the real module
class QuarnProfileThreePhaseIntervalsResponseFrame: pass
