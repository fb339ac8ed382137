# PLACEHOLDER: replaced by the real module
class ThreePhaseIntervals: pass
