// Helpers shared by the operation bodies that build codec records.
#pragma once

#include "pyapi/call.hpp"

namespace halvex::ops {

// rec._write(KaitaiStream(BytesIO(bytearray(size)))), then the whole buffer as bytes.
py::Ref serialise(py::Call& c, const py::Ref& rec, long size);

}  // namespace halvex::ops
