// logging.hpp -- log records of the module's own logger, read when logging.
#pragma once

#include "module.hpp"
#include "text.hpp"

namespace korvell {

constexpr int LOG_DEBUG = 10;

// Each record is one ready-made text argument; the text is only built when
// the logger would handle the level.
template <typename MakeText>
inline void log_debug(const ModuleRef &mod, MakeText &&make_text) {
    nb::object logger = mod.get("logger");
    if (!nb::bool_(logger.attr("isEnabledFor")(LOG_DEBUG)))
        return;
    logger.attr("debug")(make_str(make_text()));
}

} // namespace korvell
