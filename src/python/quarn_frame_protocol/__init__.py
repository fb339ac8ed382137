# PLACEHOLDER: replaced by the real module
"""Quarn frame protocol codec."""
