# PLACEHOLDER: replaced by the real module
import structlog, logging
def get_logger(name, file):
    return structlog.wrap_logger(logging.getLogger(name))
