# PLACEHOLDER: replaced by the real module
class QuarnProfileThreePhaseIntervalsResponseBlock: pass
