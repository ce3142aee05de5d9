// The traceback's fixed title line, as every test that reads a diagnostic expects it.
#pragma once

#include <string>

namespace test_support {

/// The column titles that follow every severe diagnostic line: Image, PC, Routine, Line and
/// Source, each left-aligned in 19, 10, 19, 12 and 19 columns.
inline const std::string TRACEBACK_HEADER =
    "Image              PC        Routine            Line        Source             \n";

}  // namespace test_support
