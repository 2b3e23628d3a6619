#pragma once

// A host's own header with the same name as three of the library's (<area>/QMCommon.h).
namespace Host {
constexpr int common = 3;
}
