"""Decoder registry: resolution with a warm and a cold cache, and forwarding."""

from korvell.pfnc.halvenor import DecoderRegistry, PixelFormatDecoder


class _Format:
    """Pixel-format stand-in: a designation and equality."""

    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text

    def designation(self):
        return self.text

    def __eq__(self, other):
        return type(other) is _Format and other.text == self.text

    __hash__ = None


class _Passthrough(PixelFormatDecoder):
    def __init__(self, name, prefix):
        super().__init__(name)
        self.prefix = prefix

    def is_applicable(self, pixel_format):
        return pixel_format.text.startswith(self.prefix)

    def decode(self, pixel_format, buffer, *, width, height, stride=None, copy=False):
        return buffer

    def get_buffer_size(self, pixel_format, *, width, height, stride=None):
        return width * height


_MONO8 = _Format("Mono8")
_BUFFER = bytes(640 * 480)

# Ten registrations; the last one (lowest priority) is the only applicable one,
# so a cold resolution asks all ten.
_registry = DecoderRegistry()
for _i in range(9):
    _registry.register(20 - _i, _Passthrough(f"other{_i}", "Bayer"))
_registry.register(1, _Passthrough("mono", "Mono"))
_registry.resolve(_MONO8)

_spare = _Passthrough("spare", "RGB")


def _cold_resolve():
    _registry.register(0, _spare)  # empties the cache
    _registry._registrations.pop()
    return _registry.resolve(_MONO8)


def _decode():
    return _registry.decode(_MONO8, _BUFFER, width=640, height=480)


CASES = [
    ("DecoderRegistry.resolve (warm cache, 10 registrations)", lambda: _registry.resolve(_MONO8)),
    ("DecoderRegistry.register + resolve (cold, 10 registrations)", _cold_resolve),
    ("DecoderRegistry.decode (warm, back-end returns its input)", _decode),
]
