// Module loggers: the host's `logging.getLogger(<module path>)`, given finished texts.
#pragma once

#include "corvane/native/python.h"

namespace corvane::native {

// The logger of one module. It is made at import and kept as a module
// attribute; every record goes through that attribute, as the module-level
// `logger.debug(...)` of a Python module would.
class Logger {
public:
    Logger() = default;

    // Makes the logger named `dotted_name` and stores it as `module.<attribute>`.
    static Logger create(nb::handle module, const char* dotted_name,
                         const char* attribute = "logger");

    void debug(nb::handle text) const { log("debug", text); }
    void info(nb::handle text) const { log("info", text); }
    void warning(nb::handle text) const { log("warning", text); }

private:
    void log(const char* level, nb::handle text) const;

    nb::handle module_;
    nb::handle attribute_;
};

}  // namespace corvane::native
