#pragma once

// A host's own header with the same name as one of the library's (lists/Types.h): the library's
// headers are included through the package name, so both can be used in one file.
namespace Host {
constexpr int listsTypes = 1;
}
