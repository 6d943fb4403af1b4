"""Placeholder until the risk model lands; replaced by the factor-model helper."""


class OptimizeHelper:
    def __init__(self, *args):
        raise NotImplementedError("the risk model is not built yet")
