// Compiled when zlib is the build's inflate engine (zip/CMakeLists.txt).
#include "zip/inflater.h"

namespace vekzip::detail {

const InflateEngine& BuildEngine() { return ZlibEngine(); }

}  // namespace vekzip::detail
