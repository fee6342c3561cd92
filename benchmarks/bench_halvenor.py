"""Decoder registry: resolution with a warm and a cold cache, and forwarding."""

from korvell.pfnc.halvenor import DecoderRegistration, DecoderRegistry, PixelFormatDecoder


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


# Fallbacks of the guarded fast paths: a registry subclass resolves through its
# own (Python-visible) `resolve`, and registrations of a subclass are read as
# attributes rather than from the record.


class _Registry(DecoderRegistry):
    pass


class _Registration(DecoderRegistration):
    pass


_sub_registry = _Registry()
for _reg in _registry._registrations:
    _sub_registry.register(_reg.priority, _reg.decoder)
_sub_registry.resolve(_MONO8)


def _sub_decode():
    return _sub_registry.decode(_MONO8, _BUFFER, width=640, height=480)


_attr_registry = DecoderRegistry([_Registration(r.decoder, r.priority) for r in _registry._registrations])


def _cold_resolve_attributes():
    _attr_registry._resolve_cache.clear()
    return _attr_registry.resolve(_MONO8)


def _cold_resolve_records():
    _registry._resolve_cache.clear()
    return _registry.resolve(_MONO8)


CASES = [
    ("DecoderRegistry.resolve (warm cache, 10 registrations)", lambda: _registry.resolve(_MONO8), 260),
    ("DecoderRegistry.register + resolve (cold, 10 registrations)", _cold_resolve),
    ("DecoderRegistry.decode (warm, back-end returns its input)", _decode),
    ("DecoderRegistry.decode on a subclass (warm; fallback: resolve through Python)", _sub_decode),
    ("DecoderRegistry.resolve (cleared cache, 10 registrations read from the records)", _cold_resolve_records),
    ("DecoderRegistry.resolve (cleared cache; fallback: registrations of a subclass read as attributes)", _cold_resolve_attributes),
]
