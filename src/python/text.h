// Names and messages that come from model files are bytes, not necessarily UTF-8. Python
// receives them as text, with invalid bytes escaped as \xNN, so that reading a name or an
// error never raises UnicodeDecodeError in place of the engine's own RuntimeError.
#pragma once

#include <pybind11/pybind11.h>

#include <map>
#include <string>
#include <vector>

namespace mi::python {

pybind11::str to_text(const std::string& s);
pybind11::list to_text(const std::vector<std::string>& v);
pybind11::dict to_text(const std::map<std::string, double>& m);

// Engine errors reach Python as RuntimeError with the engine's message, whatever standard
// exception carried them (out_of_range and length_error included); bad_alloc stays
// MemoryError.
void translate_engine_errors();

}  // namespace mi::python
