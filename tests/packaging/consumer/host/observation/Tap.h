#pragma once

// A host's own header with the same name as one of the library's (observation/Tap.h).
namespace Host {
constexpr int observationTap = 2;
}
