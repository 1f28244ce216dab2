// Names of fact types and fields as they enter a session: from the `facts`,
// `schemas` and `events` arguments, dictionary columns, Arrow columns and
// `update` keywords.
//
// A name goes out again as an Arrow field name, which is a NUL-terminated
// UTF-8 C string, and as a key of the Result's dictionaries. So a name must be
// valid UTF-8 and free of NUL characters: a NUL would cut it short on the way
// out ("A\0x" and "A\0y" would both come back as "A"), and a stray byte would
// make every reader of the result fail to decode it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "py_support.h"

namespace quarn::py {

// The text of a Python str used as a name. `place` opens the refusal: with
// "T: column 2" a NUL gives ValueError "T: column 2 name 'a\x00b' contains a
// NUL character", a lone surrogate "... is not valid UTF-8". A non-str gives
// the conversion TypeError of utf8_of.
PyResult<std::string> name_text(PyObject* name, std::string_view place);

// The same check for a name that came as bytes (an Arrow field's name): the
// refusal's message, or none for a good name. It shows the bytes as Python
// shows bytes, b'a\xff'. No Python call: the caller may still hold foreign
// structures that must be released before an exception is set.
std::optional<std::string> name_bytes_refusal(std::string_view name, std::string_view place);

}  // namespace quarn::py
