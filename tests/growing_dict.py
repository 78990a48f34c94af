"""A mapping that grows while tarn converts it: the frame's internal-failure path."""


def growing_dict(**others):
    """{"a": v, **others}, where reading v as a float adds a key to the dict."""
    d = {}

    class Growing:
        def __float__(self):
            d["late"] = 1.0
            return 1.0

    d["a"] = Growing()
    d.update(others)
    return d
